"""Seeded random CSV trees for the local-CSV query: daily and intraday, flat and grouped layouts,
contract rolls, empty cells, tickers with different time stamps, LF or CRLF line ends, and odd files
that only a full CSV reader gets right (quoted fields, odd values, dtypes and column sets differing
across files)."""
import numpy as np
import pandas as pd

FIELDS = ["open", "high", "low", "close", "volume", "num_trds"]


def _bars(rng, times, contracts=None, empty_rate=0.0, ints=False):
    n = len(times)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
    df = pd.DataFrame({
        "time_key": times,
        "open": close * (1 + rng.normal(0, 0.002, n)),
        "high": close * 1.01,
        "low": close * 0.99,
        "close": close,
        "volume": rng.integers(0, 1000, n),
        "num_trds": rng.integers(1, 50, n),
    })
    if rng.random() < 0.5:
        for c in ["open", "high", "low", "close"]:
            df[c] = df[c].round(int(rng.integers(0, 4)))
    if contracts is not None:
        df["ticker"] = contracts
    if rng.random() < 0.3:
        df["value"] = rng.choice(["a", "b"], n)
    if empty_rate:
        for c in ["open", "volume", "close"]:
            mask = rng.random(n) < empty_rate
            df[c] = df[c].astype(float)
            df.loc[mask, c] = np.nan
    return df


def _contracts(rng, n, roll_points):
    names = [f"C{i}" for i in range(len(roll_points) + 1)]
    out = np.empty(n, dtype=object)
    edges = [0] + sorted(roll_points) + [n]
    for i in range(len(edges) - 1):
        out[edges[i]:edges[i + 1]] = names[i]
    return out


def _write(df, path, grouped, rng, line_end="\n"):
    if not grouped:
        df.to_csv(path, index=False, lineterminator=line_end)
        return
    body = df.set_index("time_key")
    other = body.copy()
    other["volume"] = (other["volume"] // 3).astype(other["volume"].dtype)
    meta = body.copy()
    meta["volume"] = 10**6
    groups = {"FRONT": body, "BACK": other, "meta": meta}
    keys = list(groups)
    rng.shuffle(keys)
    pd.concat({k: groups[k] for k in keys}, axis=1).to_csv(path, lineterminator=line_end)


def make_tree(root, seed, daily, n_tickers=2, days=6, bars_per_day=12, odd=False, crlf=False):
    """Writes a tree under root and returns (csv_path, tickers, sorted list of days); `crlf` writes
    the same tree with Windows line ends."""
    rng = np.random.default_rng(seed)
    line_end = "\r\n" if crlf else "\n"
    csv_path = root / ("K_1D" if daily else "K_1M")
    tickers = [f"T{i} Index" for i in range(n_tickers)]
    all_days = pd.bdate_range("2024-03-01", periods=days).strftime("%Y-%m-%d").tolist()
    for t_i, ticker in enumerate(tickers):
        d = csv_path / ticker
        d.mkdir(parents=True)
        grouped = bool(rng.random() < 0.3)
        rolls = bool(rng.random() < 0.6)
        empty = 0.05 if rng.random() < 0.5 else 0.0
        if daily:
            times = all_days if t_i == 0 else [x for x in all_days if rng.random() < 0.8]
            n = len(times)
            contracts = _contracts(rng, n, rng.choice(np.arange(1, n), min(2, n - 1), replace=False)) \
                if rolls and n > 2 else None
            df = _bars(rng, times, contracts, empty).drop(columns="num_trds")
            _write(df, d / "ohlcv.csv", grouped, rng, line_end)
            continue
        offset = int(rng.integers(0, 3))  # tickers with different minute stamps
        contract_no = 0
        for day in all_days:
            if rng.random() < 0.15:
                continue  # a day without a file
            minutes = pd.date_range(f"{day} 09:30", periods=bars_per_day, freq="5min") + pd.Timedelta(minutes=offset)
            times = minutes.strftime("%Y-%m-%d %H:%M:%S").tolist()
            contracts = None
            if rolls:
                if rng.random() < 0.4:
                    contract_no += 1
                contracts = np.array([f"C{contract_no}"] * len(times), dtype=object)
                if rng.random() < 0.3:  # a roll inside the day, sometimes a one-bar contract
                    k = int(rng.integers(1, len(times)))
                    contracts[k:] = f"C{contract_no + 1}"
                    if rng.random() < 0.5 and k + 1 < len(times):
                        contracts[k + 1:] = f"C{contract_no + 2}"
                        contract_no += 1
                    contract_no += 1
            df = _bars(rng, times, contracts, empty)
            if odd:
                df = _oddify(df, rng)
            prefix = "" if rng.random() < 0.5 else f"{ticker}_"
            _write(df, d / f"{prefix}{day}.csv", grouped and not odd, rng, line_end)
    return csv_path, tickers, all_days


def _oddify(df, rng):
    """Changes that a CSV reader must get right exactly as pandas does."""
    kind = rng.integers(0, 6)
    if kind == 0:  # quoted text with an embedded comma
        df["note"] = rng.choice(['x, y', 'plain', '"quoted"'], len(df))
    elif kind == 1:  # integer prices in this file only (the column dtype differs across files)
        for c in ["open", "high", "low", "close"]:
            df[c] = df[c].round().astype("Int64")
    elif kind == 2:  # a different column set
        df["extra"] = rng.integers(0, 5, len(df))
    elif kind == 3:  # long mantissas and exponents
        df["close"] = df["close"] * np.pi * 1e-3
    elif kind == 4:  # text markers that read as missing
        df["value"] = rng.choice(["NA", "x", "null"], len(df))
    else:  # a text column that looks numeric in some rows
        df["value"] = rng.choice(["1", "2.5", "abc"], len(df))
    return df


def random_window(rng, days, daily):
    i, j = sorted(rng.integers(0, len(days), 2))
    if daily:
        return days[i], days[j]
    start = f"{days[i]} {int(rng.integers(9, 11)):02d}:{int(rng.integers(0, 60)):02d}"
    end_choices = [days[j], f"{days[j]} 23:59:59", f"{days[j]} {int(rng.integers(9, 11)):02d}:{int(rng.integers(0, 60)):02d}:00"]
    return start, end_choices[int(rng.integers(0, 3))]
