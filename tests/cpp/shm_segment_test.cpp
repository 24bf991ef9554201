// The segment layer against the real platform: names, creation and its clean-up, opening,
// the owner flag, and removal by name, with real processes where ownership crosses them.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "shm/src/shmem.hpp"
#include "shm_test_support.hpp"

namespace {

using quillmere::shm::Shmem;
using quillmere::shm::ShmemConf;
using quillmere::shm::ShmemError;
using quillmere::testing::Child;
using quillmere::testing::Pipe;
using quillmere::testing::ScopedName;
using V = ShmemError::Variant;

bool exists(std::string_view name) {
  int fd = ::shm_open(std::string(name).c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::expected<Shmem, ShmemError> create(std::string_view name, std::uint64_t size) {
  return ShmemConf{}.os_id(name).size(size).create();
}

std::expected<Shmem, ShmemError> open(std::string_view name) {
  return ShmemConf{}.os_id(name).open();
}

// Stores through one mapping and loads through another: the same object is behind both.
std::uint64_t& word(const Shmem& shmem) {
  return *reinterpret_cast<std::uint64_t*>(shmem.base());
}

TEST(ShmNames, ConversionRefusesLongNamesAndNulWithoutASystemCall) {
  // A '/' inside the name makes the platform refuse it with EINVAL; the conversion refuses a
  // 4096-byte name first, with ENAMETOOLONG, so that one never reaches shm_open.
  std::string reaches(4095, 'a');
  reaches[0] = '/';
  reaches[100] = '/';
  std::string too_long = reaches + "a";

  auto created = create(reaches, 4096);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().variant, V::CreateFailed);
  EXPECT_EQ(created.error().errno_value, EINVAL);
  EXPECT_EQ(open(reaches).error().errno_value, EINVAL);

  created = create(too_long, 4096);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().variant, V::CreateFailed);
  EXPECT_EQ(created.error().errno_value, ENAMETOOLONG);
  EXPECT_EQ(open(too_long).error().variant, V::OpenFailed);
  EXPECT_EQ(open(too_long).error().errno_value, ENAMETOOLONG);

  std::string with_nul("/qm-nul\0tail", 12);
  EXPECT_EQ(create(with_nul, 4096).error().errno_value, EINVAL);
  EXPECT_EQ(open(with_nul).error().errno_value, EINVAL);
  EXPECT_FALSE(exists("/qm-nul"));
}

TEST(ShmCreate, SizeZeroAndExistingName) {
  ScopedName name("exists");
  auto zero = create(name, 0);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().variant, V::SizeZero);
  EXPECT_EQ(zero.error().errno_value, 0);
  EXPECT_FALSE(exists(name));

  auto first = create(name, 4096);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->is_owner());
  EXPECT_EQ(first->len(), 4096u);
  EXPECT_EQ(word(*first), 0u);  // a freshly sized object reads all zero

  auto second = create(name, 4096);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().variant, V::NameExists);
  EXPECT_EQ(second.error().errno_value, 0);
  // The loser must not have removed the winner's name.
  EXPECT_TRUE(exists(name));
}

TEST(ShmCreate, SizeBeyondTheFileSystemFailsAtOnceAndLeavesNothing) {
  ScopedName name("huge");
  // Far more than any tmpfs on this machine can hold: the reservation refuses it before
  // allocating anything, and the half-made object is removed again.
  auto created = create(name, std::uint64_t{1} << 50);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().variant, V::ReserveFailed);
  EXPECT_EQ(created.error().errno_value, ENOSPC);
  EXPECT_FALSE(exists(name));

  created = create(name, ~std::uint64_t{0});  // beyond what a file offset can express
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().variant, V::ReserveFailed);
  EXPECT_EQ(created.error().errno_value, EFBIG);
  EXPECT_FALSE(exists(name));

  // The name is free again for a create that fits.
  EXPECT_TRUE(create(name, 4096));
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The sanitizers' runtimes reserve far more address space than the limit below allows, so
// this one runs only in the plain build.
TEST(ShmCreate, FailedMappingRemovesTheName) {
  ScopedName name("nomap");
  Child child([&] {
    // The object itself can be backed, but this process may not map it: its address space
    // is capped a little above what it already uses.
    std::uint64_t pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    if (pages == 0) return 9;
    rlim_t cap = pages * ::sysconf(_SC_PAGESIZE) + (std::uint64_t{16} << 20);
    rlimit limit{cap, cap};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) return 10;
    auto created = create(name, std::uint64_t{64} << 20);
    if (created) return 11;
    if (created.error().variant != V::CreateFailed) return 12;
    if (created.error().errno_value != ENOMEM) return 13;
    return exists(name) ? 14 : 0;
  });
  EXPECT_EQ(child.wait(), 0);
}
#endif

TEST(ShmOpen, MapsTheCurrentSizeAndIsNoOwner) {
  ScopedName name("open");
  auto created = create(name, 3 * 4096);
  ASSERT_TRUE(created);
  auto opened = open(name);
  ASSERT_TRUE(opened);
  EXPECT_FALSE(opened->is_owner());
  EXPECT_EQ(opened->len(), 3u * 4096);
  word(*created) = 77;
  EXPECT_EQ(word(*opened), 77u);
  opened = open(name);  // move-assigning releases the first opened handle; no owner, name stays
  ASSERT_TRUE(opened);
  EXPECT_TRUE(exists(name));
}

