"""Local-CSV historical query: the package against a literal pandas rendering of the same steps.

Cases (trees generated into a temporary directory, never committed):
  (a) intraday tree, 20 tickers x 250 days x 390 minute bars, half of them futures series that roll
  (b) daily tree, 500 tickers x 5,000 days
  (c) one ticker, one intraday day (latency)
Each side runs in its own process (so its peak RSS is its own), best of 3; outputs are compared
with pandas.testing.assert_frame_equal, dtypes included. For (a) and (b) the package also runs on
one thread (ORVANE_NUM_THREADS=1), which must give the same table.
"""
import os
import pathlib
import pickle
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from timing import frames_equal

ROOT = pathlib.Path(__file__).resolve().parents[1]
FIELDS = ["PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME", "NUM_TRDS"]


def _lines(rng, times, level, contracts=None):
    n = len(times)
    close = np.round(level * np.exp(np.cumsum(rng.normal(0, 0.0005, n))), 2)
    open_ = np.round(close * (1 + rng.normal(0, 0.0002, n)), 2)
    high = np.round(np.maximum(open_, close) * 1.0003, 2)
    low = np.round(np.minimum(open_, close) * 0.9997, 2)
    vol = rng.integers(1, 5000, n)
    trd = rng.integers(1, 300, n)
    rows = [f"{t},{o!r},{h!r},{lo!r},{c!r},{v},{k}" for t, o, h, lo, c, v, k in
            zip(times, open_.tolist(), high.tolist(), low.tolist(), close.tolist(), vol.tolist(), trd.tolist())]
    if contracts is not None:
        rows = [f"{r},{c}" for r, c in zip(rows, contracts)]
    return rows


def make_intraday(root, tickers, days, bars):
    rng = np.random.default_rng(1)
    dates = pd.bdate_range("2023-01-02", periods=days).strftime("%Y-%m-%d")
    clock = (pd.Timestamp("2000-01-01 09:31") + pd.to_timedelta(np.arange(bars), unit="min")).strftime(" %H:%M:%S")
    for t in range(tickers):
        name = f"FUT{t} Index" if t % 2 == 0 else f"IDX{t} Index"
        d = root / name
        d.mkdir(parents=True)
        for i, day in enumerate(dates):
            times = [day + c for c in clock]
            if t % 2 == 0:
                contract = [f"C{i // 60}"] * bars
                header = "time_key,open,high,low,close,volume,num_trds,ticker\n"
                rows = _lines(rng, times, 4000 + 10 * (i // 60), contract)
            else:
                header = "time_key,open,high,low,close,volume,num_trds\n"
                rows = _lines(rng, times, 100)
            (d / f"{name}_{day}.csv").write_text(header + "\n".join(rows) + "\n")
    return [f"FUT{t} Index" if t % 2 == 0 else f"IDX{t} Index" for t in range(tickers)], dates[0], dates[-1]


def make_daily(root, tickers, days):
    rng = np.random.default_rng(2)
    dates = pd.bdate_range("2000-01-03", periods=days).strftime("%Y-%m-%d").tolist()
    names = [f"S{t:03d} US Equity" for t in range(tickers)]
    for name in names:
        d = root / name
        d.mkdir(parents=True)
        rows = [r.rsplit(",", 1)[0] for r in _lines(rng, dates, 50)]
        (d / "ohlcv.csv").write_text("time_key,open,high,low,close,volume\n" + "\n".join(rows) + "\n")
    return names, dates[0], dates[-1]


def run_side(side, args_file, out_file):
    sys.path.insert(0, str(ROOT / "tests"))
    if side == "reference":
        import localcsv_reference as mod
    else:
        from orvane_data.from_localcsv import api as mod
    with open(args_file, "rb") as f:
        args = pickle.load(f)
    best = float("inf")
    out = None
    for _ in range(3):
        t0 = time.perf_counter()
        out = mod.get_historical_data(*args)
        best = min(best, time.perf_counter() - t0)
        if _ == 0:
            with open(out_file, "wb") as f:
                pickle.dump(out, f)
        del out
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{best:.6f} {rss:.1f}")


def side(name, args_file, out_file, threads=None):
    env = dict(os.environ)
    if threads is not None:
        env["ORVANE_NUM_THREADS"] = str(threads)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "src"), env.get("PYTHONPATH", "")]))
    res = subprocess.run([sys.executable, __file__, "run", name, args_file, out_file], capture_output=True,
                         text=True, env=env)
    if res.returncode != 0:
        raise RuntimeError(res.stderr)
    secs, rss = res.stdout.split()
    return float(secs), float(rss)


def loaded(path):
    with open(path, "rb") as f:
        return pickle.load(f)


def case(label, args, tmp, single_thread=False):
    args_file, ref_out, pkg_out = (str(tmp / f"{label}.{x}") for x in ("args", "ref", "pkg"))
    with open(args_file, "wb") as f:
        pickle.dump(args, f)
    ref_s, ref_rss = side("reference", args_file, ref_out)
    pkg_s, pkg_rss = side("package", args_file, pkg_out)
    got = loaded(pkg_out)
    equal = frames_equal(got, loaded(ref_out))
    print(f"{label:<34} reference {ref_s:9.4f}s  package {pkg_s:8.4f}s  ratio {ref_s / pkg_s:7.1f}x  "
          f"equal {equal}  peak RSS reference {ref_rss:7.1f} MB  package {pkg_rss:7.1f} MB", flush=True)
    if single_thread:
        one_s, one_rss = side("package", args_file, pkg_out, threads=1)
        same = frames_equal(loaded(pkg_out), got)
        print(f"{label + ', 1 thread':<34} reference {ref_s:9.4f}s  package {one_s:8.4f}s  ratio {ref_s / one_s:7.1f}x  "
              f"same as threaded {same}  peak RSS package {one_rss:7.1f} MB", flush=True)
        equal = equal and same
    return equal


def main():
    only = sys.argv[1:]
    ok = True
    with tempfile.TemporaryDirectory() as d:
        tmp = pathlib.Path(d)
        if not only or "c" in only:
            root = tmp / "one" / "K_1M"
            tickers, first, last = make_intraday(root, 1, 1, 390)
            ok &= case("(c) 1 ticker x 1 intraday day", (tickers, FIELDS, first, last + " 23:59:59", str(root)), tmp)
        if not only or "b" in only:
            root = tmp / "daily" / "K_1D"
            tickers, first, last = make_daily(root, 500, 5000)
            ok &= case("(b) daily 500 x 5000", (tickers, FIELDS[:5], first, last, str(root)), tmp, single_thread=True)
        if not only or "a" in only:
            root = tmp / "intraday" / "K_1M"
            tickers, first, last = make_intraday(root, 20, 250, 390)
            ok &= case("(a) intraday 20 x 250 x 390, rolls", (tickers, FIELDS, first, last + " 23:59:59", str(root)),
                       tmp, single_thread=True)
    return 0 if ok else 1


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "run":
        run_side(*sys.argv[2:5])
    else:
        sys.exit(main())
