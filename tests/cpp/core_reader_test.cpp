// Ring reader: entry choice, the validated copy, watermarks, holds and releases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "core_test_support.hpp"
#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/writer.hpp"

namespace quillmere_core {
namespace {

using reader::RawReader;
using testing::filled;
using testing::PlainRing;
using writer::RawWriter;
namespace offset = metadata::offset;

// A 4-slot ring after entries 1 to 10, entry k filled with byte k: slots hold 9, 10, 7, 8.
class LappedRing : public ::testing::Test {
 protected:
  LappedRing() {
    auto writer = RawWriter::attach(ring.base(), ring.snapshot());
    for (unsigned char k = 1; k <= 10; ++k) EXPECT_TRUE(writer.write(filled(16, k)).has_value());
  }
  RawReader make_reader() { return RawReader(ring.base(), 16, 4); }
  // Reads once; returns the entry_seq and checks the payload carries it.
  std::optional<std::uint64_t> read(RawReader& reader,
                                    std::optional<std::uint64_t> from = std::nullopt) {
    std::vector<std::byte> out(16, std::byte{0xee});
    auto result = reader.read_into(out, from);
    EXPECT_TRUE(result.has_value());
    if (*result) {
      EXPECT_TRUE(testing::all_equal(out, static_cast<unsigned char>(**result)));
    }
    return *result;
  }

  PlainRing ring{16, 4};
};

TEST_F(LappedRing, LappedReaderGetsTheOldestEntriesStillThere) {
  ASSERT_EQ((std::vector{ring.word(0), ring.word(1), ring.word(2), ring.word(3)}),
            (std::vector<std::int64_t>{9, 10, 7, 8}));
  auto reader = make_reader();
  EXPECT_EQ(read(reader, 2), 7u);
  EXPECT_EQ(reader.slot_index(), 2u);
  for (std::uint64_t expected : {8, 9, 10}) EXPECT_EQ(read(reader), expected);
  EXPECT_EQ(read(reader), std::nullopt);
  EXPECT_EQ(reader.last_entry_seq(), 10u);
}

TEST_F(LappedRing, FromEntrySeqReplacesTheWatermarkForOneCall) {
  auto reader = make_reader();
  EXPECT_EQ(read(reader, 8), 9u);
  EXPECT_EQ(read(reader, 0), 7u);  // moves the watermark back
  EXPECT_EQ(reader.last_entry_seq(), 7u);
  EXPECT_EQ(read(reader), 8u);
  for (std::uint64_t from : {10ULL, 11ULL, ~0ULL}) {
    EXPECT_EQ(read(reader, from), std::nullopt);
    EXPECT_EQ(reader.last_entry_seq(), 8u);
  }
}

TEST_F(LappedRing, HeldEntryIsSkippedByCopyingReaders) {
  auto zero_copy = make_reader();
  auto held = zero_copy.try_acquire(7);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->index, 3u);
  EXPECT_EQ(held->entry_seq, 8u);
  EXPECT_EQ(held->payload, ring.base() + 80 + 3 * 24);
  EXPECT_EQ(held->length, 16u);
  EXPECT_EQ(ring.word(3), -8);
  EXPECT_EQ(zero_copy.last_entry_seq(), 8u);

  auto copying = make_reader();
  EXPECT_EQ(read(copying, 7), 9u);

