"""Stream float64 frames from one writer process to two reader processes.

- The writer publishes a frame every few milliseconds with `Float64Writer.write`.
- The copying reader keeps up and copies each frame into one preallocated array
  (`read(out=...)`), so its loop allocates nothing but the result tuple.
- The lagging reader pretends to be slow. The ring keeps only the newest
  `SLOTS` frames, so it falls behind: a plain `read()` then returns the oldest
  frame still in the ring (the skip shows as a gap in `entry_seq`), and when it
  is far behind it jumps to the newest frame with
  `read(from_entry_seq=reader.writer_entry_seq - 1)`.

Run it with `python examples/stream_frames.py`; it finishes by itself in a few
seconds and removes its channel.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from collections.abc import Callable

import numpy
import numpy.typing as npt

import quillmere

FRAMES = 200
ELEMENTS = 256  # float64 values per frame (2 KiB)
SLOTS = 8  # the ring keeps the newest 8 frames
WRITE_PERIOD = 0.005  # seconds between frames
SLOW_WORK = 0.02  # the lagging reader's pretend processing time per frame
END = -1.0  # frame[0] of the last frame: end of stream

ROLES = ("writer", "copying", "lagging")  # the child processes, in start order
Entry = tuple[int, npt.NDArray[numpy.float64]]  # (entry_seq, frame)


def make_frame(frame_no: int) -> npt.NDArray[numpy.float64]:
    frame = numpy.sin(numpy.linspace(0.0, 6.283, ELEMENTS) + 0.01 * frame_no)
    frame[0] = frame_no
    return frame


def run_writer(name: str) -> None:
    writer = quillmere.Float64Writer(name)  # attaches: the channel exists already
    print("ready", flush=True)
    sys.stdin.readline()  # wait until both readers are attached
    for frame_no in range(1, FRAMES + 1):
        writer.write(make_frame(frame_no))
        time.sleep(WRITE_PERIOD)
    writer.write(numpy.full(ELEMENTS, END))
    print(f"writer:  wrote {FRAMES} frames and an end marker, last entry_seq {writer.last_entry_seq}")


def wait_for_frame(read: Callable[[], Entry | None], deadline: float) -> Entry:
    while time.monotonic() < deadline:
        got = read()
        if got is not None:
            return got
        time.sleep(0.0005)  # nothing newer yet: reads never block, so poll
    raise SystemExit("reader: gave up waiting for the writer")


def run_copying_reader(name: str) -> None:
    reader = quillmere.Float64Reader(name)
    out = numpy.empty(reader.entry_length)  # reused for every frame
    print("ready", flush=True)
    seqs: list[int] = []
    deadline = time.monotonic() + 30.0
    while True:
        seq, frame = wait_for_frame(lambda: reader.read(out=out), deadline)
        assert frame is out  # filled in place
        if frame[0] == END:
            break
        seqs.append(seq)
    gaps = sum(1 for a, b in zip(seqs, seqs[1:]) if b != a + 1)
    print(
        f"copying: read {len(seqs)} of {FRAMES} frames into one preallocated array, "
        f"entry_seq {seqs[0]}..{seqs[-1]}, {gaps} gaps"
    )


def run_lagging_reader(name: str) -> None:
    reader = quillmere.Float64Reader(name)
    print("ready", flush=True)
    seqs: list[int] = []
    lapped = jumped = 0
    deadline = time.monotonic() + 30.0
    while True:
        if len(seqs) % 10 == 9:
            # Every tenth frame it decides the backlog is stale and takes the
            # newest frame instead, skipping everything in between.
            newest = reader.writer_entry_seq - 1
            seq, frame = wait_for_frame(lambda: reader.read(from_entry_seq=newest), deadline)
            jumped += 1
        else:
            # A plain read after the writer went round the ring returns the
            # oldest frame still there: the frames lost show only as a gap.
            seq, frame = wait_for_frame(reader.read, deadline)
            if seqs and seq != seqs[-1] + 1:
                lapped += 1
        if frame[0] == END:
            break
        seqs.append(seq)
        time.sleep(SLOW_WORK)  # pretend to do slow work on the frame
    print(
        f"lagging: read {len(seqs)} of {FRAMES} frames: lapped {lapped} times, "
        f"jumped to the newest frame {jumped} times; first entry_seqs {seqs[:12]}"
    )


def main() -> None:
    name = f"/quillmere-stream-example-{os.getpid()}"
    # This process creates the channel, so it exists before any child starts and
    # outlives them all; the children only attach.
    keeper = quillmere.Float64Reader(name, entry_length=ELEMENTS, entry_count=SLOTS)
    children: list[subprocess.Popen[str]] = []
    try:
        for role in ROLES:
            children.append(
                subprocess.Popen(
                    [sys.executable, __file__, role, name],
                    stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE,
                    text=True,
                )
            )
        for role, child in zip(ROLES, children):  # each one attaches, then says so
            if child.stdout is None or child.stdout.readline() != "ready\n":
                raise SystemExit(f"{role} failed to start")
        for child in children:
            output, _ = child.communicate("go\n" if child is children[0] else "", timeout=30)
            print(output, end="")
        failed = [role for role, child in zip(ROLES, children) if child.returncode != 0]
        if failed:
            raise SystemExit(f"{', '.join(failed)} failed")
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait()
        del keeper
        quillmere.unlink(name)


if __name__ == "__main__":
    if len(sys.argv) == 3:
        roles = {"writer": run_writer, "copying": run_copying_reader, "lagging": run_lagging_reader}
        roles[sys.argv[1]](sys.argv[2])
    else:
        main()
