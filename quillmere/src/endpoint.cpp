#include "quillmere/src/endpoint.hpp"

#include "quillmere-core/src/format.hpp"

namespace quillmere::endpoint {

using quillmere_core::ErrorKind;

Link::Link(std::string_view name, std::uint8_t dtype, bool delayed_connect,
           std::optional<Role> role)
    : name_(name), delayed_connect_(delayed_connect), dtype_(dtype), role_(role) {}

Link::Link(Link&& other) noexcept
    : name_(std::move(other.name_)),
      segment_(std::exchange(other.segment_, std::nullopt)),
      delayed_connect_(other.delayed_connect_),
      dtype_(other.dtype_),
      role_(other.role_) {}

Link& Link::operator=(Link&& other) noexcept {
  if (this != &other) {
    release();
    name_ = std::move(other.name_);
    segment_ = std::exchange(other.segment_, std::nullopt);
    delayed_connect_ = other.delayed_connect_;
    dtype_ = other.dtype_;
    role_ = other.role_;
  }
  return *this;
}

Link::~Link() {
  release();
}

MaybeAttached Link::open(std::optional<std::uint64_t> entry_length,
                         std::optional<std::uint64_t> entry_count) const {
  return lifecycle::open_or_create(name_, entry_length, entry_count, dtype_, delayed_connect_);
}

MaybeAttached Link::attach() const {
  auto found = lifecycle::try_attach(name_, dtype_);
  if (!found || *found || delayed_connect_) return found;
  return quillmere_core::fail(ErrorKind::NotFound, "shared memory segment not available");
}

quillmere_core::Result<void> Link::claim(shm::Shmem& shmem) const {
  if (!role_) return {};
  return lifecycle::claim_role(
      quillmere_core::metadata::header_word(shmem.base(), role_->pid_offset), role_->name, name_);
}

// Role first, then the mapping: the role word lives in the mapping. A word that holds
// another id (taken over meanwhile, or this is a fork child of the claimant) stays as it is.
void Link::release() noexcept {
  if (!segment_) return;
  if (role_) {
    lifecycle::release_role(
        quillmere_core::metadata::header_word(segment_->base(), role_->pid_offset));
  }
  segment_.reset();
}

}  // namespace quillmere::endpoint
