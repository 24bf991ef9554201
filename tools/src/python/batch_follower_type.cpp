// The class BatchFollower(reader, batch, seqs, timeout, spin): the iterator behind
// follow(reader, batch=...). Each next() is one native call that fills as many rows of `batch`
// as there are entries and, when there are none, sleeps on the doorbell and tries again. It
// keeps the rules of follow_rules.hpp exactly as the entry-by-entry Follower does.
#include <Python.h>

#include <memory>

#include "tools/src/python/batches.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/reader_access.hpp"
#include "tools/src/python/support.hpp"
#include "tools/src/python/waiting.hpp"

namespace quillmere_tools::python {
namespace {

struct BatchFollowerObject {
  PyObject_HEAD PyObject* reader;
  PyObject* batch;  // the 2-D array refilled by every next()
  PyObject* seqs;   // the int64 array receiving the rows' entry_seqs
  double timeout;   // seconds without a new entry that end the iteration; < 0: none
  std::chrono::nanoseconds spin;
  FollowState* state;  // C++ state, so not inline in the Python object
};

BatchFollowerObject* as_batch_follower(PyObject* object) {
  return reinterpret_cast<BatchFollowerObject*>(object);
}

// BatchFollower(reader, batch, seqs, timeout, spin); the arrays are checked by every read.
PyObject* batch_follower_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject *reader = nullptr, *batch = nullptr, *seqs = nullptr;
  double timeout = -1, spin = 0;
  static const char* keywords[] = {"reader", "batch", "seqs", "timeout", "spin", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOdd:BatchFollower",
                                   const_cast<char**>(keywords), &reader, &batch, &seqs, &timeout,
                                   &spin))
    return nullptr;
  if (!wait_arguments(timeout, spin)) return nullptr;
  auto state = std::make_unique<FollowState>();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  BatchFollowerObject* follower = as_batch_follower(self);
  follower->reader = Py_NewRef(reader);
  follower->batch = Py_NewRef(batch);
  follower->seqs = Py_NewRef(seqs);
  follower->timeout = timeout;
  follower->spin = spin_window(spin);
  follower->state = state.release();
  return self;
}

void batch_follower_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  BatchFollowerObject* follower = as_batch_follower(self);
  delete follower->state;
  Py_XDECREF(follower->seqs);
  Py_XDECREF(follower->batch);
  Py_XDECREF(follower->reader);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// (count, seqs[:count]), taking nothing over.
PyObject* batch_tuple(BatchFollowerObject* follower, Py_ssize_t count) {
  PyObject* end = PyLong_FromSsize_t(count);
  PyObject* slice = end == nullptr ? nullptr : PySlice_New(nullptr, end, nullptr);
  Py_XDECREF(end);
  PyObject* seqs = slice == nullptr ? nullptr : PyObject_GetItem(follower->seqs, slice);
  Py_XDECREF(slice);
  if (seqs == nullptr) return nullptr;
  PyObject* tuple = Py_BuildValue("(nN)", count, seqs);  // N: the tuple takes seqs over
  return tuple;
}

// The next (count, seqs); nullptr without an exception once `timeout` passed with no new entry
// (StopIteration), or with the exception of the read or of a signal handler.
PyObject* batch_follower_next(PyObject* self) {
  BatchFollowerObject* follower = as_batch_follower(self);
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
    auto reader = reader_state(follower->reader);
    if (!reader) return nullptr;
    state.before_read(reader->bell ? &*reader->bell : nullptr);
    const Py_ssize_t filled =
        read_into_rows(follower->reader, follower->batch, follower->seqs, std::nullopt);
    if (filled < 0) return nullptr;
    if (filled > 0) return batch_tuple(follower, filled);
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
    {Py_tp_new, reinterpret_cast<void*>(guarded<&batch_follower_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<&batch_follower_dealloc>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<&batch_follower_next>)},
    {Py_tp_doc, const_cast<char*>("BatchFollower(reader, batch, seqs, timeout, spin)\n--\n\nThe "
                                  "iterator behind quillmere_tools.follow(reader, batch=...).")},
    {0, nullptr},
};

PyType_Spec spec = {
    "quillmere_tools._native.BatchFollower",
    sizeof(BatchFollowerObject),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

int add_batch_follower_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "BatchFollower", type);
  Py_DECREF(type);
  return added;
}

}  // namespace quillmere_tools::python
