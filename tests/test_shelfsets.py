"""orvane_data.from_s3.shelfsets against the local S3 server, with the datasets under their real
buckets and keys, and the BQL stand-in for ticker/FIGI conversion."""
import abc
import datetime as dt
import gzip
import io
import re

import boto3
import bql
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from orvane_data.from_s3 import shelfsets as ss

EQUITY = "bquant-data-base-equity"
MACRO = "bquant-data-base-macro"
ROOT = "alt_data/supply_chain/dl/datasets"
IBM, AAPL, MSFT, VOD = "BBG000BLNNH6", "BBG000B9XRY4", "BBG000BPH459", "BBG000C6K6G9"

# id, related, kind, start, end
SUPPLY = [
    (IBM, AAPL, "SUPPLIER", "2023-05-01", "2023-12-31"),  # ended before the window
    (IBM, MSFT, "SUPPLIER", "2024-03-01", "2025-01-01"),  # running at the window's end
    (IBM, VOD, "SUPPLIER", "2024-03-01", "2024-04-30"),  # wholly inside
    (IBM, AAPL, "CUSTOMER", "2022-01-01", ""),  # open-ended
    (AAPL, "BBGNOTKNOWN1", "SUPPLIER", "", "2024-02-01"),  # unknown start, related FIGI unknown
    (MSFT, IBM, "SUPPLIER", "2024-07-01", "2024-08-01"),  # starts after the window
]


def gz_csv(rows, extra):
    text = "ID_BB_GLOBAL,RELATED_FIGI,RELATIONSHIP,RELTNSHP_START_DT,RELTNSHP_END_DT,SNAP\n"
    text += "".join(",".join(r) + f",{extra}\n" for r in rows)
    return gzip.compress(text.encode())


def snapshot_key(table, date):
    return f"{ROOT}/{table}/snapshots/{date}/distributions/{table}.csv.gz"


def ecoest_frame():
    snaps = [pd.Timestamp("2024-01-05")] * 4 + [pd.Timestamp("2024-01-12")] * 4
    return pd.DataFrame({
        "dlSnapshotDate": snaps,
        "economistSurveyTimestamp": pd.to_datetime(["2024-01-01 09:00", "2024-01-02 00:00", "2024-01-02 23:30",
                                                    "2024-01-03 12:00"] * 2),
        "column0": ["CPI", "NFP", "CPI", "GDP"] * 2,
        "estimate": [float(i) for i in range(8)],
    })


def _empty(client, bucket):
    for page in client.get_paginator("list_objects_v2").paginate(Bucket=bucket):
        for obj in page.get("Contents", []):
            client.delete_object(Bucket=bucket, Key=obj["Key"])


@pytest.fixture(scope="module")
def s3():
    # The S3 server lives for the whole test session: start from empty buckets and leave them empty.
    client = boto3.client("s3")
    for b in (EQUITY, MACRO):
        client.create_bucket(Bucket=b)
        _empty(client, b)
    put = lambda key, body: client.put_object(Bucket=EQUITY, Key=key, Body=body)  # noqa: E731
    put(snapshot_key("supplyChainHistoryV2", "20240105"), gz_csv(SUPPLY, "old"))
    put(snapshot_key("supplyChainHistoryV2", "20240112"), gz_csv(SUPPLY, "new"))
    put(f"{ROOT}/supplyChainHistoryV2/", b"")  # folder placeholder
    put(f"{ROOT}/supplyChainHistoryV2/snapshots/README.txt", b"x")
    put(snapshot_key("supplyChainHistoryV2X", "20991231"), gz_csv(SUPPLY, "sibling"))
    put(snapshot_key("supplyChainCompetitorsHistory", "20240105"),
        gz_csv([(IBM, MSFT, "COMPETITOR", "2020-01-01", "")], "comp"))
    buf = io.BytesIO()
    pq.write_table(pa.Table.from_pandas(ecoest_frame(), preserve_index=False), buf, row_group_size=3)
    client.put_object(Bucket=MACRO, Key=ss.ECOEST.file_path, Body=buf.getvalue())
    yield client
    for b in (EQUITY, MACRO):
        _empty(client, b)


