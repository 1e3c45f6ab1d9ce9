"""bucketio against the local S3 server started by conftest (boto3 and pandas/s3fs over HTTP)."""
import gzip
import io
import os
import pathlib
import pickle
import subprocess
import sys
import types
import uuid
import warnings

import boto3
import botocore.exceptions
import pandas as pd
import pytest

import orvane_data
from orvane_data.from_s3 import bucketio as bio

BUCKET = "bucketio-tests"
DF = pd.DataFrame({"a": [1, 2, 3, 4, 5], "b": ["x", "y", "z", "u", "v"]})


@pytest.fixture(scope="module")
def s3():
    client = boto3.client("s3")
    client.create_bucket(Bucket=BUCKET)
    return client


@pytest.fixture
def tag():
    return "t" + uuid.uuid4().hex[:10]


def keys(s3, prefix):
    return sorted(o["Key"] for o in s3.list_objects_v2(Bucket=BUCKET, Prefix=prefix).get("Contents", []))


def gz_csv(df):
    return gzip.compress(df.to_csv(index=False).encode())


def parquet_bytes(df):
    buf = io.BytesIO()
    df.to_parquet(buf)
    return buf.getvalue()


@pytest.mark.parametrize(
    "fmt, by_chunks, quiet",
    [("pickle", False, False), ("bytesio", False, False), ("csv", False, False), ("csv", True, False),
     ("csv.gz", False, False), ("csv.gz", True, False), ("csv.gz", True, True), ("xlsx", False, False),
     ("parquet", False, False)],
)
def test_round_trip(s3, tag, fmt, by_chunks, quiet, capsys, monkeypatch):
    if quiet:  # tqdm's own switch, set after tqdm was imported
        monkeypatch.setenv("TQDM_DISABLE", "1")
    path = f"{tag}/obj.{fmt}"
    if fmt == "pickle":
        obj = {"k": [1, 2.5, "s"], "df": DF}
        bio.write_to_s3(obj, path, "pickle", bucket=BUCKET)
        got = bio.read_from_s3(path, "pickle", bucket=BUCKET, by_chunks=by_chunks)
        assert got["k"] == obj["k"] and got["df"].equals(DF)
        return
    if fmt == "bytesio":
        bio.write_to_s3(io.BytesIO(b"\x00raw\xff"), path, "bytesio", bucket=BUCKET)
        got = bio.read_from_s3(path, "bytesio", bucket=BUCKET)
        assert type(got) is io.BytesIO and got.read() == b"\x00raw\xff"
        return
    if fmt == "xlsx":
        bio.write_to_s3(DF, path, "xlsx", index=False, bucket=BUCKET)
    elif fmt == "csv" and not by_chunks:
        bio.write_to_s3(DF, path, "csv", index=False, bucket=BUCKET)
    else:  # gzip CSV for chunked reads, parquet: raw bytes through a BytesIO (which wins over the word)
        payload = parquet_bytes(DF) if fmt == "parquet" else gz_csv(DF)
        path += ".gz" if fmt == "csv" else ""
        bio.write_to_s3(io.BytesIO(payload), path, "csv", bucket=BUCKET)
    got = bio.read_from_s3(path, fmt, bucket=BUCKET, by_chunks=by_chunks, chunksize=2.9)
    pd.testing.assert_frame_equal(got.reset_index(drop=True), DF)
    err = capsys.readouterr().err
    assert ("3 chunks" in err) == (by_chunks and not quiet)  # 5 rows in chunks of int(2.9) == 2, on stderr


def test_csv_index_and_key(s3, tag):
    bio.write_to_s3(DF, f"{tag}/x.csv", "csv", bucket=BUCKET)
    assert keys(s3, tag) == [] and keys(s3, f"tamrix_common_s3/{tag}") == [f"tamrix_common_s3/{tag}/x.csv"]
    body = s3.get_object(Bucket=BUCKET, Key=f"tamrix_common_s3/{tag}/x.csv")["Body"].read().decode()
    assert body.splitlines()[:2] == [",a,b", "0,1,x"]


