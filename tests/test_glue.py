"""What every public function shares: pickling by reference, typed-parameter messages, and how
errors raised while a module loads reach the importer."""
import concurrent.futures
import copy
import functools
import importlib
import importlib.metadata
import inspect
import multiprocessing
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import orvane_data

MODULES = ["from_s3.bucketio", "from_s3.shelfsets", "from_localcsv.api", "from_bqia.querykit",
           "from_bqia.tickbars", "ta.volume", "ta.strategy", "ta.utils", "ta.overlap"]
PKG_ROOT = str(pathlib.Path(orvane_data.__file__).resolve().parents[1])
SIM = str(pathlib.Path(__file__).resolve().parents[1] / "sim")


def _public_functions():
    """(module, qualified name) of every function and method the modules define."""
    found = []
    for short in MODULES:
        mod = importlib.import_module("orvane_data." + short)
        for name, value in vars(mod).items():
            if type(value).__name__ == "function" and getattr(value, "__module__", None) == mod.__name__:
                found.append((mod.__name__, name))
            elif isinstance(value, type) and value.__module__ == mod.__name__:
                for attr, member in vars(value).items():
                    if type(member).__name__ == "function" and type(member).__module__ != "builtins":
                        found.append((mod.__name__, f"{name}.{attr}"))
    return found


def _resolve(module, qualname):
    obj = importlib.import_module(module)
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


FUNCTIONS = _public_functions()


def test_every_module_has_functions_to_pickle():
    assert {m for m, _ in FUNCTIONS} == {"orvane_data." + m for m in MODULES if m != "ta.strategy"}
    assert ("orvane_data.from_s3.shelfsets", "SPLC.get_data") in FUNCTIONS
    assert orvane_data.__version__ == importlib.metadata.version("orvane_data")


@pytest.mark.parametrize("module, qualname", FUNCTIONS)
def test_functions_pickle_by_reference(module, qualname):
    f = _resolve(module, qualname)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol=protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f
    part = pickle.loads(pickle.dumps(functools.partial(f, 1)))
    assert part.func is f and part.args == (1,)


def test_a_replaced_module_attribute_pickles_as_a_python_function_would(monkeypatch):
    from orvane_data.ta import volume
    original = volume.obv
    monkeypatch.setattr(volume, "obv", lambda *a: None)
    with pytest.raises(pickle.PicklingError, match="not the same object"):
        pickle.dumps(original)


def test_functions_run_in_a_spawned_process_pool():
    from orvane_data.from_localcsv.api import get_historical_data
    from orvane_data.ta.volume import obv
    csv_path = str(pathlib.Path(__file__).resolve().parents[1] / "examples" / "data" / "csv" / "K_1D")
    args = (["IBM US Equity"], ["PX_LAST", "PX_VOLUME"], "2024-01-01", "2024-12-31", csv_path)
    here = get_historical_data(*args, return_ohlcv=True)
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        there = pool.submit(get_historical_data, *args, return_ohlcv=True).result()
        there_obv = pool.submit(obv, here["PX_LAST"], here["PX_VOLUME"]).result()
    pd.testing.assert_frame_equal(there, here)
    pd.testing.assert_series_equal(there_obv, obv(here["PX_LAST"], here["PX_VOLUME"]))


class MyStr(str):
    pass


class MyList(list):
    pass


SUBCLASS_NOTE = (". Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin "
                 "types. If you need to pass subclasses then set the 'annotation_typing' directive to False.")


@pytest.mark.parametrize("module, call, param, expected, got", [
    ("from_s3.shelfsets", lambda m: m.find_closest_earlier_date(np.str_("20240110"), ["20240105"]),
     "target_date_str", "str", "numpy.str_"),
    ("from_s3.shelfsets", lambda m: m.find_closest_earlier_date("20240110", MyList(["20240105"])),
     "date_list", "list", "MyList"),
])
def test_subclass_of_a_typed_parameter_gets_the_further_sentence(module, call, param, expected, got):
    mod = importlib.import_module("orvane_data." + module)
    with pytest.raises(TypeError) as err:
        call(mod)
    assert str(err.value) == (f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
                              + SUBCLASS_NOTE)


