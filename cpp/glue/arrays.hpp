// numpy arrays made from native data: a vector handed over without a copy, and object arrays
// filled with new references.
#pragma once

#include <nanobind/ndarray.h>

#include <utility>
#include <vector>

#include "glue/glue.hpp"

namespace glue {

// A 1-D numpy array that owns `v` (no copy).
template <class T>
nb::object numpy_of(std::vector<T> &&v) {
    auto *owned = new std::vector<T>(std::move(v));
    nb::capsule owner(owned, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    size_t shape[1] = {owned->size()};
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), 1, shape, owner));
}

// Where the elements of a C-contiguous numpy array are, as T (its public __array_interface__): the
// one place that reads an array's memory by address.
template <class T>
T *array_data(nb::handle arr) {
    return reinterpret_cast<T *>(nb::cast<uintptr_t>(arr.attr("__array_interface__")["data"][0]));
}

// A 1-D object array of `n` elements, element i being the new reference `item(i)` returns.
template <class F>
nb::object object_array(size_t n, F item) {
    using namespace nb::literals;
    nb::object arr = import("numpy").attr("empty")(n, "dtype"_a = builtin("object"));
    if (n == 0) return arr;
    PyObject **slots = array_data<PyObject *>(arr);
    for (size_t i = 0; i < n; ++i) {
        PyObject *old = slots[i];
        slots[i] = item(i).release().ptr();
        Py_XDECREF(old);
    }
    return arr;
}

}  // namespace glue
