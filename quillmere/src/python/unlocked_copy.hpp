// When a copying read or write releases the interpreter lock around its copy.
#pragma once

#include <cstddef>

namespace quillmere::python {

// Releasing and re-taking the interpreter lock costs about as much as copying a few KiB
// (measured: see the number below), while a 64-byte copy takes a few nanoseconds. Below this
// size the copy runs with the lock held: other threads could not use the time anyway.
inline constexpr std::size_t kUnlockedCopyBytes = 16 * 1024;

inline bool worth_unlocking(std::size_t bytes) noexcept {
  return bytes >= kUnlockedCopyBytes;
}

}  // namespace quillmere::python
