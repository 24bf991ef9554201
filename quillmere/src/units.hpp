// Entry lengths as callers give them (in elements of the channel's type) and as the ring keeps
// them (bytes).
#pragma once

#include <cstdint>
#include <limits>

namespace quillmere::units {

// Elements to bytes, saturating at 2^64 - 1 (which no geometry check accepts).
constexpr std::uint64_t to_bytes(std::uint64_t elements, std::uint64_t unit) noexcept {
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  return elements > max / unit ? max : elements * unit;
}

}  // namespace quillmere::units
