// The segment trailer: a block after the last slot that carries the doorbell's waiter count and
// a frame-type record. Segments created by this build have one; a segment made at the exact
// ring size (another implementation, an older build) has none and keeps working without it:
// waits fall back to polling and writers ring nothing. The header and slots are the same
// either way, so any implementation of the ring format reads a segment that has a trailer.
//
//   trailer at align_up(72 + entry_count * (entry_length + 8), 64), kTrailerSize bytes:
//   offset   0  magic          0x514c4d54'00000001 ("QLMT", trailer version 1); stored last
//   offset  64  waiters        registered waiters; the writer loads it after every publish
//   offset 128  waiter_pids    kWaiterSlots words: process id of a registered waiter, 0 free
//   offset 384  record_length  bytes used in the frame-type record
//   offset 392  record         kRecordCapacity bytes, free for the frame-type description
//
// The doorbell itself is the low 32 bits of the header's writer_entry_seq: every publish
// changes it, so a waiter sleeps on it with the value it last saw and the publish path needs
// no store of its own. The waiter count sits on its own cache line: waiters write it, the
// writer reads it on every publish, and nothing else there may bounce that line.
//
// Everything here is pure: no system calls. Any process of the user may scribble on the
// trailer, so its words are untrusted: a count that is too high only costs wake calls, pids
// are checked before use by the caller's liveness test, and the record length is clamped.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/metadata.hpp"

namespace quillmere_core::trailer {

inline constexpr std::uint64_t kMagic = 0x514c4d5400000001ULL;
inline constexpr std::uint32_t kVersion = 1;
inline constexpr std::uint64_t kAlignment = 64;  // a cache line: no slot shares the count's
inline constexpr std::uint64_t kTrailerSize = 1024;
inline constexpr std::uint64_t kWaiterSlots = 32;
inline constexpr std::uint64_t kRecordCapacity = 632;

namespace offset {
inline constexpr std::size_t magic = 0, waiters = 64, waiter_pids = 128, record_length = 384,
                             record = 392;
}

// Where the trailer starts for a geometry, or nothing when the sizes overflow 64 bits.
std::optional<std::uint64_t> trailer_offset(std::uint64_t entry_length, std::uint64_t entry_count);

// Bytes to create a segment with: the ring, padding to the trailer, and the trailer. Refused
// (InvalidInput, naming both values) when that does not fit in 64 bits.
Result<std::uint64_t> segment_size(std::uint64_t entry_length, std::uint64_t entry_count);

// What a mapping holds past its ring.
enum class State : std::uint8_t {
  Absent,        // too short for a trailer, or its magic word is 0
  Valid,         // this build's trailer
  OtherVersion,  // the right letters, another version: treated as absent
  Foreign,       // any other bytes: treated as absent
};

struct Found {
  State state;
  std::uint32_t version;  // the version in the magic word; 0 unless the letters match
  std::byte* base;        // the trailer's first byte when Valid, else nullptr
};

// "valid", "absent", "other-version" or "foreign": a static NUL-terminated string.
const char* state_name(State state) noexcept;

// Looks for a trailer behind a ring whose header passed metadata::check_mapping against
// mapped_size. Loads the magic word with acquire ordering, so a Valid trailer is initialised.
Found find(std::byte* segment, std::uint64_t mapped_size, const metadata::HeaderSnapshot& header);

// Zeroes the kTrailerSize bytes at `trailer` and stores the magic word last (release).
void init(std::byte* trailer);

// A valid trailer's words. Every access goes through std::atomic_ref on these addresses.
inline std::uint64_t* word(std::byte* trailer, std::size_t at) noexcept {
  return reinterpret_cast<std::uint64_t*>(trailer + at);
}
inline std::uint64_t* waiter_pid(std::byte* trailer, std::uint64_t slot) noexcept {
  return word(trailer, offset::waiter_pids + slot * 8);
}

// The futex word every publish changes: the low half of writer_entry_seq.
inline std::uint32_t* doorbell_word(std::byte* segment) noexcept {
  return reinterpret_cast<std::uint32_t*>(segment + metadata::offset::writer_entry_seq);
}

// The frame-type record, its length clamped to the capacity whatever the word says.
std::span<const std::byte> record(std::byte* trailer) noexcept;
// Replaces the record; refused (InvalidInput) above kRecordCapacity bytes.
Result<void> set_record(std::byte* trailer, std::span<const std::byte> bytes);

static_assert(std::endian::native == std::endian::little,
              "the doorbell word is the low half of writer_entry_seq in memory");
static_assert(metadata::offset::writer_entry_seq % 8 == 0, "futex words need 4-byte alignment");
static_assert(offset::waiters % kAlignment == 0 && offset::waiter_pids % kAlignment == 0,
              "the waiter count has a cache line of its own");
static_assert(offset::waiter_pids + kWaiterSlots * 8 <= offset::record_length,
              "pid slots end before the record");
static_assert(offset::record == offset::record_length + 8 &&
                  offset::record + kRecordCapacity == kTrailerSize,
              "the record fills the trailer to its end");
static_assert(kTrailerSize % kAlignment == 0, "the trailer is whole cache lines");

}  // namespace quillmere_core::trailer
