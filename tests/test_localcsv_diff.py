"""get_historical_data against a literal pandas rendering of the same steps, on seeded random trees."""
import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest

import localcsv_reference as ref
from localcsv_trees import make_tree, random_window
from orvane_data.from_localcsv import api


def outcome(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return fn(*args, **kwargs), None
        except Exception as e:  # both sides must fail alike
            return None, (type(e), str(e))


def assert_same_bits(got, want):
    """Frames equal, and float cells equal bit for bit (-0.0 is not 0.0, and NaN payloads aside)."""
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    for c in range(want.shape[1]):
        a, b = got.iloc[:, c].to_numpy(), want.iloc[:, c].to_numpy()
        if b.dtype == np.float64:
            assert np.array_equal(a.view(np.int64), b.view(np.int64)) or np.array_equal(np.isnan(a), np.isnan(b)) \
                and np.array_equal(a[~np.isnan(a)].view(np.int64), b[~np.isnan(b)].view(np.int64)), want.columns[c]


def compare(args, bar_convention, return_ohlcv):
    got, got_err = outcome(api.get_historical_data, *args, bar_convention=bar_convention, return_ohlcv=return_ohlcv)
    want, want_err = outcome(ref.get_historical_data, *args, bar_convention=bar_convention, return_ohlcv=return_ohlcv)
    assert got_err == want_err
    if want_err is None:
        assert_same_bits(got, want)
    return want_err is None


@pytest.mark.parametrize("daily", [False, True], ids=["intraday", "daily"])
@pytest.mark.parametrize("kind", ["plain", "odd", "crlf"])
@pytest.mark.parametrize("seed", range(6))
def test_random_trees(tmp_path, caplog, seed, daily, kind):
    odd = kind == "odd"
    csv_path, tickers, days = make_tree(tmp_path, 1000 * seed + daily * 7 + odd, daily, odd=odd, crlf=kind == "crlf")
    rng = np.random.default_rng(seed)
    fields = ref.DAILY_FIELDS if daily else ref.INTRADAY_FIELDS
    ok = 0
    for _ in range(4):
        start, end = random_window(rng, days, daily)
        flds = list(rng.choice(fields, int(rng.integers(1, len(fields) + 1)), replace=False))
        args = (tickers, flds, start, end, str(csv_path))
        ok += compare(args, str(rng.choice(["start", "end"])), bool(rng.random() < 0.4))
    # The whole span always has data: at least that query must succeed and agree.
    ok += compare((tickers, list(fields), days[0], days[-1] + " 23:59:59", str(csv_path)), "end", False)
    assert ok >= 1
    if kind == "crlf":
        # Windows line ends take the road that the same tree written with LF takes.
        lf_path = make_tree(tmp_path / "lf", 1000 * seed + daily * 7, daily)[0]
        logged = []
        for path in (csv_path, lf_path):
            caplog.clear()
            with caplog.at_level("DEBUG", logger="orvane_data"):
                api.get_historical_data(tickers, list(fields), days[0], days[-1] + " 23:59:59", str(path))
            logged.append([r.getMessage().replace(str(path), "") for r in caplog.records if r.name == "orvane_data"])
        assert logged[0] == logged[1]


@pytest.mark.parametrize("daily", [False, True], ids=["intraday", "daily"])
def test_pandas_string_option(tmp_path, daily):
    """Text columns and labels take the dtype pandas gives text under its option at call time:
    future.infer_string turned on (pandas 2) or off (pandas 3)."""
    csv_path, tickers, days = make_tree(tmp_path, 31 + daily, daily)
    fields = ref.DAILY_FIELDS if daily else ref.INTRADAY_FIELDS
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pandas 3 deprecates the option itself
        with pd.option_context("future.infer_string", not pd.get_option("future.infer_string")):
            for return_ohlcv in (False, True):
                assert compare((tickers, list(fields), days[0], days[-1] + " 23:59:59", str(csv_path)), "end",
                               return_ohlcv)


HEADER = "time_key,open,high,low,close,volume,num_trds,ticker\n"
ROW = "2024-03-15 09:3{i}:00,{o},2.5,0.5,{c},{v},3,{t}\n"


def rows(n=4, **over):
    out = []
    for i in range(n):
        vals = dict(i=i, o=1.25 + i, c=1.5 + i, v=10 * i, t="A" if i < 2 else "B")
        vals.update({k: (v(i) if callable(v) else v) for k, v in over.items()})
        out.append(ROW.format(**vals))
    return "".join(out)


# Day files that a CSV reader must read exactly as pandas does; each is one or two days of one ticker.
ODD_FILES = {
    "plain": [HEADER + rows()],
    "quoted": [HEADER + rows(t=lambda i: '"A,1"' if i < 2 else "B")],
    "crlf": [(HEADER + rows()).replace("\n", "\r\n")],
    "a lone CR inside a line": [HEADER + rows(t=lambda i: "A\rB" if i == 1 else "B")],
    "blank line": [HEADER + rows() + "\n" + rows(1)],
    "missing markers": [HEADER + rows(v=lambda i: ["NA", "nan", "", "7"][i])],
    "infinity": [HEADER + rows(o=lambda i: "inf" if i == 1 else 1.0)],
    # A zero roll factor makes the infinity, sixth of seven rows, the only NaN (pivot_table drops its row).
    "infinity times a zero roll factor": [HEADER + rows(7, o=lambda i: "inf" if i == 5 else 1.0,
                                                        c=lambda i: 0.0 if i == 6 else 1.5,
                                                        t=lambda i: "A" if i < 6 else "B")],
    "padded numbers": [HEADER + rows(v=lambda i: f" {i}")],
    "long mantissas": [HEADER + rows(c=lambda i: repr(0.1 + i / 3 * 1e-7), o="1.234567890123456789e3")],
    "exponents": [HEADER + rows(c=lambda i: f"{i + 1}e-5", o="1E+2")],
    "ints and floats across days": [HEADER + rows(), HEADER + rows(o=7, c=9)],
    "column sets differ": [HEADER + rows(), HEADER.replace(",ticker", "") + rows().replace(",A\n", "\n").replace(",B\n", "\n")],
    "header only": [HEADER, HEADER + rows()],
    "non-ascii": [HEADER + rows(t=lambda i: "Ä" if i < 2 else "B")],
    "ragged": [HEADER + rows() + "2024-03-15 09:59:00,1,1\n"],
    "mixed text and numbers": [HEADER + rows(t=lambda i: "1" if i < 2 else "B")],
    "booleans": [HEADER + rows(t=lambda i: "True" if i < 2 else "False")],
    "duplicate stamps": [HEADER + rows(), HEADER + rows(o=3.5)],
    "no layout": [HEADER + rows(), "a,b\n1,2\n"],
    "empty file": [""],
    "binary": [HEADER + rows() + "\x00\xff\x01,\n"],
    "other stamp forms": [HEADER + rows().replace("2024-03-15 09:32:00", "2024-03-15T09:32:00")],
    "stamps without seconds": [HEADER + rows().replace(":00,", ",")],
    "stamps with fractions": [HEADER + rows().replace(":00,", ":00.5,")],
    "stamps in UTC": [HEADER + rows().replace(":00,", ":00Z,")],
    "stamps with junk": [HEADER + rows().replace(" 09:3", "abc").replace(":00,", ",")],
    # A key that shares its month or its hour with the key before it is still checked whole.
    "a minute past its hour's end": [HEADER + rows().replace("09:33:00", "09:60:00")],
    "19 to 22 digit integers": [HEADER + rows(v=lambda i: ["1234567890123456789", "0000000000000000000007",
                                                           "12345678901234567890", "-1234567890123456789"][i])],
    "decimals with more than 19 digits before the point": [HEADER + rows(o=lambda i: [
        "123456789012345678901234.5", "1.25", "-12345678901234567890123.5", "12345678901234567890.5"][i])],
    "18 digits with leading zeros in a float column": [HEADER + rows(c=lambda i: "000000000000000064" if i == 1 else 1.5)],
    "negative zeros": [HEADER + rows(c=lambda i: ["-0.0", "-0", "-0e3", "0.5"][i], o=lambda i: "-0" if i else "-0.0")],
    "17 significant digits": [HEADER + rows(c=lambda i: ["0.30000000000000004", "9.0071992547409935e15",
                                                         "2.6700000000000002", "1.0000000000000002e-5"][i],
                                            o=lambda i: f"{(i + 1) * 0.1 + 7.000000000000001e-3:.17g}")],
    "roll from close 0 to close 0": [HEADER + rows(c=lambda i: 0.0 if i in (1, 2) else 1.5 + i)],
    "grouped with a time_key field": [",F,F,F,F,F,F,F\n,open,high,low,close,volume,num_trds,time_key\ntime_key,,,,,,,\n"
                                      "2024-03-15 09:31:00,1,2,0.5,1.5,10,3,x\n2024-03-15 09:32:00,1,2,0.5,1.5,10,3,y\n"],
}


@pytest.mark.parametrize("name", list(ODD_FILES))
@pytest.mark.parametrize("return_ohlcv", [False, True])
def test_odd_files(tmp_path, name, return_ohlcv):
    root = tmp_path / "K_1M"
    d = root / "X"
    d.mkdir(parents=True)
    for k, text in enumerate(ODD_FILES[name]):
        (d / f"X_2024-03-1{5 + k}.csv").write_bytes(text.encode("utf-8", "surrogateescape"))
    flds = ["PX_LAST", "PX_OPEN", "PX_VOLUME"]
    compare((["X"], flds, "2024-03-15", "2024-03-17 23:59:59", str(root)), "end", return_ohlcv)


@pytest.mark.parametrize("where", ["NUL in ticker", "NUL in csv_path", "ticker as a path object",
                                   "surrogate in ticker", "surrogate in csv_path"])
def test_unusual_paths(tmp_path, where):
    """A path with a NUL byte is refused as pandas refuses it (never read up to the NUL); a ticker
    that is not a str is carried as the object itself."""
    root = tmp_path / "K_1D"
    (root / "X").mkdir(parents=True)
    (root / "escaped.txt").write_text(HEADER + rows())
    (root / "X" / "ohlcv.csv").write_text(HEADER + rows())
    tickers, csv_path = {"NUL in ticker": (["escaped.txt\x00"], str(root)),
                         "NUL in csv_path": (["X"], str(root / "escaped.txt\x00")),
                         "ticker as a path object": ([pathlib.PurePosixPath("X")], str(root)),
                         "surrogate in ticker": (["X\ud800"], str(root)),
                         "surrogate in csv_path": (["X"], str(root) + "\ud800")}[where]
    for return_ohlcv in (True, False):
        ok = compare((tickers, ["PX_LAST"], "2024-03-15", "2024-03-17 23:59:59", csv_path), "end", return_ohlcv)
        assert ok == (where == "ticker as a path object")


@pytest.mark.parametrize("how, threads", [("env", 1), ("setter", 2), ("env", 8)])
def test_any_number_of_threads(tmp_path, monkeypatch, how, threads):
    """The table, and the error raised when several tickers fail, do not depend on the number of
    threads that read the files: the first failing file of the first failing ticker decides."""
    if how == "env":
        monkeypatch.setenv("ORVANE_NUM_THREADS", str(threads))
    else:
        monkeypatch.setenv("ORVANE_NUM_THREADS", "not a number")
        api.set_num_threads(threads)
    try:
        assert api.get_num_threads() == threads
        csv_path, tickers, days = make_tree(tmp_path, 77, False, n_tickers=6, odd=True)
        args = (tickers, list(ref.INTRADAY_FIELDS), days[0], days[-1] + " 23:59:59", str(csv_path))
        assert compare(args, "end", False)
        bad = []
        for ticker, day, line in [(tickers[1], days[4], "2024,1,2\n"), (tickers[1], days[2], "1,1,1,1,1,1,1,1,1,1\n"),
                                  (tickers[3], days[1], "2024,1\n")]:
            bad.append(csv_path / ticker / f"{ticker}_{day}.csv")
            with open(bad[-1], "a") as f:
                f.write(line)
        assert not compare((args[0] + ["no such ticker"],) + args[1:], "end", False)
        with pytest.raises(Exception) as e:
            api.get_historical_data(*args)
        assert f"in the data file {bad[1]}" in e.value.__notes__
    finally:
        api.set_num_threads(None)
    with pytest.raises(ValueError, match="ORVANE_NUM_THREADS must be a positive whole number"):
        monkeypatch.setenv("ORVANE_NUM_THREADS", "0")
        api.get_num_threads()
