// The thread's last message, the code of each error kind, the names of the codes and the
// library's version.
#include "quillmere/src/c/status.hpp"

#include <utility>

namespace quillmere::c {
namespace {

// The message qm_last_error() shows: `fixed` when set (no allocation was possible), else `text`.
thread_local std::string text;
thread_local const char* fixed = nullptr;

qm_status code_of(quillmere_core::ErrorKind kind) noexcept {
  using quillmere_core::ErrorKind;
  switch (kind) {
    case ErrorKind::InvalidInput:
      return QM_ERR_INVALID_ARGUMENT;
    case ErrorKind::Os:
      return QM_ERR_OS;
    case ErrorKind::WouldBlock:
      return QM_ERR_WOULD_BLOCK;
    case ErrorKind::RoleConflict:
      return QM_ERR_ROLE_CONFLICT;
    case ErrorKind::NotFound:
      return QM_ERR_NOT_FOUND;
  }
  return QM_ERR_INTERNAL;
}

}  // namespace

qm_status fail(qm_status code, std::string message) noexcept {
  text = std::move(message);  // a move: never allocates
  fixed = nullptr;
  return code;
}

qm_status fail(quillmere_core::ChannelError error) noexcept {
  return fail(code_of(error.kind), std::move(error.message));
}

qm_status fail_static(qm_status code, const char* message) noexcept {
  fixed = message;
  return code;
}

}  // namespace quillmere::c

extern "C" {

const char* qm_last_error(void) noexcept {
  using namespace quillmere::c;
  return fixed != nullptr ? fixed : text.c_str();
}

const char* qm_status_name(qm_status status) noexcept {
  switch (status) {
    case QM_OK:
      return "OK";
    case QM_EMPTY:
      return "EMPTY";
    case QM_TIMEOUT:
      return "TIMEOUT";
    case QM_NOT_CONNECTED:
      return "NOT_CONNECTED";
    case QM_ERR_INVALID_ARGUMENT:
      return "INVALID_ARGUMENT";
    case QM_ERR_NOT_FOUND:
      return "NOT_FOUND";
    case QM_ERR_OS:
      return "OS";
    case QM_ERR_WOULD_BLOCK:
      return "WOULD_BLOCK";
    case QM_ERR_ROLE_CONFLICT:
      return "ROLE_CONFLICT";
    case QM_ERR_FORK_CHILD:
      return "FORK_CHILD";
    case QM_ERR_BUSY:
      return "BUSY";
    case QM_ERR_NO_MEMORY:
      return "NO_MEMORY";
    case QM_ERR_INTERNAL:
      return "INTERNAL";
    case QM_STATUS_MAX_ENUM:
      break;
  }
  return "UNKNOWN";
}

int qm_version_number(void) noexcept {
  return QM_VERSION_NUMBER;
}

const char* qm_version_string(void) noexcept {
  return QM_VERSION_STRING;
}

}  // extern "C"
