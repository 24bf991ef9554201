// This process's id as every face of the library checks it, and the refusal of an object used
// in a fork child of the process that made it.
//
// An object's roles, holds and numbering belong to the process that created it; a fork child
// inherits a copy of its memory but none of that, so both the Python module and the C library
// refuse every operation on such a copy with the same message.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <string_view>

namespace quillmere::process {

namespace detail {
// This process's id, 0 until first asked for; a fork handler stores the child's own id in the
// child before it runs anything else.
extern std::atomic<pid_t> process_id;
// Stores the id and installs the fork handler, once per process image; returns the id.
pid_t track_process_id() noexcept;
}  // namespace detail

// The id of the calling process. Every call of every object checks it, and getpid() is a
// system call, so it is read from a copy that the fork handler keeps current.
inline pid_t current() noexcept {
  // relaxed: written only by this process's own threads (see process.cpp)
  const pid_t known = detail::process_id.load(std::memory_order_relaxed);
  return known != 0 ? known : detail::track_process_id();
}

// "<type_path> was created in process <owner> and cannot be used in a fork child; ...".
std::string fork_child_message(std::string_view type_path, pid_t owner);

}  // namespace quillmere::process