@pytest.mark.parametrize("sub", ["a.csv", "x/y/a.csv"])
def test_local_file_path(s3, tag, tmp_path, monkeypatch, sub):
    monkeypatch.chdir(tmp_path)
    src = tmp_path / "src.bin"
    src.write_bytes(b"local bytes")
    bio.write_to_s3(str(src), f"{tag}/{sub}", "local_file_path", bucket=BUCKET)
    with pytest.raises(AssertionError, match="`data` must be passed in as a string for `local_file_path`."):
        bio.write_to_s3(src, f"{tag}/{sub}", "local_file_path", bucket=BUCKET)
    assert bio.read_from_s3(f"{tag}/{sub}", "local_file_path", bucket=BUCKET) is None
    assert (tmp_path / "temp" / tag / sub).read_bytes() == b"local bytes"
    # A path that climbs out of temp/ is refused before anything is written.
    with pytest.raises(ValueError, match=r"would be written outside temp/: .*escaped\.txt"):
        bio.read_from_s3(f"../{sub}/../../escaped.txt", "local_file_path", bucket=BUCKET)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["src.bin", "temp"]


@pytest.mark.parametrize("prefix, joined", [(None, "None/"), ("", "/"), ("p", "p/")])
def test_address_forms(s3, tag, prefix, joined, capsys):
    bare, gz = f"{tag}/d.csv.gz", gz_csv(DF)
    bio.write_to_s3(io.BytesIO(gz), bare, "bytesio", bucket=BUCKET, prefix=prefix)
    assert keys(s3, joined + tag) == [joined + bare]
    assert bio.s3_path_exists(bare, BUCKET, prefix) is True
    assert bio.list_s3_objects(tag, BUCKET, prefix) == [joined + bare]
    assert bio.read_from_s3(bare, "bytesio", BUCKET, prefix).read() == gz
    # csv/xlsx/parquet reads and single deletions leave out a None or empty prefix
    optional = (joined if prefix else "") + bare
    s3.put_object(Bucket=BUCKET, Key=optional, Body=gz)
    assert len(bio.read_from_s3(bare, "csv.gz", BUCKET, prefix)) == 5
    assert len(bio.read_from_s3(bare, "csv", BUCKET, prefix, True)) == 5
    bio.delete_s3_object(bare, BUCKET, prefix)
    assert keys(s3, optional) == []
    bio.delete_s3_folder(tag, BUCKET, prefix)
    assert keys(s3, joined + tag) == []
    assert capsys.readouterr().out.endswith(f"s3://{BUCKET}/{prefix}/{tag} was deleted.\n")


def test_listing_and_existence(s3, tag):
    for k in ["data/1", "data/2", "database/x", "other"]:
        s3.put_object(Bucket=BUCKET, Key=f"tamrix_common_s3/{tag}/{k}", Body=b"1")
    full = f"tamrix_common_s3/{tag}/"
    assert bio.list_s3_objects(f"{tag}/data", BUCKET) == [full + "data/1", full + "data/2", full + "database/x"]
    assert bio.list_s3_objects(f"{tag}/data/", BUCKET) == [full + "data/1", full + "data/2"]
    assert bio.list_s3_objects(f"{tag}/none", BUCKET) == []
    assert bio.s3_path_exists(f"{tag}/data/1", BUCKET) is True
    assert bio.s3_path_exists(f"{tag}/data", BUCKET) is False  # a folder-like prefix is not an object
    assert bio.s3_path_exists("x", "no-such-bucket-here") is False
    with pytest.raises(botocore.exceptions.ClientError):
        bio.list_s3_objects("x", "no-such-bucket-here")
    with pytest.raises(botocore.exceptions.ClientError):
        bio.read_from_s3(f"{tag}/missing", "pickle", BUCKET)
    # The unset default bucket: boto3's error, with a note naming the variable.
    assert bio.BUCKET == "NOT_DEFINED"
    with pytest.raises(botocore.exceptions.ClientError) as e:
        bio.list_s3_objects("x")
    assert "TAMRIX_SANDBOX_BUCKET was not set" in e.value.__notes__[0]
    # A folder deletion takes the folder's own objects only, with or without the trailing "/".
    for k in ["data.csv", "data_backup/keep", "data/sub/3"]:
        s3.put_object(Bucket=BUCKET, Key=f"tamrix_common_s3/{tag}/{k}", Body=b"1")
    bio.delete_s3_folder(f"{tag}/data", BUCKET)
    assert keys(s3, full) == [full + k for k in ["data.csv", "data_backup/keep", "database/x", "other"]]


