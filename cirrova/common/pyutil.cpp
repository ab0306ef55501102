#include "pyutil.h"

#include <new>
#include <vector>

namespace cirrova {

PyObject* intern_forever(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) raise_current();
    return s;  // kept for the life of the process
}

PyObject* kwnames_forever(std::initializer_list<const char*> names) {
    PyObject* t = PyTuple_New((Py_ssize_t)names.size());
    if (!t) raise_current();
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (!s) {
            Py_DECREF(t);
            raise_current();
        }
        PyTuple_SetItem(t, i++, s);
    }
    return t;
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

void raise_exception(const std::string& message) { raise(PyExc_Exception, message); }

void raise_current() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw nb::python_error();
}

nb::object take_error(nb::python_error& e) noexcept {
    e.restore();
    return nb::steal(PyErr_GetRaisedException());
}

void rethrow_error(nb::object error) {
    PyErr_SetRaisedException(error.release().ptr());
    throw nb::python_error();
}

std::string_view utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) raise_current();
    return {p, (size_t)n};
}

nb::str to_str(std::string_view s) {
    return nb::steal<nb::str>(steal_or_throw(PyUnicode_FromStringAndSize(s.data(), (Py_ssize_t)s.size())).release());
}

nb::bytes to_bytes(std::string_view s) {
    return nb::steal<nb::bytes>(steal_or_throw(PyBytes_FromStringAndSize(s.data(), (Py_ssize_t)s.size())).release());
}

std::string_view bytes_view(nb::handle b) {
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(b.ptr(), &p, &n) < 0) raise_current();
    return {p, (size_t)n};
}

std::string py_type_name(nb::handle o) {
    PyTypeObject* t = Py_TYPE(o.ptr());
    nb::object name = steal_or_throw(PyType_GetName(t));
    std::string out(utf8(name));
    if (!(PyType_GetFlags(t) & Py_TPFLAGS_HEAPTYPE)) {
        // Static types spell their module in tp_name, builtins excepted.
        PyObject* mod = PyObject_GetAttrString((PyObject*)t, "__module__");
        if (!mod) {
            PyErr_Clear();
        } else {
            nb::object m = nb::steal(mod);
            if (PyUnicode_Check(mod) && PyUnicode_CompareWithASCIIString(mod, "builtins") != 0)
                out = std::string(utf8(m)) + "." + out;
        }
    }
    return out;
}

bool is_str(nb::handle o) { return Py_IS_TYPE(o.ptr(), &PyUnicode_Type); }
bool is_bytes(nb::handle o) { return Py_IS_TYPE(o.ptr(), &PyBytes_Type); }
bool is_dict(nb::handle o) { return Py_IS_TYPE(o.ptr(), &PyDict_Type); }

bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) raise_current();
    return r != 0;
}

bool ascii_iequals(std::string_view s, std::string_view lower) {
    if (s.size() != lower.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// Iterates the keys of any mapping; `fn(key)` returns true to stop.
template <class F>
static bool for_each_key(nb::handle mapping, F&& fn) {
    if (PyDict_Check(mapping.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(mapping.ptr(), &pos, &k, &v)) {
            nb::object keep = nb::borrow(k);
            if (fn(nb::handle(k), nb::handle(v))) return true;
        }
        return false;
    }
    nb::object it = steal_or_throw(PyObject_GetIter(mapping.ptr()));
    while (PyObject* k = PyIter_Next(it.ptr())) {
        nb::object key = nb::steal(k);
        if (fn(nb::handle(k), nb::handle())) return true;
    }
    if (PyErr_Occurred()) raise_current();
    return false;
}

bool has_key_ci(nb::handle mapping, nb::handle name, std::string_view lower) {
    int r = PySequence_Contains(mapping.ptr(), name.ptr());
    if (r < 0) raise_current();
    if (r) return true;
    return for_each_key(mapping, [&](nb::handle k, nb::handle) {
        if (!PyUnicode_Check(k.ptr())) return false;
        return ascii_iequals(utf8(k), lower);
    });
}

nb::object get_ci(nb::handle mapping, std::string_view lower) {
    nb::object found;
    for_each_key(mapping, [&](nb::handle k, nb::handle v) {
        if (!PyUnicode_Check(k.ptr()) || !ascii_iequals(utf8(k), lower)) return false;
        found = v ? nb::borrow(v) : steal_or_throw(PyObject_GetItem(mapping.ptr(), k.ptr()));
        return true;
    });
    return found;
}

nb::object mapping_get(nb::handle mapping, nb::handle key) {
    if (PyDict_Check(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!v && PyErr_Occurred()) raise_current();
        return nb::borrow(v);
    }
    PyObject* v = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            return nb::object();
        }
        raise_current();
    }
    return nb::steal(v);
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return out;
}

std::string_view trim(std::string_view s) {
    // The white space of str.strip() within ASCII.
    auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || (c >= 0x1c && c <= 0x1f); };
    size_t b = 0, e = s.size();
    while (b < e && ws(s[b])) ++b;
    while (e > b && ws(s[e - 1])) --e;
    return s.substr(b, e - b);
}

nb::object vcall(nb::handle callable, std::initializer_list<PyObject*> args, nb::handle kwnames) {
    size_t n = args.size();
    PyObject* buf[16];
    if (n + 1 > 16) raise(PyExc_SystemError, "too many arguments");
    size_t i = 1;
    for (PyObject* a : args) buf[i++] = a;
    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames.ptr()) : 0;
    size_t npos = n - (size_t)nkw;
    return steal_or_throw(PyObject_Vectorcall(callable.ptr(), buf + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              kwnames ? kwnames.ptr() : nullptr));
}

