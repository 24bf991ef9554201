// Ring writer: resuming on an existing ring, and the writer's error messages.
#include "quillmere-core/src/writer.hpp"

#include <atomic>
#include <optional>

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
  const std::uint64_t entry_length = header.entry_length;
  const std::uint64_t entry_count = header.entry_count;
  auto header_word = [base](std::size_t offset) {
    return std::atomic_ref<std::uint64_t>(*metadata::header_word(base, offset));
  };
  // The snapshot was read before the caller claimed the writer role, and the previous holder
  // may have gone on writing until then: cursor and sequence are read now, after the claim.
  // acquire: pairs with the release stores in advance() of the previous writer.
  std::uint64_t last =
      header_word(metadata::offset::writer_entry_seq).load(std::memory_order_acquire);
  // acquire: as above.
  std::uint64_t cursor =
      header_word(metadata::offset::write_cursor).load(std::memory_order_acquire);
  cursor = entry_count == 0 ? 0 : cursor % entry_count;

  // The newest entry may be newer than the header says: a writer that died between publishing
  // and its header stores left it behind, possibly past slots it skipped because the
  // zero-copy reader held them. Its slot is where the next write must not go.
  std::optional<std::uint64_t> newest_slot;
  for (std::uint64_t index = 0; index < entry_count; ++index) {
    // relaxed: the writer role makes us the only writer; other writes here are holds and
    // releases, which keep the magnitude.
    const std::uint64_t seq =
        magnitude(std::atomic_ref<std::int64_t>(*metadata::slot_word(base, entry_length, index))
                      .load(std::memory_order_relaxed));
    if (seq != 0 && seq >= last && (!newest_slot || seq > last)) newest_slot = index;
    if (seq > last) last = seq;
  }
  if (!newest_slot) return RawWriter(base, entry_length, entry_count, cursor, last);

  // Written where that dead writer would have: readers waiting above the old writer_entry_seq
  // see the entry at once instead of after the next write.
  cursor = (*newest_slot + 1) % entry_count;
  if (last <= kMaxEntrySeq) {
    // release: pairs with the acquire load in RawReader::writer_entry_seq. The slot word we
    // loaded above already held `last`, so a reader that sees it here finds it in the slot.
    header_word(metadata::offset::write_cursor).store(cursor, std::memory_order_release);
    // release: as above.
    header_word(metadata::offset::writer_entry_seq).store(last, std::memory_order_release);
  }
  return RawWriter(base, entry_length, entry_count, cursor, last);
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
