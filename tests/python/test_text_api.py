"""quorl's functions over tagged JSON text: str and every kind of bytes give
what quorl_core gives for the same text, invalid UTF-8 is refused at its
byte, every refusal is located, threads agree, and nothing leaks."""

from __future__ import annotations

import mmap
import random
import threading
from pathlib import Path

import pytest

import quorl
import quorl_core
from quorl import _native
from support import (
    ARR_PAYLOAD,
    BARE_INT,
    BOOL_PAYLOAD,
    DEPTH,
    FLOAT,
    INFINITY,
    INT_PAYLOAD,
    NAN,
    NULL_PAYLOAD,
    OBJ_PAYLOAD,
    PROFILES,
    STR_PAYLOAD,
    UNKNOWN_PROFILE,
    expected_digest,
)
from test_leaks import assert_flat, measure

CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus"


def reference(text: str, profile: str | None):
    """quorl_core's answer for a str: the result, or the ValueError's text."""
    try:
        if profile is None:
            return quorl_core.canonical_bytes_from_json(text)
        return quorl_core.digest_from_json(text, profile)
    except ValueError as e:
        return ("refused", str(e))


def ours(doc, profile: str | None):
    try:
        if profile is None:
            return quorl.canonical_bytes_from_json(doc)
        return quorl.digest_from_json(doc, profile)
    except quorl.RefusedError as e:
        return ("refused", e.message)


def random_document(rng: random.Random, depth: int = 0) -> str:
    """Mostly valid tagged JSON with now and then a fault of each kind."""
    roll = rng.random()
    if depth > 4 or roll < 0.3:
        return rng.choice(
            [
                "1",
                "-7",
                "true",
                "null",
                '"é\\n"',
                '"😀"',
                '{"$int":"-00123"}',
                '{"$nan":1}',
                "1.5",
                '{"$str":2}',
                "9007199254740992",
                '"\\ud800"',
                '{"$float":0}',
                "[",
                '{"$obj":{"$int":"4"}}',
            ]
        )
    if roll < 0.6:
        return (
            "[" + ",".join(random_document(rng, depth + 1) for _ in range(rng.randrange(4))) + "]"
        )
    keys = ["a", "b", "digest", "$int", "é", "A"]
    members = [
        f'"{rng.choice(keys)}" : {random_document(rng, depth + 1)}' for _ in range(rng.randrange(4))
    ]
    return "{" + ",\n".join(members) + "}"


def documents():
    rng = random.Random(20261207)
    docs = [random_document(rng) for _ in range(400)]
    if CORPUS.is_dir():
        docs += [p.read_text(encoding="utf-8") for p in sorted(CORPUS.glob("*.json"))]
    return docs


@pytest.mark.parametrize("profile", [None, *PROFILES, "nope"])
def test_str_and_bytes_agree_with_quorl_core(profile):
    for text in documents():
        expected = reference(text, profile)
        data = text.encode("utf-8", "surrogatepass")
        for doc in (text, data, bytearray(data), memoryview(data)):
            assert ours(doc, profile) == expected, (text[:80], type(doc))


def test_mmap_of_a_file(tmp_path):
    path = tmp_path / "doc.json"
    path.write_bytes(b'{"b": [1, 2], "a": "\xc3\xa9"}')
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert quorl.canonical_bytes_from_json(m) == '{"a":"é","b":[1,2]}'.encode()


# Invalid UTF-8: (bytes, offset of the first bad byte).
INVALID_UTF8 = [
    (b'"\xff"', 1),
    (b'"\x80"', 1),
    (b'"\xc0\xaf"', 1),
    (b'"\xc1\xbf"', 1),
    (b'"\xe0\x80\xaf"', 1),
    (b'"\xed\xa0\x80"', 1),  # overlong, encoded surrogate
    (b'"\xf0\x8f\xbf\xbf"', 1),
    (b'"\xf4\x90\x80\x80"', 1),
    (b'"\xf5\x80\x80\x80"', 1),
    (b'"\xc3"', 1),
    (b'["\xe2\x82"]', 2),
    (b'"ok" \xf0\x9f\x98', 5),  # truncated
    (b'{"k":"' + b"a" * 100 + b'\xc3\x28"}', 106),
    (b"\n\n  \xfe", 4),
]


@pytest.mark.parametrize("data,offset", INVALID_UTF8)
def test_invalid_utf8_is_refused_at_its_byte(data, offset):
    for fn in (quorl.canonical_bytes_from_json, lambda d: quorl.digest_from_json(d, "run")):
        with pytest.raises(quorl.RefusedError) as info:
            fn(data)
        e = info.value
        assert e.offset == offset and f"byte {offset}" in e.message
        assert (e.line, e.column) == model_position(data, offset)


