"""Child processes of the suite: each opens its channel ends once, then runs the trials it is sent.

A `Session` in the parent spawns the workers (start method "spawn", so every
child is a fresh interpreter), waits until each reports ready, sends one
command per worker per trial and collects the answers, always under a
timeout. Leaving the `with` block stops and reaps every child, killing the
ones that do not stop by themselves.
"""

from __future__ import annotations

import multiprocessing
import os
import time
import traceback

import common

STOP = b"STOP" + bytes(60)  # the ping-pong stop message (64 bytes, like every ping)
READ_CHECK_EVERY = 64  # reads between two looks at the clock
PLAIN_READS = ("zero_copy", "read", "read_out")  # quillmere's bare reader loops (xproc.plain)


class WorkerError(RuntimeError):
    pass


class Session:
    """`workers` child processes sharing the channels `confs` ({key: conf}) of one backend.

    Each command names the ends its worker needs, ("writer", key) or
    ("reader", key, index); a worker opens an end the first time and keeps it.
    """

    def __init__(self, backend, confs: dict, workers: int, *, ready_timeout: float = 60.0):
        ctx = multiprocessing.get_context("spawn")
        self.procs, self.conns, self.broken = [], [], None
        try:
            for _ in range(workers):
                parent, child = ctx.Pipe()
                proc = ctx.Process(target=worker, args=(backend.name, confs, child), daemon=True)
                proc.start()
                child.close()
                self.procs.append(proc)
                self.conns.append(parent)
            for conn in self.conns:
                self._answer(conn, ready_timeout)
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    @staticmethod
    def _answer(conn, timeout):
        if not conn.poll(timeout):
            raise WorkerError(f"no answer from a worker within {timeout:.0f} s")
        try:
            status, value = conn.recv()
        except EOFError:
            raise WorkerError("a worker died without answering") from None
        if status == "error":
            raise WorkerError(value)
        return value

    def run(self, commands, timeout: float):
        """Send commands[i] to worker i (workers past the list stay idle); return the answers.

        Every answer is collected before a worker's error is raised, so the next
        trial starts clean; a worker that does not answer in time breaks the session.
        """
        if self.broken:
            raise WorkerError(f"an earlier trial left a worker hanging: {self.broken}")
        for conn, command in zip(self.conns, commands):
            conn.send(command)
        limit = time.monotonic() + timeout
        answers, failure = [], None
        for conn, _ in zip(self.conns, commands):
            try:
                answers.append(self._answer(conn, max(0.1, limit - time.monotonic())))
            except WorkerError as exc:
                failure = failure or exc
                if "no answer" in str(exc) or "died" in str(exc):
                    self.broken = str(exc)
        if failure:
            raise failure
        return answers

    def close(self):
        for conn in self.conns:
            try:
                conn.send(None)
            except OSError:
                pass
        for proc in self.procs:
            proc.join(2)
            if proc.is_alive():
                proc.terminate()
                proc.join(1)
            if proc.is_alive():
                proc.kill()
                proc.join()
        for conn in self.conns:
            conn.close()
        self.procs, self.conns = [], []


# --------------------------------------------------------------------------- inside the child


def worker(backend_name, confs, ctrl):
    import backends

    backend = backends.BY_NAME[backend_name]
    opened: dict = {}

    def end(ref):
        if ref not in opened:
            role, key, *index = ref
            opened[ref] = backend.writer(confs[key]) if role == "writer" else backend.reader(confs[key], index[0])
        return opened[ref]

    try:
        ctrl.send(("ready", os.getpid()))
        while (command := ctrl.recv()) is not None:
            try:
                ends = [end(tuple(ref)) for ref in command["ends"]]
                ctrl.send(("ok", TASKS[command["task"]](ends, command)))
            except Exception:  # this trial failed; the worker stays for the next one
                ctrl.send(("error", traceback.format_exc()))
    except (EOFError, OSError, KeyboardInterrupt):
        pass  # the parent is gone or stopping us
    finally:
        for opened_end in reversed(list(opened.values())):
            try:
                opened_end.close()
            except Exception:
                pass


def _sleep_until(when: float) -> None:
    """Sleep most of the way, then spin, so that every worker starts at the same instant."""
    remaining = when - common.now()
    if remaining > 0.002:
        time.sleep(remaining - 0.002)
    while common.now() < when:
        pass


def task_echo(ends, command):
    reader, writer = ends
    recv, send, deadline = reader.recv, writer.send, command["deadline"]
    count = 0
    while (message := recv(deadline)) is not None and message != STOP:
        send(message)
        count += 1
    return count


