// The class Doorbell(name): a channel's doorbell held by name, usable from any thread.
//
// Its mapping is shared by the object and every wait in progress (a MappedBell copied with
// the interpreter lock held), so close() from one thread never pulls the mapping from under a
// wait on another; that wait just ends at its own deadline. reader_doorbell(reader) makes one
// on the reader's own segment, whatever its name holds now.
#include <Python.h>

#include <memory>

#include "tools/src/channel_view.hpp"
#include "tools/src/mapped_bell.hpp"
#include "tools/src/python/channel_argument.hpp"
#include "tools/src/python/doorbell_type.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/reader_access.hpp"
#include "tools/src/python/support.hpp"
#include "tools/src/python/waiting.hpp"

namespace quillmere_tools::python {
namespace {

struct DoorbellObject {
  PyObject_HEAD MappedBell* bell;  // nullptr once closed
};

DoorbellObject* as_doorbell(PyObject* object) {
  return reinterpret_cast<DoorbellObject*>(object);
}

PyTypeObject* doorbell_type = nullptr;  // a strong reference, kept for the process

PyObject* new_doorbell(PyTypeObject* type, MappedBell bell) {
  return new_holding(type, &DoorbellObject::bell, std::make_unique<MappedBell>(std::move(bell)));
}

PyObject* doorbell_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* name = nullptr;
  static const char* keywords[] = {"name", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:Doorbell", const_cast<char**>(keywords), &name))
    return nullptr;
  auto view = open_channel_view(name);
  if (!view) return nullptr;
  return new_doorbell(type, bell_of(std::move(*view)));
}

void doorbell_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_doorbell(self)->bell;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// wait(after_entry_seq, timeout, spin) -> bool; timeout < 0 waits without a deadline.
PyObject* doorbell_wait(PyObject* self, PyObject* args) {
  unsigned long long after = 0;
  double timeout = -1, spin = 0;
  if (!PyArg_ParseTuple(args, "Kdd:wait", &after, &timeout, &spin)) return nullptr;
  if (!wait_arguments(timeout, spin)) return nullptr;
  const std::optional<MappedBell> bell = doorbell_bell(self);  // kept mapped while we wait
  if (!bell) return nullptr;
  return wait_unlocked(bell->bell, after, deadline_after(timeout), spin_window(spin));
}

PyObject* doorbell_close(PyObject* self, PyObject*) {
  delete std::exchange(as_doorbell(self)->bell, nullptr);
  Py_RETURN_NONE;
}

PyObject* doorbell_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_doorbell(self)->bell == nullptr);
}

PyMethodDef methods[] = {
    {"wait", guarded<&doorbell_wait>, METH_VARARGS,
     "wait(after_entry_seq, timeout, spin) -> bool\n--\n\nWait until the channel has an entry "
     "above after_entry_seq."},
    {"close", guarded<&doorbell_close>, METH_NOARGS,
     "close()\n--\n\nLet go of the channel's mapping; waits in progress keep it until they end."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* reader_doorbell(PyObject*, PyObject* reader);

PyMethodDef functions[] = {
    {"reader_doorbell", guarded<&reader_doorbell>, METH_O,
     "reader_doorbell(reader) -> Doorbell | None\n--\n\nA Doorbell on the segment a quillmere "
     "reader is connected to (None while a deferred\nreader cannot connect yet), on the "
     "reader's thread."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", guarded<&doorbell_closed>, nullptr, "True once close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<&doorbell_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<&doorbell_dealloc>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Doorbell(name)\n--\n\nA channel's doorbell, held by name.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "quillmere_tools._native.Doorbell", sizeof(DoorbellObject), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace

std::optional<MappedBell> doorbell_bell(PyObject* object) {
  if (doorbell_type == nullptr || !PyObject_TypeCheck(object, doorbell_type)) {
    PyErr_Format(PyExc_TypeError, "expected a Doorbell, got %R", Py_TYPE(object));
    return std::nullopt;
  }
  if (as_doorbell(object)->bell == nullptr) {
    PyErr_SetString(PyExc_ValueError, "wait on a closed Doorbell");
    return std::nullopt;
  }
  return *as_doorbell(object)->bell;
}

namespace {
PyObject* reader_doorbell(PyObject*, PyObject* reader) {
  auto state = reader_state(reader);
  if (!state) return nullptr;
  if (!state->bell) Py_RETURN_NONE;
  auto bell =
      bell_of_descriptor(state->fd, state->mapped_size, state->entry_length, state->entry_count);
  if (!bell) return PyErr_SetFromErrno(PyExc_OSError);
  return new_doorbell(doorbell_type, std::move(*bell));
}
}  // namespace

int add_doorbell_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return -1;
  doorbell_type = reinterpret_cast<PyTypeObject*>(type);  // keeps the reference
  if (PyModule_AddObjectRef(module, "Doorbell", type) < 0) return -1;
  return PyModule_AddFunctions(module, functions);
}

}  // namespace quillmere_tools::python
