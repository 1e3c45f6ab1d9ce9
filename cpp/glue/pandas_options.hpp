// pandas' options as they stand at the moment of a call, for readers whose result dtypes follow them.
#pragma once

#include "glue.hpp"

namespace glue {

// bool(pd.get_option("future.infer_string")) now. pandas 3's notice that the option is going away is
// not passed on to the caller: reading the option is the reader's business, not the caller's.
bool infer_string();

// The dtype read_csv gives a text column under the current option: pandas' `str`
// (StringDtype(na_value=nan)) when strings are inferred, numpy's object dtype otherwise.
nb::object text_dtype();

}  // namespace glue