@pytest.fixture(scope="module")
def service():
    return bql.Service()


# ---- module, base class, helpers ------------------------------------------------------------

def test_module_attributes_and_abstract_base():
    assert ss.bql_Service is bql.Service and isinstance(ss.bq, bql.Service)
    assert ss.SHOW_WARNINGS is False
    assert issubclass(ss.SPLC, abc.ABC) and issubclass(ss.ECOEST, ss.S3Data)
    assert ss.S3Data.__abstractmethods__ == frozenset({"_load_snapshot", "get_data"})
    with pytest.raises(TypeError):
        ss.S3Data()


@pytest.mark.parametrize("day, friday", [("20240105", "20240112"), ("20240106", "20240112"),
                                         ("20240104", "20240105"), ("20241230", "20250103"),
                                         ("20240229", "20240301")])
def test_get_next_friday(day, friday):
    assert ss.get_next_friday(day) == friday


@pytest.mark.parametrize("target, want", [("20240104", None), ("20240105", "20240105"), ("20240110", "20240105"),
                                          ("20240112", "20240112"), ("20240131", "20240119")])
def test_find_closest_earlier_date(target, want):
    assert ss.find_closest_earlier_date(target, ["20240105", "20240112", "20240119"]) == want
    assert ss.find_closest_earlier_date(target, []) is None


class Day:
    """Orders before every text, so bisection returns it."""

    def __gt__(self, other):
        return False


