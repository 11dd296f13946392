"""No leaks: 100,000 calls along each success path and each kind of failure
leave the process's memory flat, both what the operating system counts (RSS:
memory the native code allocates) and what tracemalloc counts (Python
objects), and leave the reference counts of the arguments as they were.

The documents are a few hundred bytes, so that losing the canonical text or
the decoded value of every call would add tens of megabytes; even the
smallest loss per call (one message string) adds several megabytes over
100,000 calls, far above the noise allowed below.
"""

from __future__ import annotations

import ctypes
import gc
import sys
import tracemalloc

import pytest

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
    NAN,
    NULL_PAYLOAD,
    OBJ_PAYLOAD,
    STR_PAYLOAD,
    UNKNOWN_PROFILE,
    rss_bytes,
)

CALLS = 100_000
WARMUP = 2_000
# Allowed growth in bytes. Losing the smallest block per call (a message
# string, 32 bytes and the allocator's header) would be 4 MB and more.
HEAP_SLACK = 256 * 1024
RSS_SLACK = 2 * 1024 * 1024
TRACED_SLACK = 64 * 1024


def fresh(text: str) -> str:
    """An argument string of its own (not interned, not shared with other
    tests), so that its reference count means something."""
    return "".join(list(text))


# The C library's own count of the bytes it has handed out and not had back.
# RSS alone can hide a native leak: freed memory that is still resident (a
# previous test's tracemalloc tables, say) is handed out again without RSS
# moving, so RSS is read after malloc_trim and the heap count is read too.
_libc = ctypes.CDLL(None)


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


_libc.mallinfo2.restype = _MallInfo2


def heap_in_use() -> int:
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def settle() -> None:
    gc.collect()
    _libc.malloc_trim(0)


FILLER = ",".join(f'"k{i:03d}":[{i},"v\\u00e9{i}",true,null]' for i in range(12))
OBJ = "{" + FILLER + "}"
DUPLICATED = '{"x":1,' + FILLER + ',"x":2}'

# Each success path, named by what the call goes through: the one-pass
# direct path, or the exact path (reader, decoder, encoder) that takes over
# for duplicate keys, escaped tag keys, deep raw nesting and tagged roots.
SUCCESS = {
    "canonical-direct": (canonical, ('{"b":[1,2],' + FILLER + ',"a":"\\n"}',)),
    "canonical-direct-tags": (
        canonical,
        (
            '{"$obj":{"$arr":[{"$int":"-0012"},{"$str":"s"},'
            '{"$bool":true},{"$null":true}],' + FILLER + "}}",
        ),
    ),
    "canonical-exact-duplicate-key": (canonical, (DUPLICATED,)),
    "canonical-exact-escaped-tag": (
        canonical,
        ('[{"\\u0024int":"123456789012345678901234567890"},' + OBJ + "]",),
    ),
    "canonical-exact-deep": (canonical, ('{"$arr":[' * 70 + OBJ + "]}" * 70,)),
    "digest-direct": (digest, ('{"digest":"x",' + FILLER + "}", "run")),
    "digest-exact-tagged-root": (
        digest,
        ('{"$obj":{"digest":{"$nan":0},' + FILLER + "}}", "certificate"),
    ),
    "digest-exact-duplicate-key": (digest, (DUPLICATED, "semantic-content")),
}

