// Deciding between creating, taking over and attaching to a channel's segment, and
// arbitrating ownership and the two exclusive roles between processes.
//
// Nothing here waits: every call answers at once, and a caller that wants to try again
// calls again. Processes coordinate only through O_EXCL on creation and compare-and-swap on
// the pid words of the header; a holder counts as alive while kill(pid, 0) succeeds or
// fails with EPERM, and a word whose low 32 bits are 0 counts as free.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "shm/src/shmem.hpp"

namespace quillmere::lifecycle {

inline constexpr std::string_view kWriterRole = "writer";
inline constexpr std::string_view kZeroCopyReaderRole = "zero-copy reader";

// A mapped segment with a valid header of non-zero geometry whose ring lies wholly inside the
// mapping, plus that header as read once at attach time.
struct AttachedSegment {
  shm::Shmem shmem;
  quillmere_core::metadata::HeaderSnapshot header;
  // This call wrote the header (it created the segment, or re-initialised an abandoned one).
  // Whoever holds a role on such a segment attached to it after that, so it is live work
  // that removing the name would strand.
  bool initialised_here = false;
};

// With both sizes: create the segment, or validate (or re-initialise an abandoned) existing
// one. Without sizes: attach only; absent is returned only when `allow_absent` is set.
quillmere_core::Result<std::optional<AttachedSegment>> open_or_create(
    std::string_view name, std::optional<std::uint64_t> entry_length,
    std::optional<std::uint64_t> entry_count, std::uint8_t dtype, bool allow_absent);

// Attach to an initialised segment of non-zero geometry; never creates, initialises or
// takes ownership. Every state short of that is absent.
quillmere_core::Result<std::optional<AttachedSegment>> try_attach(std::string_view name,
                                                                  std::uint8_t dtype);

// Opens the name (no owner); any failure is absent.
std::optional<shm::Shmem> try_open(std::string_view name);

// True when this process has just become the recorded owner (the word was free or named a
// dead process). False when it already was, or a live process is.
bool claim_segment(std::uint64_t* owner_pid_word);

// Claims a role word for this process; RoleConflict names the live holder, which may be
// this very process.
quillmere_core::Result<void> claim_role(std::uint64_t* pid_word, std::string_view role,
                                        std::string_view channel);

// Gives a role back: compare-and-swap from this process's id to 0, outcome ignored, so a
// word that was taken over or belongs to a fork parent is left alone.
void release_role(std::uint64_t* pid_word) noexcept;

// The process a pid word names is alive (kill(pid, 0) succeeds or fails with EPERM); a word
// that names no process (0, or beyond any pid_t) is not.
bool process_alive(std::uint64_t pid_word) noexcept;

// This process's id as the pid words hold it (zero-extended).
std::uint64_t own_pid_word() noexcept;

}  // namespace quillmere::lifecycle
