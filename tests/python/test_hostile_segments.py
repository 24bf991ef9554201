"""Segments written by a hostile or broken process: refused cleanly or read correctly.

Every image here is written by hand under /dev/shm and then attached by every kind
of endpoint in a child interpreter (see _hostile.py). The property: each attempt
ends in ValueError, OSError (BlockingIOError included) or ChannelRoleConflict, or
in results that match the segment's bytes; never a crash, hang, out-of-bounds
access, wrapped sequence number or unbounded loop.
"""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _hostile import HEADER_SIZE, MAGIC, fit, header, run_batch, slots

U64 = 2**64
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
LIVE_PID = 1  # init: alive for the whole run, so a role word naming it stays taken
DEAD_PID = 4_194_304  # above every pid_max Linux allows: never a live process


def head(entry_length: int, entry_count: int, **kw) -> bytes:
    """A header of a float64 channel unless told otherwise, so every class gets past the
    element-type check and meets the geometry."""
    return header(entry_length, entry_count, **{"dtype": 2, **kw})


def ring(length: int, words: list[int], **kw) -> bytes:
    return head(length, len(words), **kw) + slots(length, words)


def test_adversarial_headers_fail_cleanly_or_read_correctly() -> None:
    """The named worst cases, one child for all of them."""
    good = ring(16, [5, 6, 7, 4], write_cursor=0, writer_entry_seq=7)
    ok_geometry = dict(magic=MAGIC, write_cursor=1, writer_entry_seq=2)
    images = [
        good,  # control: everything succeeds on it
        b"",
        b"\x01",
        fit(good, 71),
        good[:HEADER_SIZE],  # header only, geometry says 4 slots
        fit(good, len(good) - 1),  # one byte short of the last payload
        head(2**63, 1) + bytes(64),
        head(8, U64 - 1) + bytes(64),
        head(U64 - 8, 1) + bytes(64),  # 72 + 1 * (2^64 - 8 + 8) wraps to 72
        head(8, 2**60) + bytes(64),  # 72 + 2^60 * 16 wraps to 72
        head(U64 - 1, U64 - 1) + bytes(64),
        head(12, 4, **ok_geometry) + bytes(128),  # misaligned slot words
        head(0, 4, **ok_geometry) + bytes(64),
        head(8, 0, **ok_geometry) + bytes(64),
        ring(8, [1, 2], dtype=255, writer_entry_seq=2),
        ring(8, [1, 2], dtype=0, writer_entry_seq=2),
        ring(8, [3, 1, 2], write_cursor=U64 - 1, writer_entry_seq=3),  # cursor beyond the ring
        ring(8, [3, 1, 2], write_cursor=7, writer_entry_seq=3),
        ring(8, [1, 2], writer_entry_seq=U64 - 1),  # numbering cannot continue
        ring(8, [1, 2], writer_entry_seq=2**63),
        ring(8, [I64_MAX, 1], writer_entry_seq=2),
        ring(8, [I64_MIN, 1], writer_entry_seq=2),  # |word| overflows a signed negation
        ring(8, [-1, -2, -3], writer_entry_seq=3),  # every slot held
        ring(8, [-1, -(2**62), I64_MIN + 1], writer_entry_seq=5),
        ring(8, [-3, 4, 0], writer_entry_seq=4),
        ring(8, [7, 7, 7], writer_entry_seq=7),  # duplicate entry_seq
        ring(8, [9, 0, 2**62], writer_entry_seq=0),  # writer_entry_seq behind the slots
        ring(8, [1, 2], writer_pid=LIVE_PID, reader_pid=LIVE_PID, owner_pid=LIVE_PID),
        ring(8, [1, 2], writer_pid=DEAD_PID, reader_pid=DEAD_PID, owner_pid=DEAD_PID),
        ring(8, [1, 2], writer_pid=U64 - 1, reader_pid=2**32, owner_pid=U64 - 1),
        head(8, 2, magic=MAGIC + 1) + bytes(32),  # layout version 2
        head(8, 2, magic=0) + bytes(32),  # abandoned: sized openers re-initialise
        head(8, 4, magic=0) + bytes(8),  # abandoned and too small for its own geometry
        head(8, 2, magic=0xDEADBEEF) + bytes(32),
    ]
    results = run_batch(images)
    control = [r for r in results if r["case"] == 0 and r["op"] != "BytesWriter(8 x 2)"]
    assert [r for r in control if r["outcome"] != "ok"] == [], "the control ring must just work"


# --------------------------------------------------------------------------- random images

