"""Recording channels into MCAP files and playing them back, with real processes."""

from __future__ import annotations

import json
import os
import signal
import struct
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy
import pytest

import quillmere
from qm_support import CHILD_TIMEOUT, shm_path
from quillmere_tools import _native, trailer_state
from quillmere_tools.frames import FrameWriter

mcap_reader = pytest.importorskip("mcap.reader")
from quillmere_tools.recording import Recorder, open_recording, replay  # noqa: E402
from quillmere_tools.recording._file import McapFile  # noqa: E402

POINT = numpy.dtype([("x", "<i4"), ("y", "<f8")])  # 12 bytes: entries padded to 40
# A child writing COUNT entries of 64 bytes (entry k holds k in its first 8 bytes) as fast
# as it can into a ring of 4, then waiting to be killed or told to go.
FAST_WRITER = """
name, count = sys.argv[1], int(sys.argv[2])
writer = quillmere.BytesWriter(name, entry_length=64, entry_count=4)
for _ in range(count):
    writer.write((writer.last_entry_seq + 1).to_bytes(8, "little") * 8)
print(writer.last_entry_seq, flush=True)
sys.stdin.readline()
"""

# A child writing 64-byte entries about every millisecond into a ring of 4096, until killed.
PACED_WRITER = """
writer = quillmere.BytesWriter(sys.argv[1], entry_length=64, entry_count=4096)
while True:
    writer.write(bytes(64))
    time.sleep(0.001)
"""


def eventually(condition: Callable[[], bool], what: str) -> None:
    """Waits (bounded, generously) for a condition another process brings about."""
    deadline = time.monotonic() + CHILD_TIMEOUT
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"never happened: {what}")
        time.sleep(0.01)


def caught_up(name: str) -> bool:
    """True once a follower sleeps on the channel's doorbell: it has read all there was."""
    return trailer_state(name).waiters > 0


