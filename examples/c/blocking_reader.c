/* A blocking reader in C: sleeps on the channel's doorbell until the writer publishes, then
 * copies the entry out. Prints one line per entry: its sequence number, size and byte sum.
 *
 * Usage: blocking_reader NAME [ENTRIES]   (default 10 entries; gives up after 10 s of silence) */
#include <quillmere/quillmere.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "/camera";
  long entries = argc > 2 ? atol(argv[2]) : 10;
  qm_reader* reader = NULL;
  unsigned char* entry = NULL;
  /* Deferred: the writer may come up after us. */
  qm_status status = qm_reader_open(name, QM_BYTES, 0, 0, QM_DELAYED_CONNECT, &reader);
  while (status == QM_OK && entries > 0) {
    uint64_t seq = 0, size, sum = 0;
    status = qm_reader_wait(reader, 10000000000LL); /* 10 s, in nanoseconds */
    if (status != QM_OK) break;
    size = qm_reader_entry_length(reader); /* known once connected */
    if (entry == NULL && (entry = malloc(size)) == NULL) return 1;
    while ((status = qm_reader_read(reader, entry, size, &seq)) == QM_OK) {
      for (uint64_t i = 0; i < size; ++i) sum += entry[i];
      printf("entry %llu: %llu bytes, sum %llu\n", (unsigned long long)seq,
             (unsigned long long)size, (unsigned long long)sum);
      sum = 0;
      if (--entries == 0) break;
    }
    if (status == QM_EMPTY) status = QM_OK; /* read everything there was: wait again */
  }
  if (qm_is_error(status) || status == QM_TIMEOUT)
    fprintf(stderr, "quillmere: %s: %s\n", qm_status_name(status), qm_last_error());
  free(entry);
  qm_reader_close(reader);
  return status == QM_OK ? 0 : 1;
}
