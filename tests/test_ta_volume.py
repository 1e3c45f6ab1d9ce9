"""Volume indicators and the helpers they rest on (orvane_data.ta.volume, .utils, .overlap)."""
import os
import pathlib
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

from orvane_data.ta import overlap, utils, volume

EPS = sys.float_info.epsilon


# ---- a literal pandas rendering of the indicators ---------------------------------------------

def ref_ema(s, n):
    seeded = s.astype(float).copy()
    seed = seeded.iloc[:n].mean()
    seeded.iloc[: n - 1] = np.nan
    seeded.iloc[n - 1] = seed
    return seeded.ewm(span=n, adjust=False).mean()


def ref_clv(h, l, c):
    hl = (h - l).astype(float)
    return ((c - l) - (h - c)) / hl.where(hl != 0, EPS)


def ref_obv(c, v):
    sign = np.sign(c.diff())
    sign.iloc[0] = 1
    return (sign * v).cumsum()


def ref_ad(h, l, c, v):
    return (ref_clv(h, l, c) * v).cumsum()


def ref_adosc(h, l, c, v, fast=3, slow=10):
    line = ref_ad(h, l, c, v)
    return ref_ema(line, fast) - ref_ema(line, slow)


def ref_cmf(h, l, c, v, length=20):
    return (ref_clv(h, l, c) * v).rolling(length).sum() / v.rolling(length).sum()


def bars(n=400, seed=0, index=None, top_volume=1000):
    rng = np.random.default_rng(seed)
    index = pd.RangeIndex(n) if index is None else index
    close = 50 + rng.normal(size=n).cumsum()
    high = close + rng.random(n)
    low = close - rng.random(n)
    vol = rng.integers(1, top_volume, n)
    return (pd.Series(high, index=index), pd.Series(low, index=index), pd.Series(close, index=index),
            pd.Series(vol, index=index))


def assert_same(got, want, exact=True):
    assert got.index.equals(want.index) and got.dtype == want.dtype
    if exact:
        np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
    else:
        scale = np.nanmax(np.abs(want.to_numpy()))
        np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-12, atol=1e-12 * scale)


CALLS = {
    "obv": (lambda h, l, c, v, **k: volume.obv(c, v, **k), lambda h, l, c, v: ref_obv(c, v), True),
    "ad": (volume.ad, ref_ad, True),
    "adosc": (volume.adosc, ref_adosc, False),
    "cmf": (volume.cmf, ref_cmf, True),
}


@pytest.fixture
def pandas_path(monkeypatch):
    """Replace the helpers with equal wrappers, which sends every call down the pandas path."""
    for name in ("signed_series", "non_zero_range", "ema", "ad"):
        original = getattr(volume, name)
        monkeypatch.setattr(volume, name, lambda *a, _f=original, **k: _f(*a, **k))


# ---- values -------------------------------------------------------------------------------------

