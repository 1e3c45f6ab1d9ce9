// The units of the event windows of orvane_data.from_bqia.tickbars: the checks and the plain pandas
// steps (tickbars_windows.cpp), the native steps (tickbars_native.cpp).
#pragma once

#include "tickbars.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tickbars {

// The windows of a calendar, when the native path covers it.
struct Windows {
    nb::object event_names;    // numpy object array of the distinct event names (text), by code
    nb::object event_codes;    // int64 numpy: each calendar row's event code, -1 when missing
    nb::object release_times;  // pandas datetime array of the rounded release times, as inferred
    std::vector<int64_t> release_event;  // event code of each release
    std::vector<int64_t> release_ns;     // rounded release time of each release
    std::vector<int64_t> minutes;        // release-major window minutes
    nb::object cal_ns;                   // int64 numpy of the calendar's release times, nanoseconds
    nb::object minute_dtype;             // dtype of the window minutes
    nb::object name_dtype;               // dtype of the names
    int64_t pre = 0, width = 0;
};

// numpy buffers and dtypes (tickbars_native.cpp).
using I64Array = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
nb::object as_i64(nb::handle array_like);             // np.ascontiguousarray(x, dtype=int64)
I64Array i64_view(nb::handle contiguous);
bool small_int(nb::handle v, int64_t &out);           // a Python int that fits in int64
std::string datetime_unit(nb::handle dtype);           // "datetime64[us, UTC]" -> "us"
int64_t per_second(const std::string &unit);           // 0 for an unknown unit
nb::object ns_values(nb::handle datetimes);            // int64 nanoseconds, or invalid
nb::object inferred_dtype(nb::handle value);           // the dtype pandas infers for a column of it

// ---- the columns of the event bar table (tickbars_gather.cpp) ----
// An object ndarray as an object Series (a frame built from a bare one would infer pandas 3's
// string dtype for text); anything else as it is.
nb::object keep_object(nb::object values);
// Arrow-backed values in one chunk (a gather across many chunks costs more than combining them once).
nb::object one_chunk(nb::object values);
// pd.factorize(take(values, rows), sort=True)[0] for text held by pyarrow without missing values,
// read in place on up to `threads` threads; false for any other values.
bool rank_text_rows(nb::handle values, const int64_t *rows, size_t n, unsigned threads, std::vector<int64_t> &codes);

// One result column: `values` at int64 `rows` (-1: missing), promoted as a left join promotes them
// when `as_if_missing` (the join filled rows that were dropped later).
struct ColumnTake {
    nb::object values, rows;
    bool as_if_missing = false;
    nb::object result;
};
// Every column's result: text held by pyarrow and float64 / int64 numpy columns gathered natively,
// several at once on up to `threads` threads; anything else through pandas' take.
void gather_columns(std::vector<ColumnTake> &columns, unsigned threads);

// Before either road: MemoryError for a window table too long to ever be held, pandas' own error
// for a window minute outside its unit's range.
void check_windows(const glue::Call &c, nb::handle df_calendar, nb::handle pre_obj, nb::handle post_obj);
// The windows of the calendar natively, when the native steps cover it.
bool native_windows(const glue::Call &c, nb::handle df_calendar, nb::handle pre_obj, nb::handle post_obj,
                    Windows &w);
nb::object metadata_native(Windows &w);
// Why the last native attempt on this thread went to the pandas steps.
const char *native_refusal();
// The event bar table natively, or an invalid object when the inputs need the pandas steps.
nb::object event_bars_native(const glue::Call &c, nb::handle df_bars, nb::handle df_calendar, nb::handle pre,
                             nb::handle post);

}  // namespace tickbars
