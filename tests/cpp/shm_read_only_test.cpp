// Read-only mappings of objects in a directory: what they map, what they refuse, and removal
// by file name, in the platform's shared-memory directory and in a scratch directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "shm/src/read_only.hpp"
#include "shm/src/shmem.hpp"
#include "shm_test_support.hpp"

namespace {

using quillmere::shm::ReadOnlyShmem;
using quillmere::shm::remove_in;
using quillmere::testing::ScopedName;

// A directory of its own for each test, removed with everything in it afterwards.
class ReadOnlyInDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qm-read-only-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(std::string_view file) const { return dir_ + "/" + std::string(file); }
  void write_file(std::string_view file, std::string_view bytes) const {
    int fd = ::open(path(file).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  int open_error(std::string_view file) const {
    auto opened = ReadOnlyShmem::open(dir_, file);
    return opened ? 0 : opened.error();
  }

  std::string dir_;
};

TEST(ReadOnlyShmemTest, MapsANamedSegmentAndSeesItsWrites) {
  ScopedName name("ro");
  auto created = quillmere::shm::ShmemConf{}.os_id(name).size(4096).create();
  ASSERT_TRUE(created);
  auto opened = ReadOnlyShmem::open(quillmere::shm::kShmDirectory, name.str().substr(1));
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_EQ(opened->len(), 4096u);
  std::memcpy(created->base() + 100, "seen", 4);
  EXPECT_EQ(std::memcmp(opened->base() + 100, "seen", 4), 0);
  struct stat st {};
  ASSERT_EQ(::fstat(created->fd(), &st), 0);
  auto status = opened->status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->inode, st.st_ino);
  EXPECT_EQ(status->device, st.st_dev);
}

TEST_F(ReadOnlyInDirectoryTest, RefusesWhatCannotBeAChannelWithItsErrno) {
  write_file("empty", "");
  write_file("file", "bytes");
  ASSERT_EQ(::mkdir(path("directory").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);  // opening it must not block
  ASSERT_EQ(::symlink(path("file").c_str(), path("link").c_str()), 0);
  EXPECT_EQ(open_error("missing"), ENOENT);
  EXPECT_EQ(open_error("empty"), EINVAL);
  EXPECT_EQ(open_error("directory"), ENODEV);
  EXPECT_EQ(open_error("fifo"), ENODEV);
  EXPECT_EQ(open_error("link"), ENODEV);
  EXPECT_EQ(open_error("a/file"), EINVAL);
  EXPECT_EQ(open_error(""), EINVAL);
  EXPECT_EQ(open_error(std::string(5000, 'x')), ENAMETOOLONG);
  EXPECT_EQ(open_error("file"), 0);
  auto missing_directory = ReadOnlyShmem::open(path("nowhere"), "file");
  ASSERT_FALSE(missing_directory);
  EXPECT_EQ(missing_directory.error(), ENOENT);
}

TEST_F(ReadOnlyInDirectoryTest, RemovalLeavesMappingsValid) {
  write_file("segment", "still mapped");
  auto opened = ReadOnlyShmem::open(dir_, "segment");
  ASSERT_TRUE(opened);
  EXPECT_EQ(remove_in(dir_, "segment"), 0);
  EXPECT_EQ(open_error("segment"), ENOENT);
  EXPECT_EQ(remove_in(dir_, "segment"), ENOENT);
  EXPECT_EQ(std::memcmp(opened->base(), "still mapped", 12), 0);
}

}  // namespace
