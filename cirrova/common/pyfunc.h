// Python-visible functions and classes implemented in C++.
//
// A `Method` describes one method: its name, parameters (name, annotation
// string, default), return annotation, Chinese docstring and the C++ body.
// `make_class` turns a list of methods into an ordinary Python class created
// through the metaclass of its bases, so the result behaves like a class
// written in Python: instances keep attributes in `__dict__`, methods bind
// through the descriptor protocol, subclasses may override anything, and
// `inspect.signature` works.
//
// Before the body runs, the arguments are bound like a Python function binds
// them (positional or keyword, defaults filled, Python's own arity messages)
// and checked against their annotations:
//   "str", "bytes", "Dict[...]", "List[...]"  exactly that type ("Optional[...]"
//                                             also admits None)
//   "int"                                     any number, converted with int()
//   "bool"                                    taken by its truth value
//   anything else                             not enforced
// A method whose return annotation is "str" checks its own result.
#pragma once

#include <nanobind/nanobind.h>

#include "thread_exit.h"

#include <array>
#include <cassert>
#include <initializer_list>
#include <string>
#include <vector>

namespace cirrova {

namespace nb = nanobind;

// A parameter's default value.
struct Default {
    enum Kind { Required, None, Bool, Int, Float, Str } kind = Required;
    long long i = 0;
    double f = 0;
    const char* s = nullptr;
};

inline constexpr Default required{};
inline constexpr Default none{Default::None};
constexpr Default def_bool(bool v) { return {Default::Bool, v ? 1 : 0}; }
constexpr Default def_int(long long v) { return {Default::Int, v}; }
constexpr Default def_float(double v) { return {Default::Float, 0, v}; }
constexpr Default def_str(const char* v) { return {Default::Str, 0, 0, v}; }

struct Param {
    const char* name;
    const char* annotation;  // nullptr: no annotation
    Default def = required;
    bool kw_only = false;    // after every positional one; needs a default
};

// The bound, checked arguments of one call (self excluded), never null;
// values annotated "int" are Python ints and values annotated "bool" are
// True or False. A body names them once at the top, in declaration order:
//   auto [key, data, content_type] = a.names<3>();
// N may stop short of size() when the trailing parameters go unused; it
// must not exceed size() (checked in debug builds). There is deliberately no
// indexed access, so that a body never refers to an argument by position.
class Args {
public:
    nb::handle self;

    size_t size() const { return count_; }

    template <size_t N>
    std::array<nb::handle, N> names() const {
        assert(N <= count_);
        std::array<nb::handle, N> r;
        for (size_t i = 0; i < N; ++i) r[i] = values_[i];
        return r;
    }

    // Extra keyword arguments of a method declared with **kwargs (a new dict
    // owned by the call; may be modified by the body).
    nb::dict& kwargs() {
        if (!kwargs_.ptr()) kwargs_ = nb::dict();
        return kwargs_;
    }

    Args(PyObject* self_, PyObject** values, size_t count, nb::dict kwargs)
        : self(self_), values_(values), count_(count), kwargs_(std::move(kwargs)) {}

private:
    PyObject** values_;
    size_t count_;
    nb::dict kwargs_;
};

using Impl = nb::object (*)(Args&);

struct Method {
    const char* name;
    Impl impl;
    std::vector<Param> params;      // self excluded
    const char* returns = nullptr;  // return annotation, nullptr for none
    const char* doc = nullptr;
    bool varkw = false;             // accepts **kwargs
};

struct Property {
    const char* name;
    Impl getter;                    // called with no parameters
    const char* returns = nullptr;
    const char* doc = nullptr;
};

// True when `self.<name>` is the function made for `impl`: not overridden in
// a subclass, not shadowed on the instance, looked up the ordinary way. A
// body may then do that method's work itself instead of calling it.
bool is_own(nb::handle self, PyObject* name, Impl impl);

// Creates a function object for `method` with the given qualified name and
// module name.
nb::object make_function(const Method& method, const std::string& qualname,
                         const std::string& module);

// Creates class `name` in module `m` from `bases` (as written) through the
// metaclass Python would pick, with the methods (and properties) in order,
// and stores it as a module attribute. Returns the class.
nb::object make_class(nb::module_& m, const char* name, nb::tuple bases,
                      const char* doc, const std::vector<Method>& methods,
                      const std::vector<Property>& properties = {});

// One import that a module performs at import time, bound as module
// attribute `as`: `import module as as` when `name` is null, else
// `from module import name as as`. `level` 1 makes the import relative to
// the module's package. A failing import fails the caller with that error.
struct Import {
    const char* as;
    const char* module;
    const char* name = nullptr;
    int level = 0;
};

void bind_imports(nb::module_& m, std::initializer_list<Import> imports);

// Looks up a module attribute (for names bound by bind_imports).
nb::object module_attr(nb::handle m, const char* name);

}  // namespace cirrova

// Defines the module init like NB_MODULE, except that an error raised while
// the module executes (a failing import, say) propagates unchanged instead of
// being wrapped in a new ImportError.
#define CIRROVA_MODULE(name, variable)                                         \
    static void cirrova_##name##_exec_impl(nanobind::module_);                \
    static int cirrova_##name##_exec(PyObject* m) {                           \
        nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m); \
        if (!nanobind::detail::internals) return -1;                          \
        try {                                                                 \
            cirrova::watch_interpreter_exit();                                \
            cirrova_##name##_exec_impl(nanobind::borrow<nanobind::module_>(m)); \
            return 0;                                                         \
        } catch (nanobind::python_error& e) {                                 \
            e.restore();                                                      \
        } catch (const std::exception& e) {                                   \
            PyErr_SetString(PyExc_ImportError, e.what());                     \
        }                                                                     \
        return -1;                                                            \
    }                                                                         \
    static PyObject* cirrova_##name##_def = nullptr;                          \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);      \
    extern "C" PyObject* PyInit_##name(void) {                                \
        nanobind::detail::init_singletons();                                  \
        if (!nanobind::detail::nb_backend_init(#name)) return nullptr;        \
        if (!cirrova_##name##_def)                                            \
            cirrova_##name##_def = NB_CALL(module_new)(                       \
                #name, nullptr, (void*)cirrova_##name##_exec, NB_ABI_MINOR_TAG); \
        return cirrova_##name##_def;                                          \
    }                                                                         \
    void cirrova_##name##_exec_impl(nanobind::module_ variable)
