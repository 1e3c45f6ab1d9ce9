"""orvane_data.from_bqia.querykit against the BQL stand-in (sim/bql) and scripted answers."""
import datetime as dt
import os
import subprocess
import sys
import textwrap

import pandas as pd
import pytest
import pytz

import bql
from orvane_data.from_bqia import querykit as qk

import orvane_data

# Where the package under test was imported from (the source tree or site-packages).
PKG_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(orvane_data.__file__)))


@pytest.fixture(autouse=True)
def _clean_bql():
    bql.reset()
    yield
    bql.reset()


@pytest.fixture
def bq():
    return bql.Service()


def calendar_frame(rows):
    """A calendar answer as the service gives it: indexed by "ID", extended view columns."""
    df = pd.DataFrame(rows, columns=["ID", "RELEASE_DATE_TIME", "TIMEZONE", "ACTUAL", "EVENT_NAME"])
    return df.set_index("ID")


def script_calendar(df):
    bql.register(lambda req: df if req.fields["Calendar"].params["dates"].start.startswith("2024") else
                 df.iloc[0:0], item="calendar")


# ---- date-range splitting ------------------------------------------------------------------

@pytest.mark.parametrize("start, end, years", [
    ("2024-03-01", "2024-06-30", [2024]),
    ("2021-06-01", "2024-02-15", [2021, 2022, 2023, 2024]),
    ("2022-12-31", "2023-03-01", [2023]),  # Sat 31 Dec and Sun 1 Jan have no price
    ("2023-12-25", "2024-01-01", [2023]),  # the last trading days only
])
def test_split_date_range_years_follow_trading_days(bq, start, end, years):
    assert qk._split_date_range(bq, start, end) == years
    (call,) = bq.calls
    (req,) = call.requests
    assert req.universe == "JPY Curncy"
    assert isinstance(req.items, bql.DataItem) and req.items.name == "px_last"
    assert req.items.params["dates"] == bql.DateRange(start, end)


def test_split_date_range_sorts_probe_dates_and_fails_on_no_dates(bq):
    dates = pd.to_datetime(["2023-05-02", "2021-01-04", "2022-07-01"])
    bql.register(pd.DataFrame({"DATE": dates, "px_last": 1.0}, index=pd.Index(["JPY Curncy"] * 3, name="ID")))
    assert qk._split_date_range(bq, "2021-01-01", "2023-12-31") == [2021, 2022, 2023]
    bql.reset()
    with pytest.raises(IndexError) as caught:
        qk._split_date_range(bq, "2023-12-30", "2023-12-31")  # a weekend: no trading day
    assert caught.value.__notes__ == ["the probe security 'JPY Curncy' has no trading day from '2023-12-30' to "
                                      "'2023-12-31': give 'yyyy-mm-dd' dates with start not after end"]


def test_on_request_error_ignores_positionals_only():
    assert qk._on_request_error() is None
    assert qk._on_request_error(ValueError("x"), object(), 3) is None
    with pytest.raises(TypeError):
        qk._on_request_error(error=1)


# ---- time-zone and minute helpers ----------------------------------------------------------

@pytest.mark.parametrize("sign, inverted", [("-", "+"), ("+", "-"), ("", None), ("plus", None), (None, None)])
def test_invert_sign(sign, inverted):
    assert qk._invert_sign(sign) == inverted


@pytest.mark.parametrize("label, zone", [
    ("GMT+08:00", "Etc/GMT-8"), ("GMT-05:00", "Etc/GMT+5"), ("GMT+00:00", "Etc/GMT-0"), ("GMT+14:00", "Etc/GMT-14"),
])
def test_convert_tz_whole_hours_give_etc_zones(label, zone):
    assert qk.convert_tz(label) is pytz.timezone(zone)


@pytest.mark.parametrize("label, minutes", [("GMT+05:30", 330), ("GMT-03:30", -210), ("GMT+05:45", 345)])
def test_convert_tz_keeps_minutes_of_the_offset(label, minutes):
    tz = qk.convert_tz(label)
    assert tz is pytz.FixedOffset(minutes)
    assert tz.utcoffset(dt.datetime(2024, 1, 1)) == dt.timedelta(minutes=minutes)


