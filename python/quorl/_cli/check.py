"""quorl check: the digests listed in sums files, recomputed.

Sums files are read in chunks of whole lines, parsed natively into groups:
a whole document, or a run of records of one JSON Lines file listed in
increasing line order. A file's records are checked run by run as digest
reads them, on the same workers, so memory follows the runs in flight and
not the number of lines; verdict lines come out in the order listed."""

from __future__ import annotations

import errno
import os
import stat
import sys

import quorl
from quorl import _native

from .check_tasks import (
    ENTRY_BYTES,
    SHOW_ALL,
    SHOW_FAILED,
    SHOW_NONE,
    DocumentCheck,
    Fixed,
    LineReader,
    Listing,
    RecordsCheck,
    Verdicts,
    verdict_line,
)
from .line_runs import split_lines
from .output import Output
from .report import Progress, Reporter, make_progress, plural, refusal_detail
from .runner import Runner, worker_count
from .status import OK, REFUSED, TROUBLE
from .streams import streams
from .sums import shown_name
from .tables import TableCheck, TableReader, table_kind
from .tasks import Work

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Generator, Iterator
    from typing import Any

    from .compressed import InputStream
    from .tasks import Result, Task

# Group kinds, as parse_sums gives them.
DOCUMENT, RECORDS, PLAIN_RECORDS = 0, 1, 2


class UsageError(Exception):
    """A sums line that the options contradict, or that they leave open."""


class Tag:
    """What the consumer of a task's result needs beyond the result: the
    name for messages, the bytes of sums it settles (progress), a message
    to give after it, and the file it found unreadable or past the end."""

    __slots__ = ("name", "share", "note", "unreadable", "missing", "unread")

    def __init__(
        self,
        name: str,
        share: int,
        note: str | None = None,
        unreadable: str | None = None,
        missing: int = 0,
        unread: int = 0,
    ) -> None:
        self.name, self.share, self.note = name, share, note
        self.unreadable, self.missing, self.unread = unreadable, missing, unread


class Counts:
    __slots__ = (
        "matched",
        "mismatched",
        "refused",
        "unread",
        "unreadable",
        "malformed",
        "hint",
        "plain",
        "trouble",
    )

    def __init__(self) -> None:
        self.matched = self.mismatched = self.refused = self.unread = self.malformed = 0
        self.unreadable: set[str] = set()
        self.hint: str | None = None
        self.plain = False  # whether any plain line was checked
        self.trouble = False  # a sums file could not be read or held no digest line

    @property
    def failed(self) -> int:
        return self.mismatched + self.refused


