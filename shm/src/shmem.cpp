#include "shm/src/shmem.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "quillmere-core/src/format.hpp"
#include "shm/src/name_buffer.hpp"

namespace quillmere::shm {

namespace {

// The errno numbers Linux defines; 41 and 58 are unassigned and anything above 133 is not
// in the table, so those travel as 0.
std::int32_t known_errno(int value) noexcept {
  if (value <= 0 || value > 133 || value == 41 || value == 58) return 0;
  return value;
}

std::unexpected<ShmemError> fail(ShmemError::Variant variant, int errno_value = 0) {
  return std::unexpected(ShmemError{variant, known_errno(errno_value)});
}

// Backs all `size` bytes with memory before the object shows a size to anybody who opens
// it: on tmpfs the size appears only once every page is reserved, and a full file system
// refuses here rather than with SIGBUS on first touch. Returns 0 or the errno.
int reserve(int fd, std::uint64_t size) noexcept {
  if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EFBIG;
  return ::posix_fallocate(fd, 0, static_cast<off_t>(size));
}

std::byte* map_shared(int fd, std::uint64_t size) noexcept {
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return base == MAP_FAILED ? nullptr : static_cast<std::byte*>(base);
}

// Removes a name whose object exists at size 0: a creator that died before sizing it leaves
// such an object, which `open` cannot map and which would otherwise block the name forever.
void unlink_if_unsized(const NameBuffer& name) noexcept {
  int fd = ::shm_open(name.data(), O_RDWR, 0);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size == 0) ::shm_unlink(name.data());
  ::close(fd);
}

}  // namespace

std::string ShmemError::display() const {
  using quillmere_core::format;
  switch (variant) {
    case Variant::SizeZero:
      return "You cannot create a shared memory mapping of 0 size";
    case Variant::NameExists:
      return "Shared memory OS specific ID already exists";
    case Variant::CreateFailed:
      return format("Creating the shared memory failed, os error {}", errno_value);
    case Variant::UnexpectedOsError:
      return format("An unexpected OS error occurred, os error {}", errno_value);
    case Variant::OpenFailed:
      return format("Opening the shared memory failed, os error {}", errno_value);
    case Variant::ReserveFailed:
      return format("Reserving memory to back the shared memory failed, os error {}", errno_value);
  }
  return format("Unknown shared memory error, os error {}", errno_value);
}

ShmemConf& ShmemConf::os_id(std::string_view name) {
  os_id_.assign(name);
  return *this;
}

ShmemConf& ShmemConf::size(std::uint64_t bytes) {
  size_ = bytes;
  return *this;
}

std::expected<Shmem, ShmemError> ShmemConf::create() {
  using V = ShmemError::Variant;
  if (size_ == 0) return fail(V::SizeZero);
  NameBuffer name;
  if (int error = convert_name(os_id_, name)) return fail(V::CreateFailed, error);
  int fd = ::shm_open(name.data(), O_CREAT | O_EXCL | O_RDWR, 0600);
  if (fd < 0) return errno == EEXIST ? fail(V::NameExists) : fail(V::CreateFailed, errno);
  // From here the record owns the new name: any failure below releases it, which removes
  // the name again and closes the descriptor.
  ShmemConf conf = *this;
  conf.owner_ = true;
  Shmem shmem(std::move(conf), MapData{os_id_, 0, nullptr, fd, true});
  // Nobody can map the object before it has a size, so nobody can hold the lock yet.
  shmem.try_lock();
  if (int error = reserve(fd, size_)) return fail(V::ReserveFailed, error);
  if (::ftruncate(fd, static_cast<off_t>(size_)) != 0) return fail(V::UnexpectedOsError, errno);
  std::byte* base = map_shared(fd, size_);
  if (base == nullptr) return fail(V::CreateFailed, errno);
  shmem.map_.base = base;
  shmem.map_.map_size = size_;
  return shmem;
}

std::expected<Shmem, ShmemError> ShmemConf::open() {
  using V = ShmemError::Variant;
  NameBuffer name;
  if (int error = convert_name(os_id_, name)) return fail(V::OpenFailed, error);
  int fd = ::shm_open(name.data(), O_RDWR, 0400);
  if (fd < 0) return fail(V::OpenFailed, errno);
  ShmemConf conf = *this;
  conf.owner_ = false;
  // No owner: a failure below only closes the descriptor and leaves the name alone.
  Shmem shmem(std::move(conf), MapData{os_id_, 0, nullptr, fd, false});
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(V::OpenFailed, errno);
  // An object still at size 0 (its creator has not sized it yet) fails here: the platform
  // refuses a mapping of length 0.
  auto size = static_cast<std::uint64_t>(st.st_size);
  std::byte* base = map_shared(fd, size);
  if (base == nullptr) return fail(V::OpenFailed, errno);
  shmem.map_.base = base;
  shmem.map_.map_size = size;
  return shmem;
}

Shmem::Shmem(ShmemConf conf, MapData map) noexcept : conf_(std::move(conf)), map_(std::move(map)) {}

Shmem::Shmem(Shmem&& other) noexcept
    : conf_(std::exchange(other.conf_, ShmemConf{})), map_(std::exchange(other.map_, MapData{})) {}

Shmem& Shmem::operator=(Shmem&& other) noexcept {
  if (this != &other) {
    release();
    conf_ = std::exchange(other.conf_, ShmemConf{});
    map_ = std::exchange(other.map_, MapData{});
  }
  return *this;
}

Shmem::~Shmem() {
  release();
}

bool Shmem::try_lock() noexcept {
  return ::flock(map_.fd, LOCK_EX | LOCK_NB) == 0;
}

void Shmem::unlock() noexcept {
  ::flock(map_.fd, LOCK_UN);
}

// Unmap, then remove the name when owner, then close; every failure is swallowed.
void Shmem::release() noexcept {
  if (map_.base != nullptr) ::munmap(map_.base, map_.map_size);
  if (map_.owner) {
    NameBuffer name;
    if (convert_name(map_.os_id, name) == 0) ::shm_unlink(name.data());
  }
  if (map_.fd >= 0) ::close(map_.fd);
  map_ = MapData{};
}

void unlink(std::string_view name) noexcept {
  auto opened = ShmemConf{}.os_id(name).open();
  if (opened) {
    opened->set_owner(true);  // released at the end of this scope, which removes the name
    return;
  }
  NameBuffer converted;
  if (convert_name(name, converted) == 0) unlink_if_unsized(converted);
}

}  // namespace quillmere::shm
