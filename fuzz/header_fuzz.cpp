// libFuzzer target: the input is the image of a shared-memory segment as a hostile process
// may have left it. Whatever the bytes, the header checks must refuse it or hand the ring
// code a geometry that stays inside the mapping, and the ring writer and reader must then
// behave (no out-of-bounds access, no undefined behaviour, no unbounded loop, numbering that
// resumes above every entry in the ring). A violated property aborts, which libFuzzer reports
// with the input that caused it.
//
// The image is copied into a heap block of exactly the input's size, so AddressSanitizer
// flags any access past the "mapping" to the byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/writer.hpp"

namespace {

namespace meta = quillmere_core::metadata;
using quillmere_core::reader::RawReader;
using quillmere_core::writer::RawWriter;

// Writes and reads per accepted image; enough to wrap a small ring and meet every slot state.
constexpr int kOperations = 6;

void require(bool property) {
  if (!property) std::abort();
}

// The mapping: exactly `size` bytes, 16-byte aligned like operator new (a real mapping is
// page aligned; the header checks must not rely on more than 8).
struct Segment {
  explicit Segment(std::span<const std::uint8_t> image)
      : bytes(new std::byte[image.size() == 0 ? 1 : image.size()]), size(image.size()) {
    if (!image.empty()) std::memcpy(bytes.get(), image.data(), image.size());
  }
  std::unique_ptr<std::byte[]> bytes;
  std::uint64_t size;
};

std::int64_t slot_word(std::byte* base, const meta::HeaderSnapshot& header, std::uint64_t i) {
  std::int64_t word;
  std::memcpy(&word, meta::slot_word(base, header.entry_length, i), sizeof word);
  return word;
}

// The highest entry_seq a resuming writer must stay above: writer_entry_seq and every
// slot word's magnitude (a held -S counts as S).
std::uint64_t highest_seq(std::byte* base, const meta::HeaderSnapshot& header) {
  std::uint64_t highest = header.writer_entry_seq;
  for (std::uint64_t i = 0; i < header.entry_count; ++i) {
    const auto bits = static_cast<std::uint64_t>(slot_word(base, header, i));
    const std::uint64_t magnitude = static_cast<std::int64_t>(bits) < 0 ? 0 - bits : bits;
    if (magnitude > highest) highest = magnitude;
  }
  return highest;
}

// The checks every opener runs, with requests taken from the image itself and from fixed
// corner values; none may touch memory (they take a snapshot) and none may misbehave.
void exercise_checks(const meta::HeaderSnapshot& header) {
  for (std::uint8_t dtype : {meta::kDtypeU8, meta::kDtypeI64, meta::kDtypeF64})
    (void)meta::check_dtype(header, dtype);
  (void)meta::validate_header(header, header.entry_length, header.entry_count);
  (void)meta::validate_header(header, 8, 1);
  (void)meta::check_geometry(header.entry_length, header.entry_count);
  (void)meta::segment_size(header.entry_length, header.entry_count);
}

// Copying reads from watermark 0: each returns an entry newer than the last one, never
// more entries than the ring has slots plus the retries, and the payload is the slot's.
void read_all(std::byte* base, const meta::HeaderSnapshot& header) {
  RawReader reader(base, header.entry_length, header.entry_count);
  std::vector<std::byte> destination(header.entry_length);
  std::uint64_t previous = 0;
  for (std::uint64_t n = 0; n <= header.entry_count; ++n) {
    auto got = reader.read_into(destination, std::nullopt);
    require(got.has_value());  // the destination has the right length
    if (!*got) return;
    require(**got > previous && **got <= static_cast<std::uint64_t>(INT64_MAX));
    const std::uint64_t index = reader.slot_index();
    require(index < header.entry_count);
    require(std::memcmp(destination.data(), meta::slot_payload(base, header.entry_length, index),
                        header.entry_length) == 0);
    previous = **got;
  }
  require(false);  // more distinct entries than slots
}

// A zero-copy hold and its release leave the word as it was.
void hold_and_release(std::byte* base, const meta::HeaderSnapshot& header) {
  RawReader reader(base, header.entry_length, header.entry_count);
  auto slot = reader.try_acquire(std::nullopt);
  if (!slot) return;
  require(slot->index < header.entry_count && slot->entry_seq > 0);
  require(slot_word(base, header, slot->index) == -static_cast<std::int64_t>(slot->entry_seq));
  reader.release(*slot);
  require(slot_word(base, header, slot->index) == static_cast<std::int64_t>(slot->entry_seq));
}

// What a reader must see right after a write of entry `seq`: exactly that entry.
void expect_readable(std::byte* base, const meta::HeaderSnapshot& header, std::uint64_t seq,
                     const std::vector<std::byte>& payload) {
  RawReader reader(base, header.entry_length, header.entry_count);
  std::vector<std::byte> destination(header.entry_length);
  auto got = reader.read_into(destination, seq - 1);
  require(got.has_value() && *got && **got == seq && destination == payload);
}

// Writes by copy and in place; every accepted entry_seq is above everything in the ring
// before, fits a slot word, and reads back.
void write_some(std::byte* base, const meta::HeaderSnapshot& header) {
  const std::uint64_t floor = highest_seq(base, header);
  RawWriter writer = RawWriter::attach(base, header);
  require(writer.cursor() < header.entry_count && writer.last_entry_seq() == floor);
  std::vector<std::byte> payload(header.entry_length);
  for (int op = 0; op < kOperations; ++op) {
    std::memset(payload.data(), 0x40 + op, payload.size());
    std::uint64_t seq = 0;
    if (op % 2 == 0) {
      if (!writer.write(payload)) return;  // exhausted numbering or every slot held
      seq = writer.last_entry_seq();
    } else {
      auto slot = writer.try_acquire();
      if (!slot) return;
      require(slot->index < header.entry_count && slot->length == header.entry_length);
      std::memcpy(slot->payload, payload.data(), payload.size());
      auto committed = writer.commit(*slot);
      require(committed.has_value());
      seq = *committed;
    }
    require(seq > floor && seq <= quillmere_core::writer::kMaxEntrySeq);
    expect_readable(base, header, seq, payload);
  }
}

// init_header over a mapping that fits its geometry must read back as exactly that header.
void round_trip_init(const meta::HeaderSnapshot& header, std::uint64_t mapped_size) {
  if (!meta::check_geometry(header.entry_length, header.entry_count)) return;
  auto needed = meta::segment_size(header.entry_length, header.entry_count);
  if (!needed || *needed > mapped_size) return;
  std::vector<std::byte> fresh(*needed);
  meta::init_header(fresh.data(), header.entry_length, header.entry_count, meta::kDtypeF64, 42);
  auto again = meta::read_header(fresh.data(), fresh.size());
  require(again && *again && (*again)->entry_length == header.entry_length &&
          (*again)->entry_count == header.entry_count && (*again)->writer_entry_seq == 0 &&
          (*again)->write_cursor == 0 && (*again)->dtype == meta::kDtypeF64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Segment segment({data, size});
  auto read = meta::read_header(segment.bytes.get(), segment.size);
  if (!read || !*read) return 0;
  const meta::HeaderSnapshot header = **read;
  exercise_checks(header);
  round_trip_init(header, segment.size);
  if (!meta::check_mapping(segment.size, header)) return 0;
  require(header.entry_count > 0 && header.entry_length % 8 == 0);
  read_all(segment.bytes.get(), header);
  hold_and_release(segment.bytes.get(), header);
  write_some(segment.bytes.get(), header);
  read_all(segment.bytes.get(), header);
  return 0;
}
