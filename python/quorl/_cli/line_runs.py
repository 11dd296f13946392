"""Runs of whole lines of JSON Lines, of about a given size: memory stays at
about one run per task in flight, however long the input."""

from __future__ import annotations

import os

from quorl import _native

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator

    from .compressed import InputStream

#: Near the end of a file, runs shrink to an eighth of what is left.
TAIL_RUNS = 8


class Run:
    """Whole lines: data, the first numbered first_line, the last possibly
    without its newline (the end of the input). end_line is the number of
    the line after it; offset is where data starts in its input."""

    __slots__ = ("first_line", "data", "end_line", "offset")

    def __init__(
        self, first_line: int, data: bytes | memoryview, newlines: int, offset: int
    ) -> None:
        self.first_line, self.data, self.offset = first_line, data, offset
        unended = len(data) > 0 and data[-1] != 0x0A
        self.end_line = first_line + newlines + unended


def split_lines(stream: InputStream, chunk: int, *, reuse: bool = False) -> Iterator[Run]:
    """Runs of whole lines of about chunk bytes read from a stream. Memory
    stays at about one run plus one line, however long the stream. data is
    bytes, or with reuse a view of one buffer that the next run overwrites
    (for a caller that is done with each run before the next: no copy, and
    no new pages for every run)."""
    line, offset = 1, 0
    buf = bytearray(chunk)
    held = 0  # the start of a line not yet ended, at the start of buf
    while True:
        if held == len(buf):  # a line longer than the buffer: a larger one
            bigger = bytearray(2 * len(buf))
            bigger[:held] = buf
            buf = bigger
        with memoryview(buf) as whole:
            with whole[held:] as free:
                n = stream.readinto(free) or 0
            filled = held + n
            if n == 0:  # the end: the last line, without its newline
                if held:
                    yield Run(line, whole[:held] if reuse else bytes(whole[:held]), 0, offset)
                return
            end, newlines = _native.line_ends(whole[:filled])
            if end == 0:
                held = filled
                continue
            yield Run(line, whole[:end] if reuse else bytes(whole[:end]), newlines, offset)
            line, offset = line + newlines, offset + end
            held = filled - end
            whole[:held] = whole[end:filled]


def file_runs(
    fd: int, chunk: int, total: int = 0, *, offset: int = 0, line: int = 1
) -> Iterator[Run]:
    """Runs of whole lines of a regular file, of about chunk bytes, from
    offset (where line starts), each read into a bytes object of its own
    (data is a view of its whole lines). A worker walks a view of bytes
    without the interpreter lock, and the bytes are copied once, by the
    read. Given the file's size (total), the last eight runs' worth are cut
    into runs of an eighth of what is left (down to an eighth of a run), so
    that the workers end close together."""

    def run_size() -> int:
        if total <= 0:
            return chunk
        return max(min(chunk, (total - offset) // TAIL_RUNS), chunk // TAIL_RUNS, 1)

    size = run_size()
    while True:
        data = os.pread(fd, size, offset)
        if not data:
            return
        end, newlines = _native.line_ends(data)
        if end == 0:
            if len(data) == size:  # a line longer than a run: read more at once
                size *= 2
                continue
            end = len(data)  # the last line, without its newline
        yield Run(line, memoryview(data)[:end], newlines, offset)
        offset, line = offset + end, line + newlines
        size = run_size()
