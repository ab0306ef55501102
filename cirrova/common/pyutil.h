// Small helpers at the C++/Python boundary shared by every client.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "thread_exit.h"

#include <string>
#include <string_view>

namespace cirrova {

namespace nb = nanobind;

// An interned Python string, created once per call site:
//   PyObject* k = CIRROVA_STR("headers");   (borrowed, lives forever)
#define CIRROVA_STR(text)                                                   \
    ([]() -> PyObject* {                                                    \
        static PyObject* s_ = ::cirrova::intern_forever(text);              \
        return s_;                                                          \
    }())

PyObject* intern_forever(const char* text);

// Raises `type(message)` as a C++ exception that the method machinery turns
// back into the Python error.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises the plain `Exception(message)`.
[[noreturn]] void raise_exception(const std::string& message);
// Throws the Python error that is currently set.
[[noreturn]] void raise_current();

// Takes the Python error out of a caught exception, as an object; the
// exception then holds nothing. For a handler that calls Python before it
// rethrows: the call may let the interpreter end this thread at exit, and the
// forced unwind would destroy the caught exception, whose release of its
// error takes the interpreter lock, which a thread being ended cannot do from
// that noexcept path (the process aborts). An object is left alone instead.
nb::object take_error(nb::python_error& e) noexcept;
// Throws an error kept by take_error again.
[[noreturn]] void rethrow_error(nb::object error);

// Checks a CPython result: throws the pending Python error when `o` is null.
inline nb::object steal_or_throw(PyObject* o) {
    if (!o) raise_current();
    return nb::steal(o);
}

// UTF-8 view of a str, valid while the str lives. Anything else, or a str
// with lone surrogates, throws the error of PyUnicode_AsUTF8AndSize.
std::string_view utf8(nb::handle s);
nb::str to_str(std::string_view s);
nb::bytes to_bytes(std::string_view s);
// Bytes content view (valid while the object lives); raises TypeError for
// non-bytes.
std::string_view bytes_view(nb::handle b);

// Python type name as CPython's tp_name spells it ("int", "collections.OrderedDict").
std::string py_type_name(nb::handle o);

bool is_str(nb::handle o);      // exactly str
bool is_bytes(nb::handle o);    // exactly bytes
bool is_dict(nb::handle o);     // exactly dict
bool truthy(nb::handle o);      // PyObject_IsTrue, errors thrown

// `mapping` has the key `name`, or a str key whose lower-cased form equals
// `lower` (ASCII lower case). Works on any mapping; errors of the mapping
// propagate.
bool has_key_ci(nb::handle mapping, nb::handle name, std::string_view lower);
// The value under the first key whose ASCII lower-cased form equals `lower`,
// or an empty object.
nb::object get_ci(nb::handle mapping, std::string_view lower);

// mapping.get(key) for any mapping: returns the value or an empty handle.
nb::object mapping_get(nb::handle mapping, nb::handle key);

std::string ascii_lower(std::string_view s);
// `s` equals `lower` (already lower case) ignoring ASCII letter case.
bool ascii_iequals(std::string_view s, std::string_view lower);
std::string_view trim(std::string_view s);
// `s` with every occurrence of `from` removed (str.replace(from, "")).
std::string replace_all(std::string_view s, std::string_view from);

// Vectorcall helpers: call `callable` with positional `args` and keywords
// (`kwnames` a tuple of str or null, values following the positionals).
nb::object vcall(nb::handle callable, std::initializer_list<PyObject*> args,
                 nb::handle kwnames = nb::handle());
// self.name(*args, **kw) through PyObject_VectorcallMethod (honours overrides).
nb::object call_method(nb::handle self, PyObject* name, std::initializer_list<PyObject*> args,
                       nb::handle kwnames = nb::handle());
// The same over an array of `n` arguments.
nb::object call_method(nb::handle self, PyObject* name, PyObject* const* args, size_t n,
                       nb::handle kwnames = nb::handle());
// obj.name(*args, **kw) for a dict `kw`, by vectorcall: no bound method,
// argument tuple or keyword dict for the callee to unpack.
nb::object call_method_kw(nb::handle obj, PyObject* name, std::initializer_list<PyObject*> args, nb::handle kw);
// A tuple of interned keyword names, created once per call site.
#define CIRROVA_KWNAMES(...)                                                \
    ([]() -> nb::handle {                                                   \
        static PyObject* t_ = ::cirrova::kwnames_forever({__VA_ARGS__});    \
        return t_;                                                          \
    }())
PyObject* kwnames_forever(std::initializer_list<const char*> names);

// Breaks the cycle between a read httpx response and its stream so that the
// reply, its body and its request's body are freed at once instead of at the
// next garbage collection.
void release_reply(nb::handle resp);

// Runs `f` (a clean-up on a way out) keeping the Python error pending before
// it; an error `f` itself raises is dropped. In a thread that the interpreter
// is ending (no lock held) nothing runs.
template <class F>
CIRROVA_CATCHES_FORCED_UNWIND void run_keeping_error(F&& f) noexcept {
    if (!python_usable()) return;
    PyObject* pending = PyErr_GetRaisedException();
    try {
        f();
    } catch (abi::__forced_unwind&) {
        park_exiting_thread();  // may not leave a destructor
    } catch (...) {
    }
    PyErr_Clear();
    if (pending) PyErr_SetRaisedException(pending);
}

// os.makedirs(os.path.dirname(path), exist_ok=True), through the given `os`
// module, when the directory part is non-empty.
void make_parent_dirs(nb::handle os, nb::handle path);

// getattr(o, name), or an empty object when the attribute is absent
// (hasattr semantics: only AttributeError means "absent").
nb::object optional_attr(nb::handle o, PyObject* name);
// data.read() when `data` has a "read" attribute, else `data` itself.
nb::object read_if_readable(nb::handle data);

nb::object str_of(nb::handle o);               // str(o)
std::string text_of(nb::handle o);             // str(o) as UTF-8 (o itself when a str)
std::string status_and_text(nb::handle resp);  // "<status_code> <text>" of a reply
long status_code(nb::handle resp);             // resp.status_code as a C long

// getattr(import module, name).
nb::object import_attr(const char* module, const char* name);

// A str attribute of an object together with its UTF-8 view (valid while
// `obj` lives). Any other type raises TypeError naming the attribute and the
// type found, instead of the bare error of a failed conversion.
struct StrAttr {
    nb::object obj;
    std::string_view view;
    StrAttr(nb::handle self, PyObject* name);
};

inline StrAttr str_attr(nb::handle self, PyObject* name) { return StrAttr(self, name); }
// The TypeError of StrAttr for attribute `name` holding `found`.
[[noreturn]] void raise_attr_type(PyObject* name, nb::handle found);

// The client's temporary-credential token: self.session_token when it is a
// non-empty str; an empty object when it is None, "" or absent (a subclass
// that skips the base constructor). Any other type raises TypeError.
nb::object session_token(nb::handle self);

// getattr(self, name) with an interned name.
nb::object getattr(nb::handle o, PyObject* name);
void setattr(nb::handle o, PyObject* name, nb::handle value);

}  // namespace cirrova
