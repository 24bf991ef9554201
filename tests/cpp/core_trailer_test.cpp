// The segment trailer's placement and checks, and the doorbell's waiter registration, on plain
// memory.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "quillmere-core/src/doorbell.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/trailer.hpp"

namespace {

namespace metadata = quillmere_core::metadata;
namespace trailer = quillmere_core::trailer;
namespace doorbell = quillmere_core::doorbell;

constexpr std::uint64_t kLength = 16, kCount = 4;

// A ring of kLength x kCount with room for a trailer, initialised like creation does.
struct Segment {
  explicit Segment(std::uint64_t size = *trailer::segment_size(kLength, kCount),
                   unsigned char fill = 0)
      : bytes(size, std::byte{fill}) {
    trailer_at = *trailer::trailer_offset(kLength, kCount);
  }
  std::byte* base() { return bytes.data(); }
  std::byte* trailer_base() { return base() + trailer_at; }
  trailer::Found find() {
    return trailer::find(base(), bytes.size(), metadata::HeaderSnapshot{kLength, kCount, 0, 0, 0});
  }
  void set(std::size_t at, std::uint64_t value) { std::memcpy(trailer_base() + at, &value, 8); }
  std::uint64_t get(std::size_t at) {
    std::uint64_t value;
    std::memcpy(&value, trailer_base() + at, 8);
    return value;
  }
  std::vector<std::byte> bytes;
  std::uint64_t trailer_at;
};

TEST(TrailerPlacement, FollowsTheRingOnACacheLineBoundary) {
  EXPECT_EQ(trailer::trailer_offset(16, 4), 192u);  // the 168-byte ring, padded to 64
  EXPECT_EQ(trailer::trailer_offset(8, 7), 192u);   // 184 bytes
  EXPECT_EQ(trailer::trailer_offset(48, 1), 128u);  // 128 bytes: no padding
  EXPECT_EQ(*trailer::segment_size(16, 4), 192u + trailer::kTrailerSize);
}

TEST(TrailerPlacement, SizesThatOverflowAreRefused) {
  EXPECT_FALSE(trailer::trailer_offset(~std::uint64_t{0} - 8, 1));
  // A ring that fits in 64 bits, but not once padded and followed by the trailer.
  const std::uint64_t count = (~std::uint64_t{0} - 72 - 100) / 16;
  ASSERT_TRUE(metadata::segment_size(8, count));
  auto size = trailer::segment_size(8, count);
  ASSERT_FALSE(size);
  EXPECT_EQ(size.error().kind, quillmere_core::ErrorKind::InvalidInput);
}

TEST(TrailerFind, TellsAbsentValidOtherVersionAndForeignApart) {
  Segment segment;
  EXPECT_EQ(segment.find().state, trailer::State::Absent);  // magic word 0
  trailer::init(segment.trailer_base());
  auto found = segment.find();
  EXPECT_EQ(found.state, trailer::State::Valid);
  EXPECT_EQ(found.version, trailer::kVersion);
  EXPECT_EQ(found.base, segment.trailer_base());
  segment.set(trailer::offset::magic, 0x514c4d5400000002ULL);
  EXPECT_EQ(segment.find().state, trailer::State::OtherVersion);
  EXPECT_EQ(segment.find().version, 2u);
  EXPECT_EQ(segment.find().base, nullptr);
  segment.set(trailer::offset::magic, 0x1234);
  EXPECT_EQ(segment.find().state, trailer::State::Foreign);
}

TEST(TrailerFind, AMappingWithoutRoomHasNone) {
  // Exactly the ring (another implementation), and one byte short of a whole trailer.
  for (std::uint64_t size : {std::uint64_t{168}, std::uint64_t{192 + trailer::kTrailerSize - 1}}) {
    Segment segment(size, 0xff);
    EXPECT_EQ(segment.find().state, trailer::State::Absent) << size;
  }
}

TEST(TrailerInit, WipesTheTrailerAndNothingBeforeIt) {
  Segment segment(*trailer::segment_size(kLength, kCount), 0xab);
  trailer::init(segment.trailer_base());
  EXPECT_EQ(segment.get(trailer::offset::magic), trailer::kMagic);
  for (std::size_t at = 8; at < trailer::kTrailerSize; at += 8) EXPECT_EQ(segment.get(at), 0u);
  for (std::uint64_t i = 0; i < segment.trailer_at; ++i)
    ASSERT_EQ(segment.bytes[i], std::byte{0xab}) << "byte " << i << " of the ring changed";
}

TEST(TrailerRecord, RoundTripsAndClampsAHostileLength) {
  Segment segment;
  trailer::init(segment.trailer_base());
  EXPECT_TRUE(trailer::record(segment.trailer_base()).empty());
  const std::vector<std::byte> record(100, std::byte{7});
  ASSERT_TRUE(trailer::set_record(segment.trailer_base(), record));
  EXPECT_EQ(trailer::record(segment.trailer_base()).size(), 100u);
  segment.set(trailer::offset::record_length, ~std::uint64_t{0});
  EXPECT_EQ(trailer::record(segment.trailer_base()).size(), trailer::kRecordCapacity);
  const std::vector<std::byte> too_long(trailer::kRecordCapacity + 1);
  auto refused = trailer::set_record(segment.trailer_base(), too_long);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, quillmere_core::ErrorKind::InvalidInput);
}

