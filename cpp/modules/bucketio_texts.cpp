#include "bucketio_texts.hpp"

#include "glue/arrays.hpp"

#include <cstring>
#include <new>

using namespace nb::literals;
using orvane::core::DistinctTexts;

namespace bucketio {

namespace {

nb::object text_cell(std::string_view cell) {
    PyObject *s = PyUnicode_New((Py_ssize_t) cell.size(), 127);  // ASCII, checked by the scan
    if (!s) throw nb::python_error();
    std::memcpy(PyUnicode_DATA(s), cell.data(), cell.size());
    return nb::steal(s);
}

}  // namespace

ArrowPiece::ArrowPiece(size_t first, size_t rows, size_t most)
    : first_(first), offsets_(rows + 1, 0), bytes_(static_cast<uint8_t *>(std::malloc(most + kBlock))),
      valid_((rows + 7) / 8, 0xff) {
    if (!bytes_) throw std::bad_alloc();
}

nb::object ArrowPiece::take_array(nb::handle pa) {
    const size_t n = rows(), missing = missing_;
    nb::capsule owner(bytes_.get(), [](void *p) noexcept { std::free(p); });
    size_t shape[1] = {used_};
    uint8_t *data = bytes_.release();  // now the capsule's
    nb::object bytes = nb::cast(nb::ndarray<nb::numpy, uint8_t, nb::ndim<1>>(data, 1, shape, owner));
    nb::object validity = missing ? pa.attr("py_buffer")(glue::numpy_of(std::move(valid_))) : nb::none();
    return pa.attr("LargeStringArray").attr("from_buffers")(n, pa.attr("py_buffer")(glue::numpy_of(std::move(offsets_))),
                                                            pa.attr("py_buffer")(bytes), validity, missing);
}

nb::object ArrowText::strings(const TextForm &form, int pandas_major) {
    nb::object pa = glue::import("pyarrow");
    nb::list arrays;
    for (ArrowPiece &piece : pieces) arrays.append(piece.take_array(pa));
    nb::object values = pa.attr("chunked_array")(arrays, "type"_a = pa.attr("large_string")());
    nb::object array_type = form.dtype.attr("construct_array_type")();
    if (pandas_major >= 3) return array_type(values, "dtype"_a = form.dtype);
    return array_type(values);  // pandas 2's class fixes its own dtype
}

nb::object ArrowText::objects(size_t n) {
    nb::object missing = glue::import("numpy").attr("nan");
    size_t at = 0;  // the piece holding the row asked for (rows are asked for in order)
    return glue::object_array(n, [&](size_t row) {
        while (row >= pieces[at].first() + pieces[at].rows()) ++at;
        return pieces[at].present(row) ? text_cell(pieces[at].cell(row)) : missing;
    });
}

// The references a row's slot takes are counted per object and added once per object: the
// references of many rows to few objects then touch each object once, not once per row. The
// array's slots held None (numpy.empty), whose references are given back the same way.
void ObjectText::new_strs() {
    for (int w = 0; w < 2; ++w) {
        for (size_t c = strs[w].size(); c < distinct[w].size(); ++c) strs[w].push_back(text_cell(distinct[w].text(c)));
        uses[w].assign(strs[w].size(), 0);
    }
}

void ObjectText::place(size_t first, size_t last, size_t split, PyObject *nan) {
    nans = nones = 0;
    for (size_t row = first; row < last; ++row) {
        const uint32_t code = codes[row - first];
        PyObject *value = nan;
        if (code == DistinctTexts::kMissing) {
            ++nans;
        } else {
            const int w = row < split ? 0 : 1;
            value = strs[w][code].ptr();
            ++uses[w][code];
        }
        PyObject *old = slots[row];
        slots[row] = value;
        if (old == Py_None) ++nones;
        else if (old) replaced.push_back(old);
    }
}

void ObjectText::settle(nb::handle nan) {
    for (int w = 0; w < 2; ++w)
        for (size_t c = 0; c < uses[w].size(); ++c)
            if (uses[w][c]) Py_SET_REFCNT(strs[w][c].ptr(), Py_REFCNT(strs[w][c].ptr()) + uses[w][c]);
    Py_SET_REFCNT(nan.ptr(), Py_REFCNT(nan.ptr()) + nans);
    Py_SET_REFCNT(Py_None, Py_REFCNT(Py_None) - nones);
    for (PyObject *old : replaced) Py_DECREF(old);
    replaced.clear();
}

}  // namespace bucketio
