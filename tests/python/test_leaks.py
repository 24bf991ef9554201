"""A million calls through every path of the module leave memory and reference counts as
they were: no leaked result objects, exports, handles or references to arguments.

The loop runs in a child interpreter so that pytest's own allocations don't blur it.
Bounds are generous, yet a leak of one small object or allocation per call over 100k
rounds shows up as megabytes of resident memory or 100k allocated blocks.
"""

from __future__ import annotations

import json
import os

import quillmere

# AddressSanitizer keeps freed memory in quarantine, so resident memory grows under it
# whether or not anything leaks; LeakSanitizer reports native leaks in that pass instead.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

ROUNDS = 100_000

LOOP = """
import gc

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

name, rounds = sys.argv[1], int(sys.argv[2])
w = quillmere.BytesWriter(name, entry_length=64, entry_count=16)
r = quillmere.BytesReader(name)
z = quillmere.BytesReader(name, enable_zero_copy=True)
fw = quillmere.Float64Writer(name + "-f64", entry_length=8, entry_count=16)
fr = quillmere.Float64Reader(name + "-f64")
data, short = b"q" * 64, b"q" * 63
out, wrong_out = numpy.empty(64, numpy.uint8), numpy.empty(63, numpy.uint8)
vector, fout = numpy.arange(8.0), numpy.empty(8)
watched = [w, r, z, fw, fr, data, short, out, wrong_out, vector, fout]

def expect_error(kind, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{call} did not raise {kind.__name__}")

def round():
    w.write(data)                                            # copying write
    assert r.read()[1] == data                               # read into new bytes
    assert r.read(out=out, from_entry_seq=w.last_entry_seq - 1)[1] is out
    held = z.try_acquire()                                   # zero-copy read
    view = held.payload
    expect_error(BufferError, held.release)                  # refused while viewed
    del view
    held.release()
    handle = w.try_acquire()                                 # zero-copy write
    handle.payload[:] = data
    handle.commit()
    with z.try_acquire() as held:
        assert held.payload.nbytes == 64
    fw.write(vector)
    assert fr.read()[1][7] == 7.0                            # read into a new array
    assert fr.read(out=fout, from_entry_seq=fw.last_entry_seq - 1)[1] is fout
    expect_error(ValueError, w.write, short)                 # error paths
    expect_error(TypeError, w.write, bytearray(data))
    expect_error(ValueError, r.read, out=wrong_out)
    assert r.read()[1] == data                               # the in-place entry
    assert r.read() is None and z.try_acquire() is None      # nothing newer

for _ in range(rounds // 10):  # warm-up: caches, arenas, interned objects
    round()
gc.collect()
before = rss(), sys.getallocatedblocks(), [sys.getrefcount(o) for o in watched]
for _ in range(rounds):
    round()
gc.collect()
after = rss(), sys.getallocatedblocks(), [sys.getrefcount(o) for o in watched]
print(json.dumps({"before": before, "after": after}))
"""


def test_a_million_calls_leak_nothing(channel_name, run_python) -> None:
    try:
        child = run_python(LOOP, channel_name, str(ROUNDS), timeout=600)
    finally:
        quillmere.unlink(channel_name + "-f64")
    result = json.loads(child.stdout)
    (rss0, blocks0, refs0), (rss1, blocks1, refs1) = result["before"], result["after"]
    assert refs1 == refs0, "a call keeps (or drops) a reference to its object or argument"
    assert blocks1 - blocks0 < 1000, f"{blocks1 - blocks0} more Python objects allocated"
    if not UNDER_ASAN:
        assert rss1 - rss0 < 2 << 20, f"resident memory grew by {(rss1 - rss0) >> 10} KiB"
