"""digest_from_json: the domain line, the four profiles and the root "digest"
member, checked against hashlib over the canonical bytes."""

import hashlib
import re

import pytest

from quorl_core import canonical_bytes_from_json as canonical
from quorl_core import digest_from_json as digest
from support import FLOAT, NAN, PROFILES, UNKNOWN_PROFILE, expected_digest

HEX64 = re.compile(r"[0-9a-f]{64}")

# Roots that are not objects: the digest covers exactly the canonical bytes.
NON_OBJECT_ROOTS = [
    "null",
    "true",
    "0",
    '"x"',
    "[]",
    "[1,2,3]",
    '[{"digest": 1, "b": 2, "a": 3}]',  # digest inside an item of a root array
    '{"$int": "99999999999999999999999"}',
    '{"$arr": [{"digest": 1}]}',
    '{"$str": "digest"}',
]


@pytest.mark.parametrize("profile", PROFILES)
@pytest.mark.parametrize("document", NON_OBJECT_ROOTS)
def test_non_object_root_is_hashed_as_its_canonical_bytes(document, profile):
    result = digest(document, profile)
    assert type(result) is str
    assert HEX64.fullmatch(result)
    assert result == expected_digest(profile, canonical(document))


# Object roots: the root's own "digest" members are left out, nothing else.
OBJECT_ROOTS = [
    # (document, the canonical bytes that are hashed)
    ('{"b": 2, "digest": "anything", "a": [true, null]}', b'{"a":[true,null],"b":2}'),
    ('{"digest": 1}', b"{}"),
    ("{}", b"{}"),
    ('{"digest": {"$nan": 0}, "a": 1}', b'{"a":1}'),  # never encoded, so never refused
    ('{"digest": {"$float": 0}}', b"{}"),
    ('{"x": {"digest": 1}}', b'{"x":{"digest":1}}'),  # nested: hashed with the rest
    ('{"Digest": 1, "digest ": 2}', b'{"Digest":1,"digest ":2}'),
    ('{"digest": 1, "digest": 2, "a": 0}', b'{"a":0}'),
    # a root written in the tagged object form is an object too
    ('{"$obj": {"digest": 1, "a": 2}}', b'{"a":2}'),
    ('{"$obj": {"digest": 1}}', b"{}"),
]


@pytest.mark.parametrize("profile", PROFILES)
@pytest.mark.parametrize(("document", "hashed"), OBJECT_ROOTS)
def test_object_root_leaves_out_its_digest_member(document, hashed, profile):
    assert digest(document, profile) == expected_digest(profile, hashed)


def test_worked_example_certificate():
    # 26-byte domain line, then the 23 canonical bytes without the digest member.
    document = '{"b": 2, "digest": [1, 2, 3], "a": [true, null]}'
    hashed = b"spec-quorl:v2:certificate\n" + b'{"a":[true,null],"b":2}'
    assert len(hashed) == 26 + 23
    assert digest(document, "certificate") == hashlib.sha256(hashed).hexdigest()


def test_digest_member_value_changes_nothing_while_canonical_bytes_refuse_it():
    assert digest('{"digest": {"$nan": 0}, "a": 1}', "run") == digest('{"a": 1}', "run")
    with pytest.raises(ValueError) as info:
        canonical('{"digest": {"$nan": 0}, "a": 1}')
    assert info.value.args == (NAN,)


@pytest.mark.parametrize("document", ["null", "[]", "{}", '{"a": 1}', '{"digest": 1}'])
def test_four_profiles_give_four_digests(document):
    digests = {digest(document, profile) for profile in PROFILES}
    assert len(digests) == 4
    # never the plain SHA-256 of the canonical bytes
    plain = hashlib.sha256(canonical(document)).hexdigest()
    assert plain not in digests


def test_profile_is_checked_after_the_document_and_before_the_encoder():
    float_document = '{"a": {"$float": 0}}'
    with pytest.raises(ValueError) as info:
        digest(float_document, "nope")
    assert info.value.args == (UNKNOWN_PROFILE + "nope",)
    with pytest.raises(ValueError) as info:
        digest(float_document, "run")
    assert info.value.args == (FLOAT,)
    with pytest.raises(ValueError) as info:
        digest("[1.5", "nope")
    assert info.value.args == (FLOAT,)
