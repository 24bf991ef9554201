// Taking the interpreter lock back after a wait, in a way that survives interpreter exit.
#pragma once

#include <Python.h>

namespace quillmere_tools::python {

// Takes the lock back after PyEval_SaveThread. Once the interpreter has run its exit handlers,
// a daemon thread that asks for the lock is ended by pthread_exit, whose forced unwind through
// these frames only works where the C++ runtime and the unwinder are the system's (libstdc++
// and libgcc_s): with a libc++abi and an unwinder linked in statically it crashes. So a thread
// other than the main one parks here instead, and the process's exit ends it without an unwind.
void take_lock_back(PyThreadState* thread);

// Whether this is the process's main thread, the one on which Python runs signal handlers.
bool on_main_thread() noexcept;

}  // namespace quillmere_tools::python
