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

}  // namespace quillmere::shm
