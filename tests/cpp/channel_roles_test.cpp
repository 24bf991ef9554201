// The pid words between real processes: claims against live, dead and scribbled holders,
// giving a role back, and many processes racing for one free word.
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channel_test_support.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere/src/lifecycle.hpp"

namespace {

namespace lifecycle = quillmere::lifecycle;
namespace metadata = quillmere_core::metadata;
using quillmere::testing::Child;
using quillmere::testing::Pipe;
using quillmere::testing::ScopedName;
using quillmere_core::ErrorKind;

// A mapped, initialised channel whose pid words the tests claim directly.
class Roles : public ::testing::Test {
 protected:
  void SetUp() override {
    auto created = lifecycle::open_or_create(name_, 16, 4, metadata::kDtypeU8, false);
    ASSERT_TRUE(created && *created);
    segment_.emplace(std::move(**created));
  }
  std::uint64_t* word(std::size_t offset) {
    return metadata::header_word(segment_->shmem.base(), offset);
  }
  std::uint64_t* writer() { return word(metadata::offset::writer_pid); }
  std::uint64_t load(std::uint64_t* w) {
    // seq_cst: observes words that other processes CAS.
    return std::atomic_ref<std::uint64_t>(*w).load(std::memory_order_seq_cst);
  }
  void store(std::uint64_t* w, std::uint64_t value) {
    // seq_cst: stands in for what another process left in the word.
    std::atomic_ref<std::uint64_t>(*w).store(value, std::memory_order_seq_cst);
  }
  std::string held_by(std::string_view role, std::uint64_t pid) {
    return "the " + std::string(role) + " role on channel '" + name_.str() +
           "' is held by process " + std::to_string(pid);
  }

  ScopedName name_{"roles"};
  std::optional<lifecycle::AttachedSegment> segment_;
  const std::uint64_t me_ = static_cast<std::uint64_t>(::getpid());
};

TEST_F(Roles, TheSameProcessClaimingTwiceConflictsWithItself) {
  ASSERT_TRUE(lifecycle::claim_role(writer(), lifecycle::kWriterRole, name_.str()));
  EXPECT_EQ(load(writer()), me_);
  auto again = lifecycle::claim_role(writer(), lifecycle::kWriterRole, name_.str());
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind, ErrorKind::RoleConflict);
  EXPECT_EQ(again.error().message, held_by("writer", me_));
}

TEST_F(Roles, ALiveHolderConflictsAndADeadOneIsTakenOver) {
  Pipe claimed, done;
  Child holder([&] {
    auto ok = lifecycle::claim_role(word(metadata::offset::reader_pid),
                                    lifecycle::kZeroCopyReaderRole, name_.str());
    claimed.send(ok ? 'x' : 'e');
    done.receive();
    return 0;  // exits without giving the role back, as a crashed process would
  });
  ASSERT_EQ(claimed.receive(), 'x');
  auto conflict = lifecycle::claim_role(word(metadata::offset::reader_pid),
                                        lifecycle::kZeroCopyReaderRole, name_.str());
  ASSERT_FALSE(conflict);
  EXPECT_EQ(conflict.error().message,
            held_by("zero-copy reader", static_cast<std::uint64_t>(holder.pid())));
  done.send();
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_TRUE(lifecycle::claim_role(word(metadata::offset::reader_pid),
                                    lifecycle::kZeroCopyReaderRole, name_.str()));
  EXPECT_EQ(load(word(metadata::offset::reader_pid)), me_);
}

TEST_F(Roles, WordsThatNameNoProcessCountAsFree) {
  // Low 32 bits 0; a value no process id can take (it would address a process group or
  // every process if handed to kill); a reaped child's id.
  for (std::uint64_t stale :
       {std::uint64_t{1} << 32, std::uint64_t{0xffffffff}, std::uint64_t{0x80000000},
        static_cast<std::uint64_t>(quillmere::testing::dead_pid())}) {
    store(writer(), stale);
    EXPECT_TRUE(lifecycle::claim_role(writer(), lifecycle::kWriterRole, name_.str())) << stale;
    EXPECT_EQ(load(writer()), me_);
    store(word(metadata::offset::owner_pid), stale);
    EXPECT_TRUE(lifecycle::claim_segment(word(metadata::offset::owner_pid))) << stale;
  }
}

TEST_F(Roles, ReleaseGivesBackOnlyThisProcesssClaim) {
  ASSERT_TRUE(lifecycle::claim_role(writer(), lifecycle::kWriterRole, name_.str()));
  lifecycle::release_role(writer());
  EXPECT_EQ(load(writer()), 0u);
  store(writer(), me_ + 1);  // taken over by somebody else meanwhile
  lifecycle::release_role(writer());
  EXPECT_EQ(load(writer()), me_ + 1);
}

TEST_F(Roles, ClaimSegmentSparesLiveOwnersIncludingThisProcess) {
  std::uint64_t* owner = word(metadata::offset::owner_pid);
  EXPECT_EQ(load(owner), me_);                    // the creator
  EXPECT_FALSE(lifecycle::claim_segment(owner));  // already ours: the new handle must not own
  store(owner, 0);
  EXPECT_TRUE(lifecycle::claim_segment(owner));
  Pipe asked, done;
  Child other([&] {
    asked.send(lifecycle::claim_segment(owner) ? 't' : 'f');  // we are alive: refused
    done.receive();
    return 0;
  });
  EXPECT_EQ(asked.receive(), 'f');
  done.send();
  EXPECT_EQ(other.wait(), 0);
  EXPECT_EQ(load(owner), me_);
}

// Many processes claim one free (or stale) word at the same moment: exactly one wins, every
// other one is told who did. Repeated to give the interleavings a chance to vary.
TEST_F(Roles, ExactlyOneOfManySimultaneousClaimantsWins) {
  constexpr int kClaimants = 6, kRounds = 30;
  for (int round = 0; round < kRounds; ++round) {
    store(writer(), round % 2 == 0 ? 0 : quillmere::testing::dead_pid());
    Pipe go, results, done;
    std::vector<std::unique_ptr<Child>> claimants;
    for (int i = 0; i < kClaimants; ++i) {
      claimants.push_back(std::make_unique<Child>([&] {
        go.receive();  // all start when the parent closes its end
        auto claimed = lifecycle::claim_role(writer(), lifecycle::kWriterRole, name_.str());
        bool named_holder =
            !claimed && claimed.error().message == held_by("writer", load(writer()));
        results.send(claimed ? 'w' : named_holder ? 'c' : 'e');
        done.receive();  // the winner stays alive until everybody has decided
        return 0;
      }));
    }
    go.close_write();
    int won = 0, conflicts = 0;
    for (int i = 0; i < kClaimants; ++i) {
      char result = results.receive();
      won += result == 'w';
      conflicts += result == 'c';
    }
    done.close_write();
    for (auto& claimant : claimants) EXPECT_EQ(claimant->wait(), 0);
    EXPECT_EQ(won, 1) << "round " << round;
    EXPECT_EQ(conflicts, kClaimants - 1) << "round " << round;
  }
}

}  // namespace
