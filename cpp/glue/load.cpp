// Loading: the module definition that lets a load error reach the importer as itself, and the
// helpers a module's top level uses (environment, warnings, guarded optional imports).
#include "glue.hpp"

namespace glue {

// ---- module initialisation ------------------------------------------------------------------

namespace {

constexpr const char *nanobind_init_wrapper = "Encountered an error while initializing the extension.";

int (*nanobind_exec)(PyObject *) = nullptr;  // this module's own top level, as nanobind runs it

int exec_passing_errors(PyObject *module) {
    if (nanobind_exec(module) == 0) return 0;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject *cause = nullptr;
    if (value && PyErr_GivenExceptionMatches(value, PyExc_ImportError)) {
        PyObject *text = PyObject_Str(value);
        if (text && PyUnicode_CompareWithASCIIString(text, nanobind_init_wrapper) == 0)
            cause = PyException_GetCause(value);  // the exception the top level raised
        Py_XDECREF(text);
        PyErr_Clear();
    }
    if (!cause) {
        PyErr_Restore(type, value, traceback);
        return -1;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Restore(Py_NewRef((PyObject *) Py_TYPE(cause)), cause, PyException_GetTraceback(cause));
    return -1;
}

}  // namespace

PyObject *module_def_passing_errors(PyObject *module_def) {
    if (!module_def || !PyObject_TypeCheck(module_def, &PyModuleDef_Type)) return module_def;
    for (PyModuleDef_Slot *slot = ((PyModuleDef *) module_def)->m_slots; slot && slot->slot; ++slot) {
        if (slot->slot != Py_mod_exec || slot->value == (void *) exec_passing_errors) continue;
        nanobind_exec = (int (*)(PyObject *)) slot->value;
        slot->value = (void *) exec_passing_errors;
    }
    return module_def;
}

// ---- load-time helpers ----------------------------------------------------------------

std::string env(const char *name, const char *default_value) {
    nb::object environ = import("os").attr("environ");
    // Any value, bytes that are not UTF-8 included (os.environ holds them as lone surrogates), comes
    // back byte for byte, so that it compares unequal to every plain text rather than failing.
    return to_str(environ.attr("get")(name, default_value));
}

bool show_warnings_from_env() { return env("SHOW_WARNINGS", "0") == "1"; }

nb::dict tqdm_options_from_env() {
    nb::dict options;
    // tqdm applies TQDM_DISABLE once, when it is imported, as bool(value); here it is read again
    // for every bar, the same way.
    nb::object value = import("os").attr("environ").attr("get")("TQDM_DISABLE");
    if (!value.is_none()) options["disable"] = nb::bool_(truthy(value));
    return options;
}

void warn(const char *message) { import("warnings").attr("warn")(message); }

bool guarded_import(Absorb absorb, bool show_warnings, const char *warning, const std::function<void()> &body) {
    try {
        body();
        return true;
    } catch (nb::python_error &e) {
        // "Any exception" still leaves out MemoryError, which always reaches the importer.
        bool absorbed = absorb == Absorb::AnyException ? e.matches(PyExc_Exception) && !e.matches(PyExc_MemoryError)
                                                       : e.matches(PyExc_ModuleNotFoundError);
        if (!absorbed) throw;
    }
    if (show_warnings) warn(warning);
    return false;
}

// ---- small helpers ----------------------------------------------------------------------

nb::object import(const char *module) { return nb::module_::import_(module); }

}  // namespace glue
