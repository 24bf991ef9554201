// NumPy array checks shared by Float64Writer.write and the readers' `out` argument.
#pragma once

#include <Python.h>

#include "quillmere/src/python/numpy.hpp"

namespace quillmere::python {

inline constexpr const char* kMisalignedArray =
    "The given array is not contiguous or is misaligned.";

// True when `object` is an ndarray (any subclass) with one dimension and a dtype equivalent to
// the native `element_type`; otherwise a TypeError naming `argument` and what was wrong.
bool check_vector(const char* argument, PyObject* object, int element_type,
                  const char* element_name) noexcept;

inline bool is_contiguous(PyArrayObject* array) noexcept {
  return PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS) ||
         PyArray_CHKFLAGS(array, NPY_ARRAY_F_CONTIGUOUS);
}

// Aligned, contiguous and with a data area: safe to copy to or from as plain memory.
inline bool is_plain_memory(PyArrayObject* array) noexcept {
  return PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED) && is_contiguous(array) &&
         PyArray_DATA(array) != nullptr;
}

}  // namespace quillmere::python
