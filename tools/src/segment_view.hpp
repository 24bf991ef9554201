// A channel's segment looked at read-only: its header, role words, slots and trailer, and
// copies of its entries, through the core's own checks and ring reader.
//
// Nothing here writes to the segment, and cannot: the mapping is PROT_READ, so a store would
// fault instead of changing anything. Every fact is a snapshot taken when it is asked for;
// the writer may move on at any moment.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/trailer.hpp"
#include "shm/src/read_only.hpp"
#include "tools/src/liveness.hpp"

namespace quillmere_tools {

struct Holder {
  std::uint32_t pid;  // 0: nobody
  Liveness liveness;
};

struct ChannelFacts {
  std::uint64_t entry_length, entry_count, dtype, size;
  Holder owner, writer, reader;
  std::uint64_t writer_entry_seq;
  quillmere_core::trailer::State trailer_state;
  std::uint32_t trailer_version;  // as the trailer's magic word says; 0 without one
  std::optional<std::uint64_t> waiters, record_length;  // only with a valid trailer
  std::vector<Holder> waiting;  // the registered waiters' pid slots in use (a valid trailer)
};

// What the slot words say.
struct SlotCensus {
  std::vector<std::uint64_t> held;  // entry_seqs held in place by the zero-copy reader
  std::uint64_t empty = 0;          // slots without an entry (never written, or being written)
  std::optional<std::uint64_t> oldest, newest;  // over the entries present, held or not
};

class SegmentView {
 public:
  // Refused with InvalidInput and the core's reason when the object is not a usable channel:
  // no header yet, another kind or version of header, or a ring that the mapping cannot hold.
  static quillmere_core::Result<SegmentView> open(quillmere::shm::ReadOnlyShmem shmem);

  ChannelFacts facts() const;
  SlotCensus census() const;
  std::uint64_t writer_entry_seq() const noexcept;
  // A copy of the frame-type record; nothing without a valid trailer or with an empty record.
  std::optional<std::vector<std::byte>> record() const;
  std::uint64_t entry_length() const noexcept { return header_.entry_length; }
  const quillmere::shm::FileStatus& file() const noexcept { return file_; }

  // A copying reader of this ring; it only ever loads from the segment. Valid while the
  // view lives.
  quillmere_core::reader::RawReader reader() const noexcept;

 private:
  SegmentView(quillmere::shm::ReadOnlyShmem shmem, quillmere::shm::FileStatus file,
              const quillmere_core::metadata::HeaderSnapshot& header) noexcept
      : shmem_(std::move(shmem)), file_(file), header_(header) {}
  std::byte* base() const noexcept;
  std::uint64_t header_word(std::size_t offset) const noexcept;

  quillmere::shm::ReadOnlyShmem shmem_;
  quillmere::shm::FileStatus file_;
  quillmere_core::metadata::HeaderSnapshot header_;
};

}  // namespace quillmere_tools
