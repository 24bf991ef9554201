#include "tools/src/wait_shard.hpp"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "quillmere-core/src/doorbell.hpp"
#include "quillmere-core/src/metadata.hpp"

namespace quillmere_tools {

namespace shm = quillmere::shm;

struct WaitShard::Pending {
  std::uint64_t id = 0;
  MappedBell bell;
  std::uint64_t after = 0;
  Clock::time_point deadline;
  Enrolment enrolment;
};

WaitShard::WaitShard() = default;
WaitShard::~WaitShard() = default;

bool WaitShard::supported() noexcept {
  // No words at all: EINVAL from a kernel that has the call, ENOSYS from one that has not.
  return ::syscall(SYS_futex_waitv, nullptr, 0u, 0u, nullptr, 0) == 0 || errno != ENOSYS;
}

void WaitShard::poke() noexcept {
  // relaxed: the mutex orders the table; the changed value alone makes a sleeping (or about to
  // sleep) collect() return, as the kernel compares it before sleeping.
  std::atomic_ref<std::uint32_t>(control_).fetch_add(1, std::memory_order_relaxed);
  shm::futex_wake_private(&control_);
}

std::uint64_t WaitShard::add(MappedBell bell, std::uint64_t after, Clock::time_point deadline) {
  auto pending = std::make_unique<Pending>();
  pending->bell = std::move(bell);
  pending->after = after;
  pending->deadline = deadline;
  std::lock_guard lock(mutex_);
  pending->id = next_id_++;
  // Registered before collect() next loads the sequence (it takes this mutex first): the
  // waiter's half of the lost-wake-up argument in doorbell.hpp.
  if (pending->bell.bell.trailer != nullptr) pending->enrolment.enter(pending->bell.bell.trailer);
  const std::uint64_t id = pending->id;
  pending_.push_back(std::move(pending));
  poke();
  return id;
}

bool WaitShard::cancel(std::uint64_t id) noexcept {
  std::unique_ptr<Pending> gone;  // let go of outside the lock
  std::lock_guard lock(mutex_);
  auto found = std::find_if(pending_.begin(), pending_.end(),
                            [id](const auto& pending) { return pending->id == id; });
  if (found == pending_.end()) return false;
  (*found)->enrolment.leave();
  gone = std::move(*found);
  pending_.erase(found);
  poke();
  return true;
}

std::size_t WaitShard::size() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

void WaitShard::close() noexcept {
  std::lock_guard lock(mutex_);
  closed_ = true;
  poke();
}

std::vector<WaitShard::Ended> WaitShard::collect() {
  std::vector<Ended> ended;
  std::vector<shm::FutexWord> words;
  std::vector<std::shared_ptr<const void>> mapped;  // kept mapped while the kernel looks
  for (;;) {
    Clock::time_point wake_by;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return {};
      const Clock::time_point now = Clock::now();
      // Never longer than the recheck slice: that bounds a wake-up lost to the writer's
      // unfenced count load (doorbell.hpp); a segment without a trailer is polled.
      // Nothing pending: only add() or close() can end the sleep.
      wake_by = pending_.empty()
                    ? Clock::time_point::max()
                    : now + std::chrono::nanoseconds(quillmere_core::doorbell::kRecheckSliceNs);
      words.assign(
          1, shm::FutexWord{
                 &control_,
                 // relaxed: see poke(); the mutex orders the rest.
                 std::atomic_ref<std::uint32_t>(control_).load(std::memory_order_relaxed), false});
      mapped.clear();
      std::erase_if(pending_, [&](std::unique_ptr<Pending>& pending) {
        const Bell& bell = pending->bell.bell;
        // seq_cst: after the registration in add() (see there).
        const std::uint64_t seen =
            std::atomic_ref<std::uint64_t>(
                *quillmere_core::metadata::header_word(
                    bell.segment, quillmere_core::metadata::offset::writer_entry_seq))
                .load(std::memory_order_seq_cst);
        if (seen > pending->after || now >= pending->deadline) {
          ended.push_back(Ended{pending->id, seen > pending->after});
          pending->enrolment.leave();
          return true;
        }
        wake_by = std::min(wake_by, pending->deadline);
        if (bell.trailer == nullptr) {
          wake_by = std::min(wake_by, now + kLongestPoll);
        } else {
          words.push_back(shm::FutexWord{quillmere_core::trailer::doorbell_word(bell.segment),
                                         static_cast<std::uint32_t>(seen), true});
          mapped.push_back(pending->bell.mapping);
        }
        return false;
      });
    }
    if (!ended.empty()) return ended;
    // Woken, changed, timed out or interrupted: look at the table again either way.
    shm::futex_wait_any(words, wake_by);
  }
}

}  // namespace quillmere_tools
