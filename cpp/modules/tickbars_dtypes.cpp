// Time stamps, units and dtypes for the event windows: the native steps work on int64 nanoseconds,
// and the result's dtypes and units are those the row-by-row construction infers on the installed
// pandas.
#include "tickbars_dtypes.hpp"

#include "tickbars_gather.hpp"

#include "glue/arrays.hpp"

using namespace nb::literals;

namespace tickbars {

using glue::item;

bool small_int(nb::handle v, int64_t &out) {
    if (!PyLong_Check(v.ptr())) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return false;
    out = x;
    return true;
}

// (enough to order the bounds and to tell a window too long for any memory)
bool wide_int(nb::handle v, __int128 &out) {
    if (!PyLong_Check(v.ptr())) return false;
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) out = static_cast<__int128>(INT64_MAX) + 1;
    else if (overflow < 0) out = static_cast<__int128>(INT64_MIN) - 1;
    else out = x;
    return true;
}

// Empty for anything that is not a numpy-style datetime64 dtype.
std::string datetime_unit(nb::handle dtype) {
    std::string text = glue::to_str(dtype);
    if (text.rfind("datetime64[", 0) != 0) return {};
    size_t end = text.find_first_of(",]", 11);
    return end == std::string::npos ? std::string{} : text.substr(11, end - 11);
}

int64_t per_second(const std::string &unit) {
    if (unit == "s") return 1;
    if (unit == "ms") return 1'000;
    if (unit == "us") return 1'000'000;
    if (unit == "ns") return 1'000'000'000;
    return 0;
}

// (pandas 2 tells a pytz zone from the zoneinfo zone of the same name, and its join then falls
// back to UTC)
bool same_zone(nb::handle a, nb::handle b) {
    nb::object ta = glue::attr_or(a, "tz", nb::none()), tb = glue::attr_or(b, "tz", nb::none());
    if (ta.is_none() || tb.is_none()) return ta.is_none() && tb.is_none();
    nb::object tz_dtype = pd().attr("DatetimeTZDtype");
    return glue::equals(tz_dtype("ns", ta), tz_dtype("ns", tb));
}

// (the names themselves are checked to be text once they are factorised)
bool text_dtype(nb::handle dtype) {
    return glue::truthy(pd().attr("api").attr("types").attr("is_string_dtype")(dtype));
}

nb::object ns_values(nb::handle datetimes) {
    nb::object values = datetimes.attr("array");
    if (datetime_unit(values.attr("dtype")) != "ns") {
        try {
            values = values.attr("as_unit")("ns");
        } catch (nb::python_error &e) {
            // OutOfBoundsDatetime, a ValueError: beyond the nanosecond range, the pandas steps handle it
            if (!glue::expected(e, {PyExc_ValueError, PyExc_OverflowError})) throw;
            return {};
        }
    }
    return as_i64(values.attr("asi8"));
}

namespace {

// The column a DataFrame built from rows holding `values` gets (the installed pandas decides dtype
// and time unit by inference).
nb::object inferred_column(nb::handle values) {
    nb::list rows;
    for (nb::handle v : values) rows.append(nb::make_tuple(v));
    return item(pd().attr("DataFrame")(rows), nb::int_(0)).attr("array");
}

}  // namespace

nb::object inferred_dtype(nb::handle value) {
    nb::list one;
    one.append(value);
    return inferred_column(one).attr("dtype");
}

nb::object datetimes_from_ns(std::vector<int64_t> &&ns, nb::handle dtype) {
    return datetimes_from_ns(glue::numpy_of(std::move(ns)), dtype);
}

nb::object datetimes_from_ns(nb::object values, nb::handle dtype) {
    nb::object tz = glue::attr_or(dtype, "tz", nb::none());
    nb::object ns = tz.is_none() ? np().attr("dtype")("M8[ns]") : pd().attr("DatetimeTZDtype")("ns", tz);
    nb::object out = datetimes_of(std::move(values), ns);
    const std::string unit = datetime_unit(dtype);
    return unit == "ns" ? out : out.attr("as_unit")(unit.c_str());
}

nb::object datetimes_of(nb::object values, nb::handle dtype) {
    // The index wraps the values without a copy: integers with a zoned dtype are read as UTC
    // stamps, as tz_localize("UTC").tz_convert(tz) would read them (with a copy each).
    const bool naive = glue::attr_or(dtype, "tz", nb::none()).is_none();
    nb::object index = naive ? pd().attr("DatetimeIndex")(values.attr("view")(dtype), "copy"_a = false)
                             : pd().attr("DatetimeIndex")(values, "dtype"_a = dtype, "copy"_a = false);
    return index.attr("array");
}

// For Timestamps that all share one type, zone and unit, the common case of rounded release times:
// the column then has the dtype that one of them infers, and the values are converted at once
// (pandas 3 converts aware Timestamps one by one, a few microseconds each). Anything else takes the
// inference itself.
nb::object timestamps_column(nb::handle values) {
    const size_t n = nb::len(values);
    if (n == 0) return inferred_column(values);
    nb::object first = values[0];
    if (!nb::isinstance(first, pd().attr("Timestamp"))) return inferred_column(values);
    nb::object tz = first.attr("tz"), unit = first.attr("unit");
    std::vector<int64_t> ns(n);
    for (size_t i = 0; i < n; ++i) {
        nb::object v = values[i];
        if (!v.type().is(first.type()) || !v.attr("tz").is(tz) || !glue::equals(v.attr("unit"), unit))
            return inferred_column(values);
        try {
            ns[i] = nb::cast<int64_t>(v.attr("value"));
        } catch (nb::python_error &e) {
            if (!glue::expected(e, {PyExc_OverflowError})) throw;
            return inferred_column(values);  // beyond the nanosecond range
        }
    }
    nb::object dtype = inferred_dtype(first);
    if (datetime_unit(dtype) != nb::cast<std::string>(unit)) return inferred_column(values);
    return datetimes_from_ns(std::move(ns), dtype);
}

}  // namespace tickbars
