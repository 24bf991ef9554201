#include "tools/src/python/waiting.hpp"

#include <cmath>

#include "tools/src/python/interpreter_exit.hpp"

namespace quillmere_tools::python {

Clock::time_point deadline_after(double seconds) noexcept {
  if (seconds < 0) return Clock::time_point::max();
  const Clock::time_point now = Clock::now();
  const double room = std::chrono::duration<double>(Clock::time_point::max() - now).count();
  if (seconds >= room / 2) return Clock::time_point::max();
  return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::chrono::nanoseconds spin_window(double seconds) noexcept {
  // Anything above a second is no longer a spin window; a second bounds it.
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(std::min(seconds, 1.0)));
}

bool wait_arguments(double timeout, double spin) noexcept {
  if (std::isnan(timeout) || std::isnan(spin)) {
    PyErr_SetString(PyExc_ValueError, "timeout and spin must not be NaN");
    return false;
  }
  if (spin < 0) {
    PyErr_SetString(PyExc_ValueError, "spin must be zero or positive");
    return false;
  }
  return true;
}

PyObject* wait_unlocked(const Bell& bell, std::uint64_t after, Clock::time_point deadline,
                        std::chrono::nanoseconds spin, Pace& pace) {
  // The lock is taken back in plain code, never in a destructor or a noexcept frame: see
  // waiting.hpp and interpreter_exit.hpp.
  // Signal handlers run on the main thread only: another thread never takes the lock before
  // its wait ends, which also keeps a daemon thread's wait out of the interpreter's exit.
  const bool handles_signals = on_main_thread();
  PyThreadState* thread = PyEval_SaveThread();
  const WaitResult result = wait_for(bell, after, deadline, spin, pace, [&] {
    // Runs the signal handlers (Ctrl-C raises KeyboardInterrupt there); false ends the wait.
    if (!handles_signals) return true;
    take_lock_back(thread);
    const bool ok = PyErr_CheckSignals() == 0;
    thread = PyEval_SaveThread();
    return ok;
  });
  take_lock_back(thread);
  if (result == WaitResult::Stopped) return nullptr;
  return PyBool_FromLong(result == WaitResult::Ready);
}

PyObject* wait_unlocked(const Bell& bell, std::uint64_t after, Clock::time_point deadline,
                        std::chrono::nanoseconds spin) {
  return wait_unlocked(bell, after, deadline, spin, pace_for(bell.segment));
}

}  // namespace quillmere_tools::python
