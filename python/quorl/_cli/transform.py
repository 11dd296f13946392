"""quorl digest and quorl canonical: every input, in order, to one output."""

from __future__ import annotations

from .inputs import expand_paths
from .output import Output
from .report import Progress, Reporter, make_progress, plural, refusal_text
from .runner import Runner, worker_count
from .status import OK, REFUSED, TROUBLE, Refusal
from .streams import ClosedStream
from .tables import TableTask
from .tasks import LinesTask, Work, tasks_for

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Iterator

    from .inputs import Source
    from .tasks import Result, Task


def _keep_first_accepted(
    result: Result, data: bytes | None, first_line: int, refused_line: int | None
) -> bytes:
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


class Tally:
    """Records done and refused, files that could not be read, and the
    refusals shown so far (--max-errors)."""

    def __init__(self, report: Reporter, max_errors: int | None) -> None:
        self.report, self.max_errors = report, max_errors
        self.records = self.refused = self.shown = 0
        self.unreadable: set[str] = set()

    def refusal(self, name: str, refusal: tuple[object, ...], hint: str | None) -> None:
        self.refused += 1
        if self.max_errors is not None and self.shown >= self.max_errors:
            if self.shown == self.max_errors:
                self.report(
                    f"further refusals are counted, not shown (--max-errors {self.max_errors})"
                )
                self.shown += 1
            return
        self.shown += 1
        self.report(refusal_text(name, refusal))
        if hint is not None:
            self.report(f"hint: {hint}")

    def summary(self, done: str) -> None:
        """One line at the end of a run that refused or could not read."""
        if not (self.refused or self.unreadable):
            return
        line = (
            f"{self.records:,} {'record' if self.records == 1 else 'records'}: "
            f"{self.records - self.refused:,} {done}, {self.refused:,} refused"
        )
        if self.unreadable:
            line += f"; {plural(len(self.unreadable), 'file', 'files')} could not be read"
        self.report(line)


def run(args: argparse.Namespace, mode: str) -> int:
    """digest and canonical: every input, in order, to one output."""
    status = OK
    report = Reporter()
    paths = args.paths or ["-"]
    sources, trouble = expand_paths(
        paths,
        recursive=args.recursive,
        jsonl=args.jsonl,
        include=args.include,
        exclude=args.exclude,
        complain=report,
        note=report,
        tables=args.column is not None,
    )
    if args.whole:
        for source in sources:
            source.jsonl = False
    if trouble:
        status = TROUBLE
        if args.fail_fast:
            return status
    sizes = [s.size for s in sources if s.size is not None]
    total = sum(sizes) if len(sizes) == len(sources) else None
    jobs = worker_count(args.jobs)
    if total is not None and total <= args.chunk_bytes:
        jobs = 1  # less work than one task: starting workers would cost more
    work = Work(
        mode,
        getattr(args, "profile", ""),
        tag=getattr(args, "tag", False),
        floats=args.floats,
        column=args.column,
    )
    output: Output | None = None
    runner: Runner | None = None
    progress = Progress(None)
    tally = Tally(report, args.max_errors)
    try:
        output = Output(args.output)
        runner = Runner(work, jobs)
        progress = Progress(make_progress(args.progress, total))
        report.bar = progress.bar

        def all_tasks() -> Iterator[tuple[tuple[Source, Task, int], Task]]:
            for source in sources:
                for task, nbytes in tasks_for(
                    source, chunk=args.chunk_bytes, parallel=runner.parallel, column=args.column
                ):
                    yield (source, task, nbytes), task

        for (source, task, nbytes), result in runner.run(all_tasks()):
            progress.advance(nbytes, result.records)
            tally.records += result.records
            if result.error is not None:
                report(f"{refusal_text(source.name, (None, result.error, None, None, None))}")
                tally.unreadable.add(source.name)
                status = TROUBLE
                if args.fail_fast:
                    raise Refusal
                continue
            if result.refusals and args.fail_fast:
                first = result.refusals[0]
                lines = task if isinstance(task, LinesTask) else None
                if isinstance(task, TableTask):
                    output.write(task.kept_before(result, first[0]))
                else:
                    output.write(
                        _keep_first_accepted(
                            result,
                            None if lines is None else bytes(lines.data),
                            1 if lines is None else lines.first_line,
                            first[0],
                        )
                    )
                tally.refusal(source.name, first, result.hint)
                raise Refusal
            output.write(result.out)
            for k, refusal in enumerate(result.refusals):
                tally.refusal(source.name, refusal, result.hint if k == 0 else None)
                status = max(status, REFUSED)
        progress.close()
        output.commit()
    except Refusal:
        progress.close()
        if output is not None:
            output.discard()
        tally.summary("digested" if mode == "digest" else "written")
        return max(status, REFUSED)
    except OSError as error:
        progress.close()
        if output is not None:
            output.discard()
        if isinstance(error, BrokenPipeError):
            raise
        if isinstance(error, ClosedStream):
            report(str(error.strerror))
        else:
            target = "standard output" if args.output in (None, "-") else args.output
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
    tally.summary("digested" if mode == "digest" else "written")
    return status
