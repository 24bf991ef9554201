#include "shm/src/read_only.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "shm/src/name_buffer.hpp"

namespace quillmere::shm {

namespace {

// An open directory descriptor, closed on every path out.
class DirectoryFd {
 public:
  explicit DirectoryFd(const NameBuffer& path) noexcept
      : fd_(::open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~DirectoryFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  DirectoryFd(const DirectoryFd&) = delete;
  DirectoryFd& operator=(const DirectoryFd&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// Both names as NUL-terminated strings; a file name must be one path component.
int convert_both(std::string_view directory, std::string_view file, NameBuffer& dir_out,
                 NameBuffer& file_out) noexcept {
  if (file.empty() || file.find('/') != std::string_view::npos) return EINVAL;
  if (int error = convert_name(directory, dir_out)) return error;
  return convert_name(file, file_out);
}

std::expected<FileStatus, int> status_of(int fd) noexcept {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(errno);
  if (!S_ISREG(st.st_mode)) return std::unexpected(ENODEV);
  return FileStatus{st.st_dev, st.st_ino, static_cast<std::uint64_t>(st.st_size)};
}

}  // namespace

std::expected<ReadOnlyShmem, int> ReadOnlyShmem::open(std::string_view directory,
                                                      std::string_view file) noexcept {
  NameBuffer dir_name, file_name;
  if (int error = convert_both(directory, file, dir_name, file_name)) return std::unexpected(error);
  DirectoryFd dir(dir_name);
  if (dir.get() < 0) return std::unexpected(errno);
  // Looked at before opening: opening a device or a FIFO can have effects of its own.
  struct stat st {};
  if (::fstatat(dir.get(), file_name.data(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return std::unexpected(errno);
  if (!S_ISREG(st.st_mode)) return std::unexpected(ENODEV);
  // O_NONBLOCK and O_NOFOLLOW: the name may have been replaced since the look above.
  int fd = ::openat(dir.get(), file_name.data(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  ReadOnlyShmem opened(fd, nullptr, 0);
  auto status = status_of(fd);
  if (!status) return std::unexpected(status.error());
  if (status->size == 0) return std::unexpected(EINVAL);  // mmap refuses length 0
  void* base = ::mmap(nullptr, status->size, PROT_READ, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return std::unexpected(errno);
  opened.base_ = static_cast<const std::byte*>(base);
  opened.len_ = status->size;
  return opened;
}

ReadOnlyShmem::ReadOnlyShmem(ReadOnlyShmem&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      base_(std::exchange(other.base_, nullptr)),
      len_(std::exchange(other.len_, 0)) {}

ReadOnlyShmem& ReadOnlyShmem::operator=(ReadOnlyShmem&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    base_ = std::exchange(other.base_, nullptr);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

ReadOnlyShmem::~ReadOnlyShmem() {
  release();
}

std::expected<FileStatus, int> ReadOnlyShmem::status() const noexcept {
  return status_of(fd_);
}

void ReadOnlyShmem::release() noexcept {
  if (base_ != nullptr) ::munmap(const_cast<std::byte*>(base_), len_);
  if (fd_ >= 0) ::close(fd_);
  base_ = nullptr;
  fd_ = -1;
  len_ = 0;
}

int remove_in(std::string_view directory, std::string_view file) noexcept {
  NameBuffer dir_name, file_name;
  if (int error = convert_both(directory, file, dir_name, file_name)) return error;
  DirectoryFd dir(dir_name);
  if (dir.get() < 0) return errno;
  return ::unlinkat(dir.get(), file_name.data(), 0) == 0 ? 0 : errno;
}

int rename_in(std::string_view directory, std::string_view from, std::string_view to) noexcept {
  NameBuffer dir_name, from_name, to_name;
  if (int error = convert_both(directory, from, dir_name, from_name)) return error;
  if (int error = convert_both(directory, to, dir_name, to_name)) return error;
  DirectoryFd dir(dir_name);
  if (dir.get() < 0) return errno;
  // The system call itself: glibc has had a renameat2 wrapper only since 2.28, and the wheels
  // for older systems must not need one (the call is in Linux since 3.15).
  constexpr unsigned kNoReplace = 1;  // RENAME_NOREPLACE
  return ::syscall(SYS_renameat2, dir.get(), from_name.data(), dir.get(), to_name.data(),
                   kNoReplace) == 0
             ? 0
             : errno;
}

}  // namespace quillmere::shm
