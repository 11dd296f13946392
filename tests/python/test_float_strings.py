"""floats="str" for text: a number token with a fraction or an exponent reads
as the string of its float's repr, so that a plain JSON text and its
json.loads() objects give the same canonical bytes and digests, through the
single-document and the JSON Lines functions alike (where refusals are
located is held in tests/cpp/float_text_test.cpp)."""

from __future__ import annotations

import json
import math
import re
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorl
from quorl import _native
from support import MAX_EXACT, PROFILES

CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus"


def outcome(call, *args):
    try:
        return call(*args, floats="str")
    except quorl.RefusedError as e:
        return ("refused", e.message)  # an infinity (1e400) is refused either way


def both_ways(text: str | bytes, obj: object, profile: str) -> None:
    """Text and objects agree on the bytes and the digest."""
    assert outcome(quorl.canonical_bytes_from_json, text) == outcome(quorl.canonical_bytes, obj)
    assert outcome(quorl.digest_from_json, text, profile) == outcome(quorl.digest, obj, profile)


# Every way JSON writes a float: the token is rewritten here, the double kept.
TOKEN_FORMS = [
    repr,
    "{:.17g}".format,
    "{:.20e}".format,
    "{:.16E}".format,
    "{:.15g}".format,
    lambda x: f"{x:e}".replace("e+", "e"),
]


def float_token(x: float, form) -> str:
    token = form(x)
    if not re.search(r"[.eE]", token):
        token += ".0"  # "%g" writes whole values as integers
    return token


def render(value, rng) -> str:
    """JSON text of value with each float written in a form rng picks."""
    if isinstance(value, float):
        return float_token(value, rng.choice(TOKEN_FORMS))
    if isinstance(value, list):
        return "[" + ", ".join(render(v, rng) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ",".join(json.dumps(k) + ":" + render(v, rng) for k, v in value.items()) + "}"
    return json.dumps(value)


plain_json = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-MAX_EXACT, MAX_EXACT)
    | st.text()
    | st.floats(allow_nan=False, allow_infinity=False),
    lambda inner: (
        st.lists(inner, max_size=5)
        | st.dictionaries(st.text().filter(lambda k: not k.startswith("$")), inner, max_size=5)
    ),
    max_leaves=20,
)


@settings(max_examples=300, deadline=None, database=None)
@given(plain_json, st.randoms(use_true_random=False), st.sampled_from(PROFILES))
def test_generated_text_matches_its_objects(value, rng, profile):
    text = render(value, rng)
    both_ways(text, json.loads(text), profile)
    both_ways(text.encode(), json.loads(text), profile)


# A double of every class, each written in every token form.
DOUBLES = [
    5e-324,
    1e-323,
    2.225073858507201e-308,
    2.2250738585072014e-308,
    1e-5,
    1.5e-5,
    0.0001,
    0.1,
    1 / 3,
    -0.0,
    0.0,
    1.0,
    123456789.0,
    9999999999999998.0,
    1e16,
    2.0**53,
    1e15 + 0.3,
    1125899906842624.25,
    1e21,
    1e22,
    1e100,
    sys.float_info.max,
    -65.61361699999998,
]


@pytest.mark.parametrize("x", DOUBLES, ids=repr)
def test_every_token_form_is_the_repr_of_its_double(x):
    tokens = [float_token(x, form) for form in TOKEN_FORMS]
    tokens = [t for t in tokens if math.isfinite(float(t))]  # "%.15g" of the largest: inf
    text = "[" + ",".join(tokens) + "]"
    expected = "[" + ",".join('"%s"' % repr(float(t)) for t in tokens) + "]"
    assert quorl.canonical_bytes_from_json(text, floats="str") == expected.encode()
    assert quorl.canonical_bytes([float(t) for t in tokens], floats="str") == expected.encode()


def tagged_hook(pairs):
    """json.loads object hook: the corpus writes big integers as $int tags."""
    if len(pairs) == 1 and pairs[0][0] == "$int":
        return int(pairs[0][1])
    assert not any(k.startswith("$") for k, _ in pairs)
    return dict(pairs)


FLOAT_STRING = re.compile(r'"(-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][-+]?\d+)?)"(?!\s*:)')


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus")
@pytest.mark.parametrize("path", sorted(CORPUS.glob("*.json")), ids=lambda p: p.name)
def test_corpus_with_its_numeric_strings_as_floats(path):
    original = path.read_text(encoding="utf-8")
    # Numeric strings become bare float tokens; integers stay strings.
    text = FLOAT_STRING.sub(lambda m: m[1] if re.search("[.eE]", m[1]) else m[0], original)
    obj = json.loads(text, object_pairs_hook=tagged_hook)
    both_ways(text, obj, "certificate")
    assert quorl.canonical_bytes_from_json(original, floats="str") == (
        quorl.canonical_bytes_from_json(original)
    )


LINES = b'[1.5]\n\n{"a": 2e-7, "digest": 0.5}\n[0.5, 1e400]\r\n"x"\n[1E2]'


@pytest.mark.parametrize("profile", PROFILES)
def test_batch_functions_agree_with_the_single_documents(profile):
    expected = []  # per record: (line, digest or None, canonical or None, refusal or None)
    for number, raw in enumerate(LINES.split(b"\n"), start=1):
        if raw.strip():
            try:
                expected.append(
                    (
                        number,
                        quorl.digest_from_json(raw, profile, floats="str"),
                        quorl.canonical_bytes_from_json(raw, floats="str"),
                        None,
                    )
                )
            except quorl.RefusedError as e:
                expected.append((number, None, None, str(e)))
    lines, digests, errors = _native.digest_records(LINES, profile, floats="str")
    assert list(zip(lines, digests, errors, strict=True)) == [(n, d, r) for n, d, _, r in expected]
    lines, canonical, errors = _native.canonical_records(LINES, floats="str")
    assert list(zip(lines, canonical, errors, strict=True)) == [
        (n, c, r) for n, _, c, r in expected
    ]
    out, refusals, records = _native.digest_lines(LINES, profile, name="f", floats="str")
    assert out == b"".join(b"%s  f:%d\n" % (d.encode(), n) for n, d, _, _ in expected if d)
    assert [(r[0], f"line {r[2]} column {r[3]}: {r[1]}") for r in refusals] == [
        (n, r) for n, _, _, r in expected if r
    ]
    out, _, _ = _native.canonical_lines(LINES, floats="str")
    assert out == b"".join(c + b"\n" for _, _, c, _ in expected if c)


CALLS = [
    lambda floats: quorl.canonical_bytes_from_json("1.5", floats=floats),
    lambda floats: quorl.digest_from_json("1.5", "run", floats=floats),
    lambda floats: _native.digest_lines(b"1.5", "run", name="n", floats=floats),
    lambda floats: _native.canonical_lines(b"1.5", floats=floats),
    lambda floats: _native.digest_records(b"1.5", "run", floats=floats),
    lambda floats: _native.canonical_records(b"1.5", floats=floats),
]


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("bad", ["round", "STR", 1, b"str"])
def test_a_bad_floats_value_is_refused_as_the_object_functions_refuse_it(call, bad):
    call("str")
    with pytest.raises(ValueError) as text:
        call(bad)
    with pytest.raises(ValueError) as objects:
        quorl.canonical_bytes(1.5, floats=bad)
    assert type(text.value) is ValueError and str(text.value) == str(objects.value)
