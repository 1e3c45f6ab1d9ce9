// The columns of the event bar table taken from pandas' and pyarrow's memory: the one unit of
// orvane_data.from_bqia.tickbars that reads or writes their buffers (tickbars_gather.cpp), over the
// core's gathers.
#pragma once

#include "tickbars.hpp"

#include <nanobind/ndarray.h>

#include <cstdint>
#include <vector>

namespace tickbars {

// An int64 numpy array and its memory.
using I64Array = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
nb::object as_i64(nb::handle array_like);  // np.ascontiguousarray(x, dtype=int64)
I64Array i64_view(nb::handle contiguous);

// An object ndarray as an object Series (a frame built from a bare one would infer pandas 3's
// string dtype for text); anything else as it is.
nb::object keep_object(nb::object values);
// Arrow-backed values in one chunk (a gather across many chunks costs more than combining them once).
nb::object one_chunk(nb::object values);
// pd.factorize(take(values, rows), sort=True)[0] for text held by pyarrow without missing values
// (read in place on up to `threads` threads) or an object array of str, None and NaN; false for
// any other values.
bool rank_text_rows(nb::handle values, const int64_t *rows, size_t n, unsigned threads, std::vector<int64_t> &codes);

// One result column: `values` at int64 `rows` (-1: missing), promoted as a left join promotes them
// when `as_if_missing` (the join filled rows that were dropped later).
struct ColumnTake {
    nb::object values, rows;
    bool as_if_missing = false;
    nb::object result;
};
// Every column's result: text held by pyarrow, float64 / int64 numpy columns and datetimes gathered
// natively, several at once on up to `threads` threads, object arrays by reference; anything else
// through pandas' take.
void gather_columns(std::vector<ColumnTake> &columns, unsigned threads);

}  // namespace tickbars
