"""The CSV query against other tools on the same trees: polars (its own threads), DuckDB, and pandas
with its pyarrow and C engines, each asked for every field of every ticker over the whole range as
a (field, date) x ticker table.

The peers skip the futures roll adjustment and the pandas-exact typing, so they do less work; their
tables are checked against the package's on the tickers that do not roll (values, field and date
order), outside the timed region. One line per tool and tree, with its ratio to the package: the
package's time is the best of 3 rounds, as in bench_localcsv (a short run is the noisier one), a peer's
the best of 2.
Needs polars and duckdb (`make bench` installs them, pinned by the constraints files).
"""
import pathlib
import sys
import tempfile

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_localcsv import FIELDS, make_daily, make_intraday  # noqa: E402
from timing import best_of  # noqa: E402

COLUMNS = {"PX_OPEN": "open", "PX_HIGH": "high", "PX_LOW": "low", "PX_LAST": "close", "PX_VOLUME": "volume",
           "NUM_TRDS": "num_trds"}


def files_of(root, ticker):
    return sorted(str(p) for p in (root / ticker).glob("*.csv"))


def table_from_long(long, fields, tickers):
    """(field, date) x ticker from a long table with columns ticker, DATE and the CSV columns."""
    wide = long.melt(id_vars=["ticker", "DATE"], value_vars=[COLUMNS[f] for f in fields], var_name="FLDS")
    wide["FLDS"] = wide["FLDS"].map({v: k for k, v in COLUMNS.items()})
    out = wide.pivot_table(index=["FLDS", "DATE"], columns="ticker", values="value", aggfunc="first")
    return out.reindex(columns=tickers)


def with_pandas(engine):
    def run(root, tickers, fields, start, end):
        parts = []
        for t in tickers:
            frame = pd.concat([pd.read_csv(f, engine=engine) for f in files_of(root, t)], ignore_index=True)
            frame["DATE"] = pd.to_datetime(frame["time_key"])
            frame["ticker"] = t
            parts.append(frame[(frame["DATE"] >= start) & (frame["DATE"] <= end)])
        return table_from_long(pd.concat(parts, ignore_index=True), fields, tickers)
    return run


def with_polars(root, tickers, fields, start, end):
    import polars as pl

    cols = [COLUMNS[f] for f in fields]
    frames = [pl.scan_csv(files_of(root, t)).select(["time_key"] + cols).with_columns(pl.lit(t).alias("ticker"))
              for t in tickers]
    long = (pl.concat(frames)
            .with_columns(pl.col("time_key").str.to_datetime().alias("DATE"))
            .filter((pl.col("DATE") >= start) & (pl.col("DATE") <= end))
            .unpivot(index=["ticker", "DATE"], on=cols, variable_name="FLDS")
            .collect()
            .pivot(on="ticker", index=["FLDS", "DATE"], values="value", aggregate_function="first"))
    return long


def with_duckdb(root, tickers, fields, start, end):
    import duckdb

    cols = ", ".join(COLUMNS[f] for f in fields)
    parts = []
    for t in tickers:
        files = files_of(root, t)
        with open(files[0]) as f:  # one schema per ticker: read it once, so DuckDB sniffs nothing
            header = f.readline().strip().split(",")
        types = ", ".join(f"'{c}': '{'VARCHAR' if c in ('time_key', 'ticker') else 'DOUBLE'}'" for c in header)
        names = ", ".join(f"'{f}'" for f in files)
        parts.append(f"SELECT '{t}' AS ticker, CAST(time_key AS TIMESTAMP) AS DATE, {cols} "
                     f"FROM read_csv([{names}], header = true, columns = {{{types}}})")
    con = duckdb.connect()
    query = f"""
        WITH raw AS ({" UNION ALL ".join(parts)}),
        kept AS (SELECT * FROM raw WHERE DATE BETWEEN TIMESTAMP '{start}' AND TIMESTAMP '{end}'),
        long AS (UNPIVOT kept ON {cols} INTO NAME FLDS VALUE value)
        PIVOT long ON ticker USING first(value) GROUP BY FLDS, DATE ORDER BY FLDS, DATE
    """
    return con.sql(query).df()


def peer_table(name, result, fields, tickers):
    """A peer's result as the package's table shape, for the check (not timed)."""
    if name == "polars":
        result = result.to_pandas()
    if name in ("polars", "DuckDB"):
        result["FLDS"] = result["FLDS"].map({v: k for k, v in COLUMNS.items()})
        result = result.set_index(["FLDS", "DATE"])
    order = pd.MultiIndex.from_product([fields, sorted(result.index.get_level_values("DATE").unique())])
    return result.reindex(index=order).reindex(columns=tickers)


def agrees(pkg, peer, steady):
    """Values of the tickers that do not roll, on the package's rows."""
    left = pkg[steady].to_numpy(dtype=float)
    right = peer.reindex(index=pkg.index)[steady].to_numpy(dtype=float)
    return bool(np.allclose(left, right, equal_nan=True))



def tree_case(label, root, tickers, fields, start, end, steady):
    from orvane_data.from_localcsv import api

    pkg_s, pkg = best_of(api.get_historical_data, tickers, fields, start, end, str(root), rounds=3)
    print(f"{label:<28} package                {pkg_s:8.3f}s", flush=True)
    lo, hi = pd.Timestamp(start), pd.Timestamp(end)
    for name, fn in (("polars", with_polars), ("DuckDB", with_duckdb), ("pandas pyarrow engine", with_pandas("pyarrow")),
                     ("pandas C engine", with_pandas("c"))):
        secs, out = best_of(fn, root, tickers, fields, lo, hi)
        same = agrees(pkg, peer_table(name, out, fields, tickers), steady)
        print(f"{label:<28} {name:<22} {secs:8.3f}s  {secs / pkg_s:6.1f}x slower than the package  "
              f"same values on steady tickers {same}", flush=True)


def main():
    with tempfile.TemporaryDirectory() as d:
        tmp = pathlib.Path(d)
        root = tmp / "intraday" / "K_1M"
        tickers, first, last = make_intraday(root, 20, 250, 390)
        steady = [t for t in tickers if t.startswith("IDX")]
        tree_case("intraday 20 x 250 x 390", root, tickers, FIELDS, first, last + " 23:59:59", steady)
        root = tmp / "daily" / "K_1D"
        tickers, first, last = make_daily(root, 500, 5000)
        tree_case("daily 500 x 5000", root, tickers, FIELDS[:5], first, last, tickers)
    return 0


if __name__ == "__main__":
    sys.exit(main())
