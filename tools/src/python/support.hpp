// What every source file of quillmere_tools._native shares: the exception boundary, turning a
// ChannelError into an exception, adding a type, and the signature of a source file's part of
// the module.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <memory>
#include <string_view>
#include <type_traits>

#include "quillmere-core/src/error.hpp"

namespace quillmere_tools::python {

// One source file's contribution to the module: adds its functions and types, returns -1 with
// an exception set on failure. module.cpp lists every part once.
using AddPart = int (*)(PyObject* module);

// ValueError, OSError, BlockingIOError or RuntimeError (role conflicts) with the message.
void raise_channel_error(const quillmere_core::ChannelError& error) noexcept;

// MemoryError for std::bad_alloc, RuntimeError naming anything else.
void raise_cpp_exception() noexcept;

// Creates the heap type of `spec` and adds it to `module` as `name`; -1 with an exception set.
int add_type(PyObject* module, PyType_Spec& spec, const char* name);

// A new instance of `type` whose member `field` takes over `owned` (the type's dealloc deletes
// it); nullptr with an exception set, `owned` freed, when the instance cannot be made.
template <class Object, class T>
PyObject* new_holding(PyTypeObject* type, T* Object::*field, std::unique_ptr<T> owned) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<Object*>(self)->*field = owned.release();
  return self;
}

namespace detail {
template <auto F>
struct Guarded;

// Not noexcept, and the forced unwind of pthread_exit (CPython ends a daemon thread that way at
// interpreter exit when it asks for the interpreter lock) is let through, never swallowed:
// meeting a noexcept frame or being caught would end the process in std::terminate.
// The forced unwind carries no exception object, so binding the handler's reference is what
// its own runtime does but what UBSan's null check reports: that one check is off here.
template <class R, class... Args, R (*F)(Args...)>
struct Guarded<F> {
  __attribute__((no_sanitize("null"))) static R call(Args... args) {
    try {
      return F(args...);
#if !defined(_LIBCPP_VERSION)
    } catch (abi::__forced_unwind&) {
      throw;
#endif
    } catch (...) {
      // libc++abi gives the forced unwind no type: it is the exception without a C++ type.
      if (abi::__cxa_current_exception_type() == nullptr) throw;
      raise_cpp_exception();
      if constexpr (std::is_pointer_v<R>)
        return nullptr;
      else if constexpr (!std::is_void_v<R>)
        return R(-1);
    }
  }
};
}  // namespace detail

// The exception boundary: put `guarded<&fn>` (not `fn`) into every method and slot table.
template <auto F>
inline constexpr auto guarded = &detail::Guarded<F>::call;

// A METH_FASTCALL | METH_KEYWORDS function as a PyCFunction for a PyMethodDef.
template <class F>
PyCFunction as_cfunction(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace quillmere_tools::python
