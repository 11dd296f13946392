"""Python objects in: quorl.canonical_bytes, quorl.digest and quorl.to_tagged_json.

The defining property, checked on generated objects: the bytes of an object
equal quorl_core's bytes for its tagged JSON text, and both equal the
independent model of support.py applied to the same value rebuilt from exact
types; the digest likewise. Then tables of floats="str" texts, of refusals
(type, message, path), nesting limits, huge integers under a lowered int->str
limit, containers changed by Python code during the walk, and a leak loop.
"""

from __future__ import annotations

import enum
import json
import os
import subprocess
import sys
import tracemalloc
from decimal import Decimal
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorl
import quorl_core
from quorl import RefusedError
from support import (
    DEPTH,
    FLOAT,
    INFINITY,
    NAN,
    PROFILES,
    UNKNOWN_PROFILE,
    expected_digest,
    model_canonical,
    rss_bytes,
)

DUPLICATE = "duplicate object key in canonical content"
TAG_KEYS = ["$int", "$nan", "$inf", "$str", "$obj", "$arr", "$bool", "$null", "$float"]
SETTINGS = settings(
    max_examples=300,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class Color(enum.IntEnum):
    RED = 1
    HUGE = 2**70


class Mood(str, enum.Enum):  # noqa: UP042  (a str mixin, not StrEnum: its str() is not its value)
    CALM = "calm"
    TAGGED = "$int"


class Liar(int):
    """An int whose text and arithmetic methods lie: only its value may count."""

    def __str__(self) -> str:
        return "lie"

    __repr__ = __str__

    def __int__(self) -> int:
        return 0

    __index__ = __neg__ = __abs__ = __int__

    def __rshift__(self, other: object) -> int:
        return 0

    __lshift__ = __sub__ = __and__ = __rshift__


class Key(str):
    def __str__(self) -> str:
        return "lie"


class Dict(dict):
    def items(self):  # the walk reads the dict itself
        raise AssertionError


class List(list):
    def __iter__(self):
        raise AssertionError


class Twin(str):
    """Equal text, yet never equal to another Twin: two can share a dict."""

    __hash__ = object.__hash__

    def __eq__(self, other: object) -> bool:
        return self is other


def plain(obj):
    """The same value from exact types only (the model knows no subclasses)."""
    if obj is None or isinstance(obj, bool):
        return obj
    if isinstance(obj, int):
        return int.__index__(obj)
    if isinstance(obj, str):
        return str.__str__(obj)
    if isinstance(obj, (list, tuple)):
        return [plain(obj[i]) for i in range(len(obj))]
    return {plain(k): plain(v) for k, v in dict.items(obj)}


characters = st.one_of(
    st.characters(max_codepoint=0x7F),
    st.characters(min_codepoint=0x10000, max_codepoint=0x10FFFF),
    st.characters(exclude_categories=("Cs",)),
)
texts = st.text(characters, max_size=12)
keys = st.one_of(texts, st.sampled_from(TAG_KEYS + ["digest"]), texts.map(Key))
leaves = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**64), 2**64),
    st.integers(min_value=2**52).flatmap(lambda n: st.sampled_from([n, -n, n**5])),
    texts,
    texts.map(Key),
    st.sampled_from([Color.RED, Color.HUGE, Mood.CALM, Mood.TAGGED]),
    st.integers().map(Liar),
)
objects = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.lists(inner, max_size=5),
        st.lists(inner, max_size=5).map(tuple),
        st.lists(inner, max_size=3).map(List),
        st.dictionaries(keys, inner, max_size=5),
        st.dictionaries(keys, inner, max_size=3).map(Dict),
        st.tuples(st.sampled_from(TAG_KEYS), inner).map(lambda kv: {kv[0]: kv[1]}),
        st.tuples(inner, inner).map(lambda dv: {"digest": dv[0], "x": {"digest": dv[1]}}),
    ),
    max_leaves=30,
)


@SETTINGS
@given(objects, st.sampled_from(PROFILES))
def test_objects_agree_with_their_text_and_the_model(obj, profile):
    text = quorl.to_tagged_json(obj)
    expected = model_canonical(plain(obj))
    assert quorl.canonical_bytes(obj) == quorl_core.canonical_bytes_from_json(text) == expected
    root = plain(obj)
    if isinstance(root, dict):
        root.pop("digest", None)
    assert (
        quorl.digest(obj, profile)
        == quorl_core.digest_from_json(text, profile)
        == expected_digest(profile, model_canonical(root))
    )


