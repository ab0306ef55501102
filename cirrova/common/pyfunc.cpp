#include "pyfunc.h"

#include "pyutil.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <typeinfo>

namespace cirrova {

namespace {

enum class Check : unsigned char { Any, Str, Bytes, Dict, List, Int, Bool };

struct ParamInfo {
    PyObject* name;  // interned
    Check check;
    bool optional;
    Py_hash_t hash = -1;  // of name
};

struct FuncData {
    Impl impl;
    std::vector<ParamInfo> params;  // self first
    size_t npos;                    // params that may come by position (self included); the rest are keyword-only
    bool varkw;
    bool returns_str;
};

struct CFunc {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncData* data;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;  // tuple or None
    PyObject* kwdefaults;  // dict or None
    PyObject* dict;
    PyObject* weakreflist;
};

constexpr size_t kMaxParams = 32;
// Nesting bound for calls between these functions that pass through no
// Python frame (an override loop), far below what the C stack holds.
constexpr int kMaxDepth = 1000;
thread_local int t_depth = 0;

// A call that finds less than a margin of this thread's stack left is
// refused with RecursionError. Overrides that call back into these methods
// put several C frames per level on the stack (the interpreter's among
// them), so a depth count alone overflows small thread stacks first.
thread_local char* t_stack_limit = nullptr;  // below this, calls are refused
thread_local bool t_stack_limit_known = false;

bool stack_nearly_full() {
    const StackBounds& s = thread_stack();
    if (!t_stack_limit_known) {
        t_stack_limit_known = true;
        if (s.low) {
            size_t size = (size_t)(s.high - s.low);
            size_t margin = std::clamp<size_t>(size / 8, 64 << 10, 1 << 20);
            t_stack_limit = s.low + std::min(margin, size / 2);
        }
    }
    char* sp = (char*)__builtin_frame_address(0);
    // A stack of its own (a coroutine library's) lies outside the bounds: not judged.
    return s.low && sp >= s.low && sp < t_stack_limit;
}

PyTypeObject* g_func_type = nullptr;
PyObject* g_method_type = nullptr;  // types.MethodType

Check parse_annotation(const char* ann, bool& optional) {
    optional = false;
    if (!ann) return Check::Any;
    std::string_view s(ann);
    if (s.starts_with("Optional[") && s.ends_with("]")) {
        optional = true;
        s = s.substr(9, s.size() - 10);
    }
    if (s == "str") return Check::Str;
    if (s == "bytes") return Check::Bytes;
    if (s == "int") return Check::Int;
    if (s == "bool") return Check::Bool;
    if (s == "dict" || s == "Dict" || s.starts_with("Dict[")) return Check::Dict;
    if (s == "list" || s == "List" || s.starts_with("List[")) return Check::List;
    return Check::Any;
}

const char* expected_name(Check c) {
    switch (c) {
        case Check::Str: return "str";
        case Check::Bytes: return "bytes";
        case Check::Dict: return "dict";
        case Check::List: return "list";
        case Check::Int: return "int";
        default: return "object";
    }
}

bool exact(PyObject* o, Check c) {
    switch (c) {
        case Check::Str: return Py_IS_TYPE(o, &PyUnicode_Type);
        case Check::Bytes: return Py_IS_TYPE(o, &PyBytes_Type);
        case Check::Dict: return Py_IS_TYPE(o, &PyDict_Type);
        case Check::List: return Py_IS_TYPE(o, &PyList_Type);
        default: return true;
    }
}

void set_type_error(PyObject* name, Check c, PyObject* got) {
    std::string tn;
    try {
        tn = py_type_name(got);
    } catch (nb::python_error& e) {
        e.restore();
        return;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200U' has incorrect type (expected %.200s, got %.200s)", name,
                 expected_name(c), tn.c_str());
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as CPython writes them.
PyObject* join_names(const std::vector<PyObject*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(names[i], &n);
        if (!p) return nullptr;
        if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out.append(p, (size_t)n);
        out += '\'';
    }
    return PyUnicode_FromStringAndSize(out.data(), (Py_ssize_t)out.size());
}

Py_ssize_t n_defaults(CFunc* f) { return PyTuple_Check(f->defaults) ? PyTuple_Size(f->defaults) : 0; }

void too_many_positional(CFunc* f, size_t np, Py_ssize_t given) {
    Py_ssize_t nd = n_defaults(f);
    Py_ssize_t max = (Py_ssize_t)np, min = max - nd;
    if (nd)
        PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given", f->qualname,
                     min, max, given, given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, max,
                     max == 1 ? "" : "s", given, given == 1 ? "was" : "were");
}

CIRROVA_CATCHES_FORCED_UNWIND PyObject* call_impl(CFunc* f, PyObject** vals, size_t np, PyObject* extra) {
    FuncData& d = *f->data;
    PyObject* owned[kMaxParams];
    size_t nowned = 0;
    PyObject* result = nullptr;
    // Annotation checks, in parameter order.
    for (size_t j = 1; j < np; ++j) {
        const ParamInfo& p = d.params[j];
        PyObject* v = vals[j];
        if (p.check == Check::Any || (p.optional && v == Py_None)) continue;
        if (p.check == Check::Int) {
            if (PyLong_CheckExact(v)) continue;
            if (!PyNumber_Check(v)) {
                set_type_error(p.name, p.check, v);
                goto done;
            }
            PyObject* n = PyNumber_Long(v);
            if (!n) goto done;
            owned[nowned++] = vals[j] = n;
        } else if (p.check == Check::Bool) {
            int t = PyObject_IsTrue(v);
            if (t < 0) goto done;
            PyObject* b = t ? Py_True : Py_False;
            Py_INCREF(b);
            owned[nowned++] = vals[j] = b;
        } else if (!exact(v, p.check)) {
            set_type_error(p.name, p.check, v);
            goto done;
        }
    }
    if (t_depth >= kMaxDepth || stack_nearly_full()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a cirrova method");
        goto done;
    }
    if (Py_EnterRecursiveCall(" while calling a cirrova method")) goto done;
    ++t_depth;
    try {
        Args a(vals[0], vals + 1, np - 1, nb::steal<nb::dict>(extra));
        extra = nullptr;  // owned by `a`
        nb::object r = d.impl(a);
        if (!r.ptr()) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "method returned no value");
        } else if (d.returns_str && r.ptr() != Py_None && !PyUnicode_CheckExact(r.ptr())) {
            std::string tn = py_type_name(r);
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", tn.c_str());
        } else {
            result = r.release().ptr();
        }
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::bad_cast&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "incompatible value");
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (abi::__forced_unwind&) {
        throw;  // the interpreter ends this thread: no Python state may be touched
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    --t_depth;
    Py_LeaveRecursiveCall();
done:
    Py_XDECREF(extra);
    for (size_t i = 0; i < nowned; ++i) Py_DECREF(owned[i]);
    return result;
}

