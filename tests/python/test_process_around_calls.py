"""What happens around a call of the quorl package never takes the process
down: the interpreter exiting under a daemon thread that is inside a call,
sub-interpreters, Python code re-entering the walk, buffers that change,
a fork in the middle of a digest, a signal during a long conversion."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

from support import SUBINTERPRETERS

TIMEOUT = 120  # seconds per child process: generous for a shared machine


def run_children(code: str, count: int) -> list[subprocess.CompletedProcess]:
    """Runs `count` interpreters on code at once (fewer rounds of start-up)."""
    script = textwrap.dedent(code)
    children = [
        subprocess.Popen(
            [sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        for _ in range(count)
    ]
    done = []
    for child in children:
        out, err = child.communicate(timeout=TIMEOUT)
        done.append(subprocess.CompletedProcess(child.args, child.returncode, out, err))
    return done


# --- the interpreter exits while daemon threads are inside calls --------------
# Each body defines work(), which two daemon threads call in a loop; the main
# thread returns 50 ms later.

DAEMON_WORK = {
    "text": """
        doc = json.dumps([{"k%d" % i: "v" * 20, "a": i} for i in range(2000)])
        def work():
            quorl.canonical_bytes_from_json(doc)
            quorl.digest_from_json(doc.encode(), "run")
    """,
    "lines": """
        data = b"".join(b'{"n":%d,"s":"%s"}\\n' % (i, b"x" * 40) for i in range(3000))
        def work():
            quorl._native.digest_records(data, "run")
    """,
    "decimal-str": """
        class Loud(decimal.Decimal):
            def __str__(self):
                return "x" * 10
        obj = [Loud("1.5")] * 20000
        def work():
            quorl.digest(obj, "run", floats="str")
    """,
    "column": """
        import pyarrow as pa
        column = pa.array([json.dumps({"n": i, "s": "x" * 40}) for i in range(20000)])
        def work():
            quorl.digest_column(column, "run", threads=2)
    """,
    "thread-pool": """
        from multiprocessing.pool import ThreadPool
        doc = json.dumps([{"k%d" % i: "v" * 20, "a": i} for i in range(2000)]).encode()
        ThreadPool(2).map_async(quorl.canonical_bytes_from_json, [doc] * 10000)
        def work():
            pass
    """,
}


@pytest.mark.parametrize("kind", list(DAEMON_WORK))
def test_exit_with_daemon_threads_inside_calls(kind):
    if kind == "column":
        pytest.importorskip("pyarrow")
    code = (
        "import decimal, json, threading, time, quorl\n"
        + textwrap.dedent(DAEMON_WORK[kind])
        + "def loop():\n    while True:\n        work()\n"
        + "for _ in range(2):\n    threading.Thread(target=loop, daemon=True).start()\n"
        + "time.sleep(0.05)\n"
    )
    runs = run_children(code, 20)
    failed = [(r.returncode, r.stderr.decode()[-300:]) for r in runs if r.returncode != 0]
    assert failed == []


# --- sub-interpreters ---------------------------------------------------------

OWN_REFUSED_ERROR = """
    import os, quorl

    def main_refusal():
        try:
            quorl.canonical_bytes_from_json(b"[1.5]")
        except quorl.RefusedError as error:  # this interpreter's own class
            return f"{type(error).__module__}.{type(error).__name__}: {error}"
        except BaseException as error:
            return f"missed: {type(error).__name__}: {error}"

    read_end, write_end = os.pipe()
    sub_code = '''
    import os
    try:
        import quorl
        try:
            quorl.digest([2.5], "run")
        except quorl.RefusedError as error:
            outcome = "own class: " + str(error)
    except BaseException as error:
        outcome = type(error).__name__
    os.write(%d, outcome.encode() + b"\\\\n")
    ''' % write_end
    print(main_refusal())
    for legacy in (True, False):
        interp = create(legacy)
        interpreters.run_string(interp, sub_code)
        print(os.read(read_end, 1000).decode().strip())
        print(main_refusal())
        interpreters.destroy(interp)
        print(main_refusal())
"""


def test_sub_interpreters_keep_their_own_refused_error():
    (run,) = run_children(SUBINTERPRETERS + textwrap.dedent(OWN_REFUSED_ERROR), 1)
    assert run.returncode == 0, run.stderr.decode()
    main = (
        "quorl._errors.RefusedError: line 1 column 2: floats are forbidden in canonical "
        "content; pre-represent as int or string"
    )
    sub = (
        "own class: at $[0]: floats are forbidden in canonical content; "
        "pre-represent as int or string"
    )
    # Sharing the main interpreter's lock: imported, with a class of its own,
    # in the sub-interpreter and after it is gone. With a lock of its own:
    # refused, since buffers may be shared between such interpreters.
    assert run.stdout.decode().splitlines() == [main, sub, main, main, "ImportError", main, main]


# --- Python code re-entering the walk -----------------------------------------

REENTRY = """
    import decimal, sys, quorl
    NEST = int(sys.argv[1])
    class Again(decimal.Decimal):
        def __str__(self):
            obj = self
            for _ in range(NEST):
                obj = [obj]
            return quorl.canonical_bytes(obj, floats="str").decode()
    try:
        quorl.canonical_bytes([Again("1")], floats="str")
    except RecursionError:
        print("RecursionError")