LOAD = """
import sys, types
{setup}
try:
    import orvane_data.{module}
except BaseException as e:
    print(type(e).__name__, "|", e, "|", e.__traceback__ is not None)
else:
    print("loaded")
"""


@pytest.mark.parametrize("module, setup, expected", [
    ("from_s3.bucketio", "sys.modules['tqdm'] = None", "ModuleNotFoundError | import of tqdm halted"),
    ("from_s3.bucketio", "sys.modules['pandas'] = None", "ModuleNotFoundError | import of pandas halted"),
    ("from_s3.shelfsets", "sys.modules['pyarrow'] = None", "ModuleNotFoundError | import of pyarrow halted"),
    ("from_s3.bucketio",
     "boto3 = types.ModuleType('boto3')\n"
     "def client(*a, **k): raise RuntimeError('no credentials here')\n"
     "boto3.client = client\nsys.modules['boto3'] = boto3",
     "RuntimeError | no credentials here"),
    ("from_s3.shelfsets",
     "bql = types.ModuleType('bql')\n"
     "class Service:\n    def __init__(self): raise RuntimeError('no terminal')\n"
     "bql.Service = Service\nsys.modules['bql'] = bql",
     "RuntimeError | no terminal"),
    ("from_bqia.tickbars", "sys.modules['orvane_data.from_bqia.querykit'] = None",
     "ModuleNotFoundError | import of orvane_data.from_bqia.querykit halted"),
    ("from_bqia.querykit",  # a guard that absorbs any exception still lets MemoryError through
     "bql = types.ModuleType('bql')\n"
     "class Service:\n    def __init__(self): raise MemoryError('no room')\n"
     "bql.Service = Service\nsys.modules['bql'] = bql",
     "MemoryError | no room"),
])
def test_errors_while_loading_keep_their_type(module, setup, expected):
    code = LOAD.format(setup=setup, module=module)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PKG_ROOT, SIM]))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(expected) and out.stdout.rstrip().endswith("| True"), out.stdout


@pytest.mark.parametrize("module", ["from_s3.bucketio", "from_s3.shelfsets", "from_bqia.querykit",
                                    "from_bqia.tickbars"])
def test_show_warnings_of_undecodable_bytes_is_false(module):
    code = (f"import os\nos.environb[b'SHOW_WARNINGS'] = b'1\\xff'\n"
            f"import orvane_data.{module} as m\nprint(m.SHOW_WARNINGS)")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PKG_ROOT, SIM]))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert (out.returncode, out.stdout) == (0, "False\n"), out.stderr


def _twin(f):
    """A plain Python function with f's parameters (names, kinds, which have defaults)."""
    sig = inspect.signature(f)
    params = [p.replace(annotation=inspect.Parameter.empty,
                        default=inspect.Parameter.empty if p.default is inspect.Parameter.empty else None)
              for p in sig.parameters.values()]
    text = str(sig.replace(parameters=params, return_annotation=inspect.Signature.empty))
    ns = {}
    exec(f"def {f.__name__}{text}:\n    return None\n", ns)
    return ns[f.__name__], sig


