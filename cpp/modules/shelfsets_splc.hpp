// What the units of SPLC share: the snapshot's date columns as pandas would parse them, and the
// native selection of a query's rows (each answer nullopt/false where pandas must decide).
#pragma once

#include "shelfsets.hpp"

#include "core/parallel.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace shelfsets {

// rows(from, to) over [0, n): for a large column, its two halves [0, n / 2) and [n / 2, n) side by
// side on two threads where there are two cores; true when it was split so. `rows` reads only
// memory that stays put meanwhile (no call into the interpreter), and every thread is joined
// before a failure of either half reaches the caller.
template <class Rows>
bool on_halves(size_t n, Rows &rows) {
    constexpr size_t kSharedRows = 100000;  // below this, one thread
    if (n < kSharedRows || std::thread::hardware_concurrency() < 2) {
        rows(size_t(0), n);
        return false;
    }
    orvane::core::parallel_for(2, 2, [&](size_t half) { rows(half * (n / 2), half == 0 ? n / 2 : n); });
    return true;
}

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