@SETTINGS
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_floats_as_str_give_their_repr(x):
    assert quorl.canonical_bytes([x], floats="str") == model_canonical([repr(x)])


def corpus_files() -> list[Path]:
    """The benchmark documents, where a checkout has them (see bench/corpus_dir.py)."""
    root = Path(__file__).resolve().parents[2]
    for folder in (root.parent / "shared" / "corpus", root / "bench" / "corpus"):
        if folder.is_dir() and any(folder.glob("*.json")):
            return sorted(folder.glob("*.json"))
    return []


@pytest.mark.parametrize("path", corpus_files(), ids=lambda path: path.name)
def test_corpus_documents_as_objects(path):
    # Large real documents: the digest is fed to the hash in pieces as it is written.
    obj = json.loads(path.read_bytes())
    text = quorl.to_tagged_json(obj)
    assert (
        quorl.canonical_bytes(obj)
        == quorl_core.canonical_bytes_from_json(text)
        == model_canonical(obj)
    )
    assert quorl.digest(obj, "artifact-byte") == quorl_core.digest_from_json(text, "artifact-byte")


class Slots:
    def __init__(self) -> None:
        self.b, self.a = 1, [2]


def with_holes(size: int) -> dict:
    """A dict whose table has deleted entries between live ones."""
    obj = {f"k{i}": i for i in range(size)}
    for i in range(0, size, 3):
        del obj[f"k{i}"]
    obj["k0"] = "again"  # back at the end of the table
    return obj


def popped() -> dict:
    obj = {"z": 1, "y": 2, "x": 3}
    obj.popitem()
    return obj


# Dicts whose tables differ: holes, 1-, 2- and 4-byte indices, values apart
# from keys (an instance's dict), keys not all exact str, and a subclass.
@pytest.mark.parametrize(
    "make",
    [
        lambda: with_holes(10),
        lambda: with_holes(400),
        lambda: with_holes(70_000),
        popped,
        lambda: vars(Slots()),
        lambda: {Key("b"): 1, "a": 2},
        lambda: Dict(b=1, a=2),
        lambda: dict.fromkeys("zyx", None),
        lambda: {},
    ],
    ids=[
        "holes",
        "holes-400",
        "holes-70000",
        "popped",
        "instance",
        "str-subclass-key",
        "subclass",
        "fromkeys",
        "empty",
    ],
)
def test_every_kind_of_dict_table(make):
    obj = make()
    expected = model_canonical(plain(obj))
    assert quorl.canonical_bytes(obj) == quorl.canonical_bytes({"x": [obj]})[6:-2] == expected
    assert quorl_core.canonical_bytes_from_json(quorl.to_tagged_json(obj)) == expected


def test_small_lists_that_hold_more_than_leaves():
    # A small list is first tried as leaves only; one that holds more is
    # written again by the general walk, wherever the output grew meanwhile.
    for n in range(0, 700, 7):
        obj = {"k": ["x" * n, [1, "y" * (n % 60), None, 2**60, {"a": [True]}]], "l": [[], [n]]}
        text = quorl.to_tagged_json(obj)
        assert (
            quorl.canonical_bytes(obj)
            == quorl_core.canonical_bytes_from_json(text)
            == model_canonical(obj)
        )


# Integers on each side of every count of digits, and the ends of 64 bits:
# the walk writes them by ranges of magnitude.
EDGE_INTEGERS = sorted(
    {sign * (10**k + d) for k in range(20) for d in (-1, 0, 1) for sign in (1, -1)}
    | {2**63 - 1, -(2**63), 2**53 - 1, 2**53, -(2**53)}
)


@pytest.mark.parametrize("where", ["list", "dict", "short-list"])
def test_integers_of_every_length_match_the_model(where):
    values = {
        "list": EDGE_INTEGERS,
        "dict": {str(v): v for v in EDGE_INTEGERS},
        "short-list": [[v, -v] for v in EDGE_INTEGERS],
    }[where]
    text = quorl.to_tagged_json(values)
    assert (
        quorl.canonical_bytes(values)
        == quorl_core.canonical_bytes_from_json(text)
        == model_canonical(values)
    )


