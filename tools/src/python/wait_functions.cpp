// Functions on a quillmere reader: wait_reader(reader, timeout, spin) and reader_channel(reader).
#include <Python.h>

#include <algorithm>
#include <thread>

#include "tools/src/python/parts.hpp"
#include "tools/src/python/reader_access.hpp"
#include "tools/src/python/support.hpp"
#include "tools/src/python/waiting.hpp"

namespace quillmere_tools::python {
namespace {

// A deferred reader whose channel is not there yet: poll for it with the same backoff as a
// segment without a doorbell, looking at signals between steps.
bool sleep_before_connecting(Clock::time_point deadline, std::chrono::nanoseconds& step) {
  const Clock::time_point now = Clock::now();
  if (now >= deadline) return false;
  const auto nap = std::min<std::chrono::nanoseconds>(step, deadline - now);
  Py_BEGIN_ALLOW_THREADS std::this_thread::sleep_for(nap);
  Py_END_ALLOW_THREADS step = std::min<std::chrono::nanoseconds>(step * 2, kLongestPoll);
  return true;
}

// wait_reader(reader, timeout, spin) -> bool; timeout < 0 waits without a deadline.
PyObject* wait_reader(PyObject*, PyObject* args) {
  PyObject* reader = nullptr;
  double timeout = -1, spin = 0;
  if (!PyArg_ParseTuple(args, "Odd:wait_reader", &reader, &timeout, &spin)) return nullptr;
  if (!wait_arguments(timeout, spin)) return nullptr;
  return wait_on_reader(reader, deadline_after(timeout), spin_window(spin), nullptr);
}

PyObject* reader_channel(PyObject*, PyObject* reader) {
  return reader_channel_name(reader);
}

PyMethodDef functions[] = {
    {"wait_reader", guarded<&wait_reader>, METH_VARARGS,
     "wait_reader(reader, timeout, spin) -> bool\n--\n\nWait on the reader's thread until it "
     "has an entry above its watermark;\ntimeout < 0 waits without a deadline."},
    {"reader_channel", guarded<&reader_channel>, METH_O,
     "reader_channel(reader) -> str\n--\n\nThe channel name a quillmere reader was built with."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* wait_on_reader(PyObject* reader, Clock::time_point deadline,
                         std::chrono::nanoseconds spin, FollowState* follow) {
  std::chrono::nanoseconds step = kFirstPoll;
  for (;;) {
    auto state = reader_state(reader);
    if (!state) return nullptr;
    if (state->bell) {
      const Bell& bell = *state->bell;
      if (follow == nullptr) return wait_unlocked(bell, state->watermark, deadline, spin);
      return wait_unlocked(bell, follow->wait_past(state->watermark), deadline, spin,
                           follow->pace());
    }
    if (!sleep_before_connecting(deadline, step)) Py_RETURN_FALSE;
    if (PyErr_CheckSignals() < 0) return nullptr;
  }
}

int add_wait_functions(PyObject* module) {
  if (add_reader_access(module) < 0) return -1;
  return PyModule_AddFunctions(module, functions);
}

}  // namespace quillmere_tools::python
