// Ring writer: slot choice, publishing, holds, resuming on an existing ring, stale write
// slots and hostile header / slot words.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "core_test_support.hpp"
#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/writer.hpp"

namespace quillmere_core {
namespace {

using testing::filled;
using testing::PlainRing;
using writer::RawWriter;
namespace offset = metadata::offset;
constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxWord = std::numeric_limits<std::int64_t>::max();

RawWriter attach(PlainRing& ring) {
  return RawWriter::attach(ring.base(), ring.snapshot());
}

// Slot words, write_cursor and writer_entry_seq: everything a writer may change.
struct RingState {
  std::vector<std::int64_t> words;
  std::uint64_t write_cursor, writer_entry_seq;
  bool operator==(const RingState&) const = default;
};

RingState state_of(PlainRing& ring) {
  RingState state{{}, ring.header(offset::write_cursor), ring.header(offset::writer_entry_seq)};
  for (std::uint64_t i = 0; i < ring.entry_count(); ++i) state.words.push_back(ring.word(i));
  return state;
}

TEST(CoreWriter, WritesFillSlotsInOrderAndWrapAround) {
  PlainRing ring(16, 4);
  auto writer = attach(ring);
  ASSERT_TRUE(writer.write(filled(16, 1)).has_value());
  EXPECT_EQ(state_of(ring), (RingState{{1, 0, 0, 0}, 1, 1}));
  EXPECT_TRUE(testing::all_equal(ring.payload(0), 1));

  for (unsigned char b = 2; b <= 5; ++b) ASSERT_TRUE(writer.write(filled(16, b)).has_value());
  EXPECT_EQ(state_of(ring), (RingState{{5, 2, 3, 4}, 1, 5}));
  EXPECT_TRUE(testing::all_equal(ring.payload(0), 5));
  EXPECT_EQ(writer.last_entry_seq(), 5u);
  EXPECT_EQ(writer.cursor(), 1u);
}

TEST(CoreWriter, OneSlotRingReplacesItsOnlyEntry) {
  PlainRing ring(8, 1);
  auto writer = attach(ring);
  for (unsigned char b = 1; b <= 3; ++b) {
    ASSERT_TRUE(writer.write(filled(8, b)).has_value());
    EXPECT_EQ(state_of(ring), (RingState{{b}, 0, b}));
    EXPECT_TRUE(testing::all_equal(ring.payload(0), b));
  }
}

// The claim first expects the entry of one lap ago; any other non-negative word (a scribble,
// an abandoned claim's 0) must still be claimed.
TEST(CoreWriter, ClaimsASlotWhateverNonNegativeWordItHolds) {
  PlainRing ring(8, 4);
  auto writer = attach(ring);
  for (unsigned char b = 1; b <= 4; ++b) ASSERT_TRUE(writer.write(filled(8, b)).has_value());
  ring.set_word(0, 77);
  ring.set_word(1, 0);
  ASSERT_TRUE(writer.write(filled(8, 5)).has_value());
  ASSERT_TRUE(writer.commit(*writer.try_acquire()).has_value());
  EXPECT_EQ(state_of(ring), (RingState{{5, 6, 3, 4}, 2, 6}));
  EXPECT_TRUE(testing::all_equal(ring.payload(0), 5));
}

TEST(CoreWriter, WrongLengthIsRefusedAndChangesNothing) {
  PlainRing ring(16, 4);
  auto writer = attach(ring);
  for (std::size_t length : {15u, 17u, 0u}) {
    auto result = writer.write(filled(length, 1));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().message, "expected 16 payload bytes, got " + std::to_string(length));
  }
  EXPECT_EQ(state_of(ring), (RingState{{0, 0, 0, 0}, 0, 0}));
}

TEST(CoreWriter, HeldSlotsAreSkippedAndAllHeldWouldBlock) {
  PlainRing ring(16, 4);
  ring.set_header(offset::write_cursor, 2);
  ring.set_word(2, -3);
  ring.set_header(offset::writer_entry_seq, 5);  // entry 3 is not the newest: no cursor repair
  auto writer = attach(ring);
  ASSERT_EQ(writer.cursor(), 2u);
  ASSERT_TRUE(writer.write(filled(16, 9)).has_value());
  EXPECT_EQ(state_of(ring), (RingState{{0, 0, -3, 6}, 0, 6}));

  for (std::uint64_t i = 0; i < 4; ++i) ring.set_word(i, -static_cast<std::int64_t>(i + 1));
  const RingState before = state_of(ring);
  auto written = writer.write(filled(16, 7));
  auto acquired = writer.try_acquire();
  for (const ChannelError& error : {written.error(), acquired.error()}) {
    EXPECT_EQ(error.kind, ErrorKind::WouldBlock);
    EXPECT_EQ(error.message, "all 4 ring slots are held by a reader");
  }
  EXPECT_EQ(state_of(ring), before);
  EXPECT_EQ(writer.cursor(), 0u);
  EXPECT_EQ(writer.last_entry_seq(), 6u);
}

TEST(CoreWriter, AcquireHandsOutTheSlotInPlace) {
  PlainRing ring(16, 4);
  auto writer = attach(ring);
  ASSERT_TRUE(writer.write(filled(16, 1)).has_value());
  auto slot = writer.try_acquire();
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(slot->index, 1u);
  EXPECT_EQ(slot->payload, ring.base() + 80 + 1 * 24);
  EXPECT_EQ(slot->length, 16u);
  EXPECT_EQ(writer.try_acquire()->index, 1u);  // cursor moves only on commit

  std::fill_n(slot->payload, 16, std::byte{0x5a});
  EXPECT_EQ(ring.word(1), 0);
  auto seq = writer.commit(*slot);
  ASSERT_TRUE(seq.has_value());
  EXPECT_EQ(*seq, 2u);
  EXPECT_EQ(state_of(ring), (RingState{{1, 2, 0, 0}, 2, 2}));
}

TEST(CoreWriter, AbandonedSlotStaysEmptyAndIsReused) {
  PlainRing ring(8, 2);
  auto writer = attach(ring);
  ASSERT_TRUE(writer.write(filled(8, 1)).has_value());
  ASSERT_TRUE(writer.write(filled(8, 2)).has_value());
  ASSERT_EQ(writer.try_acquire()->index, 0u);  // claims entry 1's slot, then abandoned
  EXPECT_EQ(ring.word(0), 0);

  reader::RawReader reader(ring.base(), 8, 2);
  std::vector<std::byte> out(8);
  EXPECT_EQ(*reader.read_into(out, std::nullopt), 2u);  // entry 1 is gone for good
  EXPECT_EQ(*reader.read_into(out, std::nullopt), std::nullopt);

  ASSERT_TRUE(writer.write(filled(8, 3)).has_value());
  EXPECT_EQ(state_of(ring), (RingState{{3, 2}, 1, 3}));
}

TEST(CoreWriter, StaleWriteSlotIsRefusedAndChangesNothing) {
  PlainRing ring(8, 2);
  auto writer = attach(ring);
  auto first = *writer.try_acquire();
  auto second = *writer.try_acquire();
  ASSERT_EQ(first.index, second.index);
  EXPECT_EQ(*writer.commit(second), 1u);

  // The reader pins the entry the second slot published; the first must not touch it.
  reader::RawReader zero_copy(ring.base(), 8, 2);
  auto held = zero_copy.try_acquire(std::nullopt);
  ASSERT_TRUE(held.has_value());
  const RingState before = state_of(ring);
  auto refused = writer.commit(first);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(refused.error().message, "write slot 0 was reclaimed before commit");
  EXPECT_EQ(state_of(ring), before);
  EXPECT_EQ(writer.last_entry_seq(), 1u);
  zero_copy.release(*held);
}

TEST(CoreWriter, StaleWriteSlotIsRefusedAfterItsSlotWasClaimedAgain) {
  // Slot 0 is published and wrapped onto again: its word is back at 0 under a newer claim.
  PlainRing ring(8, 2);
  auto writer = attach(ring);
  auto stale = *writer.try_acquire();
  ASSERT_TRUE(writer.write(filled(8, 1)).has_value());
  ASSERT_TRUE(writer.write(filled(8, 2)).has_value());
  auto current = *writer.try_acquire();
  ASSERT_EQ(current.index, stale.index);
  ASSERT_EQ(ring.word(0), 0);

  EXPECT_EQ(writer.commit(stale).error().message, "write slot 0 was reclaimed before commit");
  EXPECT_EQ(ring.word(0), 0);
  EXPECT_EQ(*writer.commit(current), 3u);
}

TEST(CoreWriter, CommitRefusesASlotOutsideTheRingOrAScribbledWord) {
  PlainRing ring(8, 2);
  auto writer = attach(ring);
  auto slot = *writer.try_acquire();
  auto outside = slot;
  outside.index = 2;
  EXPECT_EQ(writer.commit(outside).error().message, "write slot 2 is outside the ring of 2 slots");

  ring.set_word(0, 99);  // another process scribbled on the claimed word
  EXPECT_EQ(writer.commit(slot).error().message, "write slot 0 was reclaimed before commit");
  EXPECT_EQ(state_of(ring), (RingState{{99, 0}, 0, 0}));
}

TEST(CoreWriter, ResumesAfterAWriterStoppedBeforeTheHeaderStores) {
  for (std::int64_t newest : {7, -7}) {
    PlainRing ring(16, 4);
    for (std::int64_t i = 0; i < 4; ++i) ring.set_word(i, std::vector{5, 6, 7, 4}[i]);
    ring.set_word(2, newest);
    ring.set_header(offset::writer_entry_seq, 6);
    ring.set_header(offset::write_cursor, 2);
    auto writer = attach(ring);
    EXPECT_EQ(writer.last_entry_seq(), 7u);
    EXPECT_EQ(writer.cursor(), 3u);
    auto slot = *writer.try_acquire();
    EXPECT_EQ(slot.index, 3u);
    EXPECT_EQ(*writer.commit(slot), 8u);
    EXPECT_EQ(state_of(ring), (RingState{{5, 6, newest, 8}, 0, 8}));
  }
}

TEST(CoreWriter, ResumesPastTheNewestEntryWhereverItIs) {
  // The previous writer skipped the held slot 2, published 7 into slot 3 and stopped before its
  // header stores: cursor 2 and writer_entry_seq 6 still name the state before entry 7.
  PlainRing ring(16, 4);
  for (std::int64_t i = 0; i < 4; ++i) ring.set_word(i, std::vector{5, 6, -3, 7}[i]);
  ring.set_header(offset::writer_entry_seq, 6);
  ring.set_header(offset::write_cursor, 2);
  auto writer = attach(ring);
  EXPECT_EQ(writer.last_entry_seq(), 7u);
  EXPECT_EQ(writer.cursor(), 0u);
  // Republished at once: readers waiting above 6 find entry 7 before any new write.
  EXPECT_EQ(state_of(ring), (RingState{{5, 6, -3, 7}, 0, 7}));
  ASSERT_TRUE(writer.write(filled(16, 8)).has_value());
  EXPECT_EQ(state_of(ring), (RingState{{8, 6, -3, 7}, 1, 8}));
}

TEST(CoreWriter, ResumesFromTheHeaderAsItIsNowNotFromTheSnapshot) {
  // The snapshot was read before the writer role was claimed; the previous holder went on
  // writing until the claim succeeded.
  PlainRing ring(8, 1);
  const metadata::HeaderSnapshot before_the_claim = ring.snapshot();
  ring.set_header(offset::writer_entry_seq, 9);  // entry 9's slot was claimed afterwards: 0
  ring.set_header(offset::write_cursor, 0);
  auto writer = RawWriter::attach(ring.base(), before_the_claim);
  EXPECT_EQ(writer.last_entry_seq(), 9u);
  ASSERT_TRUE(writer.write(filled(8, 1)).has_value());
  EXPECT_EQ(state_of(ring), (RingState{{10}, 0, 10}));

  PlainRing wider(8, 4);
  const metadata::HeaderSnapshot early = wider.snapshot();
  auto previous = attach(wider);
  for (unsigned char b = 1; b <= 2; ++b) ASSERT_TRUE(previous.write(filled(8, b)).has_value());
  wider.set_word(1, 0);  // entry 2's slot reclaimed by a writer that then died
  auto resumed = RawWriter::attach(wider.base(), early);
  EXPECT_EQ(resumed.last_entry_seq(), 2u);
  EXPECT_EQ(resumed.cursor(), 2u);
}

TEST(CoreWriter, ResumesAfterAWriterStoppedBetweenClaimAndPublish) {
  PlainRing ring(8, 1);
  ring.set_header(offset::writer_entry_seq, 9);
  auto writer = attach(ring);
  EXPECT_EQ(writer.last_entry_seq(), 9u);
  EXPECT_EQ(writer.cursor(), 0u);
  EXPECT_EQ(*writer.commit(*writer.try_acquire()), 10u);

  // No slot holds the newest entry: the header's cursor is used, reduced modulo entry_count.
  PlainRing wide(8, 4);
  wide.set_header(offset::writer_entry_seq, 3);
  wide.set_header(offset::write_cursor, (1ULL << 63) + 2);
  EXPECT_EQ(attach(wide).cursor(), 2u);
}

TEST(CoreWriter, HostileWordsNeverProduceANonPositiveWord) {
  // INT64_MIN has no positive counterpart: attach must count it as 2^63 without UB, and no
  // entry_seq can follow it.
  PlainRing ring(8, 4);
  ring.set_word(1, kMin64);
  auto writer = attach(ring);
  EXPECT_EQ(writer.last_entry_seq(), 1ULL << 63);
  EXPECT_EQ(writer.cursor(), 2u);  // past the slot holding the largest entry_seq
  const RingState before = state_of(ring);
  auto written = writer.write(filled(8, 1));
  auto acquired = writer.try_acquire();
  for (const ChannelError& error : {written.error(), acquired.error()}) {
    EXPECT_EQ(error.kind, ErrorKind::InvalidInput);
    EXPECT_EQ(error.message,
              "entry_seq 9223372036854775808 cannot be continued: slot words hold at most "
              "9223372036854775807; re-create the channel");
  }
  EXPECT_EQ(state_of(ring), before);
}

TEST(CoreWriter, LastRepresentableEntrySeqIsWrittenThenRefused) {
  PlainRing ring(8, 2);
  ring.set_header(offset::writer_entry_seq, kMaxWord - 1);
  auto writer = attach(ring);
  auto pending = *writer.try_acquire();
  ASSERT_TRUE(writer.write(filled(8, 1)).has_value());
  EXPECT_EQ(ring.word(0), kMaxWord);
  EXPECT_FALSE(writer.write(filled(8, 2)).has_value());
  EXPECT_FALSE(writer.commit(pending).has_value());
  EXPECT_EQ(state_of(ring), (RingState{{kMaxWord, 0}, 1, static_cast<std::uint64_t>(kMaxWord)}));

  ring.set_header(offset::writer_entry_seq, ~0ULL);  // a header word past any slot word
  EXPECT_FALSE(attach(ring).write(filled(8, 3)).has_value());
}

}  // namespace
}  // namespace quillmere_core
