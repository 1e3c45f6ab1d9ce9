// Notes on the errors of get_historical_data that name the caller's mistake (see api_notes.cpp).
#pragma once

#include "glue/glue.hpp"

namespace api_notes {

// Add a note to the error being raised when its cause can be named; the error itself is unchanged.
void explain(nb::python_error &e, nb::handle tickers, nb::handle start, nb::handle end, nb::handle csv_path);

}  // namespace api_notes
