"""Road 3: an event study - intraday moves around US economic releases.

Economic calendar in New York time (BQL), intraday bars for a few securities and a continuous futures
series (intraday-bars library), 16-minute windows around every release, and a chart of the average
move by kind of release.

Run from the repository root:  PYTHONPATH=src:sim python examples/road3_event_study.py
(inside BQuant the real `bql` and `bloomberg.bquant.intraday` are used; here sim/ stands in for them).
"""
import pathlib
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402

import bql  # noqa: E402
from orvane_data.from_bqia.querykit import get_eco_calendar_data  # noqa: E402
from orvane_data.from_bqia.tickbars import filter_bars_around_events, get_intraday_bars  # noqa: E402

NY = "America/New_York"
SECURITIES = {"eurusd": ("EURUSD Curncy", "BGN"), "usdjpy": ("USDJPY Curncy", "BGN"), "spx": ("SPX Index", "")}
FUTURES = {"ty": ("TY", "Comdty", 3)}  # 10-year note, rolled 3 days before expiry


def average_moves(event_bars: pd.DataFrame) -> pd.DataFrame:
    """Mean absolute move in basis points from the window's first bar, by event (rows) and minute (columns)."""
    df = event_bars.sort_values(["key", "event_datetime", "time_diff"])
    first = df.groupby(["EVENT_NAME", "event_datetime", "key"])["close"].transform("first")
    df = df.assign(move_bp=(df["close"] / first - 1.0).abs() * 1e4)
    return df.pivot_table(index="EVENT_NAME", columns="time_diff", values="move_bp", aggfunc="mean")


def plot_moves(moves: pd.DataFrame, path: pathlib.Path) -> pathlib.Path:
    fig, ax = plt.subplots(figsize=(7, 4))
    for event, row in moves.iterrows():
        ax.plot(row.index, row.values, marker="o", ms=3, label=event)
    ax.axvline(0, color="grey", lw=0.8, ls="--")
    ax.set_xlabel("minutes from release (New York time)")
    ax.set_ylabel("mean |move| from minute -5, bp")
    ax.set_title("Average move around US releases, Q1 2024")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)
    return path


def main(out_dir=None, start="2024-01-01", end="2024-03-31"):
    out_dir = pathlib.Path(out_dir or tempfile.mkdtemp(prefix="orvane_event_study_"))
    out_dir.mkdir(parents=True, exist_ok=True)
    bq = bql.Service()

    calendar = get_eco_calendar_data(bq, ["US"], start, end, event_timezone=NY)
    calendar = calendar[calendar["event_datetime"] <= pd.Timestamp(end, tz=NY) + pd.Timedelta(days=1)]
    print("Economic calendar, New York time:")
    print(calendar[["EVENT_NAME", "event_datetime", "SURVEY", "ACTUAL", "surprise"]].head(8).to_string(), "\n")

    bars = get_intraday_bars(SECURITIES, FUTURES, start, end, tz=NY)
    print("Intraday bars per series:")
    print(bars.groupby("key")["datetime"].agg(["min", "max", "size"]).to_string(), "\n")

    event_bars = filter_bars_around_events(bars, calendar, pre_event_window=-5, post_event_window=10)
    print("Bars in the windows, per event and series:")
    print(event_bars.pivot_table(index="EVENT_NAME", columns="key", values="close", aggfunc="size",
                                 fill_value=0).to_string(), "\n")

    moves = average_moves(event_bars)
    print("Mean |move| in bp from minute -5:")
    print(moves[[-5, -1, 0, 1, 2, 5, 10]].round(2).to_string(), "\n")

    chart = plot_moves(moves, out_dir / "event_study.png")
    print(f"Chart written to {chart}")
    return {"calendar": calendar, "bars": bars, "event_bars": event_bars, "moves": moves, "chart": chart}


if __name__ == "__main__":
    main()
