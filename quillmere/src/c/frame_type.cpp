// Frame-type records through the companion's view of a channel, so that a C writer stores
// them exactly where quillmere_tools.frames looks for them.
#include "quillmere/src/c/frame_type.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/c/status.hpp"
#include "tools/src/channel_view.hpp"
#include "tools/src/frame_record.hpp"

namespace quillmere::c {

namespace {

// The view of channel `name`, or the failure (QM_ERR_NOT_FOUND when there is none).
std::optional<quillmere_tools::ChannelView> open_view(std::string_view name, qm_status& status) {
  auto view = quillmere_tools::ChannelView::open(name);
  if (!view) {
    status = fail(std::move(view.error()));
    return std::nullopt;
  }
  if (!*view)
    status = fail(QM_ERR_NOT_FOUND, quillmere_core::format("channel '{}' does not exist", name));
  return std::move(*view);
}

}  // namespace

qm_status store_frame_type(std::string_view name, std::span<const std::byte> record) {
  qm_status status = QM_OK;
  auto view = open_view(name, status);
  if (!view) return status;
  auto held = quillmere_tools::store_frame_record(*view, record);
  if (!held) return fail(std::move(held.error()));
  if (!*held)
    return fail(
        QM_ERR_INVALID_ARGUMENT,
        quillmere_core::format("channel '{}' has no trailer to hold a frame-type record", name));
  if (!std::ranges::equal(**held, record))
    return fail(
        QM_ERR_INVALID_ARGUMENT,
        quillmere_core::format("channel '{}' already holds another frame-type record ({} bytes)",
                               name, (*held)->size()));
  return QM_OK;
}

qm_status load_frame_type(std::string_view name, std::span<std::byte> out, std::size_t& size) {
  size = 0;
  qm_status status = QM_OK;
  auto view = open_view(name, status);
  if (!view) return status;
  auto snapshot = quillmere_tools::snapshot_frame_record(*view);
  if (!snapshot.record || snapshot.record->empty()) return QM_EMPTY;
  size = snapshot.record->size();
  if (size > out.size())
    return fail(QM_ERR_INVALID_ARGUMENT,
                quillmere_core::format(
                    "the frame-type record of channel '{}' has {} bytes, more than the {} "
                    "bytes given",
                    name, size, out.size()));
  std::ranges::copy(*snapshot.record, out.begin());
  return QM_OK;
}

}  // namespace quillmere::c
