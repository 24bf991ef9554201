"""Tools around quillmere channels that go beyond the `quillmere` module itself.

The `quillmere` module stays exactly its fixed contract; everything built on top of it lives
here: waiting for entries without spinning (`wait`, `Doorbell`, `follow`, `afollow`), and
facts about a channel looked at by name (`trailer_state`), and many small entries per call
(`read_batch`, `write_batch`).
"""

from quillmere_tools._batch import read_batch, write_batch
from quillmere_tools._channel import TrailerState, trailer_state
from quillmere_tools._follow import afollow, follow
from quillmere_tools._wait import Doorbell, Reader, wait

__all__ = ["Doorbell", "Reader", "TrailerState", "afollow", "follow", "read_batch", "trailer_state",
           "wait", "write_batch"]
