"""Time per small record of the digest walk, two versions of the core side by side.

Exports each git revision (default: OLD=HEAD~1, NEW=the working tree's HEAD)
into a temporary folder, builds its core library, builds bench/bench_records.cpp
against each, then runs the two alternately and reports the best time per
record of each and their ratio. Both must give the same digests.

    python bench/bench_records.py [--old REV] [--new REV] [--runs N] [--file RECORDS.jsonl]

Wall time on a shared machine is noisy: trust the minimum over many runs,
and compare instruction counts (valgrind --tool=callgrind) for small changes.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def build(rev: str, folder: Path) -> Path:
    src = folder / "src-tree"
    src.mkdir()
    archive = subprocess.run(
        ["git", "-C", str(ROOT), "archive", rev], check=True, capture_output=True
    )
    subprocess.run(["tar", "-x", "-C", str(src)], input=archive.stdout, check=True)
    out = folder / "build"
    subprocess.run(
        [
            "cmake",
            "-S",
            str(src),
            "-B",
            str(out),
            "-G",
            "Ninja",
            "-DQUORL_BUILD_PYTHON=OFF",
            "-DQUORL_BUILD_TESTS=OFF",
        ],
        check=True,
        capture_output=True,
    )
    subprocess.run(
        ["cmake", "--build", str(out), "-j2", "--target", "quorl_static"],
        check=True,
        capture_output=True,
    )
    binary = folder / "bench_records"
    subprocess.run(
        [
            "g++",
            "-O2",
            "-std=c++20",
            f"-I{src / 'src'}",
            str(ROOT / "bench" / "bench_records.cpp"),
            str(out / "libquorl_static.a"),
            "-o",
            str(binary),
        ],
        check=True,
    )
    return binary


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--old", default="HEAD~1")
    parser.add_argument("--new", default="HEAD")
    parser.add_argument("--runs", type=int, default=8, help="alternating runs of each (default 8)")
    parser.add_argument("--file", default="-", help="JSON Lines records (default: generated)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        binaries = {}
        for name, rev in (("old", args.old), ("new", args.new)):
            folder = Path(tmp) / name
            folder.mkdir()
            print(f"building {name} = {rev} ...", file=sys.stderr)
            binaries[name] = build(rev, folder)
        best = {"old": float("inf"), "new": float("inf")}
        checksums = {}
        for _ in range(args.runs):
            for name, binary in binaries.items():
                line = subprocess.run(
                    [str(binary), args.file, "20"], check=True, capture_output=True, text=True
                ).stdout.split("\t")
                best[name] = min(best[name], float(line[0]))
                checksums[name] = line[2].strip()
        if checksums["old"] != checksums["new"]:
            print(
                f"digests differ: old {checksums['old']}, new {checksums['new']}", file=sys.stderr
            )
            return 1
        print(f"old {args.old}: {best['old']:.1f} ns/record")
        print(f"new {args.new}: {best['new']:.1f} ns/record")
        print(f"new/old: {best['new'] / best['old']:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
