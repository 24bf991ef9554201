#include "tools/src/liveness.hpp"

#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/lifecycle.hpp"

namespace quillmere_tools {

namespace {

// Closes a stdio stream on every path out.
struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// Whether process `pid` has the object mapped, from /proc/<pid>/maps; nothing when the file
// cannot be read (another user's process, or /proc not mounted).
std::optional<bool> maps_segment(std::uint32_t pid, const quillmere::shm::FileStatus& segment) {
  const std::string path = quillmere_core::format("/proc/{}/maps", pid);
  std::unique_ptr<std::FILE, FileCloser> maps(std::fopen(path.c_str(), "re"));
  if (!maps) return std::nullopt;
  char* line = nullptr;
  std::size_t capacity = 0;
  bool found = false;
  // Each line: address range, permissions, offset, device major:minor (hex), inode, path.
  while (!found && ::getline(&line, &capacity, maps.get()) >= 0) {
    unsigned major_id = 0, minor_id = 0;
    unsigned long long inode = 0;
    if (std::sscanf(line, "%*x-%*x %*s %*x %x:%x %llu", &major_id, &minor_id, &inode) == 3) {
      found = inode == segment.inode && major_id == major(segment.device) &&
              minor_id == minor(segment.device);
    }
  }
  std::free(line);
  return found;
}

}  // namespace

Liveness liveness(std::uint64_t word, const quillmere::shm::FileStatus& segment) {
  const std::uint32_t pid = pid_of(word);
  if (pid == 0) return Liveness::None;
  if (!quillmere::lifecycle::process_alive(word)) return Liveness::Dead;
  return maps_segment(pid, segment).value_or(true) ? Liveness::Alive : Liveness::Unknown;
}

std::string_view liveness_name(Liveness liveness) noexcept {
  switch (liveness) {
    case Liveness::Alive:
      return "alive";
    case Liveness::Dead:
      return "dead";
    case Liveness::Unknown:
      return "unknown";
    case Liveness::None:
      break;
  }
  return "none";
}

}  // namespace quillmere_tools
