// The code base's one formatting idiom: "{}" placeholders filled left to right.
//
// std::format is not available in the standard library we build with, and messages only
// ever need integers and strings, so this is all there is.
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace quillmere_core {

namespace detail {

template <std::integral T>
void append(std::string& out, T value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;  // 24 chars always hold a 64-bit integer
  out.append(buf, end);
}

inline void append(std::string& out, std::string_view value) {
  out.append(value);
}
inline void append(std::string& out, const char* value) {
  out.append(value);
}
inline void append(std::string& out, const std::string& value) {
  out.append(value);
}

}  // namespace detail

// format("expected {} payload bytes, got {}", 16, 15) == "expected 16 payload bytes, got 15".
// Surplus placeholders stay as they are; surplus arguments are ignored.
template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
  std::string out;
  out.reserve(pattern.size() + 16 * sizeof...(Args));
  auto next = [&](const auto& value) {
    auto at = pattern.find("{}");
    if (at == std::string_view::npos) return;
    out.append(pattern.substr(0, at));
    detail::append(out, value);
    pattern.remove_prefix(at + 2);
  };
  (next(args), ...);
  out.append(pattern);
  return out;
}

}  // namespace quillmere_core