"""


@pytest.mark.parametrize("nest", [0, 10, 60, 100, 126])
def test_reentry_ends_in_recursion_error(nest):
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(REENTRY), str(nest)],
        capture_output=True,
        timeout=TIMEOUT,
    )
    assert (run.returncode, run.stdout) == (0, b"RecursionError\n"), run.stderr.decode()[-300:]


# --- a buffer that changes under the call -------------------------------------


class Lying(bytes):
    """A bytes object whose buffer is another object's (PEP 688)."""

    def __new__(cls, target: bytearray) -> Lying:
        self = super().__new__(cls, b"[]")
        self.target = target
        return self

    def __buffer__(self, flags: int) -> memoryview:
        return memoryview(self.target)


def test_a_bytes_subclass_is_read_whole_while_its_buffer_changes():
    import threading

    import quorl
    import quorl_core

    # Two documents of one length and different shapes, past the size from
    # which the lock may be let go: a read that mixes them gives neither
    # result (or a refusal).
    texts = ["[" + "1," * 1_000_000 + "1]", '["' + "x" * 1_999_999 + '"]']
    blobs = [text.encode() for text in texts]
    target = bytearray(blobs[0])
    expected = {quorl_core.canonical_bytes_from_json(text) for text in texts}
    stop = threading.Event()

    def rewrite():
        view = memoryview(target)  # the bytearray cannot be resized while exported
        while not stop.is_set():
            for blob in blobs:
                view[:] = blob

    doc = Lying(target)
    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        results = set()
        for _ in range(100):
            try:
                results.add(quorl.canonical_bytes_from_json(doc))
            except quorl.RefusedError as error:
                results.add(str(error))
    finally:
        stop.set()
        writer.join()
    assert results <= expected, [r[:80] for r in results - expected]


# --- a fork in the middle of a digest -----------------------------------------

FORK_IN_DIGEST = """
    import decimal, os, signal, sys, threading, time, quorl
    WHO = sys.argv[1]
    rows = [{"id": i, "name": "x" * 40} for i in range(4000)]  # 128 KiB of output and more
    plain = {"a": rows, "b": "1.5", "c": rows}
    expected = quorl.digest(plain, "run")
    forked = []

    class Forks(decimal.Decimal):
        def __str__(self):
            if WHO == "walker":  # the child goes on with this digest
                forked.append(os.fork())
                if forked[0] == 0:
                    signal.alarm(60)  # a hang ends the child
            else:  # the walker waits here while the main thread forks
                time.sleep(1)
            return "1.5"

    def checked(got):  # the digest under way, and a new one
        return got == expected and quorl.digest(plain, "run") == expected

    obj = {"a": rows, "b": Forks("1.5"), "c": rows}
    if WHO == "walker":
        ok = checked(quorl.digest(obj, "run", floats="str"))
        if forked[0] == 0:
            os._exit(0 if ok else 3)
    else:
        got = []
        walker = threading.Thread(target=lambda: got.append(quorl.digest(obj, "run", floats="str")))
        walker.start()
        time.sleep(0.3)
        forked.append(os.fork())
        if forked[0] == 0:
            signal.alarm(60)
            os._exit(0 if checked(expected) else 3)
        walker.join()
        ok = checked(got[0])
    _, status = os.waitpid(forked[0], 0)
    print(os.waitstatus_to_exitcode(status), ok)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("forker", ["walker", "other-thread"])
def test_fork_in_the_middle_of_a_digest(forker):
    run = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", textwrap.dedent(FORK_IN_DIGEST), forker],
        capture_output=True,
        timeout=TIMEOUT,
    )
    assert (run.returncode, run.stdout) == (0, b"0 True\n"), run.stderr[-300:]


# --- a signal during the conversion of a huge integer -------------------------

INTERRUPTED = """
    import random, signal, sys, time, quorl
    value = random.getrandbits(33_000_000)  # ten million digits: seconds to convert
    def stop(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, stop)
    start = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        getattr(quorl, sys.argv[1])([value], *sys.argv[2:])
    except KeyboardInterrupt:
        print("interrupted after", time.monotonic() - start)
"""


@pytest.mark.parametrize(
    "call", [["canonical_bytes"], ["digest", "run"], ["to_tagged_json"]], ids=lambda call: call[0]
)
def test_a_signal_stops_a_huge_integer(call):
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(INTERRUPTED), *call],
        capture_output=True,
        timeout=TIMEOUT,
    )
    words = run.stdout.split()
    assert run.returncode == 0 and words[:2] == [b"interrupted", b"after"], run.stderr[-300:]
    assert float(words[2]) < 3.0  # generous: the shared machine may pause the process
