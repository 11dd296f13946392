"""Generated benchmark documents.

Every document is tagged JSON that quorl_core accepts and that is also plain
JSON, so every peer can load it. Each builder is deterministic (a fixed seed
per document), so a subprocess that rebuilds a document by name gets the same
text as the process that timed it.
"""

from __future__ import annotations

import random
from collections.abc import Callable
from dataclasses import dataclass

MAX_SAFE = 2**53 - 1  # largest bare integer the dialect accepts

KB = 1_000
MB = 1_000_000


@dataclass(frozen=True)
class Generated:
    name: str
    what: str
    build: Callable[[], str | list[str]]  # one document, or many small ones
    group: str  # "generated" or "scale"
    huge: bool = False  # 100 MB: fewer rounds, slow peers skipped


# --- many small records -----------------------------------------------------

_FIRST = ["ana", "bo", "chen", "dara", "eli", "femi", "gus", "hana", "ivo", "jo"]
_ROLES = ["admin", "dev", "ops", "qa", "viewer"]


def small_records(count: int = 10_000) -> list[str]:
    """`count` distinct records of about 100 bytes, keys not in sorted order."""
    rng = random.Random(1)
    out = []
    for i in range(count):
        name = f"{rng.choice(_FIRST)}{i}"
        roles = ",".join(f'"{r}"' for r in rng.sample(_ROLES, rng.randint(1, 2)))
        out.append(
            f'{{"id":{100000 + i},"user":"{name}","mail":"{name}@example.org",'
            f'"active":{"true" if rng.random() < 0.5 else "false"},"roles":[{roles}],'
            f'"score":{rng.randint(-5000, 5000)}}}'
        )
    return out


# --- string-heavy text --------------------------------------------------------

# Pieces as they appear in the JSON text: escapes of every kind, raw
# non-ASCII (2, 3 and 4 UTF-8 bytes), escaped surrogate pairs.
_STRING_PIECES = [
    "plain ascii words ",
    'quote \\" and backslash \\\\ ',
    "line\\nbreak\\ttab\\r\\b\\f ",
    "\\u0001\\u001f controls ",
    "\\u00e9t\\u00e9 \\u65e5\\u672c ",
    "\\ud83d\\ude00 escaped pair ",
    "slash \\/ ",
    "été déjà vu ",
    "Grüße aus Köln ",
    "日本語のテキスト ",
    "Ελληνικά κείμενα ",
    "emoji 😀🎉 ",
    "mixed é\\u00e9é ",
]


def string_heavy(size: int = 1 * MB) -> str:
    """An object of long strings built from escapes and non-ASCII text."""
    rng = random.Random(2)
    parts = []
    total = 0
    i = 0
    while total < size:
        value = "".join(rng.choice(_STRING_PIECES) for _ in range(rng.randint(4, 24)))
        member = f'"s{i}":"{value}"'
        parts.append(member)
        total += len(member.encode()) + 1
        i += 1
    rng.shuffle(parts)
    return "{" + ",".join(parts) + "}"


# --- integer-heavy arrays -----------------------------------------------------


def integer_heavy(size: int = 1 * MB) -> str:
    """Arrays of bare integers of every magnitude up to +/-(2^53 - 1)."""
    rng = random.Random(3)
    rows = []
    total = 0
    while total < size:
        row = []
        for _ in range(64):
            digits = rng.randint(1, 16)
            value = rng.randint(0, min(10**digits - 1, MAX_SAFE))
            row.append(str(-value if rng.random() < 0.3 else value))
        text = "[" + ",".join(row) + "]"
        rows.append(text)
        total += len(text) + 1
    return "[" + ",".join(rows) + "]"


# --- one wide object ------------------------------------------------------------


def wide_object(keys: int = 100_000) -> str:
    """One object of `keys` members in random order (the sort dominates)."""
    rng = random.Random(4)
    names = [f"key{rng.getrandbits(40):010x}{i}" for i in range(keys)]
    rng.shuffle(names)
    return "{" + ",".join(f'"{k}":{rng.randint(0, 10**6)}' for k in names) + "}"


