// The ring writer: puts entries into a mapped segment (layout in metadata.hpp).
//
// Contract:
// - One RawWriter per channel at a time, across all processes (the writer role guarantees
//   it). A RawWriter is not thread-safe: its owner calls it from one thread at a time.
// - It runs concurrently with any number of RawReaders in any processes: copying readers that
//   only load, and the one zero-copy reader that holds slots (S -> -S) and releases them.
// - The segment must outlive the RawWriter, and the mapping must have passed
//   metadata::check_mapping for the snapshot handed to attach.
// - write() copies and publishes in one call. try_acquire() hands out a slot to fill in place;
//   commit() publishes it. Hold at most one uncommitted WriteSlot: a second try_acquire()
//   returns the same slot again, and commit() refuses any WriteSlot that another commit has
//   overtaken (see commit()).
// - Nothing blocks and nothing loops without bound: a probe visits each slot at most once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/payload_copy.hpp"

namespace quillmere_core::writer {

// The largest entry_seq a (signed) slot word can carry.
inline constexpr std::uint64_t kMaxEntrySeq = std::numeric_limits<std::int64_t>::max();

struct WriteSlot {
  std::uint64_t index;
  std::byte* payload;
  std::uint64_t length;
  // The writer's last_entry_seq when the slot was claimed; a commit in between makes the slot
  // stale.
  std::uint64_t claimed_after = 0;
};

namespace detail {
// Cold error builders, kept out of line so the hot paths stay small.
[[gnu::cold]] std::unexpected<ChannelError> length_mismatch(std::uint64_t expected,
                                                            std::uint64_t got);
[[gnu::cold]] std::unexpected<ChannelError> all_slots_held(std::uint64_t entry_count);
[[gnu::cold]] std::unexpected<ChannelError> sequence_exhausted(std::uint64_t last_entry_seq);
[[gnu::cold]] std::unexpected<ChannelError> stale_slot(std::uint64_t index);
[[gnu::cold]] std::unexpected<ChannelError> slot_out_of_range(std::uint64_t index,
                                                              std::uint64_t entry_count);
}  // namespace detail

class RawWriter {
 public:
  // Resumes numbering from writer_entry_seq and every slot word. Call it once the writer role
  // is held: only the geometry of `header` is used, and the cursor and writer_entry_seq are
  // read from the segment itself. A writer that died between publishing and its header stores
  // left the newest entry in a slot the header does not name; the cursor moves past that slot
  // and both header words are stored again. Cannot fail; a sequence that cannot be continued
  // is refused by try_acquire() and write().
  static RawWriter attach(std::byte* base, const metadata::HeaderSnapshot& header);

  // Claims the first slot from the cursor that the zero-copy reader does not hold (its word
  // becomes 0, so readers skip it) and hands out its payload, which still holds old bytes.
  Result<WriteSlot> try_acquire() {
    if (last_entry_seq_ >= kMaxEntrySeq) [[unlikely]]
      return detail::sequence_exhausted(last_entry_seq_);
    const auto index = claim_slot();
    if (!index) [[unlikely]]
      return detail::all_slots_held(entry_count_);
    return WriteSlot{*index, payload(*index), entry_length_, last_entry_seq_};
  }

  // Publishes a slot from try_acquire() and returns its entry_seq.
  //
  // A stale WriteSlot (a later try_acquire() or write() reclaimed and published its slot, and
  // possibly the zero-copy reader pinned that entry or a newer claim is filling it) must not
  // publish: it would stamp a new entry_seq over someone else's bytes or overwrite a hold.
  // So commit() refuses, changing nothing, when any entry was committed since this slot was
  // claimed, and it publishes with a compare-and-swap from 0 so that it never overwrites a
  // word that is no longer ours (a hold, or a scribble from another process).
  Result<std::uint64_t> commit(const WriteSlot& slot) {
    if (slot.index >= entry_count_) [[unlikely]]
      return detail::slot_out_of_range(slot.index, entry_count_);
    if (slot.claimed_after != last_entry_seq_) [[unlikely]]
      return detail::stale_slot(slot.index);
    if (last_entry_seq_ >= kMaxEntrySeq) [[unlikely]]
      return detail::sequence_exhausted(last_entry_seq_);
    const std::uint64_t seq = last_entry_seq_ + 1;
    std::int64_t expected = 0;
    // release: pairs with the readers' acquire loads of the word (RawReader::load_word) and
    // the zero-copy reader's acquire hold, publishing the payload the caller filled in place.
    if (!word(slot.index)
             .compare_exchange_strong(expected, static_cast<std::int64_t>(seq),
                                      std::memory_order_release, std::memory_order_relaxed))
        [[unlikely]]
      return detail::stale_slot(slot.index);
    advance(slot.index, seq);
    return seq;
  }

