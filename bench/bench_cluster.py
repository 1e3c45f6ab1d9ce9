"""The CSV query and the event windows on a local Dask cluster against the one in-process call.

Cases, all in one run:
  (a) intraday tree, 16 tickers x 120 days x 390 minute bars (half of them roll): the (field, date)
      table and the stacked bars, on a LocalCluster of 1 and then 2 worker processes (one thread
      each), against one `get_historical_data` call in this process
  (b) event windows: 1,000 releases over 60 days of minute bars of 20 securities, same clusters,
      against one `filter_bars_around_events` call
Every answer is compared with the one call's (pandas.testing.assert_frame_equal); best of 3.
"""
import pathlib
import sys
import tempfile
import warnings

import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_localcsv import make_intraday  # noqa: E402
from timing import best_of, frames_equal  # noqa: E402

from orvane_data import cluster  # noqa: E402
from orvane_data.from_bqia import tickbars as tb  # noqa: E402
from orvane_data.from_localcsv import api  # noqa: E402

FIELDS = ["PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME", "NUM_TRDS"]
TZ = "America/New_York"



def event_inputs():
    rng = np.random.default_rng(3)
    days = pd.bdate_range("2024-01-02", periods=60)
    minutes = np.arange(8 * 60, 17 * 60)
    local = (days.values[:, None] + (minutes * 60_000_000_000).astype("timedelta64[ns]")[None, :]).ravel()
    times = pd.DatetimeIndex(local).tz_localize(TZ)
    frames = []
    for i in range(20):
        close = 100 * np.exp(np.cumsum(rng.normal(0, 4e-4, len(times))))
        frames.append(pd.DataFrame({"security": f"BBG{i:09d}", "datetime": times, "key": f"sec{i:02d}",
                                    "close": close, "volume": rng.integers(0, 5_000, len(times))}))
    bars = pd.concat(frames, ignore_index=True)
    picks = np.sort(rng.choice(len(times), 1_000, replace=False))
    cal = pd.DataFrame({"EVENT_NAME": rng.choice([f"Event {i:02d}" for i in range(30)], 1_000),
                        "event_datetime": times[picks], "ACTUAL": rng.normal(size=1_000)},
                       index=pd.Index(rng.choice(["US", "JP"], 1_000), name="ID"))
    return bars, cal


def main():
    warnings.simplefilter("ignore")
    ok = True
    with tempfile.TemporaryDirectory() as d:
        root = pathlib.Path(d) / "K_1M"
        tickers, first, last = make_intraday(root, 16, 120, 390)
        args = (tickers, FIELDS, first, last + " 23:59:59", str(root))
        bars, cal = event_inputs()
        one = {
            "table": best_of(lambda: api.get_historical_data(*args), rounds=3),
            "bars": best_of(lambda: api.get_historical_data(*args, return_ohlcv=True), rounds=3),
            "events": best_of(lambda: tb.filter_bars_around_events(bars, cal), rounds=3),
        }
        runs = {
            "table": lambda c: cluster.historical_data(c, *args),
            "bars": lambda c: cluster.historical_data(c, *args, return_ohlcv=True),
            "events": lambda c: cluster.bars_around_events(c, bars, cal),
        }
        labels = {"table": "(a) intraday 16 x 120 x 390, table", "bars": "(a) intraday 16 x 120 x 390, bars",
                  "events": f"(b) events 1,000 releases, {len(bars):,} bars"}
        timings = {k: [] for k in runs}
        for workers in (1, 2):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                              dashboard_address=None, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as lc, \
                    Client(lc) as client:
                for name, run in runs.items():
                    run(client)  # workers import the package and warm up
                    secs, got = best_of(lambda: run(client), rounds=3)
                    same = frames_equal(got, one[name][1])
                    ok &= same
                    timings[name].append((secs, same))
        for name in runs:
            single = one[name][0]
            (w1, e1), (w2, e2) = timings[name]
            print(f"{labels[name]:<40} one call {single:7.3f}s  1 worker {w1:7.3f}s  2 workers {w2:7.3f}s  "
                  f"speed-up 1->2 x{w1 / w2:4.2f}  overhead vs one call {w2 / single:5.2f}x  "
                  f"equal {e1 and e2}", flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
