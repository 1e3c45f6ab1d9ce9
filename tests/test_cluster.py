"""orvane_data.cluster on a real two-process LocalCluster: every answer equals the one call's."""
import logging
import os
import pathlib
import signal
import subprocess
import sys
import urllib.error
import urllib.request
import warnings

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("distributed")
import dask  # noqa: E402
import dask.dataframe as dd  # noqa: E402
from distributed import Client, LocalCluster, WorkerPlugin  # noqa: E402

import orvane_data  # noqa: E402
from localcsv_trees import make_tree, random_window  # noqa: E402
from orvane_data import cluster  # noqa: E402
from orvane_data.from_bqia import tickbars as tb  # noqa: E402
from orvane_data.from_localcsv import api  # noqa: E402

NY = "America/New_York"
INTRADAY = ["PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME", "NUM_TRDS"]


@pytest.fixture(scope="module")
def client():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lc = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})
    c = Client(lc)
    try:
        # The workers run the package under test, not some other copy of it.
        assert set(c.run(lambda: orvane_data.__file__).values()) == {orvane_data.__file__}
        # No dashboard: the scheduler's HTTP server answers health checks only.
        port = lc.scheduler.http_server.port
        with pytest.raises(urllib.error.HTTPError, match="404"):
            urllib.request.urlopen(f"http://127.0.0.1:{port}/status", timeout=5)
        yield c
    finally:
        c.close()
        lc.close()


@pytest.fixture
def error_records(client, caplog):
    """Counts the ERROR records that distributed's loggers make from here on, in this process (the
    scheduler and the client) and on the workers."""
    logger = logging.getLogger("distributed")  # it does not propagate to the root logger
    logger.addHandler(caplog.handler)

    def on_workers():
        return {w: sum(level == "ERROR" for level, _ in logs) for w, logs in client.get_worker_logs().items()}

    before = on_workers()
    try:
        yield lambda: (sum(r.levelno >= logging.ERROR for r in caplog.records if r.name.startswith("distributed"))
                       + sum(n - before.get(w, 0) for w, n in on_workers().items()))
    finally:
        logger.removeHandler(caplog.handler)


