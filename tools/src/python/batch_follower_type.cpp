// The class BatchFollower(reader, batch, seqs, timeout, spin): the iterator behind
// follow(reader, batch=...). Each next() is one native call that fills as many rows of `batch`
// as there are entries and, when there are none, sleeps on the doorbell and tries again, in the
// loop it shares with the entry-by-entry Follower.
#include <Python.h>

#include "tools/src/python/batches.hpp"
#include "tools/src/python/follow_iterator.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {
namespace {

struct BatchFollowerObject {
  PyObject_HEAD Following follow;
  PyObject* batch;  // the 2-D array refilled by every next()
  PyObject* seqs;   // the int64 array receiving the rows' entry_seqs
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
  BatchFollowerObject* follower = new_following<BatchFollowerObject>(type, reader, timeout, spin);
  if (follower == nullptr) return nullptr;
  follower->batch = Py_NewRef(batch);
  follower->seqs = Py_NewRef(seqs);
  return reinterpret_cast<PyObject*>(follower);
}

void batch_follower_dealloc(PyObject* self) {
  BatchFollowerObject* follower = as_batch_follower(self);
  Py_XDECREF(follower->seqs);
  Py_XDECREF(follower->batch);
  free_following(self, follower->follow);
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

// The next (count, seqs): a read that fills no row found nothing new.
PyObject* batch_follower_next(PyObject* self) {
  BatchFollowerObject* follower = as_batch_follower(self);
  return follow_next(follower->follow, [follower]() -> PyObject* {
    const Py_ssize_t filled =
        read_into_rows(follower->follow.reader, follower->batch, follower->seqs, std::nullopt);
    if (filled < 0) return nullptr;
    return filled > 0 ? batch_tuple(follower, filled) : Py_NewRef(Py_None);
  });
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
  return add_type(module, spec, "BatchFollower");
}

}  // namespace quillmere_tools::python