  // The writer skips the held slot, then may reuse it once released.
  auto writer = RawWriter::attach(ring.base(), ring.snapshot());
  for (unsigned char k = 11; k <= 14; ++k) ASSERT_TRUE(writer.write(filled(16, k)).has_value());
  EXPECT_EQ((std::vector{ring.word(0), ring.word(1), ring.word(2), ring.word(3)}),
            (std::vector<std::int64_t>{12, 13, 14, -8}));
  EXPECT_TRUE(testing::all_equal(ring.payload(3), 8));
  zero_copy.release(*held);
  EXPECT_EQ(ring.word(3), 8);
  ASSERT_TRUE(writer.write(filled(16, 15)).has_value());
  EXPECT_EQ(ring.word(3), 15);
}

TEST_F(LappedRing, SecondReleaseAfterTheWriterMovedOnChangesNothing) {
  auto zero_copy = make_reader();
  auto held = *zero_copy.try_acquire(std::nullopt);
  zero_copy.release(held);
  ring.set_word(held.index, 0);  // the writer has claimed the slot and is rewriting it
  zero_copy.release(held);
  EXPECT_EQ(ring.word(held.index), 0);

  auto foreign = held;
  foreign.index = 4;  // outside the ring: ignored, never written
  zero_copy.release(foreign);
}

TEST_F(LappedRing, DestinationOfTheWrongLengthIsRefused) {
  auto reader = make_reader();
  std::vector<std::byte> short_by_one(15, std::byte{0xee});
  auto result = reader.read_into(short_by_one, std::nullopt);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(result.error().message, "destination holds 15 bytes, expected 16");
  EXPECT_TRUE(testing::all_equal(short_by_one, 0xee));
  EXPECT_EQ(reader.last_entry_seq(), 0u);
}

TEST(CoreReader, NothingCommittedMeansNothingToRead) {
  // writer_entry_seq 0 short-circuits before any slot is looked at, even positive ones.
  PlainRing ring(8, 2);
  ring.set_word(1, 5);
  RawReader reader(ring.base(), 8, 2);
  std::vector<std::byte> out(8, std::byte{0xee});
  EXPECT_EQ(*reader.read_into(out, std::nullopt), std::nullopt);
  EXPECT_TRUE(testing::all_equal(out, 0xee));
  EXPECT_EQ(reader.try_acquire(std::nullopt), std::nullopt);
  EXPECT_EQ(ring.word(1), 5);
}

TEST(CoreReader, ScanTakesTheSmallestEntrySeqAndTheLowestIndexOnTies) {
  PlainRing ring(8, 5);
  ring.set_header(offset::writer_entry_seq, 40);
  for (std::int64_t i = 0; i < 5; ++i) ring.set_word(i, std::vector{30, 0, -21, 22, 22}[i]);
  RawReader reader(ring.base(), 8, 5);
  auto held = reader.try_acquire(20);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->index, 3u);
  EXPECT_EQ(ring.word(3), -22);
  EXPECT_EQ(ring.word(4), 22);
}

TEST(CoreReader, HostileWordsAreNeverChosenOrIndexedPast) {
  PlainRing ring(8, 3);
  ring.set_header(offset::writer_entry_seq, ~0ULL);
  ring.set_word(0, std::numeric_limits<std::int64_t>::min());
  ring.set_word(1, -1);
  RawReader reader(ring.base(), 8, 3);
  std::vector<std::byte> out(8);
  EXPECT_EQ(*reader.read_into(out, std::nullopt), std::nullopt);
  ring.set_word(2, std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(*reader.read_into(out, std::nullopt),
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));

  RawReader empty_geometry(ring.base(), 8, 0);  // a ring no mapping check would pass
  EXPECT_EQ(*empty_geometry.read_into(out, std::nullopt), std::nullopt);
  EXPECT_EQ(empty_geometry.try_acquire(std::nullopt), std::nullopt);
}

TEST(CoreReader, FastPathWrapsToSlotZeroAfterTheLastSlot) {
  // Storage for five slots, a reader told of four: slot 4 is a guard word just past the ring
  // that holds what the fast path looks for, so an off-by-one in its wrap picks it.
  PlainRing ring(8, 5);
  ring.set_header(offset::writer_entry_seq, 5);
  for (std::int64_t i = 0; i < 5; ++i) {
    const std::int64_t seq = std::vector{5, 2, 3, 4, 5}[i];
    ring.set_word(i, seq);
    std::ranges::fill(ring.payload(i), std::byte(i == 4 ? 0xee : seq));
  }
  RawReader reader(ring.base(), 8, 4);
  std::vector<std::byte> out(8);
  EXPECT_EQ(*reader.read_into(out, 3), 4u);
  ASSERT_EQ(reader.slot_index(), 3u);  // the last slot: the next look wraps
  EXPECT_EQ(*reader.read_into(out, std::nullopt), 5u);
  EXPECT_LT(reader.slot_index(), reader.entry_count());
  EXPECT_EQ(reader.slot_index(), 0u);
  EXPECT_TRUE(testing::all_equal(out, 5));
}

TEST(CoreReader, OneSlotRingWithItsEntryHeld) {
  PlainRing ring(8, 1);
  auto writer = RawWriter::attach(ring.base(), ring.snapshot());
  ASSERT_TRUE(writer.write(filled(8, 1)).has_value());
  RawReader zero_copy(ring.base(), 8, 1);
  auto held = zero_copy.try_acquire(std::nullopt);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(zero_copy.try_acquire(0), std::nullopt);
  EXPECT_EQ(writer.write(filled(8, 2)).error().kind, ErrorKind::WouldBlock);
  zero_copy.release(*held);
  EXPECT_TRUE(writer.write(filled(8, 2)).has_value());
}

}  // namespace
}  // namespace quillmere_core
