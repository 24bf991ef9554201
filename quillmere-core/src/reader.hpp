// The ring reader: returns committed entries of a mapped segment in entry_seq order.
//
// Contract:
// - Any number of RawReaders, in any processes, may read one ring at the same time as its
//   writer. A RawReader is not thread-safe: its owner calls it from one thread at a time.
// - read_into() never writes to the segment. try_acquire()/release() (holding an entry in
//   place by turning its word negative) are for the one zero-copy reader of a channel only.
// - Every ReadSlot from try_acquire() must be released exactly once; a release that finds the
//   word no longer held by that entry changes nothing.
// - The segment must outlive the RawReader and every ReadSlot, and the mapping must have
//   passed metadata::check_mapping for the geometry handed to the constructor.
// - Nothing blocks: a call makes at most 4 attempts, each with at most one scan of the slot
//   words.
// - The first attempt takes the oldest entry above the watermark. An attempt that lost a race
//   to the writer is followed by one aimed half a ring behind the writer's newest entry, so a
//   reader the writer keeps lapping still gets entries; the skip shows as a gap in entry_seq.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/payload_copy.hpp"

namespace quillmere_core::reader {

// Attempts per call before giving up on a slot the writer keeps reclaiming.
inline constexpr int kMaxAttempts = 4;

// The largest entry_seq a slot word can carry.
inline constexpr auto kLargestWord =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Called with the chosen slot's index between choosing an entry and validating the attempt
// (after the copy, before the re-check; before the hold's compare-and-swap). Tests put a
// scripted writer there; the production reader's does nothing and compiles away.
struct NoInterpose {
  void operator()(std::uint64_t /*index*/) const noexcept {}
};

struct ReadSlot {
  std::uint64_t index;
  std::uint64_t entry_seq;
  std::byte* payload;
  std::uint64_t length;
};

namespace detail {
[[gnu::cold]] std::unexpected<ChannelError> destination_mismatch(std::uint64_t got,
                                                                 std::uint64_t expected);
}  // namespace detail

template <class Interpose = NoInterpose>
class BasicRawReader {
 public:
  // Watermark 0 and slot index 0: a new reader starts with the oldest entry in the ring.
  BasicRawReader(std::byte* base, std::uint64_t entry_length, std::uint64_t entry_count,
                 Interpose interpose = {}) noexcept
      : base_(base),
        entry_length_(entry_length),
        entry_count_(entry_count),
        interpose_(std::move(interpose)) {}

  // Copies the oldest entry newer than the watermark (or from_entry_seq, for this call) into
  // destination and returns its entry_seq; nullopt when there is none or the writer won four
  // races. After a lost race the next attempt aims clear of the writer (choose_clear_of_writer).
  // Only an accepted copy moves the watermark.
  Result<std::optional<std::uint64_t>> read_into(std::span<std::byte> destination,
                                                 std::optional<std::uint64_t> from_entry_seq) {
    if (destination.size() != entry_length_) [[unlikely]]
      return detail::destination_mismatch(destination.size(), entry_length_);
    if (!has_newer(from_entry_seq)) return std::nullopt;
    return copy_next(destination.data(), from_entry_seq.value_or(last_entry_seq_));
  }

  // read_into() once per row of `rows` (whole entries end to end), stopping at the first call
  // that would return nothing; returns how many rows were filled, and seqs[i] gets row i's
  // entry_seq unless `seqs` is empty (else it has room for every row). `from_entry_seq` stands
  // in for the first row's watermark only. Every row is chosen, copied, validated, skipped
  // forward and accepted exactly as by read_into(); only the header gate is loaded less often:
  // once it showed entries up to N, every watermark below N would pass it again (the writer's
  // sequence only grows), so it is loaded again when the watermark reaches N. That keeps us
  // off the header line the writer stores to on every publish.
  std::uint64_t read_rows(std::span<std::byte> rows, std::span<std::uint64_t> seqs,
                          std::optional<std::uint64_t> from_entry_seq) {
    const std::uint64_t count = entry_length_ == 0 ? 0 : rows.size() / entry_length_;
    std::uint64_t watermark = from_entry_seq.value_or(last_entry_seq_);
    std::uint64_t shown = 0;  // the header's entry_seq when last loaded
    std::uint64_t filled = 0;
    for (; filled < count; ++filled) {
      if (shown <= watermark && (shown = writer_entry_seq()) <= watermark) break;
      const auto seq = copy_next(rows.data() + filled * entry_length_, watermark);
      if (!seq) break;
      if (!seqs.empty()) seqs[filled] = *seq;
      watermark = *seq;
    }
    return filled;
  }

