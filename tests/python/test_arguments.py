"""Argument binding and conversion of the two functions, as callers meet them."""

import pathlib

import pytest

from quorl_core import canonical_bytes_from_json as canonical
from quorl_core import digest_from_json as digest

DOC = '{"b": [1, 2], "a": null}'
DOC_BYTES = b'{"a":null,"b":[1,2]}'


# --- accepted spellings -------------------------------------------------------

CANONICAL_CALLS = [
    pytest.param((DOC,), {}, id="positional"),
    pytest.param((), {"tagged_json": DOC}, id="keyword"),
]

DIGEST_CALLS = [
    pytest.param((DOC, "run"), {}, id="positional"),
    pytest.param((DOC,), {"profile": "run"}, id="mixed"),
    pytest.param((), {"tagged_json": DOC, "profile": "run"}, id="keywords-in-order"),
    pytest.param((), {"profile": "run", "tagged_json": DOC}, id="keywords-reversed"),
]


@pytest.mark.parametrize(("args", "kwargs"), CANONICAL_CALLS)
def test_canonical_accepts_every_spelling(args, kwargs):
    assert canonical(*args, **kwargs) == DOC_BYTES


@pytest.mark.parametrize(("args", "kwargs"), DIGEST_CALLS)
def test_digest_accepts_every_spelling(args, kwargs):
    # The same call spelled positionally is the reference for every spelling.
    assert digest(*args, **kwargs) == digest(DOC, "run")
    assert digest(*args, **kwargs) != digest(DOC, "certificate")


# --- binding errors -----------------------------------------------------------

C = "canonical_bytes_from_json()"
D = "digest_from_json()"

BINDING_ERRORS = [
    # missing parameters
    pytest.param(
        canonical,
        (),
        {},
        f"{C} missing 1 required positional argument: 'tagged_json'",
        id="canonical-none",
    ),
    pytest.param(
        digest,
        (),
        {},
        f"{D} missing 2 required positional arguments: 'tagged_json' and 'profile'",
        id="digest-none",
    ),
    pytest.param(
        digest,
        (DOC,),
        {},
        f"{D} missing 1 required positional argument: 'profile'",
        id="digest-no-profile",
    ),
    pytest.param(
        digest,
        (),
        {"profile": "run"},
        f"{D} missing 1 required positional argument: 'tagged_json'",
        id="digest-profile-only",
    ),
    # too many positional arguments ("arguments" stays plural)
    pytest.param(
        canonical,
        (DOC, "run"),
        {},
        f"{C} takes 1 positional arguments but 2 were given",
        id="canonical-two",
    ),
    pytest.param(
        canonical,
        (DOC, DOC, DOC),
        {},
        f"{C} takes 1 positional arguments but 3 were given",
        id="canonical-three",
    ),
    pytest.param(
        digest,
        (DOC, "run", "run"),
        {},
        f"{D} takes 2 positional arguments but 3 were given",
        id="digest-three",
    ),
    # the positional count is tested before keywords and before types
    pytest.param(
        canonical,
        (DOC, DOC),
        {"x": 1},
        f"{C} takes 1 positional arguments but 2 were given",
        id="too-many-beats-unexpected",
    ),
    pytest.param(
        canonical,
        (b"{}", None),
        {},
        f"{C} takes 1 positional arguments but 2 were given",
        id="too-many-beats-types",
    ),
    # one parameter filled twice
    pytest.param(
        canonical,
        (DOC,),
        {"tagged_json": DOC},
        f"{C} got multiple values for argument 'tagged_json'",
        id="canonical-twice",
    ),
    pytest.param(
        digest,
        (DOC, "run"),
        {"profile": "run"},
        f"{D} got multiple values for argument 'profile'",
        id="digest-profile-twice",
    ),
    pytest.param(
        digest,
        (DOC,),
        {"tagged_json": DOC},
        f"{D} got multiple values for argument 'tagged_json'",
        id="twice-beats-missing",
    ),
    # unknown keywords, reported as spelled
    pytest.param(
        canonical,
        (),
        {"x": DOC},
        f"{C} got an unexpected keyword argument 'x'",
        id="unexpected-beats-missing",
    ),
    pytest.param(
        canonical,
        (DOC,),
        {"x": 1},
        f"{C} got an unexpected keyword argument 'x'",
        id="canonical-extra",
    ),
    pytest.param(
        canonical,
        (),
        {"Tagged_json": DOC},
        f"{C} got an unexpected keyword argument 'Tagged_json'",
        id="case-sensitive",
    ),
    pytest.param(
        canonical,
        (),
        {"tagged_json\x00": DOC},
        f"{C} got an unexpected keyword argument 'tagged_json\x00'",
        id="embedded-nul",
    ),
    pytest.param(
        canonical,
        (),
        {"tagged_jsoné": DOC},
        f"{C} got an unexpected keyword argument 'tagged_jsoné'",
        id="non-ascii",
    ),
    pytest.param(
        canonical,
        (),
        {"tagged_json": b"", "x": 1},
        f"{C} got an unexpected keyword argument 'x'",
        id="binding-before-types",
    ),
    # keywords are taken in the caller's order; the first bad one is reported
    pytest.param(
        digest,
        (DOC,),
        {"x": 1, "tagged_json": DOC},
        f"{D} got an unexpected keyword argument 'x'",
        id="unexpected-first",
    ),
    pytest.param(
        digest,
        (DOC,),
        {"tagged_json": DOC, "x": 1},
        f"{D} got multiple values for argument 'tagged_json'",
        id="twice-first",
    ),
    pytest.param(
        digest,
        (DOC,),
        {"profile": "run", "y": 1, "x": 1},
        f"{D} got an unexpected keyword argument 'y'",
        id="first-unexpected-only",
    ),
]


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


