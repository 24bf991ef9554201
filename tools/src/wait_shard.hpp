// Asynchronous waits, many at once, on one thread: every pending wait's doorbell word and a
// word of the shard's own go into one futex_waitv, so a wake-up on any channel ends the sleep
// at once, however many other waits are pending (one thread per wait would not scale, and a
// pool shared by all of them lets quiet waits delay busy ones).
//
// add() and cancel() may be called from any thread; collect() from the one thread that serves
// the shard. Each pending wait is registered on its doorbell from add() until it ends or is
// cancelled, so a cancelled wait costs the writer nothing from then on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "shm/src/futex.hpp"
#include "tools/src/mapped_bell.hpp"

namespace quillmere_tools {

class WaitShard {
 public:
  // One word of each futex_waitv call is the shard's own.
  static constexpr std::size_t kCapacity = quillmere::shm::kMostFutexWords - 1;

  struct Ended {
    std::uint64_t id;
    bool ready;  // false: the deadline passed first
  };

  WaitShard();
  ~WaitShard();
  WaitShard(const WaitShard&) = delete;
  WaitShard& operator=(const WaitShard&) = delete;

  // True when this kernel has futex_waitv.
  static bool supported() noexcept;

  // A wait for an entry above `after` until `deadline`; its id (never 0). The caller keeps
  // size() below kCapacity.
  std::uint64_t add(MappedBell bell, std::uint64_t after, Clock::time_point deadline);
  // Ends a pending wait now: registration left, mapping let go by the serving thread's next
  // turn. False when it had already ended.
  bool cancel(std::uint64_t id) noexcept;
  std::size_t size() const;
  // Sleeps until some waits end, and returns them; empty once close() was called.
  std::vector<Ended> collect();
  void close() noexcept;

 private:
  struct Pending;
  void poke() noexcept;  // wakes collect() to look at the table again (mutex held)

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Pending>> pending_;
  std::uint64_t next_id_ = 1;
  bool closed_ = false;
  alignas(4) std::uint32_t control_ = 0;  // private futex word: changed by add, cancel, close
};

}  // namespace quillmere_tools
