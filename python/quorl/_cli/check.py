"""quorl check: the digests listed in sums files, recomputed."""

from __future__ import annotations

import collections
import os
import re
import stat
import sys

from .inputs import Source
from .report import Progress, Reporter, make_progress, plural, refusal_detail
from .runner import Runner, worker_count
from .status import OK, REFUSED, TROUBLE
from .sums import escape_name, unescape_name
from .tasks import DocumentTask, LinesTask, Work, tasks_for

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Iterable, Iterator

    from .tasks import Task

_SUM_LINE = re.compile(r"^([0-9a-fA-F]{64}) [ *](.+)$")
_RECORD = re.compile(r"^(.*):([0-9]+)$")


class Entry:
    """One line of a sums file: the digest expected, the name as shown (the
    file, or file:line), and its verdict once known ("OK", "FAILED",
    "FAILED open or read")."""

    __slots__ = ("expected", "name", "path", "record_line", "verdict")

    def __init__(self, expected: str, name: str, path: str, record_line: int | None) -> None:
        self.expected, self.name, self.path, self.record_line = expected, name, path, record_line
        self.verdict: str | None = None


def parse_sums(lines: Iterable[str], origin: str, report: Reporter) -> tuple[list[Entry], int]:
    entries: list[Entry] = []
    bad = 0
    for number, raw in enumerate(lines, 1):
        text = raw.rstrip("\n").rstrip("\r")
        if not text.strip():
            continue
        escaped = text.startswith("\\")
        match = _SUM_LINE.match(text[1:] if escaped else text)
        if match is None:
            report(f"{origin}: {number}: improperly formatted digest line")
            bad += 1
            continue
        expected, name = match.group(1).lower(), match.group(2)
        if escaped:
            name = unescape_name(name)
        record = _RECORD.match(name)
        if record is not None and not os.path.isfile(name):
            entries.append(Entry(expected, name, record.group(1), int(record.group(2))))
        else:
            entries.append(Entry(expected, name, name, None))
    return entries, bad