def cli(*args: str, code_before: str = "") -> subprocess.Popen[str]:
    program = code_before + "import sys\nfrom quillmere_tools.cli import main\n" \
        "sys.exit(main(sys.argv[1:]))"
    return subprocess.Popen([sys.executable, "-c", program, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)


def finished(process: subprocess.Popen[str]) -> tuple[int, str, str]:
    out, err = process.communicate(timeout=CHILD_TIMEOUT)
    return process.returncode, out, err


def three_channels(make_channel_name: Callable[[], str]):
    """A bytes, a float64 and a typed channel of structured frames, with their writes."""
    names = [make_channel_name() for _ in range(3)]
    ends = [quillmere.BytesWriter(names[0], entry_length=16, entry_count=64),
            quillmere.Float64Writer(names[1], entry_length=4, entry_count=64),
            FrameWriter(names[2], dtype=POINT, shape=(3,), entry_count=64)]

    def write(i: int) -> None:
        ends[0].write(bytes([i]) * 16)
        ends[1].write(numpy.full(4, i / 4))
        ends[2].write(numpy.array([(i, i / 2)] * 3, POINT))

    return names, ends, write


def test_round_trip_of_bytes_float64_and_typed_channels_through_a_sigint_recorder(
        make_channel_name: Callable[[], str], tmp_path: Path) -> None:
    names, ends, write = three_channels(make_channel_name)
    for i in range(10):
        write(i)
    path = tmp_path / "run.mcap"
    recorder = cli("record", *names, "-o", str(path), "--json")
    try:
        for name in names:
            eventually(lambda: caught_up(name), "the recorder follows " + name)
        recorder.send_signal(signal.SIGINT)
        code, out, err = finished(recorder)
    finally:
        recorder.kill()
    assert code == 0, err
    assert {s["entries"] for s in json.loads(out)["channels"].values()} == {10}

    with open(path, "rb") as file:  # the library's own reader: a complete, indexed file
        reader = mcap_reader.make_reader(file)
        summary = reader.get_summary()
        assert summary is not None and summary.statistics.message_count == 30
        topics = {channel.topic: channel for channel in summary.channels.values()}
        assert topics[names[2]].schema_id and topics[names[0]].metadata["entry_length"] == "16"
        messages = [(channel.topic, message.sequence, message.data)
                    for _, channel, message in reader.iter_messages(log_time_order=False)]
    assert [m for m in messages if m[0] == names[0]][3] == (names[0], 4, bytes([3]) * 16)

    with open_recording(path) as recording:
        entries = list(recording)
    by_channel = {name: [e for e in entries if e.channel == name] for name in names}
    assert [e.entry_seq for e in by_channel[names[1]]] == list(range(1, 11))
    assert by_channel[names[0]][9].payload == bytes([9]) * 16
    numpy.testing.assert_array_equal(by_channel[names[1]][5].payload, numpy.full(4, 5 / 4))
    frame = by_channel[names[2]][7].payload
    assert frame.dtype == POINT and frame.shape == (3,) and frame[1].tolist() == (7, 3.5)


def test_a_lapped_recorder_counts_what_it_missed(
        make_channel_name: Callable[[], str], spawn, tmp_path: Path) -> None:
    name = make_channel_name()
    maker = quillmere.BytesReader(name, entry_length=64, entry_count=4)  # noqa: F841
    path = tmp_path / "lapped.mcap"
    with Recorder([name], path) as recorder:
        eventually(lambda: caught_up(name), "the recorder follows")
        writer = spawn(FAST_WRITER, name, "20000")
        written = int(writer.readline())
        stats = recorder.stop()[name]
    with open_recording(path) as recording:
        seqs = [e.entry_seq for e in recording]
        (summary,) = recording.summaries
    assert stats.lost > 0 and stats.entries + stats.lost == written
    assert int(summary["entries"]) + int(summary["lost"]) == written == seqs[-1]
    assert seqs == sorted(set(seqs))


def test_a_file_slower_than_the_channel_bounds_the_backlog_and_counts_the_rest_lost(
        channel_name: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=4096)
    for _ in range(2000):  # all still in the ring: the recorder reads them in a burst
        writer.write(bytes(64))
    add = McapFile.add
    monkeypatch.setattr(McapFile, "add", lambda file, item: (time.sleep(0.001), add(file, item)))
    path = tmp_path / "slow.mcap"
    with Recorder([channel_name], path, backlog_bytes=64 * 16) as recorder:
        eventually(lambda: caught_up(channel_name), "the recorder read the ring")
        stats = recorder.stop()[channel_name]
    with open_recording(path) as recording:
        recorded = len(list(recording))
        (summary,) = recording.summaries
    assert stats.lost > 0 and stats.entries + stats.lost == 2000
    assert recorded == int(summary["entries"]) == 2000 - int(summary["lost"])


def test_what_the_ring_held_before_the_recorder_came_is_recorded_and_nothing_lost(
        channel_name: str, tmp_path: Path) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=8)
    for _ in range(100):
        writer.write(bytes(8))
    with Recorder([channel_name], tmp_path / "late.mcap") as recorder:
        eventually(lambda: recorder.stats()[channel_name].entries == 8, "the ring's entries")
    assert recorder.stats()[channel_name].lost == 0
    with open_recording(tmp_path / "late.mcap") as recording:
        assert [e.entry_seq for e in recording] == list(range(93, 101))


def test_stopping_while_entries_stream_loses_none(
        make_channel_name: Callable[[], str], spawn, tmp_path: Path) -> None:
    name = make_channel_name()
    with Recorder([name], tmp_path / "streaming.mcap") as recorder:
        spawn(PACED_WRITER, name)
        eventually(lambda: recorder.stats()[name].entries > 200, "entries streaming in")
        stats = recorder.stop()[name]
    with open_recording(tmp_path / "streaming.mcap") as recording:
        seqs = [e.entry_seq for e in recording]
    assert stats.lost == 0 and seqs == list(range(1, len(seqs) + 1))


def test_writer_killed_and_restarted_goes_on_in_the_same_channel_with_a_note(
        make_channel_name: Callable[[], str], spawn, tmp_path: Path) -> None:
    name = make_channel_name()
    path = tmp_path / "restart.mcap"
    with Recorder([name], path) as recorder:
        first = spawn(FAST_WRITER, name, "3")
        assert first.readline() == "3"
        eventually(lambda: recorder.stats()[name].entries == 3, "the first writer's entries")
        os.kill(first.pid, signal.SIGKILL)
        first.wait()
        second = spawn(FAST_WRITER, name, "3")
        assert second.readline() == "6"  # numbering goes on from the segment
        eventually(lambda: recorder.stats()[name].entries == 6, "the second writer's entries")
    with open_recording(path) as recording:
        entries = list(recording)
        channels = {e.channel for e in entries}
    assert [e.entry_seq for e in entries] == [1, 2, 3, 4, 5, 6] and channels == {name}
    assert [note["reason"] for note in recording.notes] == ["writer restarted"]
    assert recording.summaries[0]["restarts"] == "1"