def outcome(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            out = fn(*args, **kwargs)
            if isinstance(out, dd.DataFrame):
                out = out.compute()
            return out, None
        except Exception as e:  # both sides must fail alike, notes included
            return None, (type(e), str(e), getattr(e, "__notes__", None))


def same(got, want):
    assert got[1] == want[1]
    if want[1] is None:
        pd.testing.assert_frame_equal(got[0], want[0], check_exact=True)
        assert list(got[0].index.names) == list(want[0].index.names)
    return want[1] is None


# ---- the CSV query ---------------------------------------------------------------------------------

@pytest.mark.parametrize("daily", [False, True], ids=["intraday", "daily"])
@pytest.mark.parametrize("odd", [False, True], ids=["plain", "odd"])
@pytest.mark.parametrize("seed", range(2))
def test_historical_data_equals_one_call(client, tmp_path, seed, daily, odd):
    csv_path, tickers, days = make_tree(tmp_path, 77 * seed + daily * 5 + odd, daily, n_tickers=5, odd=odd)
    rng = np.random.default_rng(seed)
    fields = INTRADAY[:5] if daily else INTRADAY
    ok = 0
    for k in range(6):
        start, end = random_window(rng, days, daily)
        if k < 2:
            start, end = days[0], days[-1] + " 23:59:59"
        flds = list(rng.choice(fields, int(rng.integers(1, len(fields) + 1)), replace=False))
        if k == 3:
            flds = flds + flds[:1]  # a repeated field
        names = list(tickers)
        if k == 4:
            names = names + names[1:2]  # a repeated ticker
        rng.shuffle(names)
        kwargs = dict(bar_convention=str(rng.choice(["start", "end"])), return_ohlcv=bool(k % 2))
        per_task = [None, 1, 2][k % 3]
        compute = not (kwargs["return_ohlcv"] and k == 5)
        want = outcome(api.get_historical_data, names, flds, start, end, str(csv_path), **kwargs)
        got = outcome(cluster.historical_data, client, names, flds, start, end, str(csv_path), **kwargs,
                      tickers_per_task=per_task, compute=compute)
        ok += same(got, want)
    assert ok >= 2


def _drop_num_trds(csv_path, ticker):
    for f in (csv_path / ticker).iterdir():
        if f.read_text().startswith("time_key"):
            pd.read_csv(f).drop(columns="num_trds").to_csv(f, index=False)


def _unreadable(text):
    return ValueError, f"Unable to parse date string: '{text}' with any of the defined formats.", None


@pytest.mark.parametrize("case", ["missing ticker", "no data", "bad field", "bad start", "tuple", "empty",
                                  "no num_trds anywhere", "no num_trds in one", "bad tickers_per_task",
                                  "compute without ohlcv", "bad end before a missing ticker", "bad daily bounds"])
def test_historical_data_errors_and_odd_calls(client, tmp_path, error_records, case):
    daily = case == "bad daily bounds"
    csv_path, tickers, days = make_tree(tmp_path, 5, daily, n_tickers=4)
    args = [tickers, ["PX_LAST", "NUM_TRDS"], days[0], days[-1] + " 23:59:59", str(csv_path)]
    kwargs = {}
    want = None
    if case == "missing ticker":
        args[0] = tickers[:2] + ["NOPE Index"] + tickers[2:] + ["ALSO MISSING"]
    elif case == "no data":
        args[2:4] = ["2030-01-01", "2030-01-02"]
    elif case == "bad field":
        args[1] = ["PX_LAST", "PX_BID"]
        args[3] = "2024/03/20"  # the fields are checked first
    elif case == "bad start":
        args[2] = "15/03/2024"
    elif case == "tuple":
        args[0] = tuple(tickers)
    elif case == "empty":
        args[0] = []
    elif case.startswith("no num_trds"):
        # Without the column in every ticker the reshape fails; without it in one, the one call
        # leaves that ticker's cells empty while a group holding only that ticker cannot reshape.
        for t in (tickers if case.endswith("anywhere") else tickers[1:2]):
            _drop_num_trds(csv_path, t)
    elif case == "bad tickers_per_task":
        with pytest.raises(ValueError, match="tickers_per_task"):
            cluster.historical_data(client, *args, tickers_per_task=0)
        return
    elif case == "compute without ohlcv":
        with pytest.raises(ValueError, match="return_ohlcv=True"):
            cluster.historical_data(client, *args, compute=False)
        return
    elif case == "bad end before a missing ticker":  # both bounds are read before any file
        args[0] = ["NOPE Index"] + tickers
        args[3] = "2024/03/20"
        want = (None, _unreadable("2024/03/20"))
    else:  # a daily tree's bounds are read too, start first
        args[1:4] = [["PX_LAST"], "15/03/2024", "2024/03/20"]
        want = (None, _unreadable("15/03/2024"))
    want = want or outcome(api.get_historical_data, *args, **kwargs)
    for per_task in (None, 1):
        same(outcome(cluster.historical_data, client, *args, tickers_per_task=per_task), want)
    if case not in ("tuple", "empty") and not case.startswith("no num_trds"):  # errors before or while reading
        assert want[1] is not None
        same(outcome(cluster.historical_data, client, *args, return_ohlcv=True, tickers_per_task=1), want)
        same(outcome(cluster.historical_data, client, *args, return_ohlcv=True, tickers_per_task=1,
                     compute=False), want)
    # A failing task is an error raised once at the client, not a "Compute Failed" record per task.
    assert error_records() == 0


def _set_column(csv_path, ticker, name, value):
    for f in (csv_path / ticker).iterdir():
        df = pd.read_csv(f)
        df = df.drop(columns=name, errors="ignore") if value is None else df.assign(**{name: value})
        df.to_csv(f, index=False)


@pytest.mark.parametrize("column, values, per_task, compute", [
    (None, None, 2, False),
    # Stacked two tickers at a time, an integer and a boolean column stay integer, then a ticker
    # without the column makes floats of them; stacked all at once they are objects.
    ("extra", [7, True, None], 2, True),
    ("value", [7, "a", None], 1, False),
    ("value", [1.5, True, None], 2, False),
    ("value", [1.5, True, 2.5], 1, False),  # a float column first: a boolean one turns float
], ids=["plain", "int bool absent", "int text absent, lazy", "float bool absent, lazy", "float bool float, lazy"])
def test_bars_stay_on_the_workers_as_a_dask_frame(client, tmp_path, column, values, per_task, compute):
    if column is None:
        csv_path, tickers, days = make_tree(tmp_path, 11, False, n_tickers=5)
    else:  # three tickers of flat files, the column differing in dtype from ticker to ticker
        csv_path, tickers, days = make_tree(tmp_path, 1, False, n_tickers=3, days=2, bars_per_day=3)
        for t, v in zip(tickers, values):
            _set_column(csv_path, t, column, v)
    args = (tickers, INTRADAY, days[0], days[-1] + " 23:59:59", str(csv_path))
    frame = cluster.historical_data(client, *args, return_ohlcv=True, tickers_per_task=per_task, compute=compute)
    want = api.get_historical_data(*args, return_ohlcv=True)
    if not compute:
        assert isinstance(frame, dd.DataFrame) and frame.npartitions == -(-len(tickers) // per_task)
        assert frame.dtypes.to_dict() == want.dtypes.to_dict()
        frame = frame.compute()
    pd.testing.assert_frame_equal(frame, want, check_exact=True)


# ---- event windows ---------------------------------------------------------------------------------

def _event_case(seed, variant):
    """Minute bars of five securities and a calendar: integer and boolean bar columns change dtype
    when a window minute has no bar at all, and releases without a calendar row change the
    calendar's columns. The messy bars' keys are categorical, in an order other than the keys'."""
    rng = np.random.default_rng(seed)
    times = pd.date_range("2024-01-10 08:00", periods=180, freq="min", tz=NY)
    frames = []
    for k in ["k4", "k1", "k3", "k0", "k2"]:
        keep = rng.random(len(times)) < (0.5 if variant != "dense" else 0.35)
        t = times[keep]
        frames.append(pd.DataFrame({"security": "FIGI_" + k, "datetime": t, "key": k,
                                    "close": rng.normal(size=len(t)), "volume": rng.integers(0, 9, len(t)),
                                    "up": rng.random(len(t)) < 0.5}))
    bars = pd.concat(frames, ignore_index=True)
    if variant == "dense":  # every minute has a bar of some security, few have one of every security
        have = set(bars["datetime"])
        fill = times[[t not in have for t in times]]
        bars = pd.concat([bars, pd.DataFrame({"security": "FIGI_k9", "datetime": fill, "key": "k9", "close": 0.5,
                                              "volume": 3, "up": True})], ignore_index=True)
    if variant == "messy":
        bars.loc[rng.choice(len(bars), 12, replace=False), "key"] = None
        bars = pd.concat([bars, bars.iloc[:9]], ignore_index=True)  # repeated bars
    bars = bars.sample(frac=1, random_state=seed).reset_index(drop=True)
    if variant == "messy":  # categorical keys, categories in order of appearance as categorize() gives them
        bars["key"] = bars["key"].astype(pd.CategoricalDtype(bars["key"].dropna().unique()))
    released = pd.Timestamp("2024-01-10 08:10") + pd.to_timedelta(rng.integers(0, 150 * 60, 14), unit="s")
    cal = pd.DataFrame({"EVENT_NAME": rng.choice(["CPI", "NFP", "GDP"], 14),
                        "event_datetime": pd.DatetimeIndex(released).tz_localize(NY),
                        "ACTUAL": np.arange(14, dtype=float), "COUNT": np.arange(14)},
                       index=pd.Index(["US"] * 14, name="ID"))
    rounded = cal["event_datetime"].dt.floor("min")
    cal["event_datetime"] = rounded if variant != "messy" else rounded.where(rng.random(14) < 0.7,
                                                                             cal["event_datetime"])
    if variant == "messy":
        cal = pd.concat([cal, cal.iloc[:3]])  # repeated calendar rows
    if variant == "dense":  # a release minute whose only bars have no key: it still has bars
        bars["key"] = bars["key"].where(bars["datetime"] != cal["event_datetime"].iloc[0], None)
    return bars, cal


def _dask_frame(bars, partitions):
    with dask.config.set({"dataframe.convert-string": False}):  # the very same bars, text dtypes included
        return dd.from_pandas(bars, npartitions=partitions, sort=False)


@pytest.mark.parametrize("variant", ["holes", "dense", "messy"])
@pytest.mark.parametrize("window", [(-5, 10), (0, 2), (3, -1)])
@pytest.mark.parametrize("per_task, partitions", [(None, None), (2, 3), (None, 1)])
def test_bars_around_events_equals_one_call(client, variant, window, per_task, partitions):
    bars, cal = _event_case(len(variant) + window[1], variant)
    src = bars if partitions is None else _dask_frame(bars, partitions)
    if variant == "messy" and partitions == 3:
        # Categories of each partition's own keys: computing the frame unites them, in no sorted order.
        by_key = bars.sort_values("key", ascending=False, kind="stable").astype({"key": object})
        src = _dask_frame(by_key, partitions).astype({"key": "category"})
        bars = src.compute()
    want = outcome(tb.filter_bars_around_events, bars, cal, *window)
    assert want[1] is None
    same(outcome(cluster.bars_around_events, client, src, cal, *window, securities_per_task=per_task), want)


@pytest.mark.parametrize("case", ["no key column", "no EVENT_NAME", "float window", "column clash", "naive bars",
                                  "no bars", "keys all missing", "keys not comparable"])
@pytest.mark.parametrize("dask_input", [False, True])
def test_bars_around_events_errors_and_odd_inputs(client, error_records, case, dask_input):
    bars, cal = _event_case(3, "holes")
    window = (-5, 10)
    if case == "no key column":
        bars = bars.drop(columns="key")
    elif case == "no EVENT_NAME":
        cal = cal.drop(columns="EVENT_NAME")
    elif case == "float window":
        window = (-5.0, 10)
    elif case == "column clash":
        bars = bars.assign(ACTUAL=1.0)
    elif case == "naive bars":
        bars["datetime"] = bars["datetime"].dt.tz_localize(None)
    elif case == "no bars":
        bars = bars.iloc[:0]
    elif case == "keys all missing":
        bars["key"] = None
    else:
        bars["key"] = bars["key"].astype(object)
        bars.loc[bars.index[::3], "key"] = 7
    want = outcome(tb.filter_bars_around_events, bars, cal, *window)
    src = _dask_frame(bars, 2) if dask_input else bars
    same(outcome(cluster.bars_around_events, client, src, cal, *window, securities_per_task=1), want)
    assert error_records() == 0


# ---- a worker that dies ----------------------------------------------------------------------------

class _KillOnce(WorkerPlugin):
    """Kills the first worker that starts one of the named tasks, once (a flag file says so)."""

    def __init__(self, flag, prefix):
        self.flag, self.prefix = flag, prefix

    def transition(self, key, start, finish, **kwargs):
        name = key[0] if isinstance(key, tuple) else key
        if finish == "executing" and str(name).startswith(self.prefix) and not os.path.exists(self.flag):
            open(self.flag, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)


@pytest.mark.parametrize("what", ["historical_data", "bars_around_events"])
def test_a_worker_killed_during_a_run(client, tmp_path, what):
    if what == "historical_data":
        csv_path, tickers, days = make_tree(tmp_path, 21, False, n_tickers=6)
        args = (tickers, INTRADAY, days[0], days[-1] + " 23:59:59", str(csv_path))
        want = api.get_historical_data(*args)
        run, prefix = (lambda: cluster.historical_data(client, *args, tickers_per_task=1)), "get_historical_data"
    else:
        bars, cal = _event_case(5, "holes")
        want, _ = outcome(tb.filter_bars_around_events, bars, cal)
        run, prefix = (lambda: cluster.bars_around_events(client, bars, cal, securities_per_task=1)), "_event_part"
    flag = str(tmp_path / "killed")
    client.register_plugin(_KillOnce(flag, prefix), name="kill-once")
    try:
        got = run()
    finally:
        client.unregister_worker_plugin("kill-once")
        client.wait_for_workers(2, timeout=60)
    assert os.path.exists(flag)
    pd.testing.assert_frame_equal(got, want, check_exact=True)


# ---- without the extra -----------------------------------------------------------------------------

def test_import_without_distributed_names_the_extra(tmp_path):
    code = "import sys; sys.modules['distributed'] = None\nimport orvane_data.cluster"
    pkg_root = str(pathlib.Path(orvane_data.__file__).resolve().parents[1])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join([pkg_root, os.environ.get("PYTHONPATH", "")])))
    assert out.returncode != 0
    assert "ModuleNotFoundError" in out.stderr and "pip install orvane_data[cluster]" in out.stderr
