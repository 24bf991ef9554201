#include "tools/src/python/array_argument.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace quillmere_tools::python {

namespace {

// A struct-module format without its native-order prefix; nullptr for another byte order.
const char* native_code(const char* format) noexcept {
  if (format == nullptr) return "B";  // no format given: unsigned bytes
  if (*format == '@' || *format == '=') return format + 1;
  constexpr char kOwnOrder = std::endian::native == std::endian::little ? '<' : '>';
  if (*format == kOwnOrder) return format + 1;
  if (*format == '<' || *format == '>' || *format == '!') return nullptr;
  return format;
}

bool matches(Element element, const char* format, Py_ssize_t itemsize) noexcept {
  const char* code = native_code(format);
  if (code == nullptr || code[0] == '\0' || code[1] != '\0') return false;
  switch (element) {
    case Element::U8:
      return *code == 'B' && itemsize == 1;
    case Element::F64:
      return *code == 'd' && itemsize == 8;
    case Element::I64:
      return std::strchr("qQlL", *code) != nullptr && itemsize == 8;
  }
  return false;
}

}  // namespace

const char* element_name(Element element) noexcept {
  switch (element) {
    case Element::U8:
      return "uint8";
    case Element::F64:
      return "float64";
    case Element::I64:
      return "int64";
  }
  return "?";
}

ArrayArgument::~ArrayArgument() {
  if (held_) PyBuffer_Release(&view_);
}

bool ArrayArgument::take(const char* argument, PyObject* object, Element element, int dimensions,
                         bool writable) noexcept {
  if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a %d-D %s array, got %R", argument,
                 dimensions, element_name(element), reinterpret_cast<PyObject*>(Py_TYPE(object)));
    return false;
  }
  held_ = true;
  if (!matches(element, view_.format, view_.itemsize)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a %d-D %s array, got items of format '%s' (%zd bytes)",
                 argument, dimensions, element_name(element),
                 view_.format == nullptr ? "B" : view_.format, view_.itemsize);
    return false;
  }
  if (view_.ndim != dimensions) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a %d-D array, got %d-D", argument,
                 dimensions, view_.ndim);
    return false;
  }
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': expected a C-contiguous array, got a strided view", argument);
    return false;
  }
  // The words of an int64 array are stored through std::uint64_t: they must be aligned.
  if (element == Element::I64 && reinterpret_cast<std::uintptr_t>(view_.buf) % 8 != 0) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected an 8-byte aligned array, got %p",
                 argument, view_.buf);
    return false;
  }
  if (writable && view_.readonly) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a writeable array, got a read-only one",
                 argument);
    return false;
  }
  return true;
}

}  // namespace quillmere_tools::python
