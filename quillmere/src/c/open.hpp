// The arguments of qm_writer_open and qm_reader_open, checked and in the endpoint's terms.
#pragma once

#include <cstdint>
#include <optional>

#include "include/quillmere/quillmere.h"
#include "quillmere/src/units.hpp"

namespace quillmere::c {

struct Geometry {
  std::uint8_t dtype;
  std::uint64_t unit;                         // bytes per element
  std::optional<std::uint64_t> entry_length;  // bytes
  std::optional<std::uint64_t> entry_count;
};

// Nothing, with `status` set, for a NULL name, an unknown kind or a flag outside `allowed_flags`.
std::optional<Geometry> to_geometry(const char* name, qm_kind kind, std::uint64_t entry_length,
                                    std::uint64_t entry_count, int flags, int allowed_flags,
                                    qm_status& status);

}  // namespace quillmere::c
