// A channel's segment mapped by name from outside any endpoint: no role, no ownership, never
// created or initialised here. For whoever needs to look at a channel without reading it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/trailer.hpp"
#include "quillmere/src/lifecycle.hpp"
#include "tools/src/doorbell_wait.hpp"

namespace quillmere_tools {

class ChannelView {
 public:
  // Nothing when no initialised channel of that name exists; an error for a segment that is
  // there but refused (not a ring, another layout version, too short, no permission).
  static quillmere_core::Result<std::optional<ChannelView>> open(std::string_view name);

  std::byte* base() const noexcept { return segment_.shmem.base(); }
  std::uint64_t mapped_size() const noexcept { return segment_.shmem.len(); }
  const quillmere_core::metadata::HeaderSnapshot& header() const noexcept {
    return segment_.header;
  }
  const quillmere_core::trailer::Found& trailer() const noexcept { return trailer_; }
  Bell bell() const noexcept { return Bell{base(), trailer_.base}; }
  // Loaded from the header at the moment of the call.
  std::uint64_t writer_entry_seq() const noexcept;

 private:
  explicit ChannelView(quillmere::lifecycle::AttachedSegment segment) noexcept;

  quillmere::lifecycle::AttachedSegment segment_;
  quillmere_core::trailer::Found trailer_;
};

}  // namespace quillmere_tools
