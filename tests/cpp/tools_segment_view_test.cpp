// A channel looked at read-only: facts, slot census and copies of entries through a PROT_READ
// mapping (a store through it would crash the test), refusals, and holder liveness against
// live, dead and reused pids.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <limits>

#include "channel_test_support.hpp"
#include "quillmere/src/writer.hpp"
#include "tools/src/segment_view.hpp"

namespace {

namespace metadata = quillmere_core::metadata;
using quillmere::shm::ReadOnlyShmem;
using quillmere::testing::Child;
using quillmere::testing::dead_pid;
using quillmere::testing::Pipe;
using quillmere::testing::ScopedName;
using quillmere_tools::Liveness;
using quillmere_tools::SegmentView;

constexpr std::uint64_t kLength = 16, kCount = 4;

ReadOnlyShmem open_read_only(const ScopedName& name) {
  auto opened = ReadOnlyShmem::open(quillmere::shm::kShmDirectory, name.str().substr(1));
  if (!opened) std::abort();
  return std::move(*opened);
}

quillmere::writer::RawWriter writer_with_entries(const ScopedName& name, int entries) {
  auto writer =
      quillmere::writer::RawWriter::make(name, kLength, kCount, metadata::kDtypeF64, false);
  if (!writer) std::abort();
  for (int k = 1; k <= entries; ++k) {
    std::array<std::byte, kLength> payload{};
    payload[0] = static_cast<std::byte>(k);
    if (!writer->write(payload)) std::abort();
  }
  return std::move(*writer);
}

TEST(SegmentViewTest, FactsCensusAndCopiesOfAWrittenChannel) {
  ScopedName name("view");
  auto writer = writer_with_entries(name, 6);
  auto view = SegmentView::open(open_read_only(name));
  ASSERT_TRUE(view) << view.error().message;
  const auto facts = view->facts();
  EXPECT_EQ(facts.entry_length, kLength);
  EXPECT_EQ(facts.entry_count, kCount);
  EXPECT_EQ(facts.dtype, metadata::kDtypeF64);
  EXPECT_EQ(facts.writer.pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(facts.writer.liveness, Liveness::Alive);
  EXPECT_EQ(facts.reader.liveness, Liveness::None);
  EXPECT_EQ(facts.writer_entry_seq, 6u);
  EXPECT_EQ(facts.trailer_state, quillmere_core::trailer::State::Valid);
  EXPECT_EQ(facts.waiters, 0u);
  EXPECT_EQ(facts.record_length, 0u);

  const auto census = view->census();
  EXPECT_TRUE(census.held.empty());
  EXPECT_EQ(census.empty, 0u);
  EXPECT_EQ(census.oldest, 3u);
  EXPECT_EQ(census.newest, 6u);

  // Through the PROT_READ mapping: a store anywhere on this path would crash the test.
  auto reader = view->reader();
  std::array<std::byte, kLength> out{};
  auto fifth = reader.read_into(out, 4);
  ASSERT_TRUE(fifth && *fifth);
  EXPECT_EQ(**fifth, 5u);
  EXPECT_EQ(out[0], std::byte{5});
  auto sixth = reader.read_into(out, std::nullopt);
  ASSERT_TRUE(sixth && *sixth);
  EXPECT_EQ(**sixth, 6u);
  EXPECT_EQ(out[0], std::byte{6});
}

TEST(SegmentViewTest, RefusesAnObjectThatIsNoRingWithTheCoresReason) {
  ScopedName name("view-foreign");
  auto created = quillmere::shm::ShmemConf{}.os_id(name).size(4096).create();
  ASSERT_TRUE(created);
  auto unwritten = SegmentView::open(open_read_only(name));
  ASSERT_FALSE(unwritten);
  EXPECT_EQ(unwritten.error().message, "its header has not been written yet");
  std::memset(created->base(), 0x5a, 8);
  auto foreign = SegmentView::open(open_read_only(name));
  ASSERT_FALSE(foreign);
  EXPECT_EQ(foreign.error().kind, quillmere_core::ErrorKind::InvalidInput);
  EXPECT_EQ(foreign.error().message, "shared memory segment is not a Quillmere ring");
}

TEST(LivenessTest, NoneDeadAliveAndReused) {
  ScopedName name("liveness");
  // Forked before the segment exists, so it never maps it: a live process that is nobody's
  // holder, as a process that inherited a dead holder's pid would be.
  Pipe release;
  Child stranger([&] { return release.receive() == 'x' ? 0 : 1; });
  auto writer = writer_with_entries(name, 1);
  auto mapping = open_read_only(name);
  auto file = mapping.status();
  ASSERT_TRUE(file);
  using quillmere_tools::liveness;
  EXPECT_EQ(liveness(0, *file), Liveness::None);
  EXPECT_EQ(liveness(static_cast<std::uint64_t>(dead_pid()), *file), Liveness::Dead);
  EXPECT_EQ(liveness(std::numeric_limits<std::uint32_t>::max(), *file), Liveness::Dead);
  EXPECT_EQ(liveness(static_cast<std::uint64_t>(::getpid()), *file), Liveness::Alive);
  EXPECT_EQ(liveness(static_cast<std::uint64_t>(stranger.pid()), *file), Liveness::Unknown);
  release.send('x');
  EXPECT_EQ(stranger.wait(), 0);
}

}  // namespace
