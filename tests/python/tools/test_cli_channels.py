"""The `quillmere` command on real channels made by the module in other processes."""

from __future__ import annotations

import hashlib
import json
import os
import signal
import struct
from collections.abc import Callable

import quillmere
from quillmere_tools.frames import FrameWriter, channel_frame_type
from cli_support import MAKER, call_cli, cli_json, row_of
from qm_support import Child, shm_path

ROW_KEYS = ["name", "dtype", "entry_length", "entry_count", "size", "owner_pid", "owner_alive",
            "writer_pid", "writer_alive", "reader_pid", "reader_alive", "writer_entry_seq",
            "waiters", "waiting"]
STAT_KEYS = [*ROW_KEYS, "held", "empty", "oldest", "newest", "trailer", "frame_type"]
OWNER_PID_OFFSET = 32

Spawn = Callable[..., Child]


def maker_with_entries(spawn: Spawn, name: str, entries: int = 11) -> Child:
    """A child owning and writing `name`, with `entries` entries and entry 6 held in place."""
    maker = spawn(MAKER, name)
    maker.expect("ready")
    assert maker.request(f"write {entries}") == str(entries)
    assert maker.request("hold 5") == "6"
    return maker


def test_ls_and_stat_describe_a_live_channel(channel_name: str, spawn: Spawn) -> None:
    maker = maker_with_entries(spawn, channel_name)
    row = row_of(cli_json("ls"), channel_name)
    assert list(row) == ROW_KEYS
    size = os.stat(shm_path(channel_name)).st_size
    assert row == {
        "name": channel_name, "dtype": "f64", "entry_length": 32, "entry_count": 8,
        "size": size, "owner_pid": maker.pid, "owner_alive": True, "writer_pid": maker.pid,
        "writer_alive": True, "reader_pid": maker.pid, "reader_alive": True,
        "writer_entry_seq": 11, "waiters": 0, "waiting": [],
    }
    details = cli_json("stat", channel_name)
    assert isinstance(details, dict) and list(details) == STAT_KEYS
    assert {key: details[key] for key in ROW_KEYS} == row
    assert {key: details[key] for key in STAT_KEYS[len(ROW_KEYS):]} == {
        "held": [6], "empty": 0, "oldest": 4, "newest": 11, "trailer": 1, "frame_type": None}

    text = call_cli("ls").stdout
    assert any(line.split()[:2] == [channel_name, "f64"] and f"{maker.pid} alive" in line
               for line in text.splitlines()), text
    lines = dict(line.split(None, 1) for line in call_cli("stat", channel_name).stdout.splitlines()
                 if not line.startswith("zero-copy"))
    assert lines["held"] == "1: 6" and lines["oldest"] == "4" and lines["newest"] == "11"
    assert lines["entry_length"] == "32 bytes (4 float64)"
    assert lines["trailer"] == "version 1, frame-type record empty"
    assert lines["frame_type"] == "-"


def test_stat_shows_the_frame_type_or_why_it_cannot(channel_name: str) -> None:
    writer = FrameWriter(channel_name, dtype=[("t", "<f8"), ("flags", ">u2")], shape=(2, 3),
                         entry_count=4)
    details = cli_json("stat", channel_name)
    assert isinstance(details, dict)
    assert details["frame_type"] == {"dtype": str(writer.dtype), "shape": [2, 3]}
    text = call_cli("stat", channel_name).stdout
    assert f"frame_type        {channel_frame_type(channel_name)}" in text

    with open(shm_path(channel_name), "r+b") as segment:  # scribble on the record's text
        data = segment.read()
        at = data.rindex(b"shape")
        segment.seek(at)
        segment.write(b"SHAPE")
    details = cli_json("stat", channel_name)
    assert isinstance(details, dict) and isinstance(details["frame_type"], dict)
    assert set(details["frame_type"]) == {"error"}
    assert "unreadable record (" in call_cli("stat", channel_name).stdout