@pytest.mark.parametrize("label, error", [
    ("GMT", IndexError), ("GMT+xx:00", ValueError), ("GMT+15:00", pytz.UnknownTimeZoneError),
])
def test_convert_tz_rejects_bad_labels(label, error):
    with pytest.raises(error) as caught:
        qk.convert_tz(label)
    if error is not pytz.UnknownTimeZoneError:
        assert caught.value.__notes__ == [f"the time-zone label {label!r} is not of the form 'GMT+08:00' "
                                          "(a sign, then whole hours)"]


T = pd.Timestamp


@pytest.mark.parametrize("value, down, up", [
    (T("2024-03-01 08:30:45"), T("2024-03-01 08:30:00"), T("2024-03-01 08:31:00")),
    (T("2024-03-01 09:30:00.5"), T("2024-03-01 09:30:00"), T("2024-03-01 09:31:00")),
    (T("2024-03-01 09:30:15.5"), T("2024-03-01 09:30:00"), T("2024-03-01 09:31:00")),
    (T("2024-03-01 09:30:00.000000001"), T("2024-03-01 09:30:00"), T("2024-03-01 09:31:00")),
    (T("2024-12-31 23:59:30"), T("2024-12-31 23:59:00"), T("2025-01-01 00:00:00")),
    (dt.datetime(2024, 3, 1, 9, 30, 0, 500000), dt.datetime(2024, 3, 1, 9, 30), dt.datetime(2024, 3, 1, 9, 31)),
    (T("2024-03-01 08:30:45", tz="Asia/Tokyo"), T("2024-03-01 08:30", tz="Asia/Tokyo"),
     T("2024-03-01 08:31", tz="Asia/Tokyo")),
])
def test_round_event_datetime(value, down, up):
    got_down, got_up = qk.round_event_datetime(value), qk.round_event_datetime(value, round_down=False)
    assert (got_down, got_up) == (down, up)
    assert type(got_down) is type(value) and getattr(got_up, "tzinfo", None) == getattr(value, "tzinfo", None)


def test_round_event_datetime_of_a_non_datetime_names_what_it_takes():
    with pytest.raises(AttributeError, match="'str' object has no attribute 'second'") as caught:
        qk.round_event_datetime("2024-03-01 08:30:45")
    assert caught.value.__notes__ == ["round_event_datetime takes a datetime.datetime or pandas Timestamp, not str"]


@pytest.mark.parametrize("value", [T("2024-03-01 08:30"), dt.datetime(2024, 3, 1, 8, 30), pd.NaT])
def test_round_event_datetime_whole_minute_unchanged(value):
    assert qk.round_event_datetime(value, True) is value
    assert qk.round_event_datetime(value, round_down=False) is value


# ---- economic calendar ---------------------------------------------------------------------

def test_calendar_one_batch_of_whole_year_requests(bq):
    df = qk.get_eco_calendar_data(bq, ["US", "JP"], "2022-11-15", "2024-02-01")
    (probe, batch) = bq.calls
    assert probe.kind == "execute" and batch.kind == "execute_many"
    assert [r.fields["Calendar"].params["dates"] for r in batch.requests] == [
        bql.DateRange(f"{y}-01-01", f"{y}-12-31") for y in (2022, 2023, 2024)]
    for req in batch.requests:
        assert req.universe == ["US", "JP"] and list(req.fields) == ["Calendar"]
        assert req.preferences == {"addcols": ["surprise", "subtype"]}
        item = req.fields["Calendar"]
        assert {k: item.params[k] for k in ("subtype", "relevancy", "view")} == {
            "subtype": "all", "relevancy": "medium", "view": "extended"}
        assert item.condition is None
    assert sorted(df["RELEASE_DATE_TIME"].dt.year.unique()) == [2022, 2023, 2024]
    assert df["RELEASE_DATE_TIME"].min() < pd.Timestamp("2022-02-01")  # not cut back to start
    assert df.index.name == "ID" and set(df.index) == {"US", "JP"}
    assert not {"event_datetime", "event_date", "event_time", "event_timezone"} & set(df.columns)
    assert {"surprise", "subtype", "TIMEZONE", "ACTUAL"} <= set(df.columns)
    # year order, each year's rows as the service gave them
    years = df["RELEASE_DATE_TIME"].dt.year.to_numpy()
    assert (years[1:] >= years[:-1]).all()