TEST(ShmOpen, MissingAndUnsizedObjectsFail) {
  ScopedName name("unsized");
  auto missing = open(name);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().variant, V::OpenFailed);
  EXPECT_EQ(missing.error().errno_value, ENOENT);

  // What a creator leaves when it dies between creating and sizing the object.
  int fd = ::shm_open(name.str().c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  auto unsized = open(name);
  ASSERT_FALSE(unsized);
  EXPECT_EQ(unsized.error().variant, V::OpenFailed);
  EXPECT_EQ(unsized.error().errno_value, EINVAL);
  EXPECT_TRUE(exists(name));  // an open failure never touches the name
}

TEST(ShmRelease, OwnerFlagDecidesRemovalAndMappingsSurviveIt) {
  ScopedName name("owner");
  std::optional<Shmem> owner(*create(name, 4096));
  std::optional<Shmem> other(*open(name));
  Pipe opened, removed;
  Child child([&] {
    auto mine = open(name);  // a mapping in another process, made before the removal
    opened.send(mine ? 'x' : 'e');
    if (!mine) return 10;
    if (removed.receive() != 'x') return 11;
    if (exists(name)) return 12;
    word(*mine) = 4242;  // still a working mapping of the same object
    return 0;
  });
  ASSERT_EQ(opened.receive(), 'x');
  other.reset();  // no owner: the name stays
  EXPECT_TRUE(exists(name));
  std::optional<Shmem> watcher(*open(name));
  owner.reset();  // owner: the name goes
  EXPECT_FALSE(exists(name));
  removed.send();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(word(*watcher), 4242u);
  // A later create under the same name makes a new, unrelated object.
  auto fresh = create(name, 4096);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(word(*fresh), 0u);
}

TEST(ShmRelease, SetOwnerMovesTheDuty) {
  ScopedName name("setowner");
  std::optional<Shmem> created(*create(name, 4096));
  created->set_owner(false);
  created.reset();
  EXPECT_TRUE(exists(name));
  std::optional<Shmem> opened(*open(name));
  opened->set_owner(true);
  EXPECT_TRUE(opened->is_owner());
  opened.reset();
  EXPECT_FALSE(exists(name));
}

TEST(ShmRelease, ForkChildReleasingAnInheritedOwnerHandleRemovesTheName) {
  ScopedName name("forkowner");
  std::optional<Shmem> owner(*create(name, 4096));
  Child child([&] {
    owner.reset();
    return exists(name) ? 1 : 0;
  });
  EXPECT_EQ(child.wait(), 0);
  EXPECT_FALSE(exists(name));
  word(*owner) = 1;  // the parent's mapping is untouched
}

TEST(ShmRelease, MovedFromHandleReleasesNothing) {
  ScopedName name("moved");
  auto created = create(name, 4096);
  ASSERT_TRUE(created);
  {
    Shmem moved(std::move(*created));
    EXPECT_EQ(created->base(), nullptr);
    EXPECT_FALSE(created->is_owner());
    EXPECT_TRUE(exists(name));
  }
  EXPECT_FALSE(exists(name));
}

TEST(ShmUnlink, RemovesNamesAndIsSilentOtherwise) {
  ScopedName name("unlink");
  auto created = create(name, 4096);
  ASSERT_TRUE(created);
  created->set_owner(false);
  quillmere::shm::unlink(name);
  EXPECT_FALSE(exists(name));
  word(*created) = 5;            // the mapping outlives the name
  quillmere::shm::unlink(name);  // absent: nothing happens
  quillmere::shm::unlink(std::string(5000, 'a'));
  quillmere::shm::unlink(std::string("/a\0b", 4));
}

TEST(ShmUnlink, RemovesAnObjectStuckAtSizeZero) {
  ScopedName name("unlinkzero");
  int fd = ::shm_open(name.str().c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  quillmere::shm::unlink(name);
  EXPECT_FALSE(exists(name));
  EXPECT_TRUE(create(name, 4096));  // the name is usable again
}

TEST(ShmError, DisplayTexts) {
  EXPECT_EQ((ShmemError{V::SizeZero, 0}).display(),
            "You cannot create a shared memory mapping of 0 size");
  EXPECT_EQ((ShmemError{V::NameExists, 0}).display(),
            "Shared memory OS specific ID already exists");
  EXPECT_EQ((ShmemError{V::CreateFailed, 13}).display(),
            "Creating the shared memory failed, os error 13");
  EXPECT_EQ((ShmemError{V::UnexpectedOsError, 27}).display(),
            "An unexpected OS error occurred, os error 27");
  EXPECT_EQ((ShmemError{V::OpenFailed, 2}).display(),
            "Opening the shared memory failed, os error 2");
  EXPECT_EQ((ShmemError{V::ReserveFailed, 28}).display(),
            "Reserving memory to back the shared memory failed, os error 28");
}

}  // namespace
