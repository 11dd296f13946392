"""The signals that end a run early, cleaning up as Ctrl-C does: SIGTERM,
SIGHUP and SIGQUIT raise Terminated, and the run ends with 128 + the
signal's number. A signal ignored when the command starts (nohup) stays
ignored."""

from __future__ import annotations

import contextlib
import signal

from .status import Terminated

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator

STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT}


def _on_stop(signum: int, frame: object) -> None:
    raise Terminated(signum)


def install() -> None:
    for signum in STOP_SIGNALS - {signal.SIGINT}:
        if signal.getsignal(signum) != signal.SIG_IGN:
            signal.signal(signum, _on_stop)


@contextlib.contextmanager
def interrupts_held() -> Iterator[None]:
    """Delays the stop signals (delivered when the block ends)."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