def run(args: argparse.Namespace) -> int:
    report = Reporter()
    entries: list[Entry] = []
    bad = 0
    status = OK
    for sums in args.sums or ["-"]:
        try:
            if sums == "-":
                text = sys.stdin.buffer.read().decode("utf-8", "surrogateescape")
            else:
                with open(sums, "rb") as f:
                    text = f.read().decode("utf-8", "surrogateescape")
        except OSError as error:
            report(f"{sums}: {error.strerror}")
            status = TROUBLE
            continue
        # Only line feeds end lines: a name may hold other line separators.
        found, malformed = parse_sums(text.split("\n"), sums, report)
        entries.extend(found)
        bad += malformed
        if not found and not malformed:
            report(f"{sums}: no properly formatted digest lines found")
            status = TROUBLE

    # Whole documents one task each; records grouped by file, each file read once.
    groups: dict[str, list[Entry]] = {}
    order: list[Entry | str] = []
    for entry in entries:
        if entry.record_line is None:
            order.append(entry)
        else:
            if entry.path not in groups:
                groups[entry.path] = []
                order.append(entry.path)
            groups[entry.path].append(entry)

    counts: collections.Counter[str] = collections.Counter()
    out = sys.stdout

    def settle(entry: Entry, verdict: str, why: str | None = None) -> None:
        entry.verdict = verdict
        if why is not None:
            report(f"{entry.name}: {why}")
        shown, escaped = escape_name(entry.name)
        mark = "\\" if escaped else ""
        line = f"{mark}{shown}: {verdict}\n"
        if verdict != "OK" or not args.quiet:
            out.write(line)

    sizes = []
    for item in order:
        path = item.path if isinstance(item, Entry) else item
        try:
            sizes.append(os.stat(path).st_size)
        except OSError:
            sizes.append(0)
    total = sum(sizes)
    jobs = worker_count(args.jobs)
    if total <= args.chunk_bytes:
        jobs = 1
    runner: Runner | None = None
    progress = Progress(None)
    try:
        runner = Runner(Work("digest", args.profile), jobs)
        progress = Progress(make_progress(args.progress, total))
        report.bar = progress.bar

        def all_tasks() -> Iterator[tuple[tuple[Entry | str, str | None, int], Task]]:
            for item, size in zip(order, sizes, strict=True):
                if isinstance(item, Entry):
                    yield (item, None, 0), DocumentTask(item.name, item.path, None, size)
                    continue
                jsonl = Source(item, item, True, None)
                try:
                    info = os.stat(item)
                    if os.path.isdir(item):
                        raise IsADirectoryError(21, "Is a directory")
                    if stat.S_ISREG(info.st_mode):
                        jsonl = Source(item, item, True, info.st_size)
                except OSError as error:
                    yield (item, error.strerror, 0), DocumentTask(item, item, None, 0)
                    yield (item, "end", 0), LinesTask(item, b"", 1)
                    continue
                for task, nbytes in tasks_for(
                    jsonl, chunk=args.chunk_bytes, parallel=runner.parallel
                ):
                    yield (item, None, nbytes), task
                yield (item, "end", 0), LinesTask(item, b"", 1)

        computed: dict[int, str] = {}
        refused: dict[int, str] = {}
        unreadable: str | None = None
        for (item, note, nbytes), result in runner.run(all_tasks()):
            progress.advance(nbytes, result.records)
            if isinstance(item, Entry):
                if result.error is not None:
                    settle(item, "FAILED open or read", result.error)
                    counts["unreadable"] += 1
                elif result.refusals:
                    settle(item, "FAILED", refusal_detail(result.refusals[0]))
                    counts["refused"] += 1
                else:
                    got = result.out.lstrip(b"\\")[:64].decode()  # past an escape mark
                    settle(item, "OK" if got == item.expected else "FAILED")
                    if got != item.expected:
                        counts["mismatch"] += 1
            elif note == "end":
                for entry in groups[item]:
                    line = entry.record_line
                    assert line is not None
                    if unreadable is not None:
                        settle(entry, "FAILED open or read")
                        counts["unreadable"] += 1
                    elif line in refused:
                        settle(entry, "FAILED", refused[line])
                        counts["refused"] += 1
                    elif line not in computed:
                        settle(entry, "FAILED", "no record on this line")
                        counts["refused"] += 1
                    elif computed[line] == entry.expected:
                        settle(entry, "OK")
                    else:
                        settle(entry, "FAILED")
                        counts["mismatch"] += 1
                if unreadable is not None:
                    report(f"{item}: {unreadable}")
                computed, refused, unreadable = {}, {}, None
            else:
                if note is not None or result.error is not None:
                    unreadable = note or result.error
                    continue
                wanted = {entry.record_line for entry in groups[item]}
                for row in result.out.splitlines():
                    line = int(row[row.rindex(b":") + 1 :])
                    if line in wanted:
                        computed[line] = row.lstrip(b"\\")[:64].decode()
                for refusal in result.refusals:
                    if refusal[0] in wanted:
                        refused[refusal[0]] = refusal_detail(refusal)
            if args.fail_fast and (counts["mismatch"] or counts["refused"] or counts["unreadable"]):
                break
        progress.close()
        out.flush()
    except BaseException:
        progress.close()
        raise
    finally:
        if runner is not None:
            runner.close()

    if counts["mismatch"]:
        report(
            "WARNING: "
            + plural(counts["mismatch"], "computed digest did", "computed digests did")
            + " NOT match"
        )
        status = max(status, REFUSED)
    if counts["refused"]:
        report(
            "WARNING: "
            + plural(counts["refused"], "listed document was", "listed documents were")
            + " refused or not found"
        )
        status = max(status, REFUSED)
    if counts["unreadable"]:
        report(
            "WARNING: "
            + plural(counts["unreadable"], "listed file", "listed files")
            + " could not be read"
        )
        status = TROUBLE
    if bad:
        report("WARNING: " + plural(bad, "line is", "lines are") + " improperly formatted")
        status = max(status, REFUSED)
    return status
