"""Tools around quillmere channels that go beyond the `quillmere` module itself.

The `quillmere` module stays exactly its fixed contract; everything built on top of it
(waiting for entries, and later the command line, bridges and typed frames) lives here.
"""

from quillmere_tools._channel import trailer_state

__all__ = ["trailer_state"]
