"""Hostile segments: images written by hand into /dev/shm and the checks run on them.

The parent test builds segment images (header words, slots, odd sizes) and hands
a batch of them to one child interpreter (`run_batch`), so that a crash in the
module fails the test instead of killing pytest. The child (`child_main`) places
each image under a fresh name, attaches every kind of endpoint to a pristine copy,
reads, acquires and writes, and checks every result against a model of the image:
an endpoint may refuse the segment with ValueError, OSError or
ChannelRoleConflict, and whatever it returns must be what the segment holds.
"""

from __future__ import annotations

import base64
import contextlib
import glob
import json
import mmap
import os
import struct
import subprocess
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass

HEADER = struct.Struct("<9Q")
HEADER_SIZE = HEADER.size
MAGIC = 0x514C4D5200000001
MAX_ENTRY_SEQ = 2**63 - 1
BATCH_TIMEOUT = 240.0
# Reads per endpoint: enough to drain the small rings the tests build.
MAX_READS = 12

# Header word offsets.
ENTRY_LENGTH, ENTRY_COUNT, DTYPE = 8, 16, 24
OWNER_PID, WRITER_PID, READER_PID = 32, 40, 48
WRITE_CURSOR, WRITER_ENTRY_SEQ = 56, 64


def shm_path(name: str) -> str:
    return "/dev/shm/" + name.lstrip("/")


# --------------------------------------------------------------------------- images


def header(
    entry_length: int,
    entry_count: int,
    *,
    magic: int = MAGIC,
    dtype: int = 0,
    owner_pid: int = 0,
    writer_pid: int = 0,
    reader_pid: int = 0,
    write_cursor: int = 0,
    writer_entry_seq: int = 0,
) -> bytes:
    return HEADER.pack(
        magic,
        entry_length,
        entry_count,
        dtype,
        owner_pid,
        writer_pid,
        reader_pid,
        write_cursor,
        writer_entry_seq,
    )


def slots(entry_length: int, words: list[int], seed: int = 0) -> bytes:
    """Slot records with distinct payloads: word, then entry_length bytes."""
    out = bytearray()
    for i, word in enumerate(words):
        out += struct.pack("<q", word)
        out += bytes((seed + 31 * i + j) & 0xFF for j in range(entry_length))
    return bytes(out)


def fit(image: bytes, size: int, filler: int = 0) -> bytes:
    """The image cut or padded to exactly `size` bytes."""
    return image[:size] + bytes([filler]) * max(0, size - len(image))


# --------------------------------------------------------------------------- model


@dataclass
class Model:
    """What a segment holds, parsed the way a correct endpoint must see it."""

    size: int
    words: tuple[int, ...] | None  # the nine header words, None when under 72 bytes
    fits: bool  # valid magic and a ring geometry inside the mapping
    slot_words: list[int]
    payloads: list[bytes]

    @property
    def entry_length(self) -> int:
        return self.words[1] if self.words else 0

    @property
    def entry_count(self) -> int:
        return self.words[2] if self.words else 0

    @property
    def writer_entry_seq(self) -> int:
        return self.words[8] if self.words else 0

    def payloads_of(self, seq: int) -> list[bytes]:
        return [p for w, p in zip(self.slot_words, self.payloads) if w == seq]

    def resume_floor(self) -> int:
        """The entry_seq a resuming writer must stay above."""
        return max([self.writer_entry_seq, *(abs(w) for w in self.slot_words)])


def parse(image: bytes) -> Model:
    if len(image) < HEADER_SIZE:
        return Model(len(image), None, False, [], [])
    words = HEADER.unpack_from(image)
    magic, length, count = words[0], words[1], words[2]
    fits = (
        magic == MAGIC
        and length > 0
        and count > 0
        and length % 8 == 0
        and HEADER_SIZE + count * (length + 8) <= len(image)
    )
    slot_words, payloads = [], []
    if fits:
        for i in range(count):
            at = HEADER_SIZE + i * (length + 8)
            slot_words.append(struct.unpack_from("<q", image, at)[0])
            payloads.append(image[at + 8 : at + 8 + length])
    return Model(len(image), words, fits, slot_words, payloads)


def read_segment(name: str) -> bytes:
    with open(shm_path(name), "rb") as f:
        return f.read()


def poke(name: str, offset: int, value: int, fmt: str = "<Q") -> None:
    """Overwrite one word of a live segment in place, as a foreign process would."""
    fd = os.open(shm_path(name), os.O_RDWR)
    try:
        with mmap.mmap(fd, 0) as m:
            struct.pack_into(fmt, m, offset, value)
    finally:
        os.close(fd)