def model_position(data: bytes, offset: int) -> tuple[int, int]:
    """1-based line and byte column of the byte at offset."""
    line_start = data.rfind(b"\n", 0, offset) + 1
    return data.count(b"\n", 0, offset) + 1, offset - line_start + 1


# Refusals with the offset of what is at fault: (document, function, message, offset).
LOCATED = [
    (" \n" + "[" * 258, None, DEPTH, 259),  # the 258th raw bracket
    ("[1, 2.5]", None, FLOAT, 4),
    ('{"a":\n  -0}', None, FLOAT, 8),
    ("[9007199254740992]", None, BARE_INT, 1),
    ('{\n "a": "é",\n "b": 1.5}', None, FLOAT, 20),  # columns count bytes
    ("[" * 129 + "]" * 129, None, DEPTH, 128),  # the 129th container
    ("[" * 128 + '{"$arr":[]}' + "]" * 128, None, DEPTH, 128),  # a wrapper at depth 128
    ('{"a": {"$int": "x"}}', None, INT_PAYLOAD, 6),
    ('[{"$str": 1}]', None, STR_PAYLOAD, 1),
    ('[0, {"$obj": []}]', None, OBJ_PAYLOAD, 4),
    ('[0, {"$arr": {}}]', None, ARR_PAYLOAD, 4),
    ('[{"$bool": 1}]', None, BOOL_PAYLOAD, 1),
    ('\n\n[{"$null": false}]', None, NULL_PAYLOAD, 3),
    ('{"b": {"$nan": 0}, "a": {"$inf": 0}}', None, INFINITY, 24),  # key order decides
    ('{"digest": {"$nan": 1}, "x": {"$float": 1}}', None, NAN, 11),
    ('{"digest": {"$nan": 1}, "x": {"$float": 1}}', "run", FLOAT, 29),  # root digest left out
    ('[1, {"$inf": 0}]', "certificate", INFINITY, 4),
]


@pytest.mark.parametrize("text,profile,message,offset", LOCATED)
def test_refusals_are_located(text, profile, message, offset):
    assert reference(text, profile) == ("refused", message)  # the same fault as quorl_core
    for doc in (text, text.encode()):
        with pytest.raises(quorl.RefusedError) as info:
            ours_raising(doc, profile)
        e = info.value
        assert isinstance(e, ValueError) and e.message == message and e.args == (message,)
        assert e.offset == offset and e.path is None
        assert (e.line, e.column) == model_position(text.encode(), offset)
        assert str(e) == f"line {e.line} column {e.column}: {message}"


def ours_raising(doc, profile):
    if profile is None:
        return quorl.canonical_bytes_from_json(doc)
    return quorl.digest_from_json(doc, profile)


# Reader faults keep the reader's own line and column; the offset is the
# byte the reader stopped at.
READER = ["[1 2]", '{"a" 1}', "nulx", '["a\tb"]', '"\\uD800\\n"', "[1]]", '{"a":1,}', "\n\n  x"]


@pytest.mark.parametrize("text", READER)
def test_reader_faults_keep_the_reader_position(text):
    expected = reference(text, None)[1]
    with pytest.raises(quorl.RefusedError) as info:
        quorl.canonical_bytes_from_json(text.encode())
    e = info.value
    assert e.message == expected
    assert expected.endswith(f" at line {e.line} column {e.column}")
    data = text.encode()
    line_start = 0
    for _ in range(e.line - 1):
        line_start = data.index(b"\n", line_start) + 1
    consumed = line_start + e.column  # the reader's position
    assert e.offset == max(consumed - 1, 0)
    if e.column > 0:
        assert (e.line, e.column) == model_position(data, e.offset)


# A text that ends too soon is located at its end: offset its length, line
# and column those of the place just past its last byte, as the json module
# locates it. The message keeps the reader's own wording. (text, line, column)
END_OF_INPUT = [
    ("", 1, 1),
    ("   ", 1, 4),
    ("[1,\n", 2, 1),
    ("\n\n", 3, 1),
    ('{"a":', 1, 6),
    ('"ab\u00e9', 1, 6),
    ("[1,2", 1, 5),
    ("tru", 1, 4),
    ('{"a": [\n  {"b"', 2, 7),
    ('"\\u12', 1, 6),
]


@pytest.mark.parametrize("text,line,column", END_OF_INPUT)
def test_a_text_that_ends_too_soon_is_located_at_its_end(text, line, column):
    data = text.encode()
    assert model_position(data, len(data)) == (line, column)
    for doc in (text, data):
        with pytest.raises(quorl.RefusedError) as info:
            quorl.canonical_bytes_from_json(doc)
        e = info.value
        assert (e.message, e.line, e.column, e.offset) == (
            reference(text, None)[1],
            line,
            column,
            len(data),
        )
        assert "EOF while parsing" in e.message
    if data.strip():  # a record of JSON Lines (a blank one is skipped) says the same
        _, _, errors = quorl._native.digest_records(data.replace(b"\n", b" ") + b"\n", "run")
        assert errors[0].startswith(f"line 1 column {len(data) + 1}: ")


