// Names handed to the platform: copied into a zero-filled buffer of fixed size, so an
// over-long name or one with an embedded NUL never reaches a system call.
#pragma once

#include <array>
#include <cerrno>
#include <cstddef>
#include <string_view>

namespace quillmere::shm {

inline constexpr std::size_t kNameBufferSize = 4096;
using NameBuffer = std::array<char, kNameBufferSize>;

// 0 on success, otherwise the errno that the conversion fails with.
inline int convert_name(std::string_view name, NameBuffer& out) noexcept {
  if (name.size() >= kNameBufferSize) return ENAMETOOLONG;
  if (name.find('\0') != std::string_view::npos) return EINVAL;
  out.fill('\0');
  name.copy(out.data(), name.size());
  return 0;
}

}  // namespace quillmere::shm