class FloatLiar(float):
    def __repr__(self) -> str:
        return "lie"


@pytest.mark.parametrize(
    "obj, expected",
    [
        (1.5, '"1.5"'),
        (-0.0, '"-0.0"'),
        (0.0, '"0.0"'),
        (1e300, '"1e+300"'),
        (1e16, '"1e+16"'),
        (1e15, '"1000000000000000.0"'),
        (1e-05, '"1e-05"'),
        (0.0001, '"0.0001"'),
        (5e-324, '"5e-324"'),
        (FloatLiar(2.5), '"2.5"'),
        ({"b": 2.0, "a": 1}, '{"a":1,"b":"2.0"}'),
        (Decimal("1.50"), '"1.50"'),
        (Decimal("-0"), '"-0"'),
        (Decimal("1E+3"), '"1E+3"'),
    ],
)
def test_floats_as_str(obj, expected):
    assert quorl.canonical_bytes(obj, floats="str") == expected.encode()
    text = quorl.to_tagged_json(obj, floats="str")
    assert quorl_core.canonical_bytes_from_json(text) == expected.encode()


def nested(depth: int, make):
    obj: object = 0
    for _ in range(depth):
        obj = make(obj)
    return obj


looped_list: list = []
looped_list.append(looped_list)
looped_dict: dict = {}
looped_dict["a"] = looped_dict


@pytest.mark.parametrize(
    "obj, kwargs, error, message, path",
    [
        (1.5, {}, RefusedError, FLOAT, "$"),
        ({"a": [1, 2.5]}, {}, RefusedError, FLOAT, '$["a"][1]'),
        (Decimal("1.5"), {}, RefusedError, FLOAT, "$"),
        (float("nan"), {"floats": "str"}, RefusedError, NAN, "$"),
        ([float("-inf")], {}, RefusedError, INFINITY, "$[0]"),
        ([Decimal("sNaN")], {"floats": "str"}, RefusedError, NAN, "$[0]"),
        (Decimal("-NaN"), {}, RefusedError, NAN, "$"),
        (Decimal("-Infinity"), {"floats": "str"}, RefusedError, INFINITY, "$"),
        ({'\n"': {"b": 1.5}}, {}, RefusedError, FLOAT, '$["\\u000a\\""]["b"]'),
        ({"k": {Twin("a"): 1, Twin("a"): 2}}, {}, RefusedError, DUPLICATE, '$["k"]'),
        ({"b": 1.5, "a": [{1}]}, {}, TypeError, "unsupported type 'set' at $[\"a\"][0]", None),
        ({"a": 1.5, 2: 0}, {}, TypeError, "dict key must be str, not 'int', at $", None),
        ([0, b"x"], {}, TypeError, "unsupported type 'bytes' at $[1]", None),
        ((bytearray(),), {}, TypeError, "unsupported type 'bytearray' at $[0]", None),
        ({"o": object()}, {}, TypeError, "unsupported type 'object' at $[\"o\"]", None),
        (nested(129, lambda o: [o]), {}, RefusedError, DEPTH, "$" + "[0]" * 128),
        (nested(129, lambda o: {"$int": o}), {}, RefusedError, DEPTH, "$" + '["$int"]' * 128),
        (looped_list, {}, RefusedError, DEPTH, "$" + "[0]" * 128),
        (looped_dict, {}, RefusedError, DEPTH, "$" + '["a"]' * 128),
        ("\ud800", {}, UnicodeEncodeError, None, "$"),
        ({"a": {"\udfff": 1}}, {}, UnicodeEncodeError, None, '$["a"]'),
        (
            0,
            {"floats": "round"},
            ValueError,
            'floats must be "refuse" or "str", not \'round\'',
            None,
        ),
    ],
    ids=lambda value: None if isinstance(value, (str, type)) else "",
)
def test_refusals(obj, kwargs, error, message, path):
    for function in (
        quorl.canonical_bytes,
        quorl.to_tagged_json,
        lambda o, **kw: quorl.digest(o, "run", **kw),
    ):
        with pytest.raises(error) as caught:
            function(obj, **kwargs)
        if error is RefusedError:
            assert (caught.value.message, caught.value.path) == (message, path)
        elif error is UnicodeEncodeError:
            assert caught.value.__notes__ == [f"at {path}"]
        else:
            assert str(caught.value) == message


