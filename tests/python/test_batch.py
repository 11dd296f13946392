"""The JSON Lines batch functions of quorl._native, held against
quorl_core's single-document functions called line by line (the lines split
and decoded here, in Python): every record's result, refusal, location and
line number, for every kind of buffer and numbering."""

from __future__ import annotations

import gc
import json
import random
import sys
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import pytest

import quorl
import quorl_core
from quorl import _native
from support import FLOAT, UNKNOWN_PROFILE, rss_bytes

Refusal = tuple  # (record_line, message, line, column, offset)


def reference(data: bytes, first_line: int, profile: str | None):
    """Per record: (line, result, refusal) from quorl_core, one call a line."""
    records = []
    for index, raw in enumerate(data.split(b"\n")):
        if raw.strip(b" \t\r") == b"":
            continue
        number = first_line + index
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as bad:
            at = bad.start
            records.append((number, None, (number, f"invalid UTF-8 at byte {at}", 1, at + 1, at)))
            continue
        try:
            if profile is None:
                result = quorl_core.canonical_bytes_from_json(text)
            else:
                result = quorl_core.digest_from_json(text, profile)
        except ValueError as refused:
            # quorl_core gives the message; where it lies comes from the
            # package's own single-document path.
            with pytest.raises(quorl.RefusedError) as located:
                quorl.canonical_bytes_from_json(raw)
            where = located.value
            assert where.message == str(refused)
            records.append(
                (number, None, (number, str(refused), where.line, where.column, where.offset))
            )
            continue
        records.append((number, result, None))
    return records