u64_corner = st.sampled_from([0, 1, 7, 8, 12, 2**32, 2**61, 2**63, U64 - 8, U64 - 1])
any_u64 = st.one_of(u64_corner, st.integers(0, U64 - 1))
seq_word = st.one_of(
    st.sampled_from([0, 1, 2, 3, -1, -2, I64_MAX, I64_MIN, I64_MIN + 1, 2**62, -(2**62)]),
    st.integers(-20, 20),
    st.integers(I64_MIN, I64_MAX),
)
pid_word = st.sampled_from([0, 0, 0, LIVE_PID, DEAD_PID, 2**32, U64 - 1])
magic_word = st.sampled_from([MAGIC, MAGIC, MAGIC, MAGIC, 0, MAGIC + 1, 0x51_4C_4D_52, 1])


@st.composite
def other_words(draw) -> dict:
    return dict(
        magic=draw(magic_word),
        dtype=draw(st.sampled_from([0, 0, 2, 2, 1, 3, 255]) | st.integers(0, U64 - 1)),
        owner_pid=draw(pid_word),
        writer_pid=draw(pid_word),
        reader_pid=draw(pid_word),
        write_cursor=draw(st.integers(0, 9) | any_u64),
        writer_entry_seq=draw(st.integers(0, 30) | any_u64),
    )


@st.composite
def plausible_segment(draw) -> bytes:
    """A small ring with hostile words, at its exact size or a little off."""
    length = draw(st.sampled_from([8, 16, 24, 64]))
    words = draw(st.lists(seq_word, min_size=1, max_size=6))
    image = header(length, len(words), **draw(other_words())) + slots(
        length, words, draw(st.integers(0, 255))
    )
    size = draw(st.sampled_from([0, -1, -8, 8, 4096]).map(lambda d: len(image) + d))
    return fit(image, size, draw(st.sampled_from([0, 0xAB])))


@st.composite
def absurd_segment(draw) -> bytes:
    """Any geometry over a mapping of any small size."""
    head = header(draw(any_u64), draw(any_u64), **draw(other_words()))
    size = draw(st.sampled_from([0, 1, 71, 72, 73, 80, 104, 168]) | st.integers(0, 4096))
    return fit(head + draw(st.binary(max_size=256)), size, draw(st.sampled_from([0, 0xFF])))


@pytest.mark.slow
@settings(
    max_examples=24,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(st.lists(plausible_segment() | absurd_segment(), min_size=30, max_size=30))
def test_random_segments_fail_cleanly_or_read_correctly(images: list[bytes]) -> None:
    run_batch(images)


# --------------------------------------------------------------------------- live scribbles

SCRIBBLE = """
import mmap, random, struct
name, seed = sys.argv[1], int(sys.argv[2])
rng = random.Random(seed)
allowed = (ValueError, OSError, quillmere.ChannelRoleConflict)
writer = quillmere.BytesWriter(name, entry_length=16, entry_count=4)
reader = quillmere.BytesReader(name)
holder = quillmere.BytesReader(name, enable_zero_copy=True)
fd = os.open("/dev/shm" + name, os.O_RDWR)
segment = mmap.mmap(fd, 0)
words = [0, 1, -1, 2**63 - 1, -(2**63), 16, 4, 1 << 40]
held, watermark = [], 0

def scribble():
    value = rng.choice(words + [rng.randrange(-(2**63), 2**63)])
    struct.pack_into("<q", segment, 8 * rng.randrange(len(segment) // 8), value)

def step():
    global watermark
    action = rng.randrange(7)
    if action <= 1:
        scribble()
    elif action == 2:
        writer.write(bytes([rng.randrange(256)]) * 16)
    elif action == 3:
        handle = writer.try_acquire()
        handle.payload[:] = bytes(16)
        handle.commit()
    elif action == 4:
        jump = rng.random() < 0.2
        got = reader.read(from_entry_seq=rng.choice([0, 2**64 - 1, 5])) if jump else reader.read()
        if got is not None:
            seq, payload = got
            assert len(payload) == 16 and 0 < seq < 2**63, got
            assert jump or seq > watermark, (seq, watermark)
            watermark = seq
    elif action == 5:
        handle = holder.try_acquire(from_entry_seq=rng.choice([None, 0]))
        if handle is not None:
            assert len(bytes(handle.payload)) == 16
            held.append(handle)
    elif held:
        held.pop(rng.randrange(len(held))).release()

outcomes = {}
for _ in range(20000):
    try:
        step()
        outcomes["ok"] = outcomes.get("ok", 0) + 1
    except allowed as e:
        outcomes[type(e).__name__] = outcomes.get(type(e).__name__, 0) + 1
print(json.dumps(outcomes))
"""


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_live_segment_scribbled_on_by_a_peer(channel_name, run_python, seed) -> None:
    """Another process overwrites random words of a ring in use: every call still ends in a
    result of the right shape or a clean exception."""
    child = run_python(SCRIBBLE, channel_name, str(seed))
    assert "ok" in child.stdout
