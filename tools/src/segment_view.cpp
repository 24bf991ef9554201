#include "tools/src/segment_view.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <span>
#include <utility>

#include "quillmere-core/src/format.hpp"

namespace quillmere_tools {

namespace metadata = quillmere_core::metadata;
namespace trailer = quillmere_core::trailer;
using quillmere_core::ErrorKind;
using quillmere_core::fail;
using quillmere_core::Result;

Result<SegmentView> SegmentView::open(quillmere::shm::ReadOnlyShmem shmem) {
  auto file = shmem.status();
  if (!file)
    return fail(ErrorKind::Os, quillmere_core::format(
                                   "fstat of an open segment failed, os error {}", file.error()));
  auto header = metadata::read_header(shmem.base(), shmem.len());
  if (!header) return std::unexpected(std::move(header.error()));
  if (!*header) return fail(ErrorKind::InvalidInput, "its header has not been written yet");
  if (auto fits = metadata::check_mapping(shmem.len(), **header); !fits)
    return std::unexpected(std::move(fits.error()));
  return SegmentView(std::move(shmem), *file, **header);
}

// The core's loads take a std::byte*; nothing here stores through it, and the PROT_READ
// mapping would fault on a store rather than let one change the segment.
std::byte* SegmentView::base() const noexcept {
  return const_cast<std::byte*>(shmem_.base());
}

std::uint64_t SegmentView::header_word(std::size_t offset) const noexcept {
  // relaxed: a display snapshot; nothing read later depends on its order with other words.
  return std::atomic_ref<std::uint64_t>(*metadata::header_word(base(), offset))
      .load(std::memory_order_relaxed);
}

std::uint64_t SegmentView::writer_entry_seq() const noexcept {
  // acquire: pairs with the writer's release store, as a ring reader's load does.
  return std::atomic_ref<std::uint64_t>(
             *metadata::header_word(base(), metadata::offset::writer_entry_seq))
      .load(std::memory_order_acquire);
}

ChannelFacts SegmentView::facts() const {
  auto holder = [&](std::size_t offset) {
    const std::uint64_t word = header_word(offset);
    return Holder{pid_of(word), liveness(word, file_)};
  };
  ChannelFacts facts{header_.entry_length,
                     header_.entry_count,
                     header_.dtype,
                     shmem_.len(),
                     holder(metadata::offset::owner_pid),
                     holder(metadata::offset::writer_pid),
                     holder(metadata::offset::reader_pid),
                     writer_entry_seq(),
                     trailer::State::Absent,
                     0,
                     std::nullopt,
                     std::nullopt,
                     {}};
  // find() loads the trailer's magic word with acquire ordering, a load like any other here.
  const trailer::Found found = trailer::find(base(), shmem_.len(), header_);
  facts.trailer_state = found.state;
  facts.trailer_version = found.version;
  if (found.state == trailer::State::Valid) {
    // relaxed: a display snapshot of a count that waiters move on their own.
    facts.waiters =
        std::atomic_ref<std::uint64_t>(*trailer::word(found.base, trailer::offset::waiters))
            .load(std::memory_order_relaxed);
    facts.record_length = trailer::record(found.base).size();
    for (std::uint64_t slot = 0; slot < trailer::kWaiterSlots; ++slot) {
      // relaxed: a snapshot; a live waiter keeps the segment mapped while its slot holds its
      // pid, so liveness() tells it from a reused id as for the header's holders.
      const std::uint64_t word =
          std::atomic_ref<std::uint64_t>(*trailer::waiter_pid(found.base, slot))
              .load(std::memory_order_relaxed);
      if (word != 0) facts.waiting.push_back(Holder{pid_of(word), liveness(word, file_)});
    }
  }
  return facts;
}

std::optional<std::vector<std::byte>> SegmentView::record() const {
  const trailer::Found found = trailer::find(base(), shmem_.len(), header_);
  if (found.state != trailer::State::Valid) return std::nullopt;
  const std::span<const std::byte> bytes = trailer::record(found.base);
  if (bytes.empty()) return std::nullopt;
  return std::vector<std::byte>(bytes.begin(), bytes.end());
}

SlotCensus SegmentView::census() const {
  SlotCensus census;
  auto present = [&](std::uint64_t entry_seq) {
    census.oldest = std::min(census.oldest.value_or(entry_seq), entry_seq);
    census.newest = std::max(census.newest.value_or(entry_seq), entry_seq);
  };
  for (std::uint64_t index = 0; index < header_.entry_count; ++index) {
    // relaxed: a display snapshot; slots may change between two loads and that is fine.
    const std::int64_t word =
        std::atomic_ref<std::int64_t>(*metadata::slot_word(base(), header_.entry_length, index))
            .load(std::memory_order_relaxed);
    if (word == 0) {
      ++census.empty;
    } else if (word > 0) {
      present(static_cast<std::uint64_t>(word));
    } else if (word != std::numeric_limits<std::int64_t>::min()) {
      // -S: entry S held in place. The most negative word names no entry and is skipped.
      census.held.push_back(static_cast<std::uint64_t>(-word));
      present(census.held.back());
    }
  }
  std::sort(census.held.begin(), census.held.end());
  return census;
}

quillmere_core::reader::RawReader SegmentView::reader() const noexcept {
  // read_into() only loads (slot words, the header's writer_entry_seq, payload bytes); the
  // stores of try_acquire()/release() are never called on this reader.
  return quillmere_core::reader::RawReader(base(), header_.entry_length, header_.entry_count);
}

}  // namespace quillmere_tools
