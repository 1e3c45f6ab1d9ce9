"""orvane_data.from_bqia.tickbars on the intraday and BQL stand-ins.

The event windows are checked against the plain pandas steps they describe (`_windows_by_pandas`,
`_event_bars_by_pandas` below), on inputs chosen to reach both the native path and the pandas one.
"""
import datetime as dt
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap
import zoneinfo

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest
import pytz

import bql
from bloomberg.bquant import intraday as bqia
import orvane_data
from orvane_data.from_bqia import querykit as qk
from orvane_data.from_bqia import tickbars as tb

ROOT = pathlib.Path(__file__).resolve().parents[1]
NY = "America/New_York"


@pytest.fixture(autouse=True)
def _fresh_stand_ins():
    bqia.reset()
    bql.reset()
    yield
    bqia.reset()
    bql.reset()


def _windows_by_pandas(cal, pre=-5, post=10):
    rows = []
    for event in cal["EVENT_NAME"].unique():
        subset = cal[cal["EVENT_NAME"] == event]
        for t in [qk.round_event_datetime(x, round_down=True) for x in subset["event_datetime"].unique()]:
            for m in range(pre, post + 1):
                rows.append((event, t, t + dt.timedelta(minutes=m), m))
    return pd.DataFrame(rows, columns=["EVENT_NAME", "event_datetime", "datetime", "time_diff"])


def _event_bars_by_pandas(bars, cal, pre=-5, post=10):
    meta = _windows_by_pandas(cal, pre, post).set_index("datetime")
    indexed = bars.set_index("datetime")
    out = meta.join(indexed, how="left").reset_index()
    out = out.dropna(subset=["key"])
    out = out[list(meta.columns) + ["datetime"] + list(indexed.columns)]
    out = out.sort_values(["EVENT_NAME", "event_datetime", "key", "datetime"]).reset_index(drop=True)
    out = out.set_index(["EVENT_NAME", "event_datetime"])
    return out.join(cal.reset_index().set_index(["EVENT_NAME", "event_datetime"]), how="left").reset_index()


def _minute_bars(keys, start, periods, tz=NY, seed=0):
    rng = np.random.default_rng(seed)
    times = pd.date_range(start, periods=periods, freq="min", tz=tz)
    return pd.concat([pd.DataFrame({"security": "FIGI_" + k, "datetime": times, "key": k,
                                    "close": rng.normal(size=periods), "volume": rng.integers(0, 9, periods)})
                      for k in keys], ignore_index=True)


def _calendar(rows, tz=NY):
    return pd.DataFrame({"EVENT_NAME": [r[0] for r in rows],
                         "event_datetime": pd.DatetimeIndex([r[1] for r in rows]).tz_localize(tz),
                         "ACTUAL": np.arange(len(rows), dtype=float)},
                        index=pd.Index(["US"] * len(rows), name="ID"))


# ---- load ------------------------------------------------------------------------------------

# The directory holding the orvane_data package actually under test (installed or in-tree).
_PKG_ROOT = str(pathlib.Path(orvane_data.__file__).resolve().parents[1])


def _load_in_child(tmp_path, code, extra_path, env_extra=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(extra_path), _PKG_ROOT]), **(env_extra or {}))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          cwd=tmp_path)


def test_guards_absorb_any_error_and_warn(tmp_path):
    (tmp_path / "bloomberg" / "bquant" / "intraday").mkdir(parents=True)
    (tmp_path / "bloomberg" / "bquant" / "intraday" / "__init__.py").write_text("raise RuntimeError('no')\n")
    (tmp_path / "bql.py").write_text("raise RuntimeError('no')\n")
    code = """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            from orvane_data.from_bqia import tickbars as tb
        print(sorted(str(w.message) for w in caught))
        print(tb.SHOW_WARNINGS, tb.PACKAGES, hasattr(tb, "bqia"), hasattr(tb, "bq"))
        try:
            tb.set_intraday_config()
        except NameError as e:
            print("NameError", e)
    """
    out = _load_in_child(tmp_path, code, tmp_path, {"SHOW_WARNINGS": "1"})
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert "[bqia] 'bqia' is not installed." in lines[0] and "'bql' is not installed." in lines[0]
    assert lines[1] == "True ['macro', 'equity', 'fixed-income'] False False"
    assert lines[2] == "NameError name 'bqia' is not defined"