# Each kind of failure: function, arguments, exception type, and the message
# that shows the call failed where it was meant to (None: the interpreter's).
FAILURES = {
    "gate-depth": (canonical, ("[" * 300,), ValueError, DEPTH),
    "gate-float": (canonical, ("{" + FILLER + ',"z":0.5}',), ValueError, FLOAT),
    "gate-bare-integer": (canonical, ("[9007199254740992," + OBJ + "]",), ValueError, BARE_INT),
    "reader-eof": (
        canonical,
        ("[1," + OBJ,),
        ValueError,
        f"invalid JSON: EOF while parsing a list at line 1 column {len(OBJ) + 3}",
    ),
    "reader-escape": (
        canonical,
        ("[" + OBJ + ',"\\uD800\\u0041"]',),
        ValueError,
        f"invalid JSON: lone leading surrogate in hex escape at line 1 column {len(OBJ) + 15}",
    ),
    "reader-trailing": (
        canonical,
        (OBJ + " x",),
        ValueError,
        f"invalid JSON: trailing characters at line 1 column {len(OBJ) + 2}",
    ),
    "decoder-depth": (canonical, ("[" * 200 + "]" * 200,), ValueError, DEPTH),
    "decoder-int-payload": (
        canonical,
        ('{"$arr":[' + OBJ + ',{"$int":"12x"}]}',),
        ValueError,
        INT_PAYLOAD,
    ),
    "decoder-str-payload": (canonical, ("[" + OBJ + ',{"$str":1}]',), ValueError, STR_PAYLOAD),
    "decoder-obj-payload": (canonical, ("[" + OBJ + ',{"$obj":[]}]',), ValueError, OBJ_PAYLOAD),
    "decoder-arr-payload": (canonical, ("[" + OBJ + ',{"$arr":{}}]',), ValueError, ARR_PAYLOAD),
    "decoder-bool-payload": (
        canonical,
        ("[" + OBJ + ',{"$bool":null}]',),
        ValueError,
        BOOL_PAYLOAD,
    ),
    "decoder-null-payload": (
        canonical,
        ("[" + OBJ + ',{"$null":false}]',),
        ValueError,
        NULL_PAYLOAD,
    ),
    "encoder-nan": (canonical, ("[" + OBJ + ',{"$nan":0}]',), ValueError, NAN),
    "encoder-infinity": (canonical, ("[" + OBJ + ',{"$inf":0}]',), ValueError, INFINITY),
    "encoder-float-digest": (digest, ("[" + OBJ + ',{"$float":0}]', "run"), ValueError, FLOAT),
    "digest-unknown-profile": (
        digest,
        (OBJ, "artifact-bytes"),
        ValueError,
        UNKNOWN_PROFILE + "artifact-bytes",
    ),
    "digest-document-first": (digest, ("[1.5]", "nope"), ValueError, FLOAT),
    "type-not-str": (
        canonical,
        (b"{}",),
        TypeError,
        "argument 'tagged_json': 'bytes' object cannot be converted to 'PyString'",
    ),
    "type-profile-not-str": (
        digest,
        ("{}", None),
        TypeError,
        "argument 'profile': 'NoneType' object cannot be converted to 'PyString'",
    ),
    "lone-surrogate-str": (canonical, ('["\ud800"]',), UnicodeEncodeError, None),
}


def measure(loop) -> tuple[int, int, int]:
    """Growth of RSS, of the C heap in use and of traced Python memory over
    one run of loop, after a warm-up run that lets caches and free lists
    settle."""
    loop(WARMUP)
    tracemalloc.start()
    try:
        settle()
        rss0, heap0, (traced0, _) = rss_bytes(), heap_in_use(), tracemalloc.get_traced_memory()
        loop(CALLS)
        settle()
        rss1, heap1, (traced1, _) = rss_bytes(), heap_in_use(), tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return rss1 - rss0, heap1 - heap0, traced1 - traced0


def assert_flat(rss: int, heap: int, traced: int) -> None:
    assert heap < HEAP_SLACK, f"C heap in use grew by {heap} bytes over {CALLS} calls"
    assert rss < RSS_SLACK, f"RSS grew by {rss} bytes over {CALLS} calls"
    assert traced < TRACED_SLACK, f"Python objects grew by {traced} bytes over {CALLS} calls"


@pytest.mark.parametrize("name", sorted(SUCCESS))
def test_success_path_keeps_memory_flat(name):
    fn, raw = SUCCESS[name]
    args = [fresh(a) for a in raw]
    first = fn(*args)  # the path works at all
    counts = [sys.getrefcount(a) for a in args]

    def loop(n):
        for _ in range(n):
            result = fn(*args)
        # A result must be owned by the caller alone: the local name and
        # getrefcount's own argument.
        assert sys.getrefcount(result) == 2
        assert result == first

    growth = measure(loop)
    assert [sys.getrefcount(a) for a in args] == counts
    assert_flat(*growth)


@pytest.mark.parametrize("name", sorted(FAILURES))
def test_failure_path_keeps_memory_flat(name):
    fn, raw, exc_type, message = FAILURES[name]
    args = [fresh(a) if isinstance(a, str) else a for a in raw]
    with pytest.raises(exc_type) as info:
        fn(*args)
    if message is not None:
        assert info.value.args == (message,)
    first_message = str(info.value)
    counts = [sys.getrefcount(a) for a in args]

    def loop(n):
        caught = None
        for _ in range(n):
            try:
                fn(*args)
            except exc_type as e:
                caught = e
        assert type(caught) is exc_type and str(caught) == first_message

    growth = measure(loop)
    assert [sys.getrefcount(a) for a in args] == counts
    assert_flat(*growth)
