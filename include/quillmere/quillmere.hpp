// quillmere for C++20 and later: RAII ends and handles over the C API of <quillmere/quillmere.h>.
//
// Header-only: a program depends on libquillmere.so.1's C ABI alone, never on the C++ ABI of
// the library. Failures throw quillmere::Error (the C status and the library's message);
// "nothing newer" is an empty optional, not an exception. Threads and fork children: as for the
// C handles (one thread at a time per object).
#ifndef QUILLMERE_HPP
#define QUILLMERE_HPP

#include <quillmere/quillmere.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

namespace quillmere {

enum class Kind { bytes = QM_BYTES, float64 = QM_FLOAT64 };

struct Options {
  std::uint64_t entry_length = 0;  // in the kind's unit; 0 with entry_count 0: attach only
  std::uint64_t entry_count = 0;
  bool delayed_connect = false;
  bool zero_copy = false;  // readers only
};

class Error : public std::runtime_error {
 public:
  Error(qm_status code, const char* message) : std::runtime_error(message), code_(code) {}
  qm_status code() const noexcept { return code_; }

 private:
  qm_status code_;
};

namespace detail {
// Throws for an error status; returns the others (QM_OK, QM_EMPTY, ...).
inline qm_status check(qm_status status) {
  if (qm_is_error(status)) throw Error(status, qm_last_error());
  return status;
}
// Readers attach later by default, as in the Python module.
inline Options reader_defaults() noexcept {
  Options options;
  options.delayed_connect = true;
  return options;
}
inline int flags(const Options& options) noexcept {
  return (options.delayed_connect ? QM_DELAYED_CONNECT : 0) |
         (options.zero_copy ? QM_ZERO_COPY : 0);
}
}  // namespace detail

// One entry copied out: its sequence number (the bytes went to the caller's buffer).
struct Entry {
  std::uint64_t entry_seq;
};

class Writer;
class Reader;

// A slot being filled in place; abandoned unless committed. Lives no longer than its Writer.
class WriteHandle {
 public:
  WriteHandle(WriteHandle&& other) noexcept
      : writer_(std::exchange(other.writer_, nullptr)), handle_(other.handle_) {}
  WriteHandle& operator=(WriteHandle&&) = delete;
  ~WriteHandle() {
    if (writer_ != nullptr) qm_writer_abandon(writer_, handle_);
  }
  std::span<std::byte> payload() const noexcept {
    return {static_cast<std::byte*>(qm_write_handle_data(handle_)), qm_write_handle_size(handle_)};
  }
  // Publishes the entry and returns its entry_seq.
  std::uint64_t commit() {
    std::uint64_t seq = 0;
    detail::check(qm_writer_commit(std::exchange(writer_, nullptr), handle_, &seq));
    return seq;
  }

 private:
  friend class Writer;
  WriteHandle(qm_writer* writer, qm_write_handle* handle) noexcept
      : writer_(writer), handle_(handle) {}
  qm_writer* writer_;
  qm_write_handle* handle_;
};

class Writer {
 public:
  Writer(const std::string& name, Kind kind, const Options& options = {}) {
    detail::check(qm_writer_open(name.c_str(), static_cast<qm_kind>(kind), options.entry_length,
                                 options.entry_count, detail::flags(options), &writer_));
  }
  Writer(Writer&& other) noexcept : writer_(std::exchange(other.writer_, nullptr)) {}
  Writer& operator=(Writer&& other) noexcept {
    std::swap(writer_, other.writer_);
    return *this;
  }
  ~Writer() { qm_writer_close(writer_); }

  // False when a deferred writer still finds no channel (the entry is dropped).
  bool write(std::span<const std::byte> entry) {
    return detail::check(qm_writer_write(writer_, entry.data(), entry.size())) == QM_OK;
  }
  // Empty when a deferred writer still finds no channel.
  std::optional<WriteHandle> try_acquire() {
    qm_write_handle* handle = nullptr;
    if (detail::check(qm_writer_try_acquire(writer_, &handle)) != QM_OK) return std::nullopt;
    return WriteHandle(writer_, handle);
  }
  void set_frame_type(std::span<const std::byte> record) {
    detail::check(qm_writer_set_frame_type(writer_, record.data(), record.size()));
  }

