#include "tools/src/frame_record.hpp"

#include "quillmere-core/src/trailer.hpp"

namespace quillmere_tools {

namespace trailer = quillmere_core::trailer;
using quillmere_core::ErrorKind;
using quillmere_core::fail;
using quillmere_core::Result;

namespace {

std::vector<std::byte> copy_record(std::byte* trailer_base) {
  auto bytes = trailer::record(trailer_base);
  return {bytes.begin(), bytes.end()};
}

}  // namespace

FrameRecordSnapshot snapshot_frame_record(const ChannelView& view) {
  // First the sequence (acquire, in writer_entry_seq()), then the record (acquire on its
  // length): a writer stores the record before its first publish, so a sequence above 0 here
  // guarantees that a record stored by that writer is visible below.
  FrameRecordSnapshot snapshot{view.header().entry_length, view.writer_entry_seq(), std::nullopt};
  if (view.trailer().state == trailer::State::Valid)
    snapshot.record = copy_record(view.trailer().base);
  return snapshot;
}

Result<std::optional<std::vector<std::byte>>> store_frame_record(
    const ChannelView& view, std::span<const std::byte> record) {
  if (record.empty()) return fail(ErrorKind::InvalidInput, "a frame-type record cannot be empty");
  if (view.trailer().state != trailer::State::Valid) return std::nullopt;
  std::byte* base = view.trailer().base;
  auto found = copy_record(base);
  if (!found.empty()) return found;
  if (auto stored = trailer::set_record(base, record); !stored)
    return std::unexpected(std::move(stored.error()));
  return std::vector<std::byte>(record.begin(), record.end());
}

}  // namespace quillmere_tools
