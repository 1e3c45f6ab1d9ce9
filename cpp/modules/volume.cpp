// orvane_data.ta.volume: on-balance volume, the accumulation/distribution line, the Chaikin A/D
// oscillator and Chaikin money flow.
//
// Each function is written as its steps: verify the series, normalise the offset, compute, shift,
// fill, label. The helpers (verify_series, get_offset, signed_series, non_zero_range, ema,
// _apply_offset, _handle_fills, and `ad` inside `adosc`) are looked up in the module namespace at
// call time, as module globals are. The compute step has two renderings with the same result:
//   * when every input is a numpy-backed float64 pandas Series (volume may be int64) on one index and the
//     helpers it would call are the package's own, one native pass over the numpy buffers, with
//     the GIL released;
//   * otherwise pandas' aligned arithmetic through the helpers, which also handles series on
//     different indexes, other dtypes and replaced helpers.
#include "glue/column_buffer.hpp"
#include "glue/glue.hpp"
#include "glue/threads.hpp"

#include "core/volume_kernels.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <string>

using namespace nb::literals;

namespace {

using glue::truthy;

using orvane::core::Column;

// ---- numpy buffers ------------------------------------------------------------------------

using Buffer = glue::ColumnBuffer;

// The series of one call, ready for a kernel: the price columns are float64, the last one
// (volume) float64 or int64, all on one index.
template <size_t N>
struct NativeInputs {
    std::array<Buffer, N> buffers;
    size_t n = 0;
    Column col(size_t i) const { return buffers[i].column(); }
};

// ---- load-time state ----------------------------------------------------------------------

// The helpers as imported at load and this module's own `ad`. Strong references kept for the
// life of the process, so that an identity test can never meet a recycled address.
struct Originals {
    PyObject *verify_series = nullptr, *get_offset = nullptr, *signed_series = nullptr,
             *non_zero_range = nullptr, *apply_offset = nullptr, *handle_fills = nullptr, *ema = nullptr,
             *ad = nullptr;
};
Originals originals;
PyObject *series_type = nullptr;  // pandas.Series
PyObject *pandas_isna = nullptr;  // pandas.isna
PyObject *numpy_dtype = nullptr;  // numpy.dtype: extension dtypes (nullable, arrow) stay with pandas

PyObject *keep(nb::handle obj) {
    Py_INCREF(obj.ptr());
    return obj.ptr();
}

// ---- small helpers ------------------------------------------------------------------------

using glue::positive;

// A window parameter: the given value when it is truthy and greater than 0, else the default.
nb::object window(nb::handle given, long fallback) {
    if (!given.is_none() && truthy(given) && positive(given)) return nb::borrow(given);
    return nb::int_(fallback);
}

// get_offset(offset), held as an int: None and ints kept, other numbers through int().
nb::object offset_of(glue::Call &c, nb::handle offset) {
    nb::object value = c.global("get_offset")(offset);
    if (value.is_none() || PyLong_Check(value.ptr())) return value;
    if (!PyNumber_Check(value.ptr())) glue::raise(PyExc_TypeError, "Expected int, got " + glue::type_name(value));
    PyObject *converted = PyNumber_Long(value.ptr());
    if (!converted) throw nb::python_error();
    return nb::steal(converted);
}

nb::object verify(glue::Call &c, nb::handle series) { return c.global("verify_series")(series); }

// True when the module attribute `name` is still the package's own helper (never when the sibling
// module was not the package's own: `original` is null then).
bool is_original(glue::Call &c, const char *name, PyObject *original) {
    return original != nullptr && c.global(name).ptr() == original;
}

// Steps 5 and 6 of every indicator: shift, fill with a fresh copy of the caller's keywords,
// then the labels.
nb::object finish(glue::Call &c, nb::object result, nb::handle offset, const std::string &name) {
    result = c.global("_apply_offset")(result, offset);
    nb::object fills = c.global("_handle_fills");
    nb::object args = nb::make_tuple(result);
    nb::object kwargs = nb::steal(PyDict_Copy(c.kwargs.ptr()));
    if (!kwargs.is_valid()) throw nb::python_error();
    PyObject *filled = PyObject_Call(fills.ptr(), args.ptr(), kwargs.ptr());
    if (!filled) throw nb::python_error();
    result = nb::steal(filled);
    result.attr("name") = nb::str(name.c_str());
    result.attr("category") = nb::str("volume");
    return result;
}

bool same_index(nb::handle a, nb::handle b) {
    nb::object ia = a.attr("index"), ib = b.attr("index");
    return ia.is(ib) || truthy(ia.attr("equals")(ib));
}

// Fill `in` when the series can take the native path; the last series is the volume.
template <size_t N>
bool gather(NativeInputs<N> &in, const std::array<nb::handle, N> &series) {
    for (size_t i = 0; i < N; ++i) {
        if (Py_TYPE(series[i].ptr()) != (PyTypeObject *) series_type) return false;
        nb::object dtype = series[i].attr("dtype");
        if (Py_TYPE(dtype.ptr()) != (PyTypeObject *) numpy_dtype &&
            !PyObject_TypeCheck(dtype.ptr(), (PyTypeObject *) numpy_dtype))
            return false;
    }
    for (size_t i = 1; i < N; ++i)
        if (!same_index(series[0], series[i])) return false;
    for (size_t i = 0; i < N; ++i) {
        nb::object values = series[i].attr("to_numpy")();
        if (!in.buffers[i].acquire(values)) return false;
        const bool is_volume = i == N - 1;
        if (!is_volume && in.buffers[i].kind() != (int) Column::Kind::F64) return false;
        if (in.buffers[i].size() != in.buffers[0].size()) return false;
    }
    in.n = in.buffers[0].size();
    return true;
}

// A float64 Series of `n` values on `index`, filled by `kernel(out)` with the GIL released.
template <class Kernel>
nb::object native_series(size_t n, nb::handle index, Kernel &&kernel) {
    nb::object np = glue::import("numpy");
    nb::object out = np.attr("empty")(n, "dtype"_a = "float64");
    Buffer res;
    if (!res.acquire(out, true)) glue::raise(PyExc_RuntimeError, "cannot write an indicator result");
    {
        double *dst = (double *) res.view.buf;
        nb::gil_scoped_release unlocked;
        kernel(dst);
    }
    return nb::handle(series_type)(out, "index"_a = index, "copy"_a = false);
}

// A window as a kernel length; false when it does not fit an int64 (left to pandas then).
bool kernel_length(nb::handle length, size_t n, int64_t &out) {
    std::optional<int64_t> len = glue::window_length(length, n);
    if (len) out = *len;
    return len.has_value();
}

// ((close - low) - (high - close)) / non_zero_range(high, low), pandas' aligned arithmetic.
nb::object close_location(glue::Call &c, nb::handle high, nb::handle low, nb::handle close) {
    nb::object hl = c.global("non_zero_range")(high, low);
    // Left to right, one operation a statement, as the interpreter evaluates the expression.
    nb::object up = close - low;
    nb::object down = high - close;
    nb::object location = up - down;
    return location / hl;
}

// Why an indicator takes the pandas steps, for its DEBUG record.
constexpr const char *kOtherHelpers = "helper functions other than the package's own";
constexpr const char *kOtherSeries =
    "series the kernels do not take (other dtypes, other indexes, other lengths, or a window longer than the series)";
constexpr const char *kInfinitiesMissing = "pandas counts infinities as missing (mode.use_inf_as_na)";
constexpr const char *kMetadata = "series with attrs or refusing duplicate labels, which pandas' arithmetic keeps";

void log_pandas_steps(const char *indicator, const char *why) {
    glue::log_fallback(std::string(indicator) + " takes the pandas steps", why);
}

// Whether pandas treats infinities as missing values now (pandas 2's deprecated option
// mode.use_inf_as_na, read at call time): the cumulative sums then skip them, which the kernels
// do not. Asked through pandas' own answer for an infinity, which raises no deprecation warning.
bool infinities_are_missing() {
    nb::object answer = nb::handle(pandas_isna)(nb::float_(std::numeric_limits<double>::infinity()));
    return truthy(answer);
}

// Whether pandas' element-wise arithmetic and cumulative sum would carry something of `series`
// onto the result that a kernel's fresh series lacks: attrs, or the refusal of duplicate labels.
bool carries_metadata(nb::handle series) {
    if (truthy(series.attr("attrs"))) return true;
    return !truthy(series.attr("flags").attr("allows_duplicate_labels"));
}

template <size_t N>
bool any_carries_metadata(const std::array<nb::handle, N> &series) {
    for (nb::handle s : series)
        if (carries_metadata(s)) return true;
    return false;
}

// ---- the indicators -----------------------------------------------------------------------

constexpr glue::Signature kObv =
    "obv(close: Series, volume: Series, offset: int = None, **kwargs) -> Optional[Series]";

constexpr glue::Signature kAd =
    "ad(high: Series, low: Series, close: Series, volume: Series, offset: int = None, **kwargs) -> Optional[Series]";

constexpr glue::Signature kAdosc =
    "adosc(high: Series, low: Series, close: Series, volume: Series, fast: int = None, slow: int = None, "
    "offset: int = None, **kwargs) -> Optional[Series]";

constexpr glue::Signature kCmf =
    "cmf(high: Series, low: Series, close: Series, volume: Series, length: int = None, offset: int = None, "
    "**kwargs) -> Optional[Series]";


nb::object obv_impl(glue::Call &c) {
    nb::object close = verify(c, c[kObv["close"]]);
    nb::object volume = verify(c, c[kObv["volume"]]);
    nb::object offset = offset_of(c, c[kObv["offset"]]);
    if (close.is_none() || volume.is_none()) return nb::none();

    nb::object result;
    nb::object signed_series = c.global("signed_series");
    NativeInputs<2> in;
    const char *why = nullptr;
    if (signed_series.ptr() != originals.signed_series) why = kOtherHelpers;
    else if (!gather<2>(in, {close, volume})) why = kOtherSeries;
    else if (any_carries_metadata<2>({close, volume})) why = kMetadata;
    else if (infinities_are_missing()) why = kInfinitiesMissing;
    if (!why) {
        Column cl = in.col(0), vo = in.col(1);
        size_t n = in.n;
        const unsigned threads = glue::default_threads();
        result = native_series(n, close.attr("index"), [&](double *out) { orvane::core::obv(cl, vo, n, out, threads); });
    } else {
        log_pandas_steps("obv", why);
        nb::object sv = signed_series(close, "initial"_a = 1) * volume;
        result = sv.attr("cumsum")();
    }
    return finish(c, result, offset, "OBV");
}

nb::object ad_impl(glue::Call &c) {
    nb::object high = verify(c, c[kAd["high"]]);
    nb::object low = verify(c, c[kAd["low"]]);
    nb::object close = verify(c, c[kAd["close"]]);
    nb::object volume = verify(c, c[kAd["volume"]]);
    nb::object offset = offset_of(c, c[kAd["offset"]]);
    if (high.is_none() || low.is_none() || close.is_none() || volume.is_none()) return nb::none();

    nb::object result;
    NativeInputs<4> in;
    const char *why = nullptr;
    if (!is_original(c, "non_zero_range", originals.non_zero_range)) why = kOtherHelpers;
    else if (!gather<4>(in, {high, low, close, volume})) why = kOtherSeries;
    else if (any_carries_metadata<4>({high, low, close, volume})) why = kMetadata;
    else if (infinities_are_missing()) why = kInfinitiesMissing;
    if (!why) {
        Column h = in.col(0), l = in.col(1), cl = in.col(2), vo = in.col(3);
        size_t n = in.n;
        const unsigned threads = glue::default_threads();
        result = native_series(n, close.attr("index"),
                               [&](double *out) { orvane::core::ad(h, l, cl, vo, n, out, threads); });
    } else {
        log_pandas_steps("ad", why);
        nb::object clv = close_location(c, high, low, close);
        result = (clv * volume).attr("cumsum")();
    }
    return finish(c, result, offset, "AD");
}

// The fused path of adosc is taken only when `ad` and everything it calls are the originals:
// then ad's own verification, zero offset and empty fills change nothing, and the AD line can
// feed both averages in the same pass.
bool adosc_fusable(glue::Call &c) {
    return is_original(c, "ad", originals.ad) && is_original(c, "verify_series", originals.verify_series) &&
           is_original(c, "get_offset", originals.get_offset) &&
           is_original(c, "non_zero_range", originals.non_zero_range) &&
           is_original(c, "_apply_offset", originals.apply_offset) &&
           is_original(c, "_handle_fills", originals.handle_fills) && is_original(c, "ema", originals.ema);
}

nb::object adosc_impl(glue::Call &c) {
    nb::object fast = window(c[kAdosc["fast"]], 3);
    nb::object slow = window(c[kAdosc["slow"]], 10);
    nb::handle high = c[kAdosc["high"]];
    nb::handle low = c[kAdosc["low"]];
    nb::handle close = c[kAdosc["close"]];
    nb::handle volume = c[kAdosc["volume"]];

    nb::object result;
    nb::object offset;
    NativeInputs<4> in;
    int64_t nfast = 0, nslow = 0;
    const char *why = nullptr;
    if (!adosc_fusable(c)) why = kOtherHelpers;
    else if (!gather<4>(in, {high, low, close, volume}) || !kernel_length(fast, in.n, nfast) ||
             !kernel_length(slow, in.n, nslow))
        why = kOtherSeries;
    else if (infinities_are_missing()) why = kInfinitiesMissing;
    if (!why) {
        offset = offset_of(c, c[kAdosc["offset"]]);
        Column h = in.col(0), l = in.col(1), cl = in.col(2), vo = in.col(3);
        size_t n = in.n;
        const unsigned threads = glue::default_threads();
        result = native_series(n, nb::handle(close).attr("index"), [&](double *out) {
            orvane::core::adosc(h, l, cl, vo, n, nfast, nslow, out, threads);
        });
    } else {
        log_pandas_steps("adosc", why);
        nb::object ad_line = c.global("ad")("high"_a = high, "low"_a = low, "close"_a = close, "volume"_a = volume);
        offset = offset_of(c, c[kAdosc["offset"]]);
        if (ad_line.is_none()) return nb::none();
        nb::object ema = c.global("ema");
        nb::object fast_ema = ema(ad_line, "length"_a = fast);
        nb::object slow_ema = ema(ad_line, "length"_a = slow);
        result = fast_ema - slow_ema;
    }
    const std::string fast_text = glue::to_str(fast);
    const std::string slow_text = glue::to_str(slow);
    return finish(c, result, offset, "ADOSC_" + fast_text + "_" + slow_text);
}

nb::object cmf_impl(glue::Call &c) {
    nb::object length = window(c[kCmf["length"]], 20);
    nb::object high = verify(c, c[kCmf["high"]]);
    nb::object low = verify(c, c[kCmf["low"]]);
    nb::object close = verify(c, c[kCmf["close"]]);
    nb::object volume = verify(c, c[kCmf["volume"]]);
    nb::object offset = offset_of(c, c[kCmf["offset"]]);
    if (high.is_none() || low.is_none() || close.is_none() || volume.is_none()) return nb::none();

    nb::object result;
    NativeInputs<4> in;
    int64_t len = 0;
    const char *why = nullptr;
    if (!is_original(c, "non_zero_range", originals.non_zero_range)) why = kOtherHelpers;
    else if (!gather<4>(in, {high, low, close, volume}) || !kernel_length(length, in.n, len)) why = kOtherSeries;
    if (!why) {
        Column h = in.col(0), l = in.col(1), cl = in.col(2), vo = in.col(3);
        size_t n = in.n;
        const unsigned threads = glue::default_threads();
        result = native_series(n, close.attr("index"),
                               [&](double *out) { orvane::core::cmf(h, l, cl, vo, n, len, out, threads); });
    } else {
        log_pandas_steps("cmf", why);
        nb::object mf_vol = close_location(c, high, low, close) * volume;
        nb::object flow = mf_vol.attr("rolling")(length).attr("sum")();
        nb::object vol = volume.attr("rolling")(length).attr("sum")();
        result = flow / vol;
    }
    return finish(c, result, offset, "CMF_" + glue::to_str(length));
}

// Whether sys.modules[`full_name`] is this package's own extension module `short_name`: loaded as an
// extension module from the directory this module itself was loaded from.
bool is_own_sibling(nb::module_ &m, const std::string &full_name, const char *short_name) {
    nb::object sibling = glue::import("sys").attr("modules").attr("get")(full_name);
    nb::object extension_loader = glue::import("importlib.machinery").attr("ExtensionFileLoader");
    nb::object loader = glue::attr_or(sibling, "__loader__", nb::none());
    int is_extension = PyObject_IsInstance(loader.ptr(), extension_loader.ptr());
    if (is_extension < 0) throw nb::python_error();
    if (!is_extension) return false;
    nb::object path = glue::import("os.path");
    nb::object own_file = glue::attr_or(m, "__file__", nb::none());
    nb::object sibling_file = glue::attr_or(sibling, "__file__", nb::none());
    if (own_file.is_none() || sibling_file.is_none()) return false;
    if (!path.attr("dirname")(own_file).equal(path.attr("dirname")(sibling_file))) return false;
    std::string base = glue::to_str(path.attr("basename")(sibling_file));
    return base.rfind(std::string(short_name) + ".", 0) == 0;
}

// `from <module> import <name>`, with the interpreter's ImportError when the name is missing.
nb::object import_name(const std::string &module, const char *name) {
    nb::object mod = glue::import(module.c_str());
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (!value) {
        nb::python_error e;
        if (!glue::expected(e, {PyExc_AttributeError})) throw e;
        glue::raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" + module + "'");
    }
    return nb::steal(value);
}

}  // namespace