@pytest.mark.parametrize("call, message", [
    (lambda: ss.get_next_friday(None), "Argument 'date_string' has incorrect type (expected str, got NoneType)"),
    (lambda: ss.find_closest_earlier_date("20240105", ("20240105",)),
     "Argument 'date_list' has incorrect type (expected list, got tuple)"),
    (lambda: ss.find_closest_earlier_date("20240105", [Day()]), "Expected str, got Day"),
    (lambda: ss.find_closest_earlier_date("20240110", [type("MyStr", (str,), {})("20240105")]),
     "Expected str, got MyStr"),
])
def test_helper_type_errors(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


# ---- ticker / FIGI conversion ---------------------------------------------------------------

def test_conversion_queries(service):
    service.calls.clear()
    assert ss.ticker_to_figi("IBM US Equity", service) == {"IBM US Equity": IBM}
    assert ss.ticker_to_figi(["IBM US Equity", "IBM US Equity", "AAPL US Equity"], service) == {
        "IBM US Equity": IBM, "AAPL US Equity": AAPL}
    assert ss.figi_to_ticker([IBM, VOD], service) == {IBM: "IBM US Equity", VOD: "VOD LN Equity"}
    texts = [c.requests[0].text for c in service.calls]
    assert texts == ["get(ID_BB_GLOBAL) for(['IBM US Equity'])",
                     "get(ID_BB_GLOBAL) for(['IBM US Equity', 'IBM US Equity', 'AAPL US Equity'])",
                     f"get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for(['{IBM}', '{VOD}'])"]


def test_parse_key_with_a_field_answered_twice_fails_as_pandas_does():
    # Two EXCH_CODE columns: the parse key is built with the ordinary "+" (Series + DataFrame goes to
    # the frame's reflected add), so pandas' own error arrives.
    class Item:
        def __init__(self, df):
            self._df = df

        def df(self):
            return self._df

    class Twice:
        def execute(self, query):
            ids = ["F1", "F2"]
            return [Item(pd.DataFrame({"TICKER": ["IBM", "VOD"]}, index=ids)),
                    Item(pd.DataFrame({"EXCH_CODE": ["US", "LN"]}, index=ids)),
                    Item(pd.DataFrame({"EXCH_CODE": ["US", "LN"]}, index=ids)),
                    Item(pd.DataFrame({"MARKET_SECTOR_DES": ["Equity", "Equity"]}, index=ids))]

    with pytest.raises(ValueError):
        ss.figi_to_ticker(["F1", "F2"], Twice())


def test_str_subclass_is_not_wrapped():
    class Text(str):
        pass

    class Recorder:
        def execute(self, query):
            self.query = query
            raise RuntimeError("stop")

    rec = Recorder()
    with pytest.raises(RuntimeError):
        ss.ticker_to_figi(Text("IBM US Equity"), rec)
    assert rec.query == "get(ID_BB_GLOBAL) for(IBM US Equity)"


# ---- SPLC --------------------------------------------------------------------------------------

def test_splc_selection_and_listing(s3):
    latest = ss.SPLC()
    assert sorted(latest.get_distinct()) == ["20240105", "20240112"]  # no sibling, no placeholder
    assert set(latest.data["SNAP"]) == {"new"}
    named = ss.SPLC("2024-01-05", "customer")
    assert (named.dataset, named.dataset_name, named.bq) == ("customer", "supplyChainHistoryV2", None)
    assert set(named.data["SNAP"]) == {"old"}
    assert isinstance(named.data.loc[0, "RELTNSHP_START_DT"], dt.date)
    assert list(named.data.columns) == ["ID_BB_GLOBAL", "RELATED_FIGI", "RELATIONSHIP", "RELTNSHP_START_DT",
                                        "RELTNSHP_END_DT", "SNAP"]
    assert named.get_data(["ignored"], None, None) is named.data


@pytest.mark.parametrize("as_of", ["2024/01/05", "20240119"])
def test_splc_unpublished_date(s3, as_of):
    msg = f"{as_of} is not valid. Valid snapshot dates: "
    with pytest.raises(AssertionError, match=re.escape(msg) + r"\['20240(105|112)', '20240(105|112)'\]\.$"):
        ss.SPLC(as_of)


@pytest.mark.parametrize("word", ["suppliers", "Supplier", ""])
def test_splc_dataset_word(s3, word):
    msg = f"`dataset`={word} is invalid. Only `suppliers` or `customers` or `competitors` are allowed."
    with pytest.raises(ValueError, match=re.escape(msg)):
        ss.SPLC(dataset=word)


@pytest.mark.parametrize("kwargs, name", [({"as_of_date": 20240105}, "as_of_date"), ({"dataset": None}, "dataset")])
def test_splc_argument_types(s3, kwargs, name):
    with pytest.raises(TypeError, match=f"Argument '{name}'"):
        ss.SPLC(**kwargs)


@pytest.mark.parametrize("start, end, related", [
    ("2024-01-01", "2024-06-30", [MSFT, VOD, AAPL, "BBGNOTKNOWN1"]),
    ("20240101", None, [MSFT, VOD, AAPL, "BBGNOTKNOWN1", IBM]),
    (None, "2023-06-30", [AAPL, AAPL, "BBGNOTKNOWN1"]),
    ("2024-05-01", "2024-05-01", [MSFT, AAPL]),
])
def test_splc_overlap_filter(s3, start, end, related):
    data = ss.SPLC(as_of_date="20240105").get_data([], start, end)
    assert data["RELATED_FIGI"].tolist() == related
    assert list(data.index) == list(range(len(related)))


@pytest.mark.parametrize("dataset, rows", [
    ("supplier", [(IBM, MSFT, "IBM US Equity", "MSFT US Equity"), (IBM, VOD, "IBM US Equity", "VOD LN Equity"),
                  (AAPL, "BBGNOTKNOWN1", "AAPL US Equity", None)]),
    ("customer", [(IBM, AAPL, "IBM US Equity", "AAPL US Equity")]),
    ("competitor", [(IBM, MSFT, "IBM US Equity", "MSFT US Equity")]),
])
def test_splc_with_service(s3, service, dataset, rows):
    splc = ss.SPLC(dataset=dataset, bq=service)
    before = splc.data.copy()
    got = splc.get_data(["IBM US Equity", "AAPL US Equity", "UNKNOWN US Equity"], "2024-01-01", "2024-06-30")
    assert list(got.columns)[-2:] == ["TICKER", "RELATED_TICKER"]
    assert list(got.index) == list(range(len(rows)))
    as_rows = [(a, b, c, d if isinstance(d, str) else None) for a, b, c, d in
               got[["ID_BB_GLOBAL", "RELATED_FIGI", "TICKER", "RELATED_TICKER"]].itertuples(index=False)]
    assert as_rows == rows
    pd.testing.assert_frame_equal(splc.data, before)
    # The same steps in pandas: the frame whole (dtypes, column order, index).
    start, end = before["RELTNSHP_START_DT"], before["RELTNSHP_END_DT"]
    day = lambda col, d: pd.Timestamp(d) if col.dtype.kind == "M" else d  # noqa: E731 - all missing: datetime64
    df = before[((start <= day(start, dt.date(2024, 6, 30))) | start.isna())
                & ((end >= day(end, dt.date(2024, 1, 1))) | end.isna())]
    df = df.reset_index(drop=True)
    ticker_map = {"IBM US Equity": IBM, "AAPL US Equity": AAPL}
    keep = df["ID_BB_GLOBAL"].isin(list(ticker_map.values()))
    df = df[keep & (df["RELATIONSHIP"] == dataset.upper()) if dataset != "competitor" else keep]
    df = df.reset_index(drop=True)
    df["TICKER"] = df["ID_BB_GLOBAL"].map({v: k for k, v in ticker_map.items()})
    df["RELATED_TICKER"] = got["RELATED_TICKER"]
    pd.testing.assert_frame_equal(got, df, check_exact=True, check_index_type=True, check_column_type=True)


def test_splc_missing_object_and_empty_listing(s3):
    s3.delete_object(Bucket=EQUITY, Key=snapshot_key("supplyChainCompetitorsHistory", "20240105"))
    s3.put_object(Bucket=EQUITY, Key=f"{ROOT}/supplyChainCompetitorsHistory/snapshots/20240105/other.txt", Body=b"")
    try:
        with pytest.raises(Exception, match="NoSuchKey"):
            ss.SPLC(dataset="competitor")
        s3.delete_object(Bucket=EQUITY, Key=f"{ROOT}/supplyChainCompetitorsHistory/snapshots/20240105/other.txt")
        with pytest.raises(ValueError):
            ss.SPLC(dataset="competitor")
    finally:
        s3.put_object(Bucket=EQUITY, Key=snapshot_key("supplyChainCompetitorsHistory", "20240105"),
                      Body=gz_csv([(IBM, MSFT, "COMPETITOR", "2020-01-01", "")], "comp"))


# ---- ECOEST ------------------------------------------------------------------------------------

def test_ecoest_snapshots_and_progress(s3, capsys, monkeypatch):
    eco = ss.ECOEST()
    assert "Retrieving snapshot dates 3" in capsys.readouterr().err
    monkeypatch.setenv("TQDM_DISABLE", "1")  # tqdm's own switch, honoured at each call
    ss.ECOEST()
    assert "Retrieving snapshot dates" not in capsys.readouterr().err
    assert eco.data["estimate"].tolist() == [4.0, 5.0, 6.0, 7.0]
    assert ss.ECOEST("2024-01-05").data["estimate"].tolist() == [0.0, 1.0, 2.0, 3.0]
    got = eco.get_data([])
    assert list(got.columns) == ["dlSnapshotDate", "economistSurveyTimestamp", "event_ticker", "estimate"]
    assert "column0" in eco.data.columns
    with pytest.raises(AssertionError, match=re.escape("20240106 is not valid. Valid snapshot dates: [")):
        ss.ECOEST("20240106")
    with pytest.raises(TypeError, match="Argument 'tickers'"):
        eco.get_data(None)


def _as_dates(frame):
    frame["economistSurveyTimestamp"] = [t.date() for t in frame["economistSurveyTimestamp"]]
    return frame


@pytest.mark.parametrize("storage", [
    lambda f: f,
    lambda f: f.assign(economistSurveyTimestamp=f["economistSurveyTimestamp"].dt.tz_localize("America/New_York")),
    _as_dates,
])
@pytest.mark.parametrize("tickers, start, end, want", [
    ([], "2024-01-02", None, [5.0, 6.0, 7.0]),
    ([], None, "2024-01-02", [4.0, 5.0, 6.0]),
    ([], "2024-01-02", "2024-01-02", [5.0, 6.0]),
    (["CPI"], "20240101", "20240102", [4.0, 6.0]),
    (["cpi", "GDP"], None, None, [7.0]),
])
def test_ecoest_get_data(s3, storage, tickers, start, end, want):
    eco = ss.ECOEST()
    eco.data = storage(eco.data.copy())
    got = eco.get_data(tickers, start, end)
    assert got["estimate"].tolist() == want
    assert list(got.index) == list(range(len(want)))


def test_ecoest_survey_times_of_plain_integers_do_not_compare_with_dates(s3):
    eco = ss.ECOEST()
    eco.data = eco.data.head(2).assign(economistSurveyTimestamp=[1, 2])
    with pytest.raises(TypeError):
        eco.get_data([], "2024-01-02", None)


SECURITIES = ["IBM US Equity", "AAPL US Equity", "MSFT US Equity", "7203 JT Equity", "VOD LN Equity", "SPX Index",
              "NKY Index", "UKX Index", "EURUSD Curncy", "USDJPY Curncy"]


@pytest.mark.parametrize("n", [3000, 120_000], ids=["one-part", "halves"])
@pytest.mark.parametrize("tickers", [SECURITIES[:2], SECURITIES], ids=["few", "many"])
def test_splc_query_of_a_chunked_snapshot(s3, service, tickers, n):
    """A snapshot read in several chunks, with missing FIGIs, kinds and end dates: the rows pandas'
    steps keep (a large one is read in two halves side by side)."""
    import datetime

    import numpy as np

    rng = np.random.default_rng(5)
    figis = np.array(["BBG000BLNNH6", "BBG000B9XRY4", "BBG000BPH459", "BBG000BCR7R4", "BBG000C6K6G9", "BBG000H4FSM0",
                      "BBG000C3Y8N1", "BBG000BSV4Z6", "BBG0013HGFT4", "BBG0013HGG57", "BBG0000OTHER", ""])
    ids, related = rng.choice(figis, n), rng.choice(figis[:-1], n)
    kinds = rng.choice(["SUPPLIER", "CUSTOMER", ""], n)
    days = pd.Timestamp("2023-06-01") + pd.to_timedelta(rng.integers(0, 600, n), unit="D")
    starts = days.strftime("%Y-%m-%d")
    ends = (days + pd.to_timedelta(rng.integers(0, 200, n), unit="D")).strftime("%Y-%m-%d").to_numpy()
    ends[rng.random(n) < 0.2] = ""
    rows = list(zip(ids, related, kinds, starts, ends))
    with gzip.open(io.BytesIO(gz_csv(rows, "x")), "rb") as gz:
        frame = pd.concat(list(pd.read_csv(gz, chunksize=700)))
    for col in ("RELTNSHP_START_DT", "RELTNSHP_END_DT"):
        frame[col] = pd.to_datetime(frame[col]).dt.date
    splc = ss.SPLC(dataset="supplier", bq=service)
    splc.data = frame
    got = splc.get_data(tickers, "2024-01-01", "2024-06-30")
    ticker_map = bql_ids = {t: f for t, f in zip(SECURITIES, figis) if t in tickers}
    lo, hi = datetime.date(2024, 1, 1), datetime.date(2024, 6, 30)
    start, end = frame["RELTNSHP_START_DT"], frame["RELTNSHP_END_DT"]
    df = frame[((start <= hi) | start.isna()) & ((end >= lo) | end.isna())].reset_index(drop=True)
    df = df[df["ID_BB_GLOBAL"].isin(list(bql_ids.values())) & (df["RELATIONSHIP"] == "SUPPLIER")]
    df = df.reset_index(drop=True)
    df["TICKER"] = df["ID_BB_GLOBAL"].map({v: k for k, v in ticker_map.items()})
    df["RELATED_TICKER"] = got["RELATED_TICKER"]
    assert 0 < len(df) < n
    pd.testing.assert_frame_equal(got, df, check_exact=True, check_index_type=True, check_column_type=True)


@pytest.mark.parametrize("switch, warned", [("1", True), ("true", False)])
def test_missing_bql_at_load(switch, warned):
    import os
    import pathlib
    import subprocess
    import sys

    import orvane_data

    # The directory holding the package under test (installed or in-tree), without sim/ on the path.
    src = pathlib.Path(orvane_data.__file__).resolve().parents[1]
    code = ("import warnings\nwarnings.simplefilter('always')\n"
            "with warnings.catch_warnings(record=True) as w:\n"
            "    from orvane_data.from_s3 import shelfsets as s\n"
            "print(s.bql_Service, hasattr(s, 'bq'), [str(x.message) for x in w])\n")
    env = dict(os.environ, PYTHONPATH=str(src), SHOW_WARNINGS=switch)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout
    assert out.strip() == "None False " + str(["'bql' is not installed."] if warned else [])


@pytest.mark.parametrize("starts", [
    ["2024-01-05", "", "2023-02-01", "2024-01-05", ""],          # days repeated, with gaps
    ["2024-01-05 10:30", "2024-01-05 23:59", "", "2023-12-31 00:00", "2024-01-05 10:30"],  # times of day
    ["2024-01-05T23:00:00+05:00", "2024-01-06T01:00:00+05:00", "", "", "2024-01-06T01:00:00+05:00"],  # offsets
    ["", "", "", "", ""],                                          # no value at all
    ["01/02/2024", "01/03/2024", "13/02/2024", "", "01/02/2024"],  # a later day that breaks the inferred format
    ["2024-01-05", "Jan 6 2024", "", "", "2024-01-05"],           # a second format
    ["soon", "later", "", "", "soon"],                             # not dates
], ids=["iso", "times", "offsets", "missing", "format-break", "two-formats", "not-dates"])
def test_splc_dates_as_pandas_parses_them(s3, starts):
    """Loaded date columns are pd.to_datetime(column).dt.date of the column read_csv gives, or its error."""
    rows = [(IBM, MSFT, "COMPETITOR", s, "2024-06-30") for s in starts]
    body = gz_csv(rows, "x")
    with gzip.open(io.BytesIO(body), "rb") as gz:
        want = pd.concat(list(pd.read_csv(gz, chunksize=100000)))
    key = snapshot_key("supplyChainCompetitorsHistory", "20231229")  # older than the fixture's: never the latest
    s3.put_object(Bucket=EQUITY, Key=key, Body=body)
    try:
        try:
            for col in ("RELTNSHP_START_DT", "RELTNSHP_END_DT"):
                want[col] = pd.to_datetime(want[col]).dt.date
        except Exception as e:  # noqa: BLE001 - the package must raise what pandas raises
            with pytest.raises(type(e), match=re.escape(str(e))):
                ss.SPLC("20231229", "competitor")
            return
        got = ss.SPLC("20231229", "competitor").data
        pd.testing.assert_frame_equal(got, want, check_exact=True)
    finally:
        s3.delete_object(Bucket=EQUITY, Key=key)
