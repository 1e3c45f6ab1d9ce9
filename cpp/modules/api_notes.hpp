// Notes on the errors of get_historical_data that name the caller's mistake (see api_notes.cpp).
#pragma once

#include "glue/glue.hpp"

#include <string>
#include <vector>

namespace api_notes {

// Each adds a note to the error on its way to the caller; the error itself is unchanged.
// On a bound _flex_strptime cannot read: when a bound is written without dashes.
void undashed_dates(nb::python_error &e, nb::handle start, nb::handle end);
// On the concatenation of no frames: no ticker was asked for.
void no_tickers(nb::python_error &e);
// On a day-file name that is ohlcv.csv: a daily tree whose path lacks "K_1D".
void daily_layout_without_k1d(nb::python_error &e, nb::handle csv_path);
// On the selection of the fields from a table with no rows: no bar in the window.
void empty_window(nb::python_error &e, nb::handle start, nb::handle end);
// On the field check's error: which of `flds` the tree does not give.
void unknown_fields(nb::python_error &e, nb::handle flds, nb::handle measure, bool daily);
// On the melt's KeyError: the first field whose column no file has, and the first file read.
void missing_columns(nb::python_error &e, nb::handle bars, const std::vector<std::string> &measure,
                     const char *const *source, nb::handle first_file);

}  // namespace api_notes
