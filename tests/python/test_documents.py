"""What the two functions make of documents: canonical bytes, and every refusal
as a ValueError carrying exactly the core's message."""

import json
from functools import partial

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorl_core import canonical_bytes_from_json as canonical
from quorl_core import digest_from_json as digest
from support import (
    ARR_PAYLOAD,
    BARE_INT,
    BOOL_PAYLOAD,
    DEPTH,
    FLOAT,
    INFINITY,
    INT_PAYLOAD,
    MAX_EXACT,
    NAN,
    NULL_PAYLOAD,
    OBJ_PAYLOAD,
    PROFILES,
    STR_PAYLOAD,
    UNKNOWN_PROFILE,
    expected_digest,
    model_canonical,
)

WORKED_EXAMPLE = '{"b":[1,-20,true],"a":"x\\"y\\n","é":null,"A":{"z":0,"y":""}}'
WORKED_EXAMPLE_BYTES = b'{"A":{"y":"","z":0},"a":"x\\"y\\u000a","b":[1,-20,true],"\xc3\xa9":null}'


def test_worked_example():
    result = canonical(WORKED_EXAMPLE)
    assert type(result) is bytes
    assert len(result) == 64
    assert result == WORKED_EXAMPLE_BYTES


CANONICAL = [
    # whitespace around and inside goes; members sorted by code point
    ('  {"b" : 1 ,\n"a":2}\n\t\r ', b'{"a":2,"b":1}'),
    ('{"b":0,"a":0,"B":0,"A":0}', b'{"A":0,"B":0,"a":0,"b":0}'),
    ('{"aa":0,"a":0}', b'{"a":0,"aa":0}'),
    # z < é < U+E000 < U+1F600 (code points, not UTF-16 units)
    (
        '{"\\ud83d\\ude00":0,"\\ue000":0,"é":0,"z":0}',
        b'{"z":0,"\xc3\xa9":0,"\xee\x80\x80":0,"\xf0\x9f\x98\x80":0}',
    ),
    # e + combining acute sorts before the precomposed é; no normalisation
    ('{"é":1,"e\\u0301":2}', b'{"e\xcc\x81":2,"\xc3\xa9":1}'),
    # a later duplicate key replaces the earlier one
    ('{"b":1,"a":2,"b":3}', b'{"a":2,"b":3}'),
    # bytes from 0x80 on sort after ASCII (unsigned), with duplicates
    # (the exact path) and without (the direct path)
    ('{"bé":1,"aé":2,"x":1,"x":2}', b'{"a\xc3\xa9":2,"b\xc3\xa9":1,"x":2}'),
    ('{"é":1,"z":2,"z":3}', b'{"z":3,"\xc3\xa9":1}'),
    ('{"é":1,"z":2}', b'{"z":2,"\xc3\xa9":1}'),
    ('{"aé":1,"az":2}', b'{"az":2,"a\xc3\xa9":1}'),
    # the three kinds of escape, and nothing else escaped
    ('"\\u0000\\t\\n\\r\\u001b\\u001F"', b'"\\u0000\\u0009\\u000a\\u000d\\u001b\\u001f"'),
    ('"\\"\\\\\\/\\b\\f"', b'"\\"\\\\/\\u0008\\u000c"'),
    ('"\\u007f\\u0080\\u2028\\u2029"', b'"\x7f\xc2\x80\xe2\x80\xa8\xe2\x80\xa9"'),
    ('"é😀"', b'"\xc3\xa9\xf0\x9f\x98\x80"'),
    ('{"k\\"\\u0001":""}', b'{"k\\"\\u0001":""}'),
    ('""', b'""'),
    # scalars and integers
    ("true", b"true"),
    ("false", b"false"),
    ("null", b"null"),
    ("0", b"0"),
    ("-5", b"-5"),
    ("9007199254740991", b"9007199254740991"),
    ("-9007199254740991", b"-9007199254740991"),
    ("[]", b"[]"),
    ("{}", b"{}"),
    ("[[],{}]", b"[[],{}]"),
    # tagged forms
    ('{"$int":"-000"}', b"0"),
    ('{"$int":"-0012"}', b"-12"),
    ('{"$int":"123456789012345678901234567890"}', b"123456789012345678901234567890"),
    ('{"$int":"-9007199254740992"}', b"-9007199254740992"),
    ('{"$str":"x"}', b'"x"'),
    ('{"$bool":false}', b"false"),
    ('{"$null":true}', b"null"),
    ('{"$obj":{"$int":"5"}}', b'{"$int":"5"}'),
    ('{"$obj":{}}', b"{}"),
    ('{"$arr":[{"$int":"5"}]}', b"[5]"),
    # not tags: two members, other spelling, or the test-vector key
    ('{"$int":"5","x":1}', b'{"$int":"5","x":1}'),
    ('{"$INT":"5"}', b'{"$INT":"5"}'),
    ('{"$int ":"5"}', b'{"$int ":"5"}'),
    ('{"$quorl-vector:lone-surrogate":0}', b'{"$quorl-vector:lone-surrogate":0}'),
    # numbers inside strings are never judged
    ('{"1e5":"-0","x":"1.5"}', b'{"1e5":"-0","x":"1.5"}'),
    # brackets inside strings do not count towards depth
    ('"' + "[" * 300 + '"', b'"' + b"[" * 300 + b'"'),
    # a digest member is ordinary content for the canonical bytes
    ('{"digest":1,"a":2}', b'{"a":2,"digest":1}'),
    # 128 nested containers are the most allowed
    ("[" * 128 + "]" * 128, b"[" * 128 + b"]" * 128),
    ("[" * 128 + '{"$int":"1"}' + "]" * 128, b"[" * 128 + b"1" + b"]" * 128),
]


