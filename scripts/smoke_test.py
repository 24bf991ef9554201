"""Checks an installed quillmere: import both packages, write one entry, wait for it and read
it back."""

import os
import uuid

import quillmere
import quillmere_tools


def round_trip(name: str, payload: bytes) -> object:
    writer = quillmere.BytesWriter(name, entry_length=len(payload), entry_count=4)
    reader = quillmere.BytesReader(name)
    writer.write(payload)
    assert quillmere_tools.wait(reader, timeout=5.0)
    return reader.read()


name = f"/qm-smoke-{os.getpid()}-{uuid.uuid4().hex[:8]}"
try:
    got = round_trip(name, b"smoke-ok")
finally:
    quillmere.unlink(name)
assert got == (1, b"smoke-ok"), got
print(f"smoke test passed: {quillmere.__file__}")
