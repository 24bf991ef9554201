// The doorbell between real processes and threads: writer endpoints ring it, waits wake on it,
// crashed waiters heal, and neither a trailer-less segment nor hostile trailer bytes hang a
// wait.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "channel_test_support.hpp"
#include "quillmere-core/src/doorbell.hpp"
#include "quillmere-core/src/trailer.hpp"
#include "quillmere/src/writer.hpp"
#include "shm/src/futex.hpp"
#include "tools/src/channel_view.hpp"
#include "tools/src/doorbell_wait.hpp"
#include "tools/src/wait_shard.hpp"

namespace {

namespace metadata = quillmere_core::metadata;
namespace trailer = quillmere_core::trailer;
namespace doorbell = quillmere_core::doorbell;
using quillmere::testing::Child;
using quillmere::testing::Pipe;
using quillmere::testing::ScopedName;
using quillmere_tools::Bell;
using quillmere_tools::Clock;
using quillmere_tools::WaitResult;
using namespace std::chrono_literals;

constexpr std::uint64_t kLength = 64, kCount = 16;

quillmere::writer::RawWriter make_writer(std::string_view name) {
  auto writer =
      quillmere::writer::RawWriter::make(name, kLength, kCount, metadata::kDtypeU8, false);
  if (!writer) std::abort();
  return std::move(*writer);
}

quillmere_tools::ChannelView open_view(std::string_view name) {
  auto view = quillmere_tools::ChannelView::open(name);
  if (!view || !*view) std::abort();
  return std::move(**view);
}

void publish(quillmere::writer::RawWriter& writer, std::uint64_t times = 1) {
  const std::vector<std::byte> payload(kLength);
  for (std::uint64_t i = 0; i < times; ++i) ASSERT_TRUE(writer.write(payload));
}

WaitResult wait_for(const Bell& bell, std::uint64_t after, Clock::duration timeout) {
  quillmere_tools::Pace pace;
  return quillmere_tools::wait_for(bell, after, Clock::now() + timeout, 0ns, pace,
                                   [] { return true; });
}

TEST(DoorbellRinging, AWriteWakesASleeperInAnotherProcess) {
  ScopedName name("bell-ring");
  auto writer = make_writer(name);
  auto view = open_view(name);
  ASSERT_EQ(view.trailer().state, trailer::State::Valid);
  Pipe registered;
  Child sleeper([&] {
    // A direct futex sleep, far longer than the test may take: only a wake call ends it early.
    auto registration = doorbell::enter(view.trailer().base, static_cast<std::uint64_t>(getpid()));
    registered.send();
    auto woke = quillmere::shm::futex_wait(trailer::doorbell_word(view.base()), 0, 60s);
    doorbell::leave(view.trailer().base, registration);
    return woke == quillmere::shm::FutexWait::TimedOut ? 1 : 0;
  });
  ASSERT_EQ(registered.receive(), 'x');
  // Until the sleeper is in the kernel, a wake call finds nobody; the word then changes under
  // it and it returns at once. Either way it must not run into its timeout.
  while (!sleeper.exited()) {
    publish(writer);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(sleeper.wait(), 0);
}

TEST(DoorbellRinging, CommitRingsToo) {
  ScopedName name("bell-commit");
  auto writer = make_writer(name);
  auto view = open_view(name);
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    EXPECT_EQ(wait_for(view.bell(), 0, 60s), WaitResult::Ready);
    done = true;
  });
  while (!done) {
    auto slot = writer.ring()->try_acquire();
    ASSERT_TRUE(slot);
    ASSERT_TRUE(writer.commit(*slot));
    std::this_thread::sleep_for(1ms);
  }
  waiter.join();
}

