"""The module object: its attributes, repeated initialisation, sub-interpreters,
concurrent callers and running out of memory."""

import importlib
import importlib.util
import inspect
import shutil
import subprocess
import sys
import textwrap
import threading
import types
from concurrent.futures import ThreadPoolExecutor

import pytest

import quorl_core
from support import SUBINTERPRETERS

FUNCTIONS = [
    ("canonical_bytes_from_json", ["tagged_json"]),
    ("digest_from_json", ["tagged_json", "profile"]),
]


# --- attributes ---------------------------------------------------------------


def test_module_docstring_is_empty():
    assert quorl_core.__doc__ == ""
    assert quorl_core.__name__ == "quorl_core"


def test_all_lists_the_two_functions_in_order():
    assert type(quorl_core.__all__) is list
    assert quorl_core.__all__ == ["canonical_bytes_from_json", "digest_from_json"]


def test_public_names_are_exactly_all():
    public = sorted(name for name in vars(quorl_core) if not name.startswith("_"))
    assert public == sorted(quorl_core.__all__)


@pytest.mark.parametrize(("name", "params"), FUNCTIONS)
def test_function_identity(name, params):
    function = getattr(quorl_core, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "quorl_core"
    assert function.__self__ is quorl_core


@pytest.mark.parametrize(("name", "params"), FUNCTIONS)
def test_signature(name, params):
    function = getattr(quorl_core, name)
    # The docstring is the signature block alone: no further documentation.
    assert function.__text_signature__ == "(" + ", ".join(params) + ")"
    assert function.__doc__ is None
    signature = inspect.signature(function)
    assert [p.name for p in signature.parameters.values()] == params
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_entry_point_is_the_only_exported_symbol():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", quorl_core.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_quorl_core"]


# --- repeated initialisation --------------------------------------------------


def check_still_whole(module):
    assert module is quorl_core
    assert module.__all__ == ["canonical_bytes_from_json", "digest_from_json"]
    assert module.canonical_bytes_from_json('{"b":1,"a":2}') == b'{"a":2,"b":1}'


def test_import_again_gives_the_same_module():
    check_still_whole(importlib.import_module("quorl_core"))


def test_reimport_after_removal_from_sys_modules_gives_the_same_module():
    saved = sys.modules.pop("quorl_core")
    try:
        again = importlib.import_module("quorl_core")
    finally:
        sys.modules["quorl_core"] = saved
    check_still_whole(again)


def test_reload_gives_the_same_module():
    check_still_whole(importlib.reload(quorl_core))


def test_module_from_spec_initialises_again_into_the_same_module():
    # Runs the extension's initialiser a further time through the loader.
    found = importlib.util.find_spec("quorl_core")
    check_still_whole(importlib.util.module_from_spec(found))


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_fresh_process_initialising_twice():
    result = run_python("""
        import sys
        import quorl_core as first
        del sys.modules["quorl_core"]
        import quorl_core as second
        assert second is first, (first, second)
        assert second.__all__ == ["canonical_bytes_from_json", "digest_from_json"], second.__all__
        print("ok")
    """)
    assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")


# --- sub-interpreters ---------------------------------------------------------

SUBINTERPRETER_SCRIPT = """
    import os
    import quorl_core

    read_end, write_end = os.pipe()
    code = '''
    import os
    try:
        import quorl_core
    except BaseException as error:
        outcome = type(error).__name__ + ": " + str(error)
    else:
        outcome = "imported"
    os.write(%d, outcome.encode() + b"\\\\n")
    ''' % write_end
    for legacy in (True, True, False):
        interp = create(legacy)
        interpreters.run_string(interp, code)
        interpreters.destroy(interp)
    os.close(write_end)
    print(os.read(read_end, 100000).decode(), end="")
    print(quorl_core.canonical_bytes_from_json("[1]"))
"""


def test_sub_interpreter_is_refused():
    if not any(importlib.util.find_spec(name) for name in ("_interpreters", "_xxsubinterpreters")):
        pytest.skip("this interpreter has no private sub-interpreter module")
    result = run_python(SUBINTERPRETERS + textwrap.dedent(SUBINTERPRETER_SCRIPT))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 4, result.stdout
    # Legacy sub-interpreters run the initialiser, which refuses them itself;
    # it keeps refusing on a second attempt.
    ours = (
        "ImportError: quorl_core does not support sub-interpreters: it is already "
        "initialised in another interpreter of this process"
    )
    assert lines[0] == ours
    assert lines[1] == ours
    # Isolated ones are refused either by the interpreter or by the module.
    assert lines[2].startswith("ImportError: ")
    # The main interpreter keeps its module.
    assert lines[3] == "b'[1]'"


