"""Zero-copy readers that die holding slots: the writer goes on around them.

A slot held by a reader that died stays held (retired) until the segment is
initialised again. The writer must never touch it, must keep writing on the
remaining slots and may raise BlockingIOError only once every slot is retired;
the next zero-copy reader takes over the dead holder's role.
"""

from __future__ import annotations

import json
import os
import random

import pytest

import quillmere
from _crash import ENTRY_LENGTH

HERE = os.path.dirname(os.path.abspath(__file__))
CRASH = f"sys.path.insert(0, {HERE!r})\nimport _crash\n"
SLOTS = 48


@pytest.mark.slow
def test_zero_copy_readers_killed_while_holding_slots(channel_name, run_python) -> None:
    owner = quillmere.BytesReader(channel_name, entry_length=ENTRY_LENGTH, entry_count=SLOTS)
    seed = random.randrange(2**32)
    zygote = run_python(
        CRASH + "_crash.main()",
        "kill-holders",
        channel_name,
        str(SLOTS),
        "2000",
        str(seed),
        timeout=600,
    )
    result = json.loads(zygote.stdout.splitlines()[-1])
    assert result["problems"] == [], f"seed {seed}: {result}"
    assert result["held"] == SLOTS, result  # every slot ended up retired by a dead holder
    assert result["stats"]["role conflicts"] == 0, result

    # Nothing left to hand out: copying reads and holds find nothing, writes are refused.
    assert owner.read(from_entry_seq=0) is None
    holder = quillmere.BytesReader(channel_name, enable_zero_copy=True)
    assert holder.try_acquire(from_entry_seq=0) is None
    writer = quillmere.BytesWriter(channel_name)
    with pytest.raises(BlockingIOError, match=f"^all {SLOTS} ring slots are held by a reader$"):
        writer.write(bytes(ENTRY_LENGTH))
    with pytest.raises(BlockingIOError):
        writer.try_acquire()
