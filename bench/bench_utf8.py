"""UTF-8 validation: GB/s of each kernel, and what validating costs next to
the work of digesting the same document.

Builds bench/bench_utf8.cpp (g++, -O2) into a temporary folder and runs it
on the corpus documents and three generated inputs; then times
quorl_core.digest_from_json on each corpus document in this process and
reports the best kernel's time as a share of it (the bytes path adds that
share over the core's work). The validation and the digest are timed in the
same run, one after the other.

    python bench/bench_utf8.py [--corpus DIR]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import quorl_core
from corpus_dir import require_corpus

ROOT = Path(__file__).resolve().parent.parent


def build(folder: Path) -> Path:
    binary = folder / "bench_utf8"
    subprocess.run(
        [
            "g++",
            "-O2",
            "-std=c++20",
            f"-I{ROOT / 'src'}",
            str(ROOT / "bench" / "bench_utf8.cpp"),
            str(ROOT / "src" / "json" / "utf8_validate.cpp"),
            "-o",
            str(binary),
        ],
        check=True,
    )
    return binary


def digest_seconds(text: str) -> float:
    """Best per-call time of digest_from_json over samples of >= 20 ms."""
    best = float("inf")
    for _ in range(7):
        calls, start = 0, time.perf_counter()
        while True:
            quorl_core.digest_from_json(text, "run")
            calls += 1
            elapsed = time.perf_counter() - start
            if elapsed >= 0.02:
                break
        best = min(best, elapsed / calls)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=None)
    args = parser.parse_args()
    corpus = require_corpus(args.corpus)
    files = sorted(corpus.glob("*.json"))
    with tempfile.TemporaryDirectory() as tmp:
        binary = build(Path(tmp))
        output = subprocess.run(
            [str(binary), *map(str, files)], check=True, capture_output=True, text=True
        ).stdout
    rows: dict[str, dict[str, float]] = {}
    sizes: dict[str, int] = {}
    kernels: list[str] = []
    for line in output.splitlines():
        name, kernel, size, seconds = line.split("\t")
        rows.setdefault(name, {})[kernel] = float(seconds)
        sizes[name] = int(size)
        if kernel not in kernels:
            kernels.append(kernel)

    header = f"{'input':<40}" + "".join(f"{k + ' GB/s':>14}" for k in kernels)
    header += f"{'digest GB/s':>13}{'validate/digest':>17}"
    print(header)
    shares = []
    for name, times in rows.items():
        size = sizes[name]
        cells = "".join(f"{size / times[k] / 1e9:>14.2f}" for k in kernels)
        path = corpus / name
        if path.is_file():
            digest = digest_seconds(path.read_text(encoding="utf-8"))
            share = times[kernels[-1]] / digest
            shares.append(share)
            cells += f"{size / digest / 1e9:>13.2f}{share:>16.1%}"
        print(f"{name:<40}{cells}")
    if shares:
        print(
            f"\nvalidation with '{kernels[-1]}' over digest_from_json: median "
            f"{statistics.median(shares):.1%}, max {max(shares):.1%}"
        )


if __name__ == "__main__":
    sys.exit(main())
