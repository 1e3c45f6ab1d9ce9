"""Stand-in for Bloomberg's closed intraday-bars library, for tests, demos and benchmarks.

It keeps the configuration given to ``set_config`` until the next call and answers ``get_bars`` with
deterministic minute bars built from the BQL stand-in's securities master (sim/data/bql/):

* A security is named through the configured id mapping by the column given as ``security_id_type``
  ("custom", "parsekey" or "figi"); parse keys and FIGIs of the master also resolve without a mapping.
  A continuous futures series is named by its key in the configured ``FuturesRollFactory``.
* Bars cover trading hours only, on the master's trading days: exchange hours for equities and cash
  indices (New York 09:30-16:00, Tokyo 09:00-15:00, London 08:00-16:30), New York 08:00-17:00 for
  bonds, round the clock on weekdays (UTC) for currencies, and New York 00:00-17:00 and 18:00-24:00
  on weekdays for futures.
* Prices are a seeded walk per security and day around the master's daily prices, so the same
  security and minute always give the same bar whatever range is asked for. At each US release of
  the BQL stand-in's calendar (with both a survey and an actual value) the walk reacts as markets
  do: a jump in the release minute's bar, scaled by the surprise (actual minus survey, in units of
  that indicator's typical surprise) and signed by the market (the dollar strengthens, Treasury
  futures fall, equities rise on activity and fall on inflation and rates surprises), then a burst
  of volatility and volume that decays over the following minutes. A continuous futures
  series is the walk of its generic first contract plus a basis that changes at each roll date
  (the quarterly contract's third Friday minus the roll offset).
* Columns: "security" (the FIGI, with its pricing-source suffix when the mapping gives one),
  "datetime" (time-zone aware, in ``tz`` or UTC), "key" (the name the security was asked for),
  "open", "high", "low", "close", "volume". Rows follow the order of ``securities``, then time.
* ``start``/``end``: dates or date-times; a date without a time covers its whole day. They are read
  in ``tz`` (UTC when ``tz`` is None). ``downsample_freq`` (a pandas frequency such as "5min")
  aggregates each security's bars into left-labelled bins (first/max/min/last/sum); empty bins are
  not returned.
* Every security needs its package enabled: "equity" (equities, cash indices), "macro" (currencies,
  futures) and "fixed-income" (bonds), when ``enabled_packages`` is configured.

An unknown security, an unknown ``security_id_type`` or a disabled package raises ``IntradayError``.
``calls`` records every ``set_config`` and ``get_bars`` call; ``reset()`` forgets the configuration.
"""
from __future__ import annotations

import collections
import functools
import zlib

import numpy as np
import pandas as pd

from bql import _sample

__all__ = ["FuturesRollConfig", "FuturesRollFactory", "set_config", "get_config", "get_bars",
           "IntradayError", "reset", "calls"]

COLUMNS = ["security", "datetime", "key", "open", "high", "low", "close", "volume"]
ID_TYPES = ("custom", "parsekey", "figi")

Call = collections.namedtuple("Call", ["name", "kwargs"])
calls: list = []
_config: dict = {}


class IntradayError(Exception):
    """An error reported by the (stand-in) intraday library."""


class FuturesRollConfig:
    """Roll rule of one continuous futures series."""

    def __init__(self, future_root, yellow_key, roll_offset):
        self.future_root = future_root
        self.yellow_key = yellow_key
        self.roll_offset = roll_offset

    def __repr__(self):
        return f"FuturesRollConfig({self.future_root!r}, {self.yellow_key!r}, {self.roll_offset!r})"


class FuturesRollFactory:
    """Continuous futures series by name, each from its roll rule."""

    def __init__(self, roll_configs):
        if not isinstance(roll_configs, dict):
            raise IntradayError("roll_configs must be a dict {name: FuturesRollConfig}")
        for name, cfg in roll_configs.items():
            if not isinstance(cfg, FuturesRollConfig):
                raise IntradayError(f"roll rule of {name!r} is not a FuturesRollConfig")
        self.roll_configs = roll_configs

    def __contains__(self, name):
        return name in self.roll_configs

    def __repr__(self):
        return f"FuturesRollFactory({self.roll_configs!r})"


def set_config(configs):
    """Replace the library configuration (kept until the next call)."""
    global _config
    if not isinstance(configs, dict):
        raise IntradayError("configs must be a dict")
    unknown = set(configs) - {"security_id_mapping", "futures_roll_factory", "enabled_packages"}
    if unknown:
        raise IntradayError(f"unknown configuration keys: {sorted(unknown)}")
    mapping = configs.get("security_id_mapping")
    if mapping is not None:
        if not isinstance(mapping, pd.DataFrame) or not set(ID_TYPES) <= set(mapping.columns):
            raise IntradayError("security_id_mapping must be a DataFrame with columns custom, parsekey, figi")
    factory = configs.get("futures_roll_factory")
    if factory is not None and not isinstance(factory, FuturesRollFactory):
        raise IntradayError("futures_roll_factory must be a FuturesRollFactory")
    calls.append(Call("set_config", {"configs": configs}))
    _config = configs


