#include "tools/src/doorbell_wait.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "quillmere-core/src/doorbell.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "shm/src/futex.hpp"
#include "tools/src/cpu_relax.hpp"

namespace quillmere_tools {

namespace {

namespace doorbell = quillmere_core::doorbell;
namespace metadata = quillmere_core::metadata;

std::atomic_ref<std::uint64_t> sequence_word(const Bell& bell) noexcept {
  return std::atomic_ref<std::uint64_t>(
      *metadata::header_word(bell.segment, metadata::offset::writer_entry_seq));
}

// This process's id without a system call per registration: looked up once, and again in a
// fork child (the handler clears it there, before any thread of the child can run).
std::atomic<std::uint64_t> cached_pid{0};

}  // namespace

std::uint64_t process_id() noexcept {
  // relaxed: the value alone matters; a race only looks the id up twice.
  std::uint64_t pid = cached_pid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static const int forget_in_child = ::pthread_atfork(nullptr, nullptr, [] {
    // relaxed: the child has one thread at this point.
    cached_pid.store(0, std::memory_order_relaxed);
  });
  (void)forget_in_child;
  pid = static_cast<std::uint64_t>(::getpid());
  // relaxed: see the load above.
  cached_pid.store(pid, std::memory_order_relaxed);
  return pid;
}

namespace {

// Register, re-check, sleep on the low half of the sequence we saw, leave.
bool sleep_on_doorbell(const Bell& bell, std::uint64_t after, std::chrono::nanoseconds timeout,
                       bool& interrupted) noexcept {
  Enrolment enrolment;
  enrolment.enter(bell.trailer);
  // seq_cst: after our seq_cst increment of the count (the waiter's half of the lost-wake-up
  // argument in doorbell.hpp): either the writer sees the count or we see its entry here.
  const std::uint64_t seen = sequence_word(bell).load(std::memory_order_seq_cst);
  if (seen <= after) {
    // Never longer than the recheck slice: that bounds a wake-up lost to the writer's
    // unfenced count load (doorbell.hpp).
    const auto slice = std::min(timeout, std::chrono::nanoseconds(doorbell::kRecheckSliceNs));
    interrupted = quillmere::shm::futex_wait(quillmere_core::trailer::doorbell_word(bell.segment),
                                             static_cast<std::uint32_t>(seen),
                                             slice) == quillmere::shm::FutexWait::Interrupted;
  }
  enrolment.leave();
  return writer_entry_seq(bell) > after;
}

bool poll_once(const Bell& bell, std::uint64_t after, std::chrono::nanoseconds timeout,
               std::chrono::nanoseconds& poll_step) noexcept {
  std::this_thread::sleep_for(std::min(timeout, poll_step));
  poll_step = std::min<std::chrono::nanoseconds>(poll_step * 2, kLongestPoll);
  return writer_entry_seq(bell) > after;
}

}  // namespace

void Enrolment::enter(std::byte* trailer) noexcept {
  if (trailer_ == trailer) return;
  leave();
  registration_ = doorbell::enter(trailer, process_id());
  trailer_ = trailer;
}

void Enrolment::leave() noexcept {
  if (trailer_ == nullptr) return;
  if (registration_.pid == process_id()) doorbell::leave(trailer_, registration_);
  trailer_ = nullptr;
}

Bell make_bell(std::byte* segment, std::uint64_t mapped_size, std::uint64_t entry_length,
               std::uint64_t entry_count) noexcept {
  const metadata::HeaderSnapshot geometry{entry_length, entry_count, 0, 0, 0};
  return Bell{segment, quillmere_core::trailer::find(segment, mapped_size, geometry).base};
}

std::uint64_t writer_entry_seq(const Bell& bell) noexcept {
  // acquire: pairs with the writer's release store of writer_entry_seq, like a ring reader.
  return sequence_word(bell).load(std::memory_order_acquire);
}

bool sleep_once(const Bell& bell, std::uint64_t after, std::chrono::nanoseconds timeout,
                std::chrono::nanoseconds& poll_step, bool& interrupted) noexcept {
  if (bell.trailer == nullptr) return poll_once(bell, after, timeout, poll_step);
  return sleep_on_doorbell(bell, after, timeout, interrupted);
}

bool spin_until(const Bell& bell, std::uint64_t after, Clock::time_point until) noexcept {
  for (unsigned round = 0;; ++round) {
    if (writer_entry_seq(bell) > after) return true;
    // The clock is read every 64 rounds: a pause is ~40 ns on recent cores.
    if (round % 64 == 63 && Clock::now() >= until) return false;
    cpu_relax();
  }
}

}  // namespace quillmere_tools
