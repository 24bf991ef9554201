"""The Zenoh session of one bridge end: where it connects and listens, and nothing else.

Zenoh's own defaults scout by multicast, gossip about peers and listen on every interface.
A bridge talks only to the endpoints it is given, unless it is asked to scout.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Callable, Iterable
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
        config = zenoh.Config() if self.config is None else _read_config(Path(self.config))
        if self.connect:
            _insert_endpoints(config, "connect", self.connect)
        if self.listen or _unset(config, "listen/endpoints"):
            # Zenoh's own default listens on every interface: here only when asked.
            _insert_endpoints(config, "listen", self.listen)
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

    def open(self, status: Callable[[str], None] | None = None) -> zenoh.Session:
        """The session; `status` is told where it listens and what it connects to."""
        config = self.zenoh_config()
        try:
            session = zenoh.open(config)
        except zenoh.ZError as error:
            where = "; ".join(f"{role} {', '.join(endpoints)}" for role, endpoints in
                              (("listen", self.listen), ("connect", self.connect)) if endpoints)
            raise RuntimeError(f"cannot start a Zenoh session ({where or 'no endpoints'}"
                               f"{self._config_text()}): {zenoh_reason(error)}") from None
        if status is not None:
            for endpoint in self.listen:
                status(f"listening on {endpoint}")
            for endpoint in self.connect:
                status(f"connecting to {endpoint}")
        return session

    def _config_text(self) -> str:
        return "" if self.config is None else f", configuration file '{self.config}'"


def check_key(key: str) -> None:
    """Refuses a key that is not a Zenoh key expression, before anything is opened."""
    try:
        zenoh.KeyExpr(key)
    except zenoh.ZError as error:
        raise ValueError(
            f"key {key!r} is not a Zenoh key expression: {zenoh_reason(error)}") from None


def zenoh_reason(error: BaseException) -> str:
    """Zenoh's message without the Rust source locations it carries; one line."""
    text = re.sub(r" at \S+\.rs:\d+\.?", "", str(error))
    return " ".join(text.split())


def _read_config(path: Path) -> zenoh.Config:
    """The JSON5 file as a Zenoh configuration, or an error naming the file."""
    try:
        text = path.read_text()
    except OSError as error:
        raise type(error)(error.errno, f"cannot read the Zenoh configuration file '{path}': "
                          f"{error.strerror}") from None
    try:
        return zenoh.Config.from_json5(text)
    except zenoh.ZError as error:
        reason = str(error)
        place = re.search(r"-->\s*(\d+):(\d+)", reason)
        expected = re.search(r"=\s*(.+?)(?: at \S+\.rs:\d+\.?)?$", reason, re.MULTILINE)
        if place and expected:
            reason = f"line {place[1]}, column {place[2]}: {expected[1]}"
        else:
            reason = zenoh_reason(error)
        raise ValueError(f"Zenoh configuration file '{path}' is not valid: {reason}") from None


def _insert_endpoints(config: zenoh.Config, role: str, endpoints: tuple[str, ...]) -> None:
    """Sets `role`/endpoints, or names the first endpoint Zenoh refuses and why."""
    try:
        config.insert_json5(f"{role}/endpoints", json.dumps(list(endpoints)))
        return
    except zenoh.ZError as error:
        whole = error
    for endpoint in endpoints:
        try:
            zenoh.Config().insert_json5(f"{role}/endpoints", json.dumps([endpoint]))
        except zenoh.ZError as error:
            why = re.search(r'msg: "(.*?)(?::\s*\S*)?(?: at \S+\.rs:\d+\.?)?"', str(error))
            reason = why[1] if why else zenoh_reason(error)
            raise ValueError(f"{role} endpoint '{endpoint}' refused: {reason}") from None
    raise ValueError(f"{role} endpoints {list(endpoints)} refused: {zenoh_reason(whole)}")


def _unset(config: zenoh.Config, key: str) -> bool:
    """True when `config` still has Zenoh's default for `key`."""
    return bool(config.get_json(key) == zenoh.Config().get_json(key))


def close_session(session: zenoh.Session) -> None:
    """Closes a session once; Zenoh's stub leaves close() unannotated."""
    if not session.is_closed():
        session.close()  # type: ignore[no-untyped-call]