ORVANE_MODULE(volume, m) {
    m.doc() = "Volume indicators: OBV, A/D Line, A/D Oscillator, Chaikin Money Flow.";

    // Sibling modules of this sub-package, by the package this module was loaded from.
    std::string name = nb::cast<std::string>(m.attr("__name__"));
    std::string package = name.find('.') == std::string::npos ? std::string() : name.substr(0, name.rfind('.') + 1);
    std::string utils = package + "utils", overlap = package + "overlap";

    m.attr("Optional") = glue::import("typing").attr("Optional");
    m.attr("np") = glue::import("numpy");
    nb::object pd_series = glue::import("pandas").attr("Series");
    m.attr("Series") = pd_series;
    series_type = keep(pd_series);
    pandas_isna = keep(glue::import("pandas").attr("isna"));
    numpy_dtype = keep(glue::import("numpy").attr("dtype"));
    for (const char *helper : {"verify_series", "get_drift", "get_offset", "non_zero_range", "signed_series",
                               "_apply_offset", "_handle_fills"})
        m.attr(helper) = import_name(utils, helper);
    m.attr("ema") = import_name(overlap, "ema");

    // The native road stands in for the package's own helpers only: remember them when the sibling
    // modules are the package's own extension modules, and never when other modules were put in
    // their place (then every helper is called as the indicators' steps say).
    if (is_own_sibling(m, utils, "utils")) {
        originals.verify_series = keep(m.attr("verify_series"));
        originals.get_offset = keep(m.attr("get_offset"));
        originals.signed_series = keep(m.attr("signed_series"));
        originals.non_zero_range = keep(m.attr("non_zero_range"));
        originals.apply_offset = keep(m.attr("_apply_offset"));
        originals.handle_fills = keep(m.attr("_handle_fills"));
    }
    if (is_own_sibling(m, overlap, "overlap")) originals.ema = keep(m.attr("ema"));

    glue::def(m, kObv, "On-Balance Volume (OBV).", obv_impl);
    originals.ad = keep(glue::def(m, kAd, "Accumulation/Distribution Line (AD).", ad_impl));
    glue::def(m, kAdosc, "Chaikin A/D Oscillator: EMA(fast) - EMA(slow) of AD line.", adosc_impl);
    glue::def(m, kCmf, "Chaikin Money Flow (CMF).", cmf_impl);
}
