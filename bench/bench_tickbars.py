"""Event windows: the package against a literal pandas rendering of the same steps.

2,000 releases with 16-minute windows (five before to ten after) against a year of minute bars in
trading hours for 50 securities; both sides get the same tables, and their outputs are compared.
"""
import datetime as dt

import numpy as np
import pandas as pd

from orvane_data.from_bqia import tickbars as tb
from orvane_data.from_bqia.querykit import round_event_datetime
from timing import best_of

TZ = "America/New_York"
SECURITIES = 50
RELEASES = 2_000


def minute_bars(rng):
    days = pd.bdate_range("2024-01-01", "2024-12-31")
    minutes = np.arange(8 * 60, 17 * 60)
    local = (days.values[:, None] + (minutes * 60_000_000_000).astype("timedelta64[ns]")[None, :]).ravel()
    times = pd.DatetimeIndex(local).tz_localize(TZ)
    n = len(times)
    frames = []
    for i in range(SECURITIES):
        close = 100 * np.exp(np.cumsum(rng.normal(0, 4e-4, n)))
        frames.append(pd.DataFrame({
            "security": f"BBG{i:09d}", "datetime": times, "key": f"sec{i:02d}",
            "open": close * (1 + rng.normal(0, 1e-4, n)), "high": close * 1.0003, "low": close * 0.9997,
            "close": close, "volume": rng.integers(0, 5_000, n),
        }))
    return pd.concat(frames, ignore_index=True), times


def calendar(rng, times):
    picks = np.sort(rng.choice(len(times), RELEASES, replace=False))
    released = times[picks] + pd.to_timedelta(rng.choice([0, 0, 45], RELEASES), unit="s")
    names = np.array([f"Event {i:02d}" for i in range(40)], dtype=object)
    df = pd.DataFrame({
        "EVENT_NAME": rng.choice(names, RELEASES), "RELEASE_DATE_TIME": released.tz_localize(None),
        "ACTUAL": rng.normal(size=RELEASES), "SURVEY": rng.normal(size=RELEASES),
    }, index=pd.Index(rng.choice(["US", "JP"], RELEASES), name="ID"))
    df["event_datetime"] = released.floor("min")  # the calendar query's rounded release times
    return df


def literal(df_bars, df_calendar, pre=-5, post=10):
    temp_data = []
    for event in df_calendar["EVENT_NAME"].unique():
        subset = df_calendar[df_calendar["EVENT_NAME"] == event]
        for t in [round_event_datetime(x, round_down=True) for x in subset["event_datetime"].unique()]:
            for m in range(pre, post + 1):
                temp_data.append((event, t, t + dt.timedelta(minutes=m), m))
    meta = pd.DataFrame(temp_data, columns=["EVENT_NAME", "event_datetime", "datetime", "time_diff"])
    meta = meta.set_index("datetime")
    bars = df_bars.set_index("datetime")
    out = meta.join(bars, how="left").reset_index()
    out = out.dropna(subset=["key"])
    out = out[list(meta.columns) + ["datetime"] + list(bars.columns)]
    out = out.sort_values(["EVENT_NAME", "event_datetime", "key", "datetime"]).reset_index(drop=True)
    out = out.set_index(["EVENT_NAME", "event_datetime"])
    cal = df_calendar.reset_index().set_index(["EVENT_NAME", "event_datetime"])
    return out.join(cal, how="left").reset_index()



def main():
    rng = np.random.default_rng(7)
    bars, times = minute_bars(rng)
    cal = calendar(rng, times)
    t_ref, want = best_of(lambda: literal(bars, cal), rounds=2)
    t_pkg, got = best_of(lambda: tb.filter_bars_around_events(bars, cal), rounds=2)
    try:
        pd.testing.assert_frame_equal(got, want)
        equal = True
    except AssertionError:
        equal = False
    print(f"filter_bars_around_events {RELEASES} releases x 16 min, {len(bars):,} bars ({len(got):,} rows): "
          f"reference {t_ref:.3f} s  package {t_pkg:.3f} s  x{t_ref / t_pkg:.1f}  equal={equal}", flush=True)


if __name__ == "__main__":
    main()
