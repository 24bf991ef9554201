"""The Zenoh session of one bridge end: where it connects and listens, and nothing else.

Zenoh's own defaults scout by multicast, gossip about peers and listen on every interface.
A bridge talks only to the endpoints it is given, unless it is asked to scout.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path

import zenoh

_SCOUTING_KEYS = ("scouting/multicast/enabled", "scouting/gossip/enabled")


@dataclass(frozen=True)
class SessionOptions:
    """connect/listen: Zenoh endpoints such as "tcp/10.0.0.2:7447"; config: a JSON5 file for
    everything else; scout: allow multicast scouting and gossip (off otherwise)."""

    connect: tuple[str, ...] = ()
    listen: tuple[str, ...] = ()
    config: str | os.PathLike[str] | None = None
    scout: bool = False

    @classmethod
    def of(cls, connect: Iterable[str], listen: Iterable[str],
           config: str | os.PathLike[str] | None, scout: bool) -> SessionOptions:
        for endpoints in (connect, listen):
            if isinstance(endpoints, str):
                raise TypeError("connect and listen take a sequence of endpoints, not a str")
        return cls(tuple(connect), tuple(listen), config, scout)

    def zenoh_config(self) -> zenoh.Config:
        config = zenoh.Config() if self.config is None else zenoh.Config.from_file(
            Path(self.config))
        if self.connect:
            config.insert_json5("connect/endpoints", json.dumps(list(self.connect)))
        if self.listen or _unset(config, "listen/endpoints"):
            # Zenoh's own default listens on every interface: here only when asked.
            config.insert_json5("listen/endpoints", json.dumps(list(self.listen)))
        for key in _SCOUTING_KEYS:
            config.insert_json5(key, json.dumps(self.scout))
        # A session that reconnects quickly when the other end comes back.
        config.insert_json5("connect/retry", json.dumps(
            {"period_init_ms": 100, "period_max_ms": 1000, "period_increase_factor": 2}))
        self._check_scouting(config)
        return config

    def _check_scouting(self, config: zenoh.Config) -> None:
        for key in _SCOUTING_KEYS:
            if json.loads(config.get_json(key)) is not self.scout:
                raise RuntimeError(f"Zenoh did not take {key}={json.dumps(self.scout)}")

    def open(self) -> zenoh.Session:
        return zenoh.open(self.zenoh_config())


def _unset(config: zenoh.Config, key: str) -> bool:
    """True when `config` still has Zenoh's default for `key`."""
    return bool(config.get_json(key) == zenoh.Config().get_json(key))


def close_session(session: zenoh.Session) -> None:
    """Closes a session once; Zenoh's stub leaves close() unannotated."""
    if not session.is_closed():
        session.close()  # type: ignore[no-untyped-call]
