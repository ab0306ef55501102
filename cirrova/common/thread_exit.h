// Threads that the interpreter ends while they run inside a client call.
//
// At interpreter exit CPython 3.12 and 3.13 end a daemon thread that asks for
// the interpreter lock with pthread_exit: a forced unwind runs through every
// C++ frame of that thread, without the lock. Such an unwind must pass every
// `catch (...)` (rethrow `abi::__forced_unwind`), and nothing on its way may
// touch a Python object. The reference counting calls of these modules are
// linked through checks (thread_exit.cpp) that, once the exit has begun, skip
// them in a thread without the lock: the destructors of object handles then
// leave the objects alone.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <type_traits>

// For a function with a `catch (abi::__forced_unwind&)`: the handler binds a
// reference to no object (the unwind carries none), which the undefined-
// behaviour sanitizer would report (also where the function is inlined).
#if defined(CIRROVA_SANITIZE)
#define CIRROVA_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null"), noinline))
#else
#define CIRROVA_CATCHES_FORCED_UNWIND
#endif

namespace cirrova {

// This thread's stack, found once per thread; null bounds when unknown.
struct StackBounds {
    char* low = nullptr;
    char* high = nullptr;
};
const StackBounds& thread_stack() noexcept;

// True when this thread holds the interpreter lock.
bool holds_gil() noexcept;

// True once the interpreter has begun to exit (its atexit callbacks run
// before it ends any thread). Cheap: a relaxed load.
bool interpreter_exiting() noexcept;

// True when Python objects may be touched here: always before the interpreter
// exits, afterwards only with the interpreter lock held.
inline bool python_usable() noexcept { return !interpreter_exiting() || holds_gil(); }

// Registers the atexit callback behind interpreter_exiting(); once per module.
// Throws the Python error of a failed registration.
void watch_interpreter_exit();

// Blocks this thread for good. For a forced unwind that reaches a frame it
// may not leave (a destructor): the interpreter is exiting, the process ends
// with the thread parked, as CPython 3.14 itself parks such threads.
[[noreturn]] void park_exiting_thread() noexcept;

// Takes the interpreter lock back after PyEval_SaveThread. Where CPython 3.12
// and 3.13 end the thread at exit (a forced unwind out of this call), the
// thread is parked instead, as 3.14 does: nothing above it (a destructor, a
// lock guard, libcurl's frames) is unwound without the lock.
void restore_thread(PyThreadState* state) noexcept;

namespace detail {
// The thread state released by this thread's innermost without_gil call.
inline thread_local PyThreadState* t_released = nullptr;
}  // namespace detail

// Runs `f` with the interpreter lock released and takes it back by an
// ordinary call (a release guard's destructor is noexcept: a forced unwind
// out of it ends the process).
template <class F>
decltype(auto) without_gil(F&& f) {
    PyThreadState* state = PyEval_SaveThread();
    PyThreadState* outer = detail::t_released;
    detail::t_released = state;
    auto relock = [&] {
        detail::t_released = outer;
        restore_thread(state);
    };
    try {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            relock();
        } else {
            decltype(auto) r = f();
            relock();
            return r;
        }
    } catch (...) {
        relock();
        throw;
    }
}

// For code called back from C inside without_gil on this thread (a libcurl
// callback): runs `f` with the lock taken back, then releases it again. The
// thread's own state is taken back, never a new one from PyGILState_Ensure,
// which at exit may find the interpreter's thread bookkeeping gone. A thread
// that the interpreter ends here, taking the lock or inside `f`, is parked.
// `f` must not throw.
template <class F>
CIRROVA_CATCHES_FORCED_UNWIND auto with_gil_again(F&& f) noexcept {
    PyThreadState* state = detail::t_released;
    try {
        if (state) {
            restore_thread(state);
            auto r = f();
            PyEval_SaveThread();
            return r;
        }
        if (interpreter_exiting()) park_exiting_thread();
        PyGILState_STATE st = PyGILState_Ensure();
        auto r = f();
        PyGILState_Release(st);
        return r;
    } catch (abi::__forced_unwind&) {
        park_exiting_thread();
    }
}

}  // namespace cirrova
