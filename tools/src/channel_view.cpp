#include "tools/src/channel_view.hpp"

#include <atomic>
#include <utility>

namespace quillmere_tools {

namespace metadata = quillmere_core::metadata;
using quillmere_core::Result;

Result<std::optional<ChannelView>> ChannelView::open(std::string_view name) {
  // The u8 code accepts a channel of any element type.
  auto attached = quillmere::lifecycle::try_attach(name, metadata::kDtypeU8);
  if (!attached) return std::unexpected(std::move(attached.error()));
  if (!*attached) return std::nullopt;
  return ChannelView(std::move(**attached));
}

ChannelView::ChannelView(quillmere::lifecycle::AttachedSegment segment) noexcept
    : segment_(std::move(segment)),
      trailer_(quillmere_core::trailer::find(segment_.shmem.base(), segment_.shmem.len(),
                                             segment_.header)) {}

std::uint64_t ChannelView::writer_entry_seq() const noexcept {
  // acquire: pairs with the writer's release store of writer_entry_seq, like a ring reader.
  return std::atomic_ref<std::uint64_t>(
             *metadata::header_word(base(), metadata::offset::writer_entry_seq))
      .load(std::memory_order_acquire);
}

}  // namespace quillmere_tools
