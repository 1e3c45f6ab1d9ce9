// Text, raising and the interpreter's protocols as the binding bodies use them.
#include "glue.hpp"

namespace glue {

// ---- raising ------------------------------------------------------------------------------

void raise(PyObject *type, const std::string &message) {
    // Decoded with its length and surrogatepass, so text taken from the caller's strings (see
    // to_str) comes back whole: embedded NULs and lone surrogates included.
    PyObject *text = PyUnicode_DecodeUTF8(message.data(), (Py_ssize_t) message.size(), "surrogatepass");
    if (!text) throw nb::python_error();
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    throw nb::python_error();
}

void raise_arg_type(const std::string &param, const char *expected, nb::handle got) {
    // A subclass of the expected builtin is rejected too, with the sentence compiled modules add.
    PyTypeObject *expected_type = std::string(expected) == "str"    ? &PyUnicode_Type
                                  : std::string(expected) == "list" ? &PyList_Type
                                                                    : nullptr;
    const char *subclass_note = "";
    if (expected_type && Py_TYPE(got.ptr()) != expected_type && PyObject_TypeCheck(got.ptr(), expected_type))
        subclass_note =
            ". Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. "
            "If you need to pass subclasses then set the 'annotation_typing' directive to False.";
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s",
                 param.c_str(), expected, Py_TYPE(got.ptr())->tp_name, subclass_note);
    throw nb::python_error();
}


std::string to_str(nb::handle obj) {
    nb::str text(obj);
    PyObject *bytes = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!bytes) throw nb::python_error();
    std::string out(PyBytes_AS_STRING(bytes), (size_t) PyBytes_GET_SIZE(bytes));
    Py_DECREF(bytes);
    return out;
}

std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);  // UnicodeEncodeError on a lone surrogate
    if (!data) throw nb::python_error();
    return std::string(data, (size_t) size);
}

std::string type_name(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }


bool truthy(nb::handle v) {
    int r = PyObject_IsTrue(v.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

namespace {
nb::object compare(nb::handle a, nb::handle b, int op) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}
}  // namespace

nb::object lt(nb::handle a, nb::handle b) { return compare(a, b, Py_LT); }
nb::object le(nb::handle a, nb::handle b) { return compare(a, b, Py_LE); }
nb::object eq(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }
nb::object ne(nb::handle a, nb::handle b) { return compare(a, b, Py_NE); }
nb::object gt(nb::handle a, nb::handle b) { return compare(a, b, Py_GT); }
nb::object ge(nb::handle a, nb::handle b) { return compare(a, b, Py_GE); }

bool equals(nb::handle a, nb::handle b) { return holds(a, Py_EQ, b); }

bool equals(nb::handle a, const char *text) { return equals(a, nb::str(text)); }

bool positive(nb::handle v) { return holds(v, Py_GT, nb::int_(0)); }

nb::str text_of(nb::handle x) {
    PyObject *r = PyObject_Str(x.ptr());
    if (!r) throw nb::python_error();
    return nb::steal<nb::str>(r);
}

void raise_text(PyObject *type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw nb::python_error();
}

bool assertions_enabled() { return nb::cast<long>(import("sys").attr("flags").attr("optimize")) == 0; }

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object builtin(const char *name) { return import("builtins").attr(name); }

namespace {
// `def set_column(df, key, value): df[key] = value`, compiled once. Built under the GIL without a
// C++ static guard (a guard held while the interpreter runs could deadlock with another thread);
// two threads racing here build it twice and one copy is kept.
PyObject *g_set_column = nullptr;

nb::handle python_set_column() {
    if (!g_set_column) {
        nb::dict ns;
        ns["__builtins__"] = import("builtins");
        builtin("exec")(nb::str("def set_column(df, key, value):\n    df[key] = value\n"), ns);
        if (!g_set_column) g_set_column = nb::object(ns["set_column"]).release().ptr();
    }
    return g_set_column;
}
}  // namespace

void set_column(nb::handle df, nb::handle key, nb::handle value) { python_set_column()(df, key, value); }

nb::str cat(std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle p : parts) items.append(p);
    PyObject *r = PyUnicode_Join(nb::str("").ptr(), items.ptr());
    if (!r) throw nb::python_error();
    return nb::steal<nb::str>(r);
}

bool holds(nb::handle a, int op, nb::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object item(nb::handle obj, nb::handle key) {
    PyObject *r = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object add(nb::handle a, nb::handle b) {
    PyObject *r = PyNumber_Add(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

std::string repr_of(nb::handle x) { return to_str(nb::repr(x)); }

void add_note(nb::python_error &e, const std::string &note) {
    // A note names the caller's mistake; an interrupt, an exit or exhaustion is none, and passes as it is.
    if (!expected(e, {PyExc_Exception})) return;
    PyObject *text = PyUnicode_DecodeUTF8(note.data(), (Py_ssize_t) note.size(), "surrogatepass");
    if (!text) throw nb::python_error();
    PyObject *r = PyObject_CallMethod(e.value().ptr(), "add_note", "N", text);
    if (!r) throw nb::python_error();
    Py_DECREF(r);
}

void log_fallback(const std::string &subject, const char *why) {
    static PyObject *logger = nullptr;  // kept for the life of the process
    if (!logger) logger = import("logging").attr("getLogger")("orvane_data").release().ptr();
    PyObject *on = PyObject_CallMethod(logger, "isEnabledFor", "i", 10);  // logging.DEBUG
    if (!on) throw nb::python_error();
    const int enabled = PyObject_IsTrue(on);
    Py_DECREF(on);
    if (enabled < 0) throw nb::python_error();
    if (!enabled) return;
    nb::handle(logger).attr("debug")("%s: %s", nb::str(subject.data(), subject.size()), why);
}

}  // namespace glue
