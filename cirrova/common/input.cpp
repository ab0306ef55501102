#include "common/input.h"

#include <string>
#include <vector>

#include "common/pyutil.h"

namespace cirrova {

void require_key(nb::handle key, const char* name) {
    if (PyUnicode_Check(key.ptr()) && PyUnicode_GetLength(key.ptr()) == 0)
        raise(PyExc_ValueError, std::string(name) + " 不能为空：空的对象键指向存储桶本身");
}

void check_lifetime(nb::handle seconds, long long max_seconds, const char* name) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(seconds.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) raise_current();
    bool too_small = overflow < 0 || (overflow == 0 && v <= 0);
    bool too_large = overflow > 0 || (max_seconds > 0 && v > max_seconds);
    if (!too_small && !too_large) return;
    std::string limit = max_seconds > 0 ? "在 1 到 " + std::to_string(max_seconds) + " 秒之间" : "大于 0 秒";
    raise(PyExc_ValueError, std::string(name) + " 必须" + limit + "，当前: " + text_of(seconds));
}

void require_body(nb::handle data, const char* name) {
    if (data.is_none())
        raise(PyExc_TypeError, std::string(name) + " must be bytes, str or a readable file object, not None");
}

void set_header_replacing(nb::handle headers, PyObject* name, nb::handle value) {
    std::string lower = ascii_lower(utf8(name));
    std::vector<nb::object> same;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(headers.ptr(), &pos, &k, &v))
        if (PyUnicode_Check(k) && ascii_iequals(utf8(k), lower)) same.push_back(nb::borrow(k));
    for (const nb::object& k2 : same)
        if (PyDict_DelItem(headers.ptr(), k2.ptr()) < 0) raise_current();
    if (PyDict_SetItem(headers.ptr(), name, value.ptr()) < 0) raise_current();
}

void body_as_content(nb::dict& kwargs) {
    PyObject* data_name = CIRROVA_STR("data");
    PyObject* content_name = CIRROVA_STR("content");
    PyObject* data = PyDict_GetItemWithError(kwargs.ptr(), data_name);
    if (!data) {
        if (PyErr_Occurred()) raise_current();
        return;
    }
    nb::object body = nb::borrow(data);
    if (body.is_none() || PyDict_Check(body.ptr())) return;
    int has_content = PyDict_Contains(kwargs.ptr(), content_name);
    if (has_content < 0) raise_current();
    if (has_content) return;
    if (PyByteArray_Check(body.ptr()) || PyMemoryView_Check(body.ptr()))
        body = steal_or_throw(PyBytes_FromObject(body.ptr()));
    if (PyDict_DelItem(kwargs.ptr(), data_name) < 0) raise_current();
    if (PyDict_SetItem(kwargs.ptr(), content_name, body.ptr()) < 0) raise_current();
}

}  // namespace cirrova
