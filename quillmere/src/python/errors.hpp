// Python exceptions of the module: the ChannelError mapping, ChannelRoleConflict and
// PanicException. The only place where a ChannelError becomes a Python exception.
//
// Every function here sets (or reports) an exception and returns; callers then return
// nullptr / -1 to the interpreter.
#pragma once

#include <Python.h>

#include <string_view>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/format.hpp"

namespace quillmere::python {

// Sets the exception for `err`: ValueError, OSError, BlockingIOError or ChannelRoleConflict,
// built from the class and the message alone (an OSError's errno and strerror stay None).
void to_py_err(quillmere_core::ChannelError err) noexcept;

// quillmere.ChannelRoleConflict (base RuntimeError), created once per process. Borrowed
// reference; nullptr with PanicException "Failed to initialize new exception type." set.
PyObject* channel_role_conflict() noexcept;

// PanicException (base BaseException, so `except Exception` does not catch it), created once per
// process; not an attribute of the module. Borrowed reference; never nullptr: if it cannot be
// created the process aborts with "uncaught panic at ffi boundary".
PyObject* panic_exception() noexcept;

// Sets PanicException(msg): broken invariants and wrong-thread use.
void raise_panic(std::string_view msg) noexcept;

// Sets `type(msg)`, the message as a str.
void raise_message(PyObject* type, std::string_view msg) noexcept;

// Sets `type(compose())`, where `compose` builds the message (a format() call). If the message
// cannot be allocated, MemoryError is set instead: in a noexcept function the std::bad_alloc
// would otherwise end the process.
template <class Compose>
void raise_composed(PyObject* type, Compose&& compose) noexcept {
  try {
    raise_message(type, compose());
  } catch (...) {
    PyErr_NoMemory();
  }
}

// The pending exception, taken out of the interpreter; put back with restore(), else dropped.
// Keeps an exception that was pending on entry to a callback that cannot raise (dealloc, buffer
// release) out of the way of the one it reports.
class SavedError {
 public:
  static SavedError fetch() noexcept;  // normalized: value() is the exception instance
  SavedError(SavedError&& other) noexcept;
  SavedError& operator=(SavedError&&) = delete;
  ~SavedError();
  void restore() noexcept;
  PyObject* value() const noexcept { return value_; }

 private:
  SavedError() noexcept = default;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// A new str from a UTF-8 message (invalid bytes replaced, never fails on content).
PyObject* message_str(std::string_view msg) noexcept;

}  // namespace quillmere::python
