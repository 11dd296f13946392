"""Documents for the column tests, and what each row must hold: the digest
or refusal text that quorl gives for that document alone."""

from __future__ import annotations

import random

import quorl

GOOD = [
    '{"id": %d, "name": "n", "tags": ["a", "b"]}',
    '{"z": %d, "a": {"$int": "123456789012345678901234567890"}, "s": "caf\\u00e9 \\"q\\""}',
    '  [%d, true, null, {"$str": "$int"}]\r\n',
    '{"digest": "old", "n": %d, "text": "Grüße ✓ %s"}',
    "%d",
]
BAD = [
    '{"x": %d.5}',
    '{"n": %d, "big": 9007199254740993}',
    '{"n": %d, "bad": ',
    '{"n": %d, "v": {"$nan": 1}}',
    "[" * 129 + "%d" + "]" * 129,
    "",
]


def make_documents(count: int, seed: int = 30) -> list[str | None]:
    """count documents: mostly good, one in ten refused, one in 25 null."""
    rng = random.Random(seed)
    docs: list[str | None] = []
    for i in range(count):
        roll = rng.random()
        if roll < 0.04:
            docs.append(None)
            continue
        shape = rng.choice(BAD if roll < 0.14 else GOOD)
        docs.append(shape.replace("%s", "x" * rng.randrange(30)).replace("%d", str(i)))
    return docs


def expected_row(
    doc: str | bytes | None, profile: str | None, **options: str
) -> tuple[object, str | None]:
    """(digest, error) for one document on its own: canonical bytes when
    profile is None, and both None for a null document."""
    if doc is None:
        return None, None
    try:
        if profile is None:
            return quorl.canonical_bytes_from_json(doc, **options), None
        return quorl.digest_from_json(doc, profile, **options), None
    except quorl.RefusedError as e:
        return None, str(e)


def assert_rows(
    got: list[tuple[object, str | None]], docs: list, profile: str | None, **options: str
) -> None:
    """Every row equals the per-document result; the first difference is shown."""
    assert len(got) == len(docs)
    for i, (row, doc) in enumerate(zip(got, docs, strict=True)):
        assert tuple(row) == expected_row(doc, profile, **options), f"row {i}: {doc!r}"