@pytest.mark.parametrize(
    "obj",
    [
        nested(128, lambda o: [o]),
        nested(128, lambda o: {"$obj": o}),
        nested(64, lambda o: ({"$int": o},)),
    ],
)
def test_128_levels_are_accepted(obj):
    text = quorl.to_tagged_json(obj)  # tag-keyed dicts are wrapped, at no extra depth
    assert quorl.canonical_bytes(obj) == quorl_core.canonical_bytes_from_json(text)


def test_digest_profile_and_digest_members():
    with pytest.raises(RefusedError) as caught:
        quorl.digest({}, "nope")
    assert (caught.value.message, caught.value.path) == (UNKNOWN_PROFILE + "nope", None)
    with pytest.raises(RefusedError, match="floats"):  # the object's fault wins
        quorl.digest([1.5], "nope")
    # A root "digest" member is left out but still judged, as the text path does.
    with pytest.raises(ValueError):
        quorl_core.digest_from_json('{"digest": 1.5}', "run")
    with pytest.raises(RefusedError) as caught:
        quorl.digest({"digest": [1.5]}, "run")
    assert caught.value.path == '$["digest"][0]'
    twins = {Twin("digest"): 1, Twin("digest"): 2, "a": 1}
    assert quorl.digest(twins, "run") == expected_digest("run", b'{"a":1}')


@pytest.mark.parametrize(
    "value",
    [
        7**118_000,
        -(10**99_999),
        Liar(-(3**9000)),
        Color.HUGE,
        2**4096,
        2**4097 - 1,
        -(10**1300),
        3**40_000 << 5000,
    ],
    ids=[
        "7^118000",
        "-10^99999",
        "subclass",
        "IntEnum",
        "2^4096",
        "2^4097-1",
        "-10^1300",
        "zero-low-bits",
    ],
)
def test_huge_integers_ignore_the_int_str_limit(value):
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(640)
    try:
        got = quorl.canonical_bytes([value])
        text = quorl.to_tagged_json(value)
    finally:
        sys.set_int_max_str_digits(0)
    try:
        digits = str(int.__int__(value))  # the value it holds, whatever it says
        assert got == f"[{digits}]".encode()
        assert text == f'{{"$int":"{digits}"}}'
    finally:
        sys.set_int_max_str_digits(old)


class Meddler(Decimal):
    """A Decimal whose str() empties the containers being walked."""

    victims: list = []

    def __str__(self) -> str:
        for victim in self.victims:
            victim.clear()
        return "1.0"


class Replacer(Decimal):
    """A Decimal whose str() empties the list holding the list being walked,
    then makes new lists, which take the memory of any list that was freed."""

    victims: list = []
    spare: list = []

    def __str__(self) -> str:
        for victim in self.victims:
            victim.clear()
        Replacer.spare = [["junk"] * 3 for _ in range(8)]
        return "1.0"


class Reentrant(Decimal):
    def __str__(self) -> str:
        return quorl.canonical_bytes({"b": [1], "a": "x"}).decode()


def test_python_code_during_the_walk():
    sentinel = "sentinel-" + "x" * 40
    inner = {"z": [sentinel, sentinel], "m": Meddler("1")}
    outer = [Meddler("2"), inner, [sentinel] * 3]
    Meddler.victims = [outer, inner]
    before = sys.getrefcount(sentinel)
    result = quorl.canonical_bytes(outer, floats="str")
    Meddler.victims = []
    assert result.startswith(b'["1.0"')  # the rest depends on what was cleared when
    assert sys.getrefcount(sentinel) == before - 5  # the cleared lists let go of theirs
    # A list item whose list drops it mid-walk is still walked whole.
    holder = [[Replacer("3"), sentinel]]
    Replacer.victims = [holder]
    assert quorl.canonical_bytes(holder, floats="str") == b'[["1.0","' + sentinel.encode() + b'"]]'
    Replacer.victims = Replacer.spare = []
    assert (
        quorl.canonical_bytes([Reentrant("1")], floats="str")
        == b'["{\\"a\\":\\"x\\",\\"b\\":[1]}"]'
    )


