// The ChannelError mapping and the module's two exception classes.
#include "quillmere/src/python/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <utility>

#include "quillmere/src/python/binding.hpp"

namespace quillmere::python {
namespace {

constexpr const char* kRoleConflictDoc =
    "An exclusive channel role is already held by a live process.\n\nRaised when a second "
    "writer, or a second `enable_zero_copy` reader, tries to attach to a channel that already "
    "has one. Deliberately not a subclass of `BlockingIOError`: a role conflict is not "
    "transient and retrying will not clear it.";

constexpr const char* kPanicDoc =
    "Raised when quillmere's native code hits an internal failure: a broken invariant, or an "
    "object used from a thread other than the one that created it.\n\nLike `SystemExit`, it "
    "derives from `BaseException` rather than `Exception`, so an ordinary `except Exception` "
    "handler does not catch it and it typically propagates all the way up and ends the "
    "interpreter.";

OnceObject role_conflict_cell;
OnceObject panic_cell;

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

PyObject* exception_class(quillmere_core::ErrorKind kind) noexcept {
  switch (kind) {
    case quillmere_core::ErrorKind::InvalidInput:
      return PyExc_ValueError;
    case quillmere_core::ErrorKind::Os:
    case quillmere_core::ErrorKind::NotFound:
      return PyExc_OSError;
    case quillmere_core::ErrorKind::WouldBlock:
      return PyExc_BlockingIOError;
    case quillmere_core::ErrorKind::RoleConflict:
      return channel_role_conflict();
  }
  raise_panic("unknown channel error kind");
  return nullptr;
}

}  // namespace

PyObject* message_str(std::string_view msg) noexcept {
  return PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
}

PyObject* channel_role_conflict() noexcept {
  PyObject* type = role_conflict_cell.get([] {
    return PyErr_NewExceptionWithDoc("quillmere.ChannelRoleConflict", kRoleConflictDoc,
                                     PyExc_RuntimeError, nullptr);
  });
  if (type == nullptr) raise_panic("Failed to initialize new exception type.");
  return type;
}

PyObject* panic_exception() noexcept {
  PyObject* type = panic_cell.get([] {
    return PyErr_NewExceptionWithDoc("quillmere_runtime.PanicException", kPanicDoc,
                                     PyExc_BaseException, nullptr);
  });
  if (type == nullptr) abort_at_boundary();
  return type;
}

void raise_message(PyObject* type, std::string_view msg) noexcept {
  if (Ref text = Ref::steal(message_str(msg))) PyErr_SetObject(type, text.get());
}

void raise_panic(std::string_view msg) noexcept {
  PyObject* type = panic_exception();
  Ref text = Ref::steal(message_str(msg));
  if (!text) abort_at_boundary();
  PyErr_SetObject(type, text.get());
}

void to_py_err(quillmere_core::ChannelError err) noexcept {
  std::string message = std::move(err.message);
  PyObject* type = exception_class(err.kind);
  if (type == nullptr) return;  // PanicException already set
  // A single str value: the instance is type(message), so errno/strerror stay None.
  raise_message(type, message);
}

// PyErr_Fetch is the only way to save an exception in the 3.11 stable ABI; newer headers mark
// it deprecated in favour of a 3.12 function that this ABI level cannot use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
SavedError SavedError::fetch() noexcept {
  SavedError saved;
  PyErr_Fetch(&saved.type_, &saved.value_, &saved.traceback_);
  if (saved.type_ != nullptr)
    PyErr_NormalizeException(&saved.type_, &saved.value_, &saved.traceback_);
  return saved;
}

void SavedError::restore() noexcept {
  PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                std::exchange(traceback_, nullptr));
}
#pragma GCC diagnostic pop

SavedError::SavedError(SavedError&& other) noexcept
    : type_(std::exchange(other.type_, nullptr)),
      value_(std::exchange(other.value_, nullptr)),
      traceback_(std::exchange(other.traceback_, nullptr)) {}

SavedError::~SavedError() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

void raise_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown C++ exception at the Python boundary");
  }
}

}  // namespace quillmere::python
