"""Documents nested as deep as the dialect allows, and deeper, on a thread
whose C stack is 64 KiB (musl's default is 128 KiB): every function gives
its result or its refusal, never a crash.

Each document runs in a child process, so that a stack overflow shows as a
failed test rather than a dead test run."""

import json
import subprocess
import sys

import pytest

from support import DEPTH, FLOAT, expected_digest

STACK_KIB = 64


def nest(depth: int, open_: str, close: str, inner: str) -> str:
    return open_ * depth + inner + close * depth


def reordered(depth: int) -> tuple[str, str]:
    text, canonical = "0", "0"
    for _ in range(depth):
        text = '{"b":1,"a":' + text + "}"
        canonical = '{"a":' + canonical + ',"b":1}'
    return text, canonical


def mixed(depth: int) -> tuple[str, str]:
    text, canonical = "7", "7"
    for level in range(depth):
        kind = level % 4
        if kind == 0:
            text, canonical = "[" + text + "]", "[" + canonical + "]"
        elif kind == 1:
            text, canonical = '{"k":' + text + "}", '{"k":' + canonical + "}"
        elif kind == 2:
            text, canonical = '{"$arr":[' + text + "]}", "[" + canonical + "]"
        else:
            text, canonical = '{"$obj":{"z":' + text + ',"y":0}}', '{"y":0,"z":' + canonical + "}"
    return text, canonical


OBJECTS = nest(128, '{"a":', "}", "1")
DEEP_DUPLICATE = nest(127, '{"a":', "}", '{"x":1,"x":2}')
REORDERED, REORDERED_CANONICAL = reordered(128)
MIXED, MIXED_CANONICAL = mixed(128)

# (id, document, canonical text or None, refusal message or None)
CASES = [
    ("objects-128", OBJECTS, OBJECTS, None),
    ("arrays-128", nest(128, "[", "]", "1"), nest(128, "[", "]", "1"), None),
    ("reordered-128", REORDERED, REORDERED_CANONICAL, None),
    (
        "escaped-keys-128",
        nest(128, '{"a\\n":', "}", "1"),
        nest(128, '{"a\\u000a":', "}", "1"),
        None,
    ),
    ("arr-tags-128", nest(128, '{"$arr":[', "]}", "1"), nest(128, "[", "]", "1"), None),
    ("obj-tags-128", nest(128, '{"$obj":{"a":', "}}", "1"), OBJECTS, None),
    ("mixed-128", MIXED, MIXED_CANONICAL, None),
    ("duplicate-at-the-bottom", DEEP_DUPLICATE, nest(127, '{"a":', "}", '{"x":2}'), None),
    ("float-at-the-bottom", nest(128, "[", "]", "1.5"), None, FLOAT),
    ("objects-129", nest(129, '{"a":', "}", "1"), None, DEPTH),
    ("mixed-129", mixed(129)[0], None, DEPTH),
    ("raw-257", nest(257, "[", "]", "1"), None, DEPTH),
    ("raw-257-objects", nest(257, '{"a":', "}", "1"), None, DEPTH),
    ("raw-258", nest(258, "[", "]", "1"), None, DEPTH),
]

CHILD = r"""
import json, sys, threading
import quorl, quorl_core
doc = sys.stdin.read()
calls = {
    "core-bytes": lambda: quorl_core.canonical_bytes_from_json(doc).decode(),
    "core-digest": lambda: quorl_core.digest_from_json(doc, "run"),
    "bytes-in": lambda: quorl.canonical_bytes_from_json(doc.encode()).decode(),
    "bytes-digest": lambda: quorl.digest_from_json(doc.encode(), "run"),
}
if sys.argv[2] == "objects":
    obj = json.loads(doc)
    calls["objects"] = lambda: quorl.canonical_bytes(obj).decode()
    calls["objects-digest"] = lambda: quorl.digest(obj, "run")
out = {}
def run():
    for name, call in calls.items():
        try:
            out[name] = ["ok", call()]
        except ValueError as e:
            out[name] = ["refused", getattr(e, "message", str(e))]
threading.stack_size(int(sys.argv[1]) * 1024)
t = threading.Thread(target=run)
t.start()
t.join()
print(json.dumps(out))
"""


@pytest.mark.parametrize(
    ("document", "canonical", "message"),
    [case[1:] for case in CASES],
    ids=[case[0] for case in CASES],
)
def test_deep_documents_on_a_small_thread_stack(document, canonical, message):
    # Plain objects and arrays only: a tag key in a dict is data to the walk.
    objects = "objects" if "$" not in document and "." not in document else "text"
    child = subprocess.run(
        [sys.executable, "-c", CHILD, str(STACK_KIB), objects],
        input=document,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == 0, f"child died ({child.returncode}): {child.stderr[-2000:]}"
    results = json.loads(child.stdout)
    expected_calls = 6 if objects == "objects" else 4
    assert len(results) == expected_calls
    for name, (kind, value) in results.items():
        if message is not None:
            assert (kind, value) == ("refused", message), name
        elif name.endswith("digest"):
            assert (kind, value) == ("ok", expected_digest("run", canonical.encode())), name
        else:
            assert (kind, value) == ("ok", canonical), name