def get_config():
    return _config


def reset():
    global _config
    _config = {}
    calls.clear()


# ---- securities ------------------------------------------------------------------------------

_SESSIONS = {  # (zone, [(start minute, end minute)], weekdays only)
    "US": ("America/New_York", [(570, 960)]),
    "JT": ("Asia/Tokyo", [(540, 900)]),
    "LN": ("Europe/London", [(480, 990)]),
    "bond": ("America/New_York", [(480, 1020)]),
    "fx": ("UTC", [(0, 1440)]),
    "futures": ("America/New_York", [(0, 1020), (1080, 1440)]),
}
_INDEX_MARKET = {"SPX": "US", "NKY": "JT", "UKX": "LN"}


def _session_of(row):
    sector = row["MARKET_SECTOR_DES"]
    if "future" in row["SECURITY_TYP"].lower():
        return "futures"
    if sector == "Equity":
        return row["EXCH_CODE"] if row["EXCH_CODE"] in _SESSIONS else "US"
    if sector == "Index":
        return _INDEX_MARKET.get(row["TICKER"], "US")
    if sector == "Curncy":
        return "fx"
    if sector in ("Govt", "Corp"):
        return "bond"
    return "futures"


def _package_of(row):
    if "future" in row["SECURITY_TYP"].lower():
        return "macro"
    return {"Equity": "equity", "Index": "equity", "Curncy": "macro", "Comdty": "macro",
            "Govt": "fixed-income", "Corp": "fixed-income"}.get(row["MARKET_SECTOR_DES"], "macro")


def _master_row(identifier):
    row = _sample.find_security(identifier)
    if row is None:
        raise IntradayError(f"unknown security {identifier!r}")
    return row


def _resolve(name, id_type):
    """(master row, security label, roll rule or None) of one requested name."""
    factory = _config.get("futures_roll_factory")
    if factory is not None and isinstance(name, str) and name in factory:
        rule = factory.roll_configs[name]
        generic = f"{rule.future_root}1 {rule.yellow_key}"
        row = _sample.find_security(generic)
        if row is None:
            raise IntradayError(f"unknown futures root {rule.future_root!r} {rule.yellow_key!r} for {name!r}")
        return row, row["ID_BB_GLOBAL"], rule
    mapping = _config.get("security_id_mapping")
    if mapping is not None:
        hit = mapping[mapping[id_type] == name]
        if len(hit):
            figi = hit["figi"].iloc[0]
            row = _sample.find_security(hit["parsekey"].iloc[0])
            if row is None:
                row = _master_row(str(figi).split(".")[0])
            return row, figi, None
    if id_type == "custom":
        raise IntradayError(f"unknown security {name!r}: not in the configured security id mapping")
    text = name.split(".")[0] if id_type == "figi" and isinstance(name, str) else name
    row = _master_row(text)
    label = name if id_type == "figi" else row["ID_BB_GLOBAL"]
    return row, label, None


# ---- bars ------------------------------------------------------------------------------------

def _bound(value, zone, end):
    ts = pd.Timestamp(value)
    date_only = isinstance(value, str) and len(value.strip()) <= 10
    if ts.tzinfo is None:
        ts = ts.tz_localize(zone)
    if end and date_only:
        ts = ts + pd.Timedelta(days=1) - pd.Timedelta(minutes=1)
    return ts


def _third_friday(year, month):
    first = pd.Timestamp(year, month, 1)
    return first + pd.Timedelta(days=(4 - first.weekday()) % 7 + 14)


def _basis(times_utc, rule, level):
    """Contract basis of a continuous series at each time, from the quarterly roll dates."""
    dates = times_utc.tz_convert("America/New_York").tz_localize(None).normalize()
    years = range(dates.min().year - 1, dates.max().year + 2)
    offset = rule.roll_offset if rule.roll_offset is not None else pd.DateOffset(0)
    rolls = sorted(_third_friday(y, m) - offset for y in years for m in (3, 6, 9, 12))
    idx = np.searchsorted(np.asarray(rolls, dtype="datetime64[ns]"), dates.to_numpy(), side="right")
    return level * 0.0015 * np.where(idx % 2 == 0, 1.0, -1.0)


