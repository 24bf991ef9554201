// The one way the bindings wait: interpreter lock released, signals looked at in between,
// the answer as a Python bool.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "tools/src/doorbell_wait.hpp"
#include "tools/src/follow_rules.hpp"

namespace quillmere_tools::python {

// Seconds from now as a deadline; a negative value means no deadline, and one too far away
// to represent saturates.
Clock::time_point deadline_after(double seconds) noexcept;

// Seconds as a spin window (non-negative, checked by the caller).
std::chrono::nanoseconds spin_window(double seconds) noexcept;

// None of the waits below is noexcept: at interpreter exit CPython ends a daemon thread that
// asks for the lock back with pthread_exit, and its forced unwind must pass through them.

// Waits for an entry above `after` with the interpreter lock released, keeping `pace`.
// Py_True / Py_False (new references), or nullptr with the exception a signal handler raised
// (KeyboardInterrupt).
PyObject* wait_unlocked(const Bell& bell, std::uint64_t after, Clock::time_point deadline,
                        std::chrono::nanoseconds spin, Pace& pace);

// The same with the thread's pace for the mapping.
PyObject* wait_unlocked(const Bell& bell, std::uint64_t after, Clock::time_point deadline,
                        std::chrono::nanoseconds spin);

// Waits until a quillmere reader (on its own thread) has an entry above its watermark,
// connecting a deferred reader first (polling for its channel meanwhile). With a `follow`
// state, waits past what that state saw before its read too, with its pace; without, with the
// thread's pace for the mapping. Returns as wait_unlocked, or nullptr with the reader's error.
PyObject* wait_on_reader(PyObject* reader, Clock::time_point deadline,
                         std::chrono::nanoseconds spin, FollowState* follow);

// Parses the (timeout, spin) pair every wait takes: floats, timeout < 0 meaning none, spin
// >= 0. False with ValueError set for NaN or a negative spin.
bool wait_arguments(double timeout, double spin) noexcept;

}  // namespace quillmere_tools::python