PyObject* func_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    CFunc* f = (CFunc*)callable;
    FuncData& d = *f->data;
    const size_t np = d.params.size();
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if ((size_t)nargs > d.npos) {
        too_many_positional(f, d.npos, nargs);
        return nullptr;
    }
    PyObject* vals[kMaxParams];
    for (Py_ssize_t i = 0; i < nargs; ++i) vals[i] = args[i];
    for (size_t i = (size_t)nargs; i < np; ++i) vals[i] = nullptr;
    PyObject* extra = nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* name = PyTuple_GetItem(kwnames, k);
            PyObject* value = args[nargs + k];
            size_t j = 0;
            for (; j < np; ++j)
                if (d.params[j].name == name) break;
            if (j == np) {
                // Equal str have equal hashes: most names are rejected without a compare.
                Py_hash_t h = PyUnicode_CheckExact(name) ? PyObject_Hash(name) : -1;
                if (h == -1) PyErr_Clear();
                for (j = 0; j < np; ++j) {
                    if (h != -1 && d.params[j].hash != h) continue;
                    int eq = PyObject_RichCompareBool(d.params[j].name, name, Py_EQ);
                    if (eq < 0) goto fail;
                    if (eq) break;
                }
            }
            if (j < np) {
                if (vals[j]) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", f->qualname, name);
                    goto fail;
                }
                vals[j] = value;
            } else if (d.varkw) {
                if (!extra && !(extra = PyDict_New())) goto fail;
                if (PyDict_SetItem(extra, name, value) < 0) goto fail;
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->qualname, name);
                goto fail;
            }
        }
    }
    {
        Py_ssize_t nd = n_defaults(f);
        size_t first_default = d.npos - (size_t)nd;
        std::vector<PyObject*> missing;
        for (size_t j = 0; j < np; ++j) {
            if (vals[j]) continue;
            if (j >= d.npos)  // keyword-only: always with a default
                vals[j] = PyDict_GetItem(f->kwdefaults, d.params[j].name);
            else if (j >= first_default)
                vals[j] = PyTuple_GetItem(f->defaults, (Py_ssize_t)(j - first_default));
            else
                missing.push_back(d.params[j].name);
        }
        if (!missing.empty()) {
            PyObject* names = join_names(missing);
            if (names) {
                PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname,
                             (Py_ssize_t)missing.size(), missing.size() == 1 ? "" : "s", names);
                Py_DECREF(names);
            }
            goto fail;
        }
    }
    if (d.varkw && !extra && !(extra = PyDict_New())) goto fail;
    return call_impl(f, vals, np, extra);
