// Payload copies into and out of a slot that another process may be writing concurrently.
//
// A copying reader reads a payload while the writer may be overwriting it; the slot word
// check after the copy throws such a copy away. That read is racy by design. The normal
// build uses plain memcpy, the fastest copy there is. Under ThreadSanitizer the same copies
// become word-wise relaxed atomics so that the tool can see the race is benign; both sides
// then go through these helpers. Slot payloads are 8-byte aligned (entry_length is a multiple
// of 8); the caller's buffer may have any alignment.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillmere_core::payload {

#if defined(QUILLMERE_TSAN)

inline void copy_to_slot(std::byte* slot, const std::byte* source, std::uint64_t length) noexcept {
  for (std::uint64_t at = 0; at < length; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, source + at, 8);
    // relaxed: ordered by the writer's fences around the payload; see writer.hpp
    std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(slot + at))
        .store(word, std::memory_order_relaxed);
  }
}

inline void copy_from_slot(std::byte* destination, std::byte* slot, std::uint64_t length) noexcept {
  for (std::uint64_t at = 0; at < length; at += 8) {
    // relaxed: validated by the acquire fence and slot word re-check in reader.hpp
    const std::uint64_t word =
        std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(slot + at))
            .load(std::memory_order_relaxed);
    std::memcpy(destination + at, &word, 8);
  }
}

#else

inline void copy_to_slot(std::byte* slot, const std::byte* source, std::uint64_t length) noexcept {
  std::memcpy(slot, source, length);
}

inline void copy_from_slot(std::byte* destination, std::byte* slot, std::uint64_t length) noexcept {
  std::memcpy(destination, slot, length);
}

#endif

}  // namespace quillmere_core::payload
