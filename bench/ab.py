"""Two builds of quorl_core, one against the other, in one process.

    python bench/ab.py DIR_A DIR_B [--corpus DIR] [--function bytes|digest]
                       [--pairs 60] [FILE ...]

DIR_A and DIR_B each hold a built quorl_core extension (a build folder, or
a venv's site-packages). Both are loaded into this process under the same
name, and for each document they take turns in short bursts (about 0.4 MB
of input each), the order of the two flipped every other pair. What is
printed per document is the median, over the pairs, of A's time over B's
(above 1: B is faster) with the quartiles. Timing each build in its own
process, or one after the other, is misled on machines whose speed changes
from one stretch of seconds to the next; taking turns within a pair is not.

Both builds must give the same bytes (or digest) for every document; a
difference is reported and the script exits with status 1.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.machinery
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

from corpus_dir import require_corpus

BURST_BYTES = 400_000  # input per burst: long enough to time, short beside a stretch


def load_build(folder: Path, tag: str) -> ModuleType:
    """The quorl_core extension in folder, loaded apart from any other."""
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    found = [
        p for p in sorted(folder.glob("quorl_core*")) if any(p.name.endswith(s) for s in suffixes)
    ]
    if not found:
        sys.exit(f"ab.py: no quorl_core extension in {folder}")
    # Imported from its folder alone, then forgotten by name: the import
    # system keeps extensions apart by file, so the next folder's build is
    # loaded anew under the same name.
    sys.modules.pop("quorl_core", None)
    sys.path.insert(0, str(folder))
    try:
        module = importlib.import_module("quorl_core")
    finally:
        sys.path.remove(str(folder))
        sys.modules.pop("quorl_core", None)
    if Path(module.__file__ or "").resolve() != found[0].resolve():
        sys.exit(f"ab.py: {folder} gave {module.__file__}, not its own build")
    print(f"{tag}: {found[0]}")
    return module


def caller(module: ModuleType, function: str) -> Callable[[str], object]:
    if function == "bytes":
        return module.canonical_bytes_from_json
    digest = module.digest_from_json
    return lambda text: digest(text, "run")


def outcome(fn: Callable[[str], object], text: str) -> tuple[str, object]:
    """The result, or the refusal's type and message."""
    try:
        return "ok", fn(text)
    except Exception as error:  # noqa: BLE001 - any refusal is compared, not raised
        return "refused", f"{type(error).__name__}: {error}"


def burst(fn: Callable[[str], object], text: str, calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        fn(text)
    return time.perf_counter() - start


def compare(
    fa: Callable[[str], object], fb: Callable[[str], object], text: str, pairs: int
) -> list[float]:
    calls = max(1, BURST_BYTES // max(1, len(text.encode())))
    ratios = []
    for k in range(pairs):
        if k % 2 == 0:
            a = burst(fa, text, calls)
            b = burst(fb, text, calls)
        else:
            b = burst(fb, text, calls)
            a = burst(fa, text, calls)
        ratios.append(a / b)
    return ratios


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dir_a", type=Path)
    parser.add_argument("dir_b", type=Path)
    parser.add_argument(
        "files", type=Path, nargs="*", help="documents (default: every corpus document)"
    )
    parser.add_argument("--corpus", type=Path, default=None)
    parser.add_argument("--function", choices=("bytes", "digest"), default="bytes")
    parser.add_argument("--pairs", type=int, default=60)
    args = parser.parse_intermixed_args()
    files = args.files or sorted(require_corpus(args.corpus).glob("*.json"))
    fa = caller(load_build(args.dir_a, "A"), args.function)
    fb = caller(load_build(args.dir_b, "B"), args.function)
    status = 0
    print(f"{'document':24s} {'A/B':>6s}  quartiles")
    for path in files:
        text = path.read_text(encoding="utf-8")
        a, b = outcome(fa, text), outcome(fb, text)
        if a != b:
            print(f"{path.name:24s} the two builds differ")
            status = 1
            continue
        if a[0] == "refused":
            print(f"{path.name:24s} refused by both: {a[1]}")
            continue
        ratios = compare(fa, fb, text, args.pairs)
        q1, _, q3 = statistics.quantiles(ratios, n=4)
        print(f"{path.name:24s} {statistics.median(ratios):6.3f}  {q1:.3f} to {q3:.3f}")
    return status


if __name__ == "__main__":
    sys.exit(main())