  // Holds the oldest entry newer than the watermark in place (word S -> -S, so the writer
  // skips the slot) and moves the watermark to it.
  std::optional<ReadSlot> try_acquire(std::optional<std::uint64_t> from_entry_seq) noexcept {
    if (!has_newer(from_entry_seq)) return std::nullopt;
    const std::uint64_t watermark = from_entry_seq.value_or(last_entry_seq_);
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
      const auto chosen = choose(attempt, watermark);
      if (!chosen) return std::nullopt;
      if (hold(chosen)) {
        accept(chosen);
        return ReadSlot{chosen.index, chosen.entry_seq, payload(chosen.index), entry_length_};
      }
    }
    return std::nullopt;
  }

  // Gives a held entry back (-S -> S). A compare-and-swap rather than a plain store: a second
  // release of the same ReadSlot, after the writer reclaimed the slot, must not stamp S over
  // a slot being rewritten. Only the holder moves a negative word, so a genuine release never
  // fails.
  void release(const ReadSlot& slot) noexcept {
    if (slot.index >= entry_count_ || slot.entry_seq == 0 || slot.entry_seq > kLargestWord)
        [[unlikely]]
      return;  // not a ReadSlot of this ring: nothing it could name is ours to change
    const auto held = static_cast<std::int64_t>(slot.entry_seq);
    std::int64_t expected = -held;
    // release: pairs with the acquire of the writer's claim in RawWriter::try_claim, so our
    // reads of the held payload happen before the writer's next stores into it.
    word(slot.index)
        .compare_exchange_strong(expected, held, std::memory_order_release,
                                 std::memory_order_relaxed);
  }

  // Whether the header shows an entry newer than the watermark in force (from_entry_seq, else
  // our own). A false answer is what read_into() and try_acquire() return without looking at
  // any slot, so a caller may skip preparing a destination when it gets one.
  bool has_newer(std::optional<std::uint64_t> from_entry_seq) const noexcept {
    return writer_entry_seq() > from_entry_seq.value_or(last_entry_seq_);
  }

  // entry_seq of the last entry the writer committed (header word; any process may scribble
  // on it, so it only ever gates a bounded search).
  std::uint64_t writer_entry_seq() const noexcept {
    // acquire: pairs with the release store in RawWriter::advance.
    return std::atomic_ref<std::uint64_t>(
               *metadata::header_word(base_, metadata::offset::writer_entry_seq))
        .load(std::memory_order_acquire);
  }

  std::uint64_t entry_length() const noexcept { return entry_length_; }
  std::uint64_t entry_count() const noexcept { return entry_count_; }
  std::uint64_t last_entry_seq() const noexcept { return last_entry_seq_; }
  std::uint64_t slot_index() const noexcept { return slot_index_; }

