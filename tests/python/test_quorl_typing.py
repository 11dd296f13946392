"""The quorl package's inline types, as mypy --strict sees them from a caller."""

import re
import textwrap

import pytest

from test_typing import run_mypy

pytest.importorskip("mypy.api")

CALLER = """
    import mmap
    import quorl
    from quorl import RefusedError

    data: bytes = quorl.canonical_bytes({"a": [1, 2**80, None, True, "x"]})
    data = quorl.canonical_bytes({"price": 1.5}, floats="str")
    text: str = quorl.to_tagged_json([{"$int": "5"}], floats="refuse")
    hex_digest: str = quorl.digest({"a": 1}, "run")
    hex_digest = quorl.digest_from_json(b"{}", profile="certificate")
    hex_digest = quorl.digest_from_json(bytearray(b"[]"), "run")
    data = quorl.canonical_bytes_from_json(memoryview(b"[]"))
    data = quorl.canonical_bytes_from_json("[]")
    profiles: tuple[str, ...] = quorl.PROFILES
    version: str = quorl.__version__
    try:
        quorl.canonical_bytes_from_json(b"[1.5]")
    except RefusedError as e:
        where: int | None = e.line
        where = e.column
        where = e.offset
        path: str | None = e.path
        message: str = e.message
    reveal_type(quorl.digest)
"""

BAD = [
    ('quorl.canonical_bytes({}, floats="round")', "arg-type"),
    ("quorl.digest_from_json(b'{}', None)", "arg-type"),
    ("quorl.canonical_bytes_from_json(12)", "arg-type"),
    ('text: str = quorl.canonical_bytes("x")', "assignment"),
    ('quorl.digest({}, "run", "str")', "misc"),
]


def test_caller_of_every_function_type_checks(tmp_path):
    stdout, status = run_mypy(tmp_path, textwrap.dedent(CALLER))
    assert [line for line in stdout.splitlines() if ": error: " in line] == []
    assert re.search(r'Revealed type is "def \(obj: .*object, profile: .*str, \*, floats: ', stdout)
    assert status == 0


def test_wrong_calls_are_rejected(tmp_path):
    source = "import quorl\n" + "".join(line + "\n" for line, _ in BAD)
    stdout, status = run_mypy(tmp_path, source)
    lines = {int(n) for n in re.findall(r"caller\.py:(\d+): error:", stdout)}
    assert lines == set(range(2, 2 + len(BAD))), stdout
    assert status == 1
