"""The tasks of quorl check: a run of lines of a JSON Lines file checked
against the records a sums file lists in it, a whole document checked
against its line, and listed records settled without reading (past the
end of their file, or in a file that could not be read)."""

from __future__ import annotations

import bisect
import os
import stat

import quorl
from quorl import _native

from . import compressed
from .line_runs import file_runs, split_lines
from .sums import escape_name
from .tasks import THREAD_BYTES, Result, Task

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import Any

    from .compressed import InputStream
    from .line_runs import Run
    from .tasks import Work

#: Bytes of one listed record in the entries parse_sums packs.
ENTRY_BYTES = 72

#: Verdict lines written: none (--status), failures only (--quiet), or all.
SHOW_NONE, SHOW_FAILED, SHOW_ALL = 0, 1, 2


class Verdicts(Result):
    """A check task's result: out holds its verdict lines, refusals its
    problems (record line or None, message or None for a blank line, line,
    column, offset); matched and mismatched count digests compared; hint
    names a profile under which a mismatched digest matches."""

    __slots__ = ("matched", "mismatched", "hint")

    def __init__(
        self,
        out: bytes = b"",
        refusals: list[tuple[Any, ...]] | None = None,
        matched: int = 0,
        mismatched: int = 0,
        hint: str | None = None,
    ) -> None:
        super().__init__(out, refusals, matched + mismatched + len(refusals or ()))
        self.matched, self.mismatched, self.hint = matched, mismatched, hint


class RecordsCheck(Task):
    """A run of lines checked against the entries listed within it."""

    __slots__ = ("run_data", "first_line", "entries", "path", "profile", "show", "others")

    def __init__(
        self,
        name: str,
        path: bytes,
        run: Run,
        entries: memoryview,
        profile: str,
        show: int,
        others: tuple[str, ...],
    ) -> None:
        super().__init__(name)
        self.path, self.run_data, self.first_line = path, run.data, run.first_line
        self.entries, self.profile, self.show, self.others = entries, profile, show, others

    @property
    def lock_free(self) -> bool:
        return True

    def _run(self, work: Work) -> Result:
        out, problems, matched, mismatched, hint = _native.check_records(
            self.run_data,
            self.profile,
            self.entries,
            name=self.path,
            first_line=self.first_line,
            show=self.show,
            others=self.others,
            **work.options,
        )
        return Verdicts(out, list(problems), matched, mismatched, hint)


class Listing(Task):
    """Entries [start, stop) settled as verdict without reading anything."""

    __slots__ = ("entries", "path", "verdict", "start", "stop")

    def __init__(
        self, name: str, path: bytes, entries: bytes, verdict: str, start: int, stop: int
    ) -> None:
        super().__init__(name)
        self.path, self.entries, self.verdict = path, entries, verdict
        self.start, self.stop = start, stop

    def _run(self, work: Work) -> Result:
        out = _native.list_records(self.entries, self.path, self.verdict, self.start, self.stop)
        return Result(out, [], 0)


class Fixed(Task):
    """Output known without reading anything (a document that could not be
    opened: its verdict line)."""

    __slots__ = ("out",)

    def __init__(self, name: str, out: bytes) -> None:
        super().__init__(name)
        self.out = out

    def _run(self, work: Work) -> Result:
        return Result(self.out, [], 0)


def verdict_line(name: str, verdict: str) -> bytes:
    shown, escaped = escape_name(name)
    return b"%s%s: %s\n" % (b"\\" if escaped else b"", os.fsencode(shown), verdict.encode())


class DocumentCheck(Task):
    """A whole document checked against the digest listed for it."""

    __slots__ = ("path", "expected", "profile", "show", "others", "size")

    def __init__(
        self,
        name: str,
        path: bytes,
        expected: str,
        profile: str,
        show: int,
        others: tuple[str, ...],
        size: int | None,
    ) -> None:
        super().__init__(name)
        self.path, self.expected, self.profile = path, expected, profile
        self.show, self.others, self.size = show, others, size

    @property
    def lock_free(self) -> bool:
        return self.size is None or self.size >= THREAD_BYTES

    def _run(self, work: Work) -> Result:
        kind = compressed.by_name(os.fsdecode(self.path))
        with compressed.open_decompressed(open(self.path, "rb"), kind) as f:
            data = f.read()
        try:
            got = quorl.digest_from_json(data, self.profile, **work.options)
        except quorl.RefusedError as refused:
            problem = (None, refused.message, refused.line, refused.column, refused.offset)
            out = verdict_line(self.name, "FAILED") if self.show >= SHOW_FAILED else b""
            return Verdicts(out, [problem])
        if got == self.expected:
            out = verdict_line(self.name, "OK") if self.show >= SHOW_ALL else b""
            return Verdicts(out, matched=1)
        hint = next(
            (
                p
                for p in self.others
                if quorl.digest_from_json(data, p, **work.options) == self.expected
            ),
            None,
        )
        out = verdict_line(self.name, "FAILED") if self.show >= SHOW_FAILED else b""
        return Verdicts(out, mismatched=1, hint=hint)


class LineReader:
    """The runs of lines of one JSON Lines file, from any line on. The run
    last handed out is kept, since the next group of entries may start
    within it; where runs of a regular file began is kept too, so that a
    group listed after a later one restarts near its line rather than at
    the start of the file."""

    def __init__(self, path: bytes, chunk: int) -> None:
        self.path, self.chunk = path, chunk
        self.compression = compressed.by_name(os.fsdecode(path))
        self.stream: InputStream = self._open()
        info = os.stat(path)
        if stat.S_ISDIR(info.st_mode):
            self.stream.close()
            raise IsADirectoryError(21, "Is a directory")
        regular = stat.S_ISREG(info.st_mode) and self.compression is None
        self.size = info.st_size if regular else None
        self.starts: list[tuple[int, int]] = []  # (first line, offset) of runs read
        self.last: Run | None = None
        self.runs: Iterator[Run] = self._runs_from(0, 1)
        self.lines: int | None = None  # once the end is reached

    def _open(self) -> InputStream:
        return compressed.open_decompressed(open(self.path, "rb"), self.compression)

    def _runs_from(self, offset: int, line: int) -> Iterator[Run]:
        if self.size is not None:
            return file_runs(self.stream.fileno(), self.chunk, self.size, offset=offset, line=line)
        return split_lines(self.stream, self.chunk)

    def close(self) -> None:
        self.stream.close()

    def _restart(self, line: int) -> None:
        if self.size is not None:
            at = bisect.bisect_right(self.starts, (line, 1 << 62)) - 1
            first, offset = self.starts[at] if at >= 0 else (1, 0)
            self.runs = self._runs_from(offset, first)
        else:  # a stream: read again from its start
            self.stream.close()
            self.stream = self._open()
            self.runs = self._runs_from(0, 1)
        self.last = None

    def runs_from(self, line: int) -> Iterator[Run]:
        """The runs that hold line and those after it, up to the end."""
        last = self.last
        if last is not None and last.first_line <= line < last.end_line:
            yield last
        elif last is not None and line < last.first_line or self.lines is not None:
            self._restart(line)
        for run in self.runs:
            self.last = run
            if self.size is not None and (not self.starts or self.starts[-1][0] < run.first_line):
                self.starts.append((run.first_line, run.offset))
            if run.end_line > line:
                yield run
        else:
            self.lines = self.last.end_line - 1 if self.last is not None else 0
