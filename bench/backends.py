"""Every way of moving entries between processes that the suite compares.

A backend knows three things:
- `available()`: None when it can run here, else the reason it is skipped;
- `create(size, capacity, readers)` / `destroy(conf)`: make and remove one
  channel in the parent; `conf` is handed to spawned children as-is;
- `writer(conf)` / `reader(conf, index)`: open an end inside a child, and
  `inproc(size, batch)`: a namespace plus the statements timed in-process.

Writers have `send(data)` and `finish()` (an end marker for queues that
apply back-pressure); readers have `recv(deadline)` (wait for one payload,
for ping-pong), `recv_fast()` (one copying receive into a reused buffer:
payload length, 0 for the end marker, None for nothing yet) and `close()`.
Each backend uses its own fastest documented copying path.
"""

from __future__ import annotations

import ctypes
import importlib
import os
import queue as queue_module
import tempfile
import time

import numpy

import common
import shmring

POLL_CHECK_EVERY = 64  # busy-poll iterations between two looks at the clock (and a yield)
_POLL_BLOCK = (None,) * POLL_CHECK_EVERY
BLOCKING_TIMEOUT_S = 0.1  # a blocking receive returns None after this, to re-check deadlines


class Backend:
    name = "?"
    lossy = False  # drops entries instead of applying back-pressure
    native_fanout = False  # one send reaches every reader
    skip_to_newest = False  # reader can jump to the writer's newest entry
    plain_loops = False  # quillmere's bare reader loops (workload g)

    requires: str | None = None  # the module it needs, when that is not part of Python

    def available(self) -> str | None:
        if self.requires is None:
            return None
        try:
            importlib.import_module(self.requires)
        except Exception as exc:  # a broken binary wheel raises more than ImportError
            return f"{self.requires} does not import: {exc}"
        return None

    def destroy(self, conf) -> None:
        pass


def _spin_until(poll, deadline):
    """Busy-poll `poll()` until it returns something or the deadline passes."""
    while True:
        for _ in _POLL_BLOCK:  # a bare loop over a ready tuple: the cheapest poll rhythm Python has
            got = poll()
            if got is not None:
                return got
        if common.now() > deadline:
            return None
        # Give the core away after a few microseconds of nothing: with more busy processes than
        # cores, a pure spinner would keep its peer off the CPU for a whole time slice.
        os.sched_yield()


# --------------------------------------------------------------------------- quillmere


class QuillmereBackend(Backend):
    name = "quillmere"
    lossy = True
    native_fanout = True
    skip_to_newest = True
    plain_loops = True

    def available(self):
        try:
            import quillmere

            quillmere.BytesWriter, quillmere.BytesReader  # noqa: B018
        except (ImportError, AttributeError) as exc:
            return f"quillmere does not import: {exc}"
        return None

    def create(self, size, capacity, readers):
        import quillmere

        name = common.unique_name("qm")
        # The creating reader owns the segment: its name goes when the parent drops it.
        _creators[name] = quillmere.BytesReader(name, entry_length=size, entry_count=capacity)
        return {"name": name, "size": size, "capacity": capacity}

    def destroy(self, conf):
        import quillmere

        _creators.pop(conf["name"], None)
        quillmere.unlink(conf["name"])

    def writer(self, conf):
        import quillmere

        w = quillmere.BytesWriter(conf["name"], entry_length=conf["size"], entry_count=conf["capacity"])
        sender = _Sender(w.write, close=lambda: None, keep=w)
        sender.batch_writer = w  # for the batch writer of bench/batches.py
        return sender

    def reader(self, conf, index):
        return _QuillmereReader(conf)

    def inproc(self, size, batch):
        import quillmere

        name = common.unique_name("qm-inproc")
        w = quillmere.BytesWriter(name, entry_length=size, entry_count=2 * batch)
        ns = {
            "w": w,
            "r": quillmere.BytesReader(name),
            "z": quillmere.BytesReader(name, enable_zero_copy=True),
            "data": bytes(size),
            "out": numpy.empty(size, numpy.uint8),
        }
        ns["fill"] = lambda: [w.write(ns["data"]) for _ in range(batch)]
        ops = {
            "write": ("w.write(data)", "pass"),
            "read": ("r.read()", "fill()"),
            "read_into": ("r.read(out=out)", "fill()"),
            "zero_copy": ("z.try_acquire().release()", "fill()", "z.try_acquire()"),
        }

        def close():
            ns.clear()
            quillmere.unlink(name)

        return ns, ops, close


_creators: dict = {}


