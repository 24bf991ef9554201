// Giving a zero-copy hold back with nothing but its ReadSlot: -S -> S on the slot word that
// sits in front of the held payload (layout in metadata.hpp).
//
// For a finaliser that must not touch the ring reader, which may be in the middle of another
// call of its owner. RawReader::release does the same through the reader, after checking that
// the slot belongs to its ring; here the slot must come from RawReader::try_acquire on a
// mapping that is still in place.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/reader.hpp"

namespace quillmere_core::reader {

inline void release_hold(const ReadSlot& slot) noexcept {
  constexpr auto kLargestWord =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (slot.entry_seq == 0 || slot.entry_seq > kLargestWord) [[unlikely]]
    return;  // no hold could carry it
  auto* word = reinterpret_cast<std::int64_t*>(slot.payload - metadata::kSlotWordSize);
  const auto held = static_cast<std::int64_t>(slot.entry_seq);
  std::int64_t expected = -held;
  // release: pairs with the acquire of the writer's claim in RawWriter::try_claim, so our reads
  // of the held payload happen before the writer's next stores into it. A compare-and-swap, as
  // in RawReader::release: a word that no longer holds -S is not ours to change.
  std::atomic_ref<std::int64_t>(*word).compare_exchange_strong(
      expected, held, std::memory_order_release, std::memory_order_relaxed);
}

}  // namespace quillmere_core::reader
