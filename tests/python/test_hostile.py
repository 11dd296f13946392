"""Hostile input: documents of 100 MB, objects of a million members, "$int"
payloads of a million digits, brackets 257 and 300,000 deep, strings of a
million escapes. Every one gives its result or its fixed error, without a
crash and in bounded time, both on the main thread and on a thread whose
stack is only 256 KiB (nothing in the module may recurse with the size of
the input).

Expected results are built here from the shape of each document, never by
asking the module.
"""

from __future__ import annotations

import hashlib
import random
import threading
import time

import pytest

from quorl_core import canonical_bytes_from_json as canonical
from quorl_core import digest_from_json as digest
from support import BARE_INT, DEPTH, FLOAT, INT_PAYLOAD

MB = 1_000_000
MILLION = 1_000_000
SMALL_STACK = 256 * 1024
TIME_LIMIT = 60.0  # seconds per call: generous for a shared 2-core machine


def raises(message: str) -> tuple[type, str]:
    return (ValueError, message)


def reader_error(message: str, column: int) -> tuple[type, str]:
    return (ValueError, f"invalid JSON: {message} at line 1 column {column}")


def digest_of(profile: str, canonical_bytes: bytes) -> str:
    return hashlib.sha256(
        b"spec-quorl:v2:" + profile.encode() + b"\n" + canonical_bytes
    ).hexdigest()


# --- the documents --------------------------------------------------------------
# Each case returns (call, expected): call takes no arguments; expected is the
# result, or (exception type, message).


