// What the two follow() iterators, Follower (entry by entry) and BatchFollower (rows of an
// array), share: the reader they follow with the wait's bounds, their allocation and release,
// and the loop of one next(). Only the read differs, so it is the one thing passed in.
//
// The loop keeps the rules of follow_rules.hpp: one next() at a time, a wait past the newest
// entry seen before the read that found nothing, and no doorbell registration outside a sleep.
#pragma once

#include <Python.h>

#include <chrono>
#include <memory>

#include "tools/src/python/reader_access.hpp"
#include "tools/src/python/waiting.hpp"

namespace quillmere_tools::python {

// The part of an iterator object that follows a reader.
struct Following {
  PyObject* reader;
  double timeout;  // seconds without a new entry that end the iteration; < 0: none
  std::chrono::nanoseconds spin;
  FollowState* state;  // C++ state, so not inline in the Python object
};

// A new object of `type` (an `Object` with a `Following follow` member, the rest zeroed)
// following `reader`; nullptr with ValueError for a bad (timeout, spin) or MemoryError.
template <class Object>
Object* new_following(PyTypeObject* type, PyObject* reader, double timeout, double spin) {
  if (!wait_arguments(timeout, spin)) return nullptr;
  auto state = std::make_unique<FollowState>();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  Object* object = reinterpret_cast<Object*>(self);
  object->follow = {Py_NewRef(reader), timeout, spin_window(spin), state.release()};
  return object;
}

// Lets `follow` (a member of `self`) go and frees `self`: the last step of a tp_dealloc.
void free_following(PyObject* self, Following& follow);

// One next(): `try_read()` returns a new reference, the item, Py_None for nothing new, or
// nullptr with the read's exception. While it finds nothing, sleeps on the reader and tries
// again. nullptr without an exception once `timeout` passed with no new entry
// (StopIteration), or with the exception of the read or of a signal handler.
template <class TryRead>
PyObject* follow_next(Following& follow, TryRead&& try_read) {
  FollowState& state = *follow.state;
  FollowState::Call call(state);
  if (!call) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this follow() iterator is already in a next() call (from a signal handler "
                    "or another thread)");
    return nullptr;
  }
  if (state.ended()) return nullptr;
  for (;;) {
    // Notes what the channel has published before the read.
    auto reader = reader_state(follow.reader);
    if (!reader) return nullptr;
    state.before_read(reader->bell ? &*reader->bell : nullptr);
    PyObject* got = try_read();
    if (got != Py_None) return got;  // an item, or the read's exception
    Py_DECREF(got);
    PyObject* ready =
        wait_on_reader(follow.reader, deadline_after(follow.timeout), follow.spin, &state);
    if (ready != Py_True) {  // timed out, or an exception (KeyboardInterrupt)
      if (ready == Py_False) {
        state.end();
        Py_DECREF(ready);
      }
      return nullptr;
    }
    Py_DECREF(ready);
  }
}

}  // namespace quillmere_tools::python
