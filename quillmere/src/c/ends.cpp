// The checks at the top of every call on a writer or reader, and how the C arguments of an
// open become the endpoint's.
#include "quillmere/src/c/ends.hpp"

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/c/open.hpp"

namespace quillmere::c {

qm_status Use::refuse_fork_child() const noexcept {
  return guarded(
      [&] { return fail(QM_ERR_FORK_CHILD, process::fork_child_message(type_name_, owner_)); });
}

qm_status Use::refuse_overlap() const noexcept {
  return guarded([&] {
    return fail(QM_ERR_BUSY,
                quillmere_core::format(
                    "{} is in use by another thread: one call at a time per handle", type_name_));
  });
}

qm_status null_argument(std::string_view what) noexcept {
  return guarded([&] {
    return fail(QM_ERR_INVALID_ARGUMENT, quillmere_core::format("{} must not be NULL", what));
  });
}

std::optional<Geometry> to_geometry(const char* name, qm_kind kind, std::uint64_t entry_length,
                                    std::uint64_t entry_count, int flags, int allowed_flags,
                                    qm_status& status) {
  if (name == nullptr) {
    status = null_argument("name");
    return std::nullopt;
  }
  if (kind != QM_BYTES && kind != QM_FLOAT64) {
    status = fail(QM_ERR_INVALID_ARGUMENT,
                  quillmere_core::format("kind {} is neither QM_BYTES ({}) nor QM_FLOAT64 ({})",
                                         static_cast<int>(kind), static_cast<int>(QM_BYTES),
                                         static_cast<int>(QM_FLOAT64)));
    return std::nullopt;
  }
  if ((flags & ~allowed_flags) != 0) {
    status = fail(QM_ERR_INVALID_ARGUMENT,
                  quillmere_core::format("flags {} include bits outside {}", flags, allowed_flags));
    return std::nullopt;
  }
  const bool bytes = kind == QM_BYTES;
  Geometry geometry{
      bytes ? quillmere_core::metadata::kDtypeU8 : quillmere_core::metadata::kDtypeF64,
      bytes ? 1u : 8u, std::nullopt, std::nullopt};
  // 0 is "not supplied", as None is in the module.
  if (entry_length != 0) geometry.entry_length = units::to_bytes(entry_length, geometry.unit);
  if (entry_count != 0) geometry.entry_count = entry_count;
  return geometry;
}

}  // namespace quillmere::c
