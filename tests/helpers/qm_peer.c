/* A C peer for the cross-language tests, driven over its arguments, stdin and stdout.
 *
 *   qm_peer write NAME KIND LENGTH COUNT N     create the channel, write N entries, print
 *                                              "done", keep the channel until stdin closes
 *   qm_peer read NAME KIND N [zero-copy]       wait for and read N entries, printing
 *                                              "<entry_seq> <ok|bad>" for each
 *   qm_peer hold-writer NAME KIND [LENGTH COUNT]  take the writer role (creating the channel
 *                                              with sizes), print "ready", wait for stdin
 *   qm_peer open-writer NAME KIND              try the writer role: "<STATUS> <message>"
 *
 * KIND is "bytes" or "float64". Entry k of a channel of L units holds, at element i,
 * (k * 7 + i) % 256 (bytes) or k * 1000 + i (float64), so a reader checks that each one is
 * whole. Exit status 0 unless a call failed (its status and message go to stderr). */
#include <quillmere/quillmere.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static qm_kind kind_of(const char* text) {
  return strcmp(text, "float64") == 0 ? QM_FLOAT64 : QM_BYTES;
}

static int failed(const char* what, qm_status status) {
  fprintf(stderr, "%s: %s: %s\n", what, qm_status_name(status), qm_last_error());
  return 1;
}

static void fill(void* entry, qm_kind kind, uint64_t length, uint64_t seq) {
  for (uint64_t i = 0; i < length; ++i) {
    if (kind == QM_BYTES)
      ((unsigned char*)entry)[i] = (unsigned char)((seq * 7 + i) % 256);
    else
      ((double*)entry)[i] = (double)(seq * 1000 + i);
  }
}

static int whole(const void* entry, qm_kind kind, uint64_t length, uint64_t seq) {
  size_t unit = kind == QM_BYTES ? 1 : 8;
  void* expected = malloc(length * unit);
  int same;
  fill(expected, kind, length, seq);
  same = memcmp(entry, expected, length * unit) == 0;
  free(expected);
  return same;
}

static void until_stdin_closes(void) {
  while (getchar() != EOF) {
  }
}

static int write_entries(const char* name, qm_kind kind, uint64_t length, uint64_t count,
                         uint64_t n) {
  size_t size = length * (kind == QM_BYTES ? 1 : 8);
  qm_writer* writer = NULL;
  void* entry = malloc(size);
  qm_status status = qm_writer_open(name, kind, length, count, 0, &writer);
  if (status != QM_OK) return failed("open", status);
  for (uint64_t seq = 1; seq <= n; ++seq) {
    fill(entry, kind, length, seq);
    if ((status = qm_writer_write(writer, entry, size)) != QM_OK) return failed("write", status);
  }
  printf("done\n");
  fflush(stdout);
  until_stdin_closes();
  qm_writer_close(writer);
  free(entry);
  return 0;
}

static int read_entries(const char* name, qm_kind kind, uint64_t n, int zero_copy) {
  qm_reader* reader = NULL;
  qm_status status = qm_reader_open(name, kind, 0, 0,
                                    QM_DELAYED_CONNECT | (zero_copy ? QM_ZERO_COPY : 0), &reader);
  void* entry = NULL;
  if (status != QM_OK) return failed("open", status);
  for (uint64_t got = 0; got < n;) {
    uint64_t seq = 0, length;
    const void* payload;
    qm_read_handle* held = NULL;
    if ((status = qm_reader_wait(reader, 30000000000LL)) != QM_OK) return failed("wait", status);
    length = qm_reader_entry_length(reader);
    if (zero_copy) {
      status = qm_reader_try_acquire(reader, &held);
      payload = qm_read_handle_data(held);
      seq = qm_read_handle_entry_seq(held);
    } else {
      if (entry == NULL) entry = malloc(length * (kind == QM_BYTES ? 1 : 8));
      status = qm_reader_read(reader, entry, length * (kind == QM_BYTES ? 1 : 8), &seq);
      payload = entry;
    }
    if (status == QM_EMPTY) continue;
    if (status != QM_OK) return failed("read", status);
    printf("%llu %s\n", (unsigned long long)seq, whole(payload, kind, length, seq) ? "ok" : "bad");
    fflush(stdout);
    if (held != NULL && (status = qm_reader_release(reader, held)) != QM_OK)
      return failed("release", status);
    ++got;
  }
  qm_reader_close(reader);
  free(entry);
  return 0;
}

int main(int argc, char** argv) {
  qm_writer* writer = NULL;
  qm_status status;
  if (argc >= 7 && strcmp(argv[1], "write") == 0)
    return write_entries(argv[2], kind_of(argv[3]), strtoull(argv[4], NULL, 10),
                         strtoull(argv[5], NULL, 10), strtoull(argv[6], NULL, 10));
  if (argc >= 5 && strcmp(argv[1], "read") == 0)
    return read_entries(argv[2], kind_of(argv[3]), strtoull(argv[4], NULL, 10),
                        argc >= 6 && strcmp(argv[5], "zero-copy") == 0);
  if (argc >= 4 && strcmp(argv[1], "hold-writer") == 0) {
    uint64_t length = argc >= 6 ? strtoull(argv[4], NULL, 10) : 0;
    uint64_t count = argc >= 6 ? strtoull(argv[5], NULL, 10) : 0;
    if ((status = qm_writer_open(argv[2], kind_of(argv[3]), length, count, 0, &writer)) != QM_OK)
      return failed("open", status);
    printf("ready\n");
    fflush(stdout);
    until_stdin_closes();
    qm_writer_close(writer);
    return 0;
  }
  if (argc >= 4 && strcmp(argv[1], "open-writer") == 0) {
    status = qm_writer_open(argv[2], kind_of(argv[3]), 0, 0, 0, &writer);
    printf("%s %s\n", qm_status_name(status), status == QM_OK ? "" : qm_last_error());
    qm_writer_close(writer);
    return 0;
  }
  fprintf(stderr, "usage: see the top of qm_peer.c\n");
  return 2;
}
