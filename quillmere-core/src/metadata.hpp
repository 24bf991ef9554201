// Segment layout of one channel: a 72-byte header followed by entry_count slots.
//
//   offset  0  magic word        0x514c4d52'00000001 ("QLMR", layout version 1); stored last
//   offset  8  entry_length      payload bytes per slot, non-zero multiple of 8
//   offset 16  entry_count       slots in the ring, non-zero
//   offset 24  dtype             element type code (kDtype*), zero-extended
//   offset 32  owner_pid         process that owns the segment name
//   offset 40  writer_pid        holder of the writer role, 0 when free
//   offset 48  reader_pid        holder of the zero-copy reader role, 0 when free
//   offset 56  write_cursor      slot after the last committed one
//   offset 64  writer_entry_seq  entry_seq of the last committed entry, 0 when none
//   slot i at 72 + i * (entry_length + 8): an int64 slot sequence word, then the payload.
//
// Slot sequence word: 0 empty or being written, S > 0 committed entry S, -S entry S held by
// the zero-copy reader. The segment is shared memory that any process of the user may write
// to, so every word read from it is untrusted: the checks here bound what later layers touch.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "quillmere-core/src/error.hpp"

namespace quillmere_core::metadata {

inline constexpr std::uint64_t kMagic = 0x514c4d5200000001ULL;
inline constexpr std::uint32_t kLayoutVersion = 1;
inline constexpr std::uint64_t kHeaderSize = 72;
// Slot sequence word in front of every payload.
inline constexpr std::uint64_t kSlotWordSize = 8;
// entry_length must be a multiple of this so that every slot word stays 8-byte aligned.
inline constexpr std::uint64_t kPayloadAlignment = 8;

namespace offset {  // byte offsets of the header words
inline constexpr std::size_t magic = 0, entry_length = 8, entry_count = 16, dtype = 24,
                             owner_pid = 32, writer_pid = 40, reader_pid = 48, write_cursor = 56,
                             writer_entry_seq = 64;
}

inline constexpr std::uint8_t kDtypeU8 = 0, kDtypeI64 = 1, kDtypeF64 = 2;

// "u8", "i64", "f64", or "unknown" for any other code.
std::string_view dtype_name(std::uint64_t code);

// In-process copy of a valid header; the pid words are not part of it.
struct HeaderSnapshot {
  std::uint64_t entry_length, entry_count, write_cursor, dtype, writer_entry_seq;
};

// 72 + entry_count * (entry_length + 8); refused (InvalidInput, naming both values) when that
// does not fit in 64 bits.
Result<std::uint64_t> segment_size(std::uint64_t entry_length, std::uint64_t entry_count);

// Non-zero geometry with entry_length a multiple of 8; no upper bound of its own.
Result<void> check_geometry(std::uint64_t entry_length, std::uint64_t entry_count);

// Zeroes the whole segment (72 + entry_count * (entry_length + 8) bytes), stores the geometry,
// dtype and owner pid, then publishes the magic word with release ordering. The geometry must
// have passed check_geometry and segment_size.
void init_header(std::byte* base, std::uint64_t entry_length, std::uint64_t entry_count,
                 std::uint8_t dtype, std::uint64_t pid);

// Refuses a mapping shorter than the header before touching it. Otherwise: nullopt when the
// magic word is 0 (never initialised), a snapshot when valid, else the version/foreign errors.
Result<std::optional<HeaderSnapshot>> read_header(const std::byte* base, std::uint64_t mapped_size);

// Refuses a header whose geometry cannot carry a ring (zero or misaligned sizes, a size that
// overflows) or whose ring would extend past mapped_size. Callers run it before handing a
// mapping to a ring reader or writer; after it passes, every slot index below entry_count is
// in bounds.
Result<void> check_mapping(std::uint64_t mapped_size, const HeaderSnapshot& header);

// The header's geometry against the requested one (the dtype is not compared).
Result<void> validate_header(const HeaderSnapshot& header, std::uint64_t entry_length,
                             std::uint64_t entry_count);

// The header's dtype against the requested one; a u8 request accepts any channel.
Result<void> check_dtype(const HeaderSnapshot& header, std::uint8_t dtype);

// Address of a header word. Header words change under us (other processes write them), so
// they are only ever accessed through std::atomic_ref on this address.
inline std::uint64_t* header_word(std::byte* base, std::size_t offset) {
  return reinterpret_cast<std::uint64_t*>(base + offset);
}

// Slot addressing, shared by the ring writer and reader. index < entry_count of a mapping
// that passed check_mapping, so none of this can overflow or leave the mapping.
constexpr std::uint64_t slot_offset(std::uint64_t entry_length, std::uint64_t index) noexcept {
  return kHeaderSize + index * (entry_length + kSlotWordSize);
}

inline std::int64_t* slot_word(std::byte* base, std::uint64_t entry_length,
                               std::uint64_t index) noexcept {
  return reinterpret_cast<std::int64_t*>(base + slot_offset(entry_length, index));
}

inline std::byte* slot_payload(std::byte* base, std::uint64_t entry_length,
                               std::uint64_t index) noexcept {
  return base + slot_offset(entry_length, index) + kSlotWordSize;
}

static_assert(offset::magic == 0 && offset::entry_length == 8 && offset::entry_count == 16 &&
                  offset::dtype == 24 && offset::owner_pid == 32 && offset::writer_pid == 40 &&
                  offset::reader_pid == 48 && offset::write_cursor == 56 &&
                  offset::writer_entry_seq == 64,
              "header is nine consecutive 8-byte words");
static_assert(offset::writer_entry_seq + 8 == kHeaderSize, "slots follow the last header word");
static_assert(kHeaderSize % kSlotWordSize == 0 && kPayloadAlignment == kSlotWordSize,
              "with entry_length a multiple of 8, every slot word and payload is 8-aligned");
static_assert(slot_offset(16, 0) + kSlotWordSize == 80 && slot_offset(16, 1) == 96,
              "slot i starts at 72 + i * (entry_length + 8), its payload 8 bytes later");
static_assert(slot_offset(16, 4) == 168, "16 x 4 geometry spans 168 bytes");
// Shared words are accessed by several processes through their own mappings: the atomics
// must be lock-free (no process-local lock) and fit the 8-byte alignment the layout gives.
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free &&
                  std::atomic_ref<std::int64_t>::is_always_lock_free,
              "cross-process atomics must be lock-free");
static_assert(std::atomic_ref<std::int64_t>::required_alignment <= kSlotWordSize,
              "slot words are only 8-byte aligned");

}  // namespace quillmere_core::metadata
