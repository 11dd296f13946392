"""Parquet and Arrow IPC files (quorl digest --column NAME): the documents of
one column, read in batches of rows so that memory stays at about a row group
per batch in flight, however large the file. Rows are numbered from 1, and a
record is named <file>:<row>. Needs pyarrow (the parquet extra)."""

from __future__ import annotations

import errno
import os
import sys

import quorl
from quorl import _native

from .sums import sum_name
from .tasks import ErrorTask, Result, Task, Work

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import Any

#: What each file name's suffix (in any case) says it holds.
TABLE_SUFFIXES = {".parquet": "parquet", ".arrow": "ipc", ".feather": "ipc", ".ipc": "ipc"}

#: Rows per task: a row group of Parquet is read a batch of this many rows at a time.
BATCH_ROWS = 16384


class TableError(OSError):
    """A table file that cannot be read as asked: strerror says why."""

    def __init__(self, why: str) -> None:
        super().__init__(errno.EINVAL, why)


def table_kind(path: str) -> str | None:
    return TABLE_SUFFIXES.get(os.path.splitext(path)[1].lower())


def _pyarrow() -> Any:
    try:
        import pyarrow as pa
        import pyarrow.compute
        import pyarrow.ipc
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise TableError(
            "reading Parquet and Arrow files needs pyarrow: pip install 'quorl_core[parquet]'"
        ) from None
    return pa


class Batch:
    """Rows first_line .. end_line - 1 of one column (data: an Arrow array);
    the names are those of a run of lines, so that check reads both alike."""

    __slots__ = ("first_line", "end_line", "data", "nbytes")

    def __init__(self, first_line: int, data: Any, nbytes: int) -> None:
        self.first_line, self.data, self.nbytes = first_line, data, nbytes
        self.end_line = first_line + len(data)


def batches(path: str | bytes, kind: str, column: str) -> Iterator[Batch]:
    """The column's rows, BATCH_ROWS at a time; raises TableError for a
    file or column that cannot be read as asked."""
    pa = _pyarrow()
    path = os.fsdecode(path)
    try:
        if kind == "parquet":
            parquet = pa.parquet.ParquetFile(path)
            schema, rows = parquet.schema_arrow, parquet.metadata.num_rows
            _check_column(schema, column)
            pieces = parquet.iter_batches(batch_size=BATCH_ROWS, columns=[column])
        else:
            source = pa.memory_map(path)
            rows = None
            try:
                reader = pa.ipc.open_file(source)
                whole: Any = (reader.get_batch(i) for i in range(reader.num_record_batches))
            except pa.ArrowInvalid:  # not the file format: a stream
                source.seek(0)
                reader = whole = pa.ipc.open_stream(source)
            schema = reader.schema
            _check_column(schema, column)
            index = schema.get_field_index(column)
            pieces = (
                batch.select([index]).slice(start, BATCH_ROWS)
                for batch in whole
                for start in range(0, batch.num_rows, BATCH_ROWS)
            )
        size = os.path.getsize(path)
        row = 1
        for piece in pieces:
            data = piece.column(0)
            share = size * len(data) // rows if rows else data.nbytes
            yield Batch(row, data, share)
            row += len(data)
    except TableError:
        raise
    except Exception as error:  # whatever pyarrow makes of a file it cannot read
        raise TableError(getattr(error, "strerror", None) or str(error)) from None


#: The types whose values are documents (an extension type counts as its storage).
TEXT_TYPES = ("string", "large_string", "string_view", "binary", "large_binary", "null")


def _check_column(schema: Any, column: str) -> None:
    if column not in schema.names:
        names = ", ".join(schema.names) or "none"
        raise TableError(f"no column {column!r} (its columns: {names})")
    type_ = schema.field(column).type
    type_ = getattr(type_, "storage_type", type_)
    if str(type_) not in TEXT_TYPES:
        raise TableError(f"column {column!r} holds {type_}, not documents (string or binary)")


def _refusal(array: Any, index: int, row: int, work: Work) -> tuple[Any, ...]:
    """A refused row's refusal, located: the row's document taken alone."""
    doc = array[index].as_py()
    try:
        if work.mode == "digest":
            quorl.digest_from_json(doc, work.profile, **work.options)
        else:
            quorl.canonical_bytes_from_json(doc, **work.options)
    except quorl.RefusedError as refused:
        return (row, refused.message, refused.line, refused.column, refused.offset)
    raise AssertionError("a refused document was accepted alone")  # pragma: no cover


def _joined(pa: Any, values: Any, shown: bytes, first_row: int) -> bytes:
    """b'<value>  <shown>:<row>\\n' for every row whose value is not null
    (b'<value>\\n' when shown is empty), as one bytes object."""
    pc = pa.compute
    values = values.cast(pa.binary())
    if shown:
        rows = pa.array(range(first_row, first_row + len(values)), pa.int64())
        rows = rows.cast(pa.string()).cast(pa.binary())
        pieces = [values, pa.scalar(b"  " + shown + b":"), rows, pa.scalar(b"\n")]
    else:
        pieces = [values, pa.scalar(b"\n")]
    lines = pc.drop_null(pc.binary_join_element_wise(*pieces, b""))
    if len(lines) == 0:
        return b""
    # The lines are one run of the array's data: between its first and last offsets.
    _, offsets, data = lines.buffers()
    ends = pa.Array.from_buffers(pa.int32(), len(lines) + 1, [None, offsets], 0, lines.offset)
    joined: bytes = data.to_pybytes()[ends[0].as_py() : ends[-1].as_py()]
    return joined


