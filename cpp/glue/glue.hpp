// Shared binding glue for every orvane_data extension module.
//
// Public functions are created from a Python-style signature text evaluated once at load
// (so defaults are bound then, in the module's namespace), and become callables of a small
// native type that:
//   * binds positional and keyword arguments with the interpreter's own error messages,
//   * checks parameters annotated `str`, `list` and `int` (and `Optional[...]` of them),
//   * exposes `__signature__`, `__doc__`, `__name__`, `__qualname__`, `__module__`,
//   * works as a method when stored in a class (descriptor protocol).
//
// Conventions for the code that calls into Python:
//   * A native road that meets a Python error falls back to another road only on the exceptions
//     it expects there, named at the catch:
//         catch (nb::python_error &e) { if (!glue::expected(e, {PyExc_ValueError})) throw; ... }
//     Nothing broader: no `catch (...)` and no `catch (nb::python_error &)` that swallows whatever
//     came, and glue::attr_or / glue::has_attr rather than nanobind's getattr-with-default and
//     hasattr, which swallow any error. KeyboardInterrupt, SystemExit and MemoryError always reach
//     the caller.
//   * One Python call per statement where the order of calls can be seen (a user's function or
//     subclass, a module `__getattr__`, which error comes first): C++ leaves the order of operands
//     and of function arguments unspecified, so `f(a) - f(b)` or `g(x(), y())` may run either side
//     first. Spell the interpreter's order out in named steps, left to right:
//         nb::object fast_ema = ema(line, "length"_a = fast);
//         nb::object slow_ema = ema(line, "length"_a = slow);
//         result = fast_ema - slow_ema;
//     nanobind's `obj.attr(name)` and `obj[key]` are lazy: the lookup runs when the accessor is
//     used, so fetch an attribute into an nb::object before evaluating the arguments of its call.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nb = nanobind;

namespace glue {

// The module definition of `PyInit_<name>`, changed so that an exception raised while the module's
// top level runs reaches the importer as itself (type, message, traceback), as with any compiled
// module, rather than as nanobind's ImportError wrapping it.
PyObject *module_def_passing_errors(PyObject *module_def);

}  // namespace glue