class StubClient:
    def __init__(self, pages):
        self.pages, self.calls = pages, []

    def list_objects_v2(self, **kw):
        self.calls.append(kw)
        return self.pages[len(self.calls) - 1]


def test_listing_pages_with_stub(monkeypatch):
    stub = StubClient([
        {"Contents": [{"Key": "k1"}, {"Key": "k2/"}], "IsTruncated": True, "NextContinuationToken": "T1"},
        {"IsTruncated": True, "NextContinuationToken": "T2"},
        {"Contents": [{"Key": "k3"}], "IsTruncated": False},
    ])
    monkeypatch.setattr(bio, "s3_client", stub)
    assert bio.list_s3_objects("f", "b", None) == ["k1", "k2/", "k3"]
    base = {"Bucket": "b", "Prefix": "None/f", "MaxKeys": 10000}
    assert stub.calls == [base, {**base, "ContinuationToken": "T1"}, {**base, "ContinuationToken": "T2"}]
    monkeypatch.setattr(bio, "s3_client", StubClient([{"Contents": [{"Key": "k"}], "IsTruncated": True}]))
    with pytest.raises(KeyError):
        bio.list_s3_objects("f", "b")


class RefusingClient:
    """A client whose every request is refused with the ClientError of `status` and `code`."""

    def __init__(self, status, code):
        self.error = botocore.exceptions.ClientError(
            {"Error": {"Code": code, "Message": "refused"}, "ResponseMetadata": {"HTTPStatusCode": status}}, "Op")

    def head_object(self, **kw):
        raise self.error

    list_objects_v2 = head_object


@pytest.mark.parametrize("status, code, raises", [
    (500, "InternalError", True), (503, "SlowDown", True), (429, "TooManyRequests", True),
    (400, "Throttling", True), (400, "RequestLimitExceeded", True), (403, "AccessDenied", False)])
def test_existence_when_the_service_fails(monkeypatch, status, code, raises):
    """A refusal is False; a failing or throttled service is not an answer and reaches the caller."""
    monkeypatch.setattr(bio, "s3_client", RefusingClient(status, code))
    if raises:
        with pytest.raises(botocore.exceptions.ClientError) as e:
            bio.s3_path_exists("x", "b")
        assert e.value.response["Error"]["Code"] == code
    else:
        assert bio.s3_path_exists("x", "b") is False


def _refused(monkeypatch, status, code):
    monkeypatch.setattr(bio, "s3_client", RefusingClient(status, code))
    return bio.list_s3_objects("x")


