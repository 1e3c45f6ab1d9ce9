"""A straightforward pandas rendering of the local-CSV historical query, step by step.

The differential tests and the benchmark compare `orvane_data.from_localcsv.api.get_historical_data`
with `get_historical_data` here, on the same trees.
"""
import csv
import os
from datetime import datetime, timedelta

import numpy as np
import pandas as pd

INTRADAY_FIELDS = ["PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME", "NUM_TRDS"]
DAILY_FIELDS = ["PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME"]
RENAME = {"time_key": "DATE", "generic_ticker": "ID", "ticker": "TICKER", "value": "VALUE", "open": "PX_OPEN",
          "high": "PX_HIGH", "low": "PX_LOW", "close": "PX_LAST", "volume": "PX_VOLUME", "num_trds": "NUM_TRDS"}
FORMATS = ["%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d %H", "%Y-%m-%d"]


def read_row(filename, row):
    with open(filename, "r") as f:
        reader = csv.reader(f)
        i = 0
        while i < row:
            record = next(reader)
            i += 1
    return record


def flex_strptime(text):
    for fmt in FORMATS:
        try:
            return datetime.strptime(text, fmt)
        except ValueError:
            pass
    raise ValueError(f"Unable to parse date string: '{text}' with any of the defined formats.")


KEY_FORMS = [(r"[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}", "%Y-%m-%d %H:%M:%S"),
             (r"[0-9]{4}-[0-9]{2}-[0-9]{2}", "%Y-%m-%d")]


def in_window(keys, lower, upper, lower_text, end):
    """Keys of the two documented forms compared as the times they name, others as texts with the
    bounds' texts."""
    inside = ((keys >= lower_text) & (keys <= end)).to_numpy(dtype=bool).copy()
    try:
        forms = [(keys.str.fullmatch(pattern) == True).to_numpy(dtype=bool) for pattern, _ in KEY_FORMS]  # noqa: E712
    except AttributeError:  # no text among the keys
        return pd.Series(inside, index=keys.index)
    values = keys.to_numpy(dtype=object)
    for is_form, (_, fmt) in zip(forms, KEY_FORMS):
        at = np.flatnonzero(is_form)
        times = pd.to_datetime(pd.Series(values[at], dtype=object), format=fmt, errors="coerce")
        read = times.notna().to_numpy()  # a real date and time; an impossible one stays text
        inside[at[read]] = ((times >= lower) & (times <= upper)).to_numpy()[read]
    return pd.Series(inside, index=keys.index)


def has_open(path, row):
    try:
        return "open" in read_row(path, row)
    except StopIteration:
        return False


def load(path):
    if has_open(path, 1):
        return pd.read_csv(path)
    if has_open(path, 2):
        df = pd.read_csv(path, header=[0, 1], index_col=[0])
        groups = [g for g in df.columns.get_level_values(0).unique() if g != "meta"]
        sums = {g: df.xs(g, level=0, axis=1).dropna()["volume"].sum() for g in groups}
        principal = max(sums, key=sums.get)
        return df.xs(principal, level=0, axis=1).reset_index()
    raise ValueError(f"Unrecognised layout in {path}: neither row 1 nor row 2 has the field 'open'.")


def roll_adjust(df):
    t = df["ticker"]
    switch1 = (t != t.shift(1)).astype(int)
    switch2 = (t != t.shift(-1)).astype(int)
    rows = []
    for idx in switch1[switch1 > 0].index:
        if idx == 0:
            continue
        if switch2[idx - 1] == 1:
            rows += [idx - 1, idx]
    roll = df.loc[rows]
    assert len(roll) % 2 == 0, "roll records should be an even number"
    factors, indices = [], []
    for i in range(1, len(roll), 2):
        factors.append(roll["close"].iloc[i] / roll["close"].iloc[i - 1])
        indices.append(roll.index[i - 1])
    for idx, f in zip(indices, factors):
        for col in ["close", "open", "high", "low"]:
            df.loc[:idx, col] = df.loc[:idx, col] * f


def get_historical_data(tickers, flds, start, end, csv_path, bar_convention="end", return_ohlcv=False):
    measure = DAILY_FIELDS if "K_1D" in csv_path else INTRADAY_FIELDS
    if not set(flds).issubset(set(measure)):
        raise ValueError(f"Only the following params are allow in `flds`: {measure}.")
    lower, upper = flex_strptime(start), flex_strptime(end)
    lower_text = start
    if bar_convention == "start":
        lower = lower - timedelta(minutes=1)
        lower_text = lower.strftime("%Y-%m-%d %H:%M:%S")
    frames = []
    for ticker in tickers:
        data_path = os.path.join(os.path.normpath(csv_path), ticker)
        if "K_1D" in csv_path:
            full = load(data_path + "/ohlcv.csv")
        else:
            if not os.path.exists(data_path):
                raise FileNotFoundError(f"Data was NOT found in {data_path}!")
            names = [n for n in os.listdir(data_path) if ".csv" in n]
            kept = [n for n in names
                    if flex_strptime(start).date()
                    <= datetime.strptime(n[-14:].replace(".csv", ""), "%Y-%m-%d").date()
                    <= upper.date()]
            full = pd.DataFrame()
            for n in sorted(kept):
                full = pd.concat([full, load(data_path + "/" + n)])
            if full.empty:
                raise ValueError(f"There is no historical data for {ticker} within time range: [{start} - {end}]!")
            full = full.sort_values("time_key")
        full = full[in_window(full["time_key"], lower, upper, lower_text, end)].copy()
        full["time_key"] = pd.to_datetime(full["time_key"])
        full = full.dropna()
        full = full.reset_index(drop=True)
        if "ticker" in full.columns:
            roll_adjust(full)
        full["generic_ticker"] = ticker
        frames.append(full.copy())
    df_bars = pd.concat(frames).rename(columns=RENAME)
    if return_ohlcv:
        return df_bars
    id_vars = ["DATE", "ID"] + [c for c in ("TICKER", "VALUE") if c in df_bars.columns]
    long = df_bars.melt(id_vars=id_vars, value_vars=measure, var_name="FLDS", value_name="ActualValue")
    table = long.pivot_table(index=["FLDS", "DATE"], columns="ID", values="ActualValue")
    table = table.reindex(measure, level=0)
    return table.loc[flds]
