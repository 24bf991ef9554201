// Helpers for the channel tests: looking at and preparing segments from outside, the way
// another (possibly crashed or foreign) process would see or leave them.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillmere-core/src/metadata.hpp"
#include "shm/src/shmem.hpp"
#include "shm_test_support.hpp"

namespace quillmere::testing {

namespace offset = quillmere_core::metadata::offset;

inline bool segment_exists(std::string_view name) {
  int fd = ::shm_open(std::string(name).c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// A fresh mapping of the named object (no owner); aborts the test process when missing.
inline shm::Shmem map_existing(std::string_view name) {
  auto opened = shm::ShmemConf{}.os_id(name).open();
  if (!opened) std::abort();
  return std::move(*opened);
}

inline std::atomic_ref<std::uint64_t> word_at(const shm::Shmem& shmem, std::size_t offset) {
  return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(shmem.base() + offset));
}

// Reads a header word through a mapping of its own.
inline std::uint64_t header_word(std::string_view name, std::size_t offset) {
  auto shmem = map_existing(name);
  // seq_cst: a test-side observation of words that other processes CAS.
  return word_at(shmem, offset).load(std::memory_order_seq_cst);
}

inline void set_header_word(std::string_view name, std::size_t offset, std::uint64_t value) {
  auto shmem = map_existing(name);
  // seq_cst: stands in for another process's store.
  word_at(shmem, offset).store(value, std::memory_order_seq_cst);
}

// An object as a creator that died before writing a header leaves it: `size` zero bytes
// (size 0: it died even before sizing it).
inline void make_raw_object(std::string_view name, std::uint64_t size) {
  int fd = ::shm_open(std::string(name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
  if (fd < 0) std::abort();
  if (size != 0 && ::ftruncate(fd, static_cast<off_t>(size)) != 0) std::abort();
  ::close(fd);
}

// Resizes an existing object behind the back of everybody who mapped it.
inline void truncate_object(std::string_view name, std::uint64_t size) {
  int fd = ::shm_open(std::string(name).c_str(), O_RDWR, 0);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) std::abort();
  ::close(fd);
}

// A payload that names its own entry: every byte derived from `seq`, so a reader can check
// both which entry it got and that the copy is whole.
inline std::vector<std::byte> payload_for(std::uint64_t seq, std::size_t length) {
  std::vector<std::byte> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = std::byte((seq * 31 + i) & 0xff);
  return bytes;
}

inline std::string pid_text(pid_t pid) {
  return std::to_string(pid);
}

}  // namespace quillmere::testing
