/* quillmere: single-writer, many-reader shared-memory rings, from C.
 *
 * The same channels as the Python module `quillmere`: a channel is a named POSIX shared-memory
 * segment holding a ring of fixed-size entries (raw bytes or float64 vectors). One writer per
 * channel, any number of copying readers, at most one zero-copy reader. Nothing here blocks
 * except qm_reader_wait().
 *
 * Stability: everything in this header is stable across minor versions of major version 1
 * (libquillmere.so.1). Handles are opaque; no structure's layout is part of the ABI.
 *
 * Threads: a handle (writer, reader, write handle, read handle) may be used by one thread at a
 * time; different handles may be used from different threads at once. Overlapping calls on one
 * writer or reader are detected on a best-effort basis and refused with QM_ERR_BUSY. A handle
 * belongs to the process that opened it: in a fork child every call on it returns
 * QM_ERR_FORK_CHILD, and closing it there gives nothing back (no role, no hold, no name).
 *
 * Errors: every function that can fail returns a qm_status. On an error (qm_is_error()) the
 * calling thread's qm_last_error() holds the message, the same text the Python module shows
 * for the same failure. Misuse (NULL pointers, wrong sizes, a handle of another end) is an
 * error, never a crash. Closing functions accept NULL. */
#ifndef QUILLMERE_H
#define QUILLMERE_H

#include <stddef.h>
#include <stdint.h>

#if defined(QM_BUILDING_LIBRARY)
#define QM_API __attribute__((visibility("default")))
#else
#define QM_API
#endif

