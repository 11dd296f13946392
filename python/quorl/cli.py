"""The ``quorl`` command: canonical bytes and digests of files, folders,
standard input and JSON Lines, laid out like ``sha256sum``.

Work is cut into tasks (a whole document, or a run of whole lines of a JSON
Lines file) whose results are written in input order. With -j N, tasks
whose work runs without the interpreter lock (runs of lines, documents of
64 KiB or more) go to N worker threads, at most two per worker in flight;
smaller documents, which hold the lock throughout, are done here, since
handing them over would cost more than they do. Threads, not processes:
nothing is forked, pickled or copied between them.
"""

from __future__ import annotations

import argparse
import io
import collections
import contextlib
import os
import re
import signal
import stat
import sys

import quorl
from quorl import _native

# typing and dataclasses are left out at run time: importing them would add
# a third to the start-up of a run on a small file.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import queue
    import threading
    from typing import IO, Any, Callable, Iterable, Iterator

    Task = tuple[Any, ...]

PROG = "quorl"

#: Lines of a JSON Lines file are handed out in runs of about this many bytes:
#: large enough that a task costs little more than its records, small enough
#: that 2 * jobs of them in flight stay well under 200 MB.
CHUNK_BYTES = 4 << 20

#: Near the end of a file, runs shrink to an eighth of what is left.
TAIL_RUNS = 8

#: A document at least this long is read and digested without the
#: interpreter lock (the package releases it from this size on), so with
#: -j N it goes to a worker thread; a smaller one is done in the main thread.
THREAD_BYTES = 64 << 10

# Exit statuses, as the coreutils checksum tools use them.
OK, REFUSED, TROUBLE = 0, 1, 2
INTERRUPTED = 128 + signal.SIGINT
TERMINATED = 128 + signal.SIGTERM
# The signals that end a run early, cleaning up as Ctrl-C does.
STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


class Terminated(KeyboardInterrupt):
    """SIGTERM, taken like Ctrl-C so that the same clean-up runs."""


def _on_terminate(signum: int, frame: object) -> None:
    raise Terminated
BROKEN_PIPE = 128 + signal.SIGPIPE

PROFILE_HELP = {
    "run": "identity of a run's or job's inputs and outputs",
    "certificate": "content that is signed or attested",
    "artifact-byte": "the exact identity of a built artifact",
    "semantic-content": "what a record means, whatever its formatting",
}


class Refusal(Exception):
    """Raised by --fail-fast at the first document that is refused."""


# ---------------------------------------------------------------------------
# Inputs


class Source:
    """One input: a file (path) or standard input (path None)."""

    __slots__ = ("name", "path", "jsonl", "size")

    def __init__(self, name: str, path: str | None, jsonl: bool, size: int | None) -> None:
        self.name, self.path, self.jsonl = name, path, jsonl
        self.size = size  # bytes, when known (regular files)

    @property
    def regular(self) -> bool:
        return self.size is not None


def _is_jsonl_name(path: str) -> bool:
    return path.endswith(".jsonl")


def _walk(root: str) -> list[str]:
    """Every *.json and *.jsonl file below root, in sorted order."""
    found: list[tuple[list[str], str]] = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in files:
            if name.endswith((".json", ".jsonl")):
                path = os.path.join(folder, name)
                found.append((os.path.relpath(path, root).split(os.sep), path))
    found.sort()
    return [path for _, path in found]


def expand_paths(paths: list[str], *, recursive: bool, jsonl: bool,
                 complain: Callable[[str], None]) -> tuple[list[Source], bool]:
    """The inputs named on the command line; the flag says whether a path
    could not be used (reported through complain)."""
    sources: list[Source] = []
    trouble = False
    for arg in paths:
        if arg == "-":
            sources.append(Source("-", None, jsonl, None))
            continue
        try:
            if os.path.isdir(arg):
                if not recursive:
                    complain(f"{arg}: Is a directory")
                    trouble = True
                    continue
                files = _walk(arg)
            else:
                files = [arg]
            for path in files:
                info = os.stat(path)
                size = info.st_size if _is_regular(info.st_mode) else None
                sources.append(Source(path, path, jsonl or _is_jsonl_name(path), size))
        except OSError as error:
            complain(f"{error.filename or arg}: {error.strerror}")
            trouble = True
    return sources, trouble


