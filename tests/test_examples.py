"""The example scripts run end to end on the sample data and the local S3 server, so they never rot."""
import io
import os
import pathlib
import subprocess
import sys

import boto3
import numpy as np
import pandas as pd
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))

import seed_s3  # noqa: E402


@pytest.fixture(scope="module")
def seeded():
    return seed_s3.seed()


def test_seed_writes_the_vendor_layouts(seeded):
    s3 = boto3.client("s3")
    keys = [o["Key"] for o in s3.list_objects_v2(Bucket=seed_s3.EQUITY_BUCKET,
                                                  Prefix=seed_s3.SPLC_ROOT)["Contents"]]
    assert sorted(keys) == sorted(seeded[seed_s3.EQUITY_BUCKET]) and len(keys) == 4
    assert {k.split("/")[6] for k in keys} == set(seed_s3.SNAPSHOTS)
    body = s3.get_object(Bucket=seed_s3.EQUITY_BUCKET, Key=keys[0])["Body"].read()
    snap = pd.read_csv(io.BytesIO(body), compression="gzip")
    sec = pd.read_csv(ROOT / "sim" / "data" / "bql" / "securities.csv")
    assert set(snap["ID_BB_GLOBAL"]) | set(snap["RELATED_FIGI"]) <= set(sec["ID_BB_GLOBAL"])
    # The estimates object is read by snapshot with a row filter, straight from S3.
    url = f"s3://{seed_s3.MACRO_BUCKET}/{seed_s3.ECOEST_KEY}"
    one = pd.read_parquet(url, filters=[("dlSnapshotDate", "==", pd.to_datetime("20240112"))])
    assert len(one) > 0 and set(one["dlSnapshotDate"]) == {pd.Timestamp("2024-01-12")}
    cal = pd.read_csv(ROOT / "sim" / "data" / "bql" / "calendar.csv")
    assert set(one["column0"]) <= set(cal["TICKER"])


def _assert_readable(fig):
    """Panels of one row share their y-scale, and no legend is small or covers a plotted point."""
    import matplotlib.pyplot as plt

    try:
        fig.canvas.draw()
        rows = {}
        for ax in fig.axes:
            if ax.get_visible():
                rows.setdefault(ax.get_subplotspec().rowspan.start, []).append(ax.get_ylim())
        assert all(len(set(limits)) == 1 for limits in rows.values()), rows
        legends = fig.legends + [ax.get_legend() for ax in fig.axes if ax.get_legend()]
        for legend in legends:
            assert min(t.get_fontsize() for t in legend.get_texts()) >= 9
            box = legend.get_window_extent()
            for ax in fig.axes:  # the points of the lines and the corners of the bands
                shapes = [np.column_stack([line.get_xdata(), line.get_ydata()]).astype(float)
                          for line in ax.get_lines()]
                shapes += [path.vertices for band in ax.collections for path in band.get_paths()]
                for xy in shapes:
                    assert box.count_contains(ax.transData.transform(xy)) == 0, ax.get_title()
    finally:
        plt.close(fig)


def test_road1_historical_bars(capsys):
    import road1_historical_bars as road1

    out = road1.main()
    assert list(out["daily"].columns) == ["AAPL US Equity", "IBM US Equity", "SPX Index"]  # pivot sorts IDs
    assert out["daily"].loc["PX_LAST"].notna().all().all()
    # The intraday futures file rolls from March to June inside the week.
    assert out["intraday"]["TICKER"].unique().tolist() == ["ESH4", "ESM4"]
    ind = out["indicators"]
    assert list(ind.columns) == ["OBV", "AD", "ADOSC_3_10", "CMF_20"]
    assert ind.groupby(level="ID").tail(1).notna().all().all()
    assert "Volume indicators" in capsys.readouterr().out
    # The chart shows every indicator of the table, for every ticker.
    fig = road1.indicator_figure(out["daily_bars"], ind)
    drawn = [pd.Series(line.get_ydata()).dropna().to_numpy() for ax in fig.axes for line in ax.get_lines()]
    for (column, ticker), values in ind.unstack("ID").items():
        values = values.dropna().to_numpy()
        assert any(len(y) == len(values) and np.allclose(y, values) for y in drawn), (ticker, column)
    _assert_readable(fig)


def test_road2_datasets(seeded):
    import road2_datasets as road2

    if road2.MISSING:
        pytest.skip(road2.MISSING)
    out = road2.main()
    for dataset in ("supplier", "customer", "competitor"):
        df = out[dataset]
        assert len(df) > 0 and df["TICKER"].isin(road2.TICKERS).all()
        assert df["RELATED_TICKER"].notna().all()
    assert set(out["supplier"]["RELATIONSHIP"]) == {"SUPPLIER"}
    assert len(out["ecoest"]) > 0 and set(out["ecoest"]["event_ticker"]) <= set(road2.EVENTS)


def test_road3_event_study(tmp_path, capsys):
    import road3_event_study as road3

    out = road3.main(tmp_path / "charts")
    # Every series has bars at every release it is charted for, so each line averages the same set.
    per_kind = out["calendar"].groupby("EVENT_NAME").size()
    assert set(per_kind.index) == {"CPI YoY", "Change in Nonfarm Payrolls", "FOMC Rate Decision (Upper Bound)"}
    assert list(out["charted"].columns) == ["es", "eurusd", "ty", "usdjpy"]
    assert (out["charted"].T == per_kind).all().all()
    # The stand-in reacts at the release: the median move at minute 0 is well above the drift of the
    # quiet minutes before (four minutes of walk at -5; without a reaction minute 0 is one step).
    lines = out["summary"].pivot_table(index=["key", "EVENT_NAME"], columns="time_diff", values="median")
    assert list(lines.columns) == list(range(-5, 11)) and len(lines) == 12
    assert (lines[0] > 2 * lines[[-5, -4, -3, -2]].max(axis=1)).all()
    chart = out["chart"]
    assert chart.parent == tmp_path / "charts" and chart.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert str(chart) in capsys.readouterr().out
    _assert_readable(road3.moves_figure(out["summary"], "2024"))


def test_demo_runs_all_roads_and_exits(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), str(tmp_path)], env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    for banner in ("Road 1:", "Road 2:", "Road 3:"):
        assert banner in run.stdout
    charts = [tmp_path / "volume_indicators.png", tmp_path / "event_study.png"]
    assert all(c.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" for c in charts)
    assert f"Charts: {charts[0]} and {charts[1]}" in run.stdout
