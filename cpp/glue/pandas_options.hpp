// pandas' options as they stand at the moment of a call, for readers whose result dtypes follow them.
#pragma once

#include "glue.hpp"

namespace glue {

// Whether pandas infers its `str` dtype for text now (the option future.infer_string).
bool infer_string();

// The dtype read_csv gives a text column under the current option: pandas' `str`
// (StringDtype(na_value=nan)) when strings are inferred, numpy's object dtype otherwise.
nb::object text_dtype();

// The major version of the pandas module `pd` (its __version__ up to the first dot).
int pandas_major(nb::handle pd);

}  // namespace glue