  // The copying path: checks the length, claims a slot, copies, publishes.
  Result<void> write(std::span<const std::byte> data) {
    if (data.size() != entry_length_) [[unlikely]]
      return detail::length_mismatch(entry_length_, data.size());
    if (last_entry_seq_ >= kMaxEntrySeq) [[unlikely]]
      return detail::sequence_exhausted(last_entry_seq_);
    const auto index = claim_slot();
    if (!index) [[unlikely]]
      return detail::all_slots_held(entry_count_);
    payload::copy_to_slot(payload(*index), data.data(), entry_length_);
    const std::uint64_t seq = last_entry_seq_ + 1;
    // release: pairs with the readers' acquire loads of the word (RawReader::load_word) and
    // the acquire hold; every payload store above is visible to a reader that sees seq. A
    // hold and its release are read-modify-writes, so a reader that loads the S a release
    // put back still synchronises with this store. No compare-and-swap needed:
    // we claimed the word in this call, and nobody else moves a word away from 0.
    word(*index).store(static_cast<std::int64_t>(seq), std::memory_order_release);
    advance(*index, seq);
    return {};
  }

  std::uint64_t entry_length() const noexcept { return entry_length_; }
  std::uint64_t entry_count() const noexcept { return entry_count_; }
  std::uint64_t cursor() const noexcept { return cursor_; }
  std::uint64_t last_entry_seq() const noexcept { return last_entry_seq_; }

 private:
  RawWriter(std::byte* base, std::uint64_t entry_length, std::uint64_t entry_count,
            std::uint64_t cursor, std::uint64_t last_entry_seq) noexcept
      : base_(base),
        entry_length_(entry_length),
        entry_count_(entry_count),
        cursor_(cursor),
        last_entry_seq_(last_entry_seq) {}

  std::atomic_ref<std::int64_t> word(std::uint64_t index) const noexcept {
    return std::atomic_ref<std::int64_t>(*metadata::slot_word(base_, entry_length_, index));
  }
  std::byte* payload(std::uint64_t index) const noexcept {
    return metadata::slot_payload(base_, entry_length_, index);
  }
  std::uint64_t next_index(std::uint64_t index) const noexcept {
    return index + 1 >= entry_count_ ? 0 : index + 1;
  }

  // Probes from the cursor, each slot at most once; the cursor itself does not move.
  std::optional<std::uint64_t> claim_slot() noexcept {
    // What the cursor's slot holds when nothing was skipped: the entry of one lap ago.
    const std::uint64_t lap_ago =
        last_entry_seq_ >= entry_count_ ? last_entry_seq_ + 1 - entry_count_ : 0;
    std::uint64_t index = cursor_;
    for (std::uint64_t probed = 0; probed < entry_count_; ++probed) {
      if (try_claim(index, static_cast<std::int64_t>(lap_ago))) return index;
      index = next_index(index);
    }
    return std::nullopt;
  }

  // Word (non-negative) -> 0, never from a held (negative) word. The first swap expects
  // `guess` rather than a value loaded beforehand: a locked instruction fetches the line for
  // writing in one cross-core transfer, where a load would fetch it shared and the swap then
  // pay a second round trip to take it over from the readers. A wrong guess costs one more
  // swap on a line we already own.
  bool try_claim(std::uint64_t index, std::int64_t guess) noexcept {
    auto slot_word = word(index);
    std::int64_t seen = guess;
    // acquire: pairs with the release in RawReader::release, so the holder's last payload
    // reads happen before our payload stores. A failed swap changes nothing and tells us the
    // word; the second one fails only when a hold (or a scribble) landed in between.
    if (!slot_word.compare_exchange_strong(seen, 0, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
      if (seen < 0) return false;  // held by the zero-copy reader: never touch it
      if (!slot_word.compare_exchange_strong(seen, 0, std::memory_order_acquire,
                                             std::memory_order_relaxed))
        return false;
    }
    // release fence: the 0 above becomes visible before any payload store that follows, so a
    // copying reader that sees one of our payload bytes also sees the word changed when it
    // re-checks (pairs with the acquire fence in RawReader::copy_validated). On x86 this is
    // only a compiler barrier; on ARM it is the dmb that keeps torn copies detectable.
    std::atomic_thread_fence(std::memory_order_release);
    return true;
  }

  // Header stores come after the slot word: a reader that sees writer_entry_seq == seq finds
  // seq (or newer) in the slots, and a writer that dies between the two stores is repaired by
  // attach().
  void advance(std::uint64_t index, std::uint64_t seq) noexcept {
    last_entry_seq_ = seq;
    cursor_ = next_index(index);
    // release: pairs with the acquire load in RawReader::write_cursor (locate() then loads
    // the word of the slot before the cursor) and with attach(); after the slot word's store.
    std::atomic_ref<std::uint64_t>(*metadata::header_word(base_, metadata::offset::write_cursor))
        .store(cursor_, std::memory_order_release);
    // release: pairs with the acquire load in RawReader::writer_entry_seq.
    std::atomic_ref<std::uint64_t>(
        *metadata::header_word(base_, metadata::offset::writer_entry_seq))
        .store(seq, std::memory_order_release);
  }

  std::byte* base_;
  std::uint64_t entry_length_;
  std::uint64_t entry_count_;
  std::uint64_t cursor_;
  std::uint64_t last_entry_seq_;
};

}  // namespace quillmere_core::writer
