"""Property tests: documents that mean the same give the same bytes and digests.

Hypothesis builds a value (null, booleans, integers of any size, any text
without surrogates, lists, objects whose keys include the tag keys and
"digest", and now and then a NaN, infinity or float marker), writes it as a
tagged document, then rewrites it in ways that must not change its meaning:
keys shuffled, whitespace between tokens, characters as \\u escapes (surrogate
pairs above U+FFFF) or short escapes, "$str", "$arr", "$obj", "$bool" and
"$null" wrappers, "$int" payloads with leading zeros, a key given twice with
the first value thrown away, and for the digest extra root "digest" members.
The expected bytes come from support.model_canonical, written from the rules
of the format; the expected digest is SHA-256 of the domain line and those
bytes.
"""

from __future__ import annotations

import json
import random
from dataclasses import dataclass
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorl_core import canonical_bytes_from_json as canonical
from quorl_core import digest_from_json as digest
from support import FLOAT, INFINITY, MAX_EXACT, NAN, PROFILES, expected_digest, model_canonical

# No example database: every run is independent of the ones before it, and
# nothing is written into the checkout.
SETTINGS = settings(
    max_examples=200,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

TAG_KEYS = ["$int", "$nan", "$inf", "$str", "$obj", "$arr", "$bool", "$null", "$float"]


@dataclass(frozen=True)
class Marker:
    """A value the canonical form refuses; written as its tagged form."""

    tag: str
    message: str


MARKERS = [Marker("$nan", NAN), Marker("$inf", INFINITY), Marker("$float", FLOAT)]

# --- values -------------------------------------------------------------------

keys = st.one_of(
    st.text(max_size=6),
    st.sampled_from(
        TAG_KEYS + ["digest", "Digest", "digest ", "$INT", "$quorl-vector:lone-surrogate"]
    ),
)
integers = st.one_of(
    st.integers(min_value=-MAX_EXACT, max_value=MAX_EXACT),
    st.integers(min_value=-(10**60), max_value=10**60),
    st.sampled_from([0, MAX_EXACT, -MAX_EXACT, MAX_EXACT + 1, -MAX_EXACT - 1, 2**64, -(2**63) - 1]),
)
plain_scalars = st.one_of(st.none(), st.booleans(), integers, st.text(max_size=12))


def values(markers: bool) -> st.SearchStrategy:
    leaves = st.one_of(plain_scalars, st.sampled_from(MARKERS)) if markers else plain_scalars
    return st.recursive(
        leaves,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.dictionaries(keys, inner, max_size=4),
        ),
        max_leaves=16,
    )


def first_marker(value: Any, skip_digest_key: bool = False) -> Marker | None:
    """The marker that encoding meets first: items in order, keys sorted."""
    if isinstance(value, Marker):
        return value
    if isinstance(value, list):
        for item in value:
            if (m := first_marker(item)) is not None:
                return m
    if isinstance(value, dict):
        for k in sorted(value):
            if skip_digest_key and k == "digest":
                continue
            if (m := first_marker(value[k])) is not None:
                return m
    return None


def needs_tag(value: Any) -> bool:
    """Whether the plain JSON of value means something else in the dialect: an
    integer beyond the bare bound, or a one-member object with a tag key."""
    if isinstance(value, bool) or value is None or isinstance(value, (str, Marker)):
        return False
    if isinstance(value, int):
        return abs(value) > MAX_EXACT
    if isinstance(value, list):
        return any(needs_tag(v) for v in value)
    if len(value) == 1 and next(iter(value)) in TAG_KEYS:
        return True
    return any(needs_tag(v) for v in value.values())


def without_root_digest(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: v for k, v in value.items() if k != "digest"}
    return value


# --- writing ------------------------------------------------------------------

