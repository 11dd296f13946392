"""quorl over bytes against quorl_core over str, and threads.

    python bench/bench_bytes.py [--corpus DIR] [--quick]

1. For every corpus file: quorl.digest_from_json(bytes) and
   quorl.canonical_bytes_from_json(bytes) against quorl_core's functions on
   the already decoded str (its UTF-8 form cached, so quorl_core does no
   conversion): the ratio is what checking UTF-8 in place costs.
2. A large mostly non-ASCII document (92 MB; --quick: 9 MB), end to end
   from the file's bytes: quorl.digest_from_json(data) against
   quorl_core.digest_from_json(data.decode()).
3. Threads: documents of about 1 MB digested from bytes by 1 and by 2
   threads; the ratio of throughputs.
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time
from functools import partial
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import quorl  # noqa: E402
import quorl_core  # noqa: E402
from timing import interleaved  # noqa: E402

DEFAULT_CORPUS = BENCH.parent.parent / "shared" / "corpus"


def corpus_ratios(corpus: Path, quick: bool) -> None:
    print(f"{'document':<22} {'digest bytes/str':>17} {'canonical bytes/str':>20}")
    for path in sorted(corpus.glob("*.json")):
        data = path.read_bytes()
        text = data.decode()
        quorl_core.digest_from_json(text, "run")  # caches the str's UTF-8 form
        t = interleaved(
            {
                "q_digest": partial(quorl.digest_from_json, data, "run"),
                "c_digest": partial(quorl_core.digest_from_json, text, "run"),
                "q_bytes": partial(quorl.canonical_bytes_from_json, data),
                "c_bytes": partial(quorl_core.canonical_bytes_from_json, text),
            },
            rounds=3 if quick else 9,
            min_s=0.02 if quick else 0.1,
        )
        print(
            f"{path.name:<22} {t['c_digest'] / t['q_digest']:>16.3f}x "
            f"{t['c_bytes'] / t['q_bytes']:>19.3f}x"
        )


def non_ascii_document(size: int) -> bytes:
    record = (
        '{"名前":"山田太郎","city":"Zürich","note":"Ünïcödé — ☃ ∑ 😀","tags":["日本語",'
        '"русский","ελληνικά"],"n":12345}'
    )
    count = size // len(record.encode()) + 1
    return ("[" + ",".join([record] * count) + "]").encode()


def large_non_ascii(quick: bool) -> None:
    data = non_ascii_document((9 if quick else 92) * 1000 * 1000)
    best_bytes = best_decode = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        a = quorl.digest_from_json(data, "run")
        best_bytes = min(best_bytes, time.perf_counter() - start)
        start = time.perf_counter()
        b = quorl_core.digest_from_json(data.decode(), "run")
        best_decode = min(best_decode, time.perf_counter() - start)
        assert a == b
    mb = len(data) / 1e6
    print(f"\n{mb:.0f} MB non-ASCII document, end to end from bytes:")
    print(
        f"  quorl.digest_from_json(bytes)          {best_bytes:.3f} s ({mb / best_bytes:.0f} MB/s)"
    )
    print(
        "  decode, then quorl_core.digest_from_json "
        f"{best_decode:.3f} s ({mb / best_decode:.0f} MB/s)"
    )
    print(f"  ratio {best_decode / best_bytes:.2f}x")


def threads(quick: bool) -> None:
    docs = [non_ascii_document(1_000_000) for _ in range(4)]
    rounds = 4 if quick else 20

    def work():
        for _ in range(rounds):
            for d in docs:
                quorl.digest_from_json(d, "run")

    def run(n: int) -> float:
        workers = [threading.Thread(target=work) for _ in range(n)]
        start = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return n * rounds * sum(map(len, docs)) / (time.perf_counter() - start)

    one = max(run(1) for _ in range(3))
    two = max(run(2) for _ in range(3))
    print(
        f"\nthreads on {os.cpu_count()} cores, 1 MB documents from bytes: "
        f"1 thread {one / 1e6:.0f} MB/s, 2 threads {two / 1e6:.0f} MB/s, ratio {two / one:.2f}x"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.corpus.is_dir():
        corpus_ratios(args.corpus, args.quick)
    else:
        print(f"no corpus at {args.corpus}: run python bench/get_corpus.py")
    large_non_ascii(args.quick)
    threads(args.quick)


if __name__ == "__main__":
    main()
