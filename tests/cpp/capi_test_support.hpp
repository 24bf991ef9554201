// Helpers for the C API tests, which see the library only as a program does: through
// libquillmere.so.1 and its header.
#pragma once

#include <fcntl.h>
#include <quillmere/quillmere.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere::testing {

// "/qm-<tag>-<pid>-<counter>", removed with qm_unlink when the test leaves its scope, pass or
// fail.
class ChannelName {
 public:
  explicit ChannelName(std::string_view tag) : name_(make(tag)) { qm_unlink(name_.c_str()); }
  ~ChannelName() { qm_unlink(name_.c_str()); }
  ChannelName(const ChannelName&) = delete;
  ChannelName& operator=(const ChannelName&) = delete;
  const std::string& str() const { return name_; }

 private:
  static std::string make(std::string_view tag) {
    static std::atomic<std::uint64_t> counter{0};
    // relaxed: only uniqueness within this process matters, nothing is published through it
    const auto n = counter.fetch_add(1, std::memory_order_relaxed);
    return "/qm-" + std::string(tag) + "-" + std::to_string(::getpid()) + "-" + std::to_string(n);
  }
  std::string name_;
};

inline bool segment_exists(const std::string& name) {
  const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace quillmere::testing
