// When a copying read or write releases the interpreter lock around its copy.
#pragma once

#include <cstddef>

namespace quillmere::python {

// Releasing and re-taking an uncontended interpreter lock costs about 150 ns (measured on
// x86-64: a 64-byte write takes 40 ns with the lock held and 180 ns with it released), about
// what copying 2-4 KiB into the ring costs; a 16 KiB copy takes over 1 us. From 8 KiB on the
// copy is long enough for other threads to make use of the time and the release costs at most
// a fifth of it; below that the copy runs with the lock held.
inline constexpr std::size_t kUnlockedCopyBytes = 8 * 1024;

inline bool worth_unlocking(std::size_t bytes) noexcept {
  return bytes >= kUnlockedCopyBytes;
}

}  // namespace quillmere::python