# --- conversion of the values -------------------------------------------------


class Outer:
    class Inner:
        pass


def conversion(parameter: str, type_name: str) -> str:
    return f"argument '{parameter}': '{type_name}' object cannot be converted to 'PyString'"


CONVERSION_ERRORS = [
    pytest.param(canonical, (b"{}",), {}, conversion("tagged_json", "bytes"), id="bytes"),
    pytest.param(
        canonical, (bytearray(b"{}"),), {}, conversion("tagged_json", "bytearray"), id="bytearray"
    ),
    pytest.param(
        canonical,
        (memoryview(b"{}"),),
        {},
        conversion("tagged_json", "memoryview"),
        id="memoryview",
    ),
    pytest.param(canonical, (None,), {}, conversion("tagged_json", "NoneType"), id="none"),
    pytest.param(canonical, (1,), {}, conversion("tagged_json", "int"), id="int"),
    pytest.param(canonical, (1.5,), {}, conversion("tagged_json", "float"), id="float"),
    pytest.param(canonical, ([DOC],), {}, conversion("tagged_json", "list"), id="list"),
    pytest.param(
        canonical,
        (pathlib.PurePosixPath("a"),),
        {},
        conversion("tagged_json", "PurePosixPath"),
        id="path",
    ),
    # the qualified name, not the bare one
    pytest.param(
        canonical, (Outer.Inner(),), {}, conversion("tagged_json", "Outer.Inner"), id="nested-class"
    ),
    pytest.param(
        canonical, (), {"tagged_json": 7}, conversion("tagged_json", "int"), id="by-keyword"
    ),
    pytest.param(digest, (DOC, None), {}, conversion("profile", "NoneType"), id="profile-none"),
    pytest.param(digest, (DOC, b"run"), {}, conversion("profile", "bytes"), id="profile-bytes"),
    pytest.param(
        digest,
        (),
        {"profile": 3, "tagged_json": DOC},
        conversion("profile", "int"),
        id="profile-by-keyword",
    ),
    # tagged_json is converted first and its error alone is reported
    pytest.param(digest, (None, None), {}, conversion("tagged_json", "NoneType"), id="both-wrong"),
    pytest.param(
        digest,
        (),
        {"profile": None, "tagged_json": b""},
        conversion("tagged_json", "bytes"),
        id="both-wrong-keywords-reversed",
    ),
    pytest.param(
        digest,
        (b"{}", "run\ud800"),
        {},
        conversion("tagged_json", "bytes"),
        id="type-error-before-profile-encoding",
    ),
]


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), CONVERSION_ERRORS)
def test_conversion_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_nested_local_class_is_named_by_qualified_name():
    class Local:
        pass

    with pytest.raises(TypeError) as info:
        canonical(Local())
    name = "test_nested_local_class_is_named_by_qualified_name.<locals>.Local"
    assert info.value.args == (conversion("tagged_json", name),)