@pytest.mark.parametrize("call, error, noted", [
    (lambda mp: bio.read_from_s3("x.csv", "csv"), FileNotFoundError, True),  # NoSuchBucket through s3fs
    (lambda mp: _refused(mp, 400, "InvalidBucketName"), botocore.exceptions.ClientError, True),
    (lambda mp: _refused(mp, 403, "AccessDenied"), botocore.exceptions.ClientError, False),
    (lambda mp: bio.read_from_s3("x", "json"), ValueError, False),
    (lambda mp: bio.write_to_s3(pathlib.Path("f"), "x", "local_file_path"), AssertionError, False),
], ids=["no-such-bucket-s3fs", "invalid-name", "access-denied", "format-word", "assertion"])
def test_unset_bucket_note_only_on_bucket_errors(s3, monkeypatch, call, error, noted):
    assert bio.BUCKET == "NOT_DEFINED"
    with pytest.raises(error) as e:
        call(monkeypatch)
    notes = getattr(e.value, "__notes__", [])
    assert len(notes) == noted
    assert all("TAMRIX_SANDBOX_BUCKET" in n and "bucket=" in n for n in notes)


def test_write_formats(s3, tag):
    buf = io.BytesIO(b"raw")
    bio.write_to_s3(buf, f"{tag}/r.csv", "csv", bucket=BUCKET)  # a BytesIO is uploaded as is
    assert s3.get_object(Bucket=BUCKET, Key=f"tamrix_common_s3/{tag}/r.csv")["Body"].read() == b"raw"
    with pytest.raises(gzip.BadGzipFile):  # chunked reads are for gzip objects only
        bio.read_from_s3(f"{tag}/r.csv", "csv", BUCKET, by_chunks=True)
    buf = io.BytesIO()
    buf.write(b"unrewound")
    bio.write_to_s3(buf, f"{tag}/e", "bytesio", bucket=BUCKET)
    assert s3.get_object(Bucket=BUCKET, Key=f"tamrix_common_s3/{tag}/e")["Body"].read() == b""
    bio.write_to_s3(io.BytesIO(b"raw"), f"{tag}/p", "pickle", bucket=BUCKET)
    assert type(bio.read_from_s3(f"{tag}/p", "pickle", BUCKET)) is io.BytesIO
    with pytest.raises(ValueError) as e:
        bio.write_to_s3(DF, f"{tag}/j", "json", bucket=BUCKET)
    assert str(e.value) == 'data_format="json" is not valid. Only ("pickle", "bytesio", "csv", "xlsx") are allowed.'
    assert len(keys(s3, f"tamrix_common_s3/{tag}")) == 3
    with pytest.raises(AttributeError):
        bio.write_to_s3([1], f"{tag}/l.csv", "csv", bucket=BUCKET)


EMPTY_FOLDER = "folder_path is empty: that would delete every object under the prefix, so nothing was deleted"


@pytest.mark.parametrize("call, message", [
    *[(lambda fmt=fmt: bio.read_from_s3("x", fmt),
       f'data_format="{fmt}" is not valid. Only ("pickle", "csv", "csv.gz", "xlsx") are allowed.')
      for fmt in ["CSV", "json", "csv ", ""]],
    (lambda: bio.delete_s3_folder(""), EMPTY_FOLDER),
    (lambda: bio.delete_s3_folder("", "b", None), EMPTY_FOLDER),
], ids=["CSV", "json", "csv-blank", "empty-word", "empty-folder", "empty-folder-no-prefix"])
def test_refused_before_any_request(call, message, monkeypatch, capsys):
    monkeypatch.setattr(bio, "s3_client", None)  # no request is made
    monkeypatch.setattr(bio, "s3_resource", None)
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message and capsys.readouterr().out == ""


class S(str):
    pass


@pytest.mark.parametrize(
    "call, name, expected, got",
    [
        (lambda: bio.list_s3_objects(5), "folder_path", "str", "int"),
        (lambda: bio.list_s3_objects("f", None), "bucket", "str", "NoneType"),
        (lambda: bio.s3_path_exists(S("f")), "file_path", "str", "S"),
        (lambda: bio.read_from_s3("f", "csv", by_chunks=True, chunksize="10"), "chunksize", "int", "str"),
        (lambda: bio.write_to_s3(DF, "f", "csv", prefix=S("p")), "prefix", "str", "S"),
        (lambda: bio.delete_local_folder(pathlib.Path("x")), "folder_path", "str", "PosixPath"),
    ],
)
def test_typed_params(call, name, expected, got):
    with pytest.raises(TypeError) as e:
        call()
    # A subclass of the expected builtin gets the further sentence compiled modules add.
    note = (". Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
            "If you need to pass subclasses then set the 'annotation_typing' directive to False.")
    assert str(e.value) == (f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
                            + (note if got == "S" else ""))