// Use in place of NB_MODULE: `ORVANE_MODULE(volume, m) { ...top level... }`.
#define ORVANE_MODULE(name, variable)                                           \
    extern "C" PyObject *PyInit_##name##_nanobind(void);                        \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);        \
    extern "C" PyObject *PyInit_##name(void) {                                  \
        return ::glue::module_def_passing_errors(PyInit_##name##_nanobind());   \
    }                                                                           \
    NB_MODULE(name##_nanobind, variable)

namespace glue {

// How a parameter is checked on entry.
enum class Check { Any, Str, List, Int };

struct Param {
    std::string name;
    Check check = Check::Any;
    bool admits_none = false;  // Optional[...] or a None default
    nb::object default_value;  // invalid handle when the parameter is required
};

struct Function;

// A signature text known when the module is compiled. `sig["name"]` is the position of that
// parameter's value in Call::args; a name the text does not declare stops the build, so a body
// can only ask for parameters its signature has:
//     constexpr glue::Signature kRead = "read(path: str, rows: int = 10) -> pd.DataFrame";
//     ... c[kRead["rows"]] ...
class Signature {
public:
    consteval Signature(const char *text) : text_(text) {}
    constexpr const char *text() const { return text_; }
    consteval size_t operator[](std::string_view name) const { return at(name); }
    // The same question asked while the module loads (for helpers shared by several functions):
    // a missing name fails the import.
    constexpr size_t at(std::string_view name) const {
        const size_t position = find(name);
        if (position == npos) throw std::invalid_argument("the signature declares no parameter of this name");
        return position;
    }

private:
    static constexpr size_t npos = static_cast<size_t>(-1);
    // Position among the named parameters (*args and **kwargs hold no position), or npos.
    constexpr size_t find(std::string_view name) const {
        const std::string_view s(text_);
        size_t i = s.find('(') + 1, position = 0;
        auto is_name_char = [](char ch) {
            return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
        };
        while (i < s.size() && s[i] != ')') {
            while (s[i] == ' ') ++i;
            size_t stars = 0;
            while (s[i] == '*') { ++stars; ++i; }
            const size_t begin = i;
            while (i < s.size() && is_name_char(s[i])) ++i;
            if (stars == 0 && i > begin) {
                if (s.substr(begin, i - begin) == name) return position;
                ++position;
            }
            // Skip the annotation and default up to the next top-level comma or the closing ')'.
            int depth = 0;
            char quote = 0;
            for (; i < s.size(); ++i) {
                const char ch = s[i];
                if (quote) { if (ch == quote) quote = 0; continue; }
                if (ch == '\'' || ch == '"') quote = ch;
                else if (ch == '(' || ch == '[' || ch == '{') ++depth;
                else if (ch == ']' || ch == '}') --depth;
                else if (ch == ')') { if (depth == 0) break; --depth; }
                else if (ch == ',' && depth == 0) { ++i; break; }
            }
        }
        return npos;
    }
    const char *text_;
};

// The arguments of one call after binding, defaults and type checks.
struct Call {
    const Function* fn = nullptr;
    std::vector<nb::object> args;  // one per named parameter, in signature order
    nb::tuple varargs;             // *args (empty when the signature has none)
    nb::dict kwargs;               // **kwargs (empty when the signature has none)

    // The value of a parameter, by its position from Signature (c[kSig["name"]]).
    nb::handle operator[](size_t i) const { return args[i]; }
    bool is_none(size_t i) const { return args[i].is_none(); }

    // A module attribute looked up now (not at load), as the interpreter looks up a global;
    // NameError "name '<name>' is not defined" when the module has no such attribute.
    nb::object global(const char* name) const;
};

using Impl = std::function<nb::object(Call&)>;

struct Function {
    std::string name;
    std::string qualname;
    std::vector<Param> params;
    bool has_varargs = false;
    bool has_varkw = false;
    nb::object module_dict;  // the defining module's namespace, for Call::global
    Impl impl;
};

// Create a function from a signature text such as
//   "list_s3_objects(folder_path: str, bucket: str = BUCKET, prefix: str = PREFIX) -> list"
// Annotations and defaults are evaluated now, in the module's namespace extended with the
// names of `typing` (List, Optional, Union, Any, Dict, Tuple, Callable), `pd`/`Series`/`DataFrame`
// (imported only when the text mentions them) and `datetime`.
// `owner` names the class for a method (qualname "Owner.name"); the function is not put on
// the module then.
nb::object function(nb::module_ &m, Signature signature, const char *doc, Impl impl,
                    const char *owner = nullptr);

// Create a function and set it as a module attribute under its own name.
nb::object def(nb::module_ &m, Signature signature, const char *doc, Impl impl);

// Mark a function object as abstract (`__isabstractmethod__ = True`), for abc.ABC classes.
void set_abstract(nb::handle fn);

// ---- raising ---------------------------------------------------------------------------

// Set a Python exception of `type` with `message` and throw, so nanobind unwinds to the caller.
[[noreturn]] void raise(PyObject *type, const std::string &message);
// The typed-parameter TypeError text.
[[noreturn]] void raise_arg_type(const std::string &param, const char *expected, nb::handle got);

// ---- load-time helpers -------------------------------------------------------------------

// os.environ.get(name, default), read through the interpreter so changes made with os.environ
// before import are seen.
std::string env(const char *name, const char *default_value);
// True exactly when the environment variable SHOW_WARNINGS equals "1".
bool show_warnings_from_env();
// Keywords for a tqdm bar that honour TQDM_DISABLE as it is now ({"disable": bool(value)} when the
// variable is set, else none), not only as it was when tqdm was imported.
nb::dict tqdm_options_from_env();
// warnings.warn(message) with the default category (UserWarning).
void warn(const char *message);

enum class Absorb { ModuleNotFound, AnyException };

// Run `body` (which imports optional libraries and binds names in the module); when it raises
// an absorbed exception, warn with `warning` if `show_warnings`, and return false.
// Names the body had not yet bound stay undefined, so a later use raises NameError.
bool guarded_import(Absorb absorb, bool show_warnings, const char *warning,
                    const std::function<void()> &body);

// ---- small helpers ----------------------------------------------------------------------

nb::object import(const char *module);
// str(x) as std::string, for composing messages: any text survives the round trip through raise()
// (embedded NULs, lone surrogates), so a message can quote the caller's strings as given.
std::string to_str(nb::handle obj);
// A str as strict UTF-8 (file paths, keys handed to C++): the interpreter's UnicodeEncodeError for a
// lone surrogate, rather than a conversion failure without a message.
std::string utf8(nb::handle text);
std::string type_name(nb::handle obj);

}  // namespace glue

namespace glue {

// ---- interpreter protocol shortcuts (raise the interpreter's error when the call fails) ----

bool truthy(nb::handle v);                             // bool(v)
bool equals(nb::handle a, nb::handle b);              // bool(a == b)
bool equals(nb::handle a, const char *text);           // bool(a == text)
bool positive(nb::handle v);                           // bool(v > 0)
nb::str text_of(nb::handle x);                         // str(x), any text kept as it is
// raise type(message) with a message that is already an interpreter string.
[[noreturn]] void raise_text(PyObject *type, nb::handle message);
// True unless the interpreter runs with -O (when `assert` statements are skipped).
bool assertions_enabled();
// a < b, a <= b, a == b, a != b, a > b, a >= b with the interpreter's semantics (reflected operands,
// NotImplemented), so element-wise for pandas objects. +, -, *, /, &, | and [] are nanobind's own
// operators on nb::object, which go through the same protocols.
nb::object lt(nb::handle a, nb::handle b);
nb::object le(nb::handle a, nb::handle b);
nb::object eq(nb::handle a, nb::handle b);
nb::object ne(nb::handle a, nb::handle b);
nb::object gt(nb::handle a, nb::handle b);
nb::object ge(nb::handle a, nb::handle b);
bool contains(nb::handle container, nb::handle item);  // item in container
// The comparison `op` (Py_LT ... Py_GE) as the interpreter's containers compare: a is b counts as
// equal (PyObject_RichCompareBool).
bool holds(nb::handle a, int op, nb::handle b);
nb::object builtin(const char *name);                  // builtins.<name>
// df[key] = value, made by a Python function holding `df` in a local, as a Python caller would:
// pandas warns of "chained assignment" when it finds the frame held by no caller's local (by its
// reference count or the caller's frame), which a call straight from native code would look like.
void set_column(nb::handle df, nb::handle key, nb::handle value);
// obj[key] and a + b with the interpreter's semantics (its own errors on failure).
nb::object item(nb::handle obj, nb::handle key);
nb::object add(nb::handle a, nb::handle b);
// repr(x) as text, for messages and notes.
std::string repr_of(nb::handle x);
// A DEBUG record on logging.getLogger("orvane_data"), "<subject>: <why>", saying where and why a
// call leaves a native road; nothing is formatted unless that logger is enabled for DEBUG.
void log_fallback(const std::string &subject, const char *why);

// True when the caught error `e` is one of `types` (subclasses included), so that the native road
// that caught it may take another road; false for anything else, which the caller rethrows
// (`throw;`). KeyboardInterrupt, SystemExit and MemoryError, and whatever is not an Exception, are
// never expected, even under a broad name such as PyExc_Exception.
bool expected(const nb::python_error &e, std::initializer_list<PyObject *> types);

// getattr(obj, name, default) and hasattr(obj, name) as the interpreter has them: only an
// AttributeError means "no such attribute"; any other error raised while the attribute is fetched
// (by a property, say) reaches the caller. nanobind's getattr with a default and hasattr swallow
// every error, so the bindings use these.
nb::object attr_or(nb::handle obj, const char *name, nb::handle default_value);
bool has_attr(nb::handle obj, const char *name);

// Add a note (BaseException.add_note) to the error on its way to the caller; the error itself,
// its type and message, are unchanged. KeyboardInterrupt, SystemExit, MemoryError and whatever is
// not an Exception get no note: they pass exactly as they were raised.
void add_note(nb::python_error &e, const std::string &note);

// The interpreter strings `parts` joined, so any text (embedded NULs, lone surrogates) passes
// through unchanged; used for S3 keys and URLs.
nb::str cat(std::initializer_list<nb::handle> parts);

}  // namespace glue
