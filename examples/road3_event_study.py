"""Road 3: an event study - intraday moves around US economic releases.

Economic calendar in New York time (BQL), a year of minute bars for two dollar pairs and two
continuous futures series (intraday-bars library), 16-minute windows around every release, and a
chart with one panel per instrument: for each kind of release, the median absolute move from the
last bar before the release, minute by minute, with the interquartile range across releases as a
band and the number of releases in the legend.

The instruments all trade at the release times (08:30, 10:00 and 14:00 New York): currencies round
the clock and futures nearly so. The cash S&P 500 index opens at 09:30, after the 08:30 releases,
so the S&P 500 e-mini future stands for the equity market.

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
SECURITIES = {"eurusd": ("EURUSD Curncy", "BGN"), "usdjpy": ("USDJPY Curncy", "BGN")}
FUTURES = {"es": ("ES", "Index", 5),  # S&P 500 e-mini, rolled 5 days before expiry
           "ty": ("TY", "Comdty", 3)}  # 10-year Treasury note, rolled 3 days before expiry
TITLES = {"eurusd": "EUR/USD", "usdjpy": "USD/JPY", "es": "S&P 500 e-mini future (es)",
          "ty": "10-year Treasury note future (ty)"}
PRE, POST = -5, 10


def window_moves(event_bars: pd.DataFrame) -> pd.DataFrame:
    """Absolute move in basis points from the close of the last bar before the release (minute -1),
    one row per instrument, release and minute; only releases with bars at minutes -1 and 0."""
    df = event_bars[["key", "EVENT_NAME", "event_datetime", "time_diff", "close"]]
    base = df[df["time_diff"] == -1].set_index(["key", "EVENT_NAME", "event_datetime"])["close"]
    at_release = df[df["time_diff"] == 0].set_index(["key", "EVENT_NAME", "event_datetime"]).index
    base = base[base.index.isin(at_release)].rename("base")
    df = df.join(base, on=["key", "EVENT_NAME", "event_datetime"], how="inner")
    return df.assign(move_bp=(df["close"] / df["base"] - 1.0).abs() * 1e4)


def summarise(moves: pd.DataFrame) -> pd.DataFrame:
    """Median and quartiles of the move across releases, and their count, by instrument, kind and minute."""
    grouped = moves.groupby(["key", "EVENT_NAME", "time_diff"])["move_bp"]
    out = pd.DataFrame({"median": grouped.median(), "q1": grouped.quantile(0.25), "q3": grouped.quantile(0.75),
                        "releases": grouped.size()})
    return out.reset_index()


def moves_figure(summary: pd.DataFrame, period: str):
    """The chart as a matplotlib figure: one panel per instrument, currencies on the top row and
    futures below, each row on one y-scale, and one legend for all panels above them."""
    keys = [k for k in TITLES if k in set(summary["key"])]
    fig, axes = plt.subplots(2, 2, figsize=(11, 7.5), sharex=True, sharey="row")
    events = sorted(summary["EVENT_NAME"].unique())
    colours = dict(zip(events, plt.rcParams["axes.prop_cycle"].by_key()["color"]))
    releases = {event: set() for event in events}  # releases charted, per kind, across the panels
    for ax, key in zip(axes.ravel(), keys):
        panel = summary[summary["key"] == key]
        for event in events:
            line = panel[panel["EVENT_NAME"] == event].sort_values("time_diff")
            if line.empty:
                continue
            releases[event].add(int(line.loc[line["time_diff"] == 0, "releases"].iloc[0]))
            ax.fill_between(line["time_diff"], line["q1"], line["q3"], color=colours[event], alpha=0.18, lw=0)
            ax.plot(line["time_diff"], line["median"], marker="o", ms=3, color=colours[event], label=event)
        ax.axvline(0, color="grey", lw=0.8, ls="--")
        ax.set_title(TITLES[key], fontsize=11)
        ax.grid(alpha=0.3)
    for ax in axes.ravel()[len(keys):]:
        ax.set_visible(False)
    for ax in axes[:, 0]:
        ax.set_ylabel("|move| from minute -1, bp")
    for ax in axes[-1]:
        ax.set_xlabel("minutes from release (New York time)")
    handles = [plt.Line2D([], [], color=colours[e], marker="o", ms=4) for e in events]
    labels = []
    for event in events:
        n = sorted(releases[event])
        labels.append(f"{event} (n={n[0]})" if len(n) == 1 else f"{event} (n={n[0]} to {n[-1]} by panel)")
    fig.suptitle(f"Moves around US releases, {period}: median across releases, band = interquartile range",
                 fontsize=12)
    fig.legend(handles, labels, loc="upper center", bbox_to_anchor=(0.5, 0.96), ncol=len(events),
               fontsize=10, frameon=False)
    fig.tight_layout(rect=(0, 0, 1, 0.935))
    return fig


def plot_moves(summary: pd.DataFrame, path: pathlib.Path, period: str) -> pathlib.Path:
    fig = moves_figure(summary, period)
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path


def main(out_dir=None, start="2024-01-01", end="2024-12-31"):
    out_dir = pathlib.Path(out_dir or tempfile.mkdtemp(prefix="orvane_event_study_"))
    out_dir.mkdir(parents=True, exist_ok=True)
    bq = bql.Service()

    calendar = get_eco_calendar_data(bq, ["US"], start, end, event_timezone=NY)
    calendar = calendar[calendar["event_datetime"] <= pd.Timestamp(end, tz=NY) + pd.Timedelta(days=1)]
    print(f"Economic calendar, New York time: {len(calendar)} US releases; the first 8:")
    print(calendar[["EVENT_NAME", "event_datetime", "SURVEY", "ACTUAL", "surprise"]].head(8).to_string(), "\n")
    print("Releases per kind:")
    print(calendar.groupby("EVENT_NAME").size().rename("releases").to_string(), "\n")

    bars = get_intraday_bars(SECURITIES, FUTURES, start, end, tz=NY)
    print("Intraday minute bars per series (first, last, count):")
    print(bars.groupby("key")["datetime"].agg(["min", "max", "size"]).to_string(), "\n")

    event_bars = filter_bars_around_events(bars, calendar, pre_event_window=PRE, post_event_window=POST)
    moves = window_moves(event_bars)
    charted = moves.groupby(["EVENT_NAME", "key"])["event_datetime"].nunique().unstack("key", fill_value=0)
    print("Releases charted per kind and series (each has bars at minutes -1 and 0):")
    print(charted.to_string(), "\n")

    summary = summarise(moves)
    table = summary.pivot_table(index=["key", "EVENT_NAME"], columns="time_diff", values="median")
    print("Median |move| in bp from minute -1, by series and kind of release:")
    print(table[[-5, -2, 0, 1, 2, 5, 10]].round(1).to_string(), "\n")

    chart = plot_moves(summary, out_dir / "event_study.png", f"{start} to {end}")
    print(f"Chart written to {chart}")
    return {"calendar": calendar, "bars": bars, "event_bars": event_bars, "moves": moves, "summary": summary,
            "charted": charted, "chart": chart}


if __name__ == "__main__":
    main()