def test_delete_local_folder(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "-rf" / "sub").mkdir(parents=True)
    (tmp_path / "keep").mkdir()
    assert bio.delete_local_folder("-rf") is None
    assert not (tmp_path / "-rf").exists() and (tmp_path / "keep").exists()
    assert capsys.readouterr().out == "Output: \nError: \ncode: 0\n"
    bio.delete_local_folder("missing")
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "Output: " and "missing" in out[1] and out[-1] == "code: 1"


def test_delete_local_folder_non_ascii_output(monkeypatch, capsys):
    class Proc:
        returncode = 1

        def communicate(self):
            return "caf\u00e9\n".encode(), b"\xff oops"

    seen = []

    class Sub:
        PIPE = subprocess.PIPE

        @staticmethod
        def Popen(argv, **kw):
            seen.append((argv, kw))
            return Proc()

    monkeypatch.setattr(bio, "subprocess", Sub)
    assert bio.delete_local_folder("--help") is None
    assert seen == [(["rm", "-r", "--", "--help"], {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE})]
    assert capsys.readouterr().out == "Output: caf\ufffd\ufffd\n\nError: \ufffd oops\ncode: 1\n"


CHILD = """
import importlib.abc, sys, warnings
class Block(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in {blocked!r}:
            raise ModuleNotFoundError("No module named " + repr(name), name=name)
sys.meta_path.insert(0, Block())
with warnings.catch_warnings(record=True) as w:
    warnings.simplefilter("always")
    from orvane_data.from_s3 import bucketio as b
print([str(x.message) for x in w if x.category is UserWarning])
print(repr(b.BUCKET), b.SHOW_WARNINGS, hasattr(b, "s3_client"), hasattr(b, "botocore"))
for call in (lambda: b.list_s3_objects("f", "b"), lambda: b.delete_s3_folder("f", "b")):
    try:
        call()
    except NameError as e:
        print(e)
"""


