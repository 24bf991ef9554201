// Pieces shared by the reader and writer classes: heap-type creation, constructor arguments,
// allocation and the integer properties.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "quillmere/src/python/arguments.hpp"
#include "quillmere/src/python/binding.hpp"

namespace quillmere::python {

// The class object made from `spec` once per process (nullptr with an exception on failure).
inline PyTypeObject* heap_type(OnceObject& cell, PyType_Spec& spec) noexcept {
  return reinterpret_cast<PyTypeObject*>(cell.get([&] { return PyType_FromSpec(&spec); }));
}

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction that method tables hold.
template <auto F>
PyCFunction fastcall_method() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// Flags of all classes: final (no Py_TPFLAGS_BASETYPE), immutable, no dict, no weakrefs.
inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// The constructor arguments of every reader and writer, converted; sizes still in the class's unit.
struct EndpointArguments {
  std::string_view name;
  std::optional<std::uint64_t> entry_length;
  std::optional<std::uint64_t> entry_count;
  bool delayed_connect = false;
  bool enable_zero_copy = false;
};

// Converts the bound `(name, entry_length, entry_count, delayed_connect[, enable_zero_copy])`;
// `count` is 4 for writers, 5 for readers. False with the exception set.
bool convert_endpoint_arguments(PyObject* const* bound, std::size_t count, bool delayed_default,
                                EndpointArguments& out) noexcept;

// Binds the constructor call to `params` (the class's own list, for its name in messages) and
// converts it.
template <std::size_t N>
bool parse_endpoint_arguments(Parameters<N>& params, bool delayed_default, PyObject* args,
                              PyObject* kwargs, EndpointArguments& out) noexcept {
  Bound<N> bound{};
  return params.bind(args, kwargs, bound) &&
         convert_endpoint_arguments(bound.data(), N, delayed_default, out);
}

// Allocates an instance of `type` and moves `endpoint` into it, bound to this thread. On an
// allocation failure `endpoint` is destroyed on return (giving back its role).
template <class Object, class Endpoint>
PyObject* new_instance(PyTypeObject* type, const char* type_path, Endpoint&& endpoint) noexcept {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* object = reinterpret_cast<Object*>(self);
  object->binding = Binding::for_current_thread(type_path);
  new (&object->endpoint) std::remove_cvref_t<Endpoint>(std::move(endpoint));
  return self;
}

// tp_dealloc of a reader or writer class: the endpoint's destructor gives back the role and
// the mapping, on the owning thread only. A fork child's copy only unmaps: the role stays
// with the parent (the endpoint compares process ids), and so does the channel's name, which
// the parent may still be using.
template <class Object>
void dealloc_instance(PyObject* self) noexcept {
  dealloc_bound(self, reinterpret_cast<Object*>(self)->binding, [](PyObject* contents) {
    auto& object = *reinterpret_cast<Object*>(contents);
    if (!object.binding.in_owner_process()) object.endpoint.disown();
    using Endpoint = decltype(Object::endpoint);
    object.endpoint.~Endpoint();
  });
}

// A read-only int property: thread check, shared borrow, `Query` on the instance.
template <class Object, std::uint64_t (*Query)(Object&)>
PyObject* u64_property(PyObject* self, void*) noexcept {
  auto* object = reinterpret_cast<Object*>(self);
  if (!check_thread(object->binding)) return nullptr;
  SharedBorrow borrow = SharedBorrow::take(object->binding);
  if (!borrow) return nullptr;
  return PyLong_FromUnsignedLongLong(Query(*object));
}

}  // namespace quillmere::python
