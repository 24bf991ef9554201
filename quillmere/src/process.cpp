// The process id cache and the fork-child refusal text.
#include "quillmere/src/process.hpp"

#include <pthread.h>
#include <unistd.h>

#include "quillmere-core/src/format.hpp"

namespace quillmere::process {

std::atomic<pid_t> detail::process_id{0};

namespace {

void refresh_process_id() noexcept {
  // relaxed: written at first use and in a fork child before it runs anything else (it has
  // one thread then); every reader is a thread of the process that wrote it.
  detail::process_id.store(::getpid(), std::memory_order_relaxed);
}

}  // namespace

pid_t detail::track_process_id() noexcept {
  // Without the fork handler (pthread_atfork can only fail for want of memory) nothing would
  // correct the copy in a fork child, so the system is then asked on every call instead.
  static const bool tracking = ::pthread_atfork(nullptr, nullptr, &refresh_process_id) == 0;
  if (!tracking) return ::getpid();
  refresh_process_id();
  // relaxed: see refresh_process_id.
  return process_id.load(std::memory_order_relaxed);
}

std::string fork_child_message(std::string_view type_path, pid_t owner) {
  return quillmere_core::format(
      "{} was created in process {} and cannot be used in a fork child; create a new one in "
      "the child",
      type_path, owner);
}

}  // namespace quillmere::process
