"""Sample data behind the stand-in service: a securities master, a price generator and an
economic calendar, all deterministic. Files live in sim/data/bql/."""
from __future__ import annotations

import datetime as dt
import functools
import math
import pathlib
import zlib

import numpy as np
import pandas as pd

DATA_DIR = pathlib.Path(__file__).resolve().parents[1] / "data" / "bql"

# The day the sample data is "as of": the latest price when no dates are asked for.
AS_OF = pd.Timestamp("2026-12-01")

# Reference fields of the securities master (field name -> column of securities.csv).
REFERENCE_FIELDS = {
    "ID_BB_GLOBAL": "ID_BB_GLOBAL",
    "NAME": "NAME",
    "PARSEKYABLE_DES": "PARSEKYABLE_DES",
    "TICKER": "TICKER",
    "EXCH_CODE": "EXCH_CODE",
    "MARKET_SECTOR_DES": "MARKET_SECTOR_DES",
    "SECURITY_TYP": "SECURITY_TYP",
    "CRNCY": "CRNCY",
}
PRICE_FIELDS = ("PX_OPEN", "PX_HIGH", "PX_LOW", "PX_LAST", "PX_VOLUME")
CALENDAR_FIELD = "CALENDAR"
KNOWN_FIELDS = frozenset(REFERENCE_FIELDS) | frozenset(PRICE_FIELDS) | {CALENDAR_FIELD}

CALENDAR_SUBTYPES = ("all", "economic_releases", "central_bank")
CALENDAR_VIEWS = ("default", "extended")
RELEVANCY_LEVELS = {"all": 0, "low": 0, "medium": 1, "high": 2}
CALENDAR_ADDCOLS = ("surprise", "subtype", "relevance")


def _norm(identifier: str) -> str:
    return " ".join(str(identifier).split()).lower()


@functools.lru_cache(maxsize=1)
def securities() -> pd.DataFrame:
    df = pd.read_csv(DATA_DIR / "securities.csv", dtype=str, keep_default_na=False)
    df["PX_BASE"] = df["PX_BASE"].astype(float)
    return df


@functools.lru_cache(maxsize=1)
def _lookup() -> dict:
    """Normalised parse key, parsekyable description and FIGI -> row position."""
    table = {}
    for pos, row in securities().iterrows():
        for key in (row["PARSEKEY"], row["PARSEKYABLE_DES"], row["ID_BB_GLOBAL"]):
            table.setdefault(_norm(key), pos)
    return table


def find_security(identifier):
    """The master row of a security named by parse key or FIGI (any case), or None."""
    if not isinstance(identifier, str):
        return None
    pos = _lookup().get(_norm(identifier))
    return None if pos is None else securities().loc[pos]


def reference_value(identifier, field: str):
    row = find_security(identifier)
    if row is None:
        return None
    value = row[REFERENCE_FIELDS[field]]
    return value if value != "" else None


# ---- prices ------------------------------------------------------------------------------

def is_trading_day(day: pd.Timestamp) -> bool:
    """Weekdays except 1 January and 25 December (every security of the sample shares it)."""
    return day.weekday() < 5 and not (day.month == 1 and day.day == 1) and not (
        day.month == 12 and day.day == 25)


def trading_days(start, end) -> pd.DatetimeIndex:
    days = pd.date_range(pd.Timestamp(start).normalize(), pd.Timestamp(end).normalize(), freq="D")
    return days[[is_trading_day(d) for d in days]]


def prices(identifier, field: str, days: pd.DatetimeIndex) -> np.ndarray:
    row = find_security(identifier)
    if row is None:
        return np.full(len(days), np.nan)
    seed = zlib.crc32(row["ID_BB_GLOBAL"].encode()) % 1000
    base = row["PX_BASE"]
    ordinal = np.asarray([d.toordinal() for d in days], dtype=float)
    close = base * (1.0 + 0.12 * np.sin(ordinal / 61.0 + seed) + 0.03 * np.sin(ordinal / 6.7 + seed / 7.0))
    if field == "PX_LAST":
        out = close
    elif field == "PX_OPEN":
        out = close * (1.0 + 0.004 * np.sin(ordinal / 3.1 + seed))
    elif field == "PX_HIGH":
        out = close * (1.0 + 0.006 + 0.004 * np.abs(np.sin(ordinal / 2.3 + seed)))
    elif field == "PX_LOW":
        out = close * (1.0 - 0.006 - 0.004 * np.abs(np.cos(ordinal / 2.9 + seed)))
    else:  # PX_VOLUME
        out = np.round(1.0e6 * (1.5 + np.sin(ordinal / 4.3 + seed)))
    decimals = 0 if field == "PX_VOLUME" else (4 if base < 10 else 2)
    return np.round(out, decimals)


# ---- economic calendar --------------------------------------------------------------------

@functools.lru_cache(maxsize=1)
def calendar() -> pd.DataFrame:
    df = pd.read_csv(DATA_DIR / "calendar.csv", dtype={"PERIOD": str})
    df["RELEASE_DATE_TIME"] = pd.to_datetime(df["RELEASE_DATE_TIME"])
    df["PRIOR"] = df["PRIOR"].astype(float)
    return df


def calendar_rows(country, start, end, subtype: str, relevancy: str) -> pd.DataFrame:
    """Releases of one country whose local release date lies in [start, end]."""
    cal = calendar()
    if not isinstance(country, str):
        return cal.iloc[0:0]
    dates = cal["RELEASE_DATE_TIME"].dt.normalize()
    keep = (cal["COUNTRY"].str.lower() == country.strip().lower()) & (dates >= pd.Timestamp(start)) & (
        dates <= pd.Timestamp(end))
    if subtype != "all":
        keep &= cal["subtype"] == subtype
    level = cal["relevance"].map({"low": 0, "medium": 1, "high": 2})
    keep &= level >= RELEVANCY_LEVELS[relevancy]
    return cal[keep]


def known_country(country) -> bool:
    return isinstance(country, str) and country.strip().upper() in set(calendar()["COUNTRY"])


def is_missing(value) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def to_date(text) -> dt.date:
    return pd.Timestamp(text).date()