SHORT_ESCAPES = {
    '"': '\\"',
    "\\": "\\\\",
    "/": "\\/",
    "\b": "\\b",
    "\f": "\\f",
    "\n": "\\n",
    "\r": "\\r",
    "\t": "\\t",
}
# Values the reader accepts and the gate lets through but the decoder would
# refuse: put in front of a key that comes again, they are replaced unread.
THROWAWAY = ['{"$int":"x"}', '{"$str":1}', '{"$null":false}', '{"$nan":0}', "[]", '"junk"']


class Writer:
    """Writes a value as tagged JSON. plain: tags only where the meaning needs
    them, escapes only where the grammar needs them. Otherwise every choice
    is drawn from rnd."""

    def __init__(self, rnd: random.Random | None):
        self.rnd = rnd

    def chance(self, p: float) -> bool:
        return self.rnd is not None and self.rnd.random() < p

    def pick(self, options: list[str]) -> str:
        return self.rnd.choice(options) if self.rnd is not None else options[0]

    def randint(self, low: int, high: int) -> int:
        return self.rnd.randint(low, high) if self.rnd is not None else low

    def ws(self) -> str:
        if not self.chance(0.3):
            return ""
        return "".join(self.pick([" ", "\t", "\n", "\r"]) for _ in range(self.randint(1, 3)))

    def string(self, text: str) -> str:
        out = ['"']
        for ch in text:
            cp = ord(ch)
            must = ch in '"\\' or cp < 0x20
            if not must and not self.chance(0.3):
                out.append(ch)
            elif ch in SHORT_ESCAPES and (self.rnd is None or self.chance(0.5)):
                out.append(SHORT_ESCAPES[ch])
            elif cp >= 0x10000:
                hi = 0xD800 + ((cp - 0x10000) >> 10)
                lo = 0xDC00 + ((cp - 0x10000) & 0x3FF)
                out.append(self.hex_escape(hi) + self.hex_escape(lo))
            else:
                out.append(self.hex_escape(cp))
        out.append('"')
        return "".join(out)

    def hex_escape(self, cp: int) -> str:
        text = "\\u%04x" % cp
        return text.upper().replace("\\U", "\\u") if self.chance(0.5) else text

    def integer(self, value: int) -> str:
        bare_ok = abs(value) <= MAX_EXACT
        if bare_ok and not self.chance(0.4):
            return str(value)
        sign = "-" if value < 0 or (value == 0 and self.chance(0.3)) else ""
        zeros = "0" * self.randint(0, 3)
        return '{"$int":"%s%s%d"}' % (sign, zeros, abs(value))

    def wrap(self, tag: str, inner: str, p: float) -> str:
        return '{"%s":%s%s}' % (tag, self.ws(), inner) if self.chance(p) else inner

    def value(self, v: Any, root_digest: bool = False) -> str:
        return self.ws() + self._value(v, root_digest) + self.ws()

    def _value(self, v: Any, root_digest: bool) -> str:
        if v is None:
            return '{"$null":true}' if self.chance(0.3) else "null"
        if isinstance(v, bool):
            return self.wrap("$bool", "true" if v else "false", 0.3)
        if isinstance(v, int):
            return self.integer(v)
        if isinstance(v, str):
            return self.wrap("$str", self.string(v), 0.3)
        if isinstance(v, Marker):
            payload = self.pick(["0", "null", '"x"', "[1,2]", "{}"])
            return '{"%s":%s}' % (v.tag, payload)
        if isinstance(v, list):
            inner = "[" + ",".join(self.value(x) for x in v) + self.ws() + "]"
            return self.wrap("$arr", inner, 0.3)
        return self.object(v, root_digest)

    def object(self, v: dict, root_digest: bool) -> str:
        members = list(v.items())
        if self.rnd is not None:
            self.rnd.shuffle(members)
        parts = []
        for k, x in members:
            if self.chance(0.15):
                parts.append(self.member(k, self.pick(THROWAWAY)))
            parts.append(self.member(k, self.value(x)))
        if root_digest:
            # Any decodable value, even one the encoder refuses, anywhere.
            extra = self.member("digest", self.pick(['{"$nan":0}', '{"$float":1}', "[1]", '"d"']))
            parts.insert(self.randint(0, len(parts)), extra)
        inner = "{" + ",".join(parts) + self.ws() + "}"
        tag_shaped = len(v) == 1 and next(iter(v)) in TAG_KEYS
        if tag_shaped or self.chance(0.2):
            return '{"$obj":%s}' % inner
        return inner

    def member(self, key: str, value_text: str) -> str:
        return self.ws() + self.string(key) + self.ws() + ":" + value_text


