// orvane_data.ta.overlap: moving averages drawn over the price. Only the exponential moving
// average lives here; its recursion runs natively over the series' numpy buffer.
#include "glue/column_buffer.hpp"
#include "glue/glue.hpp"

#include "core/volume_kernels.hpp"

#include <cstring>
#include <limits>

using namespace nb::literals;

namespace {

using orvane::core::Column;

using Buffer = glue::ColumnBuffer;

using glue::positive;

}  // namespace

namespace {

// ---- the module's functions, as the interpreter calls them ------------------------------

constexpr glue::Signature kEma =
    "ema(close, length: int = None) -> Optional[Series]";

nb::object call_ema(glue::Call &c) {
    nb::object pd = glue::import("pandas");
    nb::handle close = c[kEma["close"]];
    int is_series = PyObject_IsInstance(close.ptr(), pd.attr("Series").ptr());
    if (is_series < 0) throw nb::python_error();
    if (!is_series) return nb::none();
    nb::handle given = c[kEma["length"]];
    nb::object length = (!given.is_none() && positive(given)) ? nb::borrow(given) : nb::object(nb::int_(10));

    nb::object np = glue::import("numpy");
    nb::object values = close.attr("to_numpy")();
    Buffer in;
    if (!in.acquire(values)) {
        values = close.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
        if (!in.acquire(values)) glue::raise(PyExc_TypeError, "ema needs a numeric series");
    }
    const size_t n = in.size();
    // A window longer than the series (even beyond int64) leaves everything missing.
    const int64_t len = glue::window_length(length, n).value_or((int64_t) n + 1);

    nb::object out = np.attr("empty")(n, "dtype"_a = "float64");
    Buffer res;
    if (!res.acquire(out, true)) glue::raise(PyExc_RuntimeError, "ema: cannot write its result");
    {
        Column x = in.column();
        double *dst = (double *) res.view.buf;
        nb::gil_scoped_release unlocked;
        orvane::core::ema(x, n, (int64_t) len, dst);
    }
    nb::object result = pd.attr("Series")(out, "index"_a = close.attr("index"), "copy"_a = false);
    result.attr("name") = nb::str(("EMA_" + glue::to_str(length)).c_str());
    result.attr("category") = nb::str("overlap");
    return result;
}

}  // namespace

ORVANE_MODULE(overlap, m) {
    m.doc() = "Overlap indicators: moving averages drawn over the price.";

    glue::def(m, kEma, "Exponential Moving Average (EMA).\n\n"
        "The standard recursion ema[i] = ema[i-1] + alpha * (close[i] - ema[i-1]) with\n"
        "alpha = 2 / (length + 1), seeded at position length - 1 with the mean of the first `length`\n"
        "values; the first length - 1 values are missing, and all are when the series is shorter\n"
        "than `length`. Missing (and infinite) values are skipped: the average carries over them and\n"
        "the next value is weighted as pandas' ewm(adjust=False) does after a gap.\n\n"
        "length: the window, 10 when None, 0 or negative. Returns a float64 Series on the index of\n"
        "`close`, named EMA_<length>, with `category` \"overlap\"; None when `close` is not a Series.", call_ema);
}
