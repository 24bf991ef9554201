// Named POSIX shared-memory objects, mapped read-write and shared.
//
// This layer knows names, descriptors and mappings, nothing of the ring format. It offers
// exclusive creation at a given size, opening at whatever size the object has, and release.
// A handle's owner flag decides whether releasing it also removes the name; removal is tied
// to the flag alone, so a fork child that releases an inherited owner handle removes it too.
// Nothing here retries, sleeps, logs or throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quillmere::shm {

struct ShmemError {
  enum class Variant {
    SizeZero,           // create with requested size 0
    NameExists,         // create: shm_open said EEXIST
    CreateFailed,       // create: name conversion, shm_open, mmap
    UnexpectedOsError,  // create: ftruncate
    OpenFailed,         // open: name conversion, shm_open, fstat, mmap
    ReserveFailed,      // create: posix_fallocate could not back the object with memory
  };
  Variant variant;
  std::int32_t errno_value;  // 0 for variants without errno, and for undefined errno values

  std::string display() const;
};

// The mapping record of one open object.
struct MapData {
  std::string os_id;
  std::uint64_t map_size = 0;
  std::byte* base = nullptr;
  int fd = -1;
  bool owner = false;
};

class Shmem;

// One request: the object name, the size to create with, and the owner flag.
class ShmemConf {
 public:
  ShmemConf& os_id(std::string_view name);
  ShmemConf& size(std::uint64_t bytes);

  // Exclusive creation; the handle is an owner. A failure after the object was made removes
  // the name again, so nothing is left behind. The handle comes back holding the object's
  // exclusive advisory lock (see Shmem::try_lock), taken before the object got its size, so
  // the creator can prepare the contents before anybody who opens it may act on them.
  std::expected<Shmem, ShmemError> create();
  // Opens an existing object and maps it at its current size; the handle is no owner.
  std::expected<Shmem, ShmemError> open();

  const std::string& name() const noexcept { return os_id_; }
  std::uint64_t requested_size() const noexcept { return size_; }
  bool owner() const noexcept { return owner_; }

 private:
  friend class Shmem;
  std::string os_id_;
  std::uint64_t size_ = 0;
  bool owner_ = false;
};

// One open, mapped object. Move-only; destruction is the release sequence (munmap, then
// shm_unlink when owner, then close) and never fails.
class Shmem {
 public:
  Shmem(Shmem&& other) noexcept;
  Shmem& operator=(Shmem&& other) noexcept;
  Shmem(const Shmem&) = delete;
  Shmem& operator=(const Shmem&) = delete;
  ~Shmem();

  std::byte* base() const noexcept { return map_.base; }
  std::uint64_t len() const noexcept { return map_.map_size; }
  const std::string& os_id() const noexcept { return map_.os_id; }
  int fd() const noexcept { return map_.fd; }
  void set_owner(bool owner) noexcept {
    map_.owner = owner;  // the two copies always move together: one flag in effect
    conf_.owner_ = owner;
  }
  bool is_owner() const noexcept { return map_.owner; }

  // The object's exclusive advisory lock (flock on this handle's open file), non-blocking.
  // Held by the creator from creation until it unlocks; dropped by the kernel when the
  // handle is released or its process dies, so a crashed holder never leaves it taken.
  bool try_lock() noexcept;
  void unlock() noexcept;

 private:
  friend class ShmemConf;
  Shmem(ShmemConf conf, MapData map) noexcept;
  void release() noexcept;

  ShmemConf conf_;
  MapData map_;
};

// Removes a channel's name: opens it like `open`, marks the handle owner and releases it.
// Also removes an object stuck at size 0 (its creator died before sizing it), which `open`
// cannot map. Every failure is silent; a name the caller may not open read-write stays.
void unlink(std::string_view name) noexcept;

}  // namespace quillmere::shm