@pytest.mark.parametrize(
    "blocked, env, lines",
    [
        ({"boto3"}, {"SHOW_WARNINGS": "1"},
         ["[\"'boto3' is not installed.\"]", "'NOT_DEFINED' True False True"]),
        ({"boto3", "botocore"}, {"SHOW_WARNINGS": " 1", "TAMRIX_SANDBOX_BUCKET": ""},
         ["[]", "'' False False False"]),
        ({"boto3", "botocore"}, {"SHOW_WARNINGS": "1", "TAMRIX_SANDBOX_BUCKET": "bk"},
         ["[\"'boto3' is not installed.\", \"'botocore' is not installed.\"]", "'bk' True False False"]),
    ],
)
def test_load_without_boto3(blocked, env, lines):
    pkg_root = str(pathlib.Path(orvane_data.__file__).resolve().parents[1])
    child_env = {k: v for k, v in os.environ.items() if k not in ("SHOW_WARNINGS", "TAMRIX_SANDBOX_BUCKET")}
    child_env.update(env, PYTHONPATH=os.pathsep.join([pkg_root, *sys.path]))
    res = subprocess.run([sys.executable, "-c", CHILD.format(blocked=sorted(blocked))],
                         env=child_env, capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stderr
    out = res.stdout.splitlines()
    assert out == lines + ["name 's3_client' is not defined", "name 's3_resource' is not defined"]


# ---- chunked gzip CSV: the native read against pandas' chunk reader -------------------------------

def _random_decimals(n=4000):
    """Decimal texts of up to 12 digits across scales, with signs, zeros, exponents and missing cells."""
    import numpy as np

    rng = np.random.default_rng(7)
    out = []
    for _ in range(n):
        digits = "".join(rng.choice(list("0123456789"), int(rng.integers(1, 13))))
        point = int(rng.integers(0, len(digits) + 1))
        text = digits[:point] + "." + digits[point:]
        if rng.random() < 0.3:
            text += f"e{int(rng.integers(-10, 11))}"
        if rng.random() < 0.3:
            text = "-" + text
        out.append(text if rng.random() > 0.05 else "")
    return out


PLAIN = "id,px,qty,name,day\n" + "".join(
    f"F{i % 97},{i * 0.37 - 50:.4f},{i % 13},{'SUPPLIER' if i % 3 else 'CUSTOMER'},2020-01-{1 + i % 28:02d}\n"
    for i in range(2500))


def _set_string_option(value):
    with warnings.catch_warnings():  # pandas 3 warns that the option is going away
        warnings.filterwarnings("ignore", "The 'future.infer_string' option is deprecated")
        pd.set_option("future.infer_string", value)


@pytest.fixture(params=[False, True], ids=["infer_string=False", "infer_string=True"])
def string_option(request):
    """pandas' future.infer_string option set both ways, whatever the running pandas' default."""
    default = pd.Series(["x"]).dtype != object
    _set_string_option(request.param)
    yield request.param
    _set_string_option(default)


def _said(caught):
    """The warnings a reader gave its caller (the interpreter's own deprecation notices aside)."""
    noise = (DeprecationWarning, PendingDeprecationWarning, ResourceWarning)
    return [(w.category, str(w.message)) for w in caught if not issubclass(w.category, noise)]


@pytest.mark.parametrize("text, native", [
    (PLAIN, True),
    ("a,b\n" + "".join(f"{d},{i}\n" for i, d in enumerate(_random_decimals())), True),
    ("a,b,c\n1,-0.0,x\n2,NA,\n-0,+.5,None\n007,5.,n/a\n", True),
    ("a,b\n" + "".join(f"{i},{'' if i == 2500 else i}\n" for i in range(3000)), True),  # a missing int late
    ("a,b,c\n-0,1,-0\n,2,1\n-0,3,2\n1.5,4,1.5\n-0,5,3\n", True),  # -0 read as an integer or not
    ("a,b,c\n1,,\n2,x,\n3,,y\n", True),                  # text columns empty in some chunks
    ("a,b\n1,x\n2,3\n", False),                         # text and numbers in one column
    ('a,b\n1,"x,y"\n', False),                          # quotes
    ("a,b\n1,True\n2,False\n", False),                  # booleans
    ("a,b\n1,inf\n2,-Infinity\n", False),               # infinities
    ("a,b\n1,2\n\n3,4\n", False),                       # a blank line
    ("a,b\n1,2\r\n3,4\r\n", False),                     # carriage returns
    ("a,b\n1\n2,3\n", False),                           # a short row
    ("a,a\n1,2\n", False),                              # duplicate names
    ("a,b\n1,12345678901234567890\n", False),           # 20 digits
    ("a,b\n1,0000000000000000000007\n", False),         # 22 characters, the value 7
    ("a,b\n1,12345678901234567\n2,\n", False),          # 17 digits read as a float
    ("a,b\n1,0.12345678901234567\n", False),            # 17 significant digits
    ("a,b\n1, 5\n", False),                             # padding
    ("\ufeffa,b\n1,2\n", False),                        # byte-order mark
    ("a,b\n1,caf\u00e9\n", False),                      # non-ASCII text
], ids=["plain", "decimals", "signs-and-missing", "late-missing-int", "negative-zero", "empty-chunks", "mixed",
        "quotes", "booleans", "infinities", "blank-line", "crlf", "short-row", "duplicate-names", "20-digits", "22-chars", "17-digit-float",
        "17-significant", "padding", "bom", "non-ascii"])
@pytest.mark.parametrize("chunksize", [2, 1000, 100000])
def test_chunked_read_equals_pandas_chunk_reader(s3, tag, monkeypatch, string_option, text, native, chunksize):
    key = f"{tag}/c.csv.gz"
    body = gzip.compress(text.encode())
    s3.put_object(Bucket=BUCKET, Key=key, Body=body)
    with warnings.catch_warnings(record=True) as pandas_warned:
        warnings.simplefilter("always")
        with gzip.open(io.BytesIO(body), "rb") as gz:
            want = pd.concat(list(pd.read_csv(gz, chunksize=chunksize, iterator=True)))
    calls = []
    real = pd.read_csv
    monkeypatch.setattr(pd, "read_csv", lambda *a, **k: calls.append(1) or real(*a, **k))
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        got = bio.read_by_chunks(BUCKET, key, chunksize)
    assert _said(warned) == _said(pandas_warned)
    pd.testing.assert_frame_equal(got, want, check_exact=True, check_index_type=True, check_column_type=True)
    assert type(got.index) is type(want.index)
    for col in got.columns:  # bit for bit, signed zeros included
        if got[col].dtype.kind == "f":
            assert got[col].to_numpy().view("int64").tolist() == want[col].to_numpy().view("int64").tolist()
    assert (not calls) == native


def test_chunked_read_passes_on_a_failure_to_close(s3, tag, monkeypatch):
    """As a `with` block would: the stream's failure to close reaches the caller, the read's error as its context."""
    s3.put_object(Bucket=BUCKET, Key=f"{tag}/bad.gz", Body=b"not gzip")

    class Interrupted(gzip.GzipFile):
        def close(self):
            super().close()
            if not hasattr(self, "interrupted"):
                self.interrupted = True
                raise KeyboardInterrupt

    monkeypatch.setattr(bio, "gzip", types.SimpleNamespace(open=lambda b, mode: Interrupted(fileobj=b, mode=mode)))
    with pytest.raises(KeyboardInterrupt) as e:
        bio.read_by_chunks(BUCKET, f"{tag}/bad.gz")
    assert type(e.value.__context__) is gzip.BadGzipFile


def _stated_size(body, delta):
    """The gzip trailer's size field moved by `delta`."""
    return body[:-4] + ((int.from_bytes(body[-4:], "little") + delta) % 2**32).to_bytes(4, "little")


LARGE = "a,b,c\n" + "".join(f"F{i % 5000},{i},x{i % 7}\n" for i in range(150000))  # over 2 MB: inflated in steps


@pytest.mark.parametrize("body, native", [
    (gzip.compress(LARGE.encode()), True),
    (gzip.compress(PLAIN[:1000].encode()) + gzip.compress(PLAIN[1000:].encode()), False),  # two members
    (_stated_size(gzip.compress(PLAIN.encode()), 1), False),
    (_stated_size(gzip.compress(PLAIN.encode()), -1), False),
    (gzip.compress(PLAIN.encode())[:-30], False),  # truncated
], ids=["large", "two-members", "size-over", "size-under", "truncated"])
def test_chunked_read_of_gzip_streams(s3, tag, monkeypatch, body, native):
    key = f"{tag}/g.csv.gz"
    s3.put_object(Bucket=BUCKET, Key=key, Body=body)
    calls = []
    real = pd.read_csv
    monkeypatch.setattr(pd, "read_csv", lambda *a, **k: calls.append(1) or real(*a, **k))
    try:
        with gzip.open(io.BytesIO(body), "rb") as gz:
            want = pd.concat(list(real(gz, chunksize=100000, iterator=True)))
    except Exception as e:  # noqa: BLE001 - the package must raise what pandas raises
        with pytest.raises(type(e)):
            bio.read_by_chunks(BUCKET, key, 100000)
        return
    got = bio.read_by_chunks(BUCKET, key, 100000)
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    assert (not calls) == native
