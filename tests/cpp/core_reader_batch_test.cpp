// read_rows on a ring in plain memory: a batch returns, skips and moves the watermark
// exactly as the same number of single reads does, and never a torn row under a writer
// running flat out.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "core_test_support.hpp"
#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/writer.hpp"

namespace {

using quillmere_core::reader::RawReader;
using quillmere_core::testing::PlainRing;
using quillmere_core::writer::RawWriter;

constexpr std::uint64_t kLength = 64, kCount = 16;

// A payload that names its entry: every 8-byte word holds seq * (word index + 1).
void stamp(std::byte* payload, std::uint64_t seq) {
  for (std::uint64_t at = 0; at < kLength / 8; ++at) {
    const std::uint64_t value = seq * (at + 1);
    std::memcpy(payload + at * 8, &value, 8);
  }
}

// The seq a stamped payload names, or 0 when its words disagree (a torn copy).
std::uint64_t stamped_seq(const std::byte* payload) {
  std::uint64_t seq;
  std::memcpy(&seq, payload, 8);
  for (std::uint64_t at = 1; at < kLength / 8; ++at) {
    std::uint64_t value;
    std::memcpy(&value, payload + at * 8, 8);
    if (value != seq * (at + 1)) return 0;
  }
  return seq;
}

void publish(RawWriter& writer, std::uint64_t times) {
  std::vector<std::byte> payload(kLength);
  for (std::uint64_t i = 0; i < times; ++i) {
    stamp(payload.data(), writer.last_entry_seq() + 1);
    ASSERT_TRUE(writer.write(payload));
  }
}

struct Case {
  std::uint64_t written;  // before the reader starts: more than kCount laps it
  std::uint64_t rows;     // per batch
};

class BatchAsSingleReads : public ::testing::TestWithParam<Case> {};

// A batch reader and a single-read twin over the same ring end up with the same rows, seqs and
// watermark, batch after batch, also when the writer lapped them both.
TEST_P(BatchAsSingleReads, SameRowsSeqsAndWatermark) {
  const auto [written, batch] = GetParam();
  PlainRing ring(kLength, kCount);
  auto writer = RawWriter::attach(ring.base(), ring.snapshot());
  publish(writer, written);
  RawReader batched(ring.base(), kLength, kCount), single(ring.base(), kLength, kCount);
  std::vector<std::byte> rows(batch * kLength), one(kLength);
  std::vector<std::uint64_t> seqs(batch);
  for (std::uint64_t round = 0; round < written / batch + 2; ++round) {
    const std::uint64_t filled = batched.read_rows(rows, seqs, std::nullopt);
    for (std::uint64_t row = 0; row < filled; ++row) {
      auto got = single.read_into(one, std::nullopt);
      ASSERT_TRUE(got && *got);
      EXPECT_EQ(seqs[row], **got);
      EXPECT_EQ(stamped_seq(rows.data() + row * kLength), **got);
    }
    EXPECT_EQ(batched.last_entry_seq(), single.last_entry_seq());
    if (filled < batch) {
      auto rest = single.read_into(one, std::nullopt);
      ASSERT_TRUE(rest);
      EXPECT_FALSE(*rest) << "the batch stopped while a single read still found an entry";
    }
  }
  EXPECT_EQ(batched.last_entry_seq(), written);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BatchAsSingleReads,
                         ::testing::Values(Case{5, 1}, Case{12, 7}, Case{kCount, kCount},
                                           Case{kCount, 2 * kCount}, Case{3 * kCount + 5, 7}));

// from_entry_seq stands in for the watermark of the first row only, as for one read.
TEST(Batch, FromEntrySeqStartsTheFirstRow) {
  PlainRing ring(kLength, kCount);
  auto writer = RawWriter::attach(ring.base(), ring.snapshot());
  publish(writer, 10);
  RawReader reader(ring.base(), kLength, kCount);
  std::vector<std::byte> rows(4 * kLength);
  std::vector<std::uint64_t> seqs(4);
  EXPECT_EQ(reader.read_rows(rows, seqs, 6), 4u);
  EXPECT_EQ(seqs, (std::vector<std::uint64_t>{7, 8, 9, 10}));
  EXPECT_EQ(reader.last_entry_seq(), 10u);
}

// A writer thread running flat out laps the batch reader again and again: every row is whole
// and names the seq reported for it, and seqs only ever increase.
TEST(Batch, NeverTornUnderAFastWriter) {
  PlainRing ring(kLength, kCount);
  auto writer = RawWriter::attach(ring.base(), ring.snapshot());
  std::atomic<bool> stop{false};
  std::thread writing([&] {
    std::vector<std::byte> payload(kLength);
    while (!stop.load(std::memory_order_relaxed)) {
      stamp(payload.data(), writer.last_entry_seq() + 1);
      if (!writer.write(payload)) return;
    }
  });
  RawReader reader(ring.base(), kLength, kCount);
  std::vector<std::byte> rows(7 * kLength);
  std::vector<std::uint64_t> seqs(7);
  std::uint64_t last = 0, rows_read = 0;
  while (rows_read < 50'000) {
    const std::uint64_t filled = reader.read_rows(rows, seqs, std::nullopt);
    for (std::uint64_t row = 0; row < filled; ++row) {
      ASSERT_EQ(stamped_seq(rows.data() + row * kLength), seqs[row]) << "row " << row;
      ASSERT_GT(seqs[row], last);
      last = seqs[row];
    }
    rows_read += filled;
  }
  stop.store(true, std::memory_order_relaxed);
  writing.join();
}

}  // namespace