def plain_text(value: Any) -> str:
    return Writer(None).value(value)


# --- helpers ------------------------------------------------------------------


def strictly_equal(a: Any, b: Any) -> bool:
    """Equality that tells True from 1 and keeps list and dict apart."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(strictly_equal(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(strictly_equal(a[k], b[k]) for k in a)
    return a == b


def outcome(fn, *args) -> tuple[str, object]:
    try:
        return ("ok", fn(*args))
    except ValueError as e:
        return ("error", e.args)


# --- properties ---------------------------------------------------------------


@SETTINGS
@given(values(markers=False), st.randoms(use_true_random=False))
def test_rewrites_keep_bytes(value, rnd):
    want = model_canonical(value)
    assert canonical(plain_text(value)) == want
    for _ in range(3):
        text = Writer(rnd).value(value)
        assert canonical(text) == want, text


@SETTINGS
@given(values(markers=False), st.randoms(use_true_random=False), st.sampled_from(PROFILES))
def test_rewrites_keep_digest(value, rnd, profile):
    want = expected_digest(profile, model_canonical(without_root_digest(value)))
    assert digest(plain_text(value), profile) == want
    for _ in range(3):
        text = Writer(rnd).value(value, root_digest=isinstance(value, dict))
        assert digest(text, profile) == want, text


@SETTINGS
@given(values(markers=True), st.randoms(use_true_random=False))
def test_rewrites_keep_the_failure(value, rnd):
    marker = first_marker(value)
    texts = [plain_text(value)] + [Writer(rnd).value(value) for _ in range(3)]
    for text in texts:
        if marker is None:
            assert canonical(text) == model_canonical(value), text
        else:
            with pytest.raises(ValueError) as info:
                canonical(text)
            assert info.value.args == (marker.message,), text


@SETTINGS
@given(values(markers=True), st.randoms(use_true_random=False), st.sampled_from(PROFILES))
def test_markers_under_root_digest_are_never_encoded(value, rnd, profile):
    text = Writer(rnd).value(value, root_digest=isinstance(value, dict))
    marker = first_marker(value, skip_digest_key=True)
    if marker is None:
        assert digest(text, profile) == expected_digest(
            profile, model_canonical(without_root_digest(value))
        )
    else:
        assert outcome(digest, text, profile) == ("error", (marker.message,))


@SETTINGS
@given(values(markers=False))
def test_canonical_text_is_a_fixed_point_and_plain_json(value):
    canon = canonical(plain_text(value))
    text = canon.decode("utf-8")
    # Read back by the standard library: the same data, exactly.
    assert strictly_equal(json.loads(text), value)
    # It is written with no whitespace, keys sorted, three kinds of escape.
    assert canon == model_canonical(json.loads(text))
    if needs_tag(value):
        # Its plain JSON means something else in the dialect: an integer too
        # big to stand bare, or a one-member object read as a tag.
        assert outcome(canonical, text) != ("ok", canon)
    else:
        assert canonical(text) == canon


@SETTINGS
@given(values(markers=False), st.randoms(use_true_random=False))
def test_profiles_differ_and_hex_is_lowercase(value, rnd):
    text = Writer(rnd).value(value)
    got = {p: digest(text, p) for p in PROFILES}
    assert len(set(got.values())) == len(PROFILES)
    for hex_text in got.values():
        assert len(hex_text) == 64 and set(hex_text) <= set("0123456789abcdef")
