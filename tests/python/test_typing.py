"""The installed type stubs, as mypy sees them from a caller's code."""

import re
import sys
import textwrap

import pytest

mypy_api = pytest.importorskip("mypy.api")

GOOD_CALLER = """
    from quorl_core import canonical_bytes_from_json, digest_from_json
    import quorl_core

    data: bytes = canonical_bytes_from_json('{"a": 1}')
    data = canonical_bytes_from_json(tagged_json="[]")
    hex_digest: str = digest_from_json("[]", "run")
    hex_digest = digest_from_json(profile="certificate", tagged_json="{}")
    profile: str = "any text is a str"
    hex_digest = digest_from_json("[]", profile)
    names: list[str] = quorl_core.__all__
    reveal_type(canonical_bytes_from_json)
    reveal_type(digest_from_json)
"""

# Each line that mypy must reject, with the error code it must give.
BAD_CALLER = [
    ('canonical_bytes_from_json(b"{}")', "arg-type"),
    ("canonical_bytes_from_json(None)", "arg-type"),
    ('digest_from_json("{}", None)', "arg-type"),
    ('digest_from_json("{}")', "call-arg"),
    ('canonical_bytes_from_json("{}", "run")', "call-arg"),
    ('canonical_bytes_from_json(document="{}")', "call-arg"),
    ('text: str = canonical_bytes_from_json("{}")', "assignment"),
    ('raw: bytes = digest_from_json("{}", "run")', "assignment"),
    ("quorl_core.no_such_function()", "attr-defined"),
]


def run_mypy(tmp_path, source: str) -> tuple[str, int]:
    caller = tmp_path / "caller.py"
    caller.write_text(source)
    stdout, stderr, status = mypy_api.run(
        [
            "--strict",
            "--show-error-codes",
            "--no-error-summary",
            "--hide-error-context",
            "--python-executable",
            sys.executable,
            "--cache-dir",
            str(tmp_path / "mypy-cache"),
            str(caller),
        ]
    )
    assert stderr == ""
    return stdout, status


def test_correct_use_type_checks(tmp_path):
    stdout, status = run_mypy(tmp_path, textwrap.dedent(GOOD_CALLER))
    errors = [line for line in stdout.splitlines() if ": error: " in line]
    assert errors == []
    # The types come from the stubs, not from an unchecked Any. (Older mypy
    # spells builtin types with their module.)
    revealed = {
        int(line): kind.replace("builtins.", "")
        for line, kind in re.findall(
            r'caller\.py:(\d+): note: Revealed type is "(.*)"$', stdout, re.MULTILINE
        )
    }
    assert revealed == {
        12: "def (tagged_json: str) -> bytes",
        13: "def (tagged_json: str, profile: str) -> str",
    }
    assert status == 0


def test_wrong_use_is_rejected_line_by_line(tmp_path):
    header = (
        "import quorl_core\nfrom quorl_core import canonical_bytes_from_json, digest_from_json\n"
    )
    source = header + "".join(line + "\n" for line, _ in BAD_CALLER)
    stdout, status = run_mypy(tmp_path, source)
    found: dict[int, set[str]] = {}
    for match in re.finditer(r"caller\.py:(\d+): error: .*\[([a-z-]+)\]$", stdout, re.MULTILINE):
        found.setdefault(int(match.group(1)), set()).add(match.group(2))
    expected = {i + 3: {code} for i, (_, code) in enumerate(BAD_CALLER)}
    assert found == expected, stdout
    assert status == 1