class TableTask(Task):
    """A batch of rows of a table file's column: a digest line (or the
    canonical bytes) for each row that holds a document."""

    __slots__ = ("batch",)

    def __init__(self, name: str, batch: Batch) -> None:
        super().__init__(name)
        self.batch = batch

    @property
    def lock_free(self) -> bool:
        return True

    def _run(self, work: Work) -> Result:
        pa = _pyarrow()
        array, first = self.batch.data, self.batch.first_line
        try:
            if work.mode == "digest":
                results = quorl.digest_column(array, work.profile, threads=1, **work.options)
            else:
                results = quorl.canonical_column(array, threads=1, **work.options)
        except TypeError as error:
            return Result(error=str(error))
        struct = pa.array(results)
        prefix, shown = sum_name(self.name)
        if work.mode == "digest":
            out = _joined(pa, struct.field(0), shown, first)
            if work.tag:
                out = _native.tag_digest_lines(out, work.profile.upper(), len(shown), bool(prefix))
            elif prefix and out:
                out = prefix + out[:-1].replace(b"\n", b"\n" + prefix) + out[-1:]
        else:
            out = _joined(pa, struct.field(0), b"", first)
        refused = pa.compute.indices_nonzero(struct.field(1).is_valid()).to_pylist()
        refusals = [_refusal(array, i, first + i, work) for i in refused]
        return Result(out, refusals, len(array) - array.null_count)

    def kept_before(self, result: Result, row: int) -> bytes:
        """The output of the rows before `row` (for --fail-fast)."""
        before = self.batch.data[: row - self.batch.first_line]
        kept = len(before) - before.null_count  # no row before it was refused
        return b"".join(result.out.splitlines(keepends=True)[:kept])


def table_tasks(name: str, path: str, kind: str, column: str | None) -> Iterator[tuple[Task, int]]:
    """The tasks of one table file, each with the bytes of the file it covers."""
    if column is None:
        yield ErrorTask(name, "a Parquet or Arrow file: give --column NAME for its documents"), 0
        return
    try:
        for batch in batches(path, kind, column):
            yield TableTask(name, batch), batch.nbytes
    except TableError as error:
        yield ErrorTask(name, str(error)), 0


class TableReader:
    """The batches of rows of one table file's column, from any row on, as
    check reads them (a LineReader's runs, for tables): the batch last
    handed out is kept, since the next group of entries may start within
    it; a group listed before it reads the file again from its start."""

    def __init__(self, path: bytes, kind: str, column: str) -> None:
        self.path, self.kind, self.column = path, kind, column
        self._restart()

    def _restart(self) -> None:
        self.runs: Iterator[Batch] = batches(self.path, self.kind, self.column)
        self.last: Batch | None = None
        self.lines: int | None = None  # the last row, once the end is reached

    def close(self) -> None:
        self.runs = iter(())

    def runs_from(self, row: int) -> Iterator[Batch]:
        """The batches that hold row and those after it, up to the end."""
        last = self.last
        if last is not None and last.first_line <= row < last.end_line:
            yield last
        elif last is not None and row < last.first_line or self.lines is not None:
            self._restart()
        for run in self.runs:
            self.last = run
            if run.end_line > row:
                yield run
        self.lines = self.last.end_line - 1 if self.last is not None else 0


class TableCheck(TableTask):
    """A batch of rows checked against the entries listed within it."""

    __slots__ = ("entries", "profile", "show", "others")

    def __init__(
        self,
        name: str,
        path: bytes,
        run: Batch,
        entries: memoryview,
        profile: str,
        show: int,
        others: tuple[str, ...],
    ) -> None:
        super().__init__(name, run)
        self.entries, self.profile, self.show, self.others = entries, profile, show, others

    def _run(self, work: Work) -> Result:
        from .check_tasks import ENTRY_BYTES, SHOW_ALL, SHOW_FAILED, Verdicts, verdict_line

        pa = _pyarrow()
        array, first = self.batch.data, self.batch.first_line
        digests = pa.array(
            quorl.digest_column(array, self.profile, threads=1, **work.options)
        ).field(0)
        got = digests.to_pylist()
        out: list[bytes] = []
        problems: list[tuple[Any, ...]] = []
        matched = mismatched = 0
        hint = None
        for at in range(0, len(self.entries), ENTRY_BYTES):
            entry = self.entries[at : at + ENTRY_BYTES]
            row = int.from_bytes(entry[:8], sys.byteorder)
            expected = bytes(entry[8:]).decode()
            index = row - first
            ok = got[index] == expected
            if ok:
                matched += 1
            elif not array[index].is_valid:
                problems.append((row, "no document in this row (null)", None, None, None))
            elif got[index] is None:
                problems.append(_refusal(array, index, row, Work("digest", self.profile)))
            else:
                mismatched += 1
                if hint is None:
                    doc = array[index].as_py()
                    others = (p for p in self.others if quorl.digest_from_json(doc, p) == expected)
                    hint = next(others, None)
            if self.show >= (SHOW_ALL if ok else SHOW_FAILED):
                out.append(verdict_line(f"{self.name}:{row}", "OK" if ok else "FAILED"))
        return Verdicts(b"".join(out), problems, matched, mismatched, hint)
