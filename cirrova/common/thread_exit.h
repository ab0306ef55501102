// Threads that the interpreter ends while they run inside a client call.
//
// At interpreter exit CPython 3.12 and 3.13 end a daemon thread that asks for
// the interpreter lock with pthread_exit: a forced unwind runs through every
// C++ frame of that thread, without the lock. Such an unwind must pass every
// `catch (...)` (rethrow `abi::__forced_unwind`), and nothing on its way may
// touch a Python object. The reference counting calls of these modules are
// linked through checks (thread_exit.cpp) that skip them in a thread without
// the lock, so the destructors of object handles leave the objects alone.
#pragma once

#include <Python.h>

#include <cxxabi.h>

namespace cirrova {

// True when this thread holds the interpreter lock.
bool holds_gil() noexcept;

// Blocks this thread for good. For a forced unwind that reaches a frame it
// may not leave (a destructor): the interpreter is exiting, the process ends
// with the thread parked, as CPython 3.14 itself parks such threads.
[[noreturn]] void park_exiting_thread() noexcept;

}  // namespace cirrova
