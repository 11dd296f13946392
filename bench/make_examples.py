"""Writes examples/records.jsonl and examples/order.json (committed with the
repository; run again only to change them).

    python bench/make_examples.py [--out examples]

records.jsonl holds 300 small records in the tagged dialect, with one blank
line and exactly one record that is refused (a float). The same seed gives
the same files.
"""

from __future__ import annotations

import argparse
import json
import os
import random

SEED = 20261207
RECORDS = 300
BLANK_AFTER = 120  # a blank line follows this record
REFUSED_RECORD = 200  # this record carries a float, so it is refused

NAMES = ["Ada", "Grace", "Kateřina", "Émile", "Søren", "Zhang Wei", "Amara", "Jonas"]
ITEMS = ["bolt", "nut", "washer", "gear", "spring", "bearing", "shaft", "gasket"]


def record(rng: random.Random, number: int) -> dict:
    doc: dict = {
        "id": number,
        "customer": rng.choice(NAMES),
        "items": [
            {"sku": f"{rng.choice(ITEMS)}-{rng.randrange(1000):03d}", "qty": rng.randrange(1, 20)}
            for _ in range(rng.randrange(1, 4))
        ],
        "paid": rng.random() < 0.7,
        "cents": rng.randrange(100, 100_000),
    }
    if rng.random() < 0.2:
        doc["serial"] = {"$int": str(rng.randrange(10**20, 10**24))}
    if rng.random() < 0.1:
        doc["note"] = {"$str": "$int"}
    if number == REFUSED_RECORD:
        doc["weight_kg"] = 1.25
    keys = list(doc)
    rng.shuffle(keys)  # key order differs from record to record
    return {key: doc[key] for key in keys}


ORDER = """{
  "order": {"$int": "90071992547409931"},
  "placed": "2026-03-14T09:26:53Z",
  "customer": {"name": "Grace", "email": "grace@example.org"},
  "lines": [
    {"sku": "gear-042", "qty": 3, "cents": 1250},
    {"sku": "washer-007", "qty": 100, "cents": 4}
  ],
  "total_cents": 4150,
  "gift": false,
  "tags": {"$arr": []},
  "comment": "deliver \\"after 5pm\\"\\u00a0please"
}
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "examples"))
    args = parser.parse_args()
    rng = random.Random(SEED)
    lines = []
    for number in range(1, RECORDS + 1):
        lines.append(json.dumps(record(rng, number), ensure_ascii=False))
        if number == BLANK_AFTER:
            lines.append("")
    with open(os.path.join(args.out, "records.jsonl"), "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(args.out, "order.json"), "w", encoding="utf-8", newline="\n") as f:
        f.write(ORDER)


if __name__ == "__main__":
    main()
