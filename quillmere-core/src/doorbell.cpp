// Waiter registration on a trailer (protocol in doorbell.hpp).
#include "quillmere-core/src/doorbell.hpp"

namespace quillmere_core::doorbell {

Registration enter(std::byte* trailer, std::uint64_t pid) noexcept {
  // seq_cst: the waiter's half of the lost-wake-up argument; ordered before the load of
  // writer_entry_seq that follows, so either the writer sees us or we see its entry.
  waiters(trailer).fetch_add(1, std::memory_order_seq_cst);
  for (std::uint64_t slot = 0; slot < trailer::kWaiterSlots; ++slot) {
    std::uint64_t expected = 0;
    // relaxed: the pid is only read by reapers, which act on the value alone.
    if (std::atomic_ref<std::uint64_t>(*trailer::waiter_pid(trailer, slot))
            .compare_exchange_strong(expected, pid, std::memory_order_relaxed))
      return Registration{slot, pid};
  }
  return Registration{std::nullopt, pid};
}

void leave(std::byte* trailer, const Registration& registration) noexcept {
  if (registration.slot) {
    std::uint64_t expected = registration.pid;
    // relaxed: our own slot, unless a reaper or a scribbler took it; a reaper lowered the
    // count for it already, so then we must not lower it again.
    if (!std::atomic_ref<std::uint64_t>(*trailer::waiter_pid(trailer, *registration.slot))
             .compare_exchange_strong(expected, 0, std::memory_order_relaxed))
      return;
  }
  lower_count(trailer);
}

void lower_count(std::byte* trailer) noexcept {
  auto count = waiters(trailer);
  // relaxed: a first guess for the swap.
  std::uint64_t seen = count.load(std::memory_order_relaxed);
  // relaxed: the count publishes no data; a writer that still sees the old value only makes
  // a wake call nobody needs.
  while (seen != 0 && !count.compare_exchange_weak(seen, seen - 1, std::memory_order_relaxed,
                                                   std::memory_order_relaxed)) {
  }
}

}  // namespace quillmere_core::doorbell
