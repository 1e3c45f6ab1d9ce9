"""Test session set-up shared by every suite.

* The stand-ins for the closed platform libraries (sim/) go on sys.path, never into site-packages.
* A real S3 server (moto's threaded server) listens on 127.0.0.1 for the whole session, and the
  AWS variables point boto3 and s3fs at it *before* any orvane_data module is imported, so the
  modules' own clients created at load talk to it over HTTP.
"""
import os
import pathlib
import socket
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
SIM = ROOT / "sim"
if str(SIM) not in sys.path:
    sys.path.insert(0, str(SIM))


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


S3_PORT = _free_port()
S3_ENDPOINT = f"http://127.0.0.1:{S3_PORT}"
os.environ.update(
    {
        "AWS_ENDPOINT_URL": S3_ENDPOINT,
        "AWS_ACCESS_KEY_ID": "testing",
        "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_DEFAULT_REGION": "us-east-1",
        "AWS_REGION": "us-east-1",
    }
)
os.environ.pop("AWS_PROFILE", None)
os.environ.pop("AWS_SESSION_TOKEN", None)

from moto.server import ThreadedMotoServer  # noqa: E402

_server = ThreadedMotoServer(ip_address="127.0.0.1", port=S3_PORT, verbose=False)
_server.start()


def pytest_unconfigure(config):
    _server.stop()
