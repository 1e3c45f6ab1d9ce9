"""read_by_chunks of a 250,000-row gzip CSV object against pandas' own chunked read of the same bytes.

Both sides fetch the object from a local S3 server (moto, on 127.0.0.1) and parse it in chunks of
100,000 rows; the tables are compared for equality.
"""
import gzip
import io
import logging
import os
import socket
import sys
import time

import numpy as np
import pandas as pd


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    port = _free_port()
    os.environ.update(AWS_ENDPOINT_URL=f"http://127.0.0.1:{port}", AWS_ACCESS_KEY_ID="bench",
                      AWS_SECRET_ACCESS_KEY="bench", AWS_DEFAULT_REGION="us-east-1")
    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # the server's request log
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    try:
        import boto3
        from orvane_data.from_s3 import bucketio

        rng = np.random.default_rng(7)
        n = 250_000
        df = pd.DataFrame({
            "time_key": pd.date_range("2024-01-01", periods=n, freq="min").strftime("%Y-%m-%d %H:%M:%S"),
            "ticker": rng.choice(["ESH4 Index", "ESM4 Index", "NQH4 Index"], n),
            "close": rng.normal(100, 5, n).round(4),
            "volume": rng.integers(0, 10_000, n),
        })
        blob = gzip.compress(df.to_csv(index=False).encode())
        client = boto3.client("s3")
        client.create_bucket(Bucket="bench")
        client.put_object(Bucket="bench", Key="bars.csv.gz", Body=blob)

        def reference():
            body = client.get_object(Bucket="bench", Key="bars.csv.gz")["Body"].read()
            with gzip.open(io.BytesIO(body), "rb") as gz:
                return pd.concat(list(pd.read_csv(gz, chunksize=100_000, iterator=True)))

        def package():
            return bucketio.read_by_chunks("bench", "bars.csv.gz", 100_000)

        best = {"reference": float("inf"), "package": float("inf")}
        results = {}
        devnull = open(os.devnull, "w")
        for _ in range(5):  # interleaved rounds, best of each side
            for name, fn in (("package", package), ("reference", reference)):
                saved, sys.stderr = sys.stderr, devnull  # tqdm's progress line
                try:
                    t0 = time.perf_counter()
                    results[name] = fn()
                    best[name] = min(best[name], time.perf_counter() - t0)
                finally:
                    sys.stderr = saved
        equal = results["reference"].equals(results["package"])
        print(f"read_by_chunks 250,000 rows gzip CSV: reference {best['reference']:.3f} s  "
              f"package {best['package']:.3f} s  x{best['reference'] / best['package']:.2f}  equal={equal}")
        return 0 if equal else 1
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
