// The class Follower(reader, out, timeout, spin): the iterator behind follow(). Each next()
// is one native call that reads and, when nothing is new, waits and reads again, so a
// follow loop at 1 kHz runs no Python frame of ours per entry.
#include <Python.h>

#include "tools/src/python/follow_iterator.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {
namespace {

struct FollowerObject {
  PyObject_HEAD Following follow;
  PyObject* read;     // the reader's bound read method
  PyObject* no_args;  // an empty tuple for calling it
  PyObject* kwargs;   // {"out": out}, or nullptr to call read() without arguments
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
  FollowerObject* follower = new_following<FollowerObject>(type, reader, timeout, spin);
  if (follower == nullptr) return nullptr;
  PyObject* self = reinterpret_cast<PyObject*>(follower);
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
  return self;
}

void follower_dealloc(PyObject* self) {
  FollowerObject* follower = as_follower(self);
  Py_XDECREF(follower->kwargs);
  Py_XDECREF(follower->no_args);
  Py_XDECREF(follower->read);
  free_following(self, follower->follow);
}

// The next (entry_seq, payload): read() returns None while nothing is new.
PyObject* follower_next(PyObject* self) {
  FollowerObject* follower = as_follower(self);
  return follow_next(follower->follow, [follower] {
    return PyObject_Call(follower->read, follower->no_args, follower->kwargs);
  });
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
  return add_type(module, spec, "Follower");
}

}  // namespace quillmere_tools::python
