"""Supply-chain dataset: loading a 1,000,000-row snapshot from S3 and answering one query, the
package (SPLC) against a literal pandas/boto3 rendering of the same steps, on a local S3 server.

One line: reference s, package s, ratio, equal. The goal is that the package is no slower.
"""
import gzip
import io
import logging
import os
import socket
import sys
import time

ROWS = 1_000_000
TABLE = "supplyChainHistoryV2"
ROOT = "alt_data/supply_chain/dl/datasets"
BUCKET = "bquant-data-base-equity"


def start_server():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    os.environ.update({"AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}", "AWS_ACCESS_KEY_ID": "testing",
                       "AWS_SECRET_ACCESS_KEY": "testing", "AWS_DEFAULT_REGION": "us-east-1"})
    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # the server's request log
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    return server


def snapshot_bytes(np, pd):
    rng = np.random.default_rng(11)
    known = ["BBG000BLNNH6", "BBG000B9XRY4", "BBG000BPH459", "BBG000C6K6G9"]
    pool = np.array([f"BBG{n:09d}" for n in range(50_000)] + known * 50)
    start = pd.Timestamp("2015-01-01") + pd.to_timedelta(rng.integers(0, 3000, ROWS), unit="D")
    end = start + pd.to_timedelta(rng.integers(30, 2000, ROWS), unit="D")
    start_s = pd.Series(start.strftime("%Y-%m-%d"))
    end_s = pd.Series(end.strftime("%Y-%m-%d"))
    end_s[rng.random(ROWS) < 0.2] = ""
    df = pd.DataFrame({
        "ID_BB_GLOBAL": rng.choice(pool, ROWS), "RELATED_FIGI": rng.choice(pool, ROWS),
        "RELATIONSHIP": rng.choice(["SUPPLIER", "CUSTOMER"], ROWS), "RELTNSHP_START_DT": start_s,
        "RELTNSHP_END_DT": end_s, "REVENUE_PCT": np.round(rng.random(ROWS) * 100, 3),
    })
    return gzip.compress(df.to_csv(index=False).encode(), compresslevel=6)


def reference(boto3, pd, bq, as_of, tickers, start, end):
    """The same steps written with boto3 and pandas calls."""
    client = boto3.client("s3")
    keys, extra = [], {}
    while True:
        page = client.list_objects_v2(Bucket=BUCKET, Prefix=f"{ROOT}/{TABLE}/snapshots/", MaxKeys=10000, **extra)
        keys += [c["Key"] for c in page.get("Contents", [])]
        if not page["IsTruncated"]:
            break
        extra["ContinuationToken"] = page["NextContinuationToken"]
    dates = [k.split("/")[6] for k in keys if len(k.split("/")) >= 7 and k.split("/")[6].isdigit()]
    chosen = as_of.replace("-", "") if as_of else max(dates)
    assert chosen in dates
    key = f"{ROOT}/{TABLE}/snapshots/{chosen}/distributions/{TABLE}.csv.gz"
    body = io.BytesIO(client.get_object(Bucket=BUCKET, Key=key)["Body"].read())
    with gzip.open(body, "rb") as gz:
        df = pd.concat(list(pd.read_csv(gz, chunksize=100000, iterator=True)))
    for col in ("RELTNSHP_START_DT", "RELTNSHP_END_DT"):
        df[col] = pd.to_datetime(df[col]).dt.date
    lo, hi = pd.to_datetime(start).date(), pd.to_datetime(end).date()
    keep = ((df["RELTNSHP_START_DT"] <= hi) | df["RELTNSHP_START_DT"].isna()) & (
        (df["RELTNSHP_END_DT"] >= lo) | df["RELTNSHP_END_DT"].isna())
    df = df[keep].reset_index(drop=True)
    ticker_map = bq.execute(f"get(ID_BB_GLOBAL) for({tickers})")[0].df()["ID_BB_GLOBAL"].to_dict()
    df = df[df["ID_BB_GLOBAL"].isin(list(ticker_map.values())) & (df["RELATIONSHIP"] == "SUPPLIER")]
    df = df.reset_index(drop=True)
    response = bq.execute(f"get(TICKER, EXCH_CODE, MARKET_SECTOR_DES) for({df['RELATED_FIGI'].tolist()})")
    names = pd.concat([item.df() for item in response], axis=1)
    figi_map = (names["TICKER"] + " " + names["EXCH_CODE"] + " " + names["MARKET_SECTOR_DES"]).to_dict()
    df["TICKER"] = df["ID_BB_GLOBAL"].map({v: k for k, v in ticker_map.items()})
    df["RELATED_TICKER"] = df["RELATED_FIGI"].map(figi_map)
    return df


def main():
    server = start_server()
    try:
        import boto3
        import bql
        import numpy as np
        import pandas as pd

        from orvane_data.from_s3 import shelfsets

        client = boto3.client("s3")
        client.create_bucket(Bucket=BUCKET)
        client.put_object(Bucket=BUCKET, Key=f"{ROOT}/{TABLE}/snapshots/20240105/distributions/{TABLE}.csv.gz",
                          Body=snapshot_bytes(np, pd))
        bq = bql.Service()
        args = ("2024-01-05", ["IBM US Equity", "AAPL US Equity"], "2020-01-01", "2020-12-31")

        def package():
            return shelfsets.SPLC(args[0], "supplier", bq).get_data(*args[1:])

        def ref():
            return reference(boto3, pd, bq, *args)

        times = {ref: [], package: []}
        out = {}
        for _ in range(3):
            for fn in (ref, package):
                t0 = time.perf_counter()
                out[fn] = fn()
                times[fn].append(time.perf_counter() - t0)
        try:
            pd.testing.assert_frame_equal(out[package], out[ref], check_exact=True)
            equal = True
        except AssertionError:
            equal = False
        r, p = min(times[ref]), min(times[package])
        print(f"SPLC load 1,000,000 rows + query  reference {r:8.3f}s  package {p:8.3f}s  ratio {r / p:5.2f}x  "
              f"equal {equal}  ({len(out[package])} rows)", flush=True)
        return 0 if equal and p <= r * 1.05 else 1
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
