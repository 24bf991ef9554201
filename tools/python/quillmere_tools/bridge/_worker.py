"""What both bridge ends share: a Zenoh session, one thread doing the work, stopping."""

from __future__ import annotations

import threading
from collections.abc import Callable

import zenoh

from quillmere_tools._closing import Closing
from quillmere_tools.bridge._session import close_session


# Told a short line whenever the bridge end's state changes (found its channel, forwarding,
# ...); called on the end's own thread.
Status = Callable[[str], None]


def _quiet(text: str) -> None:
    pass


class BridgeEnd(Closing):
    """Runs `_run` on a thread of its own until closed or failed.

    Channel endpoints are bound to the thread that made them, so each end makes, uses and
    drops its reader or writer on its thread; dropping it there is also what removes a name
    the end created.
    """

    def __init__(self, session: zenoh.Session, thread_name: str,
                 status: Status | None = None) -> None:
        self._session = session
        self._status: Status = status or _quiet
        self._stopping = threading.Event()
        self._stopped = threading.Event()
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._main, name=thread_name, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        raise NotImplementedError

    def _interrupt(self) -> None:
        """Wakes `_run` from a blocking wait once `_stopping` is set."""

    def _main(self) -> None:
        try:
            self._run()
        except BaseException as error:  # kept for the owner: error, wait(), the CLI's exit code
            if not self._stopping.is_set():
                self._error = error
        finally:
            self._stopped.set()

    def peers(self) -> int:
        """Zenoh peers and routers the session is connected to now."""
        info = self._session.info
        return len(info.peers_zid()) + len(info.routers_zid())

    @property
    def error(self) -> BaseException | None:
        """Why the bridge stopped by itself, or None while it runs or after close()."""
        return self._error

    def wait(self, timeout: float | None = None) -> bool:
        """True once the bridge has stopped: closed, or failed (see `error`)."""
        return self._stopped.wait(timeout)

    def close(self) -> None:
        """Stops the bridge and closes its Zenoh session; idempotent."""
        self._stopping.set()
        self._interrupt()
        if threading.current_thread() is not self._thread:
            self._thread.join()
        close_session(self._session)