# --- nesting at the limit -----------------------------------------------------


def deep_nesting(size: int = 1 * MB, depth: int = 128) -> str:
    """An array of chains of containers, each chain reaching `depth` in total.

    The root array is the first container, so each chain adds depth - 1
    more, alternating objects and arrays.
    """
    rng = random.Random(5)
    chains = []
    total = 0
    while total < size:
        opens = []
        closes = []
        for level in range(depth - 1):
            if level % 2 == 0:
                opens.append(f'{{"k{rng.randint(0, 9)}":')
                closes.append("}")
            else:
                opens.append("[")
                closes.append("]")
        chain = "".join(opens) + str(rng.randint(0, 999)) + "".join(reversed(closes))
        chains.append(chain)
        total += len(chain) + 1
    return "[" + ",".join(chains) + "]"


# --- huge integers ------------------------------------------------------------


def big_ints(digits: int = 100_000, count: int = 10) -> str:
    """`count` "$int" tags, each holding an integer of `digits` decimal digits."""
    rng = random.Random(6)
    tags = []
    for i in range(count):
        body = str(rng.randint(1, 9)) + "".join(rng.choices("0123456789", k=digits - 1))
        sign = "-" if i % 2 else ""
        tags.append(f'{{"$int":"{sign}{body}"}}')
    return "[" + ",".join(tags) + "]"


# --- one shape at three sizes -------------------------------------------------

_WORDS = ["alpha", "beta", "gamma", "delta", "épsilon", "zeta", "ηta", "theta", "日本", "kappa"]


def _catalog_record(rng: random.Random, i: int) -> str:
    words = " ".join(rng.choice(_WORDS) for _ in range(rng.randint(2, 8)))
    tags = ",".join(f'"{rng.choice(_WORDS)}"' for _ in range(rng.randint(0, 4)))
    return (
        f'{{"sku":"SKU-{i:08d}","title":"{words}","price_cents":{rng.randint(1, 10**7)},'
        f'"stock":{rng.randint(0, 5000)},"tags":[{tags}],'
        f'"dims":{{"w":{rng.randint(1, 999)},"h":{rng.randint(1, 999)},"d":{rng.randint(1, 999)}}},'
        f'"active":{"true" if rng.random() < 0.8 else "false"},"note":null}}'
    )


def catalog(size: int) -> str:
    """An array of product records, grown until it reaches `size` bytes of UTF-8."""
    rng = random.Random(7)
    records = []
    total = 2
    i = 0
    while total < size:
        record = _catalog_record(rng, i)
        records.append(record)
        total += len(record.encode()) + 1
        i += 1
    return "[" + ",".join(records) + "]"


def generated(include_100mb: bool = True) -> list[Generated]:
    docs = [
        Generated(
            "small-records",
            "10,000 distinct records of ~100 B, one call each",
            small_records,
            "generated",
        ),
        Generated("strings-1MB", "strings with escapes and non-ASCII", string_heavy, "generated"),
        Generated("integers-1MB", "arrays of bare integers", integer_heavy, "generated"),
        Generated(
            "keys-100k", "one object of 100,000 keys in random order", wide_object, "generated"
        ),
        Generated("nesting-128", "chains of containers 128 deep", deep_nesting, "generated"),
        Generated("int-100k-digits", "10 $int tags of 100,000 digits", big_ints, "generated"),
        Generated("catalog-1KB", "product records, 1 KB", lambda: catalog(1 * KB), "scale"),
        Generated("catalog-1MB", "product records, 1 MB", lambda: catalog(1 * MB), "scale"),
    ]
    if include_100mb:
        docs.append(
            Generated(
                "catalog-100MB",
                "product records, 100 MB",
                lambda: catalog(100 * MB),
                "scale",
                huge=True,
            )
        )
    return docs


def by_name(name: str) -> Generated:
    for doc in generated(include_100mb=True):
        if doc.name == name:
            return doc
    raise KeyError(name)
