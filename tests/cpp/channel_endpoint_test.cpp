// The reader and writer endpoints between real processes: construction, deferred
// connection, roles held while connected and given back on teardown, removal of the name by
// the owning endpoint, and entries moving from one process to another.
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channel_test_support.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere/src/reader.hpp"
#include "quillmere/src/writer.hpp"

namespace {

namespace metadata = quillmere_core::metadata;
using quillmere::reader::RawReader;
using quillmere::testing::Child;
using quillmere::testing::header_word;
using quillmere::testing::payload_for;
using quillmere::testing::Pipe;
using quillmere::testing::ScopedName;
using quillmere::testing::segment_exists;
using quillmere::writer::RawWriter;
using quillmere_core::ErrorKind;
using quillmere_core::metadata::kDtypeF64;
using quillmere_core::metadata::kDtypeU8;

constexpr std::uint64_t kLength = 16;
constexpr std::optional<std::uint64_t> kNone = std::nullopt;

std::optional<RawWriter> writer(std::string_view name, std::optional<std::uint64_t> count = 4,
                                bool delayed = false) {
  auto made =
      RawWriter::make(name, count ? std::optional(kLength) : kNone, count, kDtypeU8, delayed);
  if (!made) return std::nullopt;
  return std::move(*made);
}

std::optional<RawReader> reader(std::string_view name, std::optional<std::uint64_t> count = 4,
                                bool delayed = false, bool zero_copy = false) {
  auto make = zero_copy ? &RawReader::make_zero_copy : &RawReader::make;
  auto made = make(name, count ? std::optional(kLength) : kNone, count, kDtypeU8, delayed);
  if (!made) return std::nullopt;
  return std::move(*made);
}

bool write(RawWriter& w, std::uint64_t seq) {
  auto connected = w.ensure_connected();
  if (!connected || !*connected) return false;
  return w.ring()->write(payload_for(seq, kLength)).has_value();
}

// The next entry's entry_seq, after checking that its payload is whole and names it.
std::optional<std::uint64_t> read(RawReader& r) {
  auto connected = r.ensure_connected();
  if (!connected || !*connected) return std::nullopt;
  std::vector<std::byte> out(kLength);
  auto got = r.ring()->read_into(out, std::nullopt);
  if (!got || !*got) return std::nullopt;
  EXPECT_EQ(out, payload_for(**got, kLength)) << "torn or foreign payload for " << **got;
  return **got;
}

std::string held_by(std::string_view role, std::string_view name, std::uint64_t pid) {
  return "the " + std::string(role) + " role on channel '" + std::string(name) +
         "' is held by process " + std::to_string(pid);
}

const std::uint64_t kMe = static_cast<std::uint64_t>(::getpid());

TEST(ChannelEndpoints, EntriesFlowFromWriterToReader) {
  ScopedName name("flow");
  auto r = reader(name, kNone, true);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->connected());
  EXPECT_EQ(r->entry_length(), 0u);
  EXPECT_EQ(r->last_entry_seq(), 0u);
  EXPECT_EQ(r->writer_entry_seq(), 0u);
  EXPECT_EQ(r->ring(), nullptr);

  auto w = writer(name);
  ASSERT_TRUE(w && w->connected());
  EXPECT_EQ(w->entry_length(), kLength);
  for (std::uint64_t seq = 1; seq <= 3; ++seq) ASSERT_TRUE(write(*w, seq));
  EXPECT_EQ(w->last_entry_seq(), 3u);

  // The first use after the segment appeared connects, with watermark 0: oldest entry first.
  EXPECT_EQ(read(*r), 1u);
  EXPECT_TRUE(r->connected());
  EXPECT_EQ(read(*r), 2u);
  EXPECT_EQ(r->last_entry_seq(), 2u);
  EXPECT_EQ(r->writer_entry_seq(), 3u);
  EXPECT_EQ(r->entry_length(), kLength);
}