def test_tail_previews_numbers_and_bytes(channel_name: str, make_channel_name: Callable[[], str],
                                         spawn: Spawn) -> None:
    maker_with_entries(spawn, channel_name)
    text = call_cli("tail", channel_name, "-n", "3").stdout.splitlines()
    assert [line.split() for line in text] == [
        [str(k), *(str(k + i) for i in range(4))] for k in (9, 10, 11)
    ]
    entries = [json.loads(line) for line in
               call_cli("tail", channel_name, "-n", "2", "--json").stdout.splitlines()]
    assert entries == [{"entry_seq": 10, "payload": [10.0, 11.0, 12.0, 13.0]},
                       {"entry_seq": 11, "payload": [11.0, 12.0, 13.0, 14.0]}]

    bytes_name = make_channel_name()
    writer = quillmere.BytesWriter(bytes_name, entry_length=24, entry_count=4)
    writer.write(bytes(range(24)))
    (line,) = call_cli("tail", bytes_name).stdout.splitlines()
    assert line.split(None, 1) == ["1", bytes(range(16)).hex(" ") + " ... (24 bytes)"]
    assert json.loads(call_cli("tail", bytes_name, "--json").stdout)["payload"] == \
        bytes(range(24)).hex()


def test_watch_prints_a_line_per_interval(channel_name: str, spawn: Spawn) -> None:
    maker_with_entries(spawn, channel_name)
    result = call_cli("watch", channel_name, "--interval", "0.01", "--count", "2", "--json")
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert lines == [{"entries_per_s": 0.0, "mb_per_s": 0.0, "writer_entry_seq": 11,
                      "writer_alive": True}] * 2
    text = call_cli("watch", channel_name, "--interval", "0.01", "--count", "1").stdout
    assert "0.0 entries/s" in text and "writer_entry_seq 11  writer alive" in text


def test_follow_prints_entries_as_they_come_until_ctrl_c(channel_name: str,
                                                         spawn: Spawn) -> None:
    maker = maker_with_entries(spawn, channel_name)
    tail = spawn("from quillmere_tools.cli import main\nsys.exit(main(sys.argv[1:]))",
                 "tail", channel_name, "-n", "1", "--follow")
    assert tail.readline().split()[0] == "11"  # printed before it starts to wait
    assert maker.request("write 3") == "14"
    assert [tail.readline().split()[0] for _ in range(3)] == ["12", "13", "14"]
    tail.proc.send_signal(signal.SIGINT)
    assert tail.wait() == 0


def test_looking_changes_no_byte_of_the_segment(channel_name: str, spawn: Spawn) -> None:
    maker_with_entries(spawn, channel_name).kill()  # no writer runs from here on
    path = shm_path(channel_name)

    def snapshot() -> tuple[str, int]:
        with open(path, "rb") as segment:
            return hashlib.sha256(segment.read()).hexdigest(), os.stat(path).st_mtime_ns

    before = snapshot()
    for args in (["ls"], ["ls", "--json"], ["stat", channel_name], ["stat", channel_name, "--json"],
                 ["watch", channel_name, "--interval", "0.01", "--count", "2"],
                 ["tail", channel_name, "-n", "8"], ["tail", channel_name, "--json"]):
        assert call_cli(*args).returncode == 0, args
    assert snapshot() == before


def test_a_live_process_under_a_dead_holders_pid_is_unknown(channel_name: str,
                                                            spawn: Spawn) -> None:
    maker = maker_with_entries(spawn, channel_name)
    maker.kill()
    stranger = spawn("sys.stdin.readline()")  # alive, but has never mapped the channel
    with open(shm_path(channel_name), "r+b") as segment:
        segment.seek(OWNER_PID_OFFSET)
        segment.write(struct.pack("<Q", stranger.pid))
    row = row_of(cli_json("ls"), channel_name)
    assert (row["owner_pid"], row["owner_alive"]) == (stranger.pid, None)
    assert (row["writer_pid"], row["writer_alive"]) == (maker.pid, False)
    assert f"owner             {stranger.pid} unknown" in call_cli("stat", channel_name).stdout
