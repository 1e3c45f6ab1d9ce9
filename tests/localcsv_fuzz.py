"""Differential fuzzer: get_historical_data against the literal pandas rendering (localcsv_reference).

Each round writes a small tree (daily or intraday, flat or grouped files, sometimes a seed file of
tests/cpp/corpus among them) whose time keys and cells are drawn from a wide menu of shapes, runs
one query on both sides and checks that they fail with the same exception type or return frames
equal bit for bit (dtypes, index and float bits included). A disagreement is kept under
--findings with the query that shows it.

    python tests/localcsv_fuzz.py --seconds 20 --seed 1
"""
import argparse
import json
import pathlib
import random
import shutil
import sys
import tempfile
import time
import warnings

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import localcsv_reference as ref  # noqa: E402
from orvane_data.from_localcsv import api  # noqa: E402

CORPUS = HERE / "cpp" / "corpus"
DAYS = ["2024-03-14", "2024-03-15", "2024-03-16"]


def number(r):
    """A numeric-looking cell: mostly plain, sometimes an edge of pandas' reader."""
    x = r.uniform(-1000, 1000)
    menu = [
        lambda: f"{x:.2f}", lambda: f"{x:.2f}", lambda: f"{x:.2f}", lambda: str(r.randint(0, 10**6)),
        lambda: repr(x), lambda: f"{x:.17g}", lambda: f"{x:.17e}", lambda: f"{x:.20g}",
        lambda: f"{r.uniform(0, 1):.17g}e{r.randint(-320, 320)}", lambda: f"{x:E}",
        lambda: "-0.0", lambda: "-0", lambda: "+0", lambda: "0", lambda: "-0e5", lambda: ".5", lambda: "5.",
        lambda: "+" + f"{abs(x):.3f}", lambda: "00012.5", lambda: "0007", lambda: " 1.5", lambda: "1.5 ",
        lambda: "0." + "".join(r.choice("0123456789") for _ in range(r.randint(18, 40))),
        lambda: str(r.randint(10**18, 10**21)), lambda: "-" + str(r.randint(10**18, 10**20)),
        lambda: "0" * r.randint(1, 20) + str(r.randint(0, 99)), lambda: str(2**53 + r.randint(0, 9)),
        lambda: str(2**63 - r.randint(0, 2)), lambda: str(2**64 - 1), lambda: "1e", lambda: "1e+", lambda: "1e400",
        lambda: "1e-400", lambda: "4.9e-324", lambda: "2.2250738585072011e-308", lambda: "inf", lambda: "-inf",
        lambda: "NaN", lambda: "NA", lambda: "", lambda: "", lambda: "n/a", lambda: "None", lambda: "True",
        lambda: "abc", lambda: "1_000", lambda: "0x1F", lambda: "1.5x", lambda: "1;5", lambda: '"1.5"',
        lambda: "1.5d3", lambda: "１", lambda: "--1",
        # decimals with 18 to 25 digits before the point (pandas 2 tries such a column as integers)
        lambda: r.choice(["", "-", "+", "000"]) + str(r.randint(10**17, 10**25)) + "." + str(r.randint(0, 99)),
        lambda: str(2**63 + r.randint(-2, 2)) + r.choice([".5", ".", "e0"]), lambda: "123456789012345678901234.5",
    ]
    return r.choice(menu[:4] if r.random() < 0.4 else menu)()


def key_shape(r):
    """A way of writing a time key (applied to every key of a file, or to one of them)."""
    menu = [
        lambda t: t.strftime("%Y-%m-%d %H:%M:%S"), lambda t: t.strftime("%Y-%m-%d %H:%M"),
        lambda t: t.strftime("%Y-%m-%dT%H:%M:%S"), lambda t: t.strftime("%Y-%m-%d %H:%M:%S") + ".5",
        lambda t: t.strftime("%Y-%m-%d %H:%M:%S") + ".123456789", lambda t: t.strftime("%Y-%m-%d %H:%M:%S") + "Z",
        lambda t: t.strftime("%Y-%m-%d %H:%M:%S") + "+01:00", lambda t: t.strftime("%Y-%m-%d") + "abc",
        lambda t: t.strftime("%Y-%m-%d"), lambda t: t.strftime("%Y-%m-%d %H"), lambda t: t.strftime("%Y%m%d"),
        lambda t: t.strftime("%Y-%-m-%-d %H:%M:%S"), lambda t: " " + t.strftime("%Y-%m-%d %H:%M:%S"),
        lambda t: t.strftime("%Y-%m-%d %H:%M:%S "), lambda t: t.strftime("%Y/%m/%d %H:%M:%S"),
        lambda t: t.strftime("%Y-%m-%d 24:%M:%S"), lambda t: t.strftime("1600-%m-%d %H:%M:%S"),
        lambda t: t.strftime("2300-%m-%d %H:%M:%S"), lambda t: t.strftime("%Y-02-30 %H:%M:%S"),
        lambda t: str(t.minute), lambda t: t.strftime("%Y-%m"), lambda t: "", lambda t: "NaT",
    ]
    return r.choice(menu)


