#include "shm/src/futex.hpp"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace quillmere::shm {

FutexWait futex_wait(std::uint32_t* word, std::uint32_t expected,
                     std::chrono::nanoseconds timeout) noexcept {
  if (timeout.count() <= 0) return FutexWait::TimedOut;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  struct timespec relative {};
  relative.tv_sec = static_cast<time_t>(seconds.count());
  relative.tv_nsec = static_cast<long>((timeout - seconds).count());
  // FUTEX_WAIT without FUTEX_PRIVATE_FLAG: the word is in memory shared between processes.
  if (::syscall(SYS_futex, word, FUTEX_WAIT, expected, &relative, nullptr, 0) == 0)
    return FutexWait::Woken;
  switch (errno) {
    case ETIMEDOUT:
      return FutexWait::TimedOut;
    case EINTR:
      return FutexWait::Interrupted;
    default:  // EAGAIN: the word had moved on; anything else: do not sleep on it
      return FutexWait::Changed;
  }
}

int futex_wake_all(std::uint32_t* word) noexcept {
  const long woken = ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  return woken > 0 ? static_cast<int>(woken) : 0;
}

namespace {
// futex_waitv's per-word flags (linux/futex.h names them FUTEX2_* from Linux 6.7 on; the
// values are those of Linux 5.16).
constexpr std::uint32_t kWordIs32Bits = 0x02;
constexpr std::uint32_t kWordIsPrivate = FUTEX_PRIVATE_FLAG;
}  // namespace

FutexWaitAny futex_wait_any(std::span<const FutexWord> words,
                            std::chrono::steady_clock::time_point deadline) noexcept {
  if (words.empty() || words.size() > kMostFutexWords) return FutexWaitAny::Changed;
  struct futex_waitv waiters[kMostFutexWords] = {};
  for (std::size_t i = 0; i < words.size(); ++i) {
    waiters[i].val = words[i].expected;
    waiters[i].uaddr = reinterpret_cast<std::uintptr_t>(words[i].word);
    waiters[i].flags = kWordIs32Bits | (words[i].shared ? 0u : kWordIsPrivate);
  }
  const auto since_boot = deadline.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_boot);
  struct timespec absolute {};
  absolute.tv_sec = static_cast<time_t>(seconds.count());
  absolute.tv_nsec = static_cast<long>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(since_boot - seconds).count());
  const bool forever = deadline == std::chrono::steady_clock::time_point::max();
  const long woken = ::syscall(SYS_futex_waitv, waiters, static_cast<unsigned>(words.size()), 0u,
                               forever ? nullptr : &absolute, CLOCK_MONOTONIC);
  if (woken >= 0) return FutexWaitAny::Woken;
  switch (errno) {
    case ENOSYS:
      return FutexWaitAny::Unsupported;
    case ETIMEDOUT:
      return FutexWaitAny::TimedOut;
    case EINTR:
      return FutexWaitAny::Interrupted;
    default:  // EAGAIN: a word had moved on; EFAULT: one is no longer mapped
      return FutexWaitAny::Changed;
  }
}

void futex_wake_private(std::uint32_t* word) noexcept {
  ::syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace quillmere::shm
