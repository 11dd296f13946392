"""Shared expectations for the quorl_core tests: the fixed message texts, the
digest profiles, and a small independent model of the canonical form."""

import hashlib
import os

PROFILES = ("run", "certificate", "artifact-byte", "semantic-content")

DEPTH = "nesting depth exceeds the maximum of 128"
FLOAT = "floats are forbidden in canonical content; pre-represent as int or string"
BARE_INT = "bare JSON integer beyond +/-(2^53 - 1): use a $int tag"
INT_PAYLOAD = "invalid $int payload: expected optional '-' then ASCII digits"
STR_PAYLOAD = "invalid $str payload: expected a JSON string"
OBJ_PAYLOAD = "invalid $obj payload: expected a JSON object"
ARR_PAYLOAD = "invalid $arr payload: expected a JSON array"
BOOL_PAYLOAD = "invalid $bool payload: expected a JSON boolean"
NULL_PAYLOAD = "invalid $null payload: expected true"
NAN = "NaN is forbidden in canonical content"
INFINITY = "Infinity is forbidden in canonical content"
UNKNOWN_PROFILE = "unknown digest profile: "

# Guards against a mistyped constant: the documented byte lengths.
for _text, _length in [
    (DEPTH, 40),
    (FLOAT, 73),
    (BARE_INT, 54),
    (INT_PAYLOAD, 61),
    (STR_PAYLOAD, 44),
    (OBJ_PAYLOAD, 44),
    (ARR_PAYLOAD, 43),
    (BOOL_PAYLOAD, 46),
    (NULL_PAYLOAD, 36),
    (NAN, 37),
    (INFINITY, 42),
    (UNKNOWN_PROFILE, 24),
]:
    assert len(_text.encode()) == _length, _text

MAX_EXACT = 2**53 - 1


def expected_digest(profile: str, canonical: bytes) -> str:
    """SHA-256 of the domain line naming the profile, then the canonical bytes."""
    domain = b"spec-quorl:v2:" + profile.encode() + b"\n"
    return hashlib.sha256(domain + canonical).hexdigest()


def _string_form(text: str) -> bytes:
    out = ['"']
    for ch in text:
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out).encode("utf-8")


def model_canonical(value: object) -> bytes:
    """Canonical bytes of a plain (untagged) JSON value, written from the rules
    of the format: compact, keys in code-point order, three kinds of escape."""
    if value is None:
        return b"null"
    if value is True:
        return b"true"
    if value is False:
        return b"false"
    if isinstance(value, int):
        return str(value).encode()
    if isinstance(value, str):
        return _string_form(value)
    if isinstance(value, list):
        return b"[" + b",".join(model_canonical(v) for v in value) + b"]"
    if isinstance(value, dict):
        # Python compares str by code point, which is UTF-8 byte order.
        members = [_string_form(k) + b":" + model_canonical(value[k]) for k in sorted(value)]
        return b"{" + b",".join(members) + b"}"
    raise TypeError(f"no canonical model for {type(value).__name__}")


# Code that imports the interpreter's private sub-interpreter module as
# `interpreters` (3.13: _interpreters, 3.12: _xxsubinterpreters) and defines
# create(legacy), which makes a sub-interpreter that shares the main lock
# (legacy) or has its own.
SUBINTERPRETERS = """
try:
    import _interpreters as interpreters
    def create(legacy):
        return interpreters.create(interpreters.new_config("legacy" if legacy else "isolated"))
except ImportError:
    import _xxsubinterpreters as interpreters
    def create(legacy):
        return interpreters.create(isolated=not legacy)
"""


def rss_bytes() -> int:
    """Resident anonymous memory: where a leak shows. Pages of files mapped
    in (the interpreter's and the module's code) come and go with the
    machine's other work, and are left out."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    with open("/proc/self/statm") as f:  # a kernel before 4.5
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
