// The native callable every public function is: binding of arguments with the interpreter's own
// messages, typed-parameter checks, pickling by reference, the descriptor protocol, and its
// creation from a signature text evaluated at load.
#include "glue.hpp"

#include <structmember.h>

#include <memory>
#include <stdexcept>

namespace glue {

namespace {

// ---- the native callable type ---------------------------------------------------------

struct FuncObject {
    PyObject_HEAD
    Function *fn;
    PyObject *dict;  // __name__, __qualname__, __doc__, __module__, __signature__, ...
};

std::string join_missing(const std::vector<std::string> &names) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c' -- as the interpreter words it.
    std::string out;
    const size_t n = names.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) {
            if (n == 2) out += " and ";
            else if (i == n - 1) out += ", and ";
            else out += ", ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

[[noreturn]] void type_error(const std::string &msg) { raise(PyExc_TypeError, msg); }

void check_param(const Param &p, nb::object &value) {
    if (p.check == Check::Any) return;
    if (value.is_none()) {
        if (p.check == Check::Int || p.admits_none) return;
        raise_arg_type(p.name, p.check == Check::Str ? "str" : "list", value);
    }
    switch (p.check) {
        case Check::Str:
            if (!PyUnicode_CheckExact(value.ptr())) raise_arg_type(p.name, "str", value);
            break;
        case Check::List:
            if (!PyList_CheckExact(value.ptr())) raise_arg_type(p.name, "list", value);
            break;
        case Check::Int:
            if (PyLong_CheckExact(value.ptr())) break;
            if (!PyNumber_Check(value.ptr())) raise_arg_type(p.name, "int", value);
            {
                PyObject *converted = PyNumber_Long(value.ptr());
                if (!converted) throw nb::python_error();
                value = nb::steal(converted);
            }
            break;
        case Check::Any:
            break;
    }
}

void bind(const Function &f, Call &call, PyObject *args, PyObject *kwargs) {
    const size_t n = f.params.size();
    const size_t npos = (size_t) PyTuple_GET_SIZE(args);
    call.args.assign(n, nb::object());
    for (size_t i = 0; i < n && i < npos; ++i) call.args[i] = nb::borrow(PyTuple_GET_ITEM(args, i));
    if (f.has_varargs && npos > n) {
        call.varargs = nb::steal<nb::tuple>(PyTuple_GetSlice(args, (Py_ssize_t) n, (Py_ssize_t) npos));
    } else {
        call.varargs = nb::tuple();
    }
    call.kwargs = nb::dict();

    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::string k = nb::cast<std::string>(nb::handle(key));
            size_t idx = n;
            for (size_t i = 0; i < n; ++i)
                if (f.params[i].name == k) { idx = i; break; }
            if (idx < n) {
                if (call.args[idx].is_valid())
                    type_error(f.qualname + "() got multiple values for argument '" + k + "'");
                call.args[idx] = nb::borrow(value);
            } else if (f.has_varkw) {
                call.kwargs[key] = nb::borrow(value);
            } else {
                type_error(f.qualname + "() got an unexpected keyword argument '" + k + "'");
            }
        }
    }

    if (!f.has_varargs && npos > n) {
        size_t required = 0;
        for (const Param &p : f.params)
            if (!p.default_value.is_valid()) ++required;
        std::string takes;
        if (required < n)
            takes = "from " + std::to_string(required) + " to " + std::to_string(n) + " positional arguments";
        else
            takes = std::to_string(n) + (n == 1 ? " positional argument" : " positional arguments");
        type_error(f.qualname + "() takes " + takes + " but " + std::to_string(npos) +
                   (npos == 1 ? " was given" : " were given"));
    }

    std::vector<std::string> missing;
    for (size_t i = 0; i < n; ++i) {
        if (call.args[i].is_valid()) continue;
        if (f.params[i].default_value.is_valid()) call.args[i] = f.params[i].default_value;
        else missing.push_back(f.params[i].name);
    }
    if (!missing.empty())
        type_error(f.qualname + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                   (missing.size() == 1 ? "" : "s") + ": " + join_missing(missing));

    for (size_t i = 0; i < n; ++i) check_param(f.params[i], call.args[i]);
}

