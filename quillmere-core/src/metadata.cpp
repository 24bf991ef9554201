// Header creation, reading and checks (cold paths; layout in metadata.hpp).
#include "quillmere-core/src/metadata.hpp"

#include <atomic>
#include <cstring>
#include <limits>

#include "quillmere-core/src/format.hpp"

namespace quillmere_core::metadata {

namespace {

constexpr std::uint64_t kMagicLetters = kMagic >> 32;  // "QLMR"

std::uint64_t load_relaxed(const std::byte* base, std::size_t at) {
  // relaxed: ordered after the acquire load of the magic word in read_header.
  return std::atomic_ref<std::uint64_t>(*header_word(const_cast<std::byte*>(base), at))
      .load(std::memory_order_relaxed);
}

void store_relaxed(std::byte* base, std::size_t at, std::uint64_t value) {
  // relaxed: published by the release store of the magic word in init_header.
  std::atomic_ref<std::uint64_t>(*header_word(base, at)).store(value, std::memory_order_relaxed);
}

}  // namespace

std::string_view dtype_name(std::uint64_t code) {
  switch (code) {
    case kDtypeU8:
      return "u8";
    case kDtypeI64:
      return "i64";
    case kDtypeF64:
      return "f64";
    default:
      return "unknown";
  }
}

Result<std::uint64_t> segment_size(std::uint64_t entry_length, std::uint64_t entry_count) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  const bool fits =
      entry_length <= kMax - kSlotWordSize &&
      (entry_count == 0 || entry_length + kSlotWordSize <= (kMax - kHeaderSize) / entry_count);
  if (!fits)
    return fail(ErrorKind::InvalidInput,
                format("a ring of {} payload bytes x {} entries does not fit in a 64-bit "
                       "segment size",
                       entry_length, entry_count));
  return kHeaderSize + entry_count * (entry_length + kSlotWordSize);
}

Result<void> check_geometry(std::uint64_t entry_length, std::uint64_t entry_count) {
  if (entry_length == 0 || entry_count == 0)
    return fail(ErrorKind::InvalidInput, "entry_length and entry_count must be non-zero");
  if (entry_length % kPayloadAlignment != 0)
    return fail(ErrorKind::InvalidInput,
                format("payload must be a multiple of {} bytes to keep slot entry_seq words "
                       "aligned, got {}",
                       kPayloadAlignment, entry_length));
  return {};
}

void init_header(std::byte* base, std::uint64_t entry_length, std::uint64_t entry_count,
                 std::uint8_t dtype, std::uint64_t pid) {
  // The magic word is only ever accessed atomically, so it is cleared apart from the wipe.
  // relaxed: the release store at the end is what readers synchronise with.
  std::atomic_ref<std::uint64_t>(*header_word(base, offset::magic))
      .store(0, std::memory_order_relaxed);
  std::memset(base + 8, 0, kHeaderSize - 8 + entry_count * (entry_length + kSlotWordSize));
  store_relaxed(base, offset::entry_length, entry_length);
  store_relaxed(base, offset::entry_count, entry_count);
  store_relaxed(base, offset::dtype, dtype);
  store_relaxed(base, offset::owner_pid, pid);
  // release: pairs with the acquire load in read_header; whoever sees the magic word sees the
  // zeroed slots and the fields above.
  std::atomic_ref<std::uint64_t>(*header_word(base, offset::magic))
      .store(kMagic, std::memory_order_release);
}

Result<std::optional<HeaderSnapshot>> read_header(const std::byte* base,
                                                  std::uint64_t mapped_size) {
  if (mapped_size < kHeaderSize)
    return fail(ErrorKind::InvalidInput,
                format("shared memory segment of {} bytes is shorter than the {}-byte ring "
                       "header",
                       mapped_size, kHeaderSize));
  // acquire: pairs with the release store of the magic word in init_header.
  const std::uint64_t magic =
      std::atomic_ref<std::uint64_t>(*header_word(const_cast<std::byte*>(base), offset::magic))
          .load(std::memory_order_acquire);
  if (magic == 0) return std::nullopt;
  if (magic == kMagic)
    return HeaderSnapshot{
        load_relaxed(base, offset::entry_length), load_relaxed(base, offset::entry_count),
        load_relaxed(base, offset::write_cursor), load_relaxed(base, offset::dtype),
        load_relaxed(base, offset::writer_entry_seq)};
  if (magic >> 32 == kMagicLetters)
    return fail(ErrorKind::InvalidInput,
                format("Quillmere layout version mismatch: segment is v{}, this build speaks v{}",
                       magic & 0xffffffffULL, kLayoutVersion));
  return fail(ErrorKind::InvalidInput, "shared memory segment is not a Quillmere ring");
}

Result<void> check_mapping(std::uint64_t mapped_size, const HeaderSnapshot& header) {
  if (auto geometry = check_geometry(header.entry_length, header.entry_count); !geometry)
    return geometry;
  auto needed = segment_size(header.entry_length, header.entry_count);
  if (!needed) return std::unexpected(needed.error());
  if (mapped_size < *needed)
    return fail(ErrorKind::InvalidInput,
                format("shared memory segment of {} bytes is too small for its header's "
                       "geometry ({} payload bytes, {} entries need {} bytes)",
                       mapped_size, header.entry_length, header.entry_count, *needed));
  return {};
}

Result<void> validate_header(const HeaderSnapshot& header, std::uint64_t entry_length,
                             std::uint64_t entry_count) {
  if (header.entry_length == entry_length && header.entry_count == entry_count) return {};
  return fail(ErrorKind::InvalidInput,
              format("header mismatch: expected ({} payload bytes, {} entries), found ({} "
                     "payload bytes, {} entries)",
                     entry_length, entry_count, header.entry_length, header.entry_count));
}

Result<void> check_dtype(const HeaderSnapshot& header, std::uint8_t dtype) {
  if (dtype == kDtypeU8 || header.dtype == dtype) return {};
  return fail(ErrorKind::InvalidInput, format("dtype mismatch: channel holds {}, requested {}",
                                              dtype_name(header.dtype), dtype_name(dtype)));
}

}  // namespace quillmere_core::metadata