def test_calendar_drops_unreleased_and_filters_tickers(bq):
    df = qk.get_eco_calendar_data(bq, "US", "2026-03-01", "2026-12-31", tickers=["CPI YOY Index", "FDTR Index"])
    (req,) = bq.calls[1].requests
    cond = req.fields["Calendar"].condition
    assert (cond.field, cond.op, cond.value) == ("ticker", "in", ["CPI YOY Index", "FDTR Index"])
    assert set(df["TICKER"]) == {"CPI YOY Index", "FDTR Index"}
    assert df["ACTUAL"].notna().all()
    raw = bq.execute(req)[0].df()
    assert raw["ACTUAL"].isna().any()  # the year holds releases still to come
    assert len(df) == raw["ACTUAL"].notna().sum()


def test_calendar_ignores_failed_requests_of_the_batch(bq):
    bql.register(bql.BqlError("request failed"), item="calendar",
                 when=lambda r: r.fields["Calendar"].params["dates"].start == "2023-01-01")
    df = qk.get_eco_calendar_data(bq, "JP", "2022-06-01", "2024-06-30")
    assert sorted(df["RELEASE_DATE_TIME"].dt.year.unique()) == [2022, 2024]
    bql.register(bql.BqlError("everything failed"), item="calendar")
    with pytest.raises(ValueError) as caught:  # nothing to stack
        qk.get_eco_calendar_data(bq, "JP", "2022-06-01", "2024-06-30")
    assert caught.value.__notes__ == ["BQL answered none of the 3 yearly calendar requests for 'JP' "
                                      "(failed requests of the batch are skipped)"]


@pytest.mark.parametrize("unit, seconds", [("ns", ["45"]), ("us", ["45"]), ("s", ["00"]), ("s", ["00", "45"]),
                                           ("ms", ["45"])])
def test_calendar_worked_example(bq, unit, seconds):
    frame = calendar_frame([("CN", f"2024-03-01 08:30:{sec}", "GMT+08:00", 1.5, "CPI YoY") for sec in seconds])
    frame["RELEASE_DATE_TIME"] = pd.to_datetime(frame["RELEASE_DATE_TIME"]).dt.as_unit(unit)
    script_calendar(frame)
    df = qk.get_eco_calendar_data(bq, "CN", "2024-02-01", "2024-03-30", event_timezone="UTC")
    assert list(df.columns[-4:]) == ["event_datetime", "event_date", "event_time", "event_timezone"]
    row = df.iloc[0]
    assert row["event_datetime"] == pd.Timestamp("2024-03-01 00:30:00", tz="UTC")
    # The unit that rounding each release time by itself gives (pandas 3 keeps [s] only on whole minutes).
    local = frame["RELEASE_DATE_TIME"].dt.tz_localize(pytz.timezone("Etc/GMT-8")).dt.tz_convert("UTC")
    assert df["event_datetime"].dtype == pd.Series([qk.round_event_datetime(t) for t in local]).dtype
    assert row["event_date"] == dt.date(2024, 3, 1) and row["event_time"] == dt.time(0, 30)
    assert row["event_timezone"] is pytz.UTC


def test_calendar_localises_each_row_with_its_own_label(bq):
    script_calendar(calendar_frame([
        ("IN", "2024-03-12 17:30:00", "GMT+05:30", 5.1, "CPI YoY"),
        ("CA", "2024-03-08 09:30:45", "GMT-03:30", 230.0, "Newfoundland Employment"),
        ("IN", "2024-04-12 17:30:00", "GMT+05:30", 4.9, "CPI YoY"),
        ("NP", "2024-03-15 15:00:00", "GMT+05:45", 6.0, "CPI YoY"),
        ("US", "2024-03-12 08:30:00", "GMT-04:00", 3.2, "CPI YoY"),
        ("XX", "2024-03-13 08:30:00", None, 1.0, "No label"),
        ("JP", "2024-03-14 08:30:00", "GMT+09:00", None, "Unreleased"),
    ]))
    df = qk.get_eco_calendar_data(bq, ["IN"], "2024-01-01", "2024-12-31", event_timezone="UTC")
    assert list(df.index) == ["IN", "CA", "IN", "NP", "US", "XX"]
    assert [t.strftime("%Y-%m-%d %H:%M:%S") for t in df["event_datetime"]] == [
        "2024-03-12 12:00:00", "2024-03-08 13:00:00", "2024-04-12 12:00:00", "2024-03-15 09:15:00",
        "2024-03-12 12:30:00",
        "2024-03-13 03:00:00",  # no label: the first row's zone
    ]


