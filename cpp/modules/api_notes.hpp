// Notes on the errors of get_historical_data that name the caller's mistake (see api_notes.cpp).
#pragma once

#include "glue/glue.hpp"

#include <string>
#include <vector>

namespace api_notes {

// Add a note to the error being raised when its cause can be named; the error itself is unchanged.
void explain(nb::python_error &e, nb::handle tickers, nb::handle start, nb::handle end, nb::handle csv_path);
// On the field check's error: which of `flds` the tree does not give.
void unknown_fields(nb::python_error &e, nb::handle flds, nb::handle measure, bool daily);
// On the melt's KeyError: the first field whose column no file has, and the first file read.
void missing_columns(nb::python_error &e, nb::handle bars, const std::vector<std::string> &measure,
                     const char *const *source, nb::handle first_file);

}  // namespace api_notes