TEST(ChannelEndpoints, EntriesCrossProcessesWhileBothRun) {
  ScopedName name("cross");
  auto r = reader(name, 8);  // the reader creates the channel; the writer only attaches
  ASSERT_TRUE(r);
  constexpr std::uint64_t kEntries = 20000;
  Child producer([&]() -> int {
    auto w = writer(name, kNone);
    if (!w) return 10;
    for (std::uint64_t seq = 1; seq <= kEntries; ++seq) {
      if (!write(*w, seq)) return 11;
    }
    quillmere::testing::vanish();  // no teardown: the role word keeps this process's id
  });
  std::uint64_t last = 0;
  for (bool ended = false;;) {
    auto got = read(*r);
    if (got) {
      ASSERT_GT(*got, last);  // a lapped reader may skip, never go back or repeat
      last = *got;
      continue;
    }
    if (ended) break;
    ended = producer.exited();  // one more pass after the end picks up the tail
  }
  EXPECT_EQ(producer.wait(), 0);
  EXPECT_EQ(last, kEntries);

  // The producer's role word names a dead process: the next writer takes it over and goes
  // on numbering after the last entry in the ring.
  auto next = writer(name, kNone);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->last_entry_seq(), kEntries);
  ASSERT_TRUE(write(*next, kEntries + 1));
  EXPECT_EQ(read(*r), kEntries + 1);
}

TEST(ChannelEndpoints, WriterRoleIsExclusiveAndGivenBackOnTeardown) {
  ScopedName name("writerrole");
  std::optional<RawWriter> first = writer(name);
  ASSERT_TRUE(first);
  EXPECT_EQ(header_word(name, metadata::offset::writer_pid), kMe);

  auto same = RawWriter::make(name, kNone, kNone, kDtypeU8, false);
  ASSERT_FALSE(same);
  EXPECT_EQ(same.error().kind, ErrorKind::RoleConflict);
  EXPECT_EQ(same.error().message, held_by("writer", name, kMe));

  Child other([&] {
    auto made = RawWriter::make(name, kLength, 4, kDtypeU8, false);
    return !made && made.error().message == held_by("writer", name, kMe) ? 0 : 1;
  });
  EXPECT_EQ(other.wait(), 0);

  auto r = reader(name);  // readers hold no role
  ASSERT_TRUE(r);
  first.reset();  // the creator: gives the role back and removes the name
  EXPECT_FALSE(segment_exists(name));
  auto fresh = writer(name);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->last_entry_seq(), 0u);
}

TEST(ChannelEndpoints, ZeroCopyReaderRoleIsExclusive) {
  ScopedName name("zerocopy");
  auto w = writer(name);
  ASSERT_TRUE(w && write(*w, 1));
  std::optional<RawReader> first = reader(name, kNone, false, true);
  ASSERT_TRUE(first && first->zero_copy());
  std::vector<RawReader> plain;
  for (int i = 0; i < 3; ++i) plain.push_back(std::move(*reader(name, kNone)));

  auto second = RawReader::make_zero_copy(name, kNone, kNone, kDtypeU8, false);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind, ErrorKind::RoleConflict);
  EXPECT_EQ(second.error().message, held_by("zero-copy reader", name, kMe));

  auto slot = first->try_acquire(std::nullopt);
  ASSERT_TRUE(slot && *slot);
  EXPECT_EQ((*slot)->entry_seq, 1u);
  first->ring()->release(**slot);

  first.reset();
  EXPECT_EQ(header_word(name, metadata::offset::reader_pid), 0u);
  EXPECT_TRUE(RawReader::make_zero_copy(name, kNone, kNone, kDtypeU8, false));
}