def test_without_querykit_the_module_does_not_load(tmp_path):
    code = """
        import sys
        sys.modules["orvane_data.from_bqia.querykit"] = None
        from orvane_data.from_bqia import tickbars
    """
    out = _load_in_child(tmp_path, code, ROOT / "sim")
    assert out.returncode != 0 and "ModuleNotFoundError: import of orvane_data.from_bqia.querykit halted" in out.stderr


# ---- configuration -------------------------------------------------------------------------

def test_set_intraday_config_dictionaries():
    default = inspect.signature(tb.set_intraday_config).parameters["packages"].default
    tb.set_intraday_config()
    tb.set_intraday_config()
    first, second = (c.kwargs["configs"] for c in bqia.calls)
    assert first == {"enabled_packages": ["equity", "macro", "fixed-income"]}
    assert first["enabled_packages"] is default and second["enabled_packages"] is default
    mapping, factory = pd.DataFrame(columns=["custom", "parsekey", "figi"]), tb.get_roll_config({})
    assert tb.set_intraday_config(mapping, factory, ["macro"]) is None
    assert bqia.get_config() == {"security_id_mapping": mapping, "futures_roll_factory": factory,
                                 "enabled_packages": ["macro"]}


def test_get_roll_config_builds_rules_in_order():
    factory = tb.get_roll_config({"es": ("ES", "Index", 5), "ty": ("TY", "Comdty", 0)})
    assert list(factory.roll_configs) == ["es", "ty"]
    es = factory.roll_configs["es"]
    assert (es.future_root, es.yellow_key, es.roll_offset) == ("ES", "Index", pd.DateOffset(5))
    assert tb.get_roll_config({}).roll_configs == {}


def _notes(excinfo):
    return " | ".join(getattr(excinfo.value, "__notes__", []))