class _QuillmereReader:
    def __init__(self, conf):
        import quillmere

        self.name = conf["name"]
        self.r = quillmere.BytesReader(self.name)
        self.z = None
        self.size = conf["size"]
        self.out = numpy.empty(self.size, numpy.uint8)
        self.catch_up = conf["capacity"] // 2

    def recv(self, deadline):
        got = _spin_until(self.r.read, deadline)
        return None if got is None else got[1]

    def recv_fast(self):
        r = self.r
        if r.read(out=self.out) is not None:
            return self.size
        # Nothing newer, or four copies lost to the writer: skip to half a ring behind the
        # writer by hand. read() now does that itself after a lost copy; the streaming rows
        # keep the hand-made skip so that they stay comparable with earlier runs.
        behind = r.writer_entry_seq - self.catch_up
        if behind > r.last_entry_seq and r.read(out=self.out, from_entry_seq=behind) is not None:
            return self.size
        return None

    def plain_recv(self, how: str):
        """A bare loop's receive, without the catch-up idiom of recv_fast: `read()`,
        `read(out=)`, or the zero-copy reader's `try_acquire()` and `release()`."""
        r, out, size = self.r, self.out, self.size
        if how == "read":
            return lambda: None if r.read() is None else size
        if how == "read_out":
            return lambda: None if r.read(out=out) is None else size
        if self.z is None:  # the channel's one zero-copy reader: opened by the first who asks
            import quillmere

            self.z = quillmere.BytesReader(self.name, enable_zero_copy=True)
        acquire = self.z.try_acquire

        def zero_copy():
            handle = acquire()
            if handle is None:
                return None
            handle.release()
            return size

        return zero_copy

    def batch_recv(self, rows: int):
        """A batch reader's receive: how many entries one `read_batch` of `rows` rows copied,
        None for none. Lapped, it skips forward by read()'s own rule, like plain_recv."""
        from quillmere_tools import read_batch

        r, out = self.r, numpy.empty((rows, self.size), numpy.uint8)
        return lambda: read_batch(r, out) or None

    def read_seq(self, newest: bool):
        """(entry_seq, writer's newest entry_seq) of one read, or None."""
        r = self.r
        if newest:
            got = r.read(out=self.out, from_entry_seq=max(r.writer_entry_seq - 1, 0))
        else:
            got = r.read(out=self.out)
        return None if got is None else (got[0], r.writer_entry_seq)

    def close(self):
        self.r = self.z = None


class _Sender:
    """A writer end that is one callable plus its clean-up."""

    def __init__(self, send, *, close, finish=None, keep=None):
        self.send = send
        self._close = close
        self._finish = finish
        self._keep = keep

    def finish(self):
        if self._finish is not None:
            self._finish()

    def close(self):
        self._close()
        self._keep = None


# --------------------------------------------------------------------------- pure-Python ring


class ShmRingBackend(Backend):
    name = "shm seqlock ring (py)"
    lossy = True
    native_fanout = True
    skip_to_newest = True

    def create(self, size, capacity, readers):
        name = common.unique_name("ring")
        _creators[name] = shmring.Ring(name, size, capacity, create=True)
        return {"name": name, "size": size, "capacity": capacity}

    def destroy(self, conf):
        ring = _creators.pop(conf["name"], None)
        if ring is not None:
            ring.close(unlink=True)

    def _attach(self, conf):
        ring = shmring.Ring(conf["name"], conf["size"], conf["capacity"], create=False)
        # Children share the parent's resource tracker; the parent unlinks the segment.
        return ring

    def writer(self, conf):
        ring = self._attach(conf)
        return _Sender(shmring.RingWriter(ring).write, close=ring.close)

    def reader(self, conf, index):
        return _RingReader(self._attach(conf))

    def inproc(self, size, batch):
        name = common.unique_name("ring-inproc")
        ring = shmring.Ring(name, size, 2 * batch, create=True)
        w = shmring.RingWriter(ring)
        ns = {"w": w, "r": shmring.RingReader(ring), "data": bytes(size), "out": bytearray(size)}
        ns["fill"] = lambda: [w.write(ns["data"]) for _ in range(batch)]
        ops = {
            "write": ("w.write(data)", "pass"),
            "read": ("r.read()", "fill()"),
            "read_into": ("r.read_into(out)", "fill()"),
        }

        def close():
            ns.clear()
            ring.close(unlink=True)

        return ns, ops, close