def test_calendar_sample_release_times_round_trip_to_local_zone(bq):
    # US releases switch between GMT-05:00 and GMT-04:00 over a year; each must land on its local time.
    df = qk.get_eco_calendar_data(bq, "US", "2023-01-01", "2023-12-31", event_timezone="America/New_York")
    assert df["TIMEZONE"].nunique() == 2
    local = df["RELEASE_DATE_TIME"].dt.floor("min")
    assert (df["event_datetime"].dt.tz_localize(None) == local).all()
    assert (df["event_datetime"].dt.second == 0).all()
    assert (df["event_timezone"] == pytz.timezone("America/New_York")).all()


def test_calendar_aware_release_times_are_converted(bq):
    frame = calendar_frame([("US", "2024-03-12 08:30:20", "GMT-04:00", 3.2, "CPI YoY")])
    frame["RELEASE_DATE_TIME"] = pd.to_datetime(frame["RELEASE_DATE_TIME"]).dt.tz_localize("America/New_York")
    script_calendar(frame)
    df = qk.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-12-31", event_timezone="Asia/Tokyo")
    assert df["event_datetime"].iloc[0] == pd.Timestamp("2024-03-12 21:30", tz="Asia/Tokyo")


def test_calendar_failures(bq):
    with pytest.raises(Exception, match=r"^'TIMEZONE' column not found\. Please set 'view' parameter to "
                                        r"'extended'\.$"):
        qk.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-02-01", view="default", event_timezone="UTC")
    plain = qk.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-02-01", view="default")
    assert "TIMEZONE" not in plain.columns and len(plain) > 0
    with pytest.raises(IndexError) as caught:  # every row unreleased
        qk.get_eco_calendar_data(bq, "XX", "2024-01-01", "2024-02-01", event_timezone="UTC")
    assert caught.value.__notes__ == ["no released event ('ACTUAL' present) for 'XX' in the years [2024], so there "
                                      "is no 'TIMEZONE' label to convert from"]
    with pytest.raises(pytz.UnknownTimeZoneError):
        qk.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-02-01", event_timezone="Mars/Olympus")


def test_calendar_verbose_lines(bq, capsys):
    qk.get_eco_calendar_data(bq, "GB", "2023-06-01", "2024-01-31", verbose=True)
    assert capsys.readouterr().out.splitlines() == [
        "Splitting the date range ...", "getting data for year 2023", "getting data for year 2024"]
    qk.get_eco_calendar_data(bq, "GB", "2023-06-01", "2024-01-31")
    assert capsys.readouterr().out == ""


def test_bql_looked_up_at_call_time(bq, monkeypatch):
    monkeypatch.delattr(qk, "bql")
    with pytest.raises(NameError, match="'bql'"):
        qk.get_eco_calendar_data(bq, "US", "2024-01-01", "2024-02-01")
    monkeypatch.delattr(qk, "bq")
    with pytest.raises(NameError):
        qk.get_figi_to_id_mapping(["BBG000BLNNH6"])


# ---- identifier mappings -------------------------------------------------------------------