class Check:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.status_only = args.verbosity == "status"
        self.show = {"status": SHOW_NONE, "quiet": SHOW_FAILED}.get(args.verbosity, SHOW_ALL)
        self.counts = Counts()
        self.report = Reporter()
        self.reader: LineReader | TableReader | None = None
        self.errors_shown = 0

    # ----------------------------------------------------------- the tasks

    def tasks(self) -> Iterator[tuple[Tag, Task]]:
        for origin in self.args.sums or ["-"]:
            try:
                stream = streams.stdin() if origin == "-" else open(origin, "rb")
            except OSError as error:
                self.report(f"{shown_name(origin)}: {error.strerror}")
                self.counts.trouble = True
                continue
            try:
                found = yield from self._sums_file(origin, stream)
            except OSError as error:
                self.report(f"{shown_name(origin)}: {error.strerror}")
                self.counts.trouble = True
                continue
            finally:
                stream.close()
            if not found:
                self.report(f"{shown_name(origin)}: no properly formatted digest lines found")
                self.counts.trouble = True
        if self.reader is not None:
            self.reader.close()

    def _sums_file(
        self, origin: str, stream: InputStream
    ) -> Generator[tuple[Tag, Task], None, bool]:
        """The tasks of one sums file; returns whether it held a digest line."""
        found = False
        for run in split_lines(stream, self.args.chunk_bytes):
            groups, malformed = _native.parse_sums(
                run.data, quorl.PROFILES, first_line=run.first_line
            )
            self.counts.malformed += len(malformed) // 8
            if self.args.verbosity == "warn":
                for number in memoryview(malformed).cast("Q"):
                    self.report(f"{shown_name(origin)}: {number}: improperly formatted digest line")
            for group in groups:
                found = True
                yield from self._group(origin, *group)
        return found

    def _profile(self, origin: str, tagged: str | None, sums_line: int) -> str:
        given: str | None = self.args.profile
        where = f"{shown_name(origin)}: {sums_line}"
        if tagged is None:
            if given is None:
                raise UsageError(f"{where}: the line does not name its profile: give -p PROFILE")
            self.counts.plain = True
            return given
        if given is not None and given != tagged:
            raise UsageError(
                f"{where}: the line is tagged with profile '{tagged}', but -p "
                f"gives '{given}' (leave out -p to take each line's own)"
            )
        return tagged

    def _others(self, profile: str, tagged: str | None) -> tuple[str, ...]:
        """The profiles to try on a mismatch of a plain line, for the hint."""
        if tagged is not None or self.counts.matched or self.counts.hint is not None:
            return ()
        return tuple(p for p in quorl.PROFILES if p != profile)

    def _group(
        self,
        origin: str,
        kind: int,
        path: bytes,
        tagged: str | None,
        entries: bytes,
        share: int,
        sums_line: int,
    ) -> Iterator[tuple[Tag, Task]]:
        profile = self._profile(origin, tagged, sums_line)
        others = self._others(profile, tagged)
        name = os.fsdecode(path)
        if kind == PLAIN_RECORDS and not os.path.lexists(path):
            # No such file: the names may be of files whose names end ":N".
            first = int.from_bytes(entries[:8], sys.byteorder)
            if os.path.lexists(path + b":%d" % first):
                count = len(entries) // ENTRY_BYTES
                for k in range(count):
                    entry = entries[k * ENTRY_BYTES : (k + 1) * ENTRY_BYTES]
                    line = int.from_bytes(entry[:8], sys.byteorder)
                    yield from self._document(
                        path + b":%d" % line, entry, share // count, profile, others
                    )
                return
        if kind == DOCUMENT:
            yield from self._document(path, entries, share, profile, others)
            return
        yield from self._records(name, path, entries, share, profile, others)

    def _document(
        self, path: bytes, entry: bytes, share: int, profile: str, others: tuple[str, ...]
    ) -> Iterator[tuple[Tag, Task]]:
        name = os.fsdecode(path)
        try:
            info = os.stat(path)
            if stat.S_ISDIR(info.st_mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        except OSError as error:
            if self._ignored(error):
                return
            out = verdict_line(name, "FAILED open or read") if self.show >= SHOW_FAILED else b""
            yield Tag(name, share, unreadable=error.strerror, unread=1), Fixed(name, out)
            return
        size = info.st_size if stat.S_ISREG(info.st_mode) else None
        yield (
            Tag(name, share),
            DocumentCheck(name, path, entry[8:72].decode(), profile, self.show, others, size),
        )

    def _ignored(self, error: OSError) -> bool:
        return bool(self.args.ignore_missing) and error.errno == errno.ENOENT

    def _records(
        self,
        name: str,
        path: bytes,
        entries: bytes,
        share: int,
        profile: str,
        others: tuple[str, ...],
    ) -> Iterator[tuple[Tag, Task]]:
        count = len(entries) // ENTRY_BYTES
        view = memoryview(entries)
        start = 0
        kind = table_kind(name)
        if kind is not None and self.args.column is None:
            raise UsageError(
                f"{shown_name(name)}: a Parquet or Arrow file: give --column NAME to check its rows"
            )
        # Both take (name, path, run of the reader's, entries, profile, show, others).
        check: Any = RecordsCheck if kind is None else TableCheck
        try:
            if self.reader is None or self.reader.path != path:
                if self.reader is not None:
                    self.reader.close()
                    self.reader = None
                self.reader = (
                    LineReader(path, self.args.chunk_bytes)
                    if kind is None
                    else TableReader(path, kind, self.args.column)
                )
            first = int.from_bytes(entries[:8], sys.byteorder)
            for run in self.reader.runs_from(first):
                stop = _native.first_listed(entries, run.end_line)
                if stop > start:
                    part = share * (stop - start) // count
                    yield (
                        Tag(name, part),
                        check(
                            name,
                            path,
                            run,
                            view[start * ENTRY_BYTES : stop * ENTRY_BYTES],
                            profile,
                            self.show,
                            others,
                        ),
                    )
                    start = stop
                if start == count:
                    return
        except OSError as error:
            if self.reader is not None:
                self.reader.close()
                self.reader = None
            if start == 0 and self._ignored(error):
                return
            verdict = "FAILED open or read" if self.show >= SHOW_FAILED else ""
            yield (
                Tag(
                    name,
                    share - share * start // count,
                    unreadable=error.strerror,
                    unread=count - start,
                ),
                Listing(name, path, entries, verdict, start, count if verdict else start),
            )
            return
        # The file ended before the rest of its listed records.
        lines = self.reader.lines or 0
        missing = count - start
        first_missing = int.from_bytes(entries[start * ENTRY_BYTES :][:8], sys.byteorder)
        where = (
            f"{shown_name(name)}:{first_missing}"
            if missing == 1
            else f"{shown_name(name)}: {missing} listed records"
        )
        unit = "line" if kind is None else "row"
        note = (
            f"{where}: past the end of the file, whose last {unit} is {lines}"
            if missing == 1
            else f"{where} are past the end of the file, whose last {unit} is {lines}"
        )
        verdict = "FAILED" if self.show >= SHOW_FAILED else ""
        yield (
            Tag(name, share - share * start // count, note=note, missing=missing),
            Listing(name, path, entries, verdict, start, count if verdict else start),
        )

    # --------------------------------------------------------- the results

    def take(self, tag: Tag, result: Result, output: Output | None) -> None:
        counts = self.counts
        quiet = self.status_only
        if result.error is not None:  # a document that could not be read
            tag.unreadable, tag.unread = result.error, 1
            if output is not None:
                output.write(verdict_line(tag.name, "FAILED open or read"))
        elif output is not None:
            output.write(result.out)
        if tag.unreadable is not None:
            counts.unreadable.add(tag.name)
            self.report(f"{shown_name(tag.name)}: {tag.unreadable}")
        counts.refused += tag.missing
        counts.unread += tag.unread
        if tag.note is not None and not quiet:
            self.report(tag.note)
        if not isinstance(result, Verdicts):
            return
        counts.matched += result.matched
        counts.mismatched += result.mismatched
        counts.refused += len(result.refusals)
        if counts.hint is None:
            counts.hint = result.hint
        if quiet:
            return
        for problem in result.refusals:
            if not self.shown_errors():
                continue
            where = shown_name(tag.name if problem[0] is None else f"{tag.name}:{problem[0]}")
            why = "no record on this line" if problem[1] is None else refusal_detail(problem)
            self.report(f"{where}: {why}")

    def shown_errors(self) -> bool:
        """Whether one more located refusal may be shown (--max-errors)."""
        limit = self.args.max_errors
        self.errors_shown += 1
        if limit is None or self.errors_shown <= limit:
            return True
        if self.errors_shown == limit + 1:
            self.report(f"further refusals are counted, not shown (--max-errors {limit})")
        return False

    def summary(self) -> int:
        counts, args = self.counts, self.args
        report = self.report
        if not self.status_only:
            warnings = [
                (counts.malformed, "line is", "lines are", "improperly formatted"),
                (len(counts.unreadable), "listed file", "listed files", "could not be read"),
                (counts.mismatched, "computed digest did", "computed digests did", "NOT match"),
                (
                    counts.refused,
                    "listed document or record was",
                    "listed documents or records were",
                    "refused or not found",
                ),
            ]
            for count, one, many, what in warnings:
                if count:
                    report(f"WARNING: {plural(count, one, many)} {what}")
            if counts.plain and counts.mismatched and not counts.matched:
                advice = (
                    f"the listed ones were made with -p {counts.hint}"
                    if counts.hint is not None
                    else f"were the listed ones made with another profile than -p {args.profile}?"
                )
                report(f"WARNING: every computed digest failed: {advice}")
            if counts.failed or counts.unread:
                listed = counts.matched + counts.failed + counts.unread
                report(
                    f"{listed:,} listed: {counts.matched:,} OK, {counts.failed:,} FAILED"
                    + (f", {counts.unread:,} FAILED open or read" if counts.unread else "")
                )
        status = OK
        if counts.failed or (args.strict and counts.malformed):
            status = REFUSED
        if args.ignore_missing and not (counts.matched or counts.failed or counts.unreadable):
            if not counts.trouble and not self.status_only:
                for origin in args.sums or ["-"]:
                    report(f"{shown_name(origin)}: no file was verified")
            status = REFUSED
        if counts.unreadable or counts.trouble:
            status = TROUBLE
        return status


def run(args: argparse.Namespace) -> int:
    check = Check(args)
    jobs = worker_count(args.jobs)
    total = 0
    for origin in args.sums or ["-"]:
        try:
            total += os.stat(origin).st_size if origin != "-" else 0
        except OSError:
            pass
    runner = Runner(Work("digest", args.profile or "", floats=args.floats), jobs)
    progress = Progress(make_progress(args.progress, total or None))
    check.report.bar = progress.bar
    try:
        output = Output(None) if check.show != SHOW_NONE else None
    except OSError as error:
        check.report(str(error.strerror))
        return TROUBLE
    try:
        for tag, result in runner.run(check.tasks()):
            progress.advance(tag.share, result.records)
            check.take(tag, result, output)
            if args.fail_fast and (check.counts.failed or check.counts.unreadable):
                break
        progress.close()
        if output is not None:
            output.commit()
    except UsageError as error:
        progress.close()
        check.report(str(error))
        return TROUBLE
    except OSError as error:  # writing the verdicts
        if isinstance(error, BrokenPipeError):
            raise
        progress.close()
        check.report(f"standard output: {error.strerror or error}")
        return TROUBLE
    except BaseException:
        progress.close()
        raise
    finally:
        runner.close()
        if check.reader is not None:
            check.reader.close()
    return check.summary()
