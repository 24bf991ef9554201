// Several processes constructing the same channel at the same moment, over and over: each
// round must end with the name still naming one valid header, at most one writer, and every
// loser told why in one of the ways a race may legitimately end.
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channel_test_support.hpp"
#include "quillmere-core/src/format.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere/src/lifecycle.hpp"
#include "quillmere/src/reader.hpp"
#include "quillmere/src/writer.hpp"

namespace {

namespace metadata = quillmere_core::metadata;
using quillmere::testing::Child;
using quillmere::testing::Pipe;
using quillmere::testing::ScopedName;
using quillmere_core::ChannelError;
using quillmere_core::ErrorKind;

constexpr std::uint64_t kLength = 16, kCount = 4;

// How a racing construction may end without a fault: the role is taken, or the segment is
// still between creation and a published header.
bool legitimate_loss(const ChannelError& error, std::string_view name) {
  if (error.kind == ErrorKind::RoleConflict) return true;
  using quillmere_core::format;
  return error.kind == ErrorKind::Os &&
         (error.message ==
              format("shared memory segment '{}' exists but could not be opened", name) ||
          error.message ==
              format("shared memory segment '{}' is being initialised by another process", name));
}

// Runs one round: `racers` children construct at once (even ones writers, odd ones readers
// when `mixed`); returns how many became writers, after checking the losers and the header.
int race_once(std::string_view name, int racers, bool mixed) {
  Pipe go, results, done;
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < racers; ++i) {
    const bool as_writer = !mixed || i % 2 == 0;
    children.push_back(std::make_unique<Child>([&, as_writer] {
      go.receive();
      char outcome = 'e';
      std::optional<quillmere::writer::RawWriter> w;
      std::optional<quillmere::reader::RawReader> r;
      if (as_writer) {
        auto made = quillmere::writer::RawWriter::make(name, kLength, kCount, 0, false);
        if (made) w.emplace(std::move(*made));
        outcome = made ? 'w' : legitimate_loss(made.error(), name) ? 'l' : 'e';
      } else {
        auto made = quillmere::reader::RawReader::make(name, kLength, kCount, 0, false);
        if (made) r.emplace(std::move(*made));
        outcome = made ? 'r' : legitimate_loss(made.error(), name) ? 'l' : 'e';
      }
      results.send(outcome);
      done.receive();  // everybody keeps what it got until the parent has looked
      return 0;
    }));
  }
  go.close_write();
  int writers = 0, faults = 0;
  std::string seen;
  for (int i = 0; i < racers; ++i) {
    char outcome = results.receive();
    seen += outcome;
    writers += outcome == 'w';
    faults += outcome == 'e' || outcome == 0;
  }
  // w writer, r reader, l a legitimate loss, e a fault (or a child that died)
  EXPECT_EQ(faults, 0) << "outcomes " << seen;
  auto header = quillmere::lifecycle::try_attach(name, 0);
  // Also when the creator lost the writer role to a racing writer: the name must stay, or
  // that writer would be writing where no later endpoint can find it.
  EXPECT_TRUE(header && *header) << "no usable channel after the race: "
                                 << (header ? "absent" : header.error().message) << ", outcomes "
                                 << seen;
  if (header && *header) {
    EXPECT_EQ((*header)->header.entry_length, kLength);
    EXPECT_EQ((*header)->header.entry_count, kCount);
  }
  done.close_write();
  for (auto& child : children) EXPECT_EQ(child->wait(), 0);
  return writers;
}

TEST(ChannelRace, SimultaneousWritersEndWithOneHeaderAndOneWriter) {
  for (int round = 0; round < 40; ++round) {
    ScopedName name("race");
    // The creator always reaches its role claim (nobody else initialises while it holds the
    // lock), so somebody claims the role, and the first claim shuts out every other one.
    EXPECT_EQ(race_once(name, 4, false), 1) << "round " << round;
  }
}

TEST(ChannelRace, SimultaneousReadersAndWritersEndWithAtMostOneWriter) {
  for (int round = 0; round < 40; ++round) {
    ScopedName name("mixed");
    EXPECT_LE(race_once(name, 4, true), 1) << "round " << round;
  }
}

}  // namespace
