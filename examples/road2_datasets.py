"""Road 2: vendor reference datasets published to S3 as dated snapshots.

* SPLC: supply-chain relationships (suppliers, customers, competitors) of a few companies, with the
  related companies' tickers (tickers <-> FIGIs through BQL);
* ECOEST: economists' estimates for economic-calendar events.

Run from the repository root against a seeded endpoint (see examples/seed_s3.py):
    AWS_ENDPOINT_URL=... PYTHONPATH=src:sim python examples/road2_datasets.py
In BQuant, drop AWS_ENDPOINT_URL: the vendor buckets are read with the environment's credentials.
"""
import pandas as pd

import bql

try:
    from orvane_data.from_s3.shelfsets import ECOEST, SPLC
except ImportError as exc:  # the S3 dataset module is not built in this tree
    SPLC = ECOEST = None
    MISSING = f"orvane_data.from_s3.shelfsets is not available ({exc})"
else:
    MISSING = None

TICKERS = ["IBM US Equity", "AAPL US Equity", "MSFT US Equity"]
EVENTS = ["NFP TCH Index", "CPI YOY Index", "FDTR Index"]


def main(out_dir=None, as_of_date=None):
    if MISSING:
        raise ImportError(MISSING)
    bq = bql.Service()
    out = {}
    for dataset in ["supplier", "customer", "competitor"]:
        splc = SPLC(as_of_date, dataset, bq)
        df = splc.get_data(TICKERS, "2024-01-01", "2024-06-30")
        out[dataset] = df
        shown = df[["TICKER", "RELATED_TICKER", "RELATIONSHIP", "RELTNSHP_START_DT", "RELTNSHP_END_DT"]].head(6)
        print(f"SPLC {dataset}s, relationships live in the first half of 2024 "
              f"(first {len(shown)} of {len(df)} rows):")
        print(shown.to_string(), "\n")

    est = ECOEST(as_of_date).get_data(EVENTS, start="2023-12-01", end="2024-01-31")
    out["ecoest"] = est
    print(f"ECOEST, latest snapshot, estimates surveyed Dec 2023 - Jan 2024 ({len(est)} rows):")
    print(est.groupby("event_ticker")["estimate"].agg(["count", "mean", "min", "max"]).round(2).to_string())
    return out


if __name__ == "__main__":
    pd.set_option("display.width", 120)
    main()
