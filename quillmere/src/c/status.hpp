// Codes and the thread's last message: how every failure leaves the C library.
//
// Each entry point runs its body through guarded(), so no C++ exception reaches a C caller, and
// turns a ChannelError into its code with fail(), which keeps the message for qm_last_error().
#pragma once

#include <new>
#include <string>

#include "include/quillmere/quillmere.h"
#include "quillmere-core/src/error.hpp"

namespace quillmere::c {

// Keeps `message` as this thread's last error and returns `code`.
qm_status fail(qm_status code, std::string message) noexcept;
// The code of the error's kind, with its message.
qm_status fail(quillmere_core::ChannelError error) noexcept;
// For a failed allocation or an exception nobody expected: a fixed text, no allocation.
qm_status fail_static(qm_status code, const char* message) noexcept;

template <class Body>
qm_status guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fail_static(QM_ERR_NO_MEMORY, "out of memory");
  } catch (...) {
    return fail_static(QM_ERR_INTERNAL, "unexpected C++ exception inside quillmere");
  }
}

}  // namespace quillmere::c
