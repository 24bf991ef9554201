// Ring writer: resuming on an existing ring, and the writer's error messages.
#include "quillmere-core/src/writer.hpp"

#include "quillmere-core/src/format.hpp"

namespace quillmere_core::writer {

namespace {

// |word| without the undefined negation of INT64_MIN: a held -S counts as S, and a scribbled
// INT64_MIN becomes 2^63, which is past kMaxEntrySeq and so refused at the next write.
std::uint64_t magnitude(std::int64_t word) {
  const auto bits = static_cast<std::uint64_t>(word);
  return word < 0 ? 0 - bits : bits;
}

}  // namespace

RawWriter RawWriter::attach(std::byte* base, const metadata::HeaderSnapshot& header) {
  const std::uint64_t entry_count = header.entry_count;
  std::uint64_t last = header.writer_entry_seq;
  for (std::uint64_t index = 0; index < entry_count; ++index) {
    // relaxed: the writer role makes us the only writer; other writes here are holds and
    // releases, which keep the magnitude.
    const std::int64_t word =
        std::atomic_ref<std::int64_t>(*metadata::slot_word(base, header.entry_length, index))
            .load(std::memory_order_relaxed);
    if (magnitude(word) > last) last = magnitude(word);
  }
  std::uint64_t cursor = entry_count == 0 ? 0 : header.write_cursor % entry_count;
  if (entry_count != 0) {
    // A writer that died after publishing but before storing write_cursor left the cursor on
    // the slot holding the newest entry: step past it rather than overwrite it next.
    const std::int64_t at_cursor =
        std::atomic_ref<std::int64_t>(*metadata::slot_word(base, header.entry_length, cursor))
            .load(std::memory_order_relaxed);  // relaxed: as above
    if (at_cursor != 0 && magnitude(at_cursor) == last) cursor = (cursor + 1) % entry_count;
  }
  return RawWriter(base, header.entry_length, entry_count, cursor, last);
}

namespace detail {

std::unexpected<ChannelError> length_mismatch(std::uint64_t expected, std::uint64_t got) {
  return fail(ErrorKind::InvalidInput, format("expected {} payload bytes, got {}", expected, got));
}

std::unexpected<ChannelError> all_slots_held(std::uint64_t entry_count) {
  return fail(ErrorKind::WouldBlock, format("all {} ring slots are held by a reader", entry_count));
}

std::unexpected<ChannelError> sequence_exhausted(std::uint64_t last_entry_seq) {
  return fail(ErrorKind::InvalidInput,
              format("entry_seq {} cannot be continued: slot words hold at most {}; "
                     "re-create the channel",
                     last_entry_seq, kMaxEntrySeq));
}

std::unexpected<ChannelError> stale_slot(std::uint64_t index) {
  return fail(ErrorKind::InvalidInput, format("write slot {} was reclaimed before commit", index));
}

std::unexpected<ChannelError> slot_out_of_range(std::uint64_t index, std::uint64_t entry_count) {
  return fail(ErrorKind::InvalidInput,
              format("write slot {} is outside the ring of {} slots", index, entry_count));
}

}  // namespace detail

}  // namespace quillmere_core::writer