big = {"k": ["x" * 100, 2**200, {"$int": "1", "é": [None, True]}], "digest": 1}


@pytest.mark.parametrize(
    "call",
    [
        lambda: quorl.canonical_bytes(big),
        lambda: quorl.digest(big, "run"),
        lambda: quorl.to_tagged_json(big),
        lambda: quorl.canonical_bytes([Decimal("1.5"), 2.5], floats="str"),
        lambda: quorl.canonical_bytes({"a": [1, 1.5]}),
        lambda: quorl.canonical_bytes({"a": [1, {3}]}),
        lambda: quorl.canonical_bytes({"a": {"b": "\ud800"}}),
        lambda: quorl.digest(big, "nope"),
    ],
    ids=["bytes", "digest", "tagged", "decimal", "refused", "type", "surrogate", "profile"],
)
def test_no_leaks(call):
    def run(times):
        for _ in range(times):
            try:
                call()
            except (ValueError, TypeError):
                pass

    run(1000)
    counts = sys.getrefcount(big), sys.getrefcount(big["k"][0])
    rss = rss_bytes()
    tracemalloc.start()
    run(100_000)
    grown, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert (sys.getrefcount(big), sys.getrefcount(big["k"][0])) == counts
    assert grown < 64 << 10  # no Python objects kept behind
    assert rss_bytes() - rss < 16 << 20  # nor native memory (a leak of 100 bytes a call shows)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")
def test_large_digests_share_a_hash_thread_and_survive_fork():
    """Digests past the first 128 KiB of output are hashed on a kept second
    thread; calls in a row, a thread of the caller's own, and a child forked
    after the thread ran (it has no such thread) give the digest of the text."""
    import signal
    import threading

    obj = {
        "rows": [
            {"id": i, "name": f"n\u00e9{i}", "tags": ["a", "b"], "big": 2**60 + i}
            for i in range(12_000)
        ]
    }
    expected = quorl_core.digest_from_json(quorl.to_tagged_json(obj), "run")
    assert len(quorl.canonical_bytes(obj)) > 512 * 1024
    got: list[str] = []
    side = threading.Thread(target=lambda: got.extend(quorl.digest(obj, p) for p in ["run"] * 3))
    side.start()
    got.extend(quorl.digest(obj, "run") for _ in range(3))
    side.join()
    assert got == [expected] * 6
    pid = os.fork()
    if pid == 0:  # the child: a hang is ended by the alarm
        signal.alarm(30)
        os._exit(0 if [quorl.digest(obj, "run") for _ in range(2)] == [expected] * 2 else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_a_fork_right_after_a_large_digest_sees_no_extra_thread():
    """The kept hash thread waits a while after a digest; a fork ends it
    first, so the interpreter does not warn of a multi-threaded fork."""
    code = (
        "import os, quorl\n"
        "quorl.digest([{'k': 'v' * 100, 'n': i} for i in range(20000)], 'run')\n"
        "pid = os.fork()\n"
        "if pid == 0:\n"
        "    os._exit(0)\n"
        "os.waitpid(pid, 0)\n"
    )
    done = subprocess.run(
        [sys.executable, "-W", "always::DeprecationWarning", "-c", code],
        capture_output=True,
        timeout=120,
    )
    assert done.returncode == 0 and b"multi-threaded" not in done.stderr, done.stderr.decode()


# Strings around the sizes where the walk's copy changes method (16, 32 and
# 64 bytes inline; 32-byte blocks beyond), escapes at the edges of blocks,
# and runs of escapes long enough to outgrow the room taken for the text.
LONG_STRINGS = [
    *("x" * n for n in (15, 16, 17, 31, 32, 33, 63, 64, 65, 95, 96, 97)),
    *("x" * k + '"' + "y" * (80 - k) for k in (0, 15, 16, 31, 32, 33, 63, 64, 79)),
    "\n" * 3000,
    ('"\\' * 700) + "tail",
    ("é\x01" * 400),
    ("z" * 31 + "\x1f") * 90,
]


@pytest.mark.parametrize("text", LONG_STRINGS, ids=lambda t: f"{len(t)}-{t[-1]!r}")
def test_strings_of_every_length_match_the_model(text):
    obj = [text, {text[:70]: text}]
    assert quorl.canonical_bytes(obj) == model_canonical(obj)