# ---- reactions to economic releases ----------------------------------------------------------

_BASE_SD = 0.0004        # standard deviation of a quiet minute's log return
_DECAY_MINUTES = 3.0     # e-folding time of the volatility burst after a release
_BURST_MINUTES = 20      # minutes after the release that carry extra volatility
# Weight of a kind of release and whether it is about activity (+) or inflation and rates (-) for equities.
_EVENT_KINDS = [("Payroll", 1.0, +1), ("CPI", 1.0, -1), ("FOMC", 0.8, -1), ("Sentiment", 0.4, +1)]


def _event_kind(name):
    for word, weight, equity_sign in _EVENT_KINDS:
        if word.lower() in str(name).lower():
            return weight, equity_sign
    return 0.5, +1


def _label_offset(label):
    """'GMT-05:00' -> -5 hours as a Timedelta."""
    sign = -1 if "-" in label else 1
    hours, _, minutes = label.split("+" if sign > 0 else "-")[1].partition(":")
    return sign * pd.Timedelta(hours=int(hours), minutes=int(minutes or 0))


@functools.lru_cache(maxsize=1)
def _us_releases():
    """US releases with a surprise: UTC release minute (ns), standardised surprise, weight, equity sign."""
    cal = _sample.calendar()
    cal = cal[(cal["COUNTRY"] == "US") & cal["ACTUAL"].notna() & cal["SURVEY"].notna()]
    surprise = cal["ACTUAL"] - cal["SURVEY"]
    scale = surprise.abs().groupby(cal["EVENT_NAME"]).transform("mean").replace(0.0, 1.0)
    z = (surprise / scale).clip(-3.0, 3.0).to_numpy()
    offsets = pd.to_timedelta([_label_offset(label) for label in cal["TIMEZONE"]])
    utc = (pd.DatetimeIndex(cal["RELEASE_DATE_TIME"]) - offsets).floor("min").as_unit("ns")
    kinds = [_event_kind(name) for name in cal["EVENT_NAME"]]
    return (np.asarray(utc.asi8), z, np.array([k[0] for k in kinds]), np.array([k[1] for k in kinds]))


def _market_sign(row, equity_sign):
    """Direction of a security's price for a positive US surprise, per release."""
    sector, ticker = row["MARKET_SECTOR_DES"], str(row["TICKER"]).upper()
    if sector == "Curncy":  # the dollar strengthens
        return np.full(len(equity_sign), 1.0 if ticker.startswith("USD") else -1.0)
    if sector in ("Govt", "Corp") or (sector == "Comdty" and ticker.startswith(("TY", "US", "FV", "TU"))):
        return np.full(len(equity_sign), -1.0)  # yields rise, prices fall
    if sector == "Comdty":
        return np.zeros(len(equity_sign))
    return equity_sign.astype(float)


def _release_shocks(row, stamps, rng):
    """Extra log returns (n + 1, aligned with the walk's steps) and volume factors (n) for one day."""
    release_ns, z, weight, equity_sign = _us_releases()
    n = len(stamps)
    values = np.asarray(stamps.as_unit("ns").asi8)
    hit = np.flatnonzero(np.isin(values, release_ns) & ~stamps.isna())
    if not len(hit):
        return None, None
    order = np.argsort(release_ns, kind="stable")  # two releases in one minute: the first one moves it
    which = order[np.searchsorted(release_ns[order], values[hit])]
    sign = _market_sign(row, equity_sign)
    steps = np.zeros(n + 1)
    volume = np.ones(n)
    k = np.arange(_BURST_MINUTES + 1)
    decay = np.exp(-k / _DECAY_MINUTES)
    for i, r in zip(hit, which):
        jump = 8 * _BASE_SD * weight[r] * z[r] * sign[r]
        burst = _BASE_SD * (1.0 + abs(z[r])) * 3.0 * weight[r] * decay
        span = slice(i + 1, min(i + 1 + len(k), n + 1))
        steps[span] += rng.normal(0.0, 1.0, len(k))[: span.stop - span.start] * burst[: span.stop - span.start]
        steps[i + 1] += jump
        vspan = slice(i, min(i + len(k), n))
        volume[vspan] *= 1.0 + 6.0 * weight[r] * decay[: vspan.stop - vspan.start]
    return steps, volume


