"""Road 1: historical bars from local CSV trees, and the four volume indicators on them.

Run from the repository root:  PYTHONPATH=src python examples/road1_historical_bars.py
"""
import pathlib

import pandas as pd

from orvane_data.from_localcsv.api import get_historical_data
from orvane_data.ta.volume import ad, adosc, cmf, obv

DATA = pathlib.Path(__file__).resolve().parent / "data" / "csv"
FIELDS = ["PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME"]


def volume_indicators(bars: pd.DataFrame) -> pd.DataFrame:
    """OBV, A/D, Chaikin oscillator and money flow of one ticker's bars (columns PX_*)."""
    h, l, c, v = bars["PX_HIGH"], bars["PX_LOW"], bars["PX_LAST"], bars["PX_VOLUME"].astype(float)
    out = [obv(c, v), ad(h, l, c, v), adosc(h, l, c, v, fast=3, slow=10), cmf(h, l, c, v, length=20)]
    return pd.concat(out, axis=1)


def main(out_dir=None, data_dir=DATA):
    data_dir = pathlib.Path(data_dir)

    # Daily tree: one ohlcv.csv per ticker; reshaped to (field, date) rows x ticker columns.
    daily = get_historical_data(["IBM US Equity", "AAPL US Equity", "SPX Index"], ["PX_LAST", "PX_VOLUME"],
                                "2024-01-01", "2024-12-31", str(data_dir / "K_1D"))
    print("Daily closes (last 5 days):")
    print(daily.loc["PX_LAST"].tail(5).round(2).to_string(), "\n")

    # Intraday tree: one file per day; the rolling futures series is back-adjusted across the roll.
    bars = get_historical_data(["ES1 Index"], FIELDS + ["NUM_TRDS"], "2024-03-11", "2024-03-15 23:59:59",
                               str(data_dir / "K_1M"), return_ohlcv=True)
    print("ES1 Index one-minute bars (roll-adjusted), one row per contract in the files:")
    print(bars.groupby("TICKER", sort=False)
              .agg(first=("DATE", "min"), last=("DATE", "max"), bars=("DATE", "size"),
                   close=("PX_LAST", "last")).to_string(), "\n")

    # Volume indicators on each daily ticker (long table of bars, one ticker at a time).
    long = get_historical_data(["IBM US Equity", "AAPL US Equity"], FIELDS, "2024-01-01", "2024-12-31",
                               str(data_dir / "K_1D"), return_ohlcv=True)
    tables = {}
    for ticker, one in long.groupby("ID", sort=False):
        one = one.set_index("DATE")
        tables[ticker] = volume_indicators(one)
    table = pd.concat(tables, names=["ID", "DATE"])
    print("Volume indicators (last 3 days per ticker):")
    print(table.groupby(level="ID", sort=False).tail(3).round(3).to_string())
    return {"daily": daily, "intraday": bars, "indicators": table}


if __name__ == "__main__":
    main()
