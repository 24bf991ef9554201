// The one failure value below the Python bindings.
//
// Every fallible operation in quillmere-core, shm-backed lifecycle code and the endpoints
// returns Result<T>; only the bindings turn a ChannelError into a Python exception.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace quillmere_core {

// The numeric values are the kind codes the bindings map onto exception classes.
enum class ErrorKind : std::uint8_t {
  InvalidInput = 0,  // ValueError
  Os = 1,            // OSError
  WouldBlock = 2,    // BlockingIOError
  RoleConflict = 3,  // ChannelRoleConflict
  NotFound = 4,      // OSError: no usable channel of that name, and nothing to create it from
};

struct ChannelError {
  ErrorKind kind;
  std::string message;  // composed where the failure is detected, with the offending values
};

template <class T>
using Result = std::expected<T, ChannelError>;

inline std::unexpected<ChannelError> fail(ErrorKind kind, std::string message) {
  return std::unexpected(ChannelError{kind, std::move(message)});
}

}  // namespace quillmere_core