def make_lines(seed: int, count: int, *, bad_utf8: bool = True) -> bytes:
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        kind = rng.randrange(12)
        if kind == 0:
            lines.append(rng.choice(["", " ", "\t \r", "\r"]).encode())
        elif kind == 1:
            lines.append(b'{"price": %d.5}' % rng.randrange(100))
        elif kind == 2 and bad_utf8:
            good = json.dumps({"name": "caf\u00e9 " * rng.randrange(3)}).encode()
            cut = rng.randrange(len(good))
            lines.append(
                good[:cut] + rng.choice([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\x80"]) + good[cut:]
            )
        elif kind == 3:
            lines.append(b"[" * 130 + b"]" * 130)
        elif kind == 4:
            lines.append(b'{"a": }')
        else:
            record = {
                "id": i,
                "name": rng.choice(["plain", "caf\u00e9", "\u65e5\u672c", "\U0001f600", 'q"\\\n']),
                "digest": "left out at the root",
                "tags": [rng.randrange(-(10**6), 10**6), None, True, {"z": 1, "a": [2]}],
                "big": {"$int": str(rng.randrange(10**30))},
            }
            text = json.dumps(
                record,
                ensure_ascii=rng.random() < 0.5,
                indent=None,
                separators=rng.choice([(",", ":"), (", ", ": ")]),
            )
            lines.append(text.encode() + (b"\r" if rng.random() < 0.2 else b""))
    return b"\n".join(lines) + (b"\n" if seed % 2 else b"")


SMALL = make_lines(1, 300)
LARGE = make_lines(2, 4000)  # over the size at which the lock is released
assert len(LARGE) >= _native.RELEASE_LOCK_BYTES
CLEAN = make_lines(3, 300, bad_utf8=False)

DATASETS = [
    pytest.param(SMALL, id="small"),
    pytest.param(LARGE, id="large"),
    pytest.param(b"", id="empty"),
    pytest.param(b"\n\n \r\n", id="only-blank"),
    pytest.param(b'{"b": 1, "a": 2}', id="one-record-no-newline"),
    pytest.param(b"1\r\n\r\n2\r\n", id="crlf"),
]
BUFFERS = [
    pytest.param(bytes, id="bytes"),
    pytest.param(bytearray, id="bytearray"),
    pytest.param(lambda b: memoryview(bytearray(b)), id="memoryview"),
]


@pytest.mark.parametrize("data", DATASETS)
@pytest.mark.parametrize("wrap", BUFFERS)
@pytest.mark.parametrize("first_line", [1, 977, 2**40])
def test_digest_lines_matches_quorl_core(data, wrap, first_line):
    expected = reference(data, first_line, "certificate")
    out, refusals, records = _native.digest_lines(
        wrap(data), "certificate", name="d\u00e9.jsonl", first_line=first_line
    )
    assert records == len(expected)
    assert out == b"".join(
        f"{hex_}  d\u00e9.jsonl:{n}\n".encode() for n, hex_, _ in expected if hex_ is not None
    )
    assert refusals == [refusal for _, _, refusal in expected if refusal is not None]


@pytest.mark.parametrize("data", DATASETS)
@pytest.mark.parametrize("wrap", BUFFERS)
def test_canonical_lines_matches_quorl_core(data, wrap):
    expected = reference(data, 5, None)
    out, refusals, records = _native.canonical_lines(wrap(data), first_line=5)
    assert records == len(expected)
    assert out == b"".join(result + b"\n" for _, result, _ in expected if result is not None)
    assert refusals == [refusal for _, _, refusal in expected if refusal is not None]


def error_text(refusal) -> str:
    _, message, line, column, _ = refusal
    return message if line is None else f"line {line} column {column}: {message}"


@pytest.mark.parametrize("data", DATASETS)
@pytest.mark.parametrize("profile", [None, "semantic-content"])
def test_record_columns_match_quorl_core(data, profile):
    expected = reference(data, 3, profile)
    if profile is None:
        got = _native.canonical_records(memoryview(data), first_line=3)
    else:
        got = _native.digest_records(data, profile, first_line=3)
    assert got == (
        [n for n, _, _ in expected],
        [result for _, result, _ in expected],
        [None if refusal is None else error_text(refusal) for _, _, refusal in expected],
    )
    # The refusal text reads as RefusedError does.
    for (_, _, refusal), text in zip(expected, got[2], strict=True):
        if refusal is not None:
            assert text == str(
                quorl.RefusedError(
                    refusal[1], line=refusal[2], column=refusal[3], offset=refusal[4]
                )
            )


def test_str_data_reads_as_its_utf8():
    text = CLEAN.decode()
    assert _native.digest_lines(text, "run", name="x") == _native.digest_lines(
        CLEAN, "run", name="x"
    )
    assert _native.canonical_records(text) == _native.canonical_records(CLEAN)


def test_refusal_kinds_are_all_present_in_the_small_set():
    _, refusals, _ = _native.canonical_lines(SMALL)
    messages = {message for _, message, _, _, _ in refusals}
    assert FLOAT in messages
    assert any(m.startswith("invalid UTF-8 at byte ") for m in messages)
    assert any(m.startswith("invalid JSON: ") for m in messages)


def test_threads_get_the_same_results_with_the_lock_released():
    expected = _native.digest_lines(LARGE, "run", name="big")
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: _native.digest_lines(LARGE, "run", name="big"), range(8)))
    assert all(result == expected for result in results)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: _native.digest_lines(b"1", "run"), TypeError, "missing required argument 'name'"),
        (lambda: _native.digest_lines(b"1", "run", "n"), TypeError, "positional"),
        (lambda: _native.digest_lines(b"1", 3, name="n"), TypeError, "'profile' must be str"),
        (lambda: _native.digest_lines(b"1", "run", name=3), TypeError, "'name' must be str"),
        (lambda: _native.digest_records(7, "run"), TypeError, "bytes-like"),
        (lambda: _native.canonical_lines(b"1", line=1), TypeError, "unexpected keyword"),
        (lambda: _native.canonical_lines(b"1", first_line="1"), TypeError, "must be int"),
        (lambda: _native.canonical_lines(b"1", first_line=1.0), TypeError, "must be int"),
        (lambda: _native.canonical_lines(b"1", first_line=True), TypeError, "must be int"),
        (lambda: _native.canonical_records(b"1", first_line=0), ValueError, "at least 1"),
        (lambda: _native.canonical_records(b"1", first_line=-(2**70)), ValueError, "at least 1"),
        (lambda: _native.digest_records(b"1", "run", first_line=2**64), ValueError, "too large"),
        (
            lambda: _native.digest_records(b"1\n2", "run", first_line=2**64 - 4),
            ValueError,
            "too large",
        ),
        (
            lambda: _native.digest_lines(b"1", "nope", name="n"),
            quorl.RefusedError,
            UNKNOWN_PROFILE + "nope",
        ),
        (
            lambda: _native.digest_records(b"1.5\n", "nope"),
            quorl.RefusedError,
            UNKNOWN_PROFILE + "nope",
        ),
    ],
)
def test_bad_arguments(call, error, text):
    with pytest.raises(error, match=text.replace("$", r"\$").replace("(", r"\(")):
        call()


