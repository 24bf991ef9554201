// A caller's array for a batch, taken through the buffer protocol and checked once: element
// type, number of dimensions, C-contiguity and (for destinations) writeability. The export is
// held until the object goes, so the memory stays put while the interpreter lock is released.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmere_tools::python {

// The element types a batch moves.
enum class Element { U8, F64, I64 };

class ArrayArgument {
 public:
  ArrayArgument() noexcept = default;
  ~ArrayArgument();
  ArrayArgument(const ArrayArgument&) = delete;
  ArrayArgument& operator=(const ArrayArgument&) = delete;

  // False with TypeError (not an array of `element`) or ValueError (not `dimensions`-D, not
  // C-contiguous, an int64 array not 8-byte aligned, read-only although `writable`), each
  // naming `argument`, expected and got.
  bool take(const char* argument, PyObject* object, Element element, int dimensions,
            bool writable) noexcept;

  std::uint64_t extent(int dimension) const noexcept {
    return static_cast<std::uint64_t>(view_.shape[dimension]);
  }
  std::span<std::byte> bytes() const noexcept {
    return {static_cast<std::byte*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The element type's name as numpy spells it.
const char* element_name(Element element) noexcept;

}  // namespace quillmere_tools::python
