// The C API in one process: entries through every path, the misuse table (codes and messages,
// never a crash), fork children, and a writer and a reader thread checking every entry.
#include <quillmere/quillmere.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capi_test_support.hpp"

namespace {

using quillmere::testing::ChannelName;

// A writer and the channel it created; closed (and the name removed) at the end of the test.
struct Channel {
  explicit Channel(const char* tag, qm_kind kind = QM_BYTES, std::uint64_t length = 64,
                   std::uint64_t count = 8)
      : name(tag) {
    EXPECT_EQ(qm_writer_open(name.str().c_str(), kind, length, count, 0, &writer), QM_OK)
        << qm_last_error();
  }
  ~Channel() { qm_writer_close(writer); }
  qm_reader* open_reader(int flags = 0) {
    qm_reader* reader = nullptr;
    EXPECT_EQ(qm_reader_open(name.str().c_str(), QM_BYTES, 0, 0, flags, &reader), QM_OK)
        << qm_last_error();
    return reader;
  }
  ChannelName name;
  qm_writer* writer = nullptr;
};

struct ReaderDeleter {
  void operator()(qm_reader* r) const { qm_reader_close(r); }
};
using ReaderPtr = std::unique_ptr<qm_reader, ReaderDeleter>;

std::vector<std::uint8_t> entry(std::uint64_t seq, std::size_t size = 64) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seq * 7 + i);
  return bytes;
}

// Lengths are in the kind's unit at the surface, in bytes for sizes.
TEST(CApi, EveryPathDeliversEachEntryWholeAndInOrder) {
  for (qm_kind kind : {QM_BYTES, QM_FLOAT64}) {
    const std::uint64_t unit = kind == QM_BYTES ? 1 : 8;
    Channel channel("capi-paths", kind, 64 / unit, 4);
    qm_reader* opened = nullptr;
    ASSERT_EQ(qm_reader_open(channel.name.str().c_str(), kind, 0, 0, QM_ZERO_COPY, &opened), QM_OK);
    ReaderPtr zero_copy(opened);
    EXPECT_EQ(qm_writer_entry_length(channel.writer), 64 / unit);
    EXPECT_EQ(qm_reader_entry_length(zero_copy.get()), 64 / unit);

    ASSERT_EQ(qm_writer_write(channel.writer, entry(1).data(), 64), QM_OK);
    qm_write_handle* slot = nullptr;
    ASSERT_EQ(qm_writer_try_acquire(channel.writer, &slot), QM_OK);
    ASSERT_EQ(qm_write_handle_size(slot), 64u);
    std::memcpy(qm_write_handle_data(slot), entry(2).data(), 64);
    std::uint64_t committed = 0;
    ASSERT_EQ(qm_writer_commit(channel.writer, slot, &committed), QM_OK);
    EXPECT_EQ(committed, 2u);

    std::vector<std::uint8_t> out(64);
    std::uint64_t seq = 0;
    ASSERT_EQ(qm_reader_read(zero_copy.get(), out.data(), 64, &seq), QM_OK);
    EXPECT_EQ(seq, 1u);
    EXPECT_EQ(out, entry(1));
    qm_read_handle* held = nullptr;
    ASSERT_EQ(qm_reader_try_acquire(zero_copy.get(), &held), QM_OK);
    EXPECT_EQ(qm_read_handle_entry_seq(held), 2u);
    EXPECT_EQ(std::memcmp(qm_read_handle_data(held), entry(2).data(), 64), 0);
    EXPECT_EQ(qm_reader_release(zero_copy.get(), held), QM_OK);
    EXPECT_EQ(qm_reader_read(zero_copy.get(), out.data(), 64, &seq), QM_EMPTY);
    ASSERT_EQ(qm_reader_read_from(zero_copy.get(), 0, out.data(), 64, &seq), QM_OK);
    EXPECT_EQ(seq, 1u);
  }
}

TEST(CApi, DeferredEndsConnectWhenTheChannelAppears) {
  ChannelName name("capi-deferred");
  qm_writer* late_writer = nullptr;
  ASSERT_EQ(qm_writer_open(name.str().c_str(), QM_BYTES, 0, 0, QM_DELAYED_CONNECT, &late_writer),
            QM_OK);
  qm_reader* opened = nullptr;
  ASSERT_EQ(qm_reader_open(name.str().c_str(), QM_BYTES, 0, 0, QM_DELAYED_CONNECT, &opened), QM_OK);
  ReaderPtr reader(opened);
  std::vector<std::uint8_t> out(64);
  EXPECT_EQ(qm_writer_write(late_writer, entry(1).data(), 64), QM_NOT_CONNECTED);
  EXPECT_EQ(qm_reader_read(reader.get(), out.data(), 64, nullptr), QM_EMPTY);
  EXPECT_EQ(qm_reader_wait(reader.get(), 0), QM_TIMEOUT);
  EXPECT_FALSE(qm_reader_connected(reader.get()));
  qm_writer_close(late_writer);  // never connected: gives nothing back

  Channel channel("capi-deferred-later");
  ReaderPtr attached(channel.open_reader(QM_DELAYED_CONNECT));
  ASSERT_EQ(qm_writer_write(channel.writer, entry(5).data(), 64), QM_OK);
  ASSERT_EQ(qm_reader_wait(attached.get(), -1), QM_OK);
  std::uint64_t seq = 0;
  ASSERT_EQ(qm_reader_read(attached.get(), out.data(), 64, &seq), QM_OK);
  EXPECT_EQ(out, entry(5));
}

