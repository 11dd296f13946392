"""Tasks done in order. With -j N, tasks whose work runs without the
interpreter lock (runs of lines, documents of 64 KiB or more) go to N worker
threads, at most two per worker in flight; smaller documents, which hold the
lock throughout, are done in the main thread, since handing them over would
cost more than they do. Threads, not processes: nothing is forked, pickled
or copied between them."""

from __future__ import annotations

import collections

TYPE_CHECKING = False
if TYPE_CHECKING:
    import queue
    import threading
    from collections.abc import Iterable, Iterator

    from .tasks import Result, Task, Work


class _Job:
    """A task handed to a worker thread; done is held until it is done."""

    __slots__ = ("task", "result", "error", "done")

    def __init__(self, task: Task, done: threading.Lock) -> None:
        self.task, self.done = task, done
        self.result: Result | None = None
        self.error: BaseException | None = None


class Runner:
    """Runs tasks and yields their results in task order: all in this thread
    (jobs == 1), or with those that run without the interpreter lock handed
    to jobs worker threads, at most 2 * jobs tasks in flight.

    The pool is a queue and plain threads: concurrent.futures would add the
    import of logging, a sixth of a short run's start."""

    def __init__(self, work: Work, jobs: int) -> None:
        self.work, self.jobs = work, jobs
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
                    job.result = job.task.run(self.work)
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
        if not isinstance(job, _Job):
            return job
        job.done.acquire()
        if job.error is not None:
            raise job.error
        assert job.result is not None
        return job.result

    def run[Tag](self, tasks: Iterable[tuple[Tag, Task]]) -> Iterator[tuple[Tag, Result]]:
        """tasks: (tag, task) pairs; yields (tag, result) in the same order."""
        if not self.parallel:
            for tag, task in tasks:
                yield tag, task.run(self.work)
            return
        window: collections.deque[tuple[Tag, _Job | Result]] = collections.deque()
        for tag, task in tasks:
            if len(window) >= 2 * self.jobs:
                done_tag, done = window.popleft()
                yield done_tag, self._outcome(done)
            if task.lock_free:
                window.append((tag, self._submit(task)))
            else:
                window.append((tag, task.run(self.work)))
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


def worker_count(value: int | None) -> int:
    """-j: as given, or the cores this process may run on, and never more
    than those: the work is all computing, and each worker holds two runs
    of lines in memory."""
    import os

    try:
        cores = max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not Linux
        cores = os.cpu_count() or 1
    return cores if value is None else min(value, cores)
