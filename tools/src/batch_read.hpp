// Reading many entries per call: each row is exactly one of the ring reader's validated copies,
// so a batch is torn, skips and moves the watermark precisely as that many read_into() calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/reader.hpp"

namespace quillmere_tools {

// Fills whole entries into `rows` (a multiple of the entry length) in entry_seq order and
// returns how many; seqs[i] gets row i's entry_seq when `seqs` is not empty (then it has room
// for every row). `from_entry_seq` stands in for the watermark of the first row only, as it
// would for one read(); each accepted row moves the watermark to itself. Stops early when
// nothing is newer, or when the writer won every attempt at the next entry (read_into gives
// up then too, and the caller's next batch resumes from the same watermark).
template <class Reader>
quillmere_core::Result<std::uint64_t> read_rows(Reader& ring, std::span<std::byte> rows,
                                                std::span<std::uint64_t> seqs,
                                                std::optional<std::uint64_t> from_entry_seq) {
  const std::uint64_t length = ring.entry_length();
  const std::uint64_t count = length == 0 ? 0 : rows.size() / length;
  std::uint64_t filled = 0;
  for (; filled < count; ++filled) {
    auto got = ring.read_into(rows.subspan(filled * length, length), from_entry_seq);
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) break;
    if (!seqs.empty()) seqs[filled] = **got;
    from_entry_seq.reset();
  }
  return filled;
}

}  // namespace quillmere_tools
