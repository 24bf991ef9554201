"""wait, Doorbell and follow within one process: answers, timeouts, and errors for bad input."""

from __future__ import annotations

import math
import threading
import time

import pytest

import quillmere
import quillmere_tools
from quillmere_tools import Doorbell, follow, wait
from tools_timing import assert_times_out


@pytest.fixture
def ring(channel_name: str) -> tuple[quillmere.BytesWriter, quillmere.BytesReader]:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=16)
    return writer, quillmere.BytesReader(channel_name)


def test_wait_answers_at_once_when_an_entry_is_pending(ring: tuple) -> None:
    writer, reader = ring
    writer.write(bytes(8))
    assert wait(reader) is True
    assert wait(reader, 0) is True
    reader.read()
    assert wait(reader, 0) is False


@pytest.mark.parametrize("timeout", [0.0, 0.1, 0.3])
def test_timeouts_are_honoured(ring: tuple, channel_name: str, timeout: float) -> None:
    _, reader = ring
    assert_times_out(lambda: wait(reader, timeout), timeout)
    with Doorbell(channel_name) as bell:
        assert_times_out(lambda: bell.wait(0, timeout), timeout)


def test_wait_wakes_for_an_entry_written_by_another_thread_of_the_writer(channel_name: str) -> None:
    # The writer is bound to the thread that made it, so it is made on the writing thread.
    reader = quillmere.BytesReader(channel_name, entry_length=8, entry_count=16)
    ready = threading.Event()

    def write_later() -> None:
        writer = quillmere.BytesWriter(channel_name)
        ready.set()
        time.sleep(0.05)
        writer.write(b"12345678")

    thread = threading.Thread(target=write_later)
    thread.start()
    ready.wait(10)
    assert wait(reader, 30) is True
    assert reader.read() == (1, b"12345678")
    thread.join()


def test_wait_on_a_deferred_reader_finds_the_channel_when_it_appears(channel_name: str) -> None:
    reader = quillmere.BytesReader(channel_name, delayed_connect=True)
    assert wait(reader, 0.05) is False
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    writer.write(bytes(8))
    assert wait(reader, 30) is True
    assert reader.read() is not None


def test_float64_readers_are_waited_on_too(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=2, entry_count=4)
    reader = quillmere.Float64Reader(channel_name)
    assert wait(reader, 0) is False
    writer.write(__import__("numpy").ones(2))
    assert wait(reader, 0) is True


def test_one_doorbell_serves_many_threads(ring: tuple, channel_name: str) -> None:
    writer, _ = ring
    results: list[bool] = []
    with Doorbell(channel_name) as bell:
        threads = [
            threading.Thread(target=lambda: results.append(bell.wait(0, 30))) for _ in range(4)
        ]
        for thread in threads:
            thread.start()
        while quillmere_tools.trailer_state(channel_name).waiters < 4 and len(results) < 4:
            time.sleep(0.001)
        writer.write(bytes(8))
        for thread in threads:
            thread.join(30)
    assert results == [True] * 4
    assert quillmere_tools.trailer_state(channel_name).waiters == 0


def test_doorbell_after_entry_seq_is_any_watermark(ring: tuple, channel_name: str) -> None:
    writer, _ = ring
    for _ in range(3):
        writer.write(bytes(8))
    with Doorbell(channel_name) as bell:
        assert bell.wait(2, 0) is True
        assert bell.wait(3, 0) is False
        assert bell.wait(10, 0) is False


def test_closed_doorbell_refuses_waits(ring: tuple, channel_name: str) -> None:
    bell = Doorbell(channel_name)
    with bell:
        assert not bell.closed
    assert bell.closed
    bell.close()  # twice is fine
    with pytest.raises(ValueError, match="closed"):
        bell.wait(0, 0)
    assert "closed" in repr(bell)


def test_follow_yields_entries_in_order_then_stops_after_the_timeout(ring: tuple) -> None:
    writer, reader = ring
    for i in range(5):
        writer.write(i.to_bytes(8, "little"))
    got = [(seq, int.from_bytes(payload, "little")) for seq, payload in follow(reader, timeout=0.1)]
    assert got == [(i + 1, i) for i in range(5)]
    assert_times_out(lambda: bool(list(follow(reader, timeout=0.1))), 0.1)


def test_follow_refills_out(ring: tuple) -> None:
    import numpy

    writer, reader = ring
    writer.write(b"abcdefgh")
    out = numpy.zeros(8, dtype=numpy.uint8)
    [(seq, payload)] = list(follow(reader, out=out, timeout=0))
    assert seq == 1 and payload is out and bytes(out) == b"abcdefgh"


class TestBadInput:
    def test_not_a_reader(self, ring: tuple) -> None:
        writer, _ = ring
        for bad in (writer, "reader", None):
            with pytest.raises(TypeError, match="quillmere.BytesReader or quillmere.Float64Reader"):
                wait(bad, 0)  # type: ignore[arg-type]
            with pytest.raises(TypeError, match="quillmere.BytesReader"):
                follow(bad)  # type: ignore[call-overload]
            with pytest.raises(TypeError, match="quillmere.BytesReader"):
                quillmere_tools.afollow(bad)  # type: ignore[call-overload]

    @pytest.mark.parametrize(
        ("timeout", "error", "message"),
        [
            (-1, ValueError, "timeout must be zero or positive, got -1"),
            (-0.5, ValueError, "timeout must be zero or positive, got -0.5"),
            (math.nan, ValueError, "timeout must not be NaN"),
            ("1", TypeError, "timeout must be a number of seconds or None, got str"),
            (True, TypeError, "timeout must be a number of seconds or None, got bool"),
        ],
    )
    def test_bad_timeouts(
        self, ring: tuple, channel_name: str, timeout: object, error: type, message: str
    ) -> None:
        _, reader = ring
        with Doorbell(channel_name) as bell:
            calls = [
                lambda: wait(reader, timeout),  # type: ignore[arg-type]
                lambda: bell.wait(0, timeout),  # type: ignore[arg-type]
                lambda: follow(reader, timeout=timeout),  # type: ignore[call-overload]
                lambda: quillmere_tools.afollow(reader, timeout=timeout),  # type: ignore[call-overload]
            ]
            for call in calls:
                with pytest.raises(error, match=message):
                    call()

    def test_bad_spin_and_entry_seq(self, ring: tuple, channel_name: str) -> None:
        _, reader = ring
        with pytest.raises(ValueError, match="spin must be zero or positive, got -1"):
            wait(reader, 0, spin=-1)
        with Doorbell(channel_name) as bell:
            with pytest.raises(ValueError, match="after_entry_seq must be in 0 .. 2\\*\\*64 - 1, got -1"):
                bell.wait(-1)
            with pytest.raises(TypeError, match="after_entry_seq must be an integer, got float"):
                bell.wait(1.0)  # type: ignore[arg-type]

    def test_missing_channel_names_it(self, channel_name: str) -> None:
        with pytest.raises(FileNotFoundError, match=f"no channel named '{channel_name}'"):
            Doorbell(channel_name)
        with pytest.raises(TypeError, match="name must be a str, got bytes"):
            Doorbell(channel_name.encode())  # type: ignore[arg-type]

    def test_a_reader_is_waited_on_only_from_its_own_thread(self, ring: tuple) -> None:
        _, reader = ring
        errors: list[BaseException] = []

        def elsewhere() -> None:
            try:
                wait(reader, 0)
            except RuntimeError as error:
                errors.append(error)

        thread = threading.Thread(target=elsewhere)
        thread.start()
        thread.join(30)
        assert len(errors) == 1 and "thread that created it" in str(errors[0])