def _failing_shapes(sig):
    names = [p.name for p in sig.parameters.values() if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    required = [p.name for p in sig.parameters.values()
                if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty]
    n, r = len(names), len(required)
    shapes = [((), {}), ((object(),) * max(r - 1, 0), {}), ((object(),) * (n + 1), {}),
              ((object(),) * (n + 2), {"zz_unknown": 1}), ((object(),), {names[0]: 1} if names else {}),
              ((), {"zz_unknown": 1}), ((object(),) * max(r - 3, 0), {})]
    if n >= 2:
        shapes.append(((object(),) * 2, {names[1]: 1, "zz_unknown": 2}))
    return shapes


@pytest.mark.parametrize("module, qualname", [(m, q) for m, q in FUNCTIONS if "." not in q])
def test_binding_errors_are_the_interpreters(module, qualname):
    f = _resolve(module, qualname)
    twin, sig = _twin(f)
    for args, kwargs in _failing_shapes(sig):
        try:
            twin(*args, **kwargs)
        except TypeError as expected:
            with pytest.raises(TypeError) as got:
                f(*args, **kwargs)
            assert str(got.value) == str(expected), (args, kwargs)


def test_type_checkers_see_the_real_signatures(tmp_path):
    """The stubs written at build time let mypy flag a wrong-type call before it runs."""
    pytest.importorskip("mypy")
    root = pathlib.Path(orvane_data.__file__).resolve().parent
    assert (root / "py.typed").exists() and (root / "from_localcsv" / "api.pyi").exists()
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent("""
        from orvane_data.from_localcsv.api import get_historical_data
        from orvane_data.ta.volume import obv

        frame = get_historical_data("IBM US Equity", ["PX_LAST"], "2024-01-01", "2024-02-01", "K_1D")
        obv(frame["PX_LAST"], frame["PX_VOLUME"], offset="2")
        reveal_type(get_historical_data)
    """))
    env = dict(os.environ)
    if "site-packages" not in root.parts:  # an in-tree build; mypy finds an installed one by itself
        env["MYPYPATH"] = str(root.parent)
    out = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(tmp_path / "c"),
                          script.name], env=env, capture_output=True, text=True, cwd=tmp_path, timeout=300)
    mine = [line.split(" error: ", 1)[1] if " error: " in line else line.split(" note: ", 1)[1]
            for line in out.stdout.splitlines() if line.startswith(script.name)]
    assert mine == [
        'Argument 1 to "get_historical_data" has incompatible type "str"; expected "list[str]"  [arg-type]',
        'Argument "offset" to "obv" has incompatible type "str"; expected "int | None"  [arg-type]',
        'Revealed type is "def (tickers: list[str], flds: list[str], start: str, end: str, csv_path: str, '
        'bar_convention: str =, return_ohlcv: bool =) -> Any"',
    ], out.stdout + out.stderr


@pytest.mark.parametrize("module, name, shown", [
    ("from_s3.bucketio", "list_s3_objects", "bucket: str = 'NOT_DEFINED', prefix: Optional[str] = 'tamrix_common_s3'"),
    ("from_localcsv.api", "get_historical_data", "bar_convention: str = 'end', return_ohlcv: bool = False)"),
    ("from_bqia.tickbars", "get_intraday_bars",
     "dict_sec_pcs={'spx': ('spx index', '')}, dict_fut=None, start='2024-06-01'"),
    ("from_bqia.tickbars", "filter_bars_around_events", "pre_event_window=-5, post_event_window=10)"),
])
def test_stubs_and_help_show_the_name_and_the_real_defaults(module, name, shown):
    """help() (pydoc), the API reference (pdoc, which takes signatures from the stubs) and type
    checkers show each default as its value, under the function's own name."""
    import pydoc
    mod = importlib.import_module("orvane_data." + module)
    f = getattr(mod, name)
    assert shown in str(inspect.signature(f))
    stub = pathlib.Path(mod.__file__).with_name(module.split(".")[-1] + ".pyi").read_text()
    assert f"\ndef {name}(" in stub and shown in stub.split(f"\ndef {name}(", 1)[1].split("\n", 1)[0]
    text = pydoc.render_doc(f, "Help on %s:", renderer=pydoc.plaintext).splitlines()
    assert text[0].endswith(f"function {name} in module orvane_data.{module}:"), text[0]
    assert text[2].startswith(f"{name}(") and shown in text[2], text[2]


from orvane_data.from_bqia import tickbars  # noqa: E402
from orvane_data.ta import volume  # noqa: E402


def _bars_and_calendar(release):
    t = pd.date_range("2024-01-02 08:00", periods=60, freq="min")
    bars = pd.DataFrame({"key": ["A"] * 60, "datetime": t, "close": np.arange(60.0)})
    return bars, pd.DataFrame({"EVENT_NAME": ["CPI"], "event_datetime": [release]})


@pytest.mark.parametrize("call, message", [
    (lambda: volume.obv(pd.Series(np.arange(5.0)), pd.Series(np.arange(5, dtype="int32"))),
     "obv takes the pandas steps: series the kernels do not take"),
    (lambda: tickbars.filter_bars_around_events(*_bars_and_calendar(pd.NaT)),
     "filter_bars_around_events takes the pandas steps: a missing release time"),
    (lambda: tickbars.get_event_metadata(_bars_and_calendar(pd.Timestamp("2024-01-02 08:30"))[1], 3, 1),
     "get_event_metadata takes the pandas steps: window bounds that are not small integers in order"),
], ids=["volume", "event-bars", "event-metadata"])
def test_a_call_leaving_the_native_road_says_why(caplog, call, message):
    with caplog.at_level("DEBUG", logger="orvane_data"):
        call()
    messages = [r.getMessage() for r in caplog.records if r.name == "orvane_data"]
    assert any(m.startswith(message) for m in messages), messages