class _RingReader:
    def __init__(self, ring):
        self.ring = ring
        self.r = shmring.RingReader(ring)
        self.out = bytearray(ring.entry_length)

    def recv(self, deadline):
        got = _spin_until(self.r.read, deadline)
        return None if got is None else got[1]

    def recv_fast(self):
        r = self.r
        if r.read_into(self.out) is not None:
            return self.ring.entry_length
        behind = r.newest_seq() - self.ring.entry_count // 2  # lapped: as _QuillmereReader
        if behind > r.last and r.read_into(self.out, behind) is not None:
            return self.ring.entry_length
        return None

    def read_seq(self, newest: bool):
        r = self.r
        watermark = max(r.newest_seq() - 1, 0) if newest else None
        seq = r.read_into(self.out, watermark)
        return None if seq is None else (seq, r.newest_seq())

    def close(self):
        self.out = None
        self.r = None
        self.ring.close()


# --------------------------------------------------------------------------- point-to-point queues


class _PointToPoint(Backend):
    """Queues with one consumer each: fan-out means one queue per reader."""

    def create(self, size, capacity, readers):
        return {"size": size, "capacity": capacity, "chans": [self._make(size, capacity) for _ in range(readers)]}

    def writer(self, conf):
        senders = [self._sender(chan, conf) for chan in conf["chans"]]
        if len(senders) == 1:
            return _Sender(senders[0], close=lambda: None, finish=lambda: senders[0](b""))

        def send_all(data):
            for send in senders:
                send(data)

        return _Sender(send_all, close=lambda: None, finish=lambda: send_all(b""))


class _QueueBackend(_PointToPoint):
    """A queue with put/get(timeout): the writer puts, each reader gets from its own queue."""

    def _sender(self, chan, conf):
        return chan.put

    def reader(self, conf, index):
        q = conf["chans"][index]

        def recv_fast():
            try:
                return len(q.get(timeout=BLOCKING_TIMEOUT_S))
            except queue_module.Empty:
                return None

        return _BlockingReader(lambda: _get_or_none(q, BLOCKING_TIMEOUT_S), recv_fast)


class MpQueueBackend(_QueueBackend):
    name = "multiprocessing.Queue"

    def _make(self, size, capacity):
        import multiprocessing

        return multiprocessing.get_context("spawn").Queue(maxsize=capacity)

    def inproc(self, size, batch):
        q = self._make(size, 4 * batch)
        ns = {"q": q, "data": bytes(size)}
        _queue_fill_drain(ns, q.put, lambda: q.get(timeout=5), batch)

        def settle():  # the feeder thread has taken everything out of the buffer
            limit = time.monotonic() + 0.05
            while getattr(q, "_buffer", None) and time.monotonic() < limit:
                time.sleep(0)  # lets the feeder thread have the interpreter lock

        ns["settle"] = settle
        ops = {"read": ("q.get()", "fill(); settle()")}
        # put() only appends to a buffer that a feeder thread of this process pickles and
        # sends later; a write is timed up to that hand-off, a batch at a time. A lone
        # process can do that only while a batch fits the pipe.
        if (size + 64) * batch <= _grow_pipe(q._writer):
            ns["put_batch"] = lambda: (ns["fill"](), settle())
            ops["write"] = ("put_batch()", "drain()", None, batch)

        def close():
            q.cancel_join_thread()  # entries left in the pipe must not block the feeder's exit
            q.close()

        return ns, ops, close


def _get_or_none(q, timeout):
    try:
        return q.get(timeout=timeout)
    except queue_module.Empty:
        return None


class _Pending:
    """How many entries an in-process batch left in a queue."""

    count = 0


def _queue_fill_drain(ns, put, get, batch):
    """`fill()` puts one batch; `drain()` takes back whatever the last batch put."""
    pending = _Pending()

    def fill():
        for _ in range(batch):
            put(ns["data"])

    def drain():
        for _ in range(pending.count):
            get()
        pending.count = batch  # the statement about to be timed puts one batch

    ns["fill"] = fill
    ns["drain"] = drain


class _BlockingReader:
    def __init__(self, recv_one, recv_fast, close=lambda: None):
        self._recv_one = recv_one
        self.recv_fast = recv_fast
        self._close = close

    def recv(self, deadline):
        while common.now() < deadline:
            got = self._recv_one()
            if got is not None:
                return got
        return None

    def close(self):
        self._close()