def test_a_killed_recorder_leaves_its_completed_chunks_readable(
        make_channel_name: Callable[[], str], tmp_path: Path) -> None:
    name = make_channel_name()
    writer = quillmere.BytesWriter(name, entry_length=8, entry_count=64)
    for k in range(1, 21):
        writer.write(k.to_bytes(8, "little"))
    path = tmp_path / "killed.mcap"
    recorder = cli("record", name, "-o", str(path), "--json")
    try:
        # A chunk is written out at the latest a second after it was begun.
        eventually(lambda: path.exists() and path.stat().st_size > 400, "a complete chunk")
        recorder.kill()
        recorder.wait(CHILD_TIMEOUT)
    finally:
        recorder.kill()
    with open_recording(path) as recording:
        seqs = [e.entry_seq for e in recording]
    assert seqs == list(range(1, 21)) and recording.summaries == []


def test_entry_seqs_past_32_bits_come_back_whole(channel_name: str, tmp_path: Path) -> None:
    # An MCAP message's sequence has 32 bits; the file's notes give back the rest.
    maker = quillmere.BytesReader(channel_name, entry_length=8, entry_count=8)
    with open(shm_path(channel_name), "r+b") as segment:
        segment.seek(64)  # writer_entry_seq: a writer attaching goes on from there
        segment.write(struct.pack("<Q", 2**32 - 2))
    writer = quillmere.BytesWriter(channel_name)
    path = tmp_path / "high.mcap"
    with Recorder([channel_name], path) as recorder:
        for _ in range(3):
            writer.write(bytes(8))
        eventually(lambda: recorder.stats()[channel_name].entries == 3, "all entries")
    with open_recording(path) as recording:
        assert [e.entry_seq for e in recording] == [2**32 - 1, 2**32, 2**32 + 1]
    del writer, maker


@pytest.fixture
def recorded(make_channel_name: Callable[[], str], tmp_path: Path):
    """A recording of the three channels, 5 entries each 20 ms apart; (names, path)."""
    names, ends, write = three_channels(make_channel_name)
    path = tmp_path / "source.mcap"
    with Recorder(names, path) as recorder:
        for name in names:
            eventually(lambda: caught_up(name), "the recorder follows " + name)
        for i in range(5):
            write(i)
            time.sleep(0.02)
        eventually(lambda: all(s.entries == 5 for s in recorder.stats().values()), "entries")
    del ends
    for name in names:
        quillmere.unlink(name)
    return names, path


def test_replay_into_new_names_and_recorded_again_matches_payloads_and_timing(
        recorded, make_channel_name: Callable[[], str], tmp_path: Path) -> None:
    names, path = recorded
    new = [make_channel_name() for _ in names]
    again = tmp_path / "again.mcap"
    # The channels are there before the replay, so the recorder already follows them.
    makers = [quillmere.BytesReader(new[0], entry_length=16, entry_count=64),
              quillmere.Float64Reader(new[1], entry_length=4, entry_count=64),
              quillmere.BytesReader(new[2], entry_length=40, entry_count=64)]
    with Recorder(new, again):
        for name in new:
            eventually(lambda: caught_up(name), "the recorder follows " + name)
        summary = replay(path, mapping=dict(zip(names, new)))
    del makers
    assert summary.entries == dict.fromkeys(new, 5)
    with open_recording(path) as first, open_recording(again) as second:
        one, two = list(first), list(second)
    for name, renamed in zip(names, new):  # each channel's own order (threads interleave)
        assert [numpy.asarray(e.payload).tobytes() for e in one if e.channel == name] == \
            [numpy.asarray(e.payload).tobytes() for e in two if e.channel == renamed]
    # Paced, not as fast as possible: sanity bounds only (bench/ measures the timing).
    gaps = numpy.diff([e.time_ns for e in one if e.channel == names[0]])
    gaps_again = numpy.diff([e.time_ns for e in two if e.channel == new[0]])
    assert gaps_again.sum() > gaps.sum() / 2 and numpy.all(numpy.abs(gaps_again - gaps) < 5e8)


