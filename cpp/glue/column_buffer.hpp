// A held 1-D numpy buffer of float64 or int64 seen as a core Column, for the indicator modules.
#pragma once

#include "core/volume_kernels.hpp"
#include "glue/glue.hpp"

#include <cstdint>
#include <cstring>
#include <optional>

namespace glue {

// Released on scope exit.
struct ColumnBuffer {
    using Column = orvane::core::Column;

    Py_buffer view{};
    bool held = false;
    ColumnBuffer() = default;
    ColumnBuffer(const ColumnBuffer &) = delete;
    ColumnBuffer &operator=(const ColumnBuffer &) = delete;
    ~ColumnBuffer() { release(); }
    void release() {
        if (held) PyBuffer_Release(&view);
        held = false;
    }
    // False (with no error set) when `array` is not a 1-D float64/int64 buffer. A buffer held from
    // an earlier call is released first, so a second try (say with a float64 copy) keeps no reference.
    bool acquire(nb::handle array, bool writable = false) {
        release();
        int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(array.ptr(), &view, flags) != 0) {
            // No buffer, a dtype a buffer cannot describe, or a read-only one asked to be written.
            nb::python_error e;
            if (!expected(e, {PyExc_TypeError, PyExc_ValueError, PyExc_BufferError})) throw e;
            return false;
        }
        held = true;
        return view.ndim == 1 && view.itemsize == 8 && view.format && kind() >= 0;
    }
    int kind() const {
        const char *f = view.format;
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        if (std::strcmp(f, "d") == 0) return (int) Column::Kind::F64;
        if (std::strcmp(f, "l") == 0 || std::strcmp(f, "q") == 0) return (int) Column::Kind::I64;
        return -1;
    }
    Column column() const { return Column{(const char *) view.buf, view.strides[0], (Column::Kind) kind()}; }
    size_t size() const { return (size_t) view.shape[0]; }
};

// A window (a Python int) as a kernel length over `n` values: a window longer than the series
// means "nothing complete yet", so it is clamped to n + 1. Nothing when it does not fit an int64.
inline std::optional<int64_t> window_length(nb::handle length, size_t n) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(length.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return std::nullopt;
    return v > (long long) n ? (int64_t) n + 1 : (int64_t) v;
}

}  // namespace glue
