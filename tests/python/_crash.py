"""Peers that die at random instructions: the children of the crash tests.

A "zygote" interpreter imports the module once and forks short-lived writers
(or zero-copy readers), each killed with SIGKILL a random 0-5 ms after it was
forked, so thousands of deaths land inside claims, copies, publishes and header
stores. Between two lives the zygote inspects the segment through the
filesystem. Reader processes run alongside and check every entry they return.

Payload of every entry (64 bytes): entry_seq, generation (which writer life
wrote it), writer pid, 32 filler bytes derived from those, then an 8-byte
BLAKE2b checksum of the first 56 bytes. A torn or misnumbered entry cannot
pass `payload_problem`.
"""

from __future__ import annotations

import hashlib
import json
import os
import random
import select
import signal
import struct
import sys
import time

from _hostile import parse, read_segment

ENTRY_LENGTH = 64
ROLE_CONFLICT_EXIT = 3
ERROR_EXIT = 4
MAX_PROBLEMS = 20
_FIELDS = struct.Struct("<QQQ")


def make_payload(seq: int, generation: int) -> bytes:
    head = _FIELDS.pack(seq, generation, os.getpid())
    body = head + bytes((seq * 7 + generation * 13 + i) & 0xFF for i in range(32))
    return body + hashlib.blake2b(body, digest_size=8).digest()


def payload_fields(payload: bytes) -> tuple[int, int, int]:
    return _FIELDS.unpack_from(payload)


def payload_problem(seq: int, payload: bytes) -> str | None:
    body, check = payload[:56], payload[56:]
    if hashlib.blake2b(body, digest_size=8).digest() != check:
        return f"entry {seq}: torn payload (checksum mismatch)"
    if payload_fields(payload)[0] != seq:
        return f"entry {seq}: payload was written as entry {payload_fields(payload)[0]}"
    return None


# --------------------------------------------------------------------------- writers


def writer_life(name: str, generation: int) -> None:
    """A forked writer: takes over the role and writes until it is killed."""
    import quillmere

    try:
        writer = quillmere.BytesWriter(name)
    except quillmere.ChannelRoleConflict:
        os._exit(ROLE_CONFLICT_EXIT)
    except BaseException as e:  # noqa: BLE001 - reported through the exit code
        print(f"writer {generation}: {type(e).__name__}: {e}", file=sys.stderr, flush=True)
        os._exit(ERROR_EXIT)
    try:
        for n in range(2**62):
            seq = writer.last_entry_seq + 1
            if n % 3 == 2:  # every third entry is filled in place
                handle = writer.try_acquire()
                handle.payload[:] = make_payload(seq, generation)
                if handle.commit() != seq:
                    raise AssertionError(f"commit numbered {seq} differently")
            else:
                writer.write(make_payload(seq, generation))
    except BaseException as e:  # noqa: BLE001
        print(f"writer {generation}: {type(e).__name__}: {e}", file=sys.stderr, flush=True)
        os._exit(ERROR_EXIT)


def check_ring(name: str, generation: int, floor: int, problems: list[str]) -> int:
    """The segment after writer `generation` died; returns the new high mark."""
    model = parse(read_segment(name))
    magnitudes = [abs(w) for w in model.slot_words if w != 0]
    if len(set(magnitudes)) != len(magnitudes):
        problems.append(f"after life {generation}: duplicate entry_seq in {model.slot_words}")
    for word, payload in zip(model.slot_words, model.payloads):
        if word > 0 and (problem := payload_problem(word, payload)):
            problems.append(f"after life {generation}: committed slot: {problem}")
        elif word > 0 and payload_fields(payload)[1] == generation and word <= floor:
            problems.append(f"life {generation} numbered {word}, not above {floor}")
    if magnitudes and model.writer_entry_seq > max(magnitudes):
        problems.append(f"writer_entry_seq {model.writer_entry_seq} ahead of {magnitudes}")
    return max([floor, model.writer_entry_seq, *magnitudes])


def reap(pid: int, generation: int, stats: dict, problems: list[str]) -> None:
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL:
        stats["killed"] += 1
    elif os.WIFEXITED(status) and os.WEXITSTATUS(status) == ROLE_CONFLICT_EXIT:
        stats["role conflicts"] += 1  # a recycled pid in the role word: rare and allowed
    else:
        problems.append(f"life {generation} ended with status {status:#x}")


def kill_writers(name: str, lives: int, seed: int) -> dict:
    """Forks `lives` writers one after the other, each SIGKILLed at a random moment."""
    import quillmere  # noqa: F401 - imported once here, so each fork starts at once

    rng = random.Random(seed)
    stats = {"killed": 0, "role conflicts": 0}
    problems: list[str] = []
    floor = check_ring(name, 0, 0, problems)
    for generation in range(1, lives + 1):
        pid = os.fork()
        if pid == 0:
            writer_life(name, generation)
        time.sleep(rng.uniform(0, 0.005))
        os.kill(pid, signal.SIGKILL)
        reap(pid, generation, stats, problems)
        floor = check_ring(name, generation, floor, problems)
        if len(problems) >= MAX_PROBLEMS:
            break
    return {"stats": stats, "floor": floor, "problems": problems}


