"""Tasks, each a unit of work whose result is written in input order: a
whole document, a run of whole lines of JSON Lines, or an input that could
not be read."""

from __future__ import annotations

import quorl
from quorl import _native

from .hints import hint
from .line_runs import file_runs, split_lines
from .sums import sum_name, tagged_line

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import Any

    from .compressed import InputStream
    from .inputs import Source

#: A document at least this long is read and digested without the
#: interpreter lock (the package releases it from this size on), so with
#: -j N it goes to a worker thread; a smaller one is done in the main thread.
THREAD_BYTES = _native.RELEASE_LOCK_BYTES


class Work:
    """What every task of a run does: mode "digest" (under profile, in
    tagged lines with tag) or "canonical"; floats "refuse" or "str"; column:
    the column of documents in Parquet and Arrow files."""

    __slots__ = ("mode", "profile", "tag", "options", "column")

    def __init__(
        self,
        mode: str,
        profile: str,
        *,
        tag: bool = False,
        floats: str = "refuse",
        column: str | None = None,
    ) -> None:
        self.mode, self.profile, self.tag, self.column = mode, profile, tag, column
        # The keyword is passed only when asked for, so that the default
        # works with every build of the native part.
        self.options: dict[str, Any] = {"floats": floats} if floats != "refuse" else {}


class Result:
    """What a task gave: output, refusals (record line or None, message,
    line, column, offset) and the records done; or error, when the input
    could not be read."""

    __slots__ = ("out", "refusals", "records", "error", "hint")

    def __init__(
        self,
        out: bytes = b"",
        refusals: list[tuple[Any, ...]] | None = None,
        records: int = 0,
        *,
        error: str | None = None,
        hint: str | None = None,
    ) -> None:
        self.out, self.records, self.error, self.hint = out, records, error, hint
        self.refusals = [] if refusals is None else refusals


class Task:
    """A unit of work on one input, named for messages."""

    __slots__ = ("name",)

    def __init__(self, name: str) -> None:
        self.name = name

    @property
    def lock_free(self) -> bool:
        """Whether the work runs mostly without the interpreter lock, so
        that a worker thread can do it beside others."""
        return False

    def run(self, work: Work) -> Result:
        """Does the task; runs in a worker thread or in the main thread."""
        try:
            return self._run(work)
        except MemoryError:
            return Result(error="too large to hold in memory")
        except OSError as error:
            return Result(error=error.strerror or str(error))

    def _run(self, work: Work) -> Result:
        raise NotImplementedError


class DocumentTask(Task):
    """A whole document: read from its source by the task, or data already
    read (standard input). size: bytes, None when not known."""

    __slots__ = ("source", "data", "size")

    def __init__(
        self, name: str, source: Source | None, data: bytes | None, size: int | None
    ) -> None:
        super().__init__(name)
        self.source, self.data, self.size = source, data, size

    @property
    def lock_free(self) -> bool:
        size = self.size if self.data is None else len(self.data)
        return size is None or size >= THREAD_BYTES

    def _run(self, work: Work) -> Result:
        data = self.data
        if self.source is not None:
            with self.source.open() as f:
                data = f.read()
        assert data is not None
        try:
            if work.mode == "digest":
                hexdigest = quorl.digest_from_json(data, work.profile, **work.options)
                if work.tag:
                    out = tagged_line(work.profile, self.name, hexdigest, None)
                else:
                    prefix, shown = sum_name(self.name)
                    out = b"%s%s  %s\n" % (prefix, hexdigest.encode(), shown)
            else:
                out = quorl.canonical_bytes_from_json(data, **work.options) + b"\n"
        except quorl.RefusedError as refused:
            advice = hint(data[:8], refused.message, refused.line, whole=True)
            refusal = (None, refused.message, refused.line, refused.column, refused.offset)
            return Result(b"", [refusal], 1, hint=advice)
        return Result(out, [], 1)


class LinesTask(Task):
    """A run of whole lines of JSON Lines, the first numbered first_line."""

    __slots__ = ("data", "first_line")

    def __init__(self, name: str, data: bytes | memoryview, first_line: int) -> None:
        super().__init__(name)
        self.data, self.first_line = data, first_line

    @property
    def lock_free(self) -> bool:
        return True

    def _run(self, work: Work) -> Result:
        if work.mode == "digest":
            prefix, shown = sum_name(self.name)
            out, refusals, records = _native.digest_lines(
                self.data, work.profile, name=shown, first_line=self.first_line, **work.options
            )
            if work.tag:
                out = _native.tag_digest_lines(out, work.profile.upper(), len(shown), bool(prefix))
            elif prefix and out:
                out = prefix + out[:-1].replace(b"\n", b"\n" + prefix) + out[-1:]
        else:
            out, refusals, records = _native.canonical_lines(
                self.data, first_line=self.first_line, **work.options
            )
        advice = None
        if refusals and refusals[0][0] == self.first_line == 1:
            first = refusals[0]
            advice = hint(bytes(self.data[:8]), first[1], first[2], whole=False)
        return Result(out, list(refusals), records, hint=advice)


class ErrorTask(Task):
    """An input that could not be read, and why."""

    __slots__ = ("reason",)

    def __init__(self, name: str, reason: str) -> None:
        super().__init__(name)
        self.reason = reason

    def _run(self, work: Work) -> Result:
        return Result(error=self.reason)


def tasks_for(
    source: Source, *, chunk: int, parallel: bool, column: str | None = None
) -> Iterator[tuple[Task, int]]:
    """The tasks of one input, each with the bytes it covers (for progress).
    A file that cannot be opened here gives a document task that reports
    why. Without parallel, each task is done before the next is asked for,
    so runs of lines share one buffer. A Parquet or Arrow file gives a task
    per batch of rows of its column."""
    if source.table is not None and source.path is not None:
        from .tables import table_tasks

        if source.compression is not None:
            reason = "a compressed Parquet or Arrow file: decompress it first"
            yield ErrorTask(source.name, reason), 0
        else:
            yield from table_tasks(source.name, source.path, source.table, column)
        return
    if not source.jsonl:
        if source.path is None:
            try:
                with source.open() as stdin:
                    data = stdin.read()
            except OSError as error:
                yield ErrorTask(source.name, error.strerror or str(error)), 0
                return
            yield DocumentTask(source.name, None, data, len(data)), len(data)
        else:
            yield DocumentTask(source.name, source, None, source.size), source.size or 0
        return
    stream: InputStream | None = None
    try:
        stream = source.open()
        if parallel and source.regular:
            runs = file_runs(stream.fileno(), chunk, source.size or 0)
        else:
            runs = split_lines(stream, chunk, reuse=not parallel)
        for run in runs:
            yield LinesTask(source.name, run.data, run.first_line), len(run.data)
    except OSError as error:
        yield ErrorTask(source.name, error.strerror or str(error)), 0
    finally:
        if stream is not None:
            stream.close()