class MpPipeBackend(_PointToPoint):
    name = "multiprocessing.Pipe"

    def _make(self, size, capacity):
        import multiprocessing

        rx, tx = multiprocessing.get_context("spawn").Pipe(duplex=False)
        _grow_pipe(tx)
        return rx, tx

    def _sender(self, chan, conf):
        return chan[1].send_bytes

    def reader(self, conf, index):
        rx = conf["chans"][index][0]
        out = bytearray(conf["size"])
        # Blocking receive: the writer always ends a stream with an empty message.
        return _BlockingReader(rx.recv_bytes, lambda: rx.recv_bytes_into(out))

    def inproc(self, size, batch):
        if (size + 8) * batch * 2 > 1024 * 1024:
            return None  # a batch does not fit the pipe: a lone process would block on itself
        rx, tx = self._make(size, batch)
        ns = {"rx": rx, "tx": tx, "data": bytes(size), "out": bytearray(size)}
        _queue_fill_drain(ns, tx.send_bytes, rx.recv_bytes, batch)
        ops = {
            "write": ("tx.send_bytes(data)", "drain()"),
            "read": ("rx.recv_bytes()", "fill()"),
            "read_into": ("rx.recv_bytes_into(out)", "fill()"),
        }

        def close():
            ns["drain"]()
            rx.close()
            tx.close()

        return ns, ops, close


def _grow_pipe(conn) -> int:
    """Give the pipe the largest kernel buffer allowed (1 MiB by default), as a tuned setup would.

    Returns the pipe's buffer size in bytes.
    """
    import fcntl

    try:
        with open("/proc/sys/fs/pipe-max-size") as f:
            fcntl.fcntl(conn.fileno(), fcntl.F_SETPIPE_SZ, int(f.read()))
    except OSError:
        pass
    return fcntl.fcntl(conn.fileno(), fcntl.F_GETPIPE_SZ)


class FasterFifoBackend(_QueueBackend):
    name = "faster-fifo"
    requires = "faster_fifo"


    def _make(self, size, capacity):
        import faster_fifo

        return faster_fifo.Queue(max_size_bytes=max(capacity * (size + 64), 2 * size + 4096))

    def inproc(self, size, batch):
        q = self._make(size, 4 * batch)
        ns = {"q": q, "data": bytes(size)}
        _queue_fill_drain(ns, q.put, q.get, batch)
        ops = {"write": ("q.put(data)", "drain()"), "read": ("q.get()", "fill()")}
        return ns, ops, lambda: ns["drain"]()


# --------------------------------------------------------------------------- ZeroMQ


class ZmqBackend(Backend):
    """PUSH/PULL over ipc:// for one reader, PUB/SUB for fan-out (which drops at the high-water mark)."""

    name = "pyzmq ipc://"
    requires = "zmq"


    def create(self, size, capacity, readers):
        path = os.path.join(tempfile.gettempdir(), common.unique_name("zmq").lstrip("/") + ".ipc")
        return {"addr": "ipc://" + path, "path": path, "size": size, "capacity": capacity, "fanout": readers > 1}

    def destroy(self, conf):
        try:
            os.unlink(conf["path"])
        except FileNotFoundError:
            pass

    def writer(self, conf):
        import zmq

        ctx = zmq.Context()
        sock = ctx.socket(zmq.PUB if conf["fanout"] else zmq.PUSH)
        sock.setsockopt(zmq.SNDHWM, conf["capacity"])
        sock.setsockopt(zmq.LINGER, 0)
        sock.bind(conf["addr"])
        return _Sender(sock.send, close=lambda: (sock.close(0), ctx.term()), finish=lambda: sock.send(b""))

    def reader(self, conf, index):
        import zmq

        ctx = zmq.Context()
        sock = ctx.socket(zmq.SUB if conf["fanout"] else zmq.PULL)
        if conf["fanout"]:
            sock.setsockopt(zmq.SUBSCRIBE, b"")
        sock.setsockopt(zmq.RCVHWM, conf["capacity"])
        sock.setsockopt(zmq.RCVTIMEO, int(BLOCKING_TIMEOUT_S * 1000))
        sock.setsockopt(zmq.LINGER, 0)
        sock.connect(conf["addr"])
        out = bytearray(conf["size"])

        def recv_one():
            try:
                return sock.recv()
            except zmq.Again:
                return None

        def recv_fast():
            try:
                return sock.recv_into(out)
            except zmq.Again:
                return None

        return _BlockingReader(recv_one, recv_fast, close=lambda: (sock.close(0), ctx.term()))

    def inproc(self, size, batch):
        import zmq

        conf = self.create(size, 4 * batch, 1)
        ctx = zmq.Context()
        push, pull = ctx.socket(zmq.PUSH), ctx.socket(zmq.PULL)
        push.bind(conf["addr"])
        pull.connect(conf["addr"])
        ns = {"push": push, "pull": pull, "data": bytes(size), "out": bytearray(size)}
        _queue_fill_drain(ns, push.send, pull.recv, batch)
        ns["settle"] = lambda: time.sleep(0.001 + batch * size / 2e9)  # let the I/O thread move the batch
        ops = {
            "write": ("push.send(data)", "drain()"),
            "read": ("pull.recv()", "fill(); settle()"),
            "read_into": ("pull.recv_into(out)", "fill(); settle()"),
            "zero_copy": ("pull.recv(copy=False)", "fill(); settle()"),
        }

        def close():
            ns["drain"]()
            push.close(0)
            pull.close(0)
            ctx.term()
            self.destroy(conf)

        return ns, ops, close