TEST(DoorbellWaits, ManyHandOffsBetweenThreadsAllArrive) {
  // Strict alternation: the writer publishes entry k + 1 only after the waiter saw entry k,
  // so every wait has to sleep and be woken (or see the entry on its re-check).
  ScopedName name("bell-alternate");
  auto writer = make_writer(name);
  auto view = open_view(name);
  constexpr std::uint64_t kRounds = 20000;
  std::atomic<std::uint64_t> seen{0};
  std::thread waiter([&] {
    for (std::uint64_t k = 0; k < kRounds; ++k) {
      if (wait_for(view.bell(), k, 60s) != WaitResult::Ready) return;
      seen.store(k + 1, std::memory_order_release);  // release: pairs with the acquire below
    }
  });
  for (std::uint64_t k = 0; k < kRounds; ++k) {
    publish(writer);
    // acquire: pairs with the waiter's release store
    while (seen.load(std::memory_order_acquire) <= k) std::this_thread::yield();
  }
  waiter.join();
  EXPECT_EQ(seen.load(), kRounds);
  EXPECT_EQ(view.trailer().base == nullptr ? 1u : doorbell::waiters(view.trailer().base).load(),
            0u);
}

TEST(DoorbellWaits, TimeoutsEndTheWaitWithNothingPublished) {
  ScopedName name("bell-timeout");
  auto writer = make_writer(name);
  auto view = open_view(name);
  EXPECT_EQ(wait_for(view.bell(), 0, 20ms), WaitResult::TimedOut);
  EXPECT_EQ(wait_for(view.bell(), 0, 0ms), WaitResult::TimedOut);
  publish(writer);
  EXPECT_EQ(wait_for(view.bell(), 0, 0ms), WaitResult::Ready);
  EXPECT_EQ(doorbell::waiters(view.trailer().base).load(), 0u);
}

TEST(DoorbellWaits, KeepGoingCanStopAWait) {
  ScopedName name("bell-stop");
  auto writer = make_writer(name);
  auto view = open_view(name);
  quillmere_tools::Pace pace;
  int asked = 0;
  auto result = quillmere_tools::wait_for(view.bell(), 0, Clock::time_point::max(), 0ns, pace,
                                          [&] { return ++asked < 2; });
  EXPECT_EQ(result, WaitResult::Stopped);
  EXPECT_EQ(asked, 2);
}

TEST(DoorbellWaits, NoRegistrationOutlivesAWait) {
  ScopedName name("bell-enrol");
  auto writer = make_writer(name);
  auto view = open_view(name);
  auto waiters = [&] { return doorbell::waiters(view.trailer().base).load(); };
  EXPECT_EQ(wait_for(view.bell(), 0, 5ms), WaitResult::TimedOut);
  EXPECT_EQ(waiters(), 0u);
  quillmere_tools::Enrolment enrolment;
  enrolment.enter(view.trailer().base);
  enrolment.enter(view.trailer().base);
  EXPECT_EQ(waiters(), 1u);  // entered once, however often asked
  // A fork child inherits the enrolment but not the registration: leaving is the parent's.
  Child child([&] {
    enrolment.leave();
    return waiters() == 1u ? 0 : 1;
  });
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(waiters(), 1u);
  enrolment.leave();
  EXPECT_EQ(waiters(), 0u);
}

