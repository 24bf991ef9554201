// Timed writes: entries reach the channel in order and never before they are due; the queue's
// byte budget holds the offering thread back; stop() ends a sleep for a far-off entry at once.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "channel_test_support.hpp"
#include "quillmere/src/writer.hpp"
#include "tools/src/timed_writes.hpp"

namespace {

namespace metadata = quillmere_core::metadata;
using quillmere::testing::ScopedName;
using quillmere_tools::Clock;
using quillmere_tools::TimedWrites;
using namespace std::chrono_literals;

constexpr std::uint64_t kLength = 64;

quillmere::writer::RawWriter make_writer(std::string_view name) {
  auto writer = quillmere::writer::RawWriter::make(name, kLength, 64, metadata::kDtypeU8, false);
  if (!writer) std::abort();
  return std::move(*writer);
}

TEST(TimedWrites, WritesEachEntryInOrderAndNoEarlierThanItIsDue) {
  ScopedName name("timed-order");
  auto writer = make_writer(name.str());
  const std::vector<std::byte> payload(kLength);
  TimedWrites writes(writer, 16, 1 << 20);
  const Clock::time_point start = Clock::now() + 5ms;
  constexpr int kTimed = 20;
  for (int i = 0; i < kTimed; ++i)
    ASSERT_TRUE(writes.offer({payload, start + i * 1ms}, Clock::now() + 10s));
  ASSERT_TRUE(writes.offer({payload, Clock::time_point{}}, Clock::now() + 10s));  // at once
  ASSERT_TRUE(writes.drain(Clock::now() + 10s));
  writes.stop();
  EXPECT_EQ(writer.last_entry_seq(), kTimed + 1u);
  const TimedWrites::Counts& counts = writes.counts();
  EXPECT_EQ(counts.written, kTimed + 1u);
  ASSERT_EQ(counts.lateness.size(), std::size_t{kTimed});  // none for the entry due at once
  EXPECT_EQ(counts.lateness_change.size(), std::size_t{kTimed - 1});
  for (std::int64_t late : counts.lateness) EXPECT_GE(late, 0);
}

TEST(TimedWrites, TheBudgetHoldsOffersBackAndStopEndsTheWaitForAFarEntry) {
  ScopedName name("timed-budget");
  auto writer = make_writer(name.str());
  const std::vector<std::byte> payload(kLength);
  TimedWrites writes(writer, 16, 2 * kLength);
  const Clock::time_point far = Clock::now() + 1h;
  EXPECT_TRUE(writes.offer({payload, far}, Clock::now()));
  EXPECT_TRUE(writes.offer({payload, far}, Clock::now()));
  EXPECT_FALSE(writes.offer({payload, far}, Clock::now() + 20ms));
  EXPECT_FALSE(writes.drain(Clock::now() + 20ms));
  const Clock::time_point stopping = Clock::now();
  writes.stop();
  EXPECT_LT(Clock::now() - stopping, 5s);
  EXPECT_EQ(writes.counts().written, 0u);
  EXPECT_EQ(writer.last_entry_seq(), 0u);
  EXPECT_FALSE(writes.offer({payload, Clock::time_point{}}, Clock::now()));  // stopped
}

}  // namespace