def _minute_bars(row, start_utc, end_utc):
    zone, windows = _SESSIONS[_session_of(row)]
    first = start_utc.tz_convert(zone).tz_localize(None).normalize() - pd.Timedelta(days=1)
    last = end_utc.tz_convert(zone).tz_localize(None).normalize() + pd.Timedelta(days=1)
    days = _sample.trading_days(first, last)
    minutes = np.concatenate([np.arange(a, b) for a, b in windows])
    figi = row["ID_BB_GLOBAL"]
    daily = _sample.prices(figi, "PX_LAST", days)
    decimals = 4 if row["PX_BASE"] < 10 else 2
    seed = zlib.crc32(figi.encode())
    times, opens, highs, lows, closes, volumes = [], [], [], [], [], []
    for day, level in zip(days, daily):
        local = day + pd.to_timedelta(minutes, unit="min")
        stamps = pd.DatetimeIndex(local).tz_localize(zone, ambiguous="NaT", nonexistent="NaT").tz_convert("UTC")
        keep = (~stamps.isna()) & (stamps >= start_utc) & (stamps <= end_utc)
        if not keep.any():
            continue
        rng = np.random.default_rng([seed, day.toordinal()])
        n = len(minutes)
        steps = rng.normal(0.0, _BASE_SD, n + 1)
        shocks, volume_factor = _release_shocks(row, stamps, np.random.default_rng([seed, day.toordinal(), 1]))
        if shocks is not None:
            steps = steps + shocks
        path = level * np.exp(np.cumsum(steps))
        o, c = path[:-1], path[1:]
        wiggle = np.abs(rng.normal(0.0, 0.0003, (2, n)))
        times.append(stamps[keep])
        opens.append(o[keep])
        closes.append(c[keep])
        highs.append((np.maximum(o, c) * (1 + wiggle[0]))[keep])
        lows.append((np.minimum(o, c) * (1 - wiggle[1]))[keep])
        volume = rng.poisson(800, n)
        if volume_factor is not None:
            volume = np.round(volume * volume_factor)
        volumes.append(volume[keep].astype(np.int64))
    if not times:
        empty = pd.DatetimeIndex([], tz="UTC")
        return empty, *(np.empty(0) for _ in range(4)), np.empty(0, dtype=np.int64), decimals
    return (times[0].append(times[1:]) if len(times) > 1 else times[0], np.concatenate(opens),
            np.concatenate(highs), np.concatenate(lows), np.concatenate(closes), np.concatenate(volumes), decimals)


def _downsample(df, freq):
    parts = []
    for _, group in df.groupby("key", sort=False):
        agg = group.set_index("datetime").resample(freq, label="left", closed="left").agg(
            {"security": "first", "key": "first", "open": "first", "high": "max", "low": "min",
             "close": "last", "volume": "sum"})
        agg = agg[agg["open"].notna()].reset_index()
        agg["volume"] = agg["volume"].astype(np.int64)
        parts.append(agg[COLUMNS])
    return pd.concat(parts, ignore_index=True) if parts else df


def get_bars(securities=None, security_id_type="custom", start=None, end=None, tz=None, downsample_freq=None):
    """Minute bars of `securities` between `start` and `end` (see the module docstring)."""
    calls.append(Call("get_bars", {"securities": securities, "security_id_type": security_id_type,
                                   "start": start, "end": end, "tz": tz, "downsample_freq": downsample_freq}))
    if security_id_type not in ID_TYPES:
        raise IntradayError(f"security_id_type must be one of {ID_TYPES}, got {security_id_type!r}")
    if isinstance(securities, str):
        securities = [securities]
    securities = list(securities or [])
    zone = tz if tz is not None else "UTC"
    start_utc = _bound(start if start is not None else "2024-06-01", zone, False).tz_convert("UTC")
    end_utc = _bound(end if end is not None else "2024-07-01", zone, True).tz_convert("UTC")
    packages = _config.get("enabled_packages")
    frames = []
    for name in securities:
        row, label, rule = _resolve(name, security_id_type)
        package = _package_of(row)
        if packages is not None and package not in packages:
            raise IntradayError(f"package {package!r} is not enabled for {name!r}")
        times, o, h, lo, c, v, decimals = _minute_bars(row, start_utc, end_utc)
        if rule is not None and len(times):
            shift = _basis(times, rule, float(np.mean(c)))
            o, h, lo, c = o + shift, h + shift, lo + shift, c + shift
        frames.append(pd.DataFrame({
            "security": pd.Series([label] * len(times), dtype=object),
            "datetime": times.tz_convert(zone),
            "key": pd.Series([name] * len(times), dtype=object),
            "open": np.round(o, decimals), "high": np.round(h, decimals), "low": np.round(lo, decimals),
            "close": np.round(c, decimals), "volume": v,
        }))
    if not frames:
        return pd.DataFrame({c: pd.Series(dtype=object) for c in COLUMNS})
    df = pd.concat(frames, ignore_index=True)
    if downsample_freq is not None:
        df = _downsample(df, downsample_freq)
    return df
