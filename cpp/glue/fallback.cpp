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
