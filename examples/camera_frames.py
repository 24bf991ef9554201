"""Camera frames through a typed channel: one producer, a copying and a zero-copy consumer.

The producer writes 640x480 RGB `uint8` frames at 30 fps with `FrameWriter.write` (one copy,
straight into the ring slot). The consumers name only the channel: the frame type comes from
the record the producer stored in it.
  - the copying consumer reads every frame into one preallocated array (`read(out=)`);
  - the zero-copy consumer computes each frame's mean brightness in place (`acquire()`),
    with a read-only view of the ring slot that is gone before the slot is released.

Run it with `python examples/camera_frames.py`; it finishes by itself in about four seconds
and removes its channel.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from typing import Any

import numpy
import numpy.typing as npt

from quillmere_tools.frames import FrameReader, FrameWriter

HEIGHT, WIDTH = 480, 640
FPS = 30
FRAMES = 90
SLOTS = 8
TIMEOUT = 30.0


def render(image: npt.NDArray[numpy.uint8], frame_no: int) -> None:
    """A moving test pattern: red ramps across, green down, blue counts frames."""
    image[:, :, 0] = (numpy.arange(WIDTH) + 4 * frame_no) % 256
    image[:, :, 1] = (numpy.arange(HEIGHT) % 256)[:, None]
    image[:, :, 2] = frame_no % 256


def produce(name: str, consumers: list[subprocess.Popen[str]]) -> None:
    writer = FrameWriter(name, dtype=numpy.uint8, shape=(HEIGHT, WIDTH, 3), entry_count=SLOTS)
    for consumer in consumers:  # both attached: nothing is lost to their start-up
        assert consumer.stdout is not None and consumer.stdout.readline() == "ready\n"
    image = numpy.empty((HEIGHT, WIDTH, 3), numpy.uint8)  # stands in for the camera's buffer
    start = time.monotonic()
    for frame_no in range(1, FRAMES + 1):
        render(image, frame_no)
        writer.write(image)
        time.sleep(max(0.0, start + frame_no / FPS - time.monotonic()))
    print(f"producer: {FRAMES} frames of {writer.shape} {writer.dtype} at {FPS} fps", flush=True)
    for consumer in consumers:
        consumer.wait(timeout=TIMEOUT)


def consume_by_copy(name: str) -> None:
    reader = FrameReader(name)
    print("ready", flush=True)
    out: npt.NDArray[Any] | None = None  # the first read allocates it, later reads refill it
    seen, deadline = 0, time.monotonic() + TIMEOUT
    while reader.last_entry_seq < FRAMES and time.monotonic() < deadline:
        entry = reader.read(out=out)
        if entry is None:
            time.sleep(0.002)
            continue
        out = entry[1]  # `out` itself from the second read on
        seen += 1
    assert out is not None
    print(f"copying:   {seen} of {FRAMES} frames into one array, last entry_seq "
          f"{reader.last_entry_seq}, blue {out[0, 0, 2]}", flush=True)


def consume_in_place(name: str) -> None:
    reader = FrameReader(name, enable_zero_copy=True)
    print("ready", flush=True)
    means: list[float] = []
    deadline = time.monotonic() + TIMEOUT
    while reader.last_entry_seq < FRAMES and time.monotonic() < deadline:
        handle = reader.acquire()
        if handle is None:
            time.sleep(0.002)
            continue
        with handle:  # the view below is a temporary: gone before the release
            means.append(float(handle.array.mean()))
    print(f"zero-copy: {len(means)} of {FRAMES} frames without copying, mean brightness "
          f"{means[0]:.2f} first, {means[-1]:.2f} last", flush=True)


def main() -> None:
    name = f"/quillmere-camera-example-{os.getpid()}"
    consumers = [
        subprocess.Popen([sys.executable, __file__, role, name], stdout=subprocess.PIPE, text=True)
        for role in ("copy", "in-place")
    ]
    try:
        produce(name, consumers)  # its writer created the channel and removes it on return
        for consumer in consumers:
            assert consumer.stdout is not None
            sys.stdout.write(consumer.stdout.read())
    finally:
        for consumer in consumers:
            if consumer.poll() is None:
                consumer.kill()
            consumer.wait()
    if any(consumer.returncode != 0 for consumer in consumers):
        raise SystemExit("a consumer failed")


if __name__ == "__main__":
    if len(sys.argv) == 3:
        {"copy": consume_by_copy, "in-place": consume_in_place}[sys.argv[1]](sys.argv[2])
    else:
        main()
