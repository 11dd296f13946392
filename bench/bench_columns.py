"""quorl.digest_column over an Arrow column of JSON Lines records, against
the quorl command on the same records as a file and a Python loop of
quorl.digest_from_json, and two threads against one.

    python bench/bench_columns.py            # 1,000,000 records of about 185 bytes
    python bench/bench_columns.py --quick    # 100,000 records

Contenders, timed side by side in rounds (median of each), over the same
records (bench_cli.py's generator, same seed):
  column -j 1   quorl.digest_column(column, "run", threads=1)
  column -j 2   the same with threads=2
  command -j 1  `quorl digest -p run --jsonl -j 1 FILE > /dev/null` (wall
                time, the interpreter's start included)
  loop          [quorl.digest_from_json(d, "run") for d in column.to_pylist()]
Needs pyarrow.
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

import pyarrow as pa

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorl  # noqa: E402
from bench_cli import SEED, make_record  # noqa: E402


def timed(fn, rounds: int) -> list[float]:
    fn()  # warm: caches, per-thread buffers
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return samples


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--records", type=int)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    count = args.records or (100_000 if args.quick else 1_000_000)
    rng = random.Random(SEED)
    records = [make_record(rng, n) for n in range(count)]
    column = pa.array([r[:-1] for r in records], type=pa.string())
    size = sum(map(len, records)) - count
    print(
        f"{count:,} records, {size / count:.0f} bytes each on average; "
        f"{os.cpu_count()} cores, Python {sys.version.split()[0]}, pyarrow {pa.__version__}"
    )

    with tempfile.TemporaryDirectory(prefix="bench_columns.", dir="/tmp") as folder:
        path = os.path.join(folder, "records.jsonl")
        with open(path, "wb") as f:
            f.writelines(records)
        del records
        command = [
            sys.executable,
            "-m",
            "quorl",
            "digest",
            "-p",
            "run",
            "--jsonl",
            "--no-progress",
            "-j",
            "1",
            path,
        ]

        def run_command() -> None:
            subprocess.run(command, stdout=subprocess.DEVNULL, check=True)

        contenders = {
            "column -j 1": lambda: quorl.digest_column(column, "run", threads=1),
            "column -j 2": lambda: quorl.digest_column(column, "run", threads=2),
            "command -j 1": run_command,
            "loop": lambda: [quorl.digest_from_json(d, "run") for d in column.to_pylist()],
        }
        # Rounds take turns, so that a slow stretch of the machine falls on all.
        samples: dict[str, list[float]] = {name: [] for name in contenders}
        for fn in contenders.values():
            fn()
        for r in range(args.rounds):
            names = list(contenders)
            for name in names[r % len(names) :] + names[: r % len(names)]:
                samples[name] += timed(contenders[name], 1)
    median = {name: sorted(s)[len(s) // 2] for name, s in samples.items()}
    for name, seconds in median.items():
        print(f"{name:13s} {count / seconds / 1e6:6.2f} M records/s  ({seconds:.3f} s)")
    print(f"column -j 1 / command -j 1: {median['command -j 1'] / median['column -j 1']:.2f}x")
    print(f"column -j 1 / loop:         {median['loop'] / median['column -j 1']:.2f}x")
    print(f"column -j 2 / column -j 1:  {median['column -j 1'] / median['column -j 2']:.2f}x")


if __name__ == "__main__":
    main()