def _is_regular(mode: int) -> bool:
    return stat.S_ISREG(mode)


# ---------------------------------------------------------------------------
# Tasks and their results. A task is a plain tuple:
#   ("doc", name, path, data, size)       a whole document (data when no path;
#                                         size in bytes, None when not known)
#   ("lines", name, data, first_line)     whole lines of JSON Lines
#   ("error", name, reason)               an input that could not be read

class Result:
    """What a task gave: output, refusals (record line or None, message,
    line, column, offset) and the records done; or error, when the input
    could not be read."""

    __slots__ = ("out", "refusals", "records", "error")

    def __init__(self, out: bytes = b"", refusals: list[tuple[Any, ...]] | None = None,
                 records: int = 0, *, error: str | None = None) -> None:
        self.out, self.records, self.error = out, records, error
        self.refusals = [] if refusals is None else refusals


def _read_whole(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def run_task(mode: str, profile: str, task: Task) -> Result:
    """Does one task: mode is "digest" (with profile) or "canonical". Runs in
    a worker thread or in the main thread."""
    kind = task[0]
    if kind == "error":
        return Result(error=task[2])
    try:
        if kind == "doc":
            _, name, path, data, _ = task
            if path is not None:
                data = _read_whole(path)
            try:
                if mode == "digest":
                    hexdigest = quorl.digest_from_json(data, profile)
                    prefix, shown = _sum_name(name)
                    out = b"%s%s  %s\n" % (prefix, hexdigest.encode(), shown)
                else:
                    out = quorl.canonical_bytes_from_json(data) + b"\n"
            except quorl.RefusedError as refused:
                return Result(b"", [(None, refused.message, refused.line, refused.column,
                                     refused.offset)], 1)
            return Result(out, [], 1)
        _, name, data, first_line = task
        return _lines(mode, profile, name, data, first_line)
    except MemoryError:
        return Result(error="too large to hold in memory")
    except OSError as error:
        return Result(error=error.strerror or str(error))


def _escape_name(name: str) -> tuple[str, bool]:
    """A name as sha256sum writes it in a digest line: backslash, line feed
    and carriage return escaped; True when anything was (the line then
    starts with a backslash)."""
    if "\\" not in name and "\n" not in name and "\r" not in name:
        return name, False
    return name.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r"), True


def _unescape_name(text: str) -> str:
    """The name a digest line that starts with a backslash stands for."""
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r"}.get(m.group(1), m.group(1)), text)


def _sum_name(name: str) -> tuple[bytes, bytes]:
    """(line prefix, name) as the bytes of a digest line: a file name that is
    not UTF-8 keeps its own bytes, as sha256sum writes it."""
    shown, escaped = _escape_name(name)
    return (b"\\" if escaped else b""), os.fsencode(shown)


def _lines(mode: str, profile: str, name: str, data: Any, first_line: int) -> Result:
    if mode == "digest":
        prefix, shown = _sum_name(name)
        out, refusals, records = _native.digest_lines(data, profile, name=shown,
                                                      first_line=first_line)
        if prefix and out:
            out = prefix + out[:-1].replace(b"\n", b"\n" + prefix) + out[-1:]
    else:
        out, refusals, records = _native.canonical_lines(data, first_line=first_line)
    return Result(out, list(refusals), records)


def _split_lines(stream: IO[bytes], chunk: int, *,
                 reuse: bool = False) -> Iterator[tuple[int, bytes | memoryview]]:
    """Runs of whole lines of about chunk bytes: (offset, first line, data).
    Memory stays at about one run plus one line, however long the stream.
    data is bytes, or with reuse a view of one buffer that the next run
    overwrites (for a caller that is done with each run before the next:
    no copy, and no new pages for every run)."""
    line = 1
    buf = bytearray(chunk)
    held = 0  # the start of a line not yet ended, at the start of buf
    while True:
        if held == len(buf):  # a line longer than the buffer: a larger one
            bigger = bytearray(2 * len(buf))
            bigger[:held] = buf
            buf = bigger
        with memoryview(buf) as whole:
            with whole[held:] as free:
                n = stream.readinto(free) or 0  # type: ignore[attr-defined]
            filled = held + n
            if n == 0:  # the end: the last line, without its newline
                if held:
                    yield line, whole[:held] if reuse else bytes(whole[:held])
                return
            end, newlines = _native.line_ends(whole[:filled])
            if end == 0:
                held = filled
                continue
            yield line, whole[:end] if reuse else bytes(whole[:end])
            line += newlines
            held = filled - end
            whole[:held] = whole[end:filled]


def _runs(fd: int, chunk: int, total: int = 0) -> Iterator[tuple[int, memoryview]]:
    """Runs of whole lines of a regular file, of about chunk bytes, each
    read into a bytes object of its own: (first line, view of its whole
    lines). A worker walks a view of bytes without the interpreter lock,
    and the bytes are copied once, by the read. Given the file's size
    (total), the last eight runs' worth are cut into runs of an eighth of
    what is left (down to an eighth of a run), so that the workers end
    close together."""
    offset, line = 0, 1

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
        yield line, memoryview(data)[:end]
        offset, line = offset + end, line + newlines
        size = run_size()


def tasks_for(source: Source, *, chunk: int, parallel: bool) -> Iterator[tuple[Task, int]]:
    """The tasks of one input, each with the bytes it covers (for progress).
    A file that cannot be opened here gives a "doc" task whose worker
    reports why. Without parallel, each task is done before the next is
    asked for, so runs of lines share one buffer."""
    if not source.jsonl:
        if source.path is None:
            try:
                data = sys.stdin.buffer.read()
            except OSError as error:
                yield ("error", source.name, error.strerror or str(error)), 0
                return
            yield ("doc", source.name, None, data, len(data)), len(data)
        else:
            yield ("doc", source.name, source.path, None, source.size), source.size or 0
        return
    stream: IO[bytes] | None = None
    try:
        if source.path is None:
            stream = sys.stdin.buffer
        else:
            stream = open(source.path, "rb")
        if parallel and source.regular:
            for first_line, run in _runs(stream.fileno(), chunk, source.size or 0):
                yield ("lines", source.name, run, first_line), len(run)
        else:
            for first_line, data in _split_lines(stream, chunk, reuse=not parallel):
                yield ("lines", source.name, data, first_line), len(data)
    except OSError as error:
        yield ("error", source.name, error.strerror or str(error)), 0
    finally:
        if stream is not None and source.path is not None:
            stream.close()


# ---------------------------------------------------------------------------
# Running tasks, in order


def _lock_free(task: Task) -> bool:
    """Whether a task's work runs mostly without the interpreter lock, so
    that a worker thread can do it beside others."""
    kind: str = task[0]
    if kind == "doc":
        size: int | None = task[4] if task[3] is None else len(task[3])
        return size is None or size >= THREAD_BYTES
    return kind == "lines"


class _Job:
    """A task handed to a worker thread; done is held until it is done."""

    __slots__ = ("task", "result", "error", "done")

    def __init__(self, task: Task, done: Any) -> None:
        self.task, self.done = task, done
        self.result: Result | None = None
        self.error: BaseException | None = None


class Runner:
    """Runs tasks and yields their results in task order: all in this thread
    (jobs == 1), or with those that run without the interpreter lock handed
    to jobs worker threads, at most 2 * jobs tasks in flight.

    The pool is a queue and plain threads: concurrent.futures would add the
    import of logging, a sixth of a short run's start."""

    def __init__(self, mode: str, profile: str, jobs: int) -> None:
        self.mode, self.profile, self.jobs = mode, profile, jobs
        self.queue: queue.SimpleQueue[_Job | None] | None = None
        self.workers: list[threading.Thread] = []
        self.stopping = False

    @property
    def parallel(self) -> bool:
        """Whether tasks go to workers (each then reads its own runs)."""
        return self.jobs > 1

    def _serve(self) -> None:
        assert self.queue is not None
        while (job := self.queue.get()) is not None:
            if not self.stopping:
                try:
                    job.result = run_task(self.mode, self.profile, job.task)
                except BaseException as error:  # raised where the result is taken
                    job.error = error
            job.done.release()

    def _submit(self, task: Task) -> _Job:
        import threading

        if self.queue is None:
            import queue

            self.queue = queue.SimpleQueue()
            for _ in range(self.jobs):
                worker = threading.Thread(target=self._serve, name="quorl worker", daemon=True)
                worker.start()
                self.workers.append(worker)
        job = _Job(task, threading.Lock())
        job.done.acquire()
        self.queue.put(job)
        return job

    @staticmethod
    def _outcome(job: _Job | Result) -> Result:
        """A task's result: done here already, or a worker's (waited for)."""
        if isinstance(job, Result):
            return job
        job.done.acquire()
        if job.error is not None:
            raise job.error
        assert job.result is not None
        return job.result

    def run(self, tasks: Iterable[tuple[Any, Task]]) -> Iterator[tuple[Any, Result]]:
        """tasks: (tag, task) pairs; yields (tag, result) in the same order."""
        if not self.parallel:
            for tag, task in tasks:
                yield tag, run_task(self.mode, self.profile, task)
            return
        window: collections.deque[tuple[Any, _Job | Result]] = collections.deque()
        for tag, task in tasks:
            if len(window) >= 2 * self.jobs:
                done_tag, done = window.popleft()
                yield done_tag, self._outcome(done)
            if _lock_free(task):
                window.append((tag, self._submit(task)))
            else:
                window.append((tag, run_task(self.mode, self.profile, task)))
        while window:
            done_tag, done = window.popleft()
            yield done_tag, self._outcome(done)

    def close(self) -> None:
        """Drops the tasks not yet started and waits for those running (each
        ends with its run of lines or document)."""
        if self.queue is None:
            return
        self.stopping = True
        for _ in self.workers:
            self.queue.put(None)
        for worker in self.workers:
            worker.join()
        self.queue, self.workers = None, []


# ---------------------------------------------------------------------------
# Output and messages


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Delays SIGINT and SIGTERM (delivered when the block ends)."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class Output:
    """Standard output, or a file written under a temporary name in its
    folder and renamed into place only when the run completes."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self.temp: str | None = None
        if path is None:
            self.stream: IO[bytes] = sys.stdout.buffer
        else:
            import tempfile

            folder = os.path.dirname(os.path.abspath(path))
            fd, self.temp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.",
                                             suffix=".part", dir=folder)
            self.stream = os.fdopen(fd, "wb")

    def write(self, data: bytes) -> None:
        # A buffered writer may take only part of a large write (a pipe whose
        # reader is going away); the rest is written, or the fault raised.
        view = memoryview(data)
        while view:
            view = view[self.stream.write(view) or 0:]

    def commit(self) -> None:
        self.stream.flush()
        if self.temp is None:
            return
        assert self.path is not None
        try:
            mode = os.stat(self.path).st_mode & 0o7777
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(self.temp, mode)
        self.stream.close()
        os.replace(self.temp, self.path)
        self.temp = None

    def discard(self) -> None:
        if self.temp is None:
            return
        try:
            self.stream.close()
        except OSError:
            pass
        try:
            os.unlink(self.temp)
        except OSError:
            pass
        self.temp = None


class Reporter:
    """Messages on standard error, kept clear of the progress bar."""

    def __init__(self, bar: Any = None) -> None:
        self.bar = bar

    def __call__(self, text: str) -> None:
        line = f"{PROG}: {text}"
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr)


def refusal_detail(refusal: tuple[Any, ...]) -> str:
    """'line L column C: message', as RefusedError words it."""
    _record_line, message, line, column, _offset = refusal
    return f"line {line} column {column}: {message}" if line is not None else message


def refusal_text(name: str, refusal: tuple[Any, ...]) -> str:
    where = name if refusal[0] is None else f"{name}:{refusal[0]}"
    return f"{where}: {refusal_detail(refusal)}"


def make_progress(enabled: bool | None, total: int | None) -> Any:
    """A tqdm bar of bytes on standard error, or None. By default only on a
    terminal, and shown only once the work has taken more than a moment."""
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled:
        return None
    from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, delay=0.5,
                file=sys.stderr, dynamic_ncols=True, leave=False)


class Progress:
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


def _keep_first_accepted(result: Result, data: bytes | None, first_line: int,
                         refused_line: int | None) -> bytes:
    """The output of the records before refused_line (for --fail-fast):
    one output line per accepted non-blank input line before it."""
    if refused_line is None or data is None:
        return b""
    before = data.split(b"\n")[: refused_line - first_line]
    kept = sum(1 for line in before if line.strip(b" \t\r"))
    if kept == 0:
        return b""
    lines = result.out.split(b"\n")
    return b"\n".join(lines[:kept]) + b"\n"


# ---------------------------------------------------------------------------
# Commands


def _jobs(value: int | None) -> int:
    if value is not None:
        return value
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not Linux
        return os.cpu_count() or 1


def cmd_transform(args: argparse.Namespace, mode: str) -> int:
    """digest and canonical: every input, in order, to one output."""
    status = OK
    report = Reporter()
    paths = args.paths or ["-"]
    sources, trouble = expand_paths(paths, recursive=args.recursive, jsonl=args.jsonl,
                                    complain=report)
    if trouble:
        status = TROUBLE
        if args.fail_fast:
            return status
    sizes = [s.size for s in sources if s.size is not None]
    total = sum(sizes) if len(sizes) == len(sources) else None
    jobs = _jobs(args.jobs)
    if total is not None and total <= args.chunk_bytes:
        jobs = 1  # less work than one task: starting workers would cost more
    profile = getattr(args, "profile", "")
    output: Output | None = None
    runner: Runner | None = None
    progress = Progress(None)
    try:
        # Ctrl-C is held back while the temporary file is made, so that
        # there is never a file on disk that `output` does not yet name.
        with _interrupts_held():
            output = Output(args.output)
        runner = Runner(mode, profile, jobs)
        progress = Progress(make_progress(args.progress, total))
        report = Reporter(progress.bar)

        def all_tasks() -> Iterator[tuple[tuple[Source, Task, int], Task]]:
            for source in sources:
                for task, nbytes in tasks_for(source, chunk=args.chunk_bytes,
                                              parallel=runner.parallel):
                    yield (source, task, nbytes), task

        for (source, task, nbytes), result in runner.run(all_tasks()):
            progress.advance(nbytes, result.records)
            if result.error is not None:
                report(f"{source.name}: {result.error}")
                status = TROUBLE
                if args.fail_fast:
                    raise Refusal
                continue
            if result.refusals and args.fail_fast:
                first = result.refusals[0]
                data = bytes(task[2]) if task[0] == "lines" else None
                first_line = task[-1] if task[0] != "doc" else 1
                output.write(_keep_first_accepted(result, data, first_line, first[0]))
                report(refusal_text(source.name, first))
                raise Refusal
            output.write(result.out)
            for refusal in result.refusals:
                report(refusal_text(source.name, refusal))
                status = max(status, REFUSED)
        progress.close()
        output.commit()
    except Refusal:
        progress.close()
        if output is not None:
            output.discard()
        if args.output is None:
            sys.stdout.flush()
        return max(status, REFUSED)
    except OSError as error:
        progress.close()
        if output is not None:
            output.discard()
        if isinstance(error, BrokenPipeError):
            raise
        target = args.output or "standard output"
        report(f"{target}: {error.strerror or error}")
        return TROUBLE
    except BaseException:
        progress.close()
        if output is not None:
            output.discard()
        raise
    finally:
        if runner is not None:
            runner.close()
    return status


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
            name = _unescape_name(name)
        record = _RECORD.match(name)
        if record is not None and not os.path.isfile(name):
            entries.append(Entry(expected, name, record.group(1), int(record.group(2))))
        else:
            entries.append(Entry(expected, name, name, None))
    return entries, bad


def _plural(count: int, one: str, many: str) -> str:
    return f"{count} {one if count == 1 else many}"


def cmd_check(args: argparse.Namespace) -> int:
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
        shown, escaped = _escape_name(entry.name)
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
    jobs = _jobs(args.jobs)
    if total <= args.chunk_bytes:
        jobs = 1
    runner: Runner | None = None
    progress = Progress(None)
    try:
        runner = Runner("digest", args.profile, jobs)
        progress = Progress(make_progress(args.progress, total))
        report.bar = progress.bar

        def all_tasks() -> Iterator[tuple[tuple[Entry | str, str | None, int], Task]]:
            for item, size in zip(order, sizes):
                if isinstance(item, Entry):
                    yield (item, None, 0), ("doc", item.name, item.path, None, size)
                    continue
                jsonl = Source(item, item, True, None)
                try:
                    info = os.stat(item)
                    if os.path.isdir(item):
                        raise IsADirectoryError(21, "Is a directory")
                    if _is_regular(info.st_mode):
                        jsonl = Source(item, item, True, info.st_size)
                except OSError as error:
                    yield (item, error.strerror, 0), ("doc", item, item, None, 0)
                    yield (item, "end", 0), ("lines", item, b"", 1)
                    continue
                for task, nbytes in tasks_for(jsonl, chunk=args.chunk_bytes,
                                              parallel=runner.parallel):
                    yield (item, None, nbytes), task
                yield (item, "end", 0), ("lines", item, b"", 1)

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
                    line = int(row[row.rindex(b":") + 1:])
                    if line in wanted:
                        computed[line] = row.lstrip(b"\\")[:64].decode()
                for refusal in result.refusals:
                    if refusal[0] in wanted:
                        refused[refusal[0]] = refusal_detail(refusal)
            if args.fail_fast and (counts["mismatch"] or counts["refused"]
                                   or counts["unreadable"]):
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
        report("WARNING: " + _plural(counts["mismatch"], "computed digest did",
                                     "computed digests did") + " NOT match")
        status = max(status, REFUSED)
    if counts["refused"]:
        report("WARNING: " + _plural(counts["refused"], "listed document was",
                                     "listed documents were") + " refused or not found")
        status = max(status, REFUSED)
    if counts["unreadable"]:
        report("WARNING: " + _plural(counts["unreadable"], "listed file", "listed files")
               + " could not be read")
        status = TROUBLE
    if bad:
        report("WARNING: " + _plural(bad, "line is", "lines are") + " improperly formatted")
        status = max(status, REFUSED)
    return status


# ---------------------------------------------------------------------------
# Arguments


class _VersionAction(argparse.Action):
    """--version: the version is read from the package metadata only when
    asked for, so that ordinary runs do not pay for the lookup."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(f"{parser.prog} {quorl.__version__}")  # on standard output, as argparse's own
        parser.exit()


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    profiles = "\n".join(f"  {name:<17} {PROFILE_HELP[name]}" for name in quorl.PROFILES)
    profile_note = (
        "profiles:\n" + profiles + "\n\nThe same document has four unrelated digests, so that "
        "a digest made for one\npurpose cannot stand in for another."
    )
    parser = argparse.ArgumentParser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Exact canonical bytes and SHA-256 digests of tagged JSON documents.",
        epilog=(
            "exit status: 0 when every document was digested (or checked OK), 1 when\n"
            "any was refused or failed its check, 2 for usage faults and unreadable paths.\n\n"
            "Run 'quorl COMMAND --help' for each command's options."
        ),
    )
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def common(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("-j", "--jobs", type=_positive, metavar="N",
                         help="worker threads (default: the usable cores; 1 works in the "
                              "main thread); output order is the same for every N")
        sub.add_argument("--fail-fast", action="store_true",
                         help="stop at the first refused, failed or unreadable document")
        bar = sub.add_mutually_exclusive_group()
        bar.add_argument("--progress", dest="progress", action="store_true", default=None,
                         help="a progress bar on standard error (default: when it is a terminal)")
        bar.add_argument("--no-progress", dest="progress", action="store_false",
                         help="no progress bar")
        sub.add_argument("--chunk-bytes", type=_positive, default=CHUNK_BYTES,
                         help=argparse.SUPPRESS)

    def inputs(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("paths", nargs="*", metavar="PATH",
                         help="a file, a folder (with -r), or - for standard input (the default)")
        sub.add_argument("-r", "--recursive", action="store_true",
                         help="take every *.json and *.jsonl file below each folder, in sorted "
                              "order")
        sub.add_argument("--jsonl", action="store_true",
                         help="every line of the input is one record (blank lines skipped); "
                              "*.jsonl files are taken this way without it")
        sub.add_argument("-o", "--output", metavar="FILE",
                         help="write to FILE (replaced only once the run is complete) instead "
                              "of standard output")

    digest = commands.add_parser(
        "digest", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="one digest line per document or record, laid out like sha256sum",
        description=("Print '<64 hex>  <name>' for every document, and\n"
                     "'<64 hex>  <name>:<line>' for every record of JSON Lines."),
        epilog=profile_note)
    digest.add_argument("-p", "--profile", required=True, choices=quorl.PROFILES,
                        metavar="PROFILE", help="what the digest is for (see below)")
    inputs(digest)
    common(digest)

    canonical = commands.add_parser(
        "canonical", help="the canonical bytes of every document, one per line",
        description=("Write the canonical bytes of every document, or every record of JSON "
                     "Lines, each followed by a newline. Refused records are left out."))
    inputs(canonical)
    common(canonical)

    check = commands.add_parser(
        "check", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="recompute the digests listed in a file made by 'quorl digest'",
        description=("Read lines '<hex>  <name>' or '<hex>  <name>:<line>' and print\n"
                     "'<name>: OK' or '<name>: FAILED' for each. Every JSON Lines file\n"
                     "named is read once, and its records are reported together."),
        epilog=profile_note)
    check.add_argument("-p", "--profile", required=True, choices=quorl.PROFILES,
                       metavar="PROFILE", help="the profile the digests were made with")
    check.add_argument("sums", nargs="*", metavar="SUMS",
                       help="a file of digest lines, or - for standard input (the default)")
    check.add_argument("--quiet", action="store_true", help="do not print OK lines")
    common(check)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # Names that are not UTF-8 are written back as their own bytes.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")
    signal.signal(signal.SIGTERM, _on_terminate)
    _native._keep_freed_memory()  # runs of lines reuse the memory of those before
    try:
        if args.command == "check":
            status = cmd_check(args)
        else:
            status = cmd_transform(args, args.command)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt as stop:
        return TERMINATED if isinstance(stop, Terminated) else INTERRUPTED
    except BrokenPipeError:
        # The reader went away (quorl digest ... | head -1): leave quietly, as
        # the coreutils do when SIGPIPE ends them.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return BROKEN_PIPE
    except MemoryError:
        print(f"{PROG}: not enough memory (a whole document is held in memory at once; "
              "JSON Lines are not)", file=sys.stderr)
        return TROUBLE


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