@pytest.mark.parametrize("universe, add, expected", [
    (["EURUSD Curncy", "AAPL US Equity"], None, ["BBG0013HGFT4.BGN", "BBG000B9XRY4"]),
    (["eurusd CURNCY", "ibm 4 1/4 05/15/49 corp", "SPX Index"], None,
     ["BBG0013HGFT4.BGN", "BBG00P3BLH05.BGN", "BBG000H4FSM0"]),
    (["EURUSD Curncy", "AAPL US Equity"], ["AAPL US Equity"], ["BBG0013HGFT4", "BBG000B9XRY4.BGN"]),
    (["EURUSD Curncy", "AAPL US Equity"], [], ["BBG0013HGFT4", "BBG000B9XRY4"]),
    (["NOSUCH Curncy"], None, ["None.BGN"]),
])
def test_id_to_figi_mapping(universe, add, expected):
    df = qk.get_id_to_figi_mapping(universe, tickers_to_add_pcs=add)
    assert list(df.columns) == ["parsekey", "figi"]
    assert list(df["parsekey"]) == universe and list(df["figi"]) == expected
    assert isinstance(df.index, pd.RangeIndex)
    req = qk.bq.calls[-1].requests[0]
    assert req.universe == universe and req.fields["figi"].field == "ID_BB_GLOBAL"


def test_id_to_figi_mapping_names_and_non_text_ids():
    df = qk.get_id_to_figi_mapping(["JPY Curncy"], figi_col_name="code", id_col_name="sec")
    assert list(df.columns) == ["sec", "code"] and df["code"].iloc[0] == "BBG0013HGJ36.BGN"
    bql.register(pd.DataFrame({"figi": ["X"]}, index=pd.Index([7], name="ID")))
    with pytest.raises(AttributeError):
        qk.get_id_to_figi_mapping([7])


@pytest.mark.parametrize("kwargs, columns, values", [
    ({}, ["figi", "short_name"], ["International Business Machines Corp", None]),
    ({"id_col_name": "parsekey", "id_data_item": "parsekyable_des"}, ["figi", "parsekey"], ["IBM US Equity", None]),
])
def test_figi_to_id_mapping(kwargs, columns, values):
    df = qk.get_figi_to_id_mapping(["BBG000BLNNH6", "BBG000NOPE00"], **kwargs)
    assert list(df.columns) == columns
    assert list(df[columns[0]]) == ["BBG000BLNNH6", "BBG000NOPE00"] and list(df[columns[1]]) == values


def test_figi_to_id_mapping_unknown_field():
    with pytest.raises(bql.BqlError):
        qk.get_figi_to_id_mapping(["BBG000BLNNH6"], id_data_item="no_such_field")


# ---- load-time behaviour (fresh interpreters) ----------------------------------------------

LOAD_PROBE = textwrap.dedent("""
    import sys, warnings
    sys.path.insert(0, sys.argv[1])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        from orvane_data.from_bqia import querykit as qk
    print([str(w.message) for w in caught if "bql" in str(w.message)])
    print(qk.SHOW_WARNINGS, hasattr(qk, "bql"), hasattr(qk, "bq"))
    try:
        qk.get_id_to_figi_mapping(["IBM US Equity"])
    except NameError as e:
        print("NameError", e)
""")


@pytest.mark.parametrize("bql_source, show, out", [
    (None, "1", ["[\"[bqia] 'bql' is not installed.\"]", "True False False", "NameError"]),
    (None, "true", ["[]", "False False False", "NameError"]),
    (None, None, ["[]", "False False False", "NameError"]),
    ("raise ValueError('broken')", "1", ["[\"[bqia] 'bql' is not installed.\"]", "True False False", "NameError"]),
    ("class Service:\n    def __init__(self):\n        raise RuntimeError('no session')\n", "1",
     ["[\"[bqia] 'bql' is not installed.\"]", "True True False", "NameError name 'bq' is not defined"]),
])
def test_load_time_guard(tmp_path, bql_source, show, out):
    if bql_source is not None:
        (tmp_path / "bql.py").write_text(bql_source)
    env = {k: v for k, v in os.environ.items() if k != "SHOW_WARNINGS"}
    env["PYTHONPATH"] = PKG_ROOT
    if show is not None:
        env["SHOW_WARNINGS"] = show
    res = subprocess.run([sys.executable, "-c", LOAD_PROBE, str(tmp_path)], capture_output=True, text=True,
                         env=env, cwd=str(tmp_path), timeout=60)
    assert res.returncode == 0, res.stderr
    lines = res.stdout.splitlines()
    assert lines[:2] == out[:2] and lines[2].startswith(out[2])
