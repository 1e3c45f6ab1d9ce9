// orvane_data.ta.utils: the small series helpers the indicator modules share: input checks,
// offset and drift normalisation, a bar range that can divide, close-move signs, shifting and
// missing-value fills. Each is a handful of pandas calls on whole series.
#include "glue/glue.hpp"

#include "core/volume_kernels.hpp"


namespace {

using glue::truthy;

nb::object pandas() { return glue::import("pandas"); }

using glue::positive;

}  // namespace

namespace {

// ---- the module's functions, as the interpreter calls them ------------------------------

constexpr glue::Signature kVerifySeries =
    "verify_series(series)";

nb::object call_verify_series(glue::Call &c) {
    int r = PyObject_IsInstance(c[kVerifySeries["series"]].ptr(), pandas().attr("Series").ptr());
    if (r < 0) throw nb::python_error();
    return r ? nb::borrow(c[kVerifySeries["series"]]) : nb::none();
}

constexpr glue::Signature kGetOffset =
    "get_offset(offset: int = None) -> int";

nb::object call_get_offset(glue::Call &c) {
    // The `int` annotation has already converted any other number on entry.
    return c.is_none(kGetOffset["offset"]) ? nb::int_(0) : nb::borrow(c[kGetOffset["offset"]]);
}

constexpr glue::Signature kGetDrift =
    "get_drift(drift: int = None) -> int";

nb::object call_get_drift(glue::Call &c) {
    if (c.is_none(kGetDrift["drift"]) || !positive(c[kGetDrift["drift"]])) return nb::int_(1);
    return nb::borrow(c[kGetDrift["drift"]]);
}

constexpr glue::Signature kNonZeroRange =
    "non_zero_range(high, low)";

nb::object call_non_zero_range(glue::Call &c) {
    nb::object diff = c[kNonZeroRange["high"]] - c[kNonZeroRange["low"]];
    // Integer and boolean ranges become float64 first, so that the epsilon fits.
    std::string kind = nb::cast<std::string>(diff.attr("dtype").attr("kind"));
    if (kind == "i" || kind == "u" || kind == "b") diff = diff.attr("astype")("float64");
    nb::object nonzero = glue::ne(diff, nb::int_(0));
    return diff.attr("where")(nonzero, nb::float_(orvane::core::kRangeEpsilon));
}

constexpr glue::Signature kSignedSeries =
    "signed_series(series, initial=None)";

nb::object call_signed_series(glue::Call &c) {
    nb::object np = glue::import("numpy");
    nb::object sign = np.attr("sign")(c[kSignedSeries["series"]].attr("diff")());
    nb::handle initial = c[kSignedSeries["initial"]];
    if (!initial.is_none() && nb::len(sign) > 0) sign.attr("iloc")[nb::int_(0)] = initial;
    return sign;
}

constexpr glue::Signature kApplyOffset =
    "_apply_offset(series, offset=None)";

nb::object call_apply_offset(glue::Call &c) {
    nb::handle series = c[kApplyOffset["series"]], offset = c[kApplyOffset["offset"]];
    if (offset.is_none() || !truthy(offset)) return nb::borrow(series);
    return series.attr("shift")(offset);
}

constexpr glue::Signature kHandleFills =
    "_handle_fills(series, **kwargs)";

nb::object call_handle_fills(glue::Call &c) {
    nb::object result = nb::borrow(c[kHandleFills["series"]]);
    if (c.kwargs.contains("fill_method")) {
        nb::object method = c.kwargs["fill_method"];
        if (!method.is_none()) {
            if (glue::equals(method, "ffill")) result = result.attr("ffill")();
            else if (glue::equals(method, "bfill")) result = result.attr("bfill")();
            else
                glue::raise(PyExc_ValueError,
                            "fill_method must be 'ffill' or 'bfill', got " +
                                nb::cast<std::string>(nb::repr(method)));
        }
    }
    if (c.kwargs.contains("fillna")) {
        nb::object value = c.kwargs["fillna"];
        if (!value.is_none()) result = result.attr("fillna")(value);
    }
    return result;
}

}  // namespace

ORVANE_MODULE(utils, m) {
    m.doc() = "Series helpers shared by the technical-analysis modules.";

    glue::def(m, kVerifySeries, "Return `series` unchanged when it is a pandas Series (or a subclass of one), else None.\n\n"
              "Indicators compute with what this returns and give None when it is None.", call_verify_series);

    glue::def(m, kGetOffset, "The number of periods to shift a result by, as an int: 0 for None.\n\n"
              "Other numbers are converted with int(); anything else is a TypeError.", call_get_offset);

    glue::def(m, kGetDrift, "The lag of a difference, as an int: 1 for None, 0 or a negative value.\n\n"
              "Other numbers are converted with int(); anything else is a TypeError.", call_get_drift);

    m.attr("RANGE_EPSILON") = nb::float_(orvane::core::kRangeEpsilon);

    glue::def(m, kNonZeroRange, "The bar range `high - low` (aligned on the index, as float64), with every zero replaced by\n"
              "RANGE_EPSILON (sys.float_info.epsilon, the smallest positive float e with 1 + e != 1),\n"
              "so that the range never holds a zero and can always divide. Missing values stay missing.", call_non_zero_range);

    glue::def(m, kSignedSeries, "The direction of each move of `series`: numpy.sign(series.diff()), that is 1 for a rise,\n"
              "-1 for a fall, 0 for no change and missing where either value is missing.\n\n"
              "The first value, which has no move, is `initial` when it is given (missing otherwise).", call_signed_series);

    glue::def(m, kApplyOffset, "`series` shifted by `offset` periods (pandas shift) when the offset is non-zero;\n"
              "otherwise `series` itself, unchanged.", call_apply_offset);

    glue::def(m, kHandleFills, "Fill the missing values of `series` as the keywords ask; other keywords are ignored.\n\n"
              "fill_method: \"ffill\" carries the last value forward, \"bfill\" the next one backward.\n"
              "fillna: a value put into whatever is still missing after fill_method.\n"
              "Returns a new series when something is filled, else `series` itself.", call_handle_fills);
}
