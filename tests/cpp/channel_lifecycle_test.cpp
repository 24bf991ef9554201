// open_or_create and try_attach over every state a segment can be in, their failure
// messages, the owner flag they hand out, and the bounds that keep a mapping from being used
// past its end.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "channel_test_support.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere/src/lifecycle.hpp"

namespace {

namespace lifecycle = quillmere::lifecycle;
namespace metadata = quillmere_core::metadata;
using quillmere::testing::Child;
using quillmere::testing::header_word;
using quillmere::testing::make_raw_object;
using quillmere::testing::Pipe;
using quillmere::testing::ScopedName;
using quillmere::testing::segment_exists;
using quillmere::testing::set_header_word;
using quillmere_core::ErrorKind;
using quillmere_core::metadata::kDtypeF64;
using quillmere_core::metadata::kDtypeU8;

constexpr std::uint64_t kLength = 16, kCount = 4;
// A created segment: the 168-byte ring, padded to 192, then the doorbell trailer.
constexpr std::uint64_t kCreatedSize = 192 + 1024;

auto create(std::string_view name, std::uint8_t dtype = kDtypeU8) {
  return lifecycle::open_or_create(name, kLength, kCount, dtype, false);
}

std::uint64_t own_pid() {
  return static_cast<std::uint64_t>(::getpid());
}

// Expects an error of `kind` whose message is exactly `message`.
#define EXPECT_CHANNEL_ERROR(result, expected_kind, expected_message) \
  do {                                                                \
    auto&& r_ = (result);                                             \
    ASSERT_FALSE(r_);                                                 \
    EXPECT_EQ(r_.error().kind, expected_kind);                        \
    EXPECT_EQ(r_.error().message, expected_message);                  \
  } while (0)

TEST(ChannelOpenOrCreate, OneSizeWithoutTheOtherIsRefusedBeforeAnything) {
  ScopedName name("onesize");
  const std::string message = "entry_length and entry_count must both be supplied or both omitted";
  EXPECT_CHANNEL_ERROR(lifecycle::open_or_create(name, kLength, std::nullopt, kDtypeU8, true),
                       ErrorKind::InvalidInput, message);
  EXPECT_FALSE(segment_exists(name));
  auto created = create(name);
  ASSERT_TRUE(created && *created);
  EXPECT_CHANNEL_ERROR(lifecycle::open_or_create(name, std::nullopt, kCount, kDtypeU8, false),
                       ErrorKind::InvalidInput, message);
}

TEST(ChannelOpenOrCreate, CreatesAnOwnedSegmentWithAFreshHeader) {
  ScopedName name("create");
  auto created = create(name, kDtypeF64);
  ASSERT_TRUE(created && *created);
  const auto& segment = **created;
  EXPECT_TRUE(segment.shmem.is_owner());
  EXPECT_EQ(segment.shmem.len(), kCreatedSize);
  EXPECT_EQ(segment.header.entry_length, kLength);
  EXPECT_EQ(segment.header.entry_count, kCount);
  EXPECT_EQ(segment.header.dtype, kDtypeF64);
  EXPECT_EQ(segment.header.writer_entry_seq, 0u);
  EXPECT_EQ(header_word(name, metadata::offset::owner_pid), own_pid());
}

TEST(ChannelOpenOrCreate, BadGeometryCreatesNothing) {
  ScopedName name("geometry");
  EXPECT_CHANNEL_ERROR(lifecycle::open_or_create(name, 12, 4, kDtypeU8, false),
                       ErrorKind::InvalidInput,
                       "payload must be a multiple of 8 bytes to keep slot entry_seq words "
                       "aligned, got 12");
  EXPECT_CHANNEL_ERROR(lifecycle::open_or_create(name, 0, 4, kDtypeU8, false),
                       ErrorKind::InvalidInput, "entry_length and entry_count must be non-zero");
  EXPECT_FALSE(segment_exists(name));
}

TEST(ChannelOpenOrCreate, ExistingInitialisedSegmentIsValidatedAndNotTouched) {
  ScopedName name("validate");
  auto creator = create(name);
  ASSERT_TRUE(creator && *creator);

  // Same process, same geometry: attached, but the creator's handle stays the owner.
  auto again = create(name);
  ASSERT_TRUE(again && *again);
  EXPECT_FALSE((*again)->shmem.is_owner());

  EXPECT_CHANNEL_ERROR(lifecycle::open_or_create(name, 8, 4, kDtypeU8, false),
                       ErrorKind::InvalidInput,
                       "header mismatch: expected (8 payload bytes, 4 entries), found (16 payload "
                       "bytes, 4 entries)");
  EXPECT_CHANNEL_ERROR(create(name, kDtypeF64), ErrorKind::InvalidInput,
                       "dtype mismatch: channel holds u8, requested f64");
  EXPECT_TRUE(segment_exists(name));
  EXPECT_EQ(header_word(name, metadata::offset::entry_length), kLength);
  EXPECT_EQ(header_word(name, metadata::offset::owner_pid), own_pid());
}

TEST(ChannelOpenOrCreate, ByteRequestsOpenChannelsOfAnyDtype) {
  ScopedName name("anydtype");
  auto creator = create(name, kDtypeF64);
  ASSERT_TRUE(creator && *creator);
  EXPECT_TRUE(create(name, kDtypeU8));
  EXPECT_TRUE(lifecycle::try_attach(name, kDtypeU8).value());
  EXPECT_CHANNEL_ERROR(lifecycle::try_attach(name, metadata::kDtypeI64), ErrorKind::InvalidInput,
                       "dtype mismatch: channel holds f64, requested i64");
}

TEST(ChannelOpenOrCreate, OwnershipGoesToAnOpenerOnlyWhenTheOwnerIsGone) {
  ScopedName name("owner");
  auto creator = create(name);
  ASSERT_TRUE(creator && *creator);

  // Another live process owns it: a second process attaches without owning.
  Child live([&] {
    auto attached = create(name);
    return attached && *attached && !(*attached)->shmem.is_owner() ? 0 : 1;
  });
  EXPECT_EQ(live.wait(), 0);

  // The recorded owner is dead: the next opener takes the word and the duty to remove.
  set_header_word(name, metadata::offset::owner_pid, quillmere::testing::dead_pid());
  auto adopted = create(name);
  ASSERT_TRUE(adopted && *adopted);
  EXPECT_TRUE((*adopted)->shmem.is_owner());
  EXPECT_EQ(header_word(name, metadata::offset::owner_pid), own_pid());

  // A free word (0) is taken just the same.
  set_header_word(name, metadata::offset::owner_pid, 0);
  auto freed = create(name);
  ASSERT_TRUE(freed && *freed);
  EXPECT_TRUE((*freed)->shmem.is_owner());
}

TEST(ChannelOpenOrCreate, AbandonedSegmentIsReinitialisedWhenLargeEnough) {
  ScopedName name("abandoned");
  make_raw_object(name, 4096);  // sized, never given a header; its "creator" is us, alive
  set_header_word(name, metadata::offset::writer_pid, 12345);  // garbage that must be wiped
  auto taken = lifecycle::open_or_create(name, kLength, kCount, kDtypeF64, false);
  ASSERT_TRUE(taken && *taken);
  EXPECT_TRUE((*taken)->shmem.is_owner());
  EXPECT_EQ((*taken)->shmem.len(), 4096u);
  EXPECT_EQ((*taken)->header.entry_length, kLength);
  EXPECT_EQ((*taken)->header.dtype, kDtypeF64);
  EXPECT_EQ(header_word(name, metadata::offset::writer_pid), 0u);
  EXPECT_EQ(header_word(name, metadata::offset::owner_pid), own_pid());
}

TEST(ChannelOpenOrCreate, AbandonedSegmentTooSmallIsRefusedAndKept) {
  ScopedName name("small");
  make_raw_object(name, 100);
  EXPECT_CHANNEL_ERROR(
      create(name), ErrorKind::InvalidInput,
      "abandoned segment '" + name.str() + "' is too small for the requested geometry");
  EXPECT_TRUE(segment_exists(name));  // opened, not created: the name stays
  EXPECT_EQ(header_word(name, metadata::offset::magic), 0u);
}

TEST(ChannelOpenOrCreate, UnsizedSegmentCannotBeOpened) {
  ScopedName name("unsized");
  make_raw_object(name, 0);
  EXPECT_CHANNEL_ERROR(create(name), ErrorKind::Os,
                       "shared memory segment '" + name.str() + "' exists but could not be opened");
  EXPECT_TRUE(segment_exists(name));
}

TEST(ChannelOpenOrCreate, SegmentBeingInitialisedIsNotWipedUnderItsCreator) {
  ScopedName name("initlock");
  make_raw_object(name, 4096);
  // A process holding the segment's lock stands for a creator between sizing the object and
  // publishing its header.
  Pipe locked, done;
  Child initialiser([&] {
    auto shmem = quillmere::testing::map_existing(name);
    locked.send(shmem.try_lock() ? 'x' : 'e');
    done.receive();
    return 0;
  });
  ASSERT_EQ(locked.receive(), 'x');
  EXPECT_CHANNEL_ERROR(
      create(name), ErrorKind::Os,
      "shared memory segment '" + name.str() + "' is being initialised by another process");
  EXPECT_EQ(header_word(name, metadata::offset::magic), 0u);
  done.send();
  EXPECT_EQ(initialiser.wait(), 0);
  // Its lock went away with it: the segment is abandoned now and may be taken over.
  auto taken = create(name);
  ASSERT_TRUE(taken && *taken);
  EXPECT_TRUE((*taken)->shmem.is_owner());
}

TEST(ChannelOpenOrCreate, ForeignAndNewerSegmentsAreRefusedOnBothPaths) {
  ScopedName name("foreign");
  make_raw_object(name, 4096);
  set_header_word(name, metadata::offset::magic, 0x1122334455667788ULL);
  const std::string foreign = "shared memory segment is not a Quillmere ring";
  EXPECT_CHANNEL_ERROR(create(name), ErrorKind::InvalidInput, foreign);
  EXPECT_CHANNEL_ERROR(lifecycle::try_attach(name, kDtypeU8), ErrorKind::InvalidInput, foreign);
  EXPECT_CHANNEL_ERROR(lifecycle::open_or_create(name, std::nullopt, std::nullopt, kDtypeU8, true),
                       ErrorKind::InvalidInput, foreign);

  set_header_word(name, metadata::offset::magic, 0x514c4d5200000002ULL);
  const std::string newer =
      "Quillmere layout version mismatch: segment is v2, this build speaks v1";
  EXPECT_CHANNEL_ERROR(create(name), ErrorKind::InvalidInput, newer);
  EXPECT_CHANNEL_ERROR(lifecycle::try_attach(name, kDtypeU8), ErrorKind::InvalidInput, newer);
  EXPECT_TRUE(segment_exists(name));
}

TEST(ChannelAttach, EveryStateShortOfAUsableHeaderIsAbsent) {
  ScopedName name("absent");
  const std::string missing = "shared memory segment does not exist and sizes were not supplied";
  auto attach_only = [&](bool allow_absent) {
    return lifecycle::open_or_create(name, std::nullopt, std::nullopt, kDtypeU8, allow_absent);
  };
  auto expect_absent = [&] {
    EXPECT_CHANNEL_ERROR(attach_only(false), ErrorKind::NotFound, missing);
    auto deferred = attach_only(true);
    ASSERT_TRUE(deferred);
    EXPECT_FALSE(*deferred);
    auto attached = lifecycle::try_attach(name, kDtypeU8);
    ASSERT_TRUE(attached);
    EXPECT_FALSE(*attached);
  };
  expect_absent();  // missing
  make_raw_object(name, 0);
  expect_absent();  // unsized
  quillmere::shm::unlink(name);
  make_raw_object(name, 4096);
  expect_absent();  // sized without header
  set_header_word(name, metadata::offset::magic, metadata::kMagic);
  expect_absent();  // initialised with geometry 0
  // ... which a request with sizes validates like any other header.
  EXPECT_CHANNEL_ERROR(create(name), ErrorKind::InvalidInput,
                       "header mismatch: expected (16 payload bytes, 4 entries), found (0 payload "
                       "bytes, 0 entries)");
}

TEST(ChannelAttach, AttachesWithoutOwningOrTouchingTheOwner) {
  ScopedName name("attach");
  auto creator = create(name);
  ASSERT_TRUE(creator && *creator);
  set_header_word(name, metadata::offset::owner_pid, quillmere::testing::dead_pid());
  auto attached = lifecycle::try_attach(name, kDtypeU8);
  ASSERT_TRUE(attached && *attached);
  EXPECT_FALSE((*attached)->shmem.is_owner());
  EXPECT_EQ((*attached)->header.entry_count, kCount);
  EXPECT_NE(header_word(name, metadata::offset::owner_pid), own_pid());
  EXPECT_TRUE(lifecycle::try_open(name));
  EXPECT_FALSE(lifecycle::try_open(name.str() + "-missing"));
}

TEST(ChannelBounds, GeometryWhoseSizeOverflowsIsRefusedBeforeCreating) {
  ScopedName name("overflow");
  auto result = lifecycle::open_or_create(name, std::uint64_t{1} << 62, 8, kDtypeU8, false);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
  EXPECT_FALSE(segment_exists(name));
}

TEST(ChannelBounds, GeometryLargerThanTheSharedMemoryFileSystemIsRefused) {
  ScopedName name("toolarge");
  // 2^40 entries of 1 MiB: fits in 64 bits, but no machine backs it.
  auto result = lifecycle::open_or_create(name, std::uint64_t{1} << 20, std::uint64_t{1} << 40,
                                          kDtypeU8, false);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, ErrorKind::Os);
  const std::string& message = result.error().message;
  // The ring's 1152930300699869256 bytes, 56 bytes of padding, the 1024-byte trailer.
  EXPECT_NE(message.find("'" + name.str() + "' needs 1152930300699870336 bytes"), std::string::npos)
      << message;
  EXPECT_NE(message.find("1099511627776 entries of 1048576 payload bytes"), std::string::npos)
      << message;
  EXPECT_NE(message.find("bytes free"), std::string::npos) << message;
  EXPECT_FALSE(segment_exists(name));
}

