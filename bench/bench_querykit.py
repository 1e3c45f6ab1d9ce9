"""Economic calendar query: the package against a literal pandas rendering of the same steps.

The calendar answer is a canned table of many releases with mixed time-zone labels, so the timing
is the query's own work (stacking, dropping unreleased rows, per-label localisation, conversion,
minute rounding, the added columns), not the stand-in's.
"""
import datetime as dt
import re
import time

import numpy as np
import pandas as pd
import pytz

import bql
from orvane_data.from_bqia import querykit as qk

LABELS = ["GMT+08:00", "GMT+05:30", "GMT-04:00", "GMT-05:00", "GMT+05:45", "GMT-03:30", "GMT+09:00", "GMT+00:00"]


def canned(rows_per_year, year):
    rng = np.random.default_rng(year)
    start = pd.Timestamp(f"{year}-01-01").value
    span = 365 * 86_400 * 10**9
    times = pd.to_datetime(np.sort(rng.integers(start, start + span, rows_per_year)))
    actual = rng.normal(size=rows_per_year)
    actual[rng.random(rows_per_year) < 0.1] = np.nan
    return pd.DataFrame({
        "Calendar": "CPI YOY Index", "EVENT_NAME": "CPI YoY", "RELEASE_DATE_TIME": times,
        "ACTUAL": actual, "TIMEZONE": rng.choice(LABELS, rows_per_year), "surprise": 0.0, "subtype": "economic",
    }, index=pd.Index(rng.choice(["US", "JP", "IN"], rows_per_year), name="ID"))


def literal_convert_tz(label):
    first = re.findall(r"\-|\+", label)[0]
    pieces = re.split(r"\-|\+|\:", label)
    hours, minutes = int(pieces[1]), int(pieces[2])
    if minutes:
        return pytz.FixedOffset((hours * 60 + minutes) * (-1 if first == "-" else 1))
    return pytz.timezone("Etc/GMT" + ("+" if first == "-" else "-") + str(hours))


def literal_round(x):
    if x.second or x.microsecond or x.nanosecond:
        return x - pd.Timedelta(seconds=x.second, microseconds=x.microsecond, nanoseconds=x.nanosecond)
    return x


def literal(bq, universe, start, end, event_timezone):
    years = qk._split_date_range(bq, start, end)
    requests = []
    for y in years:
        data = bq.data.calendar(dates=bq.func.range(f"{y}-01-01", f"{y}-12-31"), subtype="all",
                                relevancy="medium", view="extended")
        requests.append(bql.Request(universe, {"Calendar": data}, preferences={"addcols": ["surprise", "subtype"]}))
    responses = list(bq.execute_many(requests, on_request_error=lambda *a: None))
    df = pd.concat([r[0].df() for r in responses], axis=0).dropna(subset=["ACTUAL"])
    std = pytz.timezone(event_timezone)
    zones = {label: literal_convert_tz(label) for label in df["TIMEZONE"].unique()}
    ev = [pd.to_datetime(t).tz_localize(zones[z]).tz_convert(std) for t, z in zip(df["RELEASE_DATE_TIME"], df["TIMEZONE"])]
    df["event_datetime"] = pd.Series([literal_round(x) for x in ev], index=df.index)
    df["event_date"] = df["event_datetime"].apply(lambda x: x.date())
    df["event_time"] = df["event_datetime"].apply(lambda x: x.time())
    df["event_timezone"] = std
    return df


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def main():
    bq = bql.Service()
    for rows in (2_000, 20_000):
        frames = {y: canned(rows, y) for y in (2022, 2023, 2024)}
        bql.reset()
        bql.register(lambda r: frames[int(r.fields["Calendar"].params["dates"].start[:4])], item="calendar")
        args = (bq, ["US", "JP", "IN"], "2022-03-01", "2024-10-31", "America/New_York")
        t_pkg, got = best(lambda: qk.get_eco_calendar_data(*args[:4], event_timezone=args[4]))
        t_lit, want = best(lambda: literal(*args))
        equal = got.equals(want) and list(got.columns) == list(want.columns)
        print(f"get_eco_calendar_data {3 * rows:>6} rows: package {t_pkg * 1e3:8.1f} ms  "
              f"pandas {t_lit * 1e3:8.1f} ms  x{t_lit / t_pkg:5.1f}  equal={equal}", flush=True)


if __name__ == "__main__":
    main()