@pytest.mark.parametrize(("document", "expected"), CANONICAL)
def test_canonical_bytes(document, expected):
    assert canonical(document) == expected


# Refusals decided before the profile is looked at: the same message from both
# functions, whatever the profile.
DOCUMENT_ERRORS = [
    # the reader, with "invalid JSON: " and line/column (columns count bytes)
    ("", "invalid JSON: EOF while parsing a value at line 1 column 0"),
    ("   ", "invalid JSON: EOF while parsing a value at line 1 column 3"),
    ("[1,\n", "invalid JSON: EOF while parsing a value at line 2 column 0"),
    ("1 2", "invalid JSON: trailing characters at line 1 column 3"),
    #  ^ column 3
    ("0x10", "invalid JSON: trailing characters at line 1 column 2"),
    ("NaN", "invalid JSON: expected value at line 1 column 1"),
    ("+1", "invalid JSON: expected value at line 1 column 1"),
    ("[1,]", "invalid JSON: trailing comma at line 1 column 4"),
    #    ^ column 4
    ('{"a" 1}', "invalid JSON: expected `:` at line 1 column 6"),
    ('{"a":1 "b":2}', "invalid JSON: expected `,` or `}` at line 1 column 8"),
    #        ^ column 8
    ("[1 2]", "invalid JSON: expected `,` or `]` at line 1 column 4"),
    ("{1:2}", "invalid JSON: key must be a string at line 1 column 2"),
    ("nulx", "invalid JSON: expected ident at line 1 column 4"),
    ('"\\x"', "invalid JSON: invalid escape at line 1 column 3"),
    ('"\\uDC00"', "invalid JSON: lone leading surrogate in hex escape at line 1 column 7"),
    ('"abc', "invalid JSON: EOF while parsing a string at line 1 column 4"),
    (
        '"a\tb"',
        r"invalid JSON: control character (\u0000-\u001F) found while parsing a string"
        " at line 1 column 3",
    ),
    ('"é" x', "invalid JSON: trailing characters at line 1 column 6"),
    #      ^ column 6: é is two bytes
    # NUL is an ordinary byte: the whole text is read, not up to a terminator
    ("1\x00", "invalid JSON: trailing characters at line 1 column 2"),
    (
        '"a\x00"',
        r"invalid JSON: control character (\u0000-\u001F) found while parsing a string"
        " at line 1 column 3",
    ),
    ("[" * 257, "invalid JSON: EOF while parsing a list at line 1 column 257"),
    ("]" * 5 + "[" * 257, "invalid JSON: expected value at line 1 column 1"),
    # raw depth
    ("[" * 258, DEPTH),
    ("[" * 258 + "]" * 258, DEPTH),
    ("[1.5, " + "[" * 258, DEPTH),  # depth anywhere wins over an earlier number
    # number tokens, judged before parsing; the first offending token decides
    ("1.0", FLOAT),
    ("[1e5]", FLOAT),
    ("1E5", FLOAT),
    ("1.", FLOAT),
    ("1-2", FLOAT),
    ("-", FLOAT),
    ("-Infinity", FLOAT),
    ("-0", FLOAT),
    ("01", FLOAT),
    ("-00", FLOAT),
    ("0" * 17, FLOAT),
    ("[1.5", FLOAT),
    ("9007199254740992", BARE_INT),
    ("-9007199254740992", BARE_INT),
    ("9999999999999999", BARE_INT),
    ("10000000000000000", BARE_INT),
    ("[9007199254740992, 1.5]", BARE_INT),
    ("[1.5, 9007199254740992]", FLOAT),
    # the decoder
    ("[" * 129 + "]" * 129, DEPTH),
    ("[" * 128 + "{}" + "]" * 128, DEPTH),
    ('{"$int":"+5"}', INT_PAYLOAD),
    ('{"$int":""}', INT_PAYLOAD),
    ('{"$int":"-"}', INT_PAYLOAD),
    ('{"$int":" 5"}', INT_PAYLOAD),
    ('{"$int":"1e3"}', INT_PAYLOAD),
    ('{"$int":5}', INT_PAYLOAD),
    ('{"$str":2}', STR_PAYLOAD),
    ('{"$obj":[]}', OBJ_PAYLOAD),
    ('{"$arr":{}}', ARR_PAYLOAD),
    ('{"$bool":1}', BOOL_PAYLOAD),
    ('{"$null":false}', NULL_PAYLOAD),
    ('{"$null":null}', NULL_PAYLOAD),
    ('[1, {"$int": "x"}, {"$str": 2}]', INT_PAYLOAD),
    ('{"b": {"$str": 1}, "a": {"$int": "x"}}', INT_PAYLOAD),  # a comes first in key order
]