def make_file(r, day, daily, n_rows):
    """Text of one data file whose keys fall on `day` (or on consecutive days for a daily file)."""
    cols = ["time_key", "open", "high", "low", "close", "volume"] + ([] if daily else ["num_trds"])
    if r.random() < 0.5:
        cols.append("ticker")
    if r.random() < 0.2:
        cols.append("value")
    base = pd.Timestamp(day) + pd.Timedelta(hours=9, minutes=30)
    step = pd.Timedelta(days=1) if daily else pd.Timedelta(minutes=1)
    times = [base + i * step for i in range(n_rows)]
    if r.random() < 0.3:
        r.shuffle(times)
    plain = lambda t: t.strftime("%Y-%m-%d") if daily else t.strftime("%Y-%m-%d %H:%M:%S")  # noqa: E731
    shape = plain if r.random() < 0.75 else key_shape(r)
    keys = [shape(t) for t in times]
    if r.random() < 0.08:
        keys[r.randrange(n_rows)] = key_shape(r)(times[0])
    price = r.uniform(1, 500)
    rows = []
    roll_at = r.randrange(1, n_rows) if n_rows > 1 else 1
    for i in range(n_rows):
        p = price * (1 + 0.01 * i)
        cells = {"time_key": keys[i], "open": f"{p:.2f}", "high": f"{p * 1.01:.4f}", "low": f"{p * 0.99:.3f}",
                 "close": repr(p), "volume": str(r.randint(0, 1000)), "num_trds": str(r.randint(1, 50)),
                 "ticker": "A" if i < roll_at else "B", "value": r.choice(["a", "b"])}
        rows.append(cells)
    # Cells from the menu: a few scattered ones, or one column written in one odd way throughout.
    fields = [c for c in cols if c != "time_key"]
    for _ in range(r.choice([0, 0, 1, 2, 4])):
        rows[r.randrange(n_rows)][r.choice(fields)] = number(r)
    if r.random() < 0.3:
        c = r.choice(fields)
        gen = number(r)
        for row in rows:
            row[c] = gen if r.random() < 0.5 else number(r) if r.random() < 0.2 else row[c]
    if r.random() < 0.1:  # a roll from close 0 to close 0
        for i in (roll_at - 1, roll_at):
            if 0 <= i < n_rows:
                rows[i]["close"] = "0"
    if r.random() < 0.2:  # grouped layout: the same bars under two contracts and meta
        groups = ["F1", "F2", "meta"]
        r.shuffle(groups)
        fields_g = [c for c in cols if c != "time_key"]
        if r.random() < 0.05:
            fields_g.append("time_key")
        head = "," + ",".join(g for g in groups for _ in fields_g)
        second = "," + ",".join(f for _ in groups for f in fields_g)
        third = "time_key" + "," * (len(groups) * len(fields_g))
        body = []
        for row in rows:
            vals = []
            for g in groups:
                for f in fields_g:
                    v = row.get(f, "x")
                    if f == "volume" and g != groups[0]:
                        v = str(r.randint(0, 1000))
                    vals.append(v)
            body.append(row["time_key"] + "," + ",".join(vals))
        text = "\n".join([head, second, third] + body)
    else:
        text = "\n".join([",".join(cols)] + [",".join(row[c] for c in cols) for row in rows])
    if r.random() < 0.8:
        text += "\n"
    if r.random() < 0.25:  # written on Windows
        text = text.replace("\n", "\r\n")
    if r.random() < 0.03:  # a stray CR, or a CRLF line end where the rest has LF
        at = r.randrange(len(text) + 1)
        text = text[:at] + r.choice(["\r", "\r\n"]) + text[at:]
    return text


def make_tree(r, root):
    daily = r.random() < 0.4
    csv_path = root / ("K_1D" if daily else "K_1M")
    tickers = [f"T{i}" for i in range(r.choice([1, 1, 2, 3]))]
    corpus = sorted(CORPUS.glob("*")) if CORPUS.is_dir() else []
    for t in tickers:
        d = csv_path / t
        d.mkdir(parents=True)
        if daily:
            text = (corpus and r.random() < 0.1 and r.choice(corpus).read_text("utf-8", "surrogateescape")) \
                or make_file(r, DAYS[0], True, r.randint(1, 8))
            (d / "ohlcv.csv").write_bytes(text.encode("utf-8", "surrogateescape"))
            continue
        for day in r.sample(DAYS, r.randint(1, 3)):
            text = (corpus and r.random() < 0.1 and r.choice(corpus).read_text("utf-8", "surrogateescape")) \
                or make_file(r, day, False, r.randint(1, 8))
            (d / f"{t}_{day}.csv").write_bytes(text.encode("utf-8", "surrogateescape"))
    return daily, csv_path, tickers


