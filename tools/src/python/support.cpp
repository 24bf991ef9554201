#include "tools/src/python/support.hpp"

#include <exception>
#include <new>
#include <string>

namespace quillmere_tools::python {

void raise_channel_error(const quillmere_core::ChannelError& error) noexcept {
  using quillmere_core::ErrorKind;
  PyObject* type = PyExc_RuntimeError;
  switch (error.kind) {
    case ErrorKind::InvalidInput:
      type = PyExc_ValueError;
      break;
    case ErrorKind::Os:
    case ErrorKind::NotFound:
      type = PyExc_OSError;
      break;
    case ErrorKind::WouldBlock:
      type = PyExc_BlockingIOError;
      break;
    case ErrorKind::RoleConflict:
      break;
  }
  PyObject* text = PyUnicode_DecodeUTF8(error.message.data(),
                                        static_cast<Py_ssize_t>(error.message.size()), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void raise_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_RuntimeError, "internal error in quillmere_tools: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in quillmere_tools");
  }
}

int add_type(PyObject* module, PyType_Spec& spec, const char* name) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, name, type);
  Py_DECREF(type);
  return added;
}

}  // namespace quillmere_tools::python