fail:
    Py_XDECREF(extra);
    return nullptr;
}

// --- type slots -------------------------------------------------------------

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    CFunc* f = (CFunc*)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    return 0;
}

int func_clear(PyObject* self) {
    CFunc* f = (CFunc*)self;
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    return 0;
}

void func_dealloc(PyObject* self) {
    CFunc* f = (CFunc*)self;
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    func_clear(self);
    delete f->data;
    f->data = nullptr;
    auto free_fn = (freefunc)PyType_GetSlot(tp, Py_tp_free);
    free_fn(self);
    Py_DECREF(tp);
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    PyObject* args[2] = {self, obj};
    return PyObject_Vectorcall(g_method_type, args, 2, nullptr);
}

PyObject* func_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", ((CFunc*)self)->qualname, self);
}

template <size_t Offset>
PyObject* get_field(PyObject* self, void*) {
    PyObject* v = *(PyObject**)((char*)self + Offset);
    if (!v) v = Py_None;
    Py_INCREF(v);
    return v;
}

template <size_t Offset, bool StrOnly, bool DictOnly>
int set_field(PyObject* self, PyObject* value, void*) {
    if (!value) {
        if (StrOnly || DictOnly) {
            PyErr_SetString(PyExc_TypeError, "cannot delete this attribute");
            return -1;
        }
        value = Py_None;
    }
    if (StrOnly && !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    if (DictOnly && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    PyObject** slot = (PyObject**)((char*)self + Offset);
    Py_INCREF(value);
    PyObject* old = *slot;
    *slot = value;
    Py_XDECREF(old);
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = ((CFunc*)self)->kwdefaults;
    if (!d || d == Py_None) Py_RETURN_NONE;
    return PyDict_Copy(d);
}

PyObject* get_signature(PyObject* self, void*) {
    CFunc* f = (CFunc*)self;
    try {
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object Parameter = inspect.attr("Parameter");
        nb::object Signature = inspect.attr("Signature");
        nb::object empty = Parameter.attr("empty");
        nb::object pok = Parameter.attr("POSITIONAL_OR_KEYWORD");
        nb::object kwonly = Parameter.attr("KEYWORD_ONLY");
        nb::handle ann = f->annotations;
        size_t np = f->data->params.size(), npos = f->data->npos;
        Py_ssize_t nd = n_defaults(f);
        size_t first_default = npos - (size_t)nd;
        nb::list params;
        for (size_t j = 0; j < np; ++j) {
            nb::handle name = f->data->params[j].name;
            nb::object a = mapping_get(ann, name);
            nb::object dflt = j >= npos ? nb::borrow(PyDict_GetItem(f->kwdefaults, name.ptr()))
                              : j >= first_default
                                  ? nb::borrow(PyTuple_GetItem(f->defaults, (Py_ssize_t)(j - first_default)))
                                  : empty;
            params.append(Parameter(name, j >= npos ? kwonly : pok, nb::arg("default") = dflt,
                                    nb::arg("annotation") = a.ptr() ? a : empty));
        }
        if (f->data->varkw) params.append(Parameter("kwargs", Parameter.attr("VAR_KEYWORD")));
        nb::object ret = mapping_get(ann, nb::str("return"));
        return Signature(params, nb::arg("return_annotation") = ret.ptr() ? ret : Signature.attr("empty"))
            .release()
            .ptr();
    } catch (nb::python_error& e) {
        e.restore();
        return nullptr;
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

PyGetSetDef func_getset[] = {
    {"__name__", get_field<offsetof(CFunc, name)>, set_field<offsetof(CFunc, name), true, false>, nullptr, nullptr},
    {"__qualname__", get_field<offsetof(CFunc, qualname)>, set_field<offsetof(CFunc, qualname), true, false>, nullptr,
     nullptr},
    {"__module__", get_field<offsetof(CFunc, module)>, set_field<offsetof(CFunc, module), false, false>, nullptr,
     nullptr},
    {"__doc__", get_field<offsetof(CFunc, doc)>, set_field<offsetof(CFunc, doc), false, false>, nullptr, nullptr},
    {"__annotations__", get_field<offsetof(CFunc, annotations)>, set_field<offsetof(CFunc, annotations), false, true>,
     nullptr, nullptr},
    {"__defaults__", get_field<offsetof(CFunc, defaults)>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, (Py_ssize_t)offsetof(CFunc, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, (Py_ssize_t)offsetof(CFunc, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, (Py_ssize_t)offsetof(CFunc, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* func_type() {
    if (g_func_type) return g_func_type;
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*)func_dealloc},
        {Py_tp_traverse, (void*)func_traverse},
        {Py_tp_clear, (void*)func_clear},
        {Py_tp_call, (void*)PyVectorcall_Call},
        {Py_tp_descr_get, (void*)func_descr_get},
        {Py_tp_repr, (void*)func_repr},
        {Py_tp_getset, (void*)func_getset},
        {Py_tp_members, (void*)func_members},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "cirrova.function",
        (int)sizeof(CFunc),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    nb::object types = steal_or_throw(PyImport_ImportModule("types"));
    g_method_type = steal_or_throw(PyObject_GetAttrString(types.ptr(), "MethodType")).release().ptr();
    g_func_type = (PyTypeObject*)steal_or_throw(PyType_FromSpec(&spec)).release().ptr();
    return g_func_type;
}

nb::object make_default(const Default& d) {
    switch (d.kind) {
        case Default::None: return nb::none();
        case Default::Bool: return nb::bool_(d.i != 0);
        case Default::Int: return steal_or_throw(PyLong_FromLongLong(d.i));
        case Default::Float: return steal_or_throw(PyFloat_FromDouble(d.f));
        case Default::Str: return to_str(d.s);
        default: return nb::object();
    }
}

}  // namespace

bool is_own(nb::handle self, PyObject* name, Impl impl) {
    PyTypeObject* tp = Py_TYPE(self.ptr());
    if (PyType_GetSlot(tp, Py_tp_getattro) != (void*)PyObject_GenericGetAttr) return false;
    PyObject* found = PyObject_GetAttr((PyObject*)tp, name);
    if (!found) {
        PyErr_Clear();
        return false;
    }
    bool own = Py_IS_TYPE(found, g_func_type) && ((CFunc*)found)->data->impl == impl;
    Py_DECREF(found);
    if (!own) return false;
    // An instance attribute of that name would win over the class's function.
    PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    int shadowed = PyDict_Check(dict) ? PyDict_Contains(dict, name) : 1;
    Py_DECREF(dict);
    if (shadowed < 0) PyErr_Clear();
    return shadowed == 0;
}

nb::object make_function(const Method& method, const std::string& qualname, const std::string& module) {
    PyTypeObject* tp = func_type();
    if (method.params.size() + 1 > kMaxParams) raise(PyExc_SystemError, "too many parameters");
    auto data = std::make_unique<FuncData>();
    data->impl = method.impl;
    data->varkw = method.varkw;
    data->returns_str = method.returns && std::string_view(method.returns) == "str";
    data->params.push_back({intern_forever("self"), Check::Any, false});
    data->params.back().hash = PyObject_Hash(data->params.back().name);
    nb::dict annotations;
    nb::list defaults;
    nb::dict kwdefaults;
    data->npos = 1;
    for (const Param& p : method.params) {
        bool optional = false;
        Check c = parse_annotation(p.annotation, optional);
        data->params.push_back({intern_forever(p.name), c, optional});
        data->params.back().hash = PyObject_Hash(data->params.back().name);
        if (data->params.back().hash == -1) raise_current();
        if (p.annotation) annotations[p.name] = p.annotation;
        if (p.kw_only) {
            if (p.def.kind == Default::Required) raise(PyExc_SystemError, "a keyword-only parameter needs a default");
            kwdefaults[p.name] = make_default(p.def);
            continue;
        }
        if (nb::len(kwdefaults)) raise(PyExc_SystemError, "a positional parameter follows a keyword-only one");
        ++data->npos;
        if (p.def.kind != Default::Required)
            defaults.append(make_default(p.def));
        else if (nb::len(defaults))
            raise(PyExc_SystemError, "a parameter without default follows one with a default");
    }
    if (method.returns) annotations["return"] = method.returns;

    auto alloc = (allocfunc)PyType_GetSlot(tp, Py_tp_alloc);
    CFunc* f = (CFunc*)alloc(tp, 0);
    if (!f) raise_current();
    nb::object owner = nb::steal((PyObject*)f);
    f->vectorcall = func_vectorcall;
    f->data = data.release();
    f->name = to_str(method.name).release().ptr();
    f->qualname = to_str(qualname).release().ptr();
    f->module = to_str(module).release().ptr();
    f->doc = method.doc ? to_str(method.doc).release().ptr() : nb::none().release().ptr();
    f->annotations = annotations.release().ptr();
    f->defaults = nb::len(defaults) ? steal_or_throw(PyList_AsTuple(defaults.ptr())).release().ptr()
                                    : nb::none().release().ptr();
    f->kwdefaults = nb::len(kwdefaults) ? kwdefaults.release().ptr() : nb::none().release().ptr();
    return owner;
}

nb::object make_class(nb::module_& m, const char* name, nb::tuple bases, const char* doc,
                      const std::vector<Method>& methods, const std::vector<Property>& properties) {
    std::string module(utf8(getattr(m, CIRROVA_STR("__name__"))));
    nb::module_ types = nb::module_::import_("types");
    nb::tuple prepared = nb::cast<nb::tuple>(types.attr("prepare_class")(name, bases));
    nb::object meta = prepared[0];
    nb::object ns = prepared[1];
    ns["__module__"] = module;
    ns["__qualname__"] = name;
    if (doc) ns["__doc__"] = doc;
    std::string prefix = std::string(name) + ".";
    for (const Method& meth : methods) ns[meth.name] = make_function(meth, prefix + meth.name, module);
    nb::object property = nb::module_::import_("builtins").attr("property");
    for (const Property& p : properties) {
        Method getter{p.name, p.getter, {}, p.returns, p.doc};
        ns[p.name] = property(make_function(getter, prefix + p.name, module), nb::none(), nb::none(),
                              p.doc ? nb::object(nb::str(p.doc)) : nb::object(nb::none()));
    }
    nb::object cls = meta(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

void bind_imports(nb::module_& m, std::initializer_list<Import> imports) {
    nb::object modname = getattr(m, CIRROVA_STR("__name__"));
    std::string full(utf8(modname));
    size_t dot = full.rfind('.');
    std::string package = dot == std::string::npos ? std::string() : full.substr(0, dot);
    nb::dict globals;
    globals["__name__"] = modname;
    globals["__package__"] = package;
    for (const Import& imp : imports) {
        nb::object fromlist = imp.name ? nb::object(nb::make_tuple(imp.name)) : nb::object(nb::none());
        nb::object mod = steal_or_throw(
            PyImport_ImportModuleLevel(imp.module, globals.ptr(), nullptr, fromlist.ptr(), imp.level));
        nb::object value;
        if (!imp.name) {
            if (imp.level == 0 && std::string_view(imp.module).find('.') != std::string_view::npos)
                mod = steal_or_throw(PyImport_ImportModule(imp.module));  // the leaf module
            value = mod;
        } else {
            PyObject* v = PyObject_GetAttrString(mod.ptr(), imp.name);
            if (!v) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
                PyErr_Clear();
                nb::object mname = getattr(mod, CIRROVA_STR("__name__"));
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", imp.name, mname.ptr());
                raise_current();
            }
            value = nb::steal(v);
        }
        m.attr(imp.as) = value;
    }
}

nb::object module_attr(nb::handle m, const char* name) {
    return steal_or_throw(PyObject_GetAttrString(m.ptr(), name));
}

}  // namespace cirrova