TEST(WaitShards, ServeWaitsAddedAndCancelledFromAnotherThread) {
  if (!quillmere_tools::WaitShard::supported()) GTEST_SKIP() << "no futex_waitv";
  ScopedName name("bell-shard"), quiet_name("bell-shard-quiet");
  auto writer = make_writer(name);
  auto quiet_writer = make_writer(quiet_name);
  auto view = open_view(name);
  auto quiet = open_view(quiet_name);
  quillmere_tools::WaitShard shard;
  std::vector<quillmere_tools::WaitShard::Ended> ended;
  std::thread server([&] {
    for (auto got = shard.collect(); !got.empty(); got = shard.collect())
      ended.insert(ended.end(), got.begin(), got.end());
  });
  const auto forever = Clock::time_point::max();
  const std::uint64_t cancelled = shard.add(quillmere_tools::bell_of(std::move(quiet)), 0, forever);
  const std::uint64_t timed =
      shard.add(quillmere_tools::bell_of(open_view(quiet_name)), 0, Clock::now() + 20ms);
  const std::uint64_t ready = shard.add(quillmere_tools::bell_of(std::move(view)), 0, forever);
  auto quiet_waiters = [&] {
    return doorbell::waiters(open_view(quiet_name).trailer().base).load();
  };
  EXPECT_EQ(quiet_waiters(), 2u);
  EXPECT_TRUE(shard.cancel(cancelled));
  EXPECT_FALSE(shard.cancel(cancelled));
  std::this_thread::sleep_for(50ms);  // the timed wait ends meanwhile
  EXPECT_EQ(quiet_waiters(), 0u);     // cancelled and timed out: neither registered
  publish(writer);
  while (shard.size() != 0) std::this_thread::sleep_for(1ms);
  shard.close();
  server.join();
  ASSERT_EQ(ended.size(), 2u);
  EXPECT_EQ(ended[0].id, timed);
  EXPECT_FALSE(ended[0].ready);
  EXPECT_EQ(ended[1].id, ready);
  EXPECT_TRUE(ended[1].ready);
}

TEST(DoorbellHealing, AWaiterThatDiedRegisteredIsReapedByTheWriter) {
  ScopedName name("bell-crash");
  auto writer = make_writer(name);
  auto view = open_view(name);
  Child crashed([&]() -> int {
    doorbell::enter(view.trailer().base, static_cast<std::uint64_t>(getpid()));
    quillmere::testing::vanish();
  });
  crashed.wait();
  ASSERT_EQ(doorbell::waiters(view.trailer().base).load(), 1u);
  publish(writer, 1024);  // every publish rings; a run of wake calls that woke nobody reaps
  EXPECT_EQ(doorbell::waiters(view.trailer().base).load(), 0u);
}

TEST(DoorbellDegraded, ASegmentWithoutATrailerIsPolled) {
  ScopedName name("bell-exact");
  // Built by hand at exactly the ring's size, as another implementation would.
  quillmere::testing::make_raw_object(name, *metadata::segment_size(kLength, kCount));
  {
    auto mapped = quillmere::testing::map_existing(name);
    metadata::init_header(mapped.base(), kLength, kCount, metadata::kDtypeU8, 1);
  }
  auto writer = make_writer(name);  // attaches; nothing to ring
  auto view = open_view(name);
  ASSERT_EQ(view.trailer().state, trailer::State::Absent);
  EXPECT_EQ(wait_for(view.bell(), 0, 5ms), WaitResult::TimedOut);
  std::thread late([&] {
    std::this_thread::sleep_for(5ms);
    publish(writer);
  });
  EXPECT_EQ(wait_for(view.bell(), 0, 60s), WaitResult::Ready);
  late.join();
}

TEST(DoorbellDegraded, HostileTrailerWordsNeitherHangAWaitNorStopAWriter) {
  ScopedName name("bell-hostile");
  auto writer = make_writer(name);
  auto view = open_view(name);
  std::byte* bell = view.trailer().base;
  // A huge count, and pid slots naming nobody, every process (-1), a group, ourselves.
  std::memset(bell + trailer::offset::waiters, 0xff, 8);
  const std::uint64_t pids[] = {~std::uint64_t{0}, 0xffffffffULL, 0x80000000ULL,
                                static_cast<std::uint64_t>(getpid())};
  std::memcpy(bell + trailer::offset::waiter_pids, pids, sizeof pids);
  std::memset(bell + trailer::offset::record_length, 0xff, 8);
  publish(writer, 2048);  // rings and reaps; must neither fail nor signal anybody
  EXPECT_EQ(writer.last_entry_seq(), 2048u);
  EXPECT_EQ(wait_for(view.bell(), 2048, 20ms), WaitResult::TimedOut);
  EXPECT_EQ(wait_for(view.bell(), 2047, 20ms), WaitResult::Ready);
}

}  // namespace