def place(name: str, image: bytes) -> None:
    """Create the segment `name` with exactly these bytes (mode 0600, like the module)."""
    with contextlib.suppress(FileNotFoundError):
        os.unlink(shm_path(name))
    fd = os.open(shm_path(name), os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    try:
        os.write(fd, image)
    finally:
        os.close(fd)


def remove(name: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(shm_path(name))


# --------------------------------------------------------------------------- child side


class Violation(AssertionError):
    pass


def expect(condition: bool, why: str) -> None:
    if not condition:
        raise Violation(why)


def element_bytes(payload) -> bytes:
    """The raw bytes of a read payload: bytes, a float64 array or a memoryview."""
    return payload if isinstance(payload, bytes) else payload.tobytes()


def check_read(model: Model, got, previous: int) -> int:
    """A read result must be an entry of the segment, newer than the last one."""
    seq, payload = got
    expect(model.fits, f"read {seq} from a segment whose geometry does not fit its mapping")
    expect(seq > previous, f"read {seq} after {previous}")
    expect(seq in model.slot_words, f"read {seq}, which no slot holds")
    expect(element_bytes(payload) in model.payloads_of(seq), f"payload of {seq} is not the slot's")
    return seq


def drain(reader, name: str, unit: int) -> None:
    """Reads until nothing is newer; every entry must come from the segment, in order."""
    model = parse(read_segment(name))  # after construction: a sized reader may re-initialise
    length = reader.entry_length * unit
    expect(length in (0, model.entry_length), f"entry_length {length}, header {model.entry_length}")
    expect(model.fits or length == 0, "reader connected to a segment that does not fit")
    seen = [0]
    for _ in range(MAX_READS):
        got = reader.read()
        if got is None:
            return
        seen.append(check_read(model, got, seen[-1]))
    expect(model.entry_count >= MAX_READS, f"{MAX_READS} reads from {model.entry_count} slots")


def hold_some(reader, name: str) -> None:
    """Zero-copy holds: the held entry is the slot's, its word is negative while held."""
    model = parse(read_segment(name))
    for _ in range(3):
        handle = reader.try_acquire()
        if handle is None:
            return
        seq = handle.entry_seq
        expect(model.fits and seq in model.slot_words, f"acquired {seq}, which no slot holds")
        expect(element_bytes(handle.payload) in model.payloads_of(seq), f"payload of {seq}")
        expect(-seq in parse(read_segment(name)).slot_words, f"{seq} is not held in the segment")
        handle.release()
        expect(seq in parse(read_segment(name)).slot_words, f"{seq} was not given back")


def check_written(q, name: str, floor: int, seq: int, payload: bytes) -> None:
    """After a write of `seq`: above everything before it, published, readable."""
    expect(floor < seq <= MAX_ENTRY_SEQ, f"wrote entry_seq {seq} over a ring that held {floor}")
    after = parse(read_segment(name))
    expect(after.writer_entry_seq == seq, f"writer_entry_seq {after.writer_entry_seq}, wrote {seq}")
    expect(payload in after.payloads_of(seq), f"entry {seq} is not in the segment")
    got = q.BytesReader(name).read(from_entry_seq=seq - 1)
    expect(got == (seq, payload), f"read back {got!r} after writing entry {seq}")


def write_some(q, np, writer, name: str, float64: bool) -> None:
    """Two copying writes and one in place; each numbered above everything before it."""
    model = parse(read_segment(name))  # after construction: a sized writer may re-initialise
    expect(model.fits, "writer connected to a segment that does not fit")
    floor = model.resume_floor()
    for n in range(3):
        payload = bytes((n * 53 + j) & 0xFF for j in range(model.entry_length))
        if n == 2:
            handle = writer.try_acquire()
            expect(handle.payload.nbytes == model.entry_length, "write handle of the wrong size")
            handle.payload.cast("B")[:] = payload
            seq = handle.commit()
        else:
            writer.write(np.frombuffer(payload, np.float64).copy() if float64 else payload)
            seq = writer.last_entry_seq
        check_written(q, name, floor, seq, payload)
        floor = seq


def ops(q, np) -> dict[str, Callable[[str], None]]:
    """Every way of attaching to a segment, each followed by reads, holds or writes."""

    def header_geometry(name: str, unit: int) -> dict:
        model = parse(read_segment(name))
        length, count = (model.entry_length, model.entry_count) if model.words else (8, 2)
        return {"entry_length": length // unit, "entry_count": count}

    def reader(cls, unit, **kw):
        return lambda name: drain(cls(name, **kw), name, unit)

    def holder(cls):
        return lambda name: hold_some(cls(name, enable_zero_copy=True), name)

    def sized_reader(name: str) -> None:
        drain(q.BytesReader(name, **header_geometry(name, 1)), name, 1)

    def writer(cls, float64, sized):
        def op(name: str) -> None:
            kw = header_geometry(name, 8 if float64 else 1) if sized else {}
            write_some(q, np, cls(name, **kw), name, float64)

        return op

    def deferred_writer(name: str) -> None:
        before = parse(read_segment(name))
        writer = q.BytesWriter(name, delayed_connect=True)
        handle = writer.try_acquire()  # connects here, or finds nothing usable yet
        expect((handle is not None) == before.fits, f"deferred writer got {handle!r}")
        if handle is not None:
            payload = bytes((7 * j) & 0xFF for j in range(before.entry_length))
            handle.payload.cast("B")[:] = payload
            check_written(q, name, before.resume_floor(), handle.commit(), payload)

    def small_writer(name: str) -> None:
        write_some(q, np, q.BytesWriter(name, entry_length=8, entry_count=2), name, False)

    return {
        "BytesReader": reader(q.BytesReader, 1),
        "BytesReader(delayed_connect=False)": reader(q.BytesReader, 1, delayed_connect=False),
        "Float64Reader": reader(q.Float64Reader, 8),
        "BytesReader(enable_zero_copy=True)": holder(q.BytesReader),
        "Float64Reader(enable_zero_copy=True)": holder(q.Float64Reader),
        "BytesReader(header geometry)": sized_reader,
        "BytesWriter": writer(q.BytesWriter, False, False),
        "Float64Writer": writer(q.Float64Writer, True, False),
        "BytesWriter(header geometry)": writer(q.BytesWriter, False, True),
        "Float64Writer(header geometry)": writer(q.Float64Writer, True, True),
        "BytesWriter(delayed_connect=True)": deferred_writer,
        "BytesWriter(8 x 2)": small_writer,
    }


def run_op(q, op: Callable[[str], None], name: str) -> dict:
    allowed = (ValueError, OSError, q.ChannelRoleConflict)
    try:
        op(name)
        return {"outcome": "ok"}
    except Violation as e:
        return {"outcome": "violation", "why": str(e)}
    except allowed as e:
        return {"outcome": type(e).__name__, "why": str(e)}
    except BaseException as e:  # noqa: BLE001 - anything else is a finding, reported as such
        return {"outcome": "violation", "why": f"unexpected {type(e).__name__}: {e}"}


def child_main() -> None:
    """Reads {"prefix": ..., "images": [base64, ...]} on stdin; one JSON line per op."""
    import faulthandler
    import resource

    import numpy as np

    import quillmere as q

    faulthandler.enable()
    # An absurd geometry accepted by mistake shows up as MemoryError, not as a swapping host.
    # (AddressSanitizer reserves terabytes of address space for its shadow: no limit there.)
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (16 << 30, 16 << 30))
    request = json.loads(sys.stdin.read())
    table = ops(q, np)
    for index, encoded in enumerate(request["images"]):
        image = base64.b64decode(encoded)
        for op_name, op in table.items():
            name = f"{request['prefix']}-{index}"
            place(name, image)
            print(f"BEGIN {index} {op_name}", flush=True)
            result = run_op(q, op, name)
            remove(name)
            print("DONE " + json.dumps({"case": index, "op": op_name, **result}), flush=True)


# --------------------------------------------------------------------------- parent side


def describe(image: bytes) -> str:
    model = parse(image)
    if model.words is None:
        return f"{len(image)}-byte segment (shorter than the header)"
    words = ", ".join(hex(w) for w in model.words)
    return f"{len(image)}-byte segment, header words [{words}], slot words {model.slot_words}"


@contextlib.contextmanager
def hostile_prefix() -> Iterator[str]:
    """A unique name prefix; every segment under it is removed afterwards."""
    import uuid

    prefix = f"/qm-hostile-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    try:
        yield prefix
    finally:
        for path in glob.glob(shm_path(prefix) + "*"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)


def run_batch(images: list[bytes]) -> list[dict]:
    """Runs every op on every image in one child; fails on a crash, hang or violation."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = f"import sys; sys.path.insert(0, {here!r}); import _hostile; _hostile.child_main()"
    with hostile_prefix() as prefix:
        payload = json.dumps(
            {"prefix": prefix, "images": [base64.b64encode(i).decode() for i in images]}
        )
        try:
            proc = subprocess.run(
                [sys.executable, "-c", code],
                input=payload,
                capture_output=True,
                text=True,
                timeout=BATCH_TIMEOUT,
            )
        except subprocess.TimeoutExpired as e:
            raise AssertionError(f"child hung; last op: {last_begun(e.stdout or '', images)}")
    results = [json.loads(line[5:]) for line in proc.stdout.splitlines() if line.startswith("DONE ")]
    if proc.returncode != 0:
        raise AssertionError(
            f"child died with exit code {proc.returncode} during "
            f"{last_begun(proc.stdout, images)}\n--- stderr ---\n{proc.stderr[-4000:]}"
        )
    bad = [r for r in results if r["outcome"] == "violation"]
    if bad:
        lines = [f"{r['op']} on {describe(images[r['case']])}: {r['why']}" for r in bad[:10]]
        raise AssertionError(f"{len(bad)} violations:\n" + "\n".join(lines))
    return results


def last_begun(stdout: str | bytes, images: list[bytes]) -> str:
    if isinstance(stdout, bytes):
        stdout = stdout.decode(errors="replace")
    begun = [line for line in stdout.splitlines() if line.startswith("BEGIN ")]
    if not begun:
        return "start-up"
    _, index, op = begun[-1].split(" ", 2)
    return f"{op} on {describe(images[int(index)])}"
