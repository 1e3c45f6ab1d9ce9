"""orvane_data.from_localcsv.api: hand-worked cases of the file helpers and the historical query."""
import datetime as dt
import inspect
import os
import re

import numpy as np
import pandas as pd
import pytest

from orvane_data.from_localcsv import api


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


FLAT = "time_key,open,high,low,close,volume,num_trds,ticker\n"


def flat_rows(rows):
    return FLAT + "".join(",".join(str(v) for v in r) + "\n" for r in rows)


# ---- file helpers -----------------------------------------------------------------------------

def test_read_row(tmp_path):
    f = write(tmp_path / "a.csv", 'time_key,open\n"x, y",2\n')
    assert api._read_row_from_csv(str(f), 1) == ["time_key", "open"]
    assert api._read_row_from_csv(str(f), 2) == ["x, y", "2"]
    assert api._read_row_from_csv(str(f), 2.7) == ["x, y", "2"]
    with pytest.raises(StopIteration):
        api._read_row_from_csv(str(f), 3)
    with pytest.raises(ValueError):
        api._read_row_from_csv(str(f), 0)
    with pytest.raises(FileNotFoundError):
        api._read_row_from_csv(str(tmp_path / "missing.csv"), 1)


class Text(str):
    pass


# What compiled modules add for a subclass of the expected builtin.
SUBCLASS = (". Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
            "If you need to pass subclasses then set the 'annotation_typing' directive to False.")