// Each row misuses the API once; it must return the code and say what was wrong.
struct Misuse {
  const char* what;
  std::function<qm_status(Channel&, Channel&, qm_reader*)> call;
  qm_status status;
  std::string message;  // a part of qm_last_error()
};

TEST(CApi, MisuseReturnsACodeAndAMessage) {
  std::vector<std::uint8_t> buffer(64);
  qm_writer* none = nullptr;
  const std::vector<Misuse> table = {
      {"NULL name",
       [&](auto&, auto&, auto) { return qm_writer_open(nullptr, QM_BYTES, 8, 8, 0, &none); },
       QM_ERR_INVALID_ARGUMENT, "name must not be NULL"},
      {"NULL out",
       [](Channel& a, auto&, auto) {
         return qm_reader_open(a.name.str().c_str(), QM_BYTES, 0, 0, 0, nullptr);
       },
       QM_ERR_INVALID_ARGUMENT, "out must not be NULL"},
      {"unknown kind",
       [&](Channel& a, auto&, auto) {
         return qm_writer_open(a.name.str().c_str(), static_cast<qm_kind>(7), 8, 8, 0, &none);
       },
       QM_ERR_INVALID_ARGUMENT, "kind 7 is neither"},
      {"zero-copy writer",
       [&](Channel& a, auto&, auto) {
         return qm_writer_open(a.name.str().c_str(), QM_BYTES, 8, 8, QM_ZERO_COPY, &none);
       },
       QM_ERR_INVALID_ARGUMENT, "flags 2 include bits outside 1"},
      {"one size only",
       [&](Channel& a, auto&, auto) {
         return qm_writer_open(a.name.str().c_str(), QM_BYTES, 8, 0, 0, &none);
       },
       QM_ERR_INVALID_ARGUMENT,
       "entry_length and entry_count must both be supplied or both omitted"},
      {"missing channel",
       [&](auto&, auto&, auto) {
         qm_reader* r = nullptr;
         return qm_reader_open("/qm-capi-never-created", QM_BYTES, 0, 0, 0, &r);
       },
       QM_ERR_NOT_FOUND, "shared memory segment does not exist and sizes were not supplied"},
      {"wrong kind",
       [&](Channel& a, auto&, auto) {
         qm_reader* r = nullptr;
         return qm_reader_open(a.name.str().c_str(), QM_FLOAT64, 0, 0, 0, &r);
       },
       QM_ERR_INVALID_ARGUMENT, "dtype mismatch"},
      {"second writer",
       [&](Channel& a, auto&, auto) {
         return qm_writer_open(a.name.str().c_str(), QM_BYTES, 0, 0, 0, &none);
       },
       QM_ERR_ROLE_CONFLICT, "the writer role on channel '"},
      {"NULL writer",
       [&](auto&, auto&, auto) { return qm_writer_write(nullptr, buffer.data(), 64); },
       QM_ERR_INVALID_ARGUMENT, "writer must not be NULL"},
      {"NULL data", [](Channel& a, auto&, auto) { return qm_writer_write(a.writer, nullptr, 64); },
       QM_ERR_INVALID_ARGUMENT, "data must not be NULL"},
      {"short write",
       [&](Channel& a, auto&, auto) { return qm_writer_write(a.writer, buffer.data(), 63); },
       QM_ERR_INVALID_ARGUMENT, "expected 64 payload bytes, got 63"},
      {"short read",
       [&](Channel& a, auto&, qm_reader* r) {
         qm_writer_write(a.writer, buffer.data(), 64);
         return qm_reader_read(r, buffer.data(), 10, nullptr);
       },
       QM_ERR_INVALID_ARGUMENT, "destination holds 10 bytes, expected 64"},
      {"handle of another channel",
       [](Channel& a, Channel& b, auto) {
         qm_write_handle* h = nullptr;
         qm_writer_try_acquire(b.writer, &h);
         qm_status s = qm_writer_commit(a.writer, h, nullptr);
         qm_writer_abandon(b.writer, h);
         return s;
       },
       QM_ERR_INVALID_ARGUMENT, "belongs to another writer"},
      {"handle committed twice",
       [](Channel& a, auto&, auto) {
         qm_write_handle* h = nullptr;
         qm_writer_try_acquire(a.writer, &h);
         qm_writer_commit(a.writer, h, nullptr);
         return qm_writer_commit(a.writer, h, nullptr);
       },
       QM_ERR_INVALID_ARGUMENT, "the write handle is finished"},
      {"write over an outstanding handle",
       [&](Channel& a, auto&, auto) {
         qm_write_handle* h = nullptr;
         qm_writer_try_acquire(a.writer, &h);
         qm_status s = qm_writer_write(a.writer, buffer.data(), 64);
         qm_writer_abandon(a.writer, h);
         return s;
       },
       QM_ERR_INVALID_ARGUMENT, "a write handle of this writer is outstanding"},
      {"zero-copy call on a copying reader",
       [](auto&, auto&, qm_reader* r) {
         qm_read_handle* h = nullptr;
         return qm_reader_try_acquire(r, &h);
       },
       QM_ERR_INVALID_ARGUMENT, "zero-copy reads require a reader built with new_zero_copy"},
      {"NULL read handle",
       [](Channel& a, auto&, auto) {
         qm_reader* zc = a.open_reader(QM_ZERO_COPY);
         qm_status s = qm_reader_release(zc, nullptr);
         qm_reader_close(zc);
         return s;
       },
       QM_ERR_INVALID_ARGUMENT, "read handle must not be NULL"},
      {"another frame type",
       [](Channel& a, auto&, auto) {
         qm_writer_set_frame_type(a.writer, "one", 3);
         return qm_writer_set_frame_type(a.writer, "two", 3);
       },
       QM_ERR_INVALID_ARGUMENT, "already holds another frame-type record (3 bytes)"},
      {"frame type too large for the caller",
       [](Channel& a, auto&, auto) {
         qm_writer_set_frame_type(a.writer, "four", 4);
         char small[2];
         std::size_t size = 0;
         return qm_frame_type(a.name.str().c_str(), small, sizeof small, &size);
       },
       QM_ERR_INVALID_ARGUMENT, "has 4 bytes, more than the 2 bytes given"},
  };
  for (const Misuse& row : table) {
    SCOPED_TRACE(row.what);
    Channel a("capi-misuse-a"), b("capi-misuse-b");
    ReaderPtr reader(a.open_reader());
    EXPECT_EQ(row.call(a, b, reader.get()), row.status) << qm_status_name(row.status);
    EXPECT_NE(std::string(qm_last_error()).find(row.message), std::string::npos) << qm_last_error();
    EXPECT_TRUE(qm_is_error(row.status));
  }
}