TEST(ChannelBounds, TruncatedSegmentIsRefusedNotTouched) {
  ScopedName name("truncated");
  {
    auto creator = create(name);
    ASSERT_TRUE(creator && *creator);
    (*creator)->shmem.set_owner(false);  // keep the name; its mapping goes away here
  }
  quillmere::testing::truncate_object(name, 100);  // header intact, ring cut off
  auto expect_refused = [](const auto& result, std::string_view mentions) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
    EXPECT_NE(result.error().message.find(mentions), std::string::npos) << result.error().message;
  };
  expect_refused(lifecycle::try_attach(name, kDtypeU8), "100");
  expect_refused(create(name), "100");
  quillmere::testing::truncate_object(name, 40);  // not even a whole header
  expect_refused(lifecycle::try_attach(name, kDtypeU8), "40");
  expect_refused(create(name), "40");
  EXPECT_TRUE(segment_exists(name));
}

// In a private mount namespace with a 1 MiB tmpfs over /dev/shm, so that filling it harms
// nobody. Needs the privilege to mount; skipped without it.
TEST(ChannelBounds, ExistingSegmentNeedsNoNewRoomInAFullFileSystem) {
  ScopedName name("smallfs");
  Child child([&] {
    if (::unshare(CLONE_NEWNS) != 0) return 77;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    if (::mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=1m") != 0) return 77;
    // 600 KiB of ring: fits once, and then leaves less than its own size free.
    auto first = lifecycle::open_or_create(name, 600 * 1024, 1, kDtypeU8, false);
    if (!first || !*first) return 10;
    auto second = lifecycle::open_or_create(name, 600 * 1024, 1, kDtypeU8, false);
    if (!second || !*second) return 11;  // attaches: the existing segment needs no room
    auto other = lifecycle::open_or_create(name.str() + "-b", 600 * 1024, 1, kDtypeU8, false);
    if (other || other.error().kind != quillmere_core::ErrorKind::Os) return 12;
    if (other.error().message.find("bytes free") == std::string::npos) return 13;
    return segment_exists(name.str() + "-b") ? 14 : 0;
  });
  int status = child.wait();
  if (status == 77) GTEST_SKIP() << "cannot mount a private tmpfs here";
  EXPECT_EQ(status, 0);
}

}  // namespace
