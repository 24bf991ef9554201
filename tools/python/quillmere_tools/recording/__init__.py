"""Recording channels into MCAP files and playing them back.

    with Recorder(["/camera", "/imu"], "run.mcap"):   # until the block ends
        ...
    for channel, entry_seq, time_ns, payload in open_recording("run.mcap"):
        ...
    replay("run.mcap", rate=1.0, mapping={"/camera": "/camera-replay"})

Needs the `mcap` package and its compression packages: `pip install 'quillmere[record]'`.
"""

from __future__ import annotations

try:
    import mcap as _mcap  # noqa: F401  (this package is unusable without it)
except ImportError as error:
    raise ImportError(
        "recording needs the mcap package: pip install 'quillmere[record]' "
        "(or pip install mcap zstandard lz4)", name="mcap") from error

from quillmere_tools.recording._format import ChannelSpec
from quillmere_tools.recording._reading import Entry, Recording, open_recording
from quillmere_tools.recording._recorder import ChannelStats, Recorder
from quillmere_tools.recording._replay import GeometryMismatch, ReplaySummary, replay

__all__ = ["ChannelSpec", "ChannelStats", "Entry", "GeometryMismatch", "Recorder", "Recording",
           "ReplaySummary", "open_recording", "replay"]
