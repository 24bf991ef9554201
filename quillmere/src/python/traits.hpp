// The facts in which a byte channel and a float64 channel differ, shared by the reader and
// writer classes. Everything else is one template over these structs.
#pragma once

#include <Python.h>

#include <cstdint>

#include "quillmere-core/src/metadata.hpp"
#include "quillmere/src/python/numpy.hpp"
#include "quillmere/src/units.hpp"

namespace quillmere::python {

struct BytesChannel {
  static constexpr std::uint8_t dtype = quillmere_core::metadata::kDtypeU8;
  static constexpr std::uint64_t unit = 1;  // bytes per element at the Python surface
  static constexpr int owner_tag = 0;       // handle owner tag
  static constexpr const char* format = "B";
  static constexpr Py_ssize_t itemsize = 1;
  static constexpr int element_type = NPY_UBYTE;
  static constexpr const char* element_name = "uint8";
  static constexpr const char* entry_length_doc =
      "Bytes per entry (0 while a deferred channel is unconnected).";
};

struct Float64Channel {
  static constexpr std::uint8_t dtype = quillmere_core::metadata::kDtypeF64;
  static constexpr std::uint64_t unit = 8;
  static constexpr int owner_tag = 1;
  static constexpr const char* format = "d";
  static constexpr Py_ssize_t itemsize = 8;
  static constexpr int element_type = NPY_DOUBLE;
  static constexpr const char* element_name = "float64";
  static constexpr const char* entry_length_doc =
      "Number of `float64` elements per entry (0 while deferred).";
};

// Elements to bytes on the way in (saturating, see units.hpp).
template <class Channel>
constexpr std::uint64_t to_bytes(std::uint64_t elements) noexcept {
  return units::to_bytes(elements, Channel::unit);
}

}  // namespace quillmere::python
