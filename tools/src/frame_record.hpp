// The frame-type record of a channel, read and stored from outside any endpoint.
//
// The record's bytes are opaque here: whoever types frames encodes and decodes them. What this
// file owns is the ordering that makes the record trustworthy to a reader:
//   - the writer stores the record while it holds the writer role and before it publishes its
//     first entry;
//   - a snapshot loads writer_entry_seq before the record, so a snapshot that shows entries
//     also shows the record stored before them. A snapshot with no record and no entries may
//     just be early: the writer can be between creating the channel and storing its record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quillmere-core/src/error.hpp"
#include "tools/src/channel_view.hpp"

namespace quillmere_tools {

struct FrameRecordSnapshot {
  std::uint64_t entry_length;      // bytes, from the header checked at open
  std::uint64_t writer_entry_seq;  // loaded before the record
  // The record's bytes (empty when none is stored yet), or nothing when the segment has no
  // trailer of this build's version to hold one.
  std::optional<std::vector<std::byte>> record;
};

FrameRecordSnapshot snapshot_frame_record(const ChannelView& view);

// Stores `record` unless the trailer already holds one, and returns what it holds afterwards:
// `record` itself, the record found, or nothing when the segment has no trailer. Only the
// holder of the writer role may call it, so two stores never race. InvalidInput when `record`
// is empty or longer than the trailer's record area.
quillmere_core::Result<std::optional<std::vector<std::byte>>> store_frame_record(
    const ChannelView& view, std::span<const std::byte> record);

}  // namespace quillmere_tools