# ---- fallbacks let interrupts, exits and exhausted memory through ------------------------------

def _raise_once(monkeypatch, owner, name, error, when=lambda *args, **kwargs: True):
    """Make owner.name raise `error` the first time it is called as `when` says, then work again."""
    original = getattr(owner, name)
    armed = [True]

    def patched(*args, **kwargs):
        if armed[0] and when(*args, **kwargs):
            armed[0] = False
            raise error("raised on purpose")
        return original(*args, **kwargs)
    monkeypatch.setattr(owner, name, patched)


def _splc_dates(request, monkeypatch, error):
    # The snapshot's date columns are parsed once per distinct text, then whole if that fails.
    from orvane_data.from_s3 import shelfsets
    key = ("alt_data/supply_chain/dl/datasets/supplyChainHistoryV2/snapshots/20240105/distributions/"
           "supplyChainHistoryV2.csv.gz")
    table = pd.DataFrame({"ID_BB_GLOBAL": ["F1"], "RELATED_FIGI": ["F2"], "RELATIONSHIP": ["SUPPLIER"],
                          "RELTNSHP_START_DT": ["2024-01-05"], "RELTNSHP_END_DT": ["2024-06-30"]})
    monkeypatch.setattr(shelfsets, "list_s3_objects", lambda **kwargs: [key])
    monkeypatch.setattr(shelfsets, "read_from_s3", lambda **kwargs: table.copy())
    _raise_once(monkeypatch, pd, "to_datetime", error)
    return lambda: shelfsets.SPLC(dataset="supplier")


def _event_window_times(request, monkeypatch, error):
    # Release times in microseconds are converted to nanoseconds for the native windows.
    bars, calendar = _bars_and_calendar(pd.Timestamp("2024-01-02 08:30"))
    calendar["event_datetime"] = calendar["event_datetime"].dt.as_unit("us")
    _raise_once(monkeypatch, pd.arrays.DatetimeArray, "as_unit", error,
                when=lambda self, unit, *args, **kwargs: unit == "ns")
    return lambda: tickbars.filter_bars_around_events(bars, calendar)


def _calendar_release_times(request, monkeypatch, error):
    # Release times are localised, or converted when localising fails.
    import bql
    from orvane_data.from_bqia import querykit
    frame = pd.DataFrame({"RELEASE_DATE_TIME": [pd.Timestamp("2024-03-01 08:30")], "TIMEZONE": ["GMT+08:00"],
                          "ACTUAL": [1.5], "EVENT_NAME": ["CPI YoY"]}, index=pd.Index(["CN"], name="ID"))
    bql.reset()
    request.addfinalizer(bql.reset)
    bql.register(lambda req: frame if req.fields["Calendar"].params["dates"].start.startswith("2024")
                 else frame.iloc[0:0], item="calendar")
    _raise_once(monkeypatch, pd, "to_datetime", error,
                when=lambda values, *args, **kwargs: getattr(values, "name", None) == "RELEASE_DATE_TIME")
    return lambda: querykit.get_eco_calendar_data(bql.Service(), "CN", "2024-02-01", "2024-03-30",
                                                  event_timezone="UTC")


def _event_time_fields(request, monkeypatch, error):
    # A release time's sub-second fields are read when it has them.
    class Stamp:
        second = 30

        @property
        def microsecond(self):
            raise error("raised on purpose")

        def __add__(self, other):
            return self
    from orvane_data.from_bqia import querykit
    return lambda: querykit.round_event_datetime(Stamp())


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("site", [_splc_dates, _event_window_times, _calendar_release_times, _event_time_fields],
                         ids=["splc-dates", "event-window-times", "calendar-release-times", "event-time-fields"])
def test_a_fallback_never_swallows_interrupts_exits_or_memory_errors(request, monkeypatch, site, error):
    call = site(request, monkeypatch, error)
    with pytest.raises(error, match="raised on purpose"):
        call()