# --- lone surrogates: the interpreter's own UnicodeEncodeError ------------------


def interpreter_error(text: str) -> UnicodeEncodeError:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        return error
    raise AssertionError(f"{text!r} encodes")


SURROGATE_CASES = [
    pytest.param(canonical, ("\ud800",), {}, "\ud800", id="lone-high"),
    pytest.param(canonical, ('"a\udfffb"',), {}, '"a\udfffb"', id="lone-low-in-string"),
    # a well-formed pair in Python is one code point, so only a reversed pair is lone
    pytest.param(canonical, ('["\udc00\ud800"]',), {}, '["\udc00\ud800"]', id="reversed-pair"),
    pytest.param(digest, ("\ud800", "run"), {}, "\ud800", id="digest-document"),
    pytest.param(digest, ("[]", "run\ud800"), {}, "run\ud800", id="digest-profile"),
    # the document is taken before the profile, whatever is wrong with the profile
    pytest.param(digest, ("\ud800", None), {}, "\ud800", id="document-before-profile-type"),
    pytest.param(digest, ("\ud800", "\udfff"), {}, "\ud800", id="document-before-profile"),
    # conversion of both arguments comes before any look at the document
    pytest.param(digest, ("[1.5", "\udfff"), {}, "\udfff", id="before-document-errors"),
]


@pytest.mark.parametrize(("function", "args", "kwargs", "bad_text"), SURROGATE_CASES)
def test_lone_surrogate_raises_interpreters_unicode_encode_error(function, args, kwargs, bad_text):
    with pytest.raises(UnicodeEncodeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is UnicodeEncodeError
    assert info.value.args == interpreter_error(bad_text).args
    assert str(info.value) == str(interpreter_error(bad_text))


def test_escaped_surrogate_in_document_is_a_json_error_not_an_encoding_error():
    # The six characters \ud800 are plain ASCII; the reader judges the escape.
    doc = '"\\ud800"'
    #             ^ column 8: the closing quotation mark breaks the pair
    with pytest.raises(ValueError) as info:
        canonical(doc)
    assert info.value.args == ("invalid JSON: unexpected end of hex escape at line 1 column 8",)


# --- str subclasses -----------------------------------------------------------


class Sneaky(str):
    """A str subclass whose Python-level behaviour disagrees with its value."""

    def __str__(self):
        return "[1.5]"

    def encode(self, *args, **kwargs):
        return b"[1.5]"

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


def test_str_subclass_document_is_used_by_its_value():
    assert canonical(Sneaky(DOC)) == DOC_BYTES
    assert type(canonical(Sneaky(DOC))) is bytes


def test_str_subclass_profile_is_used_by_its_value():
    assert digest(Sneaky(DOC), Sneaky("run")) == digest(DOC, "run")


def test_str_subclass_keyword_names_bind():
    assert canonical(**{Sneaky("tagged_json"): DOC}) == DOC_BYTES


def test_str_subclass_with_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        canonical(Sneaky("[\ud800]"))