 private:
  // The attempts of one read above `watermark` (the header already showed a newer entry).
  std::optional<std::uint64_t> copy_next(std::byte* destination, std::uint64_t watermark) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
      const auto chosen = choose(attempt, watermark);
      if (!chosen) return std::nullopt;
      if (copy_validated(chosen, destination)) {
        accept(chosen);
        return chosen.entry_seq;
      }
    }
    return std::nullopt;
  }

  struct Candidate {
    std::uint64_t index;
    std::uint64_t entry_seq;  // the positive word seen when chosen; 0: no candidate
    explicit operator bool() const noexcept { return entry_seq != 0; }
  };

  std::atomic_ref<std::int64_t> word(std::uint64_t index) const noexcept {
    return std::atomic_ref<std::int64_t>(*metadata::slot_word(base_, entry_length_, index));
  }
  std::byte* payload(std::uint64_t index) const noexcept {
    return metadata::slot_payload(base_, entry_length_, index);
  }
  // acquire: pairs with the writer's release publish (RawWriter::write / commit), so the
  // payload loads that follow see at least the bytes of the entry this word names.
  std::int64_t load_word(std::uint64_t index) const noexcept {
    return word(index).load(std::memory_order_acquire);
  }

  // The first attempt of a call takes the oldest entry above the watermark; a later one comes
  // after a lost race and aims clear of the writer.
  Candidate choose(int attempt, std::uint64_t watermark) const noexcept {
    return attempt == 0 ? choose_next(watermark) : choose_clear_of_writer(watermark);
  }

  // The committed entry with the smallest entry_seq above the watermark. Fast path: the slot
  // after the one last returned, when it holds exactly watermark + 1. Otherwise one scan of
  // all words.
  Candidate choose_next(std::uint64_t watermark) const noexcept {
    if (entry_count_ == 0) [[unlikely]]
      return {0, 0};
    const std::uint64_t next = slot_index_ + 1 >= entry_count_ ? 0 : slot_index_ + 1;
    const std::int64_t fast = load_word(next);
    if (fast > 0 && static_cast<std::uint64_t>(fast) == watermark + 1)
      return Candidate{next, watermark + 1};
    return scan(watermark);
  }

  // After a lost race. The oldest entry sits in the slot the writer claims next, so choosing it
  // again loses again as long as the writer runs flat out. Aim at the oldest entry above
  // max(watermark, newest - lead) instead, lead being half the ring: the writer needs that many
  // commits to reach it, far more than one copy takes, and a reader that falls behind again
  // still has half a ring to read before it is lapped. The header is loaded again: the writer
  // moved on during the lost attempt.
  Candidate choose_clear_of_writer(std::uint64_t watermark) const noexcept {
    if (entry_count_ == 0) [[unlikely]]
      return {0, 0};
    const std::uint64_t lead = std::max<std::uint64_t>(entry_count_ / 2, 1);
    const std::uint64_t newest = writer_entry_seq();
    const std::uint64_t raised = newest > lead ? std::max(watermark, newest - lead) : watermark;
    if (const auto found = locate(raised + 1)) return found;
    return scan(raised);
  }

  // The slot that holds `target` when the writer skipped no held slot since writing it: counted
  // back from the slot before write_cursor, whose word names the newest entry. Chosen only if
  // its word is exactly `target`, the smallest entry_seq a scan above target - 1 could find, so
  // the choice is the scan's (a few loads instead of entry_count). Nothing when holds shifted
  // the slots or the writer moved between our loads; the caller then scans.
  Candidate locate(std::uint64_t target) const noexcept {
    if (target == 0 || target > kLargestWord) return {0, 0};  // no positive word can equal it
    const std::uint64_t cursor = write_cursor();
    if (cursor >= entry_count_) return {0, 0};  // a scribbled header: never index past the ring
    const std::uint64_t last = (cursor == 0 ? entry_count_ : cursor) - 1;
    const std::uint64_t newest = magnitude(load_word(last));  // held (-S) still names S
    if (newest < target || newest - target >= entry_count_) return {0, 0};
    const std::uint64_t back = newest - target;
    const std::uint64_t index = last >= back ? last - back : last + entry_count_ - back;
    if (load_word(index) != static_cast<std::int64_t>(target)) return {0, 0};
    return Candidate{index, target};
  }

  // One look at every word: the smallest positive word above the watermark, the lowest index on
  // equal words. Held (negative) and empty words never qualify.
  Candidate scan(std::uint64_t watermark) const noexcept {
    Candidate best{0, 0};
    for (std::uint64_t index = 0; index < entry_count_; ++index) {
      const std::int64_t seen = load_word(index);
      if (seen <= 0) continue;
      const auto seq = static_cast<std::uint64_t>(seen);
      if (seq > watermark && (!best || seq < best.entry_seq)) best = Candidate{index, seq};
    }
    return best;
  }

  // Index of the slot after the last committed one (header word; may be scribbled on).
  std::uint64_t write_cursor() const noexcept {
    // acquire: pairs with the release store in RawWriter::advance, so the publish of the entry
    // before the cursor, stored ahead of it, is visible to the load of that slot's word.
    return std::atomic_ref<std::uint64_t>(
               *metadata::header_word(base_, metadata::offset::write_cursor))
        .load(std::memory_order_acquire);
  }

  static std::uint64_t magnitude(std::int64_t word) noexcept {
    const auto bits = static_cast<std::uint64_t>(word);
    return word < 0 ? 0 - bits : bits;
  }

  // Sequence-validated copy: the word was acquire-loaded when the entry was chosen, then the
  // payload is copied, then the word is loaded again. An unchanged word proves the writer did
  // not claim the slot during the copy (it stores 0 before touching the payload).
  bool copy_validated(const Candidate& chosen, std::byte* destination) const noexcept {
    payload::copy_from_slot(destination, payload(chosen.index), entry_length_);
    interpose_(chosen.index);
    // acquire fence: keeps every payload load above ahead of the re-check load below (pairs
    // with the release fence after the claim in RawWriter::try_claim). On weakly ordered CPUs
    // (ARM) the payload loads could otherwise be satisfied after the re-check, so a torn copy
    // would pass; x86 never reorders loads with loads and would hide the fence's absence.
    std::atomic_thread_fence(std::memory_order_acquire);
    // relaxed: ordered after the copy by the fence above.
    return word(chosen.index).load(std::memory_order_relaxed) ==
           static_cast<std::int64_t>(chosen.entry_seq);
  }

  // S -> -S, only from exactly the chosen S; fails when the writer claimed the slot meanwhile.
  bool hold(const Candidate& chosen) noexcept {
    std::int64_t expected = static_cast<std::int64_t>(chosen.entry_seq);
    interpose_(chosen.index);
    // acquire: pairs with the writer's release publish, so the held payload is the one of S.
    return word(chosen.index)
        .compare_exchange_strong(expected, -expected, std::memory_order_acquire,
                                 std::memory_order_relaxed);
  }

  void accept(const Candidate& chosen) noexcept {
    last_entry_seq_ = chosen.entry_seq;
    slot_index_ = chosen.index;
  }

  std::byte* base_;
  std::uint64_t entry_length_;
  std::uint64_t entry_count_;
  std::uint64_t last_entry_seq_ = 0;
  std::uint64_t slot_index_ = 0;
  [[no_unique_address]] Interpose interpose_;
};

using RawReader = BasicRawReader<>;

}  // namespace quillmere_core::reader