def big_array():
    doc = "[" + "1234567," * (100 * MB // 8) + "1]"
    return (lambda: canonical(doc)), doc.encode()


def big_whitespace():
    doc = " \t\r\n" * (25 * MB) + '{"a":[]}' + "\n" * 100
    return (lambda: canonical(doc)), b'{"a":[]}'


def big_string():
    body = "\u00e9\U0001f600x" * (100 * MB // 7)
    doc = '["' + body + '"]'
    return (lambda: canonical(doc)), doc.encode()


def big_exact_path():
    # Duplicate keys send the document down the exact path: reader, tree,
    # decoder, encoder, all over 100 MB.
    item = '"' + "y" * 998 + '"'
    doc = '{"k":[' + ",".join([item] * (100 * MB // 1000)) + '],"k":{"$arr":[' + item + "]}}"
    return (lambda: canonical(doc)), ('{"k":[' + item + "]}").encode()


def big_float_at_end():
    doc = "[" + "1," * (50 * MB) + "1.5]"
    return (lambda: canonical(doc)), raises(FLOAT)


def big_unterminated():
    doc = "[" + "1," * (50 * MB) + "1"
    return (lambda: canonical(doc)), reader_error("EOF while parsing a list", len(doc))


def big_digest():
    doc = '{"digest":"' + "d" * (50 * MB) + '","z":"' + "z" * (50 * MB) + '"}'
    want = digest_of("artifact-byte", ('{"z":"' + "z" * (50 * MB) + '"}').encode())
    return (lambda: digest(doc, "artifact-byte")), want


def _members(duplicate: bool):
    order = list(range(MILLION))
    random.Random(7).shuffle(order)
    members = [f'"k{i:07d}":{i}' for i in order]
    if duplicate:
        members.insert(0, '"k0000000":{"$int":"x"}')  # replaced by the later one, never decoded
    doc = "{" + ",".join(members) + "}"
    want = "{" + ",".join(f'"k{i:07d}":{i}' for i in range(MILLION)) + "}"
    return doc, want.encode()


def million_members():
    doc, want = _members(duplicate=False)
    return (lambda: canonical(doc)), want


def million_members_duplicate_key():
    doc, want = _members(duplicate=True)
    return (lambda: canonical(doc)), want


def million_members_digest():
    doc, want = _members(duplicate=False)
    doc = '{"digest":{"$nan":0},' + doc[1:]
    return (lambda: digest(doc, "semantic-content")), digest_of("semantic-content", want)


def million_member_array_of_objects():
    doc = "[" + ",".join(['{"b":1,"a":2}'] * MILLION) + "]"
    return (lambda: canonical(doc)), ("[" + ",".join(['{"a":2,"b":1}'] * MILLION) + "]").encode()


def int_million_digits():
    doc = '{"$int":"' + "9" * MILLION + '"}'
    return (lambda: canonical(doc)), b"9" * MILLION


def int_million_leading_zeros():
    doc = '{"$int":"-' + "0" * (MILLION // 2) + "7" * (MILLION // 2) + '"}'
    return (lambda: canonical(doc)), b"-" + b"7" * (MILLION // 2)


def int_million_zeros():
    doc = '[{"$int":"-' + "0" * MILLION + '"}]'
    return (lambda: canonical(doc)), b"[0]"


def int_million_digits_bad_payload():
    doc = '{"$int":"' + "1" * MILLION + 'x"}'
    return (lambda: canonical(doc)), raises(INT_PAYLOAD)


def bare_million_digits():
    doc = "[" + "9" * MILLION + "]"
    return (lambda: canonical(doc)), raises(BARE_INT)


def bare_million_digits_fraction():
    doc = "1" * MILLION + ".5"
    return (lambda: canonical(doc)), raises(FLOAT)


def arrays_257_deep():
    doc = "[" * 257 + "]" * 257
    return (lambda: canonical(doc)), raises(DEPTH)


def arrays_257_deep_unclosed():
    doc = "[" * 257
    return (lambda: canonical(doc)), reader_error("EOF while parsing a list", 257)


def objects_257_deep():
    doc = '{"a":' * 257 + "1" + "}" * 257
    return (lambda: canonical(doc)), raises(DEPTH)


def wrapped_arrays_256_raw_128_decoded():
    # Each "$arr" wrapper and its array are one level: 128 levels decode.
    doc = '{"$arr":[' * 128 + "1" + "]}" * 128
    return (lambda: canonical(doc)), b"[" * 128 + b"1" + b"]" * 128


def wrapped_arrays_digest():
    doc = '{"$arr":[' * 128 + "1" + "]}" * 128
    return (lambda: digest(doc, "run")), digest_of("run", b"[" * 128 + b"1" + b"]" * 128)


def arrays_300000_deep():
    doc = "[" * 300_000 + "]" * 300_000
    return (lambda: canonical(doc)), raises(DEPTH)


def arrays_300000_deep_unclosed():
    doc = "[" * 300_000
    return (lambda: canonical(doc)), raises(DEPTH)


def objects_300000_deep_digest():
    doc = '{"a":' * 300_000 + "1" + "}" * 300_000
    return (lambda: digest(doc, "run")), raises(DEPTH)


def brackets_300000_in_a_string():
    doc = '"' + "[{" * 150_000 + '"'
    return (lambda: canonical(doc)), doc.encode()


def escapes_million_u():
    doc = '"' + "\\u00E9" * MILLION + '"'
    return (lambda: canonical(doc)), ('"' + "\u00e9" * MILLION + '"').encode()


def escapes_million_short():
    doc = '"' + "\\n" * MILLION + '"'
    return (lambda: canonical(doc)), b'"' + b"\\u000a" * MILLION + b'"'


def escapes_million_surrogate_pairs():
    doc = '"' + "\\ud83d\\uDE00" * MILLION + '"'
    return (lambda: canonical(doc)), ('"' + "\U0001f600" * MILLION + '"').encode()


def escapes_million_in_a_key():
    doc = '{"' + "\\t" * MILLION + '":1}'
    return (lambda: canonical(doc)), b'{"' + b"\\u0009" * MILLION + b'":1}'


def escapes_million_then_invalid():
    doc = '"' + "\\/" * MILLION + '\\x"'
    #                             ^ reported just after the x
    return (lambda: canonical(doc)), reader_error("invalid escape", 1 + 2 * MILLION + 2)


def escapes_million_then_lone_surrogate():
    doc = '"' + "\\\\" * MILLION + '\\ud800"'
    #                                     ^ the byte that broke the pair
    return (lambda: canonical(doc)), reader_error(
        "unexpected end of hex escape", 1 + 2 * MILLION + 7
    )


CASES = {
    f.__name__: f
    for f in [
        big_array,
        big_whitespace,
        big_string,
        big_exact_path,
        big_float_at_end,
        big_unterminated,
        big_digest,
        million_members,
        million_members_duplicate_key,
        million_members_digest,
        million_member_array_of_objects,
        int_million_digits,
        int_million_leading_zeros,
        int_million_zeros,
        int_million_digits_bad_payload,
        bare_million_digits,
        bare_million_digits_fraction,
        arrays_257_deep,
        arrays_257_deep_unclosed,
        objects_257_deep,
        wrapped_arrays_256_raw_128_decoded,
        wrapped_arrays_digest,
        arrays_300000_deep,
        arrays_300000_deep_unclosed,
        objects_300000_deep_digest,
        brackets_300000_in_a_string,
        escapes_million_u,
        escapes_million_short,
        escapes_million_surrogate_pairs,
        escapes_million_in_a_key,
        escapes_million_then_invalid,
        escapes_million_then_lone_surrogate,
    ]
}


# --- running ----------------------------------------------------------------------


def call_capturing(call):
    try:
        return ("result", call())
    except BaseException as e:  # a panic type derives from BaseException
        return ("raised", e)


def on_main_thread(call):
    return call_capturing(call)


def on_small_stack_thread(call):
    box = {}
    previous = threading.stack_size(SMALL_STACK)
    try:
        worker = threading.Thread(target=lambda: box.update(outcome=call_capturing(call)))
        worker.start()
    finally:
        threading.stack_size(previous)
    worker.join(TIME_LIMIT)
    assert not worker.is_alive(), f"no answer within {TIME_LIMIT} s"
    assert "outcome" in box, "the thread ended without an outcome"
    return box["outcome"]


@pytest.mark.parametrize(
    "runner", [on_main_thread, on_small_stack_thread], ids=["main-thread", "256k-stack-thread"]
)
@pytest.mark.parametrize("name", list(CASES))
def test_hostile_input(name, runner):
    call, expected = CASES[name]()
    start = time.monotonic()
    kind, got = runner(call)
    elapsed = time.monotonic() - start
    assert elapsed < TIME_LIMIT, f"took {elapsed:.1f} s"
    if isinstance(expected, tuple):
        exc_type, message = expected
        assert kind == "raised" and type(got) is exc_type, (kind, type(got))
        assert got.args == (message,)
    else:
        assert kind == "result", got
        assert type(got) is type(expected)
        assert len(got) == len(expected)
        assert got == expected
