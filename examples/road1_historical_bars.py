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
    result = {"daily": daily, "intraday": bars, "daily_bars": long, "indicators": table}
    if out_dir is not None:
        result["chart"] = indicator_chart(long, table, pathlib.Path(out_dir) / "volume_indicators.png")
        print(f"\nChart of price and volume indicators: {result['chart']}")
    return result


# The chart's rows: the close, then each indicator that volume_indicators computes.
PANELS = [("Close, % from the first day", None), ("OBV", "OBV"), ("A/D line", "AD"),
          ("A/D oscillator (3, 10)", "ADOSC_3_10"), ("Chaikin money flow (20)", "CMF_20")]


def indicator_figure(long: pd.DataFrame, table: pd.DataFrame):
    """Per ticker (a column of panels), the daily close and the volume indicators beneath it; every
    row is on one y-scale, so the tickers compare at a glance (the close as % from its first day)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import EngFormatter

    tickers = list(table.index.get_level_values("ID").unique())
    fig, axes = plt.subplots(len(PANELS), len(tickers), figsize=(6 * len(tickers), 11), sharex="col",
                             sharey="row", squeeze=False, gridspec_kw={"height_ratios": [2, 1, 1, 1, 1]})
    for col, ticker in enumerate(tickers):
        prices = long[long["ID"] == ticker].set_index("DATE")["PX_LAST"]
        ind = table.xs(ticker, level="ID")
        for row, (label, column) in enumerate(PANELS):
            ax = axes[row][col]
            series = (prices / prices.iloc[0] - 1.0) * 100.0 if column is None else ind[column]
            ax.plot(series.index, series.to_numpy(), lw=1, color="black" if column is None else "tab:blue")
            ax.axhline(0, color="grey", lw=0.6)
            if col == 0:
                ax.set_ylabel(label)
            if column in ("OBV", "AD", "ADOSC_3_10"):
                ax.yaxis.set_major_formatter(EngFormatter())
            ax.grid(alpha=0.3)
        axes[0][col].set_title(f"{ticker}: daily close and volume indicators")
    fig.autofmt_xdate()
    fig.tight_layout()
    return fig


def indicator_chart(long: pd.DataFrame, table: pd.DataFrame, path: pathlib.Path) -> pathlib.Path:
    import matplotlib.pyplot as plt

    fig = indicator_figure(long, table)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path


if __name__ == "__main__":
    main()