# --------------------------------------------------------------------------- iceoryx2


class Iceoryx2Backend(Backend):
    """iceoryx2 publish-subscribe of uint8 slices, safe overflow (lossy like quillmere)."""

    name = "iceoryx2"
    requires = "iceoryx2"
    lossy = True
    native_fanout = True


    def create(self, size, capacity, readers):
        return {"service": common.unique_name("iox").strip("/").replace("-", "_"), "size": size, "capacity": capacity}

    def writer(self, conf):
        port = _IoxPort(conf)
        pub = port.service.publisher_builder().initial_max_slice_len(conf["size"]).create()
        send = _iox_sender(pub, conf["size"])
        return _Sender(send, close=port.close, keep=pub)

    def reader(self, conf, index):
        port = _IoxPort(conf)
        sub = port.service.subscriber_builder().create()
        return _IoxReader(port, sub, conf["size"])

    def inproc(self, size, batch):
        conf = self.create(size, 2 * batch, 1)
        port = _IoxPort(conf)
        pub = port.service.publisher_builder().initial_max_slice_len(size).create()
        reader = _IoxReader(port, port.service.subscriber_builder().create(), size)
        ns = {"send": _iox_sender(pub, size), "rd": reader, "data": bytes(size)}
        send = ns["send"]
        ns["fill"] = lambda: [send(ns["data"]) for _ in range(batch)]
        ns["drain"] = lambda: [None for _ in iter(reader.acquire_release, None)]
        ops = {
            "write": ("send(data)", "drain()"),
            "read": ("rd.recv_bytes()", "fill()"),
            "read_into": ("rd.recv_fast()", "fill()"),
            "zero_copy": ("rd.acquire_release()", "fill()"),  # receive a sample in place, give it back
        }

        def close():
            ns.clear()
            reader.close()
            pub.delete()
            port.close()

        return ns, ops, close


class _IoxPort:
    """One iceoryx2 node and the opened publish-subscribe service of a channel."""

    def __init__(self, conf):
        import iceoryx2 as iox

        iox.set_log_level(iox.LogLevel.Error)
        self.node = iox.NodeBuilder.new().create(iox.ServiceType.Ipc)
        self.service = (
            self.node.service_builder(iox.ServiceName.new(conf["service"]))
            .publish_subscribe(iox.Slice[ctypes.c_uint8])
            .subscriber_max_buffer_size(conf["capacity"])
            .history_size(0)
            .max_subscribers(8)
            .enable_safe_overflow(True)
            .open_or_create()
        )

    def close(self):
        self.service = None
        self.node = None


def _iox_sender(pub, size):
    memmove = ctypes.memmove

    def send(data):
        sample = pub.loan_slice_uninit(size)
        memmove(sample.payload_ptr, data, size)
        sample.assume_init().send()

    return send


class _IoxReader:
    def __init__(self, port, sub, size):
        self.port, self.sub, self.size = port, sub, size
        self.out = numpy.empty(size, numpy.uint8)
        self._out_ptr = self.out.ctypes.data

    def recv_bytes(self):
        sample = self.sub.receive()
        if sample is None:
            return None
        data = ctypes.string_at(sample.payload_ptr, self.size)
        sample.delete()
        return data

    def recv_fast(self):
        sample = self.sub.receive()
        if sample is None:
            return None
        ctypes.memmove(self._out_ptr, sample.payload_ptr, self.size)
        sample.delete()
        return self.size

    def acquire_release(self):
        sample = self.sub.receive()
        if sample is None:
            return None
        sample.delete()
        return True

    def recv(self, deadline):
        return _spin_until(self.recv_bytes, deadline)

    def close(self):
        self.sub.delete()
        self.port.close()


ALL = (
    QuillmereBackend(),
    ShmRingBackend(),
    MpQueueBackend(),
    MpPipeBackend(),
    ZmqBackend(),
    FasterFifoBackend(),
    Iceoryx2Backend(),
)
BY_NAME = {b.name: b for b in ALL}