class Doorbell : public ::testing::Test {
 protected:
  void SetUp() override { trailer::init(segment.trailer_base()); }
  std::uint64_t waiters() { return segment.get(trailer::offset::waiters); }
  std::byte* bell() { return segment.trailer_base(); }
  Segment segment;
};

TEST_F(Doorbell, EnterAndLeaveRaiseAndLowerTheCountAndUseAPidSlot) {
  EXPECT_FALSE(doorbell::anyone_waiting(bell()));
  auto first = doorbell::enter(bell(), 41);
  auto second = doorbell::enter(bell(), 42);
  EXPECT_EQ(waiters(), 2u);
  EXPECT_TRUE(doorbell::anyone_waiting(bell()));
  ASSERT_TRUE(first.slot && second.slot);
  EXPECT_NE(*first.slot, *second.slot);
  EXPECT_EQ(segment.get(trailer::offset::waiter_pids + *second.slot * 8), 42u);
  doorbell::leave(bell(), first);
  doorbell::leave(bell(), second);
  EXPECT_EQ(waiters(), 0u);
  for (std::uint64_t slot = 0; slot < trailer::kWaiterSlots; ++slot)
    EXPECT_EQ(segment.get(trailer::offset::waiter_pids + slot * 8), 0u);
}

TEST_F(Doorbell, WaitersBeyondThePidSlotsStillCount) {
  std::vector<doorbell::Registration> all;
  for (std::uint64_t i = 0; i <= trailer::kWaiterSlots; ++i)
    all.push_back(doorbell::enter(bell(), 7));
  EXPECT_FALSE(all.back().slot);
  EXPECT_EQ(waiters(), trailer::kWaiterSlots + 1);
  for (const auto& registration : all) doorbell::leave(bell(), registration);
  EXPECT_EQ(waiters(), 0u);
}

TEST_F(Doorbell, ReapingClearsTheDeadAndLowersTheCountOnce) {
  auto alive = doorbell::enter(bell(), 100);
  auto dead = doorbell::enter(bell(), 200);
  auto is_alive = [](std::uint64_t pid) { return pid == 100; };
  EXPECT_EQ(doorbell::reap(bell(), is_alive), 1u);
  EXPECT_EQ(waiters(), 1u);
  EXPECT_EQ(doorbell::reap(bell(), is_alive), 0u);  // nothing left to clear
  doorbell::leave(bell(), dead);  // a waiter wrongly reaped: its count is not lowered twice
  EXPECT_EQ(waiters(), 1u);
  doorbell::leave(bell(), alive);
  EXPECT_EQ(waiters(), 0u);
}

TEST_F(Doorbell, HostileWordsNeverDriveTheCountBelowZero) {
  // Pid slots full of scribbles and a count of 0: reaping clears them, the count stays 0.
  for (std::uint64_t slot = 0; slot < trailer::kWaiterSlots; ++slot)
    segment.set(trailer::offset::waiter_pids + slot * 8, ~slot);
  EXPECT_EQ(doorbell::reap(bell(), [](std::uint64_t) { return false; }), trailer::kWaiterSlots);
  EXPECT_EQ(waiters(), 0u);
  doorbell::leave(bell(), doorbell::Registration{std::nullopt, 5});
  EXPECT_EQ(waiters(), 0u);
}

}  // namespace
