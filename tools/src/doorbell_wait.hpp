// Waiting for a channel's next entry: a spin window, then sleeps on the doorbell word, or
// polling with a bounded backoff on a segment without a trailer.
//
// Thread-safe: any number of threads and processes may wait on one channel at once. Nothing
// here touches a reader; the caller says which entry_seq it has seen (`after`) and gets an
// answer once writer_entry_seq is above it. Every sleep is bounded by the deadline, so no
// trailer, hostile or not, stretches a wait past it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "tools/src/pace.hpp"

namespace quillmere_tools {

// What a wait looks at: the mapped segment (header) and its trailer, nullptr when it has
// none (then waits poll).
struct Bell {
  std::byte* segment;
  std::byte* trailer;
};

// The bell of a mapped ring of this geometry: its trailer when the mapping has a valid one.
// The geometry must have passed metadata::check_mapping against mapped_size.
Bell make_bell(std::byte* segment, std::uint64_t mapped_size, std::uint64_t entry_length,
               std::uint64_t entry_count) noexcept;

enum class WaitResult : std::uint8_t { Ready, TimedOut, Stopped };

// Polling on a segment without a doorbell: 50 us, doubling up to 1 ms.
inline constexpr std::chrono::microseconds kFirstPoll{50}, kLongestPoll{1000};
// The longest stretch between two calls of the caller's `keep_going` (signal checks).
inline constexpr std::chrono::milliseconds kCheckInterval{100};

std::uint64_t writer_entry_seq(const Bell& bell) noexcept;

// One sleep of at most `timeout`: on the doorbell word, or one poll step. True when
// writer_entry_seq is above `after` afterwards. `interrupted` is set when a signal cut the
// sleep short. `poll_step` carries the backoff between calls.
bool sleep_once(const Bell& bell, std::uint64_t after, std::chrono::nanoseconds timeout,
                std::chrono::nanoseconds& poll_step, bool& interrupted) noexcept;

// Spins until writer_entry_seq is above `after` or `until`; true when it is.
bool spin_until(const Bell& bell, std::uint64_t after, Clock::time_point until) noexcept;

// Waits until writer_entry_seq is above `after` (Ready) or `deadline` passes (TimedOut).
// `keep_going()` runs after a signal cut a sleep short and at least every kCheckInterval;
// returning false ends the wait (Stopped). `spin` bounds the spin window, used only while
// `pace` says entries come faster than it.
template <class KeepGoing>
WaitResult wait_for(const Bell& bell, std::uint64_t after, Clock::time_point deadline,
                    std::chrono::nanoseconds spin, Pace& pace, KeepGoing&& keep_going) {
  auto ready = [&] {
    pace.arrived(Clock::now());
    return WaitResult::Ready;
  };
  if (writer_entry_seq(bell) > after) return ready();
  Clock::time_point now = Clock::now();
  if (spin.count() > 0 && pace.worth_spinning(spin) &&
      spin_until(bell, after, std::min(deadline, now + spin)))
    return ready();
  std::chrono::nanoseconds poll_step = kFirstPoll;
  Clock::time_point next_check = now + kCheckInterval;
  for (;;) {
    now = Clock::now();
    if (now >= deadline) return writer_entry_seq(bell) > after ? ready() : WaitResult::TimedOut;
    bool interrupted = false;
    if (sleep_once(bell, after, std::min(deadline, next_check) - now, poll_step, interrupted))
      return ready();
    if (interrupted || Clock::now() >= next_check) {
      if (!keep_going()) return WaitResult::Stopped;
      next_check = Clock::now() + kCheckInterval;
    }
  }
}

}  // namespace quillmere_tools
