// Futex wait and wake on a 32-bit word of a shared mapping (process-shared futexes: the
// kernel keys them by the page, so processes that map the segment at different addresses
// meet on the same word). Nothing here knows what the word means.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmere::shm {

enum class FutexWait : std::uint8_t {
  Woken,        // a wake call (or a spurious wake-up): look at the word again
  Changed,      // the word did not hold `expected` when the kernel looked
  TimedOut,     // `timeout` passed
  Interrupted,  // a signal handler ran: the caller may have signals to act on
};

// Sleeps while *word == expected, at most `timeout` (relative). Never sleeps for a negative
// or zero timeout. Any other failure (a word the kernel refuses) counts as Changed.
FutexWait futex_wait(std::uint32_t* word, std::uint32_t expected,
                     std::chrono::nanoseconds timeout) noexcept;

// Wakes every sleeper on `word`; returns how many were woken (0 on failure).
int futex_wake_all(std::uint32_t* word) noexcept;

// One word of a wait on several: process-shared (a segment's word) or private to the process.
struct FutexWord {
  std::uint32_t* word;
  std::uint32_t expected;
  bool shared;
};

// Most words one futex_waitv call takes.
inline constexpr std::size_t kMostFutexWords = 128;

// Sleeps while every word still holds its expected value, until `deadline` (CLOCK_MONOTONIC,
// the clock of std::chrono::steady_clock; its max() is no deadline). At most kMostFutexWords words
// (more: Changed). Unsupported when the kernel lacks futex_waitv (before Linux 5.16).
enum class FutexWaitAny : std::uint8_t { Woken, Changed, TimedOut, Interrupted, Unsupported };
FutexWaitAny futex_wait_any(std::span<const FutexWord> words,
                            std::chrono::steady_clock::time_point deadline) noexcept;

// Wakes every sleeper on a word private to this process.
void futex_wake_private(std::uint32_t* word) noexcept;

}  // namespace quillmere::shm
