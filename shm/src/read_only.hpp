// Named shared-memory objects opened read-only, for looking at channels from outside.
//
// The directory is a parameter rather than always the platform's shared-memory directory so
// that tools can be pointed at any directory of files; a channel name "/x" is the file "x"
// there. Opening never follows a symbolic link, never blocks (a FIFO answers at once) and maps
// only regular files, with PROT_READ: nothing opened here can write to the object, and
// nothing here creates, removes or locks it. Failures carry the errno of the failing call;
// an object that is not a regular file fails with ENODEV, as mmap would refuse it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

namespace quillmere::shm {

// Where the platform keeps named shared-memory objects.
inline constexpr std::string_view kShmDirectory = "/dev/shm";

// What fstat says about an open object: which object it is, and its size now.
struct FileStatus {
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;
};

class ReadOnlyShmem {
 public:
  // Opens and maps `file` (no slash) inside `directory`; the mapping covers the object's size
  // at this moment. Fails with the errno of the failing step; size 0 fails with EINVAL.
  static std::expected<ReadOnlyShmem, int> open(std::string_view directory,
                                                std::string_view file) noexcept;

  ReadOnlyShmem(ReadOnlyShmem&& other) noexcept;
  ReadOnlyShmem& operator=(ReadOnlyShmem&& other) noexcept;
  ReadOnlyShmem(const ReadOnlyShmem&) = delete;
  ReadOnlyShmem& operator=(const ReadOnlyShmem&) = delete;
  ~ReadOnlyShmem();

  const std::byte* base() const noexcept { return base_; }
  std::uint64_t len() const noexcept { return len_; }
  // A fresh fstat of the open object, or its errno.
  std::expected<FileStatus, int> status() const noexcept;

 private:
  ReadOnlyShmem(int fd, const std::byte* base, std::uint64_t len) noexcept
      : fd_(fd), base_(base), len_(len) {}
  void release() noexcept;

  int fd_ = -1;
  const std::byte* base_ = nullptr;
  std::uint64_t len_ = 0;
};

// Removes `file` from `directory` (what shm_unlink does for the platform's directory): 0, or
// the errno. Mappings of the object in any process stay valid.
int remove_in(std::string_view directory, std::string_view file) noexcept;

// Renames `from` to `to` in `directory`, failing with EEXIST rather than replacing `to`: 0, or
// the errno. Whoever has the object open or mapped keeps it.
int rename_in(std::string_view directory, std::string_view from, std::string_view to) noexcept;

}  // namespace quillmere::shm
