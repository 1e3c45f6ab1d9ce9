// Whether a Python error caught on a native road may send the call down another road.
#include "glue.hpp"

namespace glue {

bool expected(const nb::python_error &e, std::initializer_list<PyObject *> types) {
    // Never these, under any name: an interrupt, an exit or exhausted memory is the caller's to see,
    // not a reason to try the same work another way.
    for (PyObject *always : {PyExc_KeyboardInterrupt, PyExc_SystemExit, PyExc_MemoryError})
        if (e.matches(always)) return false;
    // Nor anything outside Exception (GeneratorExit and the like).
    if (!e.matches(PyExc_Exception)) return false;
    for (PyObject *type : types)
        if (e.matches(type)) return true;
    return false;
}

}  // namespace glue

namespace glue {

nb::object attr_or(nb::handle obj, const char *name, nb::handle default_value) {
    PyObject *value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) return nb::steal(value);
    nb::python_error e;
    if (!expected(e, {PyExc_AttributeError})) throw e;
    return nb::borrow(default_value);
}

bool has_attr(nb::handle obj, const char *name) {
    PyObject *value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) {
        Py_DECREF(value);
        return true;
    }
    nb::python_error e;
    if (!expected(e, {PyExc_AttributeError})) throw e;
    return false;
}

}  // namespace glue
