// The one way the bindings wait: interpreter lock released, signals looked at in between,
// the answer as a Python bool.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "tools/src/doorbell_wait.hpp"

namespace quillmere_tools::python {

// Seconds from now as a deadline; a negative value means no deadline, and one too far away
// to represent saturates.
Clock::time_point deadline_after(double seconds) noexcept;

// Seconds as a spin window (non-negative, checked by the caller).
std::chrono::nanoseconds spin_window(double seconds) noexcept;

// Waits for an entry above `after` with the interpreter lock released, keeping `pace` and
// leaving `enrolment` registered after a sleep. Py_True / Py_False (new references), or
// nullptr with the exception a signal handler raised (KeyboardInterrupt).
PyObject* wait_unlocked(const Bell& bell, std::uint64_t after, Clock::time_point deadline,
                        std::chrono::nanoseconds spin, Pace& pace, Enrolment& enrolment) noexcept;

// The same for a single wait: the thread's pace for the mapping, registered around each sleep.
PyObject* wait_unlocked(const Bell& bell, std::uint64_t after, Clock::time_point deadline,
                        std::chrono::nanoseconds spin) noexcept;

// Waits until a quillmere reader (on its own thread) has an entry above its watermark,
// connecting a deferred reader first (polling for its channel meanwhile). `pace` nullptr uses
// the thread's pace for the mapping. Returns as wait_unlocked, or nullptr with the reader's
// error set.
PyObject* wait_on_reader(PyObject* reader, Clock::time_point deadline,
                         std::chrono::nanoseconds spin, Pace* pace, Enrolment& enrolment) noexcept;

// Parses the (timeout, spin) pair every wait takes: floats, timeout < 0 meaning none, spin
// >= 0. False with ValueError set for NaN or a negative spin.
bool wait_arguments(double timeout, double spin) noexcept;

}  // namespace quillmere_tools::python