// A fork child inherits the parent's ends but none of their roles: every call is refused, and
// closing there leaves the channel to the parent.
TEST(CApi, AForkChildCannotUseItsParentsEnds) {
  Channel channel("capi-fork");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto data = entry(1);
    const bool refused = qm_writer_write(channel.writer, data.data(), 64) == QM_ERR_FORK_CHILD &&
                         std::strstr(qm_last_error(), "cannot be used in a fork child") != nullptr;
    qm_writer_close(channel.writer);
    ::_exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(qm_writer_write(channel.writer, entry(1).data(), 64), QM_OK) << qm_last_error();
  EXPECT_TRUE(quillmere::testing::segment_exists(channel.name.str().c_str()));
}

// A writer thread and a waiting reader thread through the C API only; the reader checks every
// entry it gets (sequence ascending, payload whole). Run under TSan as well.
TEST(CApi, AWaitingReaderThreadSeesEveryEntryWhole) {
  constexpr std::uint64_t kEntries = 2000;
  Channel channel("capi-threads", QM_BYTES, 64, 4096);
  ReaderPtr reader(channel.open_reader());
  std::thread writer([&] {
    for (std::uint64_t seq = 1; seq <= kEntries; ++seq)
      ASSERT_EQ(qm_writer_write(channel.writer, entry(seq).data(), 64), QM_OK);
  });
  std::vector<std::uint8_t> out(64);
  std::uint64_t last = 0;
  while (last < kEntries) {
    ASSERT_EQ(qm_reader_wait(reader.get(), -1), QM_OK);
    std::uint64_t seq = 0;
    while (qm_reader_read(reader.get(), out.data(), 64, &seq) == QM_OK) {
      ASSERT_EQ(seq, last + 1);
      ASSERT_EQ(out, entry(seq));
      last = seq;
    }
  }
  writer.join();
}

TEST(CApi, VersionAndStatusNames) {
  EXPECT_EQ(qm_version_number(), QM_VERSION_NUMBER);
  EXPECT_STREQ(qm_version_string(), QM_VERSION_STRING);
  EXPECT_STREQ(qm_status_name(QM_ERR_ROLE_CONFLICT), "ROLE_CONFLICT");
  EXPECT_STREQ(qm_status_name(static_cast<qm_status>(99)), "UNKNOWN");
  EXPECT_FALSE(qm_is_error(QM_EMPTY));
}

}  // namespace