def test_unknown_profile_and_argument_types():
    with pytest.raises(quorl.RefusedError) as info:
        quorl.digest_from_json(b"{}", "Run")
    assert info.value.message == UNKNOWN_PROFILE + "Run" and info.value.offset is None
    with pytest.raises(TypeError):
        quorl.digest_from_json(b"{}", b"run")
    with pytest.raises(TypeError):
        quorl.canonical_bytes_from_json(12)
    with pytest.raises(TypeError):
        quorl.canonical_bytes_from_json()
    with pytest.raises(UnicodeEncodeError):
        quorl.canonical_bytes_from_json('["\ud800"]')
    assert quorl.digest_from_json(doc=b"[]", profile="run") == quorl_core.digest_from_json(
        "[]", "run"
    )


def big_documents() -> list[bytes]:
    """Documents large enough that the lock is released while they are read."""
    rng = random.Random(7)
    docs = []
    for i in range(6):
        items = [
            f'{{"id":{rng.randrange(10**9)},"name":"n\\u00e9{i}-{j}","tags":["x","y"],'
            f'"z":{{"$int":"{rng.randrange(10**30)}"}}}}'
            for j in range(3000)
        ]
        docs.append(("[" + ",".join(items) + "]").encode())
    docs.append(docs[0][:-1] + b',{"bad": 1.5}]')
    return docs


def test_threads_with_the_lock_released_agree_with_one_thread():
    docs = big_documents()
    assert all(len(d) >= _native.RELEASE_LOCK_BYTES for d in docs)
    expected = [ours(d, "run") for d in docs] + [ours(d, None) for d in docs]
    results: list[list] = [[] for _ in range(4)]

    def work(slot):
        # Half the threads pass views of the bytes, which are let go of the lock too.
        mine = docs if slot % 2 == 0 else [memoryview(d) for d in docs]
        for _ in range(3):
            results[slot].append([ours(d, "run") for d in mine] + [ours(d, None) for d in mine])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for per_thread in results:
        assert per_thread == [expected] * 3


def hashed_while_read():
    """Root arrays past the size from which a second thread hashes the text
    while it is read; the last two end with what sends the reader down the
    exact path after most of the text has been hashed."""
    record = '{"名前":"山田","z":[1,{"$int":"123456789012345678901"}],"a":"x\\ny","n":-7}'
    body = ",".join([record] * (5 * 2**20 // len(record.encode())))
    return {
        "records": "[" + body + "]",
        "duplicate key last": "[" + body + ',{"k":1,"k":2}]',
        "float last": "[" + body + ',{"k":1.5}]',
    }


@pytest.mark.parametrize("label", sorted(hashed_while_read()))
def test_large_documents_hashed_while_read(label):
    text = hashed_while_read()[label]
    data = text.encode()
    try:
        canonical = quorl_core.canonical_bytes_from_json(text)
    except ValueError as e:
        with pytest.raises(quorl.RefusedError) as refused:
            quorl.digest_from_json(data, "semantic-content")
        assert refused.value.message == str(e)
        return
    expected = expected_digest("semantic-content", canonical)
    assert quorl.digest_from_json(data, "semantic-content") == expected
    assert quorl_core.digest_from_json(text, "semantic-content") == expected


BIG = big_documents()[0]
LEAK_CASES = {
    "bytes-canonical": lambda: quorl.canonical_bytes_from_json(b'{"b":[1,2],"a":"\\u00e9"}'),
    "bytes-digest-large": lambda: quorl.digest_from_json(BIG, "run"),
    "bytearray-canonical": lambda: quorl.canonical_bytes_from_json(bytearray(b'[{"$int":"12"}]')),
    "refused-utf8": lambda: quorl.canonical_bytes_from_json(b'["\xff"]'),
    "refused-float": lambda: quorl.digest_from_json(b'{"a": 1.5}', "run"),
    "refused-reader": lambda: quorl.canonical_bytes_from_json("[1,"),
    "refused-marker": lambda: quorl.canonical_bytes_from_json(b'[{"$nan": 0}]'),
    "refused-profile": lambda: quorl.digest_from_json(b"[]", "nope"),
}


@pytest.mark.parametrize("name", sorted(LEAK_CASES))
def test_no_leak(name):
    call = LEAK_CASES[name]

    def loop(n):
        for _ in range(n if name != "bytes-digest-large" else n // 100):
            try:
                call()
            except quorl.RefusedError:
                pass

    assert_flat(*measure(loop))