def query(r, daily, csv_path, tickers):
    measure = ref.DAILY_FIELDS if daily else ref.INTRADAY_FIELDS
    flds = r.sample(measure, r.randint(1, len(measure)))
    if daily:
        start, end = r.choice([("2024-03-14", "2024-03-20")] * 4 + [("2024-03-15", "2024-03-16"), ("1", "3"),
                                                                     ("2024-03-15 9", "2024-03-16 00:00")])
    else:
        start = r.choice(["2024-03-14", "2024-03-14", "2024-03-15 09:31", "2024-03-15 09:32:00", "2024-03-15 9:31:00",
                          "2024-03-15 09"])
        end = r.choice(["2024-03-16 23:59:59", "2024-03-16 23:59:59", "2024-03-16", "2024-03-15 09:33:00",
                        "2024-03-15 09:33"])
    # Lone surrogates in a bound, a ticker or the tree's path: texts no file system or format takes.
    if r.random() < 0.03:
        start = start + "\ud800"
    if r.random() < 0.03:
        tickers = tickers[:-1] + [tickers[-1] + "\ud800"] if tickers else tickers
    if r.random() < 0.03:
        csv_path = str(csv_path) + "\udcff"
    return dict(tickers=tickers, flds=flds, start=start, end=end, csv_path=str(csv_path),
                bar_convention=r.choice(["end", "end", "start"]), return_ohlcv=r.random() < 0.4)


def outcome(fn, kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return fn(**kwargs), None
        except Exception as e:
            return None, type(e)


def same_bits(got, want):
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    for c in range(want.shape[1]):
        a, b = got.iloc[:, c].to_numpy(), want.iloc[:, c].to_numpy()
        if b.dtype == np.float64 and not np.array_equal(a.view(np.int64), b.view(np.int64)):
            na, nb_ = np.isnan(a), np.isnan(b)
            assert np.array_equal(na, nb_) and np.array_equal(a[~na].view(np.int64), b[~nb_].view(np.int64)), \
                f"float bits differ in column {want.columns[c]!r}"


def check(kwargs, flip_string_option=False):
    """(None, whether pandas gave a frame) when both sides agree, else (a description, None). With
    flip_string_option, both run with pandas' future.infer_string turned the other way."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pandas 3 deprecates the option itself
        infer = pd.get_option("future.infer_string") != flip_string_option
        with pd.option_context("future.infer_string", infer):
            got, got_err = outcome(api.get_historical_data, kwargs)
            want, want_err = outcome(ref.get_historical_data, kwargs)
    if got_err is not None or want_err is not None:
        return (None, False) if got_err is want_err else (f"exception {got_err} vs pandas {want_err}", None)
    try:
        same_bits(got, want)
    except AssertionError as e:
        return str(e) or "frames differ", None
    return None, True


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seconds", type=float, default=20)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--findings", default="build/localcsv_fuzz_findings")
    a = p.parse_args(argv)
    r = random.Random(a.seed)
    until = time.monotonic() + a.seconds
    rounds = failures = agreed_frames = 0
    with tempfile.TemporaryDirectory() as tmp:
        while time.monotonic() < until:
            root = pathlib.Path(tmp) / str(rounds)
            daily, csv_path, tickers = make_tree(r, root)
            kwargs = query(r, daily, csv_path, tickers)
            flip = r.random() < 0.1
            problem, frame = check(kwargs, flip)
            if problem is None:
                agreed_frames += frame
            else:
                failures += 1
                keep = pathlib.Path(a.findings) / f"seed{a.seed}-round{rounds}"
                shutil.rmtree(keep, ignore_errors=True)
                shutil.copytree(root, keep)
                kwargs["csv_path"] = str(keep / csv_path.name)
                (keep / "query.json").write_text(json.dumps(dict(kwargs, flip_string_option=flip), indent=1))
                print(f"FINDING round {rounds}: {problem.strip().splitlines()[0]} -> {keep}", flush=True)
            shutil.rmtree(root)
            rounds += 1
    print(f"localcsv_fuzz on pandas {pd.__version__}: {rounds} rounds (seed {a.seed}), {agreed_frames} equal frames, "
          f"{rounds - agreed_frames - failures} equal exceptions, {failures} findings")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
