#include "quillmere/src/python/arrays.hpp"

#include <string>

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/python/binding.hpp"
#include "quillmere/src/python/convert.hpp"

namespace quillmere::python {
namespace {

std::string dtype_name(PyArrayObject* array) {  // throws std::bad_alloc
  return message_text(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
}

const char* dimensions(int count) noexcept {
  return count == 1 ? "dimension" : "dimensions";
}

}  // namespace

bool check_vector(const char* argument, PyObject* object, int element_type,
                  const char* element_name) noexcept {
  if (!PyArray_Check(object)) {
    raise_not_instance(argument, object, "ndarray");
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  PyArray_Descr* descr = PyArray_DESCR(array);
  if (PyArray_NDIM(array) == 1 && descr->type_num == element_type &&
      PyArray_ISNBO(descr->byteorder)) [[likely]]
    return true;
  int ndim = PyArray_NDIM(array);
  raise_composed(PyExc_TypeError, [&] {
    return quillmere_core::format(
        "argument '{}': 'ndarray' object is not an instance of 'ndarray' of dtype {} with 1 "
        "dimension (got dtype {} with {} {})",
        argument, element_name, dtype_name(array), ndim, dimensions(ndim));
  });
  return false;
}

}  // namespace quillmere::python
