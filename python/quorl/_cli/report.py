"""Messages on standard error, and the progress bar they keep clear of."""

from __future__ import annotations

import sys

from .status import PROG
from .streams import streams
from .sums import shown_name

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


class Reporter:
    """Messages on standard error, kept clear of the progress bar."""

    def __init__(self, bar: Any = None) -> None:
        self.bar = bar

    def __call__(self, text: str) -> None:
        line = f"{PROG}: {text}"
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            streams.error_line(line)


def refusal_detail(refusal: tuple[Any, ...]) -> str:
    """'line L column C: message', as RefusedError words it, the location
    given once (the reader's messages end with it too)."""
    _record_line, message, line, column, _offset = refusal
    if line is None:
        return str(message)
    where = f"line {line} column {column}"
    return f"{where}: {str(message).removesuffix(' at ' + where)}"


def refusal_text(name: str, refusal: tuple[Any, ...]) -> str:
    where = shown_name(name if refusal[0] is None else f"{name}:{refusal[0]}")
    return f"{where}: {refusal_detail(refusal)}"


def plural(count: int, one: str, many: str) -> str:
    return f"{count} {one if count == 1 else many}"


def make_progress(enabled: bool | None, total: int | None) -> Any:
    """A tqdm bar of bytes on standard error, or None. By default only on a
    terminal, and shown only once the work has taken more than a moment."""
    if 2 in streams.closed or sys.stderr is None:
        return None
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled:
        return None
    from tqdm import tqdm

    return tqdm(
        total=total,
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        delay=0.5,
        file=sys.stderr,
        dynamic_ncols=True,
        leave=False,
    )


class Progress:
    """Bytes done and records/s on a progress bar, when there is one."""

    def __init__(self, bar: Any) -> None:
        self.bar = bar
        self.records = 0

    def advance(self, nbytes: int, records: int) -> None:
        if self.bar is None:
            return
        self.records += records
        elapsed = self.bar.format_dict.get("elapsed") or 0
        if elapsed > 0:
            self.bar.set_postfix_str(f"{self.records / elapsed:,.0f} records/s", refresh=False)
        self.bar.update(nbytes)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
