// The slow path of the argument binder: keywords, and every TypeError about the call's shape.
#include "quillmere/src/python/arguments.hpp"

#include <string_view>

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/python/errors.hpp"

namespace quillmere::python {
namespace {

using quillmere_core::format;

template <class... Args>
void raise_type_error(std::string_view pattern, const Args&... args) noexcept {
  raise_composed(PyExc_TypeError, [&] { return format(pattern, args...); });
}

// Index of the parameter called `key`, -1 if there is none, -2 with an exception set.
Py_ssize_t find_parameter(const ParameterList& list, PyObject* key) noexcept {
  for (Py_ssize_t i = 0; i < list.count; ++i) {
    if (list.interned[i] == nullptr) {
      list.interned[i] = PyUnicode_InternFromString(list.names[i]);
      if (list.interned[i] == nullptr) return -2;
    }
    if (list.interned[i] == key) return i;
  }
  if (!PyUnicode_Check(key)) {
    raise_type_error("{}() keywords must be strings", list.function);
    return -2;
  }
  for (Py_ssize_t i = 0; i < list.count; ++i)
    if (PyUnicode_CompareWithASCIIString(key, list.names[i]) == 0) return i;
  return -1;
}

bool check_positional_count(const ParameterList& list, Py_ssize_t nargs) noexcept {
  if (nargs <= list.positional) return true;
  raise_type_error("{}() takes {} positional argument{} but {} {} given", list.function,
                   list.positional, list.positional == 1 ? "" : "s", nargs,
                   nargs == 1 ? "was" : "were");
  return false;
}

bool bind_keyword(const ParameterList& list, PyObject* key, PyObject* value,
                  PyObject** out) noexcept {
  Py_ssize_t index = find_parameter(list, key);
  if (index == -2) return false;
  if (index == -1) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) return false;
    raise_type_error("{}() got an unexpected keyword argument '{}'", list.function,
                     std::string_view(text, static_cast<std::size_t>(size)));
    return false;
  }
  if (out[index] != nullptr) {
    raise_type_error("{}() got multiple values for argument '{}'", list.function,
                     list.names[index]);
    return false;
  }
  out[index] = value;
  return true;
}

bool check_required(const ParameterList& list, PyObject** out) noexcept {
  for (Py_ssize_t i = 0; i < list.required; ++i) {
    if (out[i] != nullptr) continue;
    raise_type_error("{}() missing required argument '{}' (pos {})", list.function, list.names[i],
                     i + 1);
    return false;
  }
  return true;
}

}  // namespace

bool bind_fastcall(const ParameterList& list, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) noexcept {
  if (!check_positional_count(list, nargs)) return false;
  for (Py_ssize_t i = 0; i < list.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k)
    if (!bind_keyword(list, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
  return check_required(list, out);
}

bool bind_tuple(const ParameterList& list, PyObject* args, PyObject* kwargs,
                PyObject** out) noexcept {
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0 || !check_positional_count(list, nargs)) return false;
  for (Py_ssize_t i = 0; i < list.count; ++i)
    out[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
  PyObject *key, *value;
  Py_ssize_t position = 0;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value))
    if (!bind_keyword(list, key, value, out)) return false;
  return check_required(list, out);
}

}  // namespace quillmere::python
