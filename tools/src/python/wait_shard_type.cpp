// The class WaitShard(): pending asynchronous waits served by one thread (wait_shard.hpp).
// The asyncio side (quillmere_tools._waiting_thread) runs collect() on a daemon thread and
// completes futures through the event loop's call_soon_threadsafe.
#include <Python.h>

#include <memory>

#include "tools/src/python/doorbell_type.hpp"
#include "tools/src/python/interpreter_exit.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/support.hpp"
#include "tools/src/python/waiting.hpp"
#include "tools/src/wait_shard.hpp"

namespace quillmere_tools::python {
namespace {

struct ShardObject {
  PyObject_HEAD WaitShard* shard;
};

WaitShard& shard_of(PyObject* object) {
  return *reinterpret_cast<ShardObject*>(object)->shard;
}

PyObject* shard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!PyArg_ParseTuple(args, ":WaitShard") || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "WaitShard() takes no arguments");
    return nullptr;
  }
  return new_holding(type, &ShardObject::shard, std::make_unique<WaitShard>());
}

void shard_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ShardObject*>(self)->shard;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// add(doorbell, after_entry_seq, timeout) -> int; timeout < 0 waits without a deadline.
PyObject* shard_add(PyObject* self, PyObject* args) {
  PyObject* doorbell = nullptr;
  unsigned long long after = 0;
  double timeout = -1;
  if (!PyArg_ParseTuple(args, "OKd:add", &doorbell, &after, &timeout)) return nullptr;
  if (!wait_arguments(timeout, 0)) return nullptr;
  if (shard_of(self).size() >= WaitShard::kCapacity) {
    PyErr_Format(PyExc_RuntimeError, "a WaitShard holds at most %d waits",
                 static_cast<int>(WaitShard::kCapacity));
    return nullptr;
  }
  auto bell = doorbell_bell(doorbell);
  if (!bell) return nullptr;
  return PyLong_FromUnsignedLongLong(
      shard_of(self).add(std::move(*bell), after, deadline_after(timeout)));
}

PyObject* shard_cancel(PyObject* self, PyObject* id) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(id);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  return PyBool_FromLong(shard_of(self).cancel(value));
}

// collect() -> list[tuple[int, bool]] | None: sleeps (lock released) until waits end; None
// once closed. Not noexcept, and the lock is taken back in plain code (see waiting.hpp).
PyObject* shard_collect(PyObject* self, PyObject*) {
  PyThreadState* thread = PyEval_SaveThread();
  std::vector<WaitShard::Ended> ended = shard_of(self).collect();
  take_lock_back(thread);
  if (ended.empty()) Py_RETURN_NONE;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ended.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < ended.size(); ++i) {
    PyObject* item = Py_BuildValue("(KO)", static_cast<unsigned long long>(ended[i].id),
                                   ended[i].ready ? Py_True : Py_False);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* shard_close(PyObject* self, PyObject*) {
  shard_of(self).close();
  Py_RETURN_NONE;
}

PyObject* shard_size(PyObject* self, void*) {
  return PyLong_FromSize_t(shard_of(self).size());
}

PyObject* waitv_supported(PyObject*, PyObject*) {
  return PyBool_FromLong(WaitShard::supported());
}

PyMethodDef methods[] = {
    {"add", guarded<&shard_add>, METH_VARARGS,
     "add(doorbell, after_entry_seq, timeout) -> int\n--\n\nA pending wait for an entry above "
     "after_entry_seq; its id."},
    {"cancel", guarded<&shard_cancel>, METH_O,
     "cancel(id) -> bool\n--\n\nEnd a pending wait now; False when it had ended already."},
    {"collect", guarded<&shard_collect>, METH_NOARGS,
     "collect() -> list[tuple[int, bool]] | None\n--\n\nSleep until waits end: (id, ready) for "
     "each; None once closed."},
    {"close", guarded<&shard_close>, METH_NOARGS, "close()\n--\n\nMake collect() return None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"size", guarded<&shard_size>, nullptr, "How many waits are pending.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef functions[] = {
    {"futex_waitv_supported", guarded<&waitv_supported>, METH_NOARGS,
     "futex_waitv_supported() -> bool\n--\n\nTrue when the kernel has futex_waitv."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<&shard_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<&shard_dealloc>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("WaitShard()\n--\n\nPending asynchronous waits, all slept on "
                                  "by one thread.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "quillmere_tools._native.WaitShard", sizeof(ShardObject), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace

int add_wait_shard_type(PyObject* module) {
  if (add_type(module, spec, "WaitShard") < 0) return -1;
  return PyModule_AddFunctions(module, functions);
}

}  // namespace quillmere_tools::python
