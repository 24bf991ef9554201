// Writing entries into a channel at given moments, from a thread of its own that never touches
// the interpreter: a replay's timing then depends on the scheduler alone, not on which Python
// thread holds the interpreter lock (or was preempted while holding it) when an entry is due.
// A replay runs one per channel, so that a large frame being copied into one channel never
// holds up a small entry of another that falls due meanwhile.
//
// One thread offers entries in the order they are due; the playing thread sleeps until shortly
// before each one, spins the rest of the way, writes it and notes how late it was. Queued
// entries are bounded in number and in bytes, so reading ahead of the playback is bounded too.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "quillmere-core/src/error.hpp"
#include "quillmere/src/writer.hpp"
#include "tools/src/pace.hpp"

namespace quillmere_tools {

// A word one thread sleeps on until another moves it; the mover makes a system call only while
// somebody sleeps (one sleeper at a time).
class Nudge {
 public:
  // Sleeps until `ready()` holds (true) or `deadline` passes (false).
  template <class Ready>
  bool wait(Ready ready, Clock::time_point deadline) noexcept {
    while (!ready()) {
      const std::uint32_t seen = announce();
      const bool now_ready = ready();
      if (!now_ready && !sleep(seen, deadline)) return false;
    }
    return true;
  }
  // After changing what a sleeper's `ready()` looks at.
  void nudge() noexcept;

 private:
  std::uint32_t announce() noexcept;
  bool sleep(std::uint32_t seen, Clock::time_point deadline) noexcept;  // false: deadline passed

  alignas(4) std::uint32_t word_ = 0;  // private futex word
  std::atomic<bool> sleeping_{false};
};

class TimedWrites {
 public:
  struct Entry {
    std::span<const std::byte> data;  // kept alive by the caller until played() passes it
    Clock::time_point due;            // Clock::time_point{}: at once, and no lateness kept
  };

  // Starts the thread playing into `writer` (connected, and used by nobody else until stop()):
  // up to `capacity` entries (a power of two) and `budget_bytes` queued (an entry larger than
  // the budget is taken alone).
  TimedWrites(quillmere::writer::RawWriter& writer, std::size_t capacity,
              std::uint64_t budget_bytes);
  ~TimedWrites();
  TimedWrites(const TimedWrites&) = delete;
  TimedWrites& operator=(const TimedWrites&) = delete;

  // Queues `entry`, waiting for room until `deadline`. False without room by then, once a
  // write failed, or after stop().
  bool offer(const Entry& entry, Clock::time_point deadline) noexcept;
  // Entries played so far, in the order offered: the caller may let go of their data.
  std::uint64_t played() const noexcept;
  // Waits until every entry offered is played; false at `deadline`, after a failure or stop().
  bool drain(Clock::time_point deadline) noexcept;
  // The failed write's error, which ended the playing; nullopt while none failed.
  std::optional<quillmere_core::ChannelError> failure() const;
  // Ends the playing thread; entries not yet played stay unwritten. Idempotent.
  void stop() noexcept;

  // After stop(): what the entries gave.
  struct Counts {
    std::uint64_t written = 0;
    // How late entries with a due time were written (ns, taken once the write returned), and
    // the change of that from the previous entry: a sample when there were many.
    std::vector<std::int64_t> lateness, lateness_change;
    std::uint64_t timed = 0;    // entries with a due time
    std::uint64_t stride = 1;   // one timed entry in this many is sampled
    std::int64_t previous = 0;  // the lateness of the last timed entry
  };
  const Counts& counts() const noexcept { return counts_; }

 private:
  void play() noexcept;
  bool wait_until_due(Clock::time_point due) noexcept;  // false: stopped first
  void account(const Entry& entry, Clock::time_point written);
  bool has_room(std::uint64_t bytes) const noexcept;
  bool ended() const noexcept;

  quillmere::writer::RawWriter& writer_;
  std::vector<Entry> ring_;
  std::uint64_t budget_bytes_;
  // Offered and played entries and bytes, counted since the start; each written by one thread.
  std::atomic<std::uint64_t> offered_{0}, played_{0}, played_bytes_{0};
  std::uint64_t offered_bytes_ = 0;  // the offering thread's alone
  std::atomic<bool> stopping_{false}, failed_{false};
  std::optional<quillmere_core::ChannelError> failure_;  // set before failed_ (release)
  Nudge arrived_;                                        // the playing thread waits for entries
  Nudge room_;     // the offering thread waits for room or the end of the queue
  Nudge stopped_;  // the playing thread sleeps until an entry is due
  Counts counts_;  // the playing thread's until stop()
  std::thread thread_;
};

}  // namespace quillmere_tools
