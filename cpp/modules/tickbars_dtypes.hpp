// The time stamps, units and dtypes of the event windows of orvane_data.from_bqia.tickbars
// (tickbars_dtypes.cpp): bounds as integers, datetime units, and the columns pandas would infer.
#pragma once

#include "tickbars.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace tickbars {

bool small_int(nb::handle v, int64_t &out);   // a Python int that fits in int64
// A Python int as a 128-bit value, one beyond int64's range on its side when it does not fit.
bool wide_int(nb::handle v, __int128 &out);
std::string datetime_unit(nb::handle dtype);  // "datetime64[us, UTC]" -> "us"
int64_t per_second(const std::string &unit);  // 0 for an unknown unit
bool same_zone(nb::handle a, nb::handle b);   // both naive, or zones pandas takes for the same
bool text_dtype(nb::handle dtype);            // object, string or pyarrow string
nb::object ns_values(nb::handle datetimes);   // int64 nanoseconds, or invalid
nb::object inferred_dtype(nb::handle value);  // the dtype pandas infers for a column of it
// A datetime array of `dtype` (zone and unit) holding nanoseconds `ns`.
nb::object datetimes_from_ns(std::vector<int64_t> &&ns, nb::handle dtype);
// The same over an int64 numpy array of nanoseconds, wrapped without a copy.
nb::object datetimes_from_ns(nb::object values, nb::handle dtype);
// A datetime array of `dtype` wrapping an int64 numpy array of values in the dtype's own unit
// (INT64_MIN: NaT), without a copy.
nb::object datetimes_of(nb::object values, nb::handle dtype);
// The column a DataFrame built from rows of these Timestamps gets, as the pandas steps build it.
nb::object timestamps_column(nb::handle values);

}  // namespace tickbars
