// What the units of SPLC share: the snapshot's date columns as pandas would parse them, and the
// native selection of a query's rows (each answer nullopt/false where pandas must decide).
#pragma once

#include "shelfsets.hpp"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace shelfsets {

// The elements of a 1-D object column (a contiguous array the caller keeps alive). nullopt for
// other dtypes, which would have to be converted first (pandas' `str`, for one).
std::optional<std::pair<nb::object, PyObject **>> object_cells(nb::handle col);

// pd.to_datetime(col).dt.date.
nb::object calendar_dates(nb::handle pd, nb::handle col);

// ((starts <= end_day) | starts.isna()) & ((ends >= start_day) | ends.isna()), each side only when
// its day is given (not None), for object columns of dates.
std::optional<std::vector<uint8_t>> window_mask(nb::handle pd, nb::handle starts, nb::handle ends, nb::handle end_day,
                                                nb::handle start_day);

// keep &= ids.isin(figis) & (kinds == kind) (the second only for a kind given), for object columns
// of str; false (and `keep` possibly changed) where pandas must compute it.
bool keep_chosen(nb::handle ids, nb::handle figis, nb::handle kinds, nb::handle kind, std::vector<uint8_t> &keep);

// df[keep].reset_index(drop=True).
nb::object rows_where(nb::handle pd, nb::handle df, std::vector<uint8_t> &&keep);

}  // namespace shelfsets
