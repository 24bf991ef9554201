// The class Follower(reader, out, timeout, spin): the iterator behind follow(). Each next()
// is one native call that reads and, when nothing is new, waits and reads again, so a
// follow loop at 1 kHz runs no Python frame of ours per entry.
//
// It keeps the rules of follow_rules.hpp: one next() at a time, a wait past the newest entry
// seen before the read that found nothing, and no doorbell registration outside a sleep.
#include <Python.h>

#include <memory>

#include "tools/src/python/parts.hpp"
#include "tools/src/python/reader_access.hpp"
#include "tools/src/python/support.hpp"
#include "tools/src/python/waiting.hpp"

namespace quillmere_tools::python {
namespace {

struct FollowerObject {
  PyObject_HEAD PyObject* reader;
  PyObject* read;     // the reader's bound read method
  PyObject* no_args;  // an empty tuple for calling it
  PyObject* kwargs;   // {"out": out}, or nullptr to call read() without arguments
  double timeout;     // seconds without a new entry that end the iteration; < 0: none
  std::chrono::nanoseconds spin;
  FollowState* state;  // C++ state, so not inline in the Python object
};

FollowerObject* as_follower(PyObject* object) {
  return reinterpret_cast<FollowerObject*>(object);
}

// Follower(reader, out, timeout, spin); the reader's type and thread are checked by follow().
PyObject* follower_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject *reader = nullptr, *out = nullptr;
  double timeout = -1, spin = 0;
  static const char* keywords[] = {"reader", "out", "timeout", "spin", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOdd:Follower", const_cast<char**>(keywords),
                                   &reader, &out, &timeout, &spin))
    return nullptr;
  if (!wait_arguments(timeout, spin)) return nullptr;
  auto state = std::make_unique<FollowState>();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  FollowerObject* follower = as_follower(self);
  follower->reader = Py_NewRef(reader);
  follower->timeout = timeout;
  follower->spin = spin_window(spin);
  follower->read = PyObject_GetAttrString(reader, "read");
  follower->no_args = PyTuple_New(0);
  if (out != Py_None) {
    follower->kwargs = PyDict_New();
    if (follower->kwargs != nullptr && PyDict_SetItemString(follower->kwargs, "out", out) < 0)
      Py_CLEAR(follower->kwargs);
  }
  if (follower->read == nullptr || follower->no_args == nullptr ||
      (out != Py_None && follower->kwargs == nullptr)) {
    Py_DECREF(self);
    return nullptr;
  }
  follower->state = state.release();
  return self;
}

void follower_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  FollowerObject* follower = as_follower(self);
  delete follower->state;
  Py_XDECREF(follower->kwargs);
  Py_XDECREF(follower->no_args);
  Py_XDECREF(follower->read);
  Py_XDECREF(follower->reader);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

PyObject* read_once(FollowerObject* follower) {
  return PyObject_Call(follower->read, follower->no_args, follower->kwargs);
}

// Notes what the channel has published before a read; false with the reader's error set.
bool before_read(FollowerObject* follower) {
  auto reader = reader_state(follower->reader);
  if (!reader) return false;
  follower->state->before_read(reader->bell ? &*reader->bell : nullptr);
  return true;
}

// The next (entry_seq, payload); nullptr without an exception once `timeout` passed with no
// new entry (StopIteration), or with the exception of the read or of a signal handler.
PyObject* follower_next(PyObject* self) {
  FollowerObject* follower = as_follower(self);
  FollowState& state = *follower->state;
  FollowState::Call call(state);
  if (!call) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this follow() iterator is already in a next() call (from a signal handler "
                    "or another thread)");
    return nullptr;
  }
  if (state.ended()) return nullptr;
  for (;;) {
    if (!before_read(follower)) return nullptr;
    PyObject* got = read_once(follower);
    if (got != Py_None) return got;  // an entry, or the read's exception
    Py_DECREF(got);
    PyObject* ready =
        wait_on_reader(follower->reader, deadline_after(follower->timeout), follower->spin, &state);
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

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<&follower_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<&follower_dealloc>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<&follower_next>)},
    {Py_tp_doc, const_cast<char*>("Follower(reader, out, timeout, spin)\n--\n\nThe iterator "
                                  "behind quillmere_tools.follow().")},
    {0, nullptr},
};

PyType_Spec spec = {
    "quillmere_tools._native.Follower", sizeof(FollowerObject), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace

int add_follower_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "Follower", type);
  Py_DECREF(type);
  return added;
}

}  // namespace quillmere_tools::python