def test_largest_first_line_numbers_every_line():
    first = 2**64 - 100
    assert _native.canonical_records(b"1\n\n2", first_line=first)[0] == [first, first + 2]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_no_leak_over_many_calls():
    data = make_lines(4, 40)
    name = "".join(["leak", "-name"])
    profile = "".join(["r", "un"])
    counts = (sys.getrefcount(data), sys.getrefcount(name), sys.getrefcount(profile))

    def calls():
        _native.digest_lines(data, profile, name=name)
        _native.canonical_lines(bytearray(data))
        _native.digest_records(memoryview(data), profile)
        _native.canonical_records(data, first_line=9)
        with pytest.raises(quorl.RefusedError):
            _native.digest_records(data, "nope")

    for _ in range(500):
        calls()
    gc.collect()
    tracemalloc.start()
    rss = rss_bytes()
    traced = tracemalloc.get_traced_memory()[0]
    for _ in range(5000):
        calls()
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced
    tracemalloc.stop()
    # Each round makes ~10 KB of results; losing any of it would be ~50 MB.
    assert traced_growth < 256 * 1024
    assert rss_bytes() - rss < 4 * 1024 * 1024
    assert (sys.getrefcount(data), sys.getrefcount(name), sys.getrefcount(profile)) == counts


def _random_lines(seed: int) -> bytes:
    rng = random.Random(seed)
    pieces = [b"\n", b"\r\n", b'{"a":1}\n', b"x" * rng.randrange(300) + b"\n", b"\n" * 9, b"tail"]
    return b"".join(rng.choice(pieces) for _ in range(rng.randrange(80)))


@pytest.mark.parametrize("seed", range(40))
def test_line_ends_and_run_splitters_match_a_model(seed, tmp_path):
    """line_ends against bytes.rfind/count; the command's two ways of cutting
    input into runs of whole lines (from a stream, or read from a file run
    by run) give back the input, each run but the last ending in a newline,
    each numbered by the lines before it."""
    import io

    from quorl._cli import line_runs

    data = _random_lines(seed)
    for cut in {0, 1, len(data) // 3, len(data) - 1, len(data)}:
        piece = data[: max(cut, 0)]
        end = piece.rfind(b"\n") + 1
        assert _native.line_ends(piece) == (end, piece.count(b"\n", 0, end))
    path = tmp_path / "lines.jsonl"
    path.write_bytes(data)
    rng = random.Random(seed)
    chunk = rng.randrange(1, 200)

    def taken(runs):  # each run as (first line, bytes, line after it, offset)
        return [(r.first_line, bytes(r.data), r.end_line, r.offset) for r in runs]

    with open(path, "rb") as f:  # the size unknown, and known (the last runs shorter)
        from_file = [
            taken(line_runs.file_runs(f.fileno(), chunk, total)) for total in (0, len(data))
        ]
        # Started part way, at the start of a line (as check resumes a file).
        start = data.find(b"\n", len(data) // 2) + 1
        resumed = taken(
            line_runs.file_runs(
                f.fileno(), chunk, offset=start, line=data.count(b"\n", 0, start) + 1
            )
        )
    for reuse in (False, True):
        streamed = taken(line_runs.split_lines(io.BytesIO(data), chunk, reuse=reuse))
        for runs, offset in [(streamed, 0), *((r, 0) for r in from_file), (resumed, start)]:
            assert b"".join(run for _, run, _, _ in runs) == data[offset:]
            line = data.count(b"\n", 0, offset) + 1
            for first, run, end_line, at in runs:
                assert (first, at) == (line, offset) and run
                assert run.endswith(b"\n") or offset + len(run) == len(data)
                offset, line = offset + len(run), line + run.count(b"\n")
                assert end_line == line + (not run.endswith(b"\n"))
