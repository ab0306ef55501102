#include "thread_exit.h"

#include <nanobind/nanobind.h>

#include <atomic>

#include <pthread.h>
#include <unistd.h>

// Not part of the limited API, but exported by every CPython since 3.4.
extern "C" int PyGILState_Check(void);

namespace cirrova {

namespace {
thread_local StackBounds t_stack;
thread_local bool t_stack_known = false;

std::atomic<bool> g_exiting{false};

PyObject* on_exit(PyObject*, PyObject*) {
    g_exiting.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef g_on_exit_def = {"_cirrova_interpreter_exit", on_exit, METH_NOARGS, nullptr};
}  // namespace

bool interpreter_exiting() noexcept { return g_exiting.load(std::memory_order_relaxed); }

void watch_interpreter_exit() {
    static bool registered = false;
    if (registered) return;
    PyObject* callback = PyCFunction_New(&g_on_exit_def, nullptr);
    PyObject* atexit = callback ? PyImport_ImportModule("atexit") : nullptr;
    PyObject* r = atexit ? PyObject_CallMethod(atexit, "register", "O", callback) : nullptr;
    Py_XDECREF(atexit);
    Py_XDECREF(callback);
    if (!r) throw nanobind::python_error();
    Py_DECREF(r);
    registered = true;
}

const StackBounds& thread_stack() noexcept {
    if (!t_stack_known) {
        t_stack_known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
                t_stack.low = (char*)addr;
                t_stack.high = t_stack.low + size;
            }
            pthread_attr_destroy(&attr);
        }
    }
    return t_stack;
}

bool holds_gil() noexcept { return PyGILState_Check() != 0; }

void park_exiting_thread() noexcept {
    for (;;) pause();
}

CIRROVA_CATCHES_FORCED_UNWIND void restore_thread(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        park_exiting_thread();
    }
}

}  // namespace cirrova

#if defined(CIRROVA_WRAP_REFCOUNT)
// With the limited API every Py_INCREF / Py_DECREF of these modules is a call
// of _Py_IncRef / _Py_DecRef; the linker (--wrap) sends them here. Outside a
// forced unwind at interpreter exit the lock is always held and the check
// passes; before the exit begins it is not even made.
extern "C" {
void __real__Py_IncRef(PyObject* o);
void __real__Py_DecRef(PyObject* o);

void __wrap__Py_IncRef(PyObject* o) {
    if (cirrova::python_usable()) __real__Py_IncRef(o);
}

void __wrap__Py_DecRef(PyObject* o) {
    if (cirrova::python_usable()) __real__Py_DecRef(o);
}
}
#endif

#if defined(CIRROVA_SANITIZE)
#include <sanitizer/asan_interface.h>

// AddressSanitizer builds only. A forced unwind removes frames without the
// sanitizer's bookkeeping: their guard zones stay marked below the stack
// pointer, where the runtime's own next frame lands (a false report of a
// stack overflow from inside __asan_handle_no_return). Before that call, in a
// thread without the interpreter lock (the one being ended), the dead part of
// the stack is cleared.
extern "C" {
void __real___asan_handle_no_return(void);

__attribute__((no_sanitize_address)) void __wrap___asan_handle_no_return(void) {
    if (!PyGILState_Check()) {
        const cirrova::StackBounds& s = cirrova::t_stack;  // found by an earlier call, if any
        char* sp = (char*)__builtin_frame_address(0);
        if (s.low && sp > s.low && sp <= s.high) __asan_unpoison_memory_region(s.low, (size_t)(sp - s.low));
    }
    __real___asan_handle_no_return();
}
}
#endif