def task_ping(ends, command):
    writer, reader = ends
    send, recv, deadline = writer.send, reader.recv, command["deadline"]
    clock = time.perf_counter_ns
    message = bytes(range(64))
    # Warm up for a while rather than a number of round trips: two processes that were just
    # woken (and virtual CPUs that the host had parked) need milliseconds to reach speed.
    warm_until = common.now() + command["warmup_seconds"]
    stop_after = warm_until + command["seconds"]
    samples = []
    try:
        while len(samples) < command["round_trips"]:
            start = clock()
            send(message)
            if recv(deadline) is None:
                break
            if warm_until:
                if common.now() > warm_until:
                    warm_until = 0.0
                continue
            samples.append(clock() - start)
            if len(samples) % 256 == 0 and common.now() > stop_after:
                break
    finally:
        writer.send(STOP)
    return samples


def task_write(ends, command):
    """Write flat out, or paced at command["rate"] entries/s, for one window."""
    (writer,) = ends
    data = bytes(command["size"])
    start, end, rate = command["start"], command["start"] + command["duration"], command["rate"]
    _sleep_until(start)
    if command.get("batch"):
        written = _write_batches(writer.batch_writer, command["size"], command["batch"], end)
    elif rate:
        written = _write_paced(writer.send, data, start, end, rate)
    else:
        written = _write_flat(writer.send, data, end)
    elapsed = common.now() - start
    writer.finish()
    return {"written": written, "elapsed": elapsed}


def _write_flat(send, data, end) -> int:
    chunk = max(1, 16384 // len(data))
    written = 0
    while common.now() < end:
        for _ in range(chunk):
            send(data)
        written += chunk
    return written


def _write_batches(writer, size, rows, end) -> int:
    """quillmere only: write_batch of `rows` entries at a time, flat out."""
    import numpy
    from quillmere_tools import write_batch

    block = numpy.zeros((rows, size), numpy.uint8)
    written = 0
    while common.now() < end:
        for _ in range(max(1, 256 // rows)):
            write_batch(writer, block)
        written += max(1, 256 // rows) * rows
    return written


def _write_paced(send, data, start, end, rate) -> int:
    """Keep `written` at the schedule rate * elapsed; bursts catch up after a stall."""
    written = 0
    while (t := common.now()) < end:
        due = int((t - start) * rate) + 1
        while written < due:
            send(data)
            written += 1
    # A stall just before the end must not drop the schedule's last entries; task_write
    # reports how late this finishes, and a late finish fails the trial.
    for _ in range(int((end - start) * rate) - written):
        send(data)
        written += 1
    return written


def task_read(ends, command):
    (reader,) = ends
    start = command["start"]
    hard_end = start + command["duration"] + command["grace"]
    if command["lossy"]:
        while reader.recv_fast() is not None:  # entries of an earlier trial
            pass
    _sleep_until(start)
    if command["mode"] == "copy":
        return _read_copies(reader.recv_fast, start, hard_end)
    if command["mode"] in PLAIN_READS:
        return _read_copies(reader.plain_recv(command["mode"]), start, hard_end)
    if command["mode"] == "batch":
        return _read_batches(reader.batch_recv(command["rows"]), hard_end)
    return _read_lagging(reader, command, hard_end)


def _read_copies(recv, start, hard_end):
    """Count copies until the end marker of a queue or, for a ring, the end of the window."""
    received = polls = 0
    ended_at = None
    while True:
        got = recv()
        if got == 0:  # end marker of a queue
            ended_at = common.now() - start
            break
        if got is None:
            polls += 1
            if polls % READ_CHECK_EVERY == 0 and common.now() > hard_end:
                break
            continue
        received += 1
        if received % READ_CHECK_EVERY == 0 and common.now() > hard_end:
            break
    return {"received": received, "ended_after": ended_at}


def _read_batches(recv, hard_end):
    """A ring's batch reader: `recv()` copies several entries per call; count them all."""
    received = calls = 0
    while True:
        received += recv() or 0
        calls += 1
        if calls % READ_CHECK_EVERY == 0 and common.now() > hard_end:
            return {"received": received, "ended_after": None}


def _read_lagging(reader, command, hard_end):
    """A slow reader: `work_ns` of work per entry, reading in order or skipping to the newest."""
    newest, work = command["mode"] == "newest", command["work_ns"]
    clock = time.perf_counter_ns
    lags, gaps, previous = [], 0, None
    while common.now() < hard_end:
        got = reader.read_seq(newest)
        if got is None:
            continue
        seq, head = got
        lags.append(head - seq)
        if previous is not None and seq != previous + 1:
            gaps += 1
        previous = seq
        busy_until = clock() + work
        while clock() < busy_until:
            pass
    return {"received": len(lags), "gaps": gaps, "lags": lags}


TASKS = {"echo": task_echo, "ping": task_ping, "write": task_write, "read": task_read}
