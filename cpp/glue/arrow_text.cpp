#include "glue/arrow_text.hpp"

namespace glue {

namespace {

int64_t buffer_size(nb::handle buffer) { return nb::cast<int64_t>(buffer.attr("size")); }

}  // namespace

bool arrow_texts(nb::handle chunked, ArrowTexts &out) {
    nb::object types = import("pyarrow").attr("types");
    nb::object type = chunked.attr("type");
    out.large = truthy(types.attr("is_large_string")(type));
    if (!out.large && !truthy(types.attr("is_string")(type))) return false;
    const int64_t width = out.large ? 8 : 4;
    out.chunks.clear();
    out.first_row.assign(1, 0);
    for (nb::handle chunk : chunked.attr("chunks")) {
        const int64_t length = static_cast<int64_t>(nb::len(chunk));
        const int64_t start = nb::cast<int64_t>(chunk.attr("offset"));
        nb::object buffers = chunk.attr("buffers")();
        if (nb::len(buffers) != 3 || start < 0) return false;
        nb::object validity = buffers[0], offsets = buffers[1], bytes = buffers[2];
        ArrowTextChunk c;
        if (length > 0) {
            if (offsets.is_none() || buffer_size(offsets) / width < start + length + 1) return false;
            c.offsets = buffer_data<unsigned char>(offsets) + width * start;
            if (!bytes.is_none()) {
                c.bytes = buffer_data<char>(bytes);
                c.byte_count = buffer_size(bytes);
            }
            if (!validity.is_none()) {
                if (buffer_size(validity) * 8 < start + length) return false;
                c.validity = buffer_data<uint8_t>(validity);
                c.validity_start = start;
            }
        }
        out.chunks.push_back(c);
        out.first_row.push_back(out.first_row.back() + length);
    }
    return true;
}

nb::object arrow_data(nb::handle values) {
    nb::object pd = import("pandas");
    nb::object dtype = values.attr("dtype");
    const bool arrow_string = PyObject_IsInstance(dtype.ptr(), pd.attr("StringDtype").ptr()) == 1 &&
                              equals(dtype.attr("storage"), "pyarrow");
    const bool arrow = PyObject_IsInstance(dtype.ptr(), pd.attr("ArrowDtype").ptr()) == 1;
    if (PyErr_Occurred()) throw nb::python_error();
    if (!(arrow_string || arrow) || !has_attr(values, "__arrow_array__")) return nb::none();
    return values.attr("__arrow_array__")();
}

nb::object array_from_arrow(nb::handle array, nb::handle dtype) {
    return import("pandas").attr("array")(array, nb::arg("dtype") = dtype);
}

nb::object series_values(nb::handle series) {
    nb::object dtype = series.attr("dtype");
    nb::object numpy_dtype = import("numpy").attr("dtype");
    const int plain = PyObject_IsInstance(dtype.ptr(), numpy_dtype.ptr());
    if (plain < 0) throw nb::python_error();
    if (!plain || contains(nb::str("mM"), dtype.attr("kind"))) return series.attr("array");
    return series.attr("to_numpy")();
}

}  // namespace glue
