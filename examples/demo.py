"""The whole package end to end on bundled sample data, with no cloud account and no vendor terminal.

`make demo` runs this file. It starts a local S3 server (moto) on 127.0.0.1, points boto3 and pandas at
it, seeds it with sample vendor snapshots, puts the stand-ins for Bloomberg's closed libraries (sim/) on
the path, runs the three roads and writes the event-study chart under out/demo/ (or the folder given
as the first argument).
"""
import os
import pathlib
import socket
import sys
import time
import importlib.util
import logging

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
OUT = ROOT / "out" / "demo"


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _banner(text: str) -> None:
    print("\n" + "=" * 100 + f"\n{text}\n" + "=" * 100)


def main(out_dir=OUT) -> int:
    t0 = time.perf_counter()
    port = _free_port()
    # The endpoint and dummy credentials must be in place before any orvane_data module is imported:
    # the S3 modules create their clients when they load.
    os.environ.update({"AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}", "AWS_ACCESS_KEY_ID": "demo",
                       "AWS_SECRET_ACCESS_KEY": "demo", "AWS_DEFAULT_REGION": "us-east-1",
                       "AWS_REGION": "us-east-1"})
    for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN"):
        os.environ.pop(name, None)
    for path in (ROOT / "sim", EXAMPLES):
        sys.path.insert(0, str(path))
    if importlib.util.find_spec("orvane_data") is None:  # not installed: use the in-tree build
        sys.path.insert(0, str(ROOT / "src"))

    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # no request log lines
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    try:
        import seed_s3

        _banner(f"Local S3 server on 127.0.0.1:{port}, seeded with sample vendor snapshots")
        for bucket, keys in seed_s3.seed().items():
            for key in keys:
                print(f"  s3://{bucket}/{key}")

        import road1_historical_bars
        import road2_datasets
        import road3_event_study

        _banner("Road 1: historical bars from local CSV trees, and volume indicators")
        road1 = road1_historical_bars.main(out_dir)

        _banner("Road 2: supply-chain (SPLC) and economist-estimates (ECOEST) snapshots from S3")
        if road2_datasets.MISSING:
            print(f"skipped: {road2_datasets.MISSING}")
        else:
            road2_datasets.main()

        _banner("Road 3: event study around US economic releases")
        result = road3_event_study.main(out_dir)
    finally:
        server.stop()
    print(f"\nDone in {time.perf_counter() - t0:.1f} s. Charts: {road1['chart']} and {result['chart']}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else OUT))
