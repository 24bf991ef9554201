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

#include "quillmere-core/src/doorbell.hpp"
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

// A waiter's registration on a doorbell, for as long as one sleep lasts: a waiter that stays
// registered while awake makes the writer pay a wake call per publish that finds nobody asleep,
// for as long as it stays away (a consumer that keeps its iterator but pauses). Entering again
// before every sleep costs a few atomic read-modify-writes, far below the sleep itself.
// Not thread-safe: one per waiting thread. The trailer must stay mapped until leave().
class Enrolment {
 public:
  Enrolment() noexcept = default;
  ~Enrolment() { leave(); }
  Enrolment(const Enrolment&) = delete;
  Enrolment& operator=(const Enrolment&) = delete;

  // Registers on `trailer` unless already registered there (leaving another trailer first).
  void enter(std::byte* trailer) noexcept;
  // Undoes enter(); nothing when not registered, or in a fork child of the process that
  // registered (the registration is the parent's to undo).
  void leave() noexcept;

 private:
  std::byte* trailer_ = nullptr;  // nullptr: not registered
  quillmere_core::doorbell::Registration registration_{};
};

// This process's id, looked up once and again in a fork child.
std::uint64_t process_id() noexcept;

// One sleep of at most `timeout`: on the doorbell word (registered for that sleep only), or
// one poll step. True when writer_entry_seq is above `after` afterwards. `interrupted` is set
// when a signal cut the sleep short. `poll_step` carries the backoff.
bool sleep_once(const Bell& bell, std::uint64_t after, std::chrono::nanoseconds timeout,
                std::chrono::nanoseconds& poll_step, bool& interrupted) noexcept;

// Spins until writer_entry_seq is above `after` or `until`; true when it is.
bool spin_until(const Bell& bell, std::uint64_t after, Clock::time_point until) noexcept;

// Waits until writer_entry_seq is above `after` (Ready) or `deadline` passes (TimedOut).
// `keep_going()` runs after a signal cut a sleep short and at least every kCheckInterval;
// returning false ends the wait (Stopped); it may also not return at all (a thread ended by
// pthread_exit), so nothing here may be noexcept around it. `spin` bounds the spin window,
// used only while `pace` says entries come faster than it. Nothing stays registered on return.
template <class KeepGoing>
WaitResult wait_for(const Bell& bell, std::uint64_t after, Clock::time_point deadline,
                    std::chrono::nanoseconds spin, Pace& pace, KeepGoing&& keep_going) {
  auto ready = [&] {
    pace.arrived(Clock::now());
    return WaitResult::Ready;
  };
  if (writer_entry_seq(bell) > after) return ready();
  // The clock is read once per step (a vDSO call, yet each one is on the wake-up path).
  Clock::time_point now = Clock::now();
  if (spin.count() > 0 && pace.worth_spinning(spin)) {
    if (spin_until(bell, after, std::min(deadline, now + spin))) return ready();
    now = Clock::now();
  }
  std::chrono::nanoseconds poll_step = kFirstPoll;
  Clock::time_point next_check = now + kCheckInterval;
  for (;;) {
    if (now >= deadline) return writer_entry_seq(bell) > after ? ready() : WaitResult::TimedOut;
    bool interrupted = false;
    if (sleep_once(bell, after, std::min(deadline, next_check) - now, poll_step, interrupted))
      return ready();
    now = Clock::now();
    if (interrupted || now >= next_check) {
      if (!keep_going()) return WaitResult::Stopped;
      now = Clock::now();
      next_check = now + kCheckInterval;
    }
  }
}

}  // namespace quillmere_tools
