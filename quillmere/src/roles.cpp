// Ownership and the exclusive roles: the pid words of the segment header.
//
// Each word holds the holder's process id (zero-extended), 0 when free, and changes only by
// sequentially consistent compare-and-swap, so that of several processes that find the same
// free or stale value exactly one replaces it. A holder is alive while kill(pid, 0) succeeds
// or fails with EPERM (alive under another user).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/lifecycle.hpp"

namespace quillmere::lifecycle {

namespace {

using quillmere_core::ErrorKind;

// The word belongs to a live process. Its low 32 bits are the process id; 0 is nobody. A
// value that no pid_t can take (above INT32_MAX, from a foreign or damaged header) names no
// process either: handing it to kill() would address a process group, or every process.
bool holder_alive(std::uint64_t word) noexcept {
  const auto low = static_cast<std::uint32_t>(word);
  if (low == 0 || low > static_cast<std::uint32_t>(std::numeric_limits<pid_t>::max())) {
    return false;
  }
  return ::kill(static_cast<pid_t>(low), 0) == 0 || errno == EPERM;
}

}  // namespace

bool process_alive(std::uint64_t pid_word) noexcept {
  return holder_alive(pid_word);
}

std::uint64_t own_pid_word() noexcept {
  return static_cast<std::uint32_t>(::getpid());
}

bool claim_segment(std::uint64_t* owner_pid_word) {
  const std::uint64_t me = own_pid_word();
  std::atomic_ref<std::uint64_t> word(*owner_pid_word);
  for (;;) {
    std::uint64_t seen = 0;
    // seq_cst: pid words are arbitrated only by CAS; pairs with every other claimant's CAS.
    if (word.compare_exchange_strong(seen, me, std::memory_order_seq_cst)) return true;
    // This process already owns the segment through another handle: that one removes the
    // name, this one must not.
    if (seen == me || holder_alive(seen)) return false;
    // seq_cst: as above; a lost swap means another process moved the word meanwhile.
    if (word.compare_exchange_strong(seen, me, std::memory_order_seq_cst)) return true;
  }
}

quillmere_core::Result<void> claim_role(std::uint64_t* pid_word, std::string_view role,
                                        std::string_view channel) {
  const std::uint64_t me = own_pid_word();
  std::atomic_ref<std::uint64_t> word(*pid_word);
  std::uint64_t seen = 0;
  // seq_cst: a win reads the 0 that release_role stored (its release half), so everything the
  // previous holder did to the ring happens before what we do next; claims of other
  // processes are ordered against ours in the one total order of the word.
  if (word.compare_exchange_strong(seen, me, std::memory_order_seq_cst)) return {};
  for (;;) {
    // No exception for this process: a role it already holds is held by a live process.
    if (holder_alive(seen)) {
      return quillmere_core::fail(
          ErrorKind::RoleConflict,
          quillmere_core::format("the {} role on channel '{}' is held by process {}", role, channel,
                                 seen));
    }
    // seq_cst: takes over the dead holder's word; on failure `seen` is the newer value. Nothing
    // is acquired from a dead holder here (its claim is all this reads): what it left in the
    // ring is read by the words' own acquire loads (RawWriter::attach, the readers).
    if (word.compare_exchange_strong(seen, me, std::memory_order_seq_cst)) return {};
    std::uint64_t free = 0;
    // seq_cst: the word may have been given back meanwhile.
    if (word.compare_exchange_strong(free, me, std::memory_order_seq_cst)) return {};
    seen = free;
  }
}

void release_role(std::uint64_t* pid_word) noexcept {
  std::uint64_t mine = own_pid_word();
  // seq_cst: the release half pairs with the next claim_role's win, which reads our 0; a word
  // holding another id is left alone.
  std::atomic_ref<std::uint64_t>(*pid_word).compare_exchange_strong(mine, 0,
                                                                    std::memory_order_seq_cst);
}

}  // namespace quillmere::lifecycle
