"""The signals that end a run early, cleaning up as Ctrl-C does."""

from __future__ import annotations

import contextlib
import signal

from .status import Terminated

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator

STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


def _on_terminate(signum: int, frame: object) -> None:
    raise Terminated


def install() -> None:
    """SIGTERM raises Terminated (Ctrl-C already raises KeyboardInterrupt)."""
    signal.signal(signal.SIGTERM, _on_terminate)


@contextlib.contextmanager
def interrupts_held() -> Iterator[None]:
    """Delays the stop signals (delivered when the block ends)."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
