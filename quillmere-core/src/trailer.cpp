// Trailer placement, lookup, initialisation and the frame-type record (layout in trailer.hpp).
#include "quillmere-core/src/trailer.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "quillmere-core/src/format.hpp"

namespace quillmere_core::trailer {

namespace {

constexpr std::uint64_t kMagicLetters = kMagic >> 32;  // "QLMT"

std::atomic_ref<std::uint64_t> magic_word(std::byte* trailer) {
  return std::atomic_ref<std::uint64_t>(*word(trailer, offset::magic));
}

}  // namespace

std::optional<std::uint64_t> trailer_offset(std::uint64_t entry_length, std::uint64_t entry_count) {
  auto ring = metadata::segment_size(entry_length, entry_count);
  if (!ring || *ring > std::numeric_limits<std::uint64_t>::max() - (kAlignment - 1))
    return std::nullopt;
  return (*ring + kAlignment - 1) / kAlignment * kAlignment;
}

Result<std::uint64_t> segment_size(std::uint64_t entry_length, std::uint64_t entry_count) {
  auto at = trailer_offset(entry_length, entry_count);
  if (!at || *at > std::numeric_limits<std::uint64_t>::max() - kTrailerSize)
    return fail(ErrorKind::InvalidInput,
                format("a ring of {} payload bytes x {} entries does not fit in a 64-bit "
                       "segment size",
                       entry_length, entry_count));
  return *at + kTrailerSize;
}

const char* state_name(State state) noexcept {
  switch (state) {
    case State::Valid:
      return "valid";
    case State::OtherVersion:
      return "other-version";
    case State::Foreign:
      return "foreign";
    case State::Absent:
      break;
  }
  return "absent";
}

Found find(std::byte* segment, std::uint64_t mapped_size, const metadata::HeaderSnapshot& header) {
  auto at = trailer_offset(header.entry_length, header.entry_count);
  if (!at || *at > mapped_size || mapped_size - *at < kTrailerSize)
    return Found{State::Absent, 0, nullptr};
  std::byte* trailer = segment + *at;
  // acquire: pairs with the release store in init(); a Valid trailer's words are initialised.
  const std::uint64_t magic = magic_word(trailer).load(std::memory_order_acquire);
  if (magic == kMagic) return Found{State::Valid, kVersion, trailer};
  if (magic == 0) return Found{State::Absent, 0, nullptr};
  if (magic >> 32 == kMagicLetters)
    return Found{State::OtherVersion, static_cast<std::uint32_t>(magic), nullptr};
  return Found{State::Foreign, 0, nullptr};
}

void init(std::byte* trailer) {
  // relaxed: the magic word is only ever accessed atomically; the release store below is what
  // a looker-up synchronises with.
  magic_word(trailer).store(0, std::memory_order_relaxed);
  std::memset(trailer + 8, 0, kTrailerSize - 8);
  // release: pairs with the acquire load in find(); whoever sees the magic sees the zeroes.
  magic_word(trailer).store(kMagic, std::memory_order_release);
}

std::span<const std::byte> record(std::byte* trailer) noexcept {
  // acquire: pairs with the release store in set_record(). A hostile length only changes
  // which in-bounds bytes come back.
  const std::uint64_t length = std::atomic_ref<std::uint64_t>(*word(trailer, offset::record_length))
                                   .load(std::memory_order_acquire);
  return {trailer + offset::record, std::min(length, kRecordCapacity)};
}

Result<void> set_record(std::byte* trailer, std::span<const std::byte> bytes) {
  if (bytes.size() > kRecordCapacity)
    return fail(ErrorKind::InvalidInput,
                format("frame-type record of {} bytes exceeds the trailer's {} bytes", bytes.size(),
                       kRecordCapacity));
  if (!bytes.empty()) std::memcpy(trailer + offset::record, bytes.data(), bytes.size());
  // release: the bytes above are in place before a reader can see the length that covers them.
  std::atomic_ref<std::uint64_t>(*word(trailer, offset::record_length))
      .store(bytes.size(), std::memory_order_release);
  return {};
}

}  // namespace quillmere_core::trailer
