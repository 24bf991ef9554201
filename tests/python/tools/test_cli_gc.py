"""`quillmere gc` on real channels, in a directory of links so that it never touches
channels of other programs: dead holders, live ones, reused pids, --yes and --json."""

from __future__ import annotations

import struct
import time
from collections.abc import Callable

from cli_support import MAKER, LinkDirectory, call_cli, cli_json, link_directory
from qm_support import Child, shm_path

__all__ = ["link_directory"]  # the fixture, used by name

Spawn = Callable[..., Child]
MAPPINGS = "keep their mappings"


def channel_of(spawn: Spawn, name: str, alive: bool) -> Child:
    maker = spawn(MAKER, name)
    maker.expect("ready")
    assert maker.request("write 3") == "3"
    if not alive:
        maker.kill()  # SIGKILL and reaped: owner and writer words name a dead pid
    return maker


def test_gc_removes_only_channels_whose_holders_are_gone(
    make_channel_name: Callable[[], str], spawn: Spawn, link_directory: LinkDirectory
) -> None:
    dead, live = make_channel_name(), make_channel_name()
    channel_of(spawn, dead, alive=False)
    channel_of(spawn, live, alive=True)
    link_directory.link(dead)
    link_directory.link(live)
    where = link_directory.path

    listed = call_cli("gc", directory=where)
    assert listed.returncode == 0
    assert dead in listed.stdout and live not in listed.stdout
    assert "1 channel would be removed" in listed.stdout and MAPPINGS in listed.stdout
    assert [row["name"] for row in cli_json("gc", directory=where)] == [dead]
    assert link_directory.holds(dead), "gc without --yes removed something"

    removed = cli_json("gc", "--yes", directory=where)
    assert [row["name"] for row in removed] == [dead]
    assert not link_directory.holds(dead) and link_directory.holds(live)
    again = call_cli("gc", "--yes", directory=where)
    assert again.stdout == "no abandoned channels\n" and again.returncode == 0


def test_gc_sees_through_a_reused_pid(channel_name: str, spawn: Spawn,
                                      link_directory: LinkDirectory) -> None:
    channel_of(spawn, channel_name, alive=False)
    stranger = spawn("sys.stdin.readline()")  # alive under the owner's pid, as if reused
    with open(shm_path(channel_name), "r+b") as segment:
        segment.seek(32)
        segment.write(struct.pack("<Q", stranger.pid))
    link_directory.link(channel_name)
    result = call_cli("gc", "--yes", directory=link_directory.path)
    assert f"{stranger.pid} unknown" in result.stdout and "removed 1 channel." in result.stdout
    assert MAPPINGS in result.stdout
    assert not link_directory.holds(channel_name)


WAITER = """
    import asyncio
    import quillmere_tools
    bell = quillmere_tools.Doorbell(sys.argv[1])
    print("ready", flush=True)
    asyncio.run(bell.wait_async(2**63, 60))  # registered for the whole wait
"""


def test_a_live_waiter_keeps_a_channel_from_gc(channel_name: str, spawn: Spawn,
                                               link_directory: LinkDirectory) -> None:
    channel_of(spawn, channel_name, alive=False)
    waiter = spawn(WAITER, channel_name)
    waiter.expect("ready")
    for _ in range(1000):
        if cli_json("stat", channel_name)["waiters"] == 1:
            break
        time.sleep(0.01)
    link_directory.link(channel_name)
    where = link_directory.path
    shown = call_cli("stat", channel_name, directory=where).stdout
    assert f"1 (pid {waiter.pid} alive)" in shown
    assert call_cli("gc", "--yes", directory=where).stdout == "no abandoned channels\n"
    assert link_directory.holds(channel_name)
    waiter.kill()
    assert [row["name"] for row in cli_json("gc", "--yes", directory=where)] == [channel_name]
    assert not link_directory.holds(channel_name)
