// A ring on plain memory for the core tests: 8-byte aligned storage plus typed access to the
// header and slot words, so tests can build any ring state (including hostile ones) directly.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "quillmere-core/src/metadata.hpp"

namespace quillmere_core::testing {

class PlainRing {
 public:
  PlainRing(std::uint64_t entry_length, std::uint64_t entry_count,
            std::uint8_t dtype = metadata::kDtypeU8, std::uint64_t pid = 1)
      : entry_length_(entry_length),
        entry_count_(entry_count),
        storage_((metadata::kHeaderSize + entry_count * (entry_length + 8)) / 8) {
    metadata::init_header(base(), entry_length, entry_count, dtype, pid);
  }

  std::byte* base() { return reinterpret_cast<std::byte*>(storage_.data()); }
  std::uint64_t size() const { return storage_.size() * 8; }
  std::uint64_t entry_length() const { return entry_length_; }
  std::uint64_t entry_count() const { return entry_count_; }

  std::uint64_t header(std::size_t offset) {
    // seq_cst: test-side inspection, pairs with nothing in particular (ordering not under test)
    return std::atomic_ref<std::uint64_t>(*metadata::header_word(base(), offset))
        .load(std::memory_order_seq_cst);
  }
  void set_header(std::size_t offset, std::uint64_t value) {
    // seq_cst: test-side setup
    std::atomic_ref<std::uint64_t>(*metadata::header_word(base(), offset))
        .store(value, std::memory_order_seq_cst);
  }
  std::int64_t word(std::uint64_t index) {
    // seq_cst: test-side inspection
    return std::atomic_ref<std::int64_t>(*metadata::slot_word(base(), entry_length_, index))
        .load(std::memory_order_seq_cst);
  }
  void set_word(std::uint64_t index, std::int64_t value) {
    // seq_cst: test-side setup
    std::atomic_ref<std::int64_t>(*metadata::slot_word(base(), entry_length_, index))
        .store(value, std::memory_order_seq_cst);
  }
  std::span<std::byte> payload(std::uint64_t index) {
    return {metadata::slot_payload(base(), entry_length_, index), entry_length_};
  }
  metadata::HeaderSnapshot snapshot() { return **metadata::read_header(base(), size()); }

 private:
  std::uint64_t entry_length_;
  std::uint64_t entry_count_;
  std::vector<std::uint64_t> storage_;
};

// entry_length bytes, every one equal to fill.
inline std::vector<std::byte> filled(std::uint64_t entry_length, unsigned char fill) {
  return std::vector<std::byte>(entry_length, std::byte{fill});
}

inline bool all_equal(std::span<const std::byte> bytes, unsigned char fill) {
  for (std::byte b : bytes)
    if (b != std::byte{fill}) return false;
  return true;
}

}  // namespace quillmere_core::testing
