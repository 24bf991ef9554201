// One writer thread against several copying readers and one zero-copy reader on one ring.
// Every payload encodes its own entry_seq and a checksum, so any torn or mismatched copy,
// any reordering, and any writer store into a held slot shows up as a failed check.
//
// What it cannot catch: a weakened memory order or a removed fence. x86 keeps loads in order
// with loads and stores with stores whatever the code asks for, and ThreadSanitizer does not
// model fences (and sees the payload copies as relaxed atomics in its build), so both builds
// pass such a change. Those orderings are argued at each access in the ring code instead.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "core_test_support.hpp"
#include "quillmere-core/src/payload_copy.hpp"
#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/writer.hpp"

namespace quillmere_core {
namespace {

#if defined(QUILLMERE_TSAN)
constexpr std::uint64_t kEntries = 30'000;  // TSan runs roughly ten times slower
#else
constexpr std::uint64_t kEntries = 300'000;
#endif
using testing::PlainRing;

constexpr std::uint64_t kWords = 64;  // 512-byte payloads: long copies, more overlap
constexpr std::uint64_t kSlots = 6;
constexpr int kCopyingReaders = 2;
constexpr std::size_t kMaxHeld = 3;  // the zero-copy reader keeps up to this many pinned

using Payload = std::array<std::uint64_t, kWords>;

// Word 0 is the entry_seq, words 1..6 derive from it, word 7 checksums the others.
Payload encode(std::uint64_t seq) {
  Payload words{};
  words[0] = seq;
  for (std::uint64_t i = 1; i + 1 < kWords; ++i) words[i] = (seq * 0x9e3779b97f4a7c15ULL) ^ i;
  for (std::uint64_t i = 0; i + 1 < kWords; ++i) words[kWords - 1] += words[i] * (2 * i + 1);
  return words;
}

bool carries(const std::byte* bytes, std::uint64_t seq) {
  Payload words;
  std::memcpy(words.data(), bytes, sizeof words);
  return words == encode(seq);
}

std::span<const std::byte> as_bytes(const Payload& words) {
  return std::as_bytes(std::span(words));
}

// Publishes 1..kEntries, every third one through the in-place path.
void run_writer(writer::RawWriter& writer, std::atomic<bool>& done) {
  for (std::uint64_t seq = 1; seq <= kEntries; ++seq) {
    const Payload words = encode(seq);
    for (;;) {
      if (seq % 3 == 0) {
        auto slot = writer.try_acquire();
        if (!slot) continue;  // every slot held: the zero-copy reader will release one
        payload::copy_to_slot(slot->payload, as_bytes(words).data(), sizeof words);
        EXPECT_EQ(writer.commit(*slot), seq);  // EXPECT: readers must still see done
      } else if (!writer.write(as_bytes(words))) {
        continue;
      }
      break;
    }
  }
  // release: pairs with the acquire loads in the reader loops, which stop after seeing it.
  done.store(true, std::memory_order_release);
}

struct ReaderLog {
  std::uint64_t entries = 0, last = 0, failures = 0;
};

// A follower reads every entry in order; a chaser always asks for the oldest entry, which
// sits in the slot the writer claims next, so its copies overlap the writer's stores most.
void run_copying_reader(reader::RawReader reader, bool chaser, const std::atomic<bool>& done,
                        ReaderLog& log) {
  std::vector<std::byte> out(kWords * 8);
  for (;;) {
    const bool finished = done.load(std::memory_order_acquire);  // pairs with run_writer
    auto seq = *reader.read_into(out, chaser ? std::optional<std::uint64_t>(0) : std::nullopt);
    if (seq) {
      if ((!chaser && *seq <= log.last) || !carries(out.data(), *seq)) ++log.failures;
      log.last = *seq;
      ++log.entries;
    }
    // Once the writer is done, a follower drains the ring; a chaser only takes one more look.
    if (finished && (chaser || !seq)) return;
  }
}

// Pins entries, checks each stays intact while held, releases the oldest beyond kMaxHeld.
void run_zero_copy_reader(PlainRing& ring, reader::RawReader reader, const std::atomic<bool>& done,
                          ReaderLog& log) {
  std::deque<reader::ReadSlot> held;
  auto release_oldest = [&] {
    const reader::ReadSlot& slot = held.front();
    if (ring.word(slot.index) != -static_cast<std::int64_t>(slot.entry_seq) ||
        !carries(slot.payload, slot.entry_seq))
      ++log.failures;  // the writer touched a held slot
    reader.release(slot);
    held.pop_front();
  };
  for (;;) {
    const bool finished = done.load(std::memory_order_acquire);  // pairs with run_writer
    auto slot = reader.try_acquire(std::nullopt);
    if (!slot) {
      if (finished) break;
      continue;
    }
    if (slot->entry_seq <= log.last || !carries(slot->payload, slot->entry_seq)) ++log.failures;
    log.last = slot->entry_seq;
    ++log.entries;
    held.push_back(*slot);
    if (held.size() > kMaxHeld) release_oldest();
  }
  while (!held.empty()) release_oldest();
}

TEST(CoreStress, ReadersNeverSeeTornOrOutOfOrderEntries) {
  PlainRing ring(kWords * 8, kSlots);
  auto writer = writer::RawWriter::attach(ring.base(), ring.snapshot());
  std::atomic<bool> done{false};
  std::vector<ReaderLog> logs(kCopyingReaders + 1);

  std::vector<std::thread> threads;
  for (int i = 0; i < kCopyingReaders; ++i)
    threads.emplace_back(run_copying_reader, reader::RawReader(ring.base(), kWords * 8, kSlots),
                         i == 0, std::cref(done), std::ref(logs[i]));
  threads.emplace_back(run_zero_copy_reader, std::ref(ring),
                       reader::RawReader(ring.base(), kWords * 8, kSlots), std::cref(done),
                       std::ref(logs.back()));
  run_writer(writer, done);
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(writer.last_entry_seq(), kEntries);
  for (std::size_t i = 0; i < logs.size(); ++i) {
    SCOPED_TRACE(i == 0 ? "chaser" : i < logs.size() - 1 ? "follower" : "zero-copy reader");
    EXPECT_EQ(logs[i].failures, 0u);
    EXPECT_GT(logs[i].entries, 0u);
    // Followers drain the ring once the writer stops. (A chaser may end on an old entry
    // that sat in a held slot the writer had to skip.)
    if (i != 0) {
      EXPECT_GE(logs[i].last + 2 * kSlots, kEntries);
    }
  }
  for (std::uint64_t i = 0; i < kSlots; ++i) EXPECT_GT(ring.word(i), 0) << "slot " << i;
}

}  // namespace
}  // namespace quillmere_core