# --- many threads -------------------------------------------------------------

THREAD_CALLS = [
    ("canonical", '{"b":[1,-20,true],"a":"x\\"y\\n","é":null,"A":{"z":0,"y":""}}', None),
    ("canonical", '{"$int":"123456789012345678901234567890"}', None),
    ("canonical", "[" * 129 + "]" * 129, None),
    ("canonical", "[1.5", None),
    ("canonical", '"' + "é" * 5000 + '"', None),
    ("digest", '{"digest":1,"a":[1,2,3]}', "run"),
    ("digest", '{"a":{"b":{"c":[null,true,false]}}}', "semantic-content"),
    ("digest", "[]", "artifact-byte"),
    ("digest", "{}", "nope"),
    ("digest", "[1,", "certificate"),
]


def call(kind, document, profile):
    try:
        if kind == "canonical":
            return ("ok", quorl_core.canonical_bytes_from_json(document))
        return ("ok", quorl_core.digest_from_json(document, profile))
    except ValueError as error:
        return ("ValueError", error.args)


def test_concurrent_calls_match_serial_calls():
    serial = [call(*c) for c in THREAD_CALLS]
    threads = 8
    barrier = threading.Barrier(threads)

    def worker(offset):
        barrier.wait()
        results = []
        for round_ in range(40):
            for i in range(len(THREAD_CALLS)):
                j = (i + offset + round_) % len(THREAD_CALLS)
                results.append((j, call(*THREAD_CALLS[j])))
        return results

    with ThreadPoolExecutor(max_workers=threads) as pool:
        outcomes = list(pool.map(worker, range(threads)))
    assert sum(len(o) for o in outcomes) == threads * 40 * len(THREAD_CALLS)
    for results in outcomes:
        for j, outcome in results:
            assert outcome == serial[j]


# --- running out of memory ----------------------------------------------------


def test_core_out_of_memory_raises_memory_error_and_releases_everything():
    # The core cannot copy a 64 MiB document within 48 MiB of headroom (the
    # leading space makes it copy the text, which it otherwise emits as it
    # is). The failure must surface as MemoryError, the process must live
    # on, and repeated failures must not grow the address space (nothing
    # leaked).
    result = run_python("""
        import resource
        import quorl_core

        document = ' "' + "a" * (64 << 20) + '"'

        def mapped():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[0]) * resource.getpagesize()

        limit = mapped() + (48 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        sizes = []
        outcomes = set()
        for _ in range(12):
            for attempt in (lambda: quorl_core.canonical_bytes_from_json(document),
                            lambda: quorl_core.digest_from_json(document, "run")):
                try:
                    attempt()
                    outcomes.add("returned")
                except MemoryError:
                    outcomes.add("MemoryError")
            sizes.append(mapped())
        print(sorted(outcomes))
        print(sizes[-1] - sizes[1] < (4 << 20), sizes)
        print(quorl_core.canonical_bytes_from_json('{"b":1,"a":2}'))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0] == "['MemoryError']"
    assert lines[1].startswith("True "), lines[1]
    assert lines[2] == 'b\'{"a":2,"b":1}\''


def test_interpreter_failing_to_build_a_result_raises_its_own_memory_error():
    # With every interpreter allocation failing, building the bytes, the digest
    # str or the ValueError message fails; that MemoryError is what the caller
    # gets, and nothing is printed.
    if importlib.util.find_spec("_testcapi") is None:
        pytest.skip("this interpreter has no _testcapi")
    result = run_python("""
        import _testcapi
        import quorl_core

        document = "[" + ",".join(['"abcdefgh"'] * 100) + "]"
        calls = [
            lambda: quorl_core.canonical_bytes_from_json(document),
            lambda: quorl_core.digest_from_json(document, "run"),
            lambda: quorl_core.canonical_bytes_from_json("[1.5"),
            lambda: quorl_core.digest_from_json("[]", "no-such-profile"),
        ]
        for attempt in calls:
            _testcapi.set_nomemory(0)
            try:
                attempt()
                outcome = None
            except BaseException as error:
                outcome = error
            finally:
                _testcapi.remove_mem_hooks()
            print(type(outcome).__name__)
        print(quorl_core.canonical_bytes_from_json("[1]"))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout.splitlines() == ["MemoryError"] * 4 + ["b'[1]'"]