@pytest.mark.parametrize("value, message", [
    (("ES", "Index"), "not enough values to unpack (expected 3, got 2)"),
    (("ES", "Index", 5, 1), "too many values to unpack (expected 3)"),
])
def test_get_roll_config_unpacking_errors(value, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")) as caught:
        tb.get_roll_config({"es": value})
    assert _notes(caught).startswith(f"dict_fut['es'] is {value!r}: each value is (future_root, yellow_key, roll_offset")


def test_get_id_mapping_inner_merge_and_suffix():
    df = tb.get_id_mapping({"spx": ("spx index", ""), "eur": ("EURUSD Curncy", "BGN"), "zz": ("NOPE Equity", "")})
    assert list(df.columns) == ["custom", "parsekey", "figi"]
    assert df.index.equals(pd.RangeIndex(2))
    assert df.values.tolist() == [["spx", "spx index", "BBG000H4FSM0"],
                                  ["eur", "EURUSD Curncy", "BBG0013HGFT4.BGN"]]


@pytest.mark.parametrize("value, error, note", [
    (("spx index",), IndexError, "dict_sec_pcs['spx'] is ('spx index',): each value is a (parse key, pricing source)"),
    (("spx index", None), TypeError, "the pricing source of 'spx' is None (its FIGI is 'BBG000H4FSM0')"),
])
def test_get_id_mapping_bad_values(value, error, note):
    with pytest.raises(error) as caught:
        tb.get_id_mapping({"spx": value})
    assert _notes(caught).startswith(note)


# ---- bars ----------------------------------------------------------------------------------

def test_get_intraday_bars_defaults():
    default = inspect.signature(tb.get_intraday_bars).parameters["dict_sec_pcs"].default
    df = tb.get_intraday_bars()
    call = bqia.calls[-1].kwargs
    assert call == {"securities": ["spx"], "security_id_type": "custom", "start": "2024-06-01",
                    "end": "2024-07-01", "tz": None, "downsample_freq": None}
    assert list(df.columns) == ["security", "datetime", "key", "open", "high", "low", "close", "volume",
                                "short_name", "parsekey"]
    assert set(df["short_name"]) == {"S&P 500 Index"} and set(df["parsekey"]) == {"SPX Index"}
    assert default == {"spx": ("spx index", "")}


def test_get_intraday_bars_figi_names_futures_and_fallback_descriptions():
    df = tb.get_intraday_bars({"eur": ("EURUSD Curncy", "BGN")}, {"es": ("ES", "Index", 5)}, "2024-06-03",
                              "2024-06-03", security_id_type="figi")
    assert bqia.calls[-1].kwargs["securities"] == ["BBG0013HGFT4.BGN", "es"]
    first = df.drop_duplicates("key").set_index("key")
    # BQL does not know the suffixed FIGI, so both descriptions fall back to it.
    assert first.loc["BBG0013HGFT4.BGN", ["short_name", "parsekey"]].tolist() == ["BBG0013HGFT4.BGN"] * 2
    assert first.loc["es", ["security", "parsekey"]].tolist() == ["BBG000C2V3D6", "ES1 Index"]


@pytest.mark.parametrize("missing", [None, np.nan, pd.NA])
def test_missing_descriptions_fall_back_to_the_security(missing):
    figi = tb.get_intraday_bars(add_description=False)["security"].iloc[0]
    for field, column in [("name", "short_name"), ("parsekyable_des", "parsekey")]:
        bql.register(pd.DataFrame({column: pd.Series([missing], dtype=object)}, index=pd.Index([figi], name="ID")),
                     item=field)
    df = tb.get_intraday_bars()
    assert set(df["short_name"]) == {figi} and set(df["parsekey"]) == {figi}


@pytest.mark.parametrize("kwargs, note", [
    ({"security_id_type": "ticker"}, "security_id_type is 'ticker': it names a column of the id mapping"),
    ({"dict_sec_pcs": {"eur": ("EURUSD Curncy", "BGN")}, "security_id_type": "figi"}, None),
])
def test_get_intraday_bars_key_errors_name_the_cause(kwargs, note):
    if note is None:  # a security the library returns but BQL does not know
        bql.register(pd.DataFrame({"short_name": ["x"]}, index=pd.Index(["OTHER"], name="ID")), item="name")
        note = "BQL's answer for the field 'name' has no row for the bars' security 'BBG0013HGFT4.BGN'"
    with pytest.raises(KeyError) as caught:
        tb.get_intraday_bars(**kwargs)
    assert _notes(caught).startswith(note)


def test_get_intraday_bars_without_securities_or_description():
    executed = len(bql.calls)
    df = tb.get_intraday_bars(None, None, add_description=False)
    assert bqia.get_config() == {"enabled_packages": ["equity", "macro", "fixed-income"]}
    assert bqia.calls[-1].kwargs["securities"] == [] and df.empty
    assert len(bql.calls) == executed


def test_unknown_security_is_a_clear_error():
    with pytest.raises(bqia.IntradayError, match="unknown security 'nope'"):
        bqia.get_bars(securities=["nope"], security_id_type="custom")


def test_stand_in_bars_are_deterministic_and_honour_tz_and_downsampling():
    wide = bqia.get_bars(securities=["SPX Index"], security_id_type="parsekey", start="2024-06-03", end="2024-06-05")
    day = bqia.get_bars(securities=["SPX Index"], security_id_type="parsekey", start="2024-06-04",
                        end="2024-06-04", tz=NY)
    assert day["datetime"].dt.strftime("%H:%M").agg(["min", "max"]).tolist() == ["09:30", "15:59"]
    same = wide.set_index("datetime").loc[day["datetime"].dt.tz_convert("UTC")]
    assert np.array_equal(same["close"].to_numpy(), day["close"].to_numpy())
    coarse = bqia.get_bars(securities=["SPX Index"], security_id_type="parsekey", start="2024-06-04",
                           end="2024-06-04", tz=NY, downsample_freq="30min")
    assert len(coarse) == 13 and coarse["volume"].sum() == day["volume"].sum()
    # A release day (payrolls at 08:30:45 New York): the same reaction whatever range is asked for,
    # a jump in the 08:30 bar and heavier volume just after.
    fx = [bqia.get_bars(securities=["EURUSD Curncy"], security_id_type="parsekey", start=a, end=b, tz=NY)
          .set_index("datetime").loc["2024-02-02 08:00":"2024-02-02 09:00"] for a, b in
          [("2024-02-02", "2024-02-02"), ("2024-02-01", "2024-02-05")]]
    pd.testing.assert_frame_equal(fx[0], fx[1])
    moves = np.log(fx[0]["close"]).diff().abs()
    assert moves.idxmax() == pd.Timestamp("2024-02-02 08:30", tz=NY) and moves.max() > 5 * moves.median()
    assert fx[0]["volume"].loc["2024-02-02 08:30":"2024-02-02 08:32"].min() > 2 * fx[0]["volume"].median()


# ---- event windows -------------------------------------------------------------------------

def test_metadata_window_and_bounds():
    cal = _calendar([("CPI", "2024-01-10 08:30:00")])
    meta = tb.get_event_metadata(cal)
    assert len(meta) == 16 and list(meta.columns) == ["EVENT_NAME", "event_datetime", "datetime", "time_diff"]
    assert meta["time_diff"].tolist() == list(range(-5, 11))
    assert meta["datetime"].iloc[[0, -1]].dt.strftime("%H:%M").tolist() == ["08:25", "08:40"]
    pd.testing.assert_frame_equal(meta, _windows_by_pandas(cal))


def test_pre_after_post_gives_empty_tables():
    cal = _calendar([("CPI", "2024-01-10 08:30:00")])
    bars = _minute_bars(["a"], "2024-01-10 08:00", 60)
    assert tb.get_event_metadata(cal, 3, 2).empty
    assert tb.filter_bars_around_events(bars, cal, 3, 2).empty


def test_unrounded_calendar_leaves_calendar_columns_empty():
    cal = _calendar([("CPI", "2024-01-10 08:30:45")])
    out = tb.filter_bars_around_events(_minute_bars(["a"], "2024-01-10 08:00", 60), cal)
    assert out["datetime"].dt.strftime("%H:%M").iloc[[0, -1]].tolist() == ["08:25", "08:40"]
    assert out["ID"].isna().all() and out["ACTUAL"].isna().all()


def test_two_securities_sorted_by_key_then_time_with_calendar_attached():
    cal = _calendar([("CPI", "2024-01-10 08:30:00"), (None, "2024-01-10 08:31:00")])
    bars = _minute_bars(["b", "a"], "2024-01-10 08:00", 60)
    before = bars.copy(), cal.copy()
    out = tb.filter_bars_around_events(bars, cal)
    assert list(out.columns) == ["EVENT_NAME", "event_datetime", "time_diff", "datetime", "security", "key",
                                 "close", "volume", "ID", "ACTUAL"]
    assert out["key"].tolist() == ["a"] * 16 + ["b"] * 16
    assert out["datetime"].is_monotonic_increasing is False and out["datetime"].iloc[:16].is_monotonic_increasing
    assert set(out["ID"]) == {"US"} and out.index.equals(pd.RangeIndex(32))
    pd.testing.assert_frame_equal(bars, before[0])
    pd.testing.assert_frame_equal(cal, before[1])


def test_two_releases_in_one_minute_give_two_identical_windows():
    cal = _calendar([("CPI", "2024-01-10 08:30:00"), ("CPI", "2024-01-10 08:30:45"), ("CPI", "2024-01-10 08:30:00")])
    bars = _minute_bars(["b", "a"], "2024-01-10 08:00", 60)
    assert len(tb.get_event_metadata(cal)) == 32
    out = tb.filter_bars_around_events(bars, cal)
    # Two windows x two securities x the two calendar rows at exactly 08:30.
    assert len(out) == 16 * 2 * 2 * 2 and set(out["ACTUAL"]) == {0.0, 2.0}
    pd.testing.assert_frame_equal(out, _event_bars_by_pandas(bars, cal))


def _random_case(seed, tz, unit="ns", variant="holes", names=object):
    """`unit` is the calendar's time unit, or "calendar:bars" for two different units."""
    unit, _, bar_unit = unit.partition(":")
    rng = np.random.default_rng(seed)
    # "many-keys": enough securities that the keys of the matched bars are ranked in several parts.
    keys = [f"k{i:03d}" for i in rng.permutation(200)] if variant == "many-keys" else ["k3", "k1", "k2"]
    bars = _minute_bars(keys, "2024-01-10 08:00", 240, tz=tz, seed=seed)
    if variant not in ("full", "many-keys"):
        bars = bars.drop(index=rng.choice(len(bars), 150, replace=False)).reset_index(drop=True)  # holes
        bars.loc[rng.choice(len(bars), 5), "key"] = None
        bars = pd.concat([bars, bars.iloc[:7]], ignore_index=True)  # repeated bars
    if variant == "split":  # a table put together from slices, cut inside a security's run of bars
        bars = pd.concat([bars.iloc[:100], bars.iloc[100:333], bars.iloc[333:]], ignore_index=True)
    if variant == "category":
        bars["key"] = pd.Categorical(bars["key"], categories=["k2", "k3", "k1"])
    bars["datetime"] = bars["datetime"].dt.as_unit(bar_unit or unit)
    if variant == "zoneinfo-bars":
        bars["datetime"] = bars["datetime"].dt.tz_convert(zoneinfo.ZoneInfo(tz))
        tz = pytz.timezone(tz)
    times = pd.Timestamp("2024-01-10 08:10") + pd.to_timedelta(rng.integers(0, 200 * 60, 25), unit="s")
    names = rng.choice(["CPI", "NFP", "GDP", None], 25)
    cal = _calendar(list(zip(names, times)), tz=tz)
    cal = pd.concat([cal, cal.iloc[:4]])  # repeated calendar rows
    on_minute = rng.random(len(cal)) < (1.0 if variant == "on-minute" else 0.7)
    cal["event_datetime"] = cal["event_datetime"].dt.floor("min").where(on_minute,
                                                                      cal["event_datetime"]).dt.as_unit(unit)
    cal["EVENT_NAME"] = cal["EVENT_NAME"].astype(names)
    # Time stamps beside the keys, to be gathered where rows are missing too: naive in the
    # calendar's unit, zoned in milliseconds on the bars.
    cal["RELEASE_DATE_TIME"] = cal["event_datetime"].dt.tz_localize(None)
    bars["stamp"] = bars["datetime"].dt.as_unit("ms")
    return bars, cal


ARROW_TEXT = pd.ArrowDtype(pa.string())


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("tz, unit, variant, names", [
    (NY, "ns", "holes", object), (None, "ns", "holes", object), ("UTC", "us", "holes", object),
    (NY, "ns", "full", object), ("UTC", "ns", "category", object),
    # Other text dtypes and time units; on pandas 3 the window minutes of a [s] calendar are [us],
    # and its release times stay [s] only while every release is on a whole minute.
    (NY, "s", "holes", "str"), ("UTC", "ms:ns", "full", "string[pyarrow]"), (None, "us:s", "holes", ARROW_TEXT),
    (NY, "s", "on-minute", "string"), (None, "ns:us", "on-minute", "str"), (NY, "ns", "split", "str"),
    # The same zone as a pytz and as a zoneinfo object: pandas 2 joins them in UTC, pandas 3 does not.
    (NY, "ns", "zoneinfo-bars", object),
])
@pytest.mark.parametrize("window", [(-5, 10), (0, 0), (-30, 3)])
def test_event_windows_equal_the_pandas_steps(seed, tz, unit, variant, names, window):
    bars, cal = _random_case(seed, tz, unit, variant, names)
    pd.testing.assert_frame_equal(tb.get_event_metadata(cal, *window), _windows_by_pandas(cal, *window))
    pd.testing.assert_frame_equal(tb.filter_bars_around_events(bars, cal, *window),
                                  _event_bars_by_pandas(bars, cal, *window))


# The result's columns are gathered on native threads: one, and more threads than columns.
@pytest.mark.parametrize("unit, names, threads, variant", [
    ("ns", object, "1", "holes"), ("us", "str", "1", "holes"), ("s:ns", "string[pyarrow]", "16", "holes"),
    ("ns", "str", "16", "many-keys"),
])
def test_event_windows_of_plain_inputs_need_no_pandas_join(monkeypatch, unit, names, threads, variant):
    monkeypatch.setenv("ORVANE_NUM_THREADS", threads)
    bars, cal = _random_case(3, NY, unit, variant, names)
    want = _event_bars_by_pandas(bars, cal)

    def refuse(*args, **kwargs):
        raise AssertionError("pandas join used")

    monkeypatch.setattr(pd.DataFrame, "join", refuse)
    pd.testing.assert_frame_equal(tb.filter_bars_around_events(bars, cal), want)


def test_event_windows_errors():
    cal = _calendar([("CPI", "2024-01-10 08:30:00")])
    bars = _minute_bars(["a"], "2024-01-10 08:00", 60)
    with pytest.raises(KeyError) as caught:
        tb.filter_bars_around_events(bars.drop(columns="key"), cal)
    assert _notes(caught).startswith("df_bars has no column 'key': pass the table of get_intraday_bars")
    with pytest.raises(KeyError) as caught:
        tb.get_event_metadata(cal.drop(columns="event_datetime"))
    assert _notes(caught).startswith("df_calendar has no column 'event_datetime'")
    with pytest.raises(TypeError) as caught:
        tb.get_event_metadata(cal, -5.0, 10)
    assert _notes(caught) == "pre_event_window is -5.0: window bounds are whole numbers of minutes"
    with pytest.raises(ValueError, match="overlap") as caught:
        tb.filter_bars_around_events(bars.assign(ACTUAL=1.0), cal)
    assert _notes(caught).startswith("df_bars shares the column(s) 'ACTUAL' with the window table or the calendar")
    # Windows that could never fit in memory fail at once instead of exhausting it.
    many = pd.DataFrame({"EVENT_NAME": "CPI", "event_datetime": pd.date_range("2024-01-01", periods=3000, freq="h")})
    with pytest.raises(MemoryError):
        tb.get_event_metadata(many, -30_000_000, 0)


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("names", [object, "str"])
def test_impossible_windows_fail_at_once_on_every_road(unit, names):
    times = pd.Series(pd.date_range("2024-01-01", periods=3000, freq="h")).dt.as_unit(unit)
    many = pd.DataFrame({"EVENT_NAME": pd.Series("CPI", index=times.index, dtype=names), "event_datetime": times})
    with pytest.raises(MemoryError, match="3000 releases"):
        tb.get_event_metadata(many, -30_000_000, 0)
    with pytest.raises(MemoryError):
        tb.filter_bars_around_events(_minute_bars(["a"], "2024-01-01", 5, tz=None), many, 0, 30_000_000)
    with pytest.raises(MemoryError):  # a bound beyond int64 as well
        tb.filter_bars_around_events(_minute_bars(["a"], "2024-01-01", 5, tz=None), many, -5, 10**30)
    # Minutes beyond the range of the window's time unit: pandas' own error, not minutes of looping.
    late = pd.DataFrame({"EVENT_NAME": pd.Series(["CPI"], dtype=names),
                         "event_datetime": pd.Series(pd.to_datetime(["2262-04-10 08:30"])).dt.as_unit(unit)})
    for window in [(0, 5000), (-2 * 10**11, -2 * 10**11 + 1)]:
        try:
            _windows_by_pandas(late, *window)
        except (OverflowError, ValueError) as e:
            expected = type(e)
        else:
            continue  # the unit holds these minutes (pandas 3 keeps [s] and [ms] windows in [us])
        with pytest.raises(expected):
            tb.get_event_metadata(late, *window)


def test_event_study_road_on_the_stand_ins():
    bq = bql.Service()
    cal = qk.get_eco_calendar_data(bq, ["US"], "2024-01-01", "2024-03-31", event_timezone=NY)
    bars = tb.get_intraday_bars({"eur": ("EURUSD Curncy", "BGN")}, {"ty": ("TY", "Comdty", 3)},
                                "2024-01-01", "2024-03-31", tz=NY)
    out = tb.filter_bars_around_events(bars, cal)
    pd.testing.assert_frame_equal(out, _event_bars_by_pandas(bars, cal))
    # A release at 08:30:45 is cut down to 08:30 and keeps its calendar row.
    nfp = out[(out["EVENT_NAME"] == "Change in Nonfarm Payrolls") & (out["key"] == "eur")
              & (out["event_datetime"] == pd.Timestamp("2024-02-02 08:30", tz=NY))]
    assert nfp["datetime"].dt.strftime("%H:%M").tolist() == [f"08:{m:02d}" for m in range(25, 41)]
    assert set(nfp["RELEASE_DATE_TIME"]) == {pd.Timestamp("2024-02-02 08:30:45")}
    # The calendar covers the whole year; every release of the quarter meets both 24-hour series.
    in_range = (cal["event_datetime"] < pd.Timestamp("2024-03-31", tz=NY)).sum()
    assert in_range > 5 and len(out) == 2 * 16 * in_range and out["ACTUAL"].notna().all()
