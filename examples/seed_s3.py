"""Seed an S3 endpoint with small sample vendor datasets, under their real buckets and keys.

* supply-chain snapshots (gzip CSV) in "bquant-data-base-equity":
  alt_data/supply_chain/dl/datasets/{table}/snapshots/{yyyymmdd}/distributions/{table}.csv.gz
  for the tables supplyChainHistoryV2 (suppliers and customers) and supplyChainCompetitorsHistory;
* the economist-estimates parquet object in "bquant-data-base-macro":
  economistEstimates/economistEstimatesHistory/current_economistEstimatesHistory.parquet

Companies are the FIGIs of sim/data/bql/securities.csv and event tickers come from
sim/data/bql/calendar.csv, so the BQL stand-in converts them. Everything is generated deterministically.
boto3 picks the endpoint from AWS_ENDPOINT_URL (a local moto server in the demo and the tests).

Run:  AWS_ENDPOINT_URL=http://127.0.0.1:5000 python examples/seed_s3.py
"""
import gzip
import io
import pathlib

import boto3
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

ROOT = pathlib.Path(__file__).resolve().parents[1]
BQL_DATA = ROOT / "sim" / "data" / "bql"

EQUITY_BUCKET = "bquant-data-base-equity"
MACRO_BUCKET = "bquant-data-base-macro"
SPLC_ROOT = "alt_data/supply_chain/dl/datasets"
ECOEST_KEY = "economistEstimates/economistEstimatesHistory/current_economistEstimatesHistory.parquet"
SNAPSHOTS = ["20240105", "20240112"]
ECOEST_SNAPSHOTS = ["2024-01-05", "2024-01-12", "2024-01-19"]


def splc_key(table: str, day: str) -> str:
    return f"{SPLC_ROOT}/{table}/snapshots/{day}/distributions/{table}.csv.gz"


def _equity_figis() -> list:
    sec = pd.read_csv(BQL_DATA / "securities.csv")
    return sec.loc[sec["MARKET_SECTOR_DES"] == "Equity", "ID_BB_GLOBAL"].tolist()


def supply_chain_table(table: str, snapshot: str) -> pd.DataFrame:
    """Every ordered pair of sample companies once per relationship kind, with dated relationships."""
    figis = _equity_figis()
    kinds = ["SUPPLIER", "CUSTOMER"] if table == "supplyChainHistoryV2" else ["COMPETITOR"]
    rng = np.random.default_rng(int(snapshot) + len(table))
    rows = []
    for kind in kinds:
        for i, figi in enumerate(figis):
            for j, related in enumerate(figis):
                if i == j:
                    continue
                start = pd.Timestamp("2021-01-01") + pd.Timedelta(days=int(rng.integers(0, 1000)))
                end = start + pd.Timedelta(days=int(rng.integers(90, 1200)))
                rows.append({"ID_BB_GLOBAL": figi, "RELATIONSHIP": kind, "RELATED_FIGI": related,
                             "RELTNSHP_START_DT": start.strftime("%Y-%m-%d"),
                             "RELTNSHP_END_DT": "" if end > pd.Timestamp(snapshot) else end.strftime("%Y-%m-%d"),
                             "REVENUE_PCT": round(float(rng.uniform(0.5, 25.0)), 2),
                             "SNAPSHOT": snapshot})
    return pd.DataFrame(rows)


def economist_estimates() -> pd.DataFrame:
    """A few economists' estimates for every US/GB/JP calendar event, in three weekly snapshots."""
    cal = pd.read_csv(BQL_DATA / "calendar.csv")
    tickers = sorted(cal.loc[cal["COUNTRY"].isin(["US", "GB", "JP"]), "TICKER"].unique())
    rng = np.random.default_rng(7)
    rows = []
    for snap in ECOEST_SNAPSHOTS:
        snap_ts = pd.Timestamp(snap)
        for ticker in tickers:
            for k, economist in enumerate(["A. Smith", "B. Tanaka", "C. Jones"]):
                surveyed = snap_ts - pd.Timedelta(days=int(rng.integers(1, 20)), hours=int(rng.integers(0, 24)))
                rows.append({"dlSnapshotDate": snap_ts, "column0": ticker, "economistName": economist,
                             "firmName": f"Firm {k + 1}", "economistSurveyTimestamp": surveyed,
                             "estimate": round(float(rng.normal(2.0, 1.0)), 2)})
    return pd.DataFrame(rows)


def _s3():
    return boto3.client("s3")


def _ensure_bucket(s3, name: str) -> None:
    existing = {b["Name"] for b in s3.list_buckets().get("Buckets", [])}
    if name not in existing:
        s3.create_bucket(Bucket=name)


def seed(s3=None) -> dict:
    """Create the buckets and objects; returns {bucket: [keys written]}."""
    s3 = s3 or _s3()
    written = {EQUITY_BUCKET: [], MACRO_BUCKET: []}
    _ensure_bucket(s3, EQUITY_BUCKET)
    _ensure_bucket(s3, MACRO_BUCKET)
    for table in ["supplyChainHistoryV2", "supplyChainCompetitorsHistory"]:
        for snapshot in SNAPSHOTS:
            csv = supply_chain_table(table, snapshot).to_csv(index=False).encode()
            key = splc_key(table, snapshot)
            s3.put_object(Bucket=EQUITY_BUCKET, Key=key, Body=gzip.compress(csv, mtime=0))
            written[EQUITY_BUCKET].append(key)
    buf = io.BytesIO()
    table = pa.Table.from_pandas(economist_estimates(), preserve_index=False)
    pq.write_table(table, buf, row_group_size=40)  # several row groups, as the vendor's object has
    s3.put_object(Bucket=MACRO_BUCKET, Key=ECOEST_KEY, Body=buf.getvalue())
    written[MACRO_BUCKET].append(ECOEST_KEY)
    return written


if __name__ == "__main__":
    for bucket, keys in seed().items():
        for key in keys:
            print(f"s3://{bucket}/{key}")