  std::uint64_t entry_length() const noexcept { return qm_writer_entry_length(writer_); }
  std::uint64_t last_entry_seq() const noexcept { return qm_writer_last_entry_seq(writer_); }
  bool connected() const noexcept { return qm_writer_connected(writer_) != 0; }
  qm_writer* get() const noexcept { return writer_; }

 private:
  qm_writer* writer_ = nullptr;
};

// An entry pinned in place (zero-copy readers); released when it goes away.
class ReadHandle {
 public:
  ReadHandle(ReadHandle&& other) noexcept
      : reader_(std::exchange(other.reader_, nullptr)), handle_(other.handle_) {}
  ReadHandle& operator=(ReadHandle&&) = delete;
  ~ReadHandle() {
    if (reader_ != nullptr) qm_reader_release(reader_, handle_);
  }
  std::span<const std::byte> payload() const noexcept {
    return {static_cast<const std::byte*>(qm_read_handle_data(handle_)),
            qm_read_handle_size(handle_)};
  }
  std::uint64_t entry_seq() const noexcept { return qm_read_handle_entry_seq(handle_); }
  void release() { detail::check(qm_reader_release(std::exchange(reader_, nullptr), handle_)); }

 private:
  friend class Reader;
  ReadHandle(qm_reader* reader, qm_read_handle* handle) noexcept
      : reader_(reader), handle_(handle) {}
  qm_reader* reader_;
  qm_read_handle* handle_;
};

class Reader {
 public:
  Reader(const std::string& name, Kind kind, const Options& options = detail::reader_defaults()) {
    detail::check(qm_reader_open(name.c_str(), static_cast<qm_kind>(kind), options.entry_length,
                                 options.entry_count, detail::flags(options), &reader_));
  }
  Reader(Reader&& other) noexcept : reader_(std::exchange(other.reader_, nullptr)) {}
  Reader& operator=(Reader&& other) noexcept {
    std::swap(reader_, other.reader_);
    return *this;
  }
  ~Reader() { qm_reader_close(reader_); }

  // Copies the next entry into `out` (exactly entry_length bytes); empty when nothing is newer.
  std::optional<Entry> read(std::span<std::byte> out) {
    std::uint64_t seq = 0;
    if (detail::check(qm_reader_read(reader_, out.data(), out.size(), &seq)) != QM_OK) return {};
    return Entry{seq};
  }
  std::optional<Entry> read_from(std::uint64_t from_entry_seq, std::span<std::byte> out) {
    std::uint64_t seq = 0;
    if (detail::check(qm_reader_read_from(reader_, from_entry_seq, out.data(), out.size(), &seq)) !=
        QM_OK)
      return {};
    return Entry{seq};
  }
  std::optional<ReadHandle> try_acquire() {
    qm_read_handle* handle = nullptr;
    if (detail::check(qm_reader_try_acquire(reader_, &handle)) != QM_OK) return std::nullopt;
    return ReadHandle(reader_, handle);
  }
  // True when something newer is there to read; false when `timeout_ns` passed (< 0: no limit).
  bool wait(std::int64_t timeout_ns) {
    return detail::check(qm_reader_wait(reader_, timeout_ns)) == QM_OK;
  }

  std::uint64_t entry_length() const noexcept { return qm_reader_entry_length(reader_); }
  std::uint64_t last_entry_seq() const noexcept { return qm_reader_last_entry_seq(reader_); }
  std::uint64_t writer_entry_seq() const noexcept { return qm_reader_writer_entry_seq(reader_); }
  bool connected() const noexcept { return qm_reader_connected(reader_) != 0; }
  qm_reader* get() const noexcept { return reader_; }

 private:
  qm_reader* reader_ = nullptr;
};

inline void unlink(const std::string& name) {
  detail::check(qm_unlink(name.c_str()));
}

}  // namespace quillmere

#endif  // QUILLMERE_HPP
