#include "pandas_options.hpp"

namespace glue {

// Asked of pandas itself: the dtype of an index of one text is what its readers give text now, on
// any pandas version, without reading the option (whose reading pandas 3 deprecates).
nb::object text_dtype() { return import("pandas").attr("Index")(nb::make_tuple(nb::str(""))).attr("dtype"); }

bool infer_string() { return !equals(text_dtype(), builtin("object")); }

int pandas_major(nb::handle pd) {
    return nb::cast<int>(builtin("int")(pd.attr("__version__").attr("split")(".")[0]));
}

}  // namespace glue