def test_replay_selects_renames_loops_and_refuses_another_geometry(
        recorded, make_channel_name: Callable[[], str]) -> None:
    names, path = recorded
    other = make_channel_name()
    held = quillmere.BytesWriter(other, entry_length=8, entry_count=2)  # noqa: F841
    code, _, err = finished(cli("replay", str(path), "--map", f"{names[0]}={other}"))
    assert code == 1 and "u8 entries of 8 bytes x 2" in err and "u8 entries of 16 bytes x 64" in err

    target = make_channel_name()
    reader = quillmere.BytesReader(target)
    looping = cli("replay", str(path), "--rate", "0", "--loop", "--channels", names[1],
                  "--map", f"{names[1]}={target}", "--json")
    try:
        eventually(lambda: (reader.read(), reader.writer_entry_seq)[1] > 10, "a second pass")
        looping.send_signal(signal.SIGINT)
        code, out, err = finished(looping)
    finally:
        looping.kill()
    assert code == 0, err
    result = json.loads(out)
    assert result["loops"] >= 2 and list(result["entries"]) == [target]


def test_replay_lends_a_writer_to_its_playing_thread_until_closed(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    writes = _native.TimedWrites(1 << 20)
    slot = writes.add(writer)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        writer.write(bytes(8))
    with pytest.raises(ValueError) as refused:
        writes.put(slot, bytes(7), 0, 1.0)
    assert writes.put(slot, b"abcdefgh", 0, 1.0) and writes.drain(5.0)
    writes.close()
    assert writes.counts(slot)[0] == 1
    with pytest.raises(ValueError) as own:  # the writer is its own again, with the same words
        writer.write(bytes(7))
    assert str(refused.value) == str(own.value)
    assert writer.last_entry_seq == 1
    # Their tracebacks hold this frame: without the cycle, the writer goes here, on its thread.
    del refused, own


def test_a_snapshot_holds_its_last_seconds_and_split_files_hold_every_entry_once(
        make_channel_name: Callable[[], str], tmp_path: Path) -> None:
    name = make_channel_name()
    writer = quillmere.BytesWriter(name, entry_length=8, entry_count=64)
    write = lambda: writer.write((writer.last_entry_seq + 1).to_bytes(8, "little"))  # noqa
    with Recorder([name], tmp_path / "snap.mcap", snapshot=1.0) as snapshots, \
            Recorder([name], tmp_path / "split.mcap", split_size=1, chunk_size=1) as split:
        for _ in range(5):
            write()
        eventually(lambda: snapshots.stats()[name].entries == 5, "the first five")
        time.sleep(1.5)  # those five fall out of a one-second window
        for _ in range(3):
            write()
        eventually(lambda: snapshots.stats()[name].entries == 8 == split.stats()[name].entries,
                   "all entries")
        snapshot = snapshots.snapshot()
    with open_recording(snapshot) as recording:
        assert [e.entry_seq for e in recording] == [6, 7, 8]
    assert len(split.files) > 2
    seqs = []
    for file in split.files:
        with open_recording(file) as recording:
            seqs += [e.entry_seq for e in recording]
    assert seqs == list(range(1, 9))


@pytest.mark.parametrize("content, why", [(None, "No such file"), (b"not mcap", "not an MCAP")])
def test_replay_of_what_is_no_recording_fails_in_one_line(
        tmp_path: Path, content: bytes | None, why: str) -> None:
    path = tmp_path / "input.mcap"
    if content is not None:
        path.write_bytes(content)
    code, _, err = finished(cli("replay", str(path)))
    assert code == 1 and why in err and "Traceback" not in err


@pytest.mark.parametrize("command", [["record", "/x", "-o", "x.mcap"], ["replay", "x.mcap"]])
def test_without_the_extra_the_commands_say_how_to_install_it(command: list[str]) -> None:
    code, _, err = finished(cli(*command, code_before="import sys\nsys.modules['mcap'] = None\n"))
    assert code == 1 and "pip install 'quillmere[record]'" in err and "Traceback" not in err