# --------------------------------------------------------------------------- readers


def stop_requested() -> bool:
    return bool(select.select([sys.stdin], [], [], 0)[0])


def read_until_stopped(name: str, use_out: bool) -> None:
    """A copying reader: checks every entry, prints a JSON summary when told to stop."""
    import numpy
    import quillmere

    reader = quillmere.BytesReader(name)
    out = numpy.empty(ENTRY_LENGTH, numpy.uint8) if use_out else None
    last_seq = last_generation = reads = 0
    problems: list[str] = []
    print("ready", flush=True)
    for n in range(2**62):
        if n % 256 == 0 and stop_requested():
            break
        got = reader.read(out=out)
        if got is None:
            continue
        seq, payload = got
        payload = payload.tobytes() if use_out else payload
        generation = payload_fields(payload)[1]
        problem = payload_problem(seq, payload)
        if problem is None and seq <= last_seq:
            problem = f"entry {seq} after entry {last_seq}"
        if problem is None and generation < last_generation:
            problem = f"entry {seq} of life {generation} after one of life {last_generation}"
        if problem and len(problems) < MAX_PROBLEMS:
            problems.append(problem)
        reads += 1
        last_seq, last_generation = seq, generation
    print(json.dumps({"reads": reads, "last": last_seq, "problems": problems}), flush=True)


# --------------------------------------------------------------------------- zero-copy readers


def holder_life(name: str, window: int, seed: int) -> None:
    """A forked zero-copy reader: holds up to `window` entries, cycling through the ring."""
    import quillmere

    try:
        reader = quillmere.BytesReader(name, enable_zero_copy=True)
    except quillmere.ChannelRoleConflict:
        os._exit(ROLE_CONFLICT_EXIT)
    except BaseException:  # noqa: BLE001
        os._exit(ERROR_EXIT)
    rng = random.Random(seed)
    held = []
    while True:
        handle = reader.try_acquire(from_entry_seq=0)  # the oldest entry nobody holds
        if handle is not None:
            held.append(handle)
        if len(held) > rng.randrange(window + 1) or (handle is None and held):
            held.pop(0).release()


def check_holds(name: str, retired: set[int], problems: list[str]) -> set[int]:
    """Slots held by dead readers stay held, with their entries intact."""
    model = parse(read_segment(name))
    held = {i for i, word in enumerate(model.slot_words) if word < 0}
    if not retired <= held:
        problems.append(f"slots {sorted(retired - held)} came back after their holder died")
    for i in held:
        if problem := payload_problem(-model.slot_words[i], model.payloads[i]):
            problems.append(f"held slot {i}: {problem}")
    return held


def write_around(writer, name: str, held: set[int], count: int, problems: list[str]) -> None:
    """The writer goes on over the slots nobody holds; BlockingIOError only when none is left."""
    before = parse(read_segment(name)).slot_words
    for _ in range(2 * count):
        try:
            writer.write(make_payload(writer.last_entry_seq + 1, 0))
        except BlockingIOError as e:
            if len(held) < count:
                problems.append(f"BlockingIOError with {len(held)} of {count} slots held: {e}")
            elif str(e) != f"all {count} ring slots are held by a reader":
                problems.append(f"unexpected message: {e}")
            return
    if len(held) == count:
        problems.append("a write succeeded although every slot is held")
    after = parse(read_segment(name)).slot_words
    if any(after[i] != before[i] for i in held):
        problems.append(f"the writer touched held slots: {before} -> {after}")


def kill_holders(name: str, count: int, max_lives: int, seed: int) -> dict:
    """Zero-copy readers die holding slots until every slot is retired."""
    import quillmere

    writer = quillmere.BytesWriter(name)
    rng = random.Random(seed)
    problems: list[str] = []
    stats = {"killed": 0, "role conflicts": 0}
    held: set[int] = set()
    write_around(writer, name, held, count, problems)
    for life in range(1, max_lives + 1):
        pid = os.fork()
        if pid == 0:
            holder_life(name, 3, seed + life)
        time.sleep(rng.uniform(0, 0.005))
        os.kill(pid, signal.SIGKILL)
        reap(pid, life, stats, problems)
        held = check_holds(name, held, problems)
        write_around(writer, name, held, count, problems)
        if len(held) == count or len(problems) >= MAX_PROBLEMS:
            break
    return {"stats": stats, "held": len(held), "problems": problems}


def main() -> None:
    role, name, *args = sys.argv[1:]
    if role == "kill-writers":
        print(json.dumps(kill_writers(name, int(args[0]), int(args[1]))), flush=True)
    elif role == "kill-holders":
        result = kill_holders(name, int(args[0]), int(args[1]), int(args[2]))
        print(json.dumps(result), flush=True)
    elif role == "reader":
        read_until_stopped(name, args[0] == "out")
