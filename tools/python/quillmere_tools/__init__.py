"""Tools around quillmere channels that go beyond the `quillmere` module itself.

The `quillmere` module stays exactly its fixed contract; everything built on top of it lives
here: waiting for entries without spinning (`wait`, `Doorbell`, `follow`, `afollow`),
facts about a channel looked at by name (`trailer_state`), many small entries per call
(`read_batch`, `write_batch`), and where the C library for C and C++ programs is installed
(`get_include`, `get_library_dir`, `get_cmake_dir`).
"""

from quillmere_tools._batch import read_batch, write_batch
from quillmere_tools._c_library import get_cmake_dir, get_include, get_library_dir
from quillmere_tools._channel import TrailerState, trailer_state
from quillmere_tools._follow import afollow, follow
from quillmere_tools._version import __version__
from quillmere_tools._wait import Doorbell, Reader, wait

__all__ = [
    "Doorbell",
    "Reader",
    "TrailerState",
    "afollow",
    "follow",
    "get_cmake_dir",
    "get_include",
    "get_library_dir",
    "read_batch",
    "trailer_state",
    "wait",
    "write_batch",
]
