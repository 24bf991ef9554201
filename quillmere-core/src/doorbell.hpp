// The doorbell protocol on a valid trailer (layout in trailer.hpp): waiters register before
// they sleep, the writer looks at the count after every publish and wakes the doorbell word
// only when somebody is registered.
//
// No lost wake-up. The writer does "store writer_entry_seq; load waiters"; a waiter does
// "waiters += 1; load writer_entry_seq; sleep while the doorbell word still equals what it
// loaded". The bad outcome is the writer loading waiters == 0 and the waiter loading the old
// sequence: then the writer rings nobody and the waiter sleeps through the entry. With
// sequentially consistent accesses on both sides that outcome is impossible (one of the two
// first operations comes first in the single total order, and the other side's load sees it).
// A waiter may stay registered across several sleeps (a follow loop): its increment then came
// before every later load of the sequence, and the argument holds for each of them.
// The waiter's increment is a read-modify-write, sequentially consistent for free on x86.
// The writer's side is the costly one: a store followed by a load of another word may be
// reordered by the store buffer unless a full fence (mfence or a locked instruction) sits in
// between, on every publish. We do not pay it there: the publish path loads the count with
// acquire only, and instead no waiter sleeps longer than kRecheckSlice without loading the
// sequence again (doorbell waits are sliced). A wake-up lost in that reordering window is
// therefore late by at most one slice, never lost; in practice the store drains from the
// buffer long before the waiter's system call reads the word in the kernel, which also
// compares the word before it sleeps.
//
// Crashed waiters. A waiter killed while registered leaves the count raised, which costs the
// writer needless wake calls, never correctness. Each registration records its process id in
// a pid slot; reap() clears the slots of processes that are gone and lowers the count for
// each. The writer reaps when its wake calls keep finding nobody asleep. A live waiter that
// stayed registered while awake would cost the same wake calls until it left, so waiters
// register for one sleep (or one pending wait) at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "quillmere-core/src/trailer.hpp"

namespace quillmere_core::doorbell {

// The longest a registered waiter sleeps before it loads writer_entry_seq again.
inline constexpr std::uint64_t kRecheckSliceNs = 10'000'000;

// A registration: the pid slot it took, if any was free (more than kWaiterSlots concurrent
// waiters still count, they just cannot be reaped after a crash).
struct Registration {
  std::optional<std::uint64_t> slot;
  std::uint64_t pid;
};

inline std::atomic_ref<std::uint64_t> waiters(std::byte* trailer) noexcept {
  return std::atomic_ref<std::uint64_t>(*trailer::word(trailer, trailer::offset::waiters));
}

// The writer's question after every publish. acquire: the count carries no data, so this pairs
// with nothing; in the C++ model the store of writer_entry_seq before it may still be seen
// after it (the sliced waits above bound what that costs). For the baseline AArch64 target the
// wheels are built for it is an ldar, which the stlr of writer_entry_seq may not pass: there the
// hardware closes the window. x86's store buffer leaves it open, as would an ldapr (RCpc).
inline bool anyone_waiting(std::byte* trailer) noexcept {
  return waiters(trailer).load(std::memory_order_acquire) != 0;
}

// Counts the caller in, then records its pid. The count goes first: a crash between the two
// leaves a count that cannot be reaped (speed only), while the other order could let a reaper
// lower a count that was never raised.
Registration enter(std::byte* trailer, std::uint64_t pid) noexcept;

// Undoes enter(): the slot first, then the count, for the same reason in reverse.
void leave(std::byte* trailer, const Registration& registration) noexcept;

// Lowers the count by one unless it is already 0 (a hostile or reaped count).
void lower_count(std::byte* trailer) noexcept;

// Clears every pid slot whose process `alive` says is gone and lowers the count once per slot
// cleared. Returns how many were cleared. The count never goes below zero here.
template <class Alive>
std::uint64_t reap(std::byte* trailer, Alive&& alive) {
  std::uint64_t cleared = 0;
  for (std::uint64_t slot = 0; slot < trailer::kWaiterSlots; ++slot) {
    std::atomic_ref<std::uint64_t> word(*trailer::waiter_pid(trailer, slot));
    // relaxed: only the value matters; the compare-and-swap below decides who clears it.
    std::uint64_t pid = word.load(std::memory_order_relaxed);
    if (pid == 0 || alive(pid)) continue;
    // relaxed: a slot is cleared at most once, by whoever wins this swap.
    if (!word.compare_exchange_strong(pid, 0, std::memory_order_relaxed)) continue;
    ++cleared;
  }
  for (std::uint64_t i = 0; i < cleared; ++i) lower_count(trailer);
  return cleared;
}

}  // namespace quillmere_core::doorbell
