"""Writes the small bundled CSV trees used by the demo (deterministic; rerun to regenerate).

    csv/K_1D/<ticker>/ohlcv.csv                    daily bars, one file per ticker
    csv/K_1M/<ticker>/<ticker>_YYYY-MM-DD.csv      intraday minute bars, one file per day
        ES1 Index: a futures series in flat layout whose "ticker" column rolls ESH4 -> ESM4
        NQ1 Index: grouped layout, two contracts and a "meta" group per day file
"""
import pathlib

import numpy as np
import pandas as pd

ROOT = pathlib.Path(__file__).resolve().parent / "csv"


def walk(rng, n, start):
    return start * np.exp(np.cumsum(rng.normal(0, 0.002, n)))


def bars(rng, times, start, volume_scale=1000):
    close = walk(rng, len(times), start)
    open_ = np.r_[start, close[:-1]]
    spread = np.abs(rng.normal(0, 0.001, len(times))) * close
    return pd.DataFrame({
        "time_key": times,
        "open": open_.round(2),
        "high": (np.maximum(open_, close) + spread).round(2),
        "low": (np.minimum(open_, close) - spread).round(2),
        "close": close.round(2),
        "volume": rng.integers(1, 50, len(times)) * volume_scale,
        "num_trds": rng.integers(1, 400, len(times)),
    })


def daily(rng):
    days = pd.bdate_range("2024-01-02", periods=60)
    times = days.strftime("%Y-%m-%d").tolist()
    for ticker, level in [("SPX Index", 4700.0), ("AAPL US Equity", 185.0), ("IBM US Equity", 160.0)]:
        d = ROOT / "K_1D" / ticker
        d.mkdir(parents=True, exist_ok=True)
        bars(rng, times, level).drop(columns="num_trds").to_csv(d / "ohlcv.csv", index=False)


def minutes(day):
    return pd.date_range(f"{day} 09:31", f"{day} 16:00", freq="1min").strftime("%Y-%m-%d %H:%M:%S").tolist()


def intraday(rng):
    days = ["2024-03-11", "2024-03-12", "2024-03-13", "2024-03-14", "2024-03-15"]
    roll_day = "2024-03-13"
    es = ROOT / "K_1M" / "ES1 Index"
    es.mkdir(parents=True, exist_ok=True)
    level = 5100.0
    for day in days:
        df = bars(rng, minutes(day)[::5], level, volume_scale=10)
        contract = "ESH4" if day < roll_day else "ESM4"
        if day >= roll_day:  # the June contract trades at a premium
            for col in ["open", "high", "low", "close"]:
                df[col] = (df[col] * 1.012).round(2)
        df.insert(len(df.columns), "ticker", contract)
        df.to_csv(es / f"ES1 Index_{day}.csv", index=False)
        level = float(df["close"].iloc[-1]) / (1.012 if day >= roll_day else 1.0)

    nq = ROOT / "K_1M" / "NQ1 Index"
    nq.mkdir(parents=True, exist_ok=True)
    for day in days:
        times = minutes(day)[::5]
        front = bars(rng, times, 18000.0, volume_scale=10).set_index("time_key")
        back = bars(rng, times, 18200.0, volume_scale=1).set_index("time_key")
        meta = pd.DataFrame({"open": 1, "high": 1, "low": 1, "close": 1, "volume": 10**9, "num_trds": 1},
                            index=front.index)
        grouped = pd.concat({"NQH4": front, "NQM4": back, "meta": meta}, axis=1)
        grouped.to_csv(nq / f"NQ1 Index_{day}.csv")


if __name__ == "__main__":
    rng = np.random.default_rng(7)
    daily(rng)
    intraday(rng)