TEST(ChannelEndpoints, TryAcquireNeedsAZeroCopyReaderEvenBeforeTheSegmentExists) {
  ScopedName name("plainacquire");
  auto r = reader(name, kNone, true);
  ASSERT_TRUE(r);
  auto refused = r->try_acquire(std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(refused.error().message, "zero-copy reads require a reader built with new_zero_copy");

  auto zc = reader(name, kNone, true, true);
  ASSERT_TRUE(zc);
  auto nothing = zc->try_acquire(std::nullopt);
  ASSERT_TRUE(nothing);
  EXPECT_FALSE(*nothing);
  EXPECT_FALSE(zc->connected());
}

TEST(ChannelEndpoints, DeferredEndpointsConnectOnceTheSegmentIsUsable) {
  ScopedName name("deferred");
  auto eager = RawReader::make(name, kNone, kNone, kDtypeU8, false);
  ASSERT_FALSE(eager);
  EXPECT_EQ(eager.error().kind, ErrorKind::NotFound);
  EXPECT_EQ(eager.error().message,
            "shared memory segment does not exist and sizes were not supplied");

  auto r = reader(name, kNone, true);
  auto f = RawReader::make(name, kNone, kNone, kDtypeF64, true);
  ASSERT_TRUE(r && f);
  EXPECT_EQ(r->ensure_connected().value(), false);
  EXPECT_EQ(r->ensure_connected().value(), false);  // every use tries again

  quillmere::testing::make_raw_object(name, 4096);  // exists, but has no header yet
  EXPECT_EQ(r->ensure_connected().value(), false);
  quillmere::shm::unlink(name);

  auto w = writer(name);
  ASSERT_TRUE(w && write(*w, 1));
  EXPECT_EQ(r->ensure_connected().value(), true);
  EXPECT_EQ(read(*r), 1u);
  // A float64 endpoint on a byte channel: the error is reported and it stays unconnected.
  auto mismatch = f->ensure_connected();
  ASSERT_FALSE(mismatch);
  EXPECT_EQ(mismatch.error().message, "dtype mismatch: channel holds u8, requested f64");
  EXPECT_FALSE(f->connected());
}

TEST(ChannelEndpoints, FirstOfTwoDeferredWritersToConnectWins) {
  ScopedName name("twowriters");
  Pipe built, created, connected, done;
  Child early([&]() -> int {
    auto w = writer(name, kNone, true);
    built.send(w && !w->connected() ? 'x' : 'e');
    if (created.receive() != 'x') return 10;
    connected.send(write(*w, 1) ? 'x' : 'e');  // connects on its first write
    done.receive();
    quillmere::testing::vanish();  // gone without giving the role back
  });
  auto late = writer(name, kNone, true);
  ASSERT_TRUE(late);
  EXPECT_FALSE(late->connected());
  ASSERT_EQ(built.receive(), 'x');
  auto creator = reader(name);  // the segment appears
  ASSERT_TRUE(creator);
  created.send();
  ASSERT_EQ(connected.receive(), 'x');
  const pid_t early_pid = early.pid();

  auto conflict = late->ensure_connected();
  ASSERT_FALSE(conflict);
  EXPECT_EQ(conflict.error().message,
            held_by("writer", name, static_cast<std::uint64_t>(early_pid)));
  EXPECT_FALSE(late->connected());
  done.send();
  EXPECT_EQ(early.wait(), 0);
  EXPECT_EQ(late->ensure_connected().value(), true);
  EXPECT_EQ(late->last_entry_seq(), 1u);
}

TEST(ChannelEndpoints, CreatorTeardownRemovesTheNameWhileOthersKeepWorking) {
  ScopedName name("teardown");
  std::optional<RawWriter> creator = writer(name);
  ASSERT_TRUE(creator);
  auto plain = reader(name, kNone);
  auto zc = reader(name, kNone, false, true);
  ASSERT_TRUE(plain && zc);
  ASSERT_TRUE(write(*creator, 1) && write(*creator, 2));
  creator.reset();
  EXPECT_FALSE(segment_exists(name));
  EXPECT_EQ(read(*plain), 1u);
  auto held = zc->try_acquire(std::nullopt);
  ASSERT_TRUE(held && *held);
  EXPECT_EQ((*held)->entry_seq, 1u);

  EXPECT_FALSE(RawReader::make(name, kNone, kNone, kDtypeU8, false));
  auto late = reader(name, kNone, true);
  ASSERT_TRUE(late);
  EXPECT_FALSE(late->connected());

  auto successor = writer(name);  // a new, unrelated segment under the same name
  ASSERT_TRUE(successor && write(*successor, 1));
  EXPECT_EQ(successor->last_entry_seq(), 1u);
  EXPECT_EQ(plain->writer_entry_seq(), 2u);  // still the old mapping
  EXPECT_EQ(read(*plain), 2u);
  EXPECT_EQ(read(*late), 1u);
  EXPECT_EQ(late->writer_entry_seq(), 1u);
}

TEST(ChannelEndpoints, TakingOverADeadOwnerAndLosingTheRoleRemovesTheName) {
  ScopedName name("takeover");
  Child creator([&]() -> int {
    auto r = reader(name);
    quillmere::testing::vanish(r ? 0 : 1);  // no teardown: the name stays, its owner is dead
  });
  ASSERT_EQ(creator.wait(), 0);
  ASSERT_TRUE(segment_exists(name));

  Pipe holding, go, wrote;
  Child holder([&] {
    auto w = writer(name, kNone);  // attach only: holds the role, takes no ownership
    holding.send(w ? 'x' : 'e');
    go.receive();
    wrote.send(w && write(*w, 1) ? 'x' : 'e');
    return 0;
  });
  ASSERT_EQ(holding.receive(), 'x');

  auto lost = RawWriter::make(name, kLength, 4, kDtypeU8, false);
  ASSERT_FALSE(lost);
  EXPECT_EQ(lost.error().message,
            held_by("writer", name, static_cast<std::uint64_t>(holder.pid())));
  EXPECT_FALSE(segment_exists(name));  // it had become the owner, and released as one
  go.send();
  EXPECT_EQ(wrote.receive(), 'x');  // the live holder keeps using the segment
  EXPECT_EQ(holder.wait(), 0);
}

TEST(ChannelEndpoints, ForkChildDestroyingAnInheritedEndpointLeavesTheParentsRole) {
  ScopedName name("forkrole");
  std::optional<RawWriter> owner = writer(name);
  std::optional<RawReader> zc = reader(name, kNone, false, true);  // attached: no owner
  ASSERT_TRUE(owner && zc);

  Child drops_reader([&] {
    zc.reset();
    return 0;
  });
  EXPECT_EQ(drops_reader.wait(), 0);
  EXPECT_EQ(header_word(name, metadata::offset::reader_pid), kMe);
  EXPECT_TRUE(segment_exists(name));

  Child drops_writer([&] {
    owner.reset();
    return 0;
  });
  EXPECT_EQ(drops_writer.wait(), 0);
  EXPECT_FALSE(segment_exists(name));  // that handle was an owner
  ASSERT_TRUE(write(*owner, 1));       // the parent's role and mapping are intact
  EXPECT_EQ(zc->try_acquire(std::nullopt).value().value().entry_seq, 1u);
}

TEST(ChannelEndpoints, MovingAnEndpointMovesItsRole) {
  ScopedName name("move");
  auto w = writer(name);
  ASSERT_TRUE(w);
  std::optional<RawWriter> moved(std::move(*w));
  EXPECT_FALSE(w->connected());
  w.reset();  // the moved-from endpoint gives nothing back
  EXPECT_EQ(header_word(name, metadata::offset::writer_pid), kMe);
  EXPECT_TRUE(segment_exists(name));
  ASSERT_TRUE(write(*moved, 1));

  ScopedName second("move-b");
  auto other = writer(second);
  ASSERT_TRUE(other);
  *moved = std::move(*other);  // releases the first channel's role and name
  EXPECT_FALSE(segment_exists(name));
  EXPECT_EQ(moved->name(), second.str());
  moved.reset();
  EXPECT_FALSE(segment_exists(second));
}

}  // namespace
