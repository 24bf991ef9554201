// The frame-type record seen from outside any endpoint: stored once, never overwritten, read
// together with writer_entry_seq, and absent on a segment without a trailer.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "channel_test_support.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/trailer.hpp"
#include "quillmere/src/lifecycle.hpp"
#include "tools/src/channel_view.hpp"
#include "tools/src/frame_record.hpp"

namespace {

namespace lifecycle = quillmere::lifecycle;
namespace metadata = quillmere_core::metadata;
using quillmere::testing::make_raw_object;
using quillmere::testing::map_existing;
using quillmere::testing::ScopedName;
using quillmere::testing::set_header_word;
using quillmere_core::ErrorKind;
using quillmere_tools::ChannelView;

constexpr std::uint64_t kLength = 16, kCount = 4;

std::vector<std::byte> bytes(std::string_view text) {
  auto view = std::as_bytes(std::span(text.data(), text.size()));
  return {view.begin(), view.end()};
}

ChannelView open_view(std::string_view name) {
  auto view = ChannelView::open(name);
  if (!view || !*view) std::abort();
  return std::move(**view);
}

TEST(FrameRecord, IsStoredOnceAndNeverOverwritten) {
  ScopedName name("frame-once");
  auto created = lifecycle::open_or_create(name, kLength, kCount, metadata::kDtypeU8, false);
  ASSERT_TRUE(created && *created);
  auto view = open_view(name);

  auto fresh = quillmere_tools::snapshot_frame_record(view);
  EXPECT_EQ(fresh.entry_length, kLength);
  EXPECT_EQ(fresh.writer_entry_seq, 0u);
  ASSERT_TRUE(fresh.record.has_value());
  EXPECT_TRUE(fresh.record->empty());

  auto first = quillmere_tools::store_frame_record(view, bytes("first"));
  ASSERT_TRUE(first && *first);
  EXPECT_EQ(**first, bytes("first"));
  // A later store finds the record and hands it back instead of replacing it.
  auto second = quillmere_tools::store_frame_record(open_view(name), bytes("second"));
  ASSERT_TRUE(second && *second);
  EXPECT_EQ(**second, bytes("first"));

  set_header_word(name, metadata::offset::writer_entry_seq, 7);
  auto later = quillmere_tools::snapshot_frame_record(open_view(name));
  EXPECT_EQ(later.writer_entry_seq, 7u);
  EXPECT_EQ(later.record, bytes("first"));
}

TEST(FrameRecord, EmptyAndOversizedRecordsAreRefusedWithoutStoringAnything) {
  ScopedName name("frame-size");
  auto created = lifecycle::open_or_create(name, kLength, kCount, metadata::kDtypeU8, false);
  ASSERT_TRUE(created && *created);
  auto view = open_view(name);

  auto empty = quillmere_tools::store_frame_record(view, {});
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind, ErrorKind::InvalidInput);

  std::vector<std::byte> oversized(quillmere_core::trailer::kRecordCapacity + 1, std::byte{'x'});
  auto refused = quillmere_tools::store_frame_record(view, oversized);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(refused.error().message,
            "frame-type record of 633 bytes exceeds the trailer's 632 bytes");
  EXPECT_TRUE(quillmere_tools::snapshot_frame_record(view).record->empty());

  oversized.pop_back();  // exactly the capacity fits
  auto full = quillmere_tools::store_frame_record(view, oversized);
  ASSERT_TRUE(full && *full);
  EXPECT_EQ(quillmere_tools::snapshot_frame_record(view).record, oversized);
}

TEST(FrameRecord, HostileLengthWordOnlyChangesWhichBytesComeBack) {
  ScopedName name("frame-hostile");
  auto created = lifecycle::open_or_create(name, kLength, kCount, metadata::kDtypeU8, false);
  ASSERT_TRUE(created && *created);
  auto view = open_view(name);
  // seq_cst: stands in for a scribbling process's store.
  std::atomic_ref<std::uint64_t>(
      *quillmere_core::trailer::word(view.trailer().base,
                                     quillmere_core::trailer::offset::record_length))
      .store(~std::uint64_t{0}, std::memory_order_seq_cst);
  auto snapshot = quillmere_tools::snapshot_frame_record(view);
  ASSERT_TRUE(snapshot.record.has_value());
  EXPECT_EQ(snapshot.record->size(), quillmere_core::trailer::kRecordCapacity);
  // A record that is already there, however it got there, is not overwritten.
  auto stored = quillmere_tools::store_frame_record(view, bytes("mine"));
  ASSERT_TRUE(stored && *stored);
  EXPECT_EQ((*stored)->size(), quillmere_core::trailer::kRecordCapacity);
}

TEST(FrameRecord, SegmentWithoutTrailerHasNoRecordAndStoresNone) {
  ScopedName name("frame-notrailer");
  const std::uint64_t ring = *metadata::segment_size(kLength, kCount);
  make_raw_object(name, ring);
  {
    auto shmem = map_existing(name);
    metadata::init_header(shmem.base(), kLength, kCount, metadata::kDtypeU8, 0);
  }
  auto view = open_view(name);
  EXPECT_FALSE(quillmere_tools::snapshot_frame_record(view).record.has_value());
  auto stored = quillmere_tools::store_frame_record(view, bytes("record"));
  ASSERT_TRUE(stored);
  EXPECT_FALSE(stored->has_value());
}

}  // namespace