@pytest.mark.parametrize("call, message", [
    (lambda: api._read_row_from_csv(Text("a"), 1), "Argument 'filename' has incorrect type (expected str, got Text)" + SUBCLASS),
    (lambda: api._read_row_from_csv("a", "1"), "Argument 'row' has incorrect type (expected int, got str)"),
    (lambda: api._flex_strptime(None), "Argument 'date_string' has incorrect type (expected str, got NoneType)"),
    (lambda: api.get_data("AAPL", []), "Argument 'tickers' has incorrect type (expected list, got str)"),
    (lambda: api.get_historical_data(["A"], ("PX_LAST",), "a", "b", "c"),
     "Argument 'flds' has incorrect type (expected list, got tuple)"),
    (lambda: api.get_historical_data(["A"], [], "a", "b", Text("c")),
     "Argument 'csv_path' has incorrect type (expected str, got Text)" + SUBCLASS),
    (lambda: api.get_historical_data(["A"], [], "a", "b", "c", None),
     "Argument 'bar_convention' has incorrect type (expected str, got NoneType)"),
])
def test_typed_parameters(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize("n", [2**62, 2**64, 10**30, -2**70, 0])
def test_set_num_threads_takes_any_whole_number(n):
    try:
        if n < 1:
            with pytest.raises(ValueError, match="n must be a positive whole number or None"):
                api.set_num_threads(n)
        else:
            api.set_num_threads(n)
            assert api.get_num_threads() == 1024
    finally:
        api.set_num_threads(None)


def test_module_frame():
    assert api.pd is pd and api.datetime is dt.datetime and api.timedelta is dt.timedelta
    params = inspect.signature(api.get_historical_data).parameters
    assert list(params) == ["tickers", "flds", "start", "end", "csv_path", "bar_convention", "return_ohlcv"]
    assert params["bar_convention"].default == "end" and params["return_ohlcv"].default is False
    assert api.get_historical_data.__doc__.startswith("Get historical data.")
    with pytest.raises(TypeError):
        api.get_historical_data(["A"], [], "a", "b")
    with pytest.raises(NotImplementedError, match="^`get_data` is not available in `localcsv`.$"):
        api.get_data(["A"], ["PX_LAST"])


def test_get_data_files(tmp_path):
    for name in ["AAA_2024-03-15.csv", "notes.txt", "old.csv.bak"]:
        write(tmp_path / name, "")
    assert sorted(api._get_data_files(str(tmp_path))) == ["AAA_2024-03-15.csv", "old.csv.bak"]
    missing = str(tmp_path / "x")
    with pytest.raises(FileNotFoundError) as e:
        api._get_data_files(missing)
    assert str(e.value) == f"Data was NOT found in {missing}!"


@pytest.mark.parametrize("text, want", [
    ("2024-03-15 09:30:15", dt.datetime(2024, 3, 15, 9, 30, 15)),
    ("2024-03-15 09:30", dt.datetime(2024, 3, 15, 9, 30)),
    ("2024-03-15 9", dt.datetime(2024, 3, 15, 9)),
    ("2024-03-15", dt.datetime(2024, 3, 15)),
])
def test_flex_strptime(text, want):
    assert api._flex_strptime(text) == want


@pytest.mark.parametrize("text", ["15/03/2024", "2024-03-15T09:30:00", "2024-03-15 09:30:00.5", "a\x00b", "\ud800"])
def test_flex_strptime_rejects(text):
    with pytest.raises(ValueError) as e:
        api._flex_strptime(text)
    assert str(e.value) == f"Unable to parse date string: '{text}' with any of the defined formats."


# ---- the query ------------------------------------------------------------------------------

@pytest.fixture
def intraday(tmp_path):
    root = tmp_path / "K_1M"
    for day in ["2024-03-14", "2024-03-15", "2024-03-16"]:
        rows = [(f"{day} {h}", 1.0, 2.0, 0.5, 1.5, 10, 1, "A") for h in ["09:31:00", "09:45:00", "10:00:00"]]
        write(root / "ES1" / f"ES1_{day}.csv", flat_rows(rows))
    return root


def test_day_files_and_window(intraday):
    got = api.get_historical_data(["ES1"], ["PX_LAST"], "2024-03-15 09:45", "2024-03-16 10:00:00", str(intraday),
                                  return_ohlcv=True)
    assert got["DATE"].dt.strftime("%d %H:%M").tolist() == ["15 09:45", "15 10:00", "16 09:31", "16 09:45",
                                                            "16 10:00"]
    # a date alone is that day's midnight, before every bar of the day
    got = api.get_historical_data(["ES1"], ["PX_LAST"], "2024-03-14", "2024-03-15", str(intraday),
                                  return_ohlcv=True)
    assert got["DATE"].dt.day.unique().tolist() == [14]
    # "start" moves the lower bound one minute earlier
    got = api.get_historical_data(["ES1"], ["PX_LAST"], "2024-03-15 09:46", "2024-03-15 23:59:59",
                                  str(intraday), bar_convention="start", return_ohlcv=True)
    assert got["DATE"].dt.strftime("%H:%M").tolist() == ["09:45", "10:00"]


@pytest.mark.parametrize("tree, start, end, want", [
    ("K_1M", "2024-03-15 09:45", "2024-03-16 10:00", ["15 09:45", "15 10:00", "16 09:31", "16 09:45", "16 10:00"]),
    ("K_1M", "2024-03-14", "2024-03-14 09:31", ["14 09:31"]),
    ("K_1M", "2024-03-15 9:45:00", "2024-03-15 23:59:59", ["15 09:45", "15 10:00"]),
    ("K_1M", "2024-03-15 09", "2024-03-15 9:45", ["15 09:31", "15 09:45"]),
    ("K_1D", "2024-03-15 00:00:00", "2024-03-16", ["15 00:00", "16 00:00"]),
    ("K_1D", "2024-3-15", "2024-03-16 00:00", ["15 00:00", "16 00:00"]),
], ids=["minutes-end", "minutes-end-on-a-bar", "one-digit-hour", "hour-start", "daily-full-start", "daily-hours"])
def test_window_compares_times(intraday, tmp_path, tree, start, end, want):
    """Bounds of any form _flex_strptime reads select the bars whose times lie within them."""
    if tree == "K_1D":
        write(tmp_path / tree / "ES1" / "ohlcv.csv",
              "time_key,open,high,low,close,volume\n" + "".join(f"2024-03-{d},1,2,0.5,1.5,10\n" for d in (14, 15, 16)))
    got = api.get_historical_data(["ES1"], ["PX_LAST"], start, end, str(intraday if tree == "K_1M" else tmp_path / tree),
                                  return_ohlcv=True)
    assert got["DATE"].dt.strftime("%d %H:%M").tolist() == want


def test_messages(intraday, tmp_path):
    with pytest.raises(ValueError) as e:
        api.get_historical_data(["ES1"], ["PX_LAST"], "2024-03-20", "2024-03-21", str(intraday))
    assert str(e.value) == "There is no historical data for ES1 within time range: [2024-03-20 - 2024-03-21]!"
    with pytest.raises(ValueError) as e:
        api.get_historical_data(["ES1"], ["PX_LAST", "NUM_TRDS"], "2024-03-20", "2024-03-21", str(tmp_path / "K_1D"))
    assert str(e.value) == ("Only the following params are allow in `flds`: "
                            "['PX_OPEN', 'PX_HIGH', 'PX_LOW', 'PX_LAST', 'PX_VOLUME'].")
    with pytest.raises(FileNotFoundError, match="Data was NOT found in .*NQ1!"):
        api.get_historical_data(["NQ1"], [], "2024-03-15", "2024-03-16", str(intraday))
    for tree in (intraday, tmp_path / "K_1D"):  # a bound is read first, on every tree, before any file
        for start in ("\ud800", "2024-03-15\ud800", "15/03/2024"):
            with pytest.raises(ValueError) as e:
                api.get_historical_data(["NQ1"], ["PX_LAST"], start, "2024-03-21", str(tree))
            assert str(e.value) == f"Unable to parse date string: '{start}' with any of the defined formats."
    for tickers, path in [(["ES1\ud800"], intraday), (["ES1"], str(intraday) + "\ud800")]:
        with pytest.raises(FileNotFoundError, match="Data was NOT found in .*\ud800"):
            api.get_historical_data(tickers, ["PX_LAST"], "2024-03-15", "2024-03-16", str(path))
    bad = write(intraday / "ES1" / "ES1_2024-03-17.csv", "a,b\n1,2\n3,4\n")
    with pytest.raises(ValueError, match=str(bad)):
        api.get_historical_data(["ES1"], [], "2024-03-15", "2024-03-17", str(intraday))


def test_roll_adjustment_with_one_bar_contract(tmp_path):
    closes = [100.0, 102.0, 101.0, 103.0, 102.0, 104.0, 105.0, 106.0]
    contracts = ["A"] * 5 + ["B"] + ["C"] * 2
    rows = [(f"2024-03-15 09:{31 + i}:00", c, c, c, c, 5, 1, t) for i, (c, t) in enumerate(zip(closes, contracts))]
    root = tmp_path / "K_1M"
    write(root / "X" / "X_2024-03-15.csv", flat_rows(rows))
    got = api.get_historical_data(["X"], [], "2024-03-15", "2024-03-16", str(root), return_ohlcv=True)
    f1, f2 = 104.0 / 102.0, 105.0 / 104.0
    want = [c * f1 * f2 for c in closes[:5]] + [104.0 * f2, 105.0, 106.0]
    for col in ["PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST"]:
        np.testing.assert_allclose(got[col], want, rtol=1e-15)
    assert got["PX_VOLUME"].tolist() == [5] * 8


def test_daily_layouts_cleaning_and_reshape(tmp_path):
    root = tmp_path / "data_K_1D"
    write(root / "AAA" / "ohlcv.csv",
          "time_key,open,high,low,close,volume\n2024-03-15,1,1,1,2,10\n2024-03-14,1,1,1,4,\n2024-03-13,1,1,1,6,30\n")
    grouped = pd.concat({
        "meta": pd.DataFrame({"close": [9.0, 9.0], "volume": [999, 999]}),
        "F1": pd.DataFrame({"close": [3.0, 5.0], "volume": [1, 2]}),
        "F2": pd.DataFrame({"close": [7.0, 8.0], "volume": [5, np.nan]}),  # row with NaN dropped: sum 5 > 3
    }, axis=1)
    grouped.index = pd.Index(["2024-03-15", "2024-03-16"], name="time_key")
    for c in ["open", "high", "low"]:
        for g in ["meta", "F1", "F2"]:
            grouped[(g, c)] = 1.0
    (root / "BBB").mkdir()
    grouped.to_csv(root / "BBB" / "ohlcv.csv")
    bars = api.get_historical_data(["BBB", "AAA"], [], "2024-03-13", "2024-03-16", str(root), return_ohlcv=True)
    # grouped: F2 wins, then its row without volume is dropped; daily keeps file order; labels repeat
    assert bars.index.tolist() == [0, 0, 1]
    assert bars["ID"].tolist() == ["BBB", "AAA", "AAA"]
    assert bars["PX_LAST"].tolist() == [7.0, 2.0, 6.0]
    table = api.get_historical_data(["BBB", "AAA"], ["PX_LAST", "PX_OPEN"], "2024-03-13", "2024-03-16", str(root))
    assert table.index.names == ["FLDS", "DATE"] and table.columns.name == "ID"
    assert table.columns.tolist() == ["AAA", "BBB"]
    assert table.index.get_level_values(0).tolist() == ["PX_LAST"] * 2 + ["PX_OPEN"] * 2
    last = table.loc["PX_LAST"]
    assert last.index.strftime("%d").tolist() == ["13", "15"]
    np.testing.assert_array_equal(last.to_numpy(), [[6.0, np.nan], [2.0, 7.0]])


def test_duplicates_are_averaged(tmp_path):
    root = tmp_path / "K_1M"
    write(root / "X" / "X_2024-03-15.csv",
          flat_rows([("2024-03-15 09:31:00", 1, 1, 1, c, 1, 1, "A") for c in [1.0, 2.0, 4.0]]))
    table = api.get_historical_data(["X"], ["PX_LAST"], "2024-03-15", "2024-03-16", str(root))
    assert table.shape == (1, 1) and table.iloc[0, 0] == pytest.approx(7.0 / 3.0)


@pytest.mark.parametrize("body", [b"2024-03-15 09:31:00,1,2,3\n2024-03-15 09:32:00,1,2,3,4,5,6,7,8,9\n",
                                  b"2024-03-15 09:31:00,1\xff\xfe,2\n"], ids=["ragged", "binary"])
def test_reader_errors_name_the_file(tmp_path, body):
    f = tmp_path / "K_1M" / "X" / "X_2024-03-15.csv"
    f.parent.mkdir(parents=True)
    f.write_bytes(b"time_key,open,high,low,close,volume,num_trds\n" + body)
    with pytest.raises(Exception) as e:
        api.get_historical_data(["X"], [], "2024-03-15", "2024-03-16", str(tmp_path / "K_1M"))
    assert f"in the data file {f}" in getattr(e.value, "__notes__", [])


DAILY = "time_key,open,high,low,close,volume\n2024-01-02,1,2,0.5,1.5,10\n2024-01-03,1,2,0.5,1.5,10\n"


INTRADAY = "time_key,open,high,low,close,volume,num_trds\n2024-01-02 09:31:00,1,2,0.5,1.5,10,1\n"


@pytest.mark.parametrize("tree, files, call, error, text, note", [
    ("K_1D", {}, dict(start="2024-02-01", end="2024-01-01"), KeyError, "not in index",
     "['2024-02-01', '2024-01-01']: start comes after end."),
    ("K_1D", {}, dict(start="20240101", end="20240201"), ValueError, "Unable to parse date string: '20240101'",
     "with dashes"),
    ("K_1D", {}, dict(start="2024-05-01", end="2024-06-01"), KeyError, "not in index",
     "No bar lies in the window ['2024-05-01', '2024-06-01']."),
    ("daily", {}, {}, ValueError, "'ohlcv' does not match format", "lacks 'K_1D'"),
    ("K_1M", {"ES_2024-01-02.csv": "time_key,open,high,low,close,volume\n2024-01-02 09:31:00,1,2,0.5,1.5,10\n"}, {},
     KeyError, "['NUM_TRDS']", "ES_2024-01-02.csv has no 'num_trds'."),
    ("K_1D", {"ohlcv.csv": DAILY.replace(",close", "").replace(",1.5,", ",")}, dict(flds=["PX_OPEN"]),
     KeyError, "['PX_LAST']", "ohlcv.csv has no 'close'."),
    ("K_1M", {"ES_2024-01-02.csv": INTRADAY, "ES_2024-01-03.csv.bak": INTRADAY}, {}, ValueError,
     "does not match format", "ES_2024-01-03.csv.bak' is taken for a day file"),
    ("K_1D", {}, dict(flds=["PX_LAST", "NUM_TRDS", "FOO", "FOO"]), ValueError, "Only the following params",
     "'NUM_TRDS' and 'FOO' are not fields of a daily tree ('K_1D' in csv_path). NUM_TRDS is given by intraday"),
    ("K_1D", {}, dict(tickers=[]), ValueError, "No objects to concatenate", "tickers is empty"),
    ("K_1M", {"notes.txt": ""}, {}, ValueError, "There is no historical data for ES", "holds no day files"),
    ("K_1M", {"ES_2024-01-02.csv": INTRADAY}, dict(start="2023-01-01", end="2023-02-01"), ValueError,
     "There is no historical data for ES", "has day files from ES_2024-01-02.csv to ES_2024-01-02.csv; none is dated"),
], ids=["inverted", "undashed", "empty", "daily-without-K_1D", "no-num_trds", "no-close", "not-a-day-file",
        "unknown-fields", "no-tickers", "empty-folder", "no-day-file-in-range"])
def test_errors_carry_a_note_naming_the_mistake(tmp_path, tree, files, call, error, text, note):
    """The error keeps its type and text; a note says what the caller got wrong and how to mend it."""
    (tmp_path / tree / "ES").mkdir(parents=True)
    for name, body in (files or ({"ES_2024-01-02.csv": INTRADAY} if tree == "K_1M" else {"ohlcv.csv": DAILY})).items():
        write(tmp_path / tree / "ES" / name, body)
    kwargs = dict(tickers=["ES"], flds=["PX_LAST"], start="2024-01-01", end="2024-02-01", csv_path=str(tmp_path / tree))
    with pytest.raises(error, match=re.escape(text)) as e:
        api.get_historical_data(**{**kwargs, **call})
    assert any(note in n for n in getattr(e.value, "__notes__", [])), getattr(e.value, "__notes__", None)


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interrupts_are_never_held_back(tmp_path, monkeypatch, interrupt):
    """An interrupt while a later ticker is located reaches the caller, even when an earlier ticker
    fails on its own."""
    write(tmp_path / "K_1M" / "BAD" / "BAD_2024-01-02.csv", "a,b\n1,2\n")
    (tmp_path / "K_1M" / "GOOD").mkdir()
    listdir = os.listdir

    def interrupted(path):
        if str(path).endswith("GOOD"):
            raise interrupt()
        return listdir(path)

    monkeypatch.setattr(os, "listdir", interrupted)
    with pytest.raises(interrupt):
        api.get_historical_data(["BAD", "GOOD"], ["PX_LAST"], "2024-01-01", "2024-01-03", str(tmp_path / "K_1M"))


@pytest.mark.parametrize("col, cell, reason", [
    (7, '"A"', "a quote character"), (5, "1234567890123456789", "more than 18 digits"),
    (7, "\u00c4", "a non-ASCII byte"), (7, "A\rB", "a line ending in a lone CR"),
], ids=["quote", "long integer", "non-ascii", "lone CR"])
def test_fallbacks_are_logged(tmp_path, caplog, col, cell, reason):
    root = tmp_path / "K_1M"
    rows = [(f"2024-03-15 09:3{i}:00", 1.5, 2.0, 0.5, 1.5, 10, 1, "A") for i in range(3)]
    plain = write(root / "X" / "X_2024-03-15.csv", flat_rows(rows))
    odd = write(root / "Y" / "Y_2024-03-15.csv", flat_rows(rows[:2] + [rows[2][:col] + (cell,) + rows[2][col + 1:]]))
    with caplog.at_level("DEBUG", logger="orvane_data"):
        table = api.get_historical_data(["X", "Y"], ["PX_LAST"], "2024-03-15", "2024-03-16", str(root))
    assert table.shape == (3, 2)
    messages = [r.getMessage() for r in caplog.records if r.name == "orvane_data"]
    # the odd file is named with its reason; the other ticker and the reshape stay native
    assert len(messages) == 1 and str(odd) in messages[0] and reason in messages[0], messages
    assert str(plain) not in messages[0]
