#include "quillmere/src/python/convert.hpp"

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/python/binding.hpp"
#include "quillmere/src/python/numpy.hpp"

namespace quillmere::python {

using quillmere_core::format;

std::string message_text(PyObject* text) {
  Ref owned = Ref::steal(text);
  Py_ssize_t size = 0;
  const char* utf8 = owned ? PyUnicode_AsUTF8AndSize(owned.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();  // only used to compose another exception's message
    return "?";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string type_name(PyObject* object) {
  return message_text(PyType_GetName(Py_TYPE(object)));
}

void raise_argument_error(const char* argument, std::string_view reason) noexcept {
  raise_composed(PyExc_TypeError, [&] { return format("argument '{}': {}", argument, reason); });
}

void raise_not_instance(const char* argument, PyObject* object, const char* expected) noexcept {
  raise_composed(PyExc_TypeError, [&] {
    return format("argument '{}': '{}' object is not an instance of '{}'", argument,
                  type_name(object), expected);
  });
}

bool to_text(const char* argument, PyObject* object, std::string_view& out) noexcept {
  if (!PyUnicode_Check(object)) {
    raise_not_instance(argument, object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;  // lone surrogates: UnicodeEncodeError
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

namespace {

// Re-raises a pending TypeError as "argument '<argument>': <its message>".
void name_argument_in_type_error(const char* argument) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  SavedError error = SavedError::fetch();
  Ref reason = Ref::steal(error.value() ? PyObject_Str(error.value()) : nullptr);
  Py_ssize_t size = 0;
  const char* text = reason ? PyUnicode_AsUTF8AndSize(reason.get(), &size) : nullptr;
  if (text == nullptr) {  // keep the original exception rather than lose it
    PyErr_Clear();
    error.restore();
    return;
  }
  raise_argument_error(argument, std::string_view(text, static_cast<std::size_t>(size)));
}

}  // namespace

bool to_u64(const char* argument, PyObject* object, std::uint64_t& out) noexcept {
  Ref converted;
  if (!PyLong_Check(object)) [[unlikely]] {
    converted = Ref::steal(PyNumber_Index(object));
    if (!converted) {
      name_argument_in_type_error(argument);
      return false;
    }
    object = converted.get();
  }
  out = PyLong_AsUnsignedLongLong(object);
  return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool to_optional_u64(const char* argument, PyObject* object,
                     std::optional<std::uint64_t>& out) noexcept {
  out.reset();
  if (object == nullptr || object == Py_None) return true;
  std::uint64_t value = 0;
  if (!to_u64(argument, object, value)) return false;
  out = value;
  return true;
}

bool to_flag(const char* argument, PyObject* object, bool absent, bool& out) noexcept {
  if (object == nullptr) {
    out = absent;
    return true;
  }
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  if (PyArray_IsScalar(object, Bool)) {
    int truth = PyObject_IsTrue(object);
    out = truth == 1;
    return truth >= 0;
  }
  raise_not_instance(argument, object, "bool");
  return false;
}

}  // namespace quillmere::python
