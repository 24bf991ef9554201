// Ring reader after a lost race: a scripted writer acts between the reader's choice of an
// entry and its validation (the copy's re-check, or the hold's compare-and-swap).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "core_test_support.hpp"
#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/writer.hpp"

namespace quillmere_core {
namespace {

using testing::filled;
using testing::PlainRing;
using writer::RawWriter;

// What a scripted writer did while readers were between choice and validation.
struct Script {
  int races_left = 0;                 // attempts still to be disturbed
  std::vector<std::uint64_t> chosen;  // slot index of every attempt, in order
};

// Commits the next entry (entry k filled with byte k) while the reader is mid-attempt: the
// writer claims the slot at its cursor, which holds the oldest entry.
struct CommitDuringAttempt {
  Script* script;
  RawWriter* writer;
  void operator()(std::uint64_t index) const noexcept {
    script->chosen.push_back(index);
    if (script->races_left == 0) return;
    --script->races_left;
    const auto next = static_cast<unsigned char>(writer->last_entry_seq() + 1);
    EXPECT_TRUE(writer->write(filled(16, next)).has_value());
  }
};

// Claims the very slot the reader chose (word -> 0, as a writer starting to rewrite it), so
// the attempt fails whichever entry it picked.
struct ClaimChosenSlot {
  Script* script;
  PlainRing* ring;
  void operator()(std::uint64_t index) const noexcept {
    script->chosen.push_back(index);
    if (script->races_left == 0) return;
    --script->races_left;
    ring->set_word(index, 0);
  }
};

// An 8-slot ring of 16-byte entries after `written` entries, entry k filled with byte k, and
// readers on it whose attempts a script disturbs.
struct ChasedRing {
  explicit ChasedRing(unsigned char written) {
    for (unsigned char k = 1; k <= written; ++k) EXPECT_TRUE(writer.write(filled(16, k)));
  }
  template <class Interpose>
  reader::BasicRawReader<Interpose> make_reader(Interpose interpose) {
    return reader::BasicRawReader<Interpose>(ring.base(), 16, 8, interpose);
  }
  auto committing_reader(int races) {
    script.races_left = races;
    return make_reader(CommitDuringAttempt{&script, &writer});
  }
  auto claiming_reader(int races) {
    script.races_left = races;
    return make_reader(ClaimChosenSlot{&script, &ring});
  }

  PlainRing ring{16, 8};
  RawWriter writer = RawWriter::attach(ring.base(), ring.snapshot());
  Script script;
};

TEST(CoreReaderLostRace, RetryAimsHalfARingBehindTheWriterNotAtItsNextClaim) {
  // After 15, 16 and 20 entries the writer's cursor sits at 7, 0 and 4: the slot it claims
  // during the first attempt wraps the cursor, sits at the ring's start, or in its middle.
  for (unsigned char written : {15, 16, 20}) {
    SCOPED_TRACE(static_cast<int>(written));
    ChasedRing chased(written);
    auto reader = chased.committing_reader(reader::kMaxAttempts);
    std::vector<std::byte> out(16);
    // The writer commits during every attempt (a writer running flat out). The first attempt
    // takes the oldest entry and loses it; the second aims at newest - 4 + 1 and keeps it.
    const auto got = *reader.read_into(out, 2);
    const std::uint64_t newest = written + 1u;  // the entry committed during the first attempt
    ASSERT_EQ(got, newest - 3);
    EXPECT_TRUE(testing::all_equal(out, static_cast<unsigned char>(*got)));
    EXPECT_EQ(reader.last_entry_seq(), *got);
    EXPECT_EQ(chased.script.chosen.size(), 2u);
    EXPECT_EQ(chased.ring.word(reader.slot_index()), static_cast<std::int64_t>(*got));
    // From there on the reader follows in order.
    chased.script.races_left = 0;
    EXPECT_EQ(*reader.read_into(out, std::nullopt), *got + 1);
  }
}

TEST(CoreReaderLostRace, HoldRetriesClearOfTheWriterToo) {
  ChasedRing chased(20);  // slots hold 17 18 19 20 13 14 15 16, cursor 4
  auto reader = chased.committing_reader(1);
  const auto held = reader.try_acquire(2);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(chased.script.chosen,
            (std::vector<std::uint64_t>{4, 1}));  // 13 lost to entry 21, then 18
  EXPECT_EQ(held->entry_seq, 18u);
  EXPECT_EQ(chased.ring.word(1), -18);
  EXPECT_EQ(chased.ring.word(4), 21);
  reader.release(*held);
}

TEST(CoreReaderLostRace, RetryFindsItsEntryFromTheCursorWithoutAScan) {
  ChasedRing chased(20);
  chased.ring.set_word(0, 18);  // a stray duplicate ahead of the real 18 in slot 1: a scan takes it
  auto reader = chased.committing_reader(1);
  std::vector<std::byte> out(16);
  EXPECT_EQ(*reader.read_into(out, 2), 18u);
  EXPECT_EQ(chased.script.chosen, (std::vector<std::uint64_t>{4, 1}));
}

TEST(CoreReaderLostRace, OneSlotRingRetryTakesTheEntryThatReplacedTheLostOne) {
  PlainRing ring(16, 1);
  auto writer = RawWriter::attach(ring.base(), ring.snapshot());
  for (unsigned char k = 1; k <= 3; ++k) ASSERT_TRUE(writer.write(filled(16, k)));
  Script script{.races_left = 1, .chosen = {}};
  reader::BasicRawReader reader(ring.base(), 16, 1, CommitDuringAttempt{&script, &writer});
  std::vector<std::byte> out(16);
  EXPECT_EQ(*reader.read_into(out, std::nullopt), 4u);  // half of one slot still leads by one
  EXPECT_TRUE(testing::all_equal(out, 4));
}

TEST(CoreReaderLostRace, ScribbledCursorFallsBackToTheScan) {
  ChasedRing chased(20);
  chased.ring.set_header(metadata::offset::write_cursor, ~0ULL);
  auto reader = chased.claiming_reader(1);
  std::vector<std::byte> out(16);
  EXPECT_EQ(*reader.read_into(out, 2), 17u);  // oldest above 20 - 4, found by the scan
  EXPECT_EQ(chased.script.chosen, (std::vector<std::uint64_t>{4, 0}));
}

TEST(CoreReaderLostRace, AttemptLimitIsFour) {
  // Every disturbed attempt loses its chosen slot: 13 (oldest), then 17 (newest - 4 + 1, found
  // from the cursor), then 18 and 19 (the scan above 16, once 17's slot reads 0).
  for (const bool hold : {false, true}) {
    for (const int races : {3, 4}) {
      SCOPED_TRACE(::testing::Message() << (hold ? "try_acquire" : "read_into") << ", " << races);
      ChasedRing chased(20);
      auto reader = chased.claiming_reader(races);
      std::optional<std::uint64_t> got;
      if (hold) {
        const auto slot = reader.try_acquire(2);
        if (slot) got = slot->entry_seq;
      } else {
        std::vector<std::byte> out(16);
        got = *reader.read_into(out, 2);
      }
      EXPECT_EQ(chased.script.chosen, (std::vector<std::uint64_t>{4, 0, 1, 2}));
      if (races == 3) {
        EXPECT_EQ(got, 19u);
        EXPECT_EQ(reader.last_entry_seq(), 19u);
      } else {
        EXPECT_EQ(got, std::nullopt);
        EXPECT_EQ(reader.last_entry_seq(), 0u);  // the watermark moves only on success
      }
    }
  }
}

}  // namespace
}  // namespace quillmere_core
