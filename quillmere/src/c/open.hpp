// The arguments of qm_writer_open and qm_reader_open, checked and in the endpoint's terms.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "include/quillmere/quillmere.h"
#include "quillmere/src/c/ends.hpp"
#include "quillmere/src/c/status.hpp"
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

// What opening a writer or a reader shares: `out` checked and cleared, the arguments checked,
// the endpoint made by `make(geometry)` and handed out in a new `End`, every exception turned
// into a code. `End` is qm_writer or qm_reader.
template <class End, class Make>
qm_status open_end(const char* name, qm_kind kind, std::uint64_t entry_length,
                   std::uint64_t entry_count, int flags, int allowed_flags, End** out,
                   Make&& make) noexcept {
  if (out == nullptr) return null_argument("out");
  *out = nullptr;
  return guarded([&] {
    qm_status status = QM_OK;
    auto geometry =
        to_geometry(name, kind, entry_length, entry_count, flags, allowed_flags, status);
    if (!geometry) return status;
    auto endpoint = make(*geometry);
    if (!endpoint) return fail(std::move(endpoint.error()));
    *out = new End{std::move(*endpoint), geometry->unit};
    return QM_OK;
  });
}

}  // namespace quillmere::c
