"""Zero-copy frames between two processes.

A writer process fills float64 frames in place through `WriteHandle` (no bytes are copied
into the ring: numpy writes straight into the shared-memory slot) and a reader process looks
at them through `ReadHandle` with `numpy.asarray(handle.payload)` (no bytes are copied out:
the array aliases the slot, which stays pinned until the handle is released).

Run it with `python examples/zero_copy.py`; it finishes by itself in about a second and
removes its channel.
"""

from __future__ import annotations

import math
import os
import subprocess
import sys
import time

import numpy

import quillmere

FRAMES = 200
ELEMENTS = 1024  # 8 KiB per frame
SLOTS = 8


def run_writer(name: str) -> None:
    writer = quillmere.Float64Writer(name)
    phase = numpy.linspace(0.0, 2.0 * math.pi, ELEMENTS - 1)
    for frame_no in range(FRAMES):
        with writer.try_acquire() as handle:  # committed when the block ends cleanly
            frame = numpy.asarray(handle.payload)  # aliases the ring slot
            frame[0] = frame_no
            numpy.sin(phase + 0.05 * frame_no, out=frame[1:])
            del frame  # the handle refuses to commit while a view is alive
        time.sleep(0.002)
    with writer.try_acquire() as handle:
        handle.payload[0] = -1.0  # end of stream
    print(f"writer: committed {FRAMES} frames in place, last entry_seq {writer.last_entry_seq}")


def run_reader(name: str) -> None:
    reader = quillmere.Float64Reader(name, enable_zero_copy=True)
    seen = 0
    deadline = time.monotonic() + 30.0
    while time.monotonic() < deadline:
        handle = reader.try_acquire()
        if handle is None:
            time.sleep(0.0005)
            continue
        with handle:
            frame = numpy.asarray(handle.payload)  # no copy: a read-only view of the slot
            frame_no = int(frame[0])
            if frame_no < 0:
                del frame
                break
            seen += 1
            if frame_no % 50 == 0:
                print(
                    f"reader: entry_seq {handle.entry_seq:3d} frame {frame_no:3d} "
                    f"peak {frame[1:].max():+.3f} mean {frame[1:].mean():+.4f} "
                    f"(owns its data: {frame.flags.owndata}, writeable: {frame.flags.writeable})"
                )
            del frame  # must not outlive the `with` block: it aliases the ring slot
    print(f"reader: looked at {seen} of {FRAMES} frames without copying them")


def main() -> None:
    name = f"/quillmere-zero-copy-example-{os.getpid()}"
    # This process creates the channel, so it exists before either child starts and outlives
    # both of them.
    keeper = quillmere.Float64Reader(name, entry_length=ELEMENTS, entry_count=SLOTS)
    try:
        children = [
            subprocess.Popen([sys.executable, __file__, role, name])
            for role in ("reader", "writer")
        ]
        for child in children:
            try:
                child.wait(timeout=60)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        failed = [child.args[2] for child in children if child.returncode != 0]
        if failed:
            raise SystemExit(f"{', '.join(failed)} failed")
    finally:
        del keeper
        quillmere.unlink(name)


if __name__ == "__main__":
    if len(sys.argv) == 3:
        {"writer": run_writer, "reader": run_reader}[sys.argv[1]](sys.argv[2])
    else:
        main()
