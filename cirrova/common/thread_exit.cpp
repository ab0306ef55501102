#include "thread_exit.h"

#include <unistd.h>

// Not part of the limited API, but exported by every CPython since 3.4.
extern "C" int PyGILState_Check(void);

namespace cirrova {

bool holds_gil() noexcept { return PyGILState_Check() != 0; }

void park_exiting_thread() noexcept {
    for (;;) pause();
}

}  // namespace cirrova

#if defined(CIRROVA_WRAP_REFCOUNT)
// With the limited API every Py_INCREF / Py_DECREF of these modules is a call
// of _Py_IncRef / _Py_DecRef; the linker (--wrap) sends them here. Outside a
// forced unwind at interpreter exit the lock is always held and the check
// passes.
extern "C" {
void __real__Py_IncRef(PyObject* o);
void __real__Py_DecRef(PyObject* o);

void __wrap__Py_IncRef(PyObject* o) {
    if (PyGILState_Check()) __real__Py_IncRef(o);
}

void __wrap__Py_DecRef(PyObject* o) {
    if (PyGILState_Check()) __real__Py_DecRef(o);
}
}
#endif
