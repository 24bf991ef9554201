// A doorbell together with what keeps its memory mapped: copies share the mapping, so a wait
// in progress on another thread outlives a close() of the object it came from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "tools/src/channel_view.hpp"
#include "tools/src/doorbell_wait.hpp"

namespace quillmere_tools {

struct MappedBell {
  Bell bell;
  std::shared_ptr<const void> mapping;
};

// The bell of a channel looked at by name.
MappedBell bell_of(ChannelView view);

// The bell of the very segment open as `fd` (a reader's own, whatever its name holds now),
// mapped again read-write for as long as a copy lives. The geometry must have passed the
// header checks against `mapped_size` already. nullopt when the mapping fails.
std::optional<MappedBell> bell_of_descriptor(int fd, std::uint64_t mapped_size,
                                             std::uint64_t entry_length, std::uint64_t entry_count);

}  // namespace quillmere_tools