def float_volume(h, l, c, v, odd=None):
    """Whole float volumes, flat bars, some missing closes and a run of equal ones, early, midway
    and last; `odd` = (position, volume) plants a volume from which sums of volumes are no longer
    exact in any order."""
    n = len(c)
    v = v.astype(float)
    h[[20, n // 2 + 3, n - 2]] = l[[20, n // 2 + 3, n - 2]]
    c[[7, n // 2 + 11, n - 1]] = np.nan
    c[30:40] = c[29]
    if odd is not None:
        v[odd[0]] = odd[1]
    return h, l, c, v


@pytest.mark.parametrize("kind", CALLS)
@pytest.mark.parametrize("index, n, top_volume, plant", [
    (None, 400, 1000, None),
    (pd.date_range("2024-01-01", periods=400, freq="min"), 400, 1000, None),
    # Long enough for a second thread; volumes whose sums outgrow what a double holds exactly.
    (None, 70_000, 1000, None),
    (None, 70_000, 2**52, None),
    (None, 3_003, 1000, float_volume),
    (None, 70_000, 1000, float_volume),
    (None, 70_000, 1000, lambda *bars: float_volume(*bars, odd=(100, 2.0**60))),
    (None, 70_000, 1000, lambda *bars: float_volume(*bars, odd=(60_000, 0.1))),
])
def test_matches_pandas_rendering(kind, index, n, top_volume, plant):
    fn, ref, exact = CALLS[kind]
    h, l, c, v = bars(n, index=index, top_volume=top_volume)
    if plant:
        h, l, c, v = plant(h, l, c, v)
    assert_same(fn(h, l, c, v), ref(h, l, c, v), exact)


@pytest.fixture
def infinities_as_missing():
    """pandas 2's deprecated mode.use_inf_as_na switched on for one test (absent from pandas 3)."""
    if not pd.__version__.startswith("2."):
        pytest.skip("pandas 3 has no mode.use_inf_as_na")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        pd.set_option("mode.use_inf_as_na", True)
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        pd.set_option("mode.use_inf_as_na", False)


@pytest.mark.parametrize("setting", ["plain", "attrs", "no-duplicate-labels", "infinities-as-missing"])
@pytest.mark.parametrize("kind", CALLS)
def test_native_and_pandas_paths_agree_on_awkward_data(kind, setting, monkeypatch, request):
    # Missing values, infinities, flat bars, runs of equal closes and volumes, float volume; series
    # carrying what pandas' arithmetic passes on, and pandas 2 counting infinities as missing.
    if setting == "infinities-as-missing":
        request.getfixturevalue("infinities_as_missing")
    h, l, c, v = bars(600, seed=3)
    v = v.astype(float)
    c[[5, 6, 100]] = np.nan
    c[500] = np.inf
    h[200] = np.nan
    h[300:305] = l[300:305]
    c[400:410] = c[399]
    v[[50, 51]] = np.nan
    v[60] = np.inf
    v[420:450] = 7.0
    for s in (h, l, c, v):
        if setting == "attrs":
            s.attrs["source"] = "vendor"
        elif setting == "no-duplicate-labels":
            s.flags.allows_duplicate_labels = False
    fn = CALLS[kind][0]
    args = [(), (1,), (2,), (5, 599)] if kind == "adosc" else [(), (1,), (2,), (550,), (600,), (900,)] if kind == "cmf" else [()]
    native = [fn(h, l, c, v, *a) for a in args]
    for name in ("signed_series", "non_zero_range", "ema", "ad"):
        original = getattr(volume, name)
        monkeypatch.setattr(volume, name, lambda *x, _f=original, **k: _f(*x, **k))
    with np.errstate(invalid="ignore"):
        aligned = [fn(h, l, c, v, *a) for a in args]
    for got, want in zip(native, aligned):
        assert got.name == want.name
        np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
        assert got.attrs == want.attrs
        assert got.flags.allows_duplicate_labels == want.flags.allows_duplicate_labels


@pytest.mark.usefixtures("pandas_path")
@pytest.mark.parametrize("kind", CALLS)
def test_pandas_path_matches_rendering(kind):
    fn, ref, exact = CALLS[kind]
    h, l, c, v = bars(seed=5)
    assert_same(fn(h, l, c, v), ref(h, l, c, v), exact)


@pytest.mark.parametrize("kind", CALLS)
def test_series_on_different_indexes_are_aligned(kind):
    fn, ref, exact = CALLS[kind]
    h, l, c, v = bars(seed=7)
    shuffled = v.sample(frac=1.0, random_state=1)   # same labels, other order
    partial = v.iloc[10:]                            # fewer labels
    for vol in (shuffled, partial):
        assert_same(fn(h, l, c, vol), ref(h, l, c, vol), exact)
    if kind != "cmf":   # cmf's rolling volume sum runs in the volume series' own order
        assert_same(fn(h, l, c, shuffled), fn(h, l, c, v), exact=True)


@pytest.mark.parametrize("kind", CALLS)
def test_other_dtypes_and_strided_buffers(kind):
    fn, ref, exact = CALLS[kind]
    h, l, c, v = bars(seed=9)
    hi, lo, cl = (s.round().astype("int64") for s in (h, l, c))       # integer prices
    assert_same(fn(hi, lo, cl, v), ref(hi, lo, cl, v), exact)
    nullable = [s.astype("Float64") for s in (h, l, c, v)]                # extension dtype: pandas' way
    assert_same(fn(*nullable), ref(*nullable), exact)
    frame = pd.DataFrame(np.column_stack([h, l, c, v]))                 # one 2-D float block
    cols = [pd.Series(frame.to_numpy()[::2, i]) for i in range(4)]      # strided views
    assert_same(fn(*cols), ref(*cols), exact)


@pytest.mark.parametrize("kind, pandas_step", [("obv", "cumsum"), ("ad", "cumsum"), ("adosc", "cumsum"),
                                               ("cmf", "rolling")])
def test_shared_index_takes_the_native_path(monkeypatch, kind, pandas_step):
    fn, ref, exact = CALLS[kind]
    h, l, c, v = bars(50)
    want = ref(h, l, c, v)
    v = pd.Series(v.to_numpy(), index=pd.RangeIndex(50))   # an equal index, not the same object
    monkeypatch.setattr(pd.Series, pandas_step, lambda *a, **k: pytest.fail("pandas arithmetic ran"))
    assert_same(fn(h, l, c, v), want, exact)


def test_hand_worked_bars():
    # high 12 low 8 close 11 volume 100: clv 0.5, adds 50; a close at the low: clv -1;
    # a close at mid-range: clv 0, the line stays put.
    h = pd.Series([12.0, 10.0, 10.0, 5.0])
    l = pd.Series([8.0, 6.0, 6.0, 5.0])
    c = pd.Series([11.0, 6.0, 8.0, 5.0])
    v = pd.Series([100, 30, 70, 10])
    assert volume.ad(h, l, c, v).tolist() == [50.0, 20.0, 20.0, 20.0]   # flat bar: clv 0 / eps
    assert volume.obv(c, v).tolist() == [100.0, 70.0, 140.0, 130.0]
    assert volume.cmf(h, l, c, v, 2).tolist()[1:] == [20 / 130, -30 / 100, 0.0]
    assert utils.non_zero_range(h, l).tolist() == [4.0, 4.0, 4.0, EPS]


def test_names_categories_and_windows():
    h, l, c, v = bars(60)
    cases = [
        (volume.obv(c, v), "OBV"), (volume.ad(h, l, c, v), "AD"),
        (volume.adosc(h, l, c, v), "ADOSC_3_10"), (volume.adosc(h, l, c, v, 0, -4), "ADOSC_3_10"),
        (volume.adosc(h, l, c, v, fast=5, slow=20), "ADOSC_5_20"), (volume.adosc(h, l, c, v, 2.7, None), "ADOSC_2_10"),
        (volume.cmf(h, l, c, v), "CMF_20"), (volume.cmf(h, l, c, v, 2.9), "CMF_2"), (volume.cmf(h, l, c, v, -1), "CMF_20"),
    ]
    for result, name in cases:
        assert (result.name, result.category) == (name, "volume")
    assert_same(volume.adosc(h, l, c, v, 0, -4), volume.adosc(h, l, c, v))
    assert_same(volume.cmf(h, l, c, v, 2.9), volume.cmf(h, l, c, v, 2))
    cmf = volume.cmf(h, l, c, v)
    assert cmf.iloc[:19].isna().all() and cmf.iloc[19:].notna().all()


@pytest.mark.parametrize("kind", CALLS)
def test_offset_and_fills(kind):
    fn = CALLS[kind][0]
    h, l, c, v = bars(80)
    base = fn(h, l, c, v)
    assert_same(fn(h, l, c, v, offset=2), base.shift(2))
    assert_same(fn(h, l, c, v, offset=-1.8), base.shift(-1))
    assert_same(fn(h, l, c, v, offset=3, fillna=0.5), base.shift(3).fillna(0.5))
    assert_same(fn(h, l, c, v, offset=3, fill_method="bfill"), base.shift(3).bfill())
    assert_same(fn(h, l, c, v, offset=-3, fill_method="ffill", unrelated=1), base.shift(-3).ffill())


def test_adosc_keywords_reach_only_its_final_fill(monkeypatch):
    seen = []
    original = volume._handle_fills
    monkeypatch.setattr(volume, "_handle_fills", lambda s, **k: seen.append(dict(k)) or original(s, **k))
    h, l, c, v = bars(40)
    result = volume.adosc(h, l, c, v, fillna=0.0)
    assert seen == [{}, {"fillna": 0.0}]                # ad's fill, then adosc's
    assert result.notna().all() and (result.iloc[:9] == 0).all()


@pytest.mark.parametrize("call, param, bad", [
    (lambda b: volume.obv(b[2], b[3], "2"), "offset", "str"),
    (lambda b: volume.ad(*b, offset=[1]), "offset", "list"),
    (lambda b: volume.adosc(*b, fast="3"), "fast", "str"),
    (lambda b: volume.adosc(*b, slow=b"1"), "slow", "bytes"),
    (lambda b: volume.cmf(*b, length="20"), "length", "str"),
])
def test_type_errors_come_before_anything_runs(monkeypatch, call, param, bad):
    calls = []
    monkeypatch.setattr(volume, "verify_series", lambda s: calls.append(s) or s)
    with pytest.raises(TypeError, match=rf"^Argument '{param}' has incorrect type \(expected int, got {bad}\)$"):
        call(bars(10))
    assert calls == []


@pytest.mark.parametrize("value, message", [("2", "Expected int, got str"), (object(), "Expected int, got object")])
def test_offset_helper_result_must_be_a_number(monkeypatch, value, message):
    monkeypatch.setattr(volume, "get_offset", lambda offset: value)
    h, l, c, v = bars(10)
    with pytest.raises(TypeError, match=f"^{message}$"):
        volume.ad(h, l, c, v)
    monkeypatch.setattr(volume, "get_offset", lambda offset: 1.9)   # a number is held as int(1.9)
    assert_same(volume.ad(h, l, c, v), ref_ad(h, l, c, v).shift(1))


@pytest.mark.parametrize("kind, position", [(k, p) for k in CALLS for p in range(4) if k != "obv" or p >= 2])
def test_unverified_series_give_none(kind, position):
    fn = CALLS[kind][0]
    args = list(bars(30))
    args[position] = args[position].tolist()
    assert fn(*args) is None


def test_positional_arity():
    h, l, c, v = bars(5)
    with pytest.raises(TypeError, match="obv\\(\\) takes from 2 to 3 positional arguments but 4 were given"):
        volume.obv(c, v, 1, 2)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'volume'"):
        volume.obv(c)


# ---- helpers --------------------------------------------------------------------------------------

@pytest.mark.parametrize("length", [1, 2, 3, 10, 26])
def test_ema_matches_seeded_ewm(length):
    rng = np.random.default_rng(length)
    s = pd.Series(rng.normal(size=300).cumsum(), index=pd.date_range("2020", periods=300))
    s.iloc[[40, 41, 200]] = np.nan
    got = overlap.ema(s, length=length)
    assert got.name == f"EMA_{length}" and got.index.equals(s.index)
    np.testing.assert_allclose(got, ref_ema(s, length), rtol=1e-13, atol=0)
    assert got.iloc[: length - 1].isna().all()


def test_ema_edges():
    s = pd.Series([1, 2, 3, 4], dtype="int64")
    assert overlap.ema(s, 5).isna().all() and overlap.ema(s, 10**30).isna().all()
    assert overlap.ema(s, None).name == "EMA_10" and overlap.ema(s, -3).name == "EMA_10"
    assert overlap.ema([1.0, 2.0], 2) is None
    assert overlap.ema(pd.Series([], dtype=float), 3).empty


@pytest.mark.parametrize("dtype", ["int32", "float32", "uint64", "bool"])
def test_ema_on_other_dtypes_keeps_no_reference_to_the_input(dtype):
    values = np.arange(50).astype(dtype)
    s = pd.Series(values, copy=False)
    before = sys.getrefcount(values)
    for _ in range(20):
        got = overlap.ema(s, 3)
    np.testing.assert_allclose(got, ref_ema(s.astype(float), 3), rtol=1e-13)
    assert sys.getrefcount(values) == before


def test_utils():
    s = pd.Series([3.0, 4.0, 4.0, np.nan, 2.0, 1.0])
    assert utils.verify_series(s) is s and utils.verify_series(s.to_numpy()) is None
    assert [utils.get_offset(x) for x in (None, 0, 3, -2.7)] == [0, 0, 3, -2]
    assert [utils.get_drift(x) for x in (None, 0, -1, 2, 3.9)] == [1, 1, 1, 2, 3]
    np.testing.assert_array_equal(utils.signed_series(s, initial=1), [1, 1, 0, np.nan, np.nan, -1])
    assert np.isnan(utils.signed_series(s).iloc[0])
    assert utils._apply_offset(s, 0) is s and utils._apply_offset(s, None) is s
    assert_same(utils._apply_offset(s, 2), s.shift(2))
    assert utils._handle_fills(s) is s
    assert utils._handle_fills(s, fill_method="ffill").tolist() == [3.0, 4.0, 4.0, 4.0, 2.0, 1.0]
    assert utils._handle_fills(s.shift(1), fill_method="bfill", fillna=0).tolist() == [3.0, 3.0, 4.0, 4.0, 2.0, 2.0]
    assert utils._handle_fills(s.shift(-1), fill_method="ffill", fillna=9).iloc[-1] == 1.0
    assert utils._handle_fills(s, fillna=0).iloc[3] == 0
    with pytest.raises(ValueError, match="fill_method must be 'ffill' or 'bfill', got 'pad'"):
        utils._handle_fills(s, fill_method="pad")
    rng = utils.non_zero_range(pd.Series([2.0, 1.0, np.nan]), pd.Series([1.0, 1.0, 0.0]))
    assert rng.iloc[0] == 1.0 and rng.iloc[1] == EPS and np.isnan(rng.iloc[2])


def test_module_surface():
    assert volume.__doc__ == "Volume indicators: OBV, A/D Line, A/D Oscillator, Chaikin Money Flow."
    assert volume.obv.__doc__ == "On-Balance Volume (OBV)."
    assert volume.adosc.__doc__ == "Chaikin A/D Oscillator: EMA(fast) - EMA(slow) of AD line."
    for name in ("verify_series", "get_drift", "get_offset", "non_zero_range", "signed_series",
                 "_apply_offset", "_handle_fills"):
        assert getattr(volume, name) is getattr(utils, name)
    assert volume.ema is overlap.ema and volume.np is np and volume.Series is pd.Series
    import inspect
    from typing import Optional
    from pandas import Series

    def cmf(high: Series, low: Series, close: Series, volume: Series, length: int = None, offset: int = None,
            **kwargs) -> Optional[Series]: ...
    assert str(inspect.signature(volume.cmf)) == str(inspect.signature(cmf))


# Recording stand-ins for the two helper modules, put in sys.modules before the volume module
# loads. Every helper call is logged with what it was given; verify_series answers None for a
# series named "none".
RECORDING_HELPERS = """
import sys, types, json
import pandas as pd
log = []
def rec(name, result):
    def helper(*args, **kwargs):
        shown = [getattr(a, "name", a) if isinstance(a, pd.Series) else a for a in args]
        log.append([name, shown, sorted(kwargs.items())])
        return result(*args, **kwargs)
    return helper
class Recorded(pd.Series):  # logs its subtractions, in the order they run
    def __sub__(self, other):
        log.append(["-", [self.name, other.name], []])
        return pd.Series.__sub__(self, other)
utils = types.ModuleType("orvane_data.ta.utils")
utils.verify_series = rec("verify_series", lambda s: None if s.name == "none" else s)
utils.get_drift = rec("get_drift", lambda d: 1)
utils.get_offset = rec("get_offset", lambda o: 0 if o is None else int(o))
utils.non_zero_range = rec("non_zero_range", lambda h, l: (h - l).rename("hl"))
utils.signed_series = rec("signed_series", lambda c, initial: (c.diff().fillna(initial) > 0).astype(float))
utils._apply_offset = rec("_apply_offset", lambda s, o: s.rename("shifted"))
utils._handle_fills = rec("_handle_fills", lambda s, **kw: s.rename("filled"))
overlap = types.ModuleType("orvane_data.ta.overlap")
overlap.ema = rec("ema", lambda s, length: s.rolling(length).mean().rename("ema"))
sys.modules.update({"orvane_data.ta.utils": utils, "orvane_data.ta.overlap": overlap})
from orvane_data.ta import volume
idx = pd.RangeIndex(5)
s = {k: Recorded([2.0, 3, 1, 4, 5], index=idx, name=k) for k in ("high", "low", "close", "volume")}
s["high"] = Recorded(s["high"] + 2, name="high")
{call}
print(json.dumps(log))
"""


# The close's location in the bar's range, ((close - low) - (high - close)) / range, with its two
# subtractions of input series in the interpreter's order (after the range's own high - low).
LOCATION = [["non_zero_range", ["high", "low"], []], ["-", ["high", "low"], []], ["-", ["close", "low"], []],
            ["-", ["high", "close"], []]]


@pytest.mark.parametrize("call, expected", [
    ("volume.obv(s['close'], s['volume'], 1, fillna=0)",
     [["verify_series", ["close"], []], ["verify_series", ["volume"], []], ["get_offset", [1], []],
      ["signed_series", ["close"], [["initial", 1]]], ["_apply_offset", [None, 1], []],
      ["_handle_fills", ["shifted"], [["fillna", 0]]]]),
    ("volume.ad(s['high'], s['low'], s['close'], s['volume'])",
     [["verify_series", ["high"], []], ["verify_series", ["low"], []], ["verify_series", ["close"], []],
      ["verify_series", ["volume"], []], ["get_offset", [None], []], *LOCATION,
      ["_apply_offset", [None, 0], []], ["_handle_fills", ["shifted"], []]]),
    ("volume.adosc(s['high'], s['low'], s['close'], s['volume'], 2, 3, fillna=0)",
     [["verify_series", ["high"], []], ["verify_series", ["low"], []], ["verify_series", ["close"], []],
      ["verify_series", ["volume"], []], ["get_offset", [None], []], *LOCATION,
      ["_apply_offset", [None, 0], []], ["_handle_fills", ["shifted"], []], ["get_offset", [None], []],
      ["ema", ["AD"], [["length", 2]]], ["ema", ["AD"], [["length", 3]]], ["_apply_offset", ["ema", 0], []],
      ["_handle_fills", ["shifted"], [["fillna", 0]]]]),
    ("volume.cmf(s['high'], s['low'], s['close'], s['volume'], 2)",
     [["verify_series", ["high"], []], ["verify_series", ["low"], []], ["verify_series", ["close"], []],
      ["verify_series", ["volume"], []], ["get_offset", [None], []], *LOCATION,
      ["_apply_offset", [None, 0], []], ["_handle_fills", ["shifted"], []]]),
    ("assert volume.adosc(s['high'], s['low'], s['close'].rename('none'), s['volume']) is None",
     [["verify_series", ["high"], []], ["verify_series", ["low"], []], ["verify_series", ["none"], []],
      ["verify_series", ["volume"], []], ["get_offset", [None], []], ["get_offset", [None], []]]),
])
def test_helper_modules_supplied_by_the_user_see_every_call(call, expected):
    import json
    import subprocess
    src = pathlib.Path(volume.__file__).resolve().parents[2]
    code = RECORDING_HELPERS.replace("{call}", call)
    out = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=str(src)),
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == expected
