"""Python objects in: quorl.canonical_bytes and quorl.digest against orjson.

For each corpus document loaded with json.loads, times in one process,
interleaved round by round, and reports medians:

- quorl.canonical_bytes(obj) vs orjson.dumps(obj, option=OPT_SORT_KEYS)
- quorl.digest(obj, "run") vs hashlib.sha256(orjson.dumps(...)).hexdigest()

A ratio above 1 means quorl is faster. The peers' bytes are not canonical
(orjson escapes control characters differently); they set the pace only.
Times are wall-clock time: a digest may hash on a second thread, whose
work the calling thread's CPU time would leave out.

    python bench/bench_objects.py [--corpus DIR] [--rounds N]
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import statistics
import time
from pathlib import Path

import orjson

import quorl
from corpus_dir import require_corpus


def _time_once(fn, obj, repeat: int) -> float:
    start = time.perf_counter()
    for _ in range(repeat):
        fn(obj)
    return (time.perf_counter() - start) / repeat


def _contenders():
    def q_bytes(o):
        return quorl.canonical_bytes(o, floats="str")

    def q_digest(o):
        return quorl.digest(o, "run", floats="str")

    def o_bytes(o):
        return orjson.dumps(o, option=orjson.OPT_SORT_KEYS)

    def o_digest(o):
        return hashlib.sha256(orjson.dumps(o, option=orjson.OPT_SORT_KEYS)).hexdigest()

    return {
        "quorl bytes": q_bytes,
        "orjson": o_bytes,
        "quorl digest": q_digest,
        "orjson+sha256": o_digest,
    }


def bench_file(path: Path, rounds: int, budget: float) -> dict[str, float]:
    obj = json.loads(path.read_bytes())
    contenders = _contenders()
    # Calls per timing so that one timing takes about `budget` seconds.
    probe = min(_time_once(fn, obj, 1) for fn in contenders.values())
    repeat = max(1, int(budget / max(probe, 1e-7)))
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    gc.disable()
    try:
        for _ in range(rounds):
            for name, fn in contenders.items():
                samples[name].append(_time_once(fn, obj, repeat))
    finally:
        gc.enable()
    return {name: statistics.median(times) for name, times in samples.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--corpus",
        type=Path,
        default=None,
        help="folder of documents (default: the shared corpus, else bench/corpus)",
    )
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--budget", type=float, default=0.05, help="seconds per timing")
    args = parser.parse_args()

    files = sorted(require_corpus(args.corpus).glob("*.json"))
    print(
        "Documents are loaded with json.loads; floats='str' lets quorl take any floats "
        "(orjson writes them as numbers)."
    )
    header = (
        f"{'document':<22} {'KB':>7} {'quorl bytes':>12} {'orjson':>10} {'ratio':>6} "
        f"{'quorl digest':>13} {'orjson+sha':>11} {'ratio':>6}"
    )
    print(header)
    print("-" * len(header))
    worst = {"bytes": float("inf"), "digest": float("inf")}
    for path in files:
        t = bench_file(path, args.rounds, args.budget)
        kb = path.stat().st_size / 1024
        rb = t["orjson"] / t["quorl bytes"]
        rd = t["orjson+sha256"] / t["quorl digest"]
        worst["bytes"] = min(worst["bytes"], rb)
        worst["digest"] = min(worst["digest"], rd)
        print(
            f"{path.name:<22} {kb:>7.0f} {t['quorl bytes'] * 1e3:>10.3f}ms "
            f"{t['orjson'] * 1e3:>8.3f}ms {rb:>5.2f}x {t['quorl digest'] * 1e3:>11.3f}ms "
            f"{t['orjson+sha256'] * 1e3:>9.3f}ms {rd:>5.2f}x"
        )
    print(
        f"lowest ratio: bytes {worst['bytes']:.2f}x, digest {worst['digest']:.2f}x "
        "(above 1: quorl faster)"
    )


if __name__ == "__main__":
    main()