/* In C++ every function is noexcept: no exception ever leaves the library. */
#ifdef __cplusplus
#define QM_NOEXCEPT noexcept
extern "C" {
#else
#define QM_NOEXCEPT
#endif

/* The version this header belongs to; qm_version_number() is the one of the loaded library. */
#define QM_VERSION_MAJOR 1
#define QM_VERSION_MINOR 0
#define QM_VERSION_PATCH 0
#define QM_VERSION_NUMBER (QM_VERSION_MAJOR * 10000 + QM_VERSION_MINOR * 100 + QM_VERSION_PATCH)
#define QM_VERSION_STRING "1.0.0"

QM_API int qm_version_number(void) QM_NOEXCEPT; /* QM_VERSION_NUMBER of the loaded library */
QM_API const char* qm_version_string(void) QM_NOEXCEPT; /* static string, e.g. "1.0.0" */

typedef enum qm_status {
  QM_OK = 0,
  QM_EMPTY = 1,         /* nothing newer to read (or no record to return) */
  QM_TIMEOUT = 2,       /* qm_reader_wait(): the timeout passed first */
  QM_NOT_CONNECTED = 3, /* a deferred end found no channel yet: nothing was written or claimed */
  /* Errors, one per failure class of the Python module; qm_last_error() has the message. */
  QM_ERR_INVALID_ARGUMENT = 16, /* ValueError / TypeError: bad values, misuse of a handle */
  QM_ERR_NOT_FOUND = 17,        /* OSError: no such channel, and no sizes to create it */
  QM_ERR_OS = 18,               /* OSError: the system refused (shared memory, permissions) */
  QM_ERR_WOULD_BLOCK = 19,      /* BlockingIOError: every slot is held by the reader */
  QM_ERR_ROLE_CONFLICT = 20,    /* ChannelRoleConflict: a live process holds the role */
  QM_ERR_FORK_CHILD = 21,       /* RuntimeError: handle opened by the parent of this fork */
  QM_ERR_BUSY = 22,             /* another thread is inside a call on this handle */
  QM_ERR_NO_MEMORY = 23,        /* MemoryError */
  QM_ERR_INTERNAL = 24,         /* PanicException: a broken invariant inside the library */
  /* Not a status: makes every non-negative int a value of the type, so that a code from a
   * newer library (or garbage) passed back in is a value the library may look at. */
  QM_STATUS_MAX_ENUM = 0x7fffffff
} qm_status;

/* Non-zero for the error codes (QM_ERR_*), zero for QM_OK and the other results. */
static inline int qm_is_error(qm_status status) QM_NOEXCEPT {
  return status >= QM_ERR_INVALID_ARGUMENT;
}
/* The enumerator's name without its prefix ("OK", "ROLE_CONFLICT", ...): a static string. */
QM_API const char* qm_status_name(qm_status status) QM_NOEXCEPT;
/* The message of this thread's last error: valid until this thread's next failing call. "" when
 * no call of this thread has failed yet. Successful calls leave it as it was. */
QM_API const char* qm_last_error(void) QM_NOEXCEPT;

typedef enum qm_kind {
  QM_BYTES = 0,
  QM_FLOAT64 = 1,
  QM_KIND_MAX_ENUM = 0x7fffffff /* not a kind: any non-negative int is refused, not undefined */
} qm_kind;

enum {
  QM_DELAYED_CONNECT = 1, /* attach later (on first use) when the channel is not there yet */
  QM_ZERO_COPY = 2        /* readers only: claim the zero-copy reader role */
};

typedef struct qm_writer qm_writer;
typedef struct qm_reader qm_reader;
typedef struct qm_write_handle qm_write_handle;
typedef struct qm_read_handle qm_read_handle;

/* ---- writers ----------------------------------------------------------------------------- */

/* Opens the single writer of channel `name` ("/name"). `entry_length` is in the kind's unit
 * (bytes, or float64 elements), `entry_count` in entries; 0 means "not supplied" (both or
 * neither). With both, the channel is created (this writer then owns the name and removes it on
 * close), or an existing one is checked against them; without, it is attached. Flags:
 * QM_DELAYED_CONNECT only. On success *out owns the writer: qm_writer_close() it.
 * Returns QM_OK, QM_ERR_INVALID_ARGUMENT, QM_ERR_NOT_FOUND, QM_ERR_OS, QM_ERR_ROLE_CONFLICT,
 * QM_ERR_NO_MEMORY. *out is NULL on failure. */
QM_API qm_status qm_writer_open(const char* name, qm_kind kind, uint64_t entry_length,
                                uint64_t entry_count, int flags, qm_writer** out) QM_NOEXCEPT;

/* Copies one entry of exactly entry_length units (`size` in bytes) and publishes it.
 * QM_OK, QM_NOT_CONNECTED (deferred and still no channel: dropped, as in the module),
 * QM_ERR_INVALID_ARGUMENT (size), QM_ERR_WOULD_BLOCK, QM_ERR_BUSY, QM_ERR_FORK_CHILD, ... */
QM_API qm_status qm_writer_write(qm_writer* w, const void* data, size_t size) QM_NOEXCEPT;

/* Claims the next slot for filling in place. *out stays owned by the writer and is valid until
 * it is committed or abandoned, or the writer is closed; one handle at a time (a second claim
 * before commit is refused with QM_ERR_INVALID_ARGUMENT). QM_OK, QM_NOT_CONNECTED,
 * QM_ERR_WOULD_BLOCK, ... */
QM_API qm_status qm_writer_try_acquire(qm_writer* w, qm_write_handle** out) QM_NOEXCEPT;
QM_API void* qm_write_handle_data(qm_write_handle* h)
    QM_NOEXCEPT; /* entry_length units; NULL once done */
QM_API size_t qm_write_handle_size(const qm_write_handle* h) QM_NOEXCEPT; /* bytes; 0 once done */
/* Publishes the handle's slot; *entry_seq (if not NULL) gets its sequence number. The handle
 * is finished afterwards, also when this fails. QM_ERR_INVALID_ARGUMENT for a handle of another
 * writer or one already finished. */
QM_API qm_status qm_writer_commit(qm_writer* w, qm_write_handle* h,
                                  uint64_t* entry_seq) QM_NOEXCEPT;
/* Gives the slot up unpublished; same rules as commit. */
QM_API qm_status qm_writer_abandon(qm_writer* w, qm_write_handle* h) QM_NOEXCEPT;

/* Stores the channel's frame-type record (opaque bytes; quillmere_tools.frames writes JSON such
 * as {"descr":"|u1","shape":[480,640,3],"v":1}) unless it holds one already. Call it before the
 * first write. QM_OK when the channel holds exactly these bytes afterwards;
 * QM_ERR_INVALID_ARGUMENT when it holds another record, has no room for one, or size is 0. */
QM_API qm_status qm_writer_set_frame_type(qm_writer* w, const void* record,
                                          size_t size) QM_NOEXCEPT;

/* Properties: 0 for NULL or while a deferred writer is unconnected. */
QM_API uint64_t qm_writer_entry_length(const qm_writer* w) QM_NOEXCEPT; /* in the kind's unit */
QM_API uint64_t qm_writer_last_entry_seq(const qm_writer* w) QM_NOEXCEPT;
QM_API int qm_writer_connected(const qm_writer* w) QM_NOEXCEPT;

/* Gives the writer role back and, when this writer created the channel, removes its name.
 * Finishes an outstanding write handle. NULL is accepted. */
QM_API void qm_writer_close(qm_writer* w) QM_NOEXCEPT;

/* ---- readers ----------------------------------------------------------------------------- */

/* Opens a reader; arguments as for qm_writer_open(). Flags: QM_DELAYED_CONNECT (the module's
 * default for readers), QM_ZERO_COPY (claims the zero-copy reader role; needed for
 * qm_reader_try_acquire()). */
QM_API qm_status qm_reader_open(const char* name, qm_kind kind, uint64_t entry_length,
                                uint64_t entry_count, int flags, qm_reader** out) QM_NOEXCEPT;

/* Copies the oldest entry newer than the reader's watermark into `out` (`size` bytes, exactly
 * the entry's) and sets *entry_seq (if not NULL). QM_OK, QM_EMPTY (nothing newer, or deferred and
 * still no channel; `out` untouched), QM_ERR_INVALID_ARGUMENT (size), ... A reader the writer
 * laps skips ahead: the skip shows as a gap in entry_seq. */
QM_API qm_status qm_reader_read(qm_reader* r, void* out, size_t size,
                                uint64_t* entry_seq) QM_NOEXCEPT;
/* The same with the watermark `from_entry_seq` instead of the reader's own. */
QM_API qm_status qm_reader_read_from(qm_reader* r, uint64_t from_entry_seq, void* out, size_t size,
                                     uint64_t* entry_seq) QM_NOEXCEPT;

/* Zero-copy readers only: pins the next entry in place until qm_reader_release(). The handle is
 * owned by the reader; one at a time. QM_OK, QM_EMPTY, QM_ERR_INVALID_ARGUMENT, ... */
QM_API qm_status qm_reader_try_acquire(qm_reader* r, qm_read_handle** out) QM_NOEXCEPT;
QM_API qm_status qm_reader_try_acquire_from(qm_reader* r, uint64_t from_entry_seq,
                                            qm_read_handle** out) QM_NOEXCEPT;
QM_API const void* qm_read_handle_data(const qm_read_handle* h)
    QM_NOEXCEPT;                                                        /* NULL once released */
QM_API size_t qm_read_handle_size(const qm_read_handle* h) QM_NOEXCEPT; /* bytes; 0 once released */
QM_API uint64_t qm_read_handle_entry_seq(const qm_read_handle* h) QM_NOEXCEPT;
/* Unpins the entry; the handle is finished. QM_ERR_INVALID_ARGUMENT for a handle of another
 * reader or one already released. */
QM_API qm_status qm_reader_release(qm_reader* r, qm_read_handle* h) QM_NOEXCEPT;

/* Sleeps until the writer has published an entry newer than this reader's last one, or
 * `timeout_ns` nanoseconds pass (< 0: no limit). Uses the channel's doorbell (the writer makes
 * a system call only while someone sleeps), or polls on a channel without one or while a
 * deferred reader is unconnected. QM_OK (read now), QM_TIMEOUT, or an error. */
QM_API qm_status qm_reader_wait(qm_reader* r, int64_t timeout_ns) QM_NOEXCEPT;

QM_API uint64_t qm_reader_entry_length(const qm_reader* r) QM_NOEXCEPT; /* in the kind's unit */
QM_API uint64_t qm_reader_last_entry_seq(const qm_reader* r) QM_NOEXCEPT;
QM_API uint64_t qm_reader_writer_entry_seq(const qm_reader* r) QM_NOEXCEPT; /* loaded at the call */
QM_API int qm_reader_connected(const qm_reader* r) QM_NOEXCEPT;

/* Releases an outstanding read handle and the zero-copy role; unmaps. NULL is accepted. */
QM_API void qm_reader_close(qm_reader* r) QM_NOEXCEPT;

/* ---- channels by name -------------------------------------------------------------------- */

/* Copies channel `name`'s frame-type record into `out` (`capacity` bytes) and sets *size to its
 * length. QM_OK, QM_EMPTY (no record stored, *size = 0), QM_ERR_NOT_FOUND,
 * QM_ERR_INVALID_ARGUMENT (capacity too small: *size says how much is needed), ... */
QM_API qm_status qm_frame_type(const char* name, void* out, size_t capacity,
                               size_t* size) QM_NOEXCEPT;

/* Removes a channel's name (for leaked names; a creator removes its own). Attached processes
 * keep their mapping. Nothing happens when the name is absent. QM_OK or
 * QM_ERR_INVALID_ARGUMENT (NULL). */
QM_API qm_status qm_unlink(const char* name) QM_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUILLMERE_H */
