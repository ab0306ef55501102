#include "timeout.h"

#include "pyutil.h"

namespace cirrova {

nb::object choose_timeout(nb::handle timeout, nb::handle default_timeout) {
    if ((!timeout || timeout.is_none()) && default_timeout && !default_timeout.is_none())
        return nb::borrow(default_timeout);
    return timeout ? nb::borrow(timeout) : nb::none();
}

void apply_default_timeout(nb::dict& kwargs, nb::handle default_timeout) {
    PyObject* key = CIRROVA_STR("timeout");
    PyObject* t = PyDict_GetItemWithError(kwargs.ptr(), key);
    if (!t && PyErr_Occurred()) raise_current();
    if (t && t != Py_None) return;
    if (default_timeout && !default_timeout.is_none()) {
        if (PyDict_SetItem(kwargs.ptr(), key, default_timeout.ptr()) < 0) raise_current();
    } else if (t) {
        // httpx reads timeout=None as "never time out", overriding the
        // time-out configured on the caller's httpx.Client.
        if (PyDict_DelItem(kwargs.ptr(), key) < 0) raise_current();
    }
}

void set_timeout(nb::dict& kwargs, nb::handle timeout) {
    if (!timeout || timeout.is_none()) return;
    if (PyDict_SetItem(kwargs.ptr(), CIRROVA_STR("timeout"), timeout.ptr()) < 0) raise_current();
}

}  // namespace cirrova
