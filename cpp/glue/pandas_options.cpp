#include "pandas_options.hpp"

using namespace nb::literals;

namespace glue {

bool infer_string() {
    nb::object warnings = import("warnings");
    nb::object silenced = warnings.attr("catch_warnings")();
    silenced.attr("__enter__")();
    bool on = false;
    try {
        warnings.attr("filterwarnings")("ignore", "message"_a = "The 'future.infer_string' option is deprecated");
        on = truthy(import("pandas").attr("get_option")("future.infer_string"));
    } catch (...) {
        silenced.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    silenced.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return on;
}

nb::object text_dtype() {
    if (!infer_string()) return import("numpy").attr("dtype")("object");
    return import("pandas").attr("StringDtype")("na_value"_a = import("numpy").attr("nan"));
}

}  // namespace glue