nb::object call_method_kw(nb::handle obj, PyObject* name, std::initializer_list<PyObject*> args, nb::handle kw) {
    Py_ssize_t nkw = PyDict_Size(kw.ptr());
    if (nkw < 0) raise_current();
    size_t npos = args.size() + 1;
    const size_t n = npos + (size_t)nkw;
    PyObject* small[12];
    std::vector<PyObject*> large;
    PyObject** stack = small;
    if (n > 12) {
        large.resize(n);
        stack = large.data();
    }
    stack[0] = obj.ptr();
    size_t i = 1;
    for (PyObject* a : args) stack[i++] = a;
    nb::object names = steal_or_throw(PyTuple_New(nkw));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    // No Python code runs while the dict is walked; the tuple and the dict
    // hold the references.
    while (PyDict_Next(kw.ptr(), &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SetItem(names.ptr(), k++, key);
        stack[i++] = value;
    }
    return steal_or_throw(PyObject_VectorcallMethod(name, stack, npos, nkw ? names.ptr() : nullptr));
}

nb::object call_method(nb::handle self, PyObject* name, PyObject* const* args, size_t n, nb::handle kwnames) {
    PyObject* buf[16];
    if (n + 1 > 16) raise(PyExc_SystemError, "too many arguments");
    buf[0] = self.ptr();
    for (size_t i = 0; i < n; ++i) buf[i + 1] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames.ptr()) : 0;
    size_t npos = n + 1 - (size_t)nkw;
    return steal_or_throw(PyObject_VectorcallMethod(name, buf, npos, kwnames ? kwnames.ptr() : nullptr));
}

nb::object call_method(nb::handle self, PyObject* name, std::initializer_list<PyObject*> args, nb::handle kwnames) {
    return call_method(self, name, args.begin(), args.size(), kwnames);
}

void release_reply(nb::handle resp) {
    PyObject* name = CIRROVA_STR("stream");
    if (PyObject_HasAttr(resp.ptr(), name) && PyObject_SetAttr(resp.ptr(), name, Py_None) < 0)
        PyErr_Clear();  // a read-only attribute: left to the collector
}

void raise_attr_type(PyObject* name, nb::handle found) {
    raise(PyExc_TypeError, "attribute '" + std::string(utf8(name)) + "' must be str, got " + py_type_name(found));
}

StrAttr::StrAttr(nb::handle self, PyObject* name) : obj(getattr(self, name)) {
    if (!PyUnicode_Check(obj.ptr())) raise_attr_type(name, obj);
    view = utf8(obj);
}

nb::object session_token(nb::handle self) {
    PyObject* name = CIRROVA_STR("session_token");
    nb::object token = optional_attr(self, name);
    if (!token.is_valid() || token.is_none()) return nb::object();
    if (!PyUnicode_Check(token.ptr())) raise_attr_type(name, token);
    if (PyUnicode_GetLength(token.ptr()) == 0) return nb::object();
    return token;
}

nb::object getattr(nb::handle o, PyObject* name) { return steal_or_throw(PyObject_GetAttr(o.ptr(), name)); }

void setattr(nb::handle o, PyObject* name, nb::handle value) {
    if (PyObject_SetAttr(o.ptr(), name, value.ptr()) < 0) raise_current();
}

nb::object optional_attr(nb::handle o, PyObject* name) {
    PyObject* v = PyObject_GetAttr(o.ptr(), name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(v);
}

std::string replace_all(std::string_view s, std::string_view from) {
    if (from.empty()) return std::string(s);
    std::string out;
    out.reserve(s.size());
    size_t pos = 0;
    for (size_t hit; (hit = s.find(from, pos)) != std::string_view::npos; pos = hit + from.size())
        out.append(s.substr(pos, hit - pos));
    out.append(s.substr(pos));
    return out;
}

nb::object str_of(nb::handle o) { return steal_or_throw(PyObject_Str(o.ptr())); }

std::string text_of(nb::handle o) {
    if (is_str(o)) return std::string(utf8(o));
    nb::object s = str_of(o);
    return std::string(utf8(s));
}

std::string status_and_text(nb::handle resp) {
    nb::object status = getattr(resp, CIRROVA_STR("status_code"));
    nb::object text = getattr(resp, CIRROVA_STR("text"));
    return text_of(status) + " " + text_of(text);
}

long status_code(nb::handle resp) {
    nb::object code = getattr(resp, CIRROVA_STR("status_code"));
    long v = PyLong_AsLong(code.ptr());
    if (v == -1 && PyErr_Occurred()) raise_current();
    return v;
}

nb::object import_attr(const char* module, const char* name) {
    nb::object m = steal_or_throw(PyImport_ImportModule(module));
    return steal_or_throw(PyObject_GetAttrString(m.ptr(), name));
}

void make_parent_dirs(nb::handle os, nb::handle path) {
    nb::object ospath = getattr(os, CIRROVA_STR("path"));
    nb::object dir = call_method(ospath, CIRROVA_STR("dirname"), {path.ptr()});
    if (truthy(dir)) call_method(os, CIRROVA_STR("makedirs"), {dir.ptr(), Py_True}, CIRROVA_KWNAMES("exist_ok"));
}

nb::object read_if_readable(nb::handle data) {
    PyObject* o = data.ptr();
    // The common bodies have no "read": skip the failed lookup and its exception.
    if (Py_IS_TYPE(o, &PyBytes_Type) || Py_IS_TYPE(o, &PyUnicode_Type) || Py_IS_TYPE(o, &PyByteArray_Type))
        return nb::borrow(data);
    nb::object read = optional_attr(data, CIRROVA_STR("read"));
    if (!read.is_valid()) return nb::borrow(data);
    return vcall(read, {});
}

}  // namespace cirrova
