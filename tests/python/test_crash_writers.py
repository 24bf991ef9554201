"""Writers that die at any instruction: readers never see a torn or renumbered entry.

See _crash.py for the children. The kill loop is bounded by a number of lives,
not by time; each life is SIGKILLed 0-5 ms after it was forked.
"""

from __future__ import annotations

import json
import os
import random
import signal
import textwrap

import pytest

import quillmere
from _crash import ENTRY_LENGTH, make_payload, payload_problem
from _hostile import HEADER_SIZE, WRITER_PID, parse, read_segment, shm_path

HERE = os.path.dirname(os.path.abspath(__file__))
CRASH = f"sys.path.insert(0, {HERE!r})\nimport _crash\n"
WRITER_LIVES = 1200


def test_killed_writer_is_replaced_and_numbering_resumes(channel_name, run_python) -> None:
    owner = quillmere.BytesReader(channel_name, entry_length=ENTRY_LENGTH, entry_count=4)
    child = run_python(
        CRASH
        + textwrap.dedent("""
        import signal
        name = sys.argv[1]
        w = quillmere.BytesWriter(name)
        for seq in range(1, 7):
            w.write(_crash.make_payload(seq, 1))
        h = w.try_acquire()  # dies holding a claimed, unpublished slot
        h.payload[:] = bytes(64)
        os.kill(os.getpid(), signal.SIGKILL)
        """),
        channel_name,
        check=False,
    )
    assert child.returncode == -signal.SIGKILL, child.stderr
    writer = quillmere.BytesWriter(channel_name)  # the dead holder's role is taken over
    assert parse(read_segment(channel_name)).words[WRITER_PID // 8] == os.getpid()
    assert writer.last_entry_seq == 6
    writer.write(make_payload(7, 2))
    seqs = []
    while (got := owner.read()) is not None:
        assert payload_problem(*got) is None
        seqs.append(got[0])
    assert seqs == [4, 5, 6, 7]  # the abandoned slot is skipped, entry 3 was overwritten


def test_entry_published_beside_a_held_slot_survives_the_writer(channel_name, run_python) -> None:
    """The writer skipped the slot the zero-copy reader holds, published its newest entry in
    the next one and died before its header stores: that entry must reach the readers."""
    owner = quillmere.BytesReader(channel_name, entry_length=ENTRY_LENGTH, entry_count=4)
    writes = """
    w = quillmere.BytesWriter(sys.argv[1])
    for seq in range(1, 7):
        w.write(_crash.make_payload(seq, 1))
    """
    run_python(CRASH + textwrap.dedent(writes), channel_name)
    zero_copy = quillmere.BytesReader(channel_name, enable_zero_copy=True)
    held = zero_copy.try_acquire(from_entry_seq=2)  # entry 3, slot 2, right at the cursor
    assert held.entry_seq == 3
    assert owner.read(from_entry_seq=5)[0] == 6
    # What the dead writer left: entry 7 in slot 3, header still at cursor 2 and entry 6.
    with open(shm_path(channel_name), "r+b") as segment:
        segment.seek(HEADER_SIZE + 3 * (ENTRY_LENGTH + 8))
        segment.write((7).to_bytes(8, "little") + make_payload(7, 1))
    assert list(parse(read_segment(channel_name)).words[7:9]) == [2, 6]

    writer = quillmere.BytesWriter(channel_name)
    assert writer.last_entry_seq == 7
    assert owner.writer_entry_seq == 7  # republished before any new write
    writer.write(make_payload(8, 2))
    assert [owner.read()[0], owner.read()[0], owner.read()] == [7, 8, None]
    held.release()


@pytest.mark.slow
def test_writers_killed_at_random_moments(channel_name, run_python, spawn) -> None:
    """Thousands of writer deaths while two readers check every entry they get."""
    owner = quillmere.BytesReader(channel_name, entry_length=ENTRY_LENGTH, entry_count=8)
    readers = [
        spawn(CRASH + "_crash.main()", "reader", channel_name, mode) for mode in ("bytes", "out")
    ]
    for reader in readers:
        reader.expect("ready")
    seed = random.randrange(2**32)
    zygote = run_python(
        CRASH + "_crash.main()",
        "kill-writers",
        channel_name,
        str(WRITER_LIVES),
        str(seed),
        timeout=900,
    )
    result = json.loads(zygote.stdout.splitlines()[-1])
    summaries = [json.loads(reader.request("stop", timeout=120)) for reader in readers]

    assert result["problems"] == [], f"seed {seed}: {result}"
    for summary in summaries:
        assert summary["problems"] == [], f"seed {seed}: {summary}"
        assert summary["reads"] > 0
    assert result["stats"]["killed"] + result["stats"]["role conflicts"] == WRITER_LIVES
    assert result["stats"]["role conflicts"] <= WRITER_LIVES // 100, result["stats"]

    # The next writer takes over from the last dead one and numbers above everything.
    writer = quillmere.BytesWriter(channel_name)
    assert writer.last_entry_seq == result["floor"]
    writer.write(make_payload(result["floor"] + 1, 0))
    got = owner.read(from_entry_seq=result["floor"])
    assert got is not None and got[0] == result["floor"] + 1