def raised_value_error(call) -> ValueError:
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value


@pytest.mark.parametrize(("document", "message"), DOCUMENT_ERRORS)
def test_document_errors_are_the_cores_messages(document, message):
    assert raised_value_error(lambda: canonical(document)).args == (message,)
    assert raised_value_error(lambda: digest(document, "run")).args == (message,)
    # the document is decoded before the profile is looked at
    assert raised_value_error(lambda: digest(document, "no-such-profile")).args == (message,)


# Refusals of the encoder: they come after the profile check.
ENCODER_ERRORS = [
    ('{"$nan":null}', NAN),
    ('{"$inf":"x"}', INFINITY),
    ('{"$float":[1,2]}', FLOAT),
    ('[{"$float":0}, {"$nan":0}]', FLOAT),
    ('{"b":{"$nan":0},"a":{"$inf":0}}', INFINITY),  # a first in sorted order
    ('[{"digest":{"$nan":0}}]', NAN),  # only the root object's own member is left out
]


@pytest.mark.parametrize(("document", "message"), ENCODER_ERRORS)
def test_encoder_errors(document, message):
    assert raised_value_error(lambda: canonical(document)).args == (message,)
    for profile in PROFILES:
        assert raised_value_error(partial(digest, document, profile)).args == (message,)
    assert raised_value_error(lambda: digest(document, "Run")).args == (UNKNOWN_PROFILE + "Run",)


UNKNOWN_PROFILES = [
    "Run",
    "RUN",
    "run ",
    "run\n",
    " run",
    "artifact-bytes",
    "semantic_content",
    "",
    "rün",
    "run\x00",
    "run\x00x",
    "\U0001f600",
]


@pytest.mark.parametrize("profile", UNKNOWN_PROFILES)
def test_unknown_profile_message_carries_the_profile_exactly(profile):
    error = raised_value_error(lambda: digest("{}", profile))
    assert error.args == (UNKNOWN_PROFILE + profile,)


def test_value_error_argument_is_an_exact_str():
    error = raised_value_error(lambda: canonical("1.5"))
    assert type(error.args[0]) is str
    assert error.__cause__ is None


# --- properties over generated plain JSON ------------------------------------


def no_tag_objects(value: dict) -> bool:
    # A one-member object keyed like "$..." might be read as a tagged form.
    return not (len(value) == 1 and next(iter(value)).startswith("$"))


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-MAX_EXACT, MAX_EXACT) | st.text(),
    lambda children: (
        st.lists(children, max_size=5)
        | st.dictionaries(st.text(max_size=6), children, max_size=5).filter(no_tag_objects)
    ),
    max_leaves=25,
)


def reversed_keys(value):
    """The same value with every object's members in reverse insertion order."""
    if isinstance(value, dict):
        return {k: reversed_keys(value[k]) for k in reversed(list(value))}
    if isinstance(value, list):
        return [reversed_keys(v) for v in value]
    return value


@settings(max_examples=300, deadline=None, database=None)
@given(json_values)
def test_canonical_bytes_match_the_model_whatever_the_spelling(value):
    expected = model_canonical(value)
    spellings = [
        json.dumps(value),
        json.dumps(value, ensure_ascii=False),
        json.dumps(reversed_keys(value), indent=2, ensure_ascii=False),
        json.dumps(reversed_keys(value), separators=(",", ":")),
    ]
    for text in spellings:
        assert canonical(text) == expected


@settings(max_examples=100, deadline=None, database=None)
@given(json_values, st.sampled_from(PROFILES))
def test_digest_matches_the_model(value, profile):
    hashed = value
    if isinstance(value, dict):
        hashed = {k: v for k, v in value.items() if k != "digest"}
    assert digest(json.dumps(value), profile) == expected_digest(profile, model_canonical(hashed))
