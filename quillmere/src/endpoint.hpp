// What the reader and writer endpoints share besides their ring: the channel name and
// flags, the mapped segment once connected, and the exclusive role held while connected.
//
// A Link is moved into its endpoint; a moved-from Link holds no segment, so its
// destruction touches nothing. Destruction gives the role back (compare-and-swap from this
// process's id to 0) and then releases the segment under its owner flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere/src/lifecycle.hpp"
#include "shm/src/shmem.hpp"

namespace quillmere::endpoint {

// An exclusive role: the header word that records its holder and its name in messages.
struct Role {
  std::size_t pid_offset;
  std::string_view name;
};

using MaybeAttached = quillmere_core::Result<std::optional<lifecycle::AttachedSegment>>;

class Link {
 public:
  Link(std::string_view name, std::uint8_t dtype, bool delayed_connect, std::optional<Role> role);
  Link(Link&& other) noexcept;
  Link& operator=(Link&& other) noexcept;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  ~Link();

  // Construction: create, take over or attach (absent only with delayed_connect).
  MaybeAttached open(std::optional<std::uint64_t> entry_length,
                     std::optional<std::uint64_t> entry_count) const;
  // A later connection attempt: attach only; absent without delayed_connect is an error.
  MaybeAttached attach() const;

  // Claims the role on `attached`, then hands base and header to `make_ring` and keeps the
  // segment. Absent gives false. On any error nothing is kept: the attached handle is
  // released under its owner flag when `attached` goes away, so a segment taken over from a
  // dead owner loses its name. One this call initialised keeps it: the live role holder
  // attached to it after that, and would otherwise write where nobody can find it.
  template <class MakeRing>
  quillmere_core::Result<bool> bind(MaybeAttached attached, MakeRing&& make_ring) {
    if (!attached) return std::unexpected(std::move(attached.error()));
    if (!*attached) return false;
    lifecycle::AttachedSegment& segment = **attached;
    if (auto claimed = claim(segment.shmem); !claimed) {
      if (segment.initialised_here) segment.shmem.set_owner(false);
      return std::unexpected(std::move(claimed.error()));
    }
    make_ring(segment.shmem.base(), segment.header);
    segment_.emplace(std::move(segment.shmem));
    return true;
  }

  bool connected() const noexcept { return segment_.has_value(); }
  // Leaves the name in place when this Link goes away (it stays an owner otherwise).
  void disown() noexcept {
    if (segment_) segment_->set_owner(false);
  }
  std::byte* base() const noexcept { return segment_ ? segment_->base() : nullptr; }
  std::uint64_t mapped_size() const noexcept { return segment_ ? segment_->len() : 0; }
  int fd() const noexcept { return segment_ ? segment_->fd() : -1; }
  const std::string& name() const noexcept { return name_; }
  std::uint8_t dtype() const noexcept { return dtype_; }
  bool delayed_connect() const noexcept { return delayed_connect_; }

 private:
  quillmere_core::Result<void> claim(shm::Shmem& shmem) const;
  void release() noexcept;

  std::string name_;
  std::optional<shm::Shmem> segment_;
  bool delayed_connect_;
  std::uint8_t dtype_;
  std::optional<Role> role_;
};

}  // namespace quillmere::endpoint
