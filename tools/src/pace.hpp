// How fast entries have been arriving for a waiter: spinning before sleeping only pays while
// entries come closer together than the spin window. At 1 kHz a 20 us spin after every entry
// would burn 2% of a core for nothing; in a burst it saves a sleep and a wake-up per entry.
#pragma once

#include <chrono>
#include <cstdint>

namespace quillmere_tools {

using Clock = std::chrono::steady_clock;

class Pace {
 public:
  // A wait found an entry at `now`.
  void arrived(Clock::time_point now) noexcept;
  // Recent entries came closer together than `window` (none seen yet: no).
  bool worth_spinning(std::chrono::nanoseconds window) const noexcept {
    return arrivals_ >= 2 && interval_ < window;
  }

 private:
  Clock::time_point last_{};
  std::chrono::nanoseconds interval_{0};  // moving average, 1/4 weight on the newest
  std::uint8_t arrivals_ = 0;  // counts up to 2: the average means something from then on
};

// The calling thread's Pace for one channel mapping (keyed by its address). Waits on a thread
// are sequential, so a small per-thread table needs no lock; an evicted entry only restarts
// its average.
Pace& pace_for(const void* mapping) noexcept;

}  // namespace quillmere_tools