PyObject *func_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    FuncObject *fo = (FuncObject *) self;
    try {
        Call call;
        call.fn = fo->fn;
        bind(*fo->fn, call, args, kwargs);
        nb::object result = fo->fn->impl(call);
        if (!result.is_valid()) return Py_NewRef(Py_None);
        return result.release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        // nanobind's typed C++ exceptions (nb::type_error, ...): let nanobind translate them.
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "unable to convert a value for this call");
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Pickled by reference, as a function of a compiled module: pickle finds it again as
// `<module>.<qualname>` (the same object, or a PicklingError when the module attribute is now
// another object), and copy/deepcopy return the function itself.
PyObject *func_reduce(PyObject *self, PyObject *) {
    FuncObject *fo = (FuncObject *) self;
    return PyUnicode_FromStringAndSize(fo->fn->qualname.data(), (Py_ssize_t) fo->fn->qualname.size());
}

PyMethodDef func_methods[] = {
    {"__reduce__", (PyCFunction) func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *func_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int func_traverse(PyObject *self, visitproc visit, void *arg) {
    FuncObject *fo = (FuncObject *) self;
    Py_VISIT(fo->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int func_clear(PyObject *self) {
    FuncObject *fo = (FuncObject *) self;
    Py_CLEAR(fo->dict);
    return 0;
}

void func_dealloc(PyObject *self) {
    FuncObject *fo = (FuncObject *) self;
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    func_clear(self);
    delete fo->fn;
    fo->fn = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *func_repr(PyObject *self) {
    FuncObject *fo = (FuncObject *) self;
    return PyUnicode_FromFormat("<function %s at %p>", fo->fn->qualname.c_str(), self);
}

// pydoc names a callable in its title ("Help on function NAME in module ...") only when inspect
// takes it for a function or a built-in function; anything else is called by its type's name
// alone. So a module-level function reports the built-in function type as its __class__, as the
// functions of a compiled module are. isinstance() honours __class__ and type() does not, so
// pickling, copying and dispatch on type() (dask's tokenize) see this type as before. A method keeps
// its own type: inspect files a built-in function found in a class under static methods.
PyObject *func_get_class(PyObject *self, void *) {
    const Function *fn = ((FuncObject *) self)->fn;
    PyTypeObject *cls = fn->qualname == fn->name ? &PyCFunction_Type : Py_TYPE(self);
    return Py_NewRef((PyObject *) cls);
}

PyGetSetDef func_getset[] = {
    {"__class__", func_get_class, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FuncObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot func_slots[] = {
    {Py_tp_call, (void *) func_call},
    {Py_tp_descr_get, (void *) func_descr_get},
    {Py_tp_traverse, (void *) func_traverse},
    {Py_tp_clear, (void *) func_clear},
    {Py_tp_dealloc, (void *) func_dealloc},
    {Py_tp_repr, (void *) func_repr},
    {Py_tp_members, (void *) func_members},
    {Py_tp_getset, (void *) func_getset},
    {Py_tp_methods, (void *) func_methods},
    {Py_tp_getattro, (void *) PyObject_GenericGetAttr},
    {Py_tp_setattro, (void *) PyObject_GenericSetAttr},
    {0, nullptr},
};

PyType_Spec func_spec = {
    "orvane_data.function",
    sizeof(FuncObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR,
    func_slots,
};

// One type object per extension module (each module links its own copy of the glue).
PyTypeObject *function_type() {
    static PyTypeObject *type = nullptr;
    if (!type) {
        type = (PyTypeObject *) PyType_FromSpec(&func_spec);
        if (!type) throw nb::python_error();
    }
    return type;
}

// ---- signature evaluation ----------------------------------------------------------------

nb::dict signature_namespace(nb::module_ &m, const std::string &text) {
    nb::dict ns;
    ns["__builtins__"] = import("builtins");
    nb::object typing = import("typing");
    for (const char *name : {"List", "Optional", "Union", "Any", "Dict", "Tuple", "Callable"})
        ns[name] = typing.attr(name);
    ns["datetime"] = import("datetime").attr("datetime");
    if (text.find("pd.") != std::string::npos || text.find("Series") != std::string::npos ||
        text.find("DataFrame") != std::string::npos) {
        nb::object pd = import("pandas");
        ns["pd"] = pd;
        ns["Series"] = pd.attr("Series");
        ns["DataFrame"] = pd.attr("DataFrame");
    }
    nb::dict mdict = nb::borrow<nb::dict>(m.attr("__dict__"));
    for (auto [k, v] : mdict) ns[k] = v;
    return ns;
}

// Map an annotation to its entry check: str, list/List[...], int, Optional[...] of them.
void classify(nb::handle ann, Param &p) {
    nb::object typing = import("typing");
    nb::handle builtins_str = (PyObject *) &PyUnicode_Type;
    nb::handle builtins_list = (PyObject *) &PyList_Type;
    nb::handle builtins_int = (PyObject *) &PyLong_Type;
    if (ann.is(builtins_str)) { p.check = Check::Str; return; }
    if (ann.is(builtins_list)) { p.check = Check::List; return; }
    if (ann.is(builtins_int)) { p.check = Check::Int; return; }
    nb::object origin = typing.attr("get_origin")(ann);
    if (origin.is(builtins_list)) { p.check = Check::List; return; }
    if (origin.is(typing.attr("Union"))) {
        nb::tuple args = nb::borrow<nb::tuple>(typing.attr("get_args")(ann));
        nb::handle none_type = (PyObject *) Py_TYPE(Py_None);
        if (args.size() == 2 && (args[0].is(none_type) || args[1].is(none_type))) {
            nb::handle inner = args[0].is(none_type) ? args[1] : args[0];
            classify(inner, p);
            p.admits_none = true;
        }
    }
}

}  // namespace

// ---- Call ---------------------------------------------------------------------------------

nb::object Call::global(const char *name) const {
    PyObject *v = PyDict_GetItemString(fn->module_dict.ptr(), name);  // borrowed
    if (!v) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return nb::borrow(v);
}

// ---- creation ---------------------------------------------------------------------------

nb::object function(nb::module_ &m, Signature signature, const char *doc, Impl impl, const char *owner) {
    std::string text(signature.text());
    nb::dict ns = signature_namespace(m, text);
    std::string src = "def " + text + ":\n    pass\n";
    import("builtins").attr("exec")(nb::str(src.c_str()), ns);

    std::string name = text.substr(0, text.find('('));
    nb::object proto = ns[name.c_str()];
    nb::object inspect = import("inspect");
    nb::object sig = inspect.attr("signature")(proto);
    nb::object Parameter = inspect.attr("Parameter");
    nb::object empty = Parameter.attr("empty");

    // Owned here until the function object takes it, so that a step that throws before then frees it.
    auto fn = std::make_unique<Function>();
    fn->name = name;
    fn->qualname = owner ? std::string(owner) + "." + name : name;
    fn->module_dict = nb::borrow(m.attr("__dict__"));
    fn->impl = std::move(impl);

    nb::object kind_var_pos = Parameter.attr("VAR_POSITIONAL");
    nb::object kind_var_kw = Parameter.attr("VAR_KEYWORD");
    nb::object kind_pos_kw = Parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::object params = sig.attr("parameters").attr("values")();
    for (nb::handle prm : params) {
        nb::object kind = prm.attr("kind");
        if (kind.equal(kind_var_pos)) { fn->has_varargs = true; continue; }
        if (kind.equal(kind_var_kw)) { fn->has_varkw = true; continue; }
        if (!kind.equal(kind_pos_kw))
            raise(PyExc_SystemError, "only positional-or-keyword parameters, *args and **kwargs are supported");
        Param p;
        p.name = nb::cast<std::string>(prm.attr("name"));
        nb::object dflt = prm.attr("default");
        if (!dflt.is(empty)) {
            p.default_value = dflt;
            if (dflt.is_none()) p.admits_none = true;
        }
        nb::object ann = prm.attr("annotation");
        if (!ann.is(empty)) classify(ann, p);
        fn->params.push_back(std::move(p));
    }

    FuncObject *fo = PyObject_GC_New(FuncObject, function_type());
    if (!fo) throw nb::python_error();
    fo->fn = fn.release();
    fo->dict = PyDict_New();
    PyObject_GC_Track((PyObject *) fo);
    nb::object result = nb::steal((PyObject *) fo);
    if (!fo->dict) throw nb::python_error();

    nb::dict d = nb::borrow<nb::dict>(fo->dict);
    d["__name__"] = nb::str(fo->fn->name.c_str());
    d["__qualname__"] = nb::str(fo->fn->qualname.c_str());
    d["__module__"] = m.attr("__name__");
    d["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
    d["__signature__"] = sig;
    d["__annotations__"] = proto.attr("__annotations__");
    return result;
}

nb::object def(nb::module_ &m, Signature signature, const char *doc, Impl impl) {
    nb::object f = function(m, signature, doc, std::move(impl));
    m.attr(f.attr("__name__")) = f;
    return f;
}

void set_abstract(nb::handle fn) { nb::setattr(fn, "__isabstractmethod__", nb::bool_(true)); }

}  // namespace glue
