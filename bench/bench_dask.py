"""Records per second of quorl.dask on two local worker processes, against
the quorl command with two jobs on the same JSON Lines files.

    python bench/bench_dask.py            # 1.5 million records, 3 rounds
    python bench/bench_dask.py --quick    # 200,000 records, 2 rounds

Both sides are timed in the same run, interleaved, best round kept. The
command writes every digest to a file; Dask's figures are for the whole
frame gathered into this process (through one worker, as Dask does), for
the frame written to Parquet by the workers, and for the rows only counted
on the workers (the digesting alone). The cluster's start-up is timed apart.
Also printed: the cost per record of turning the native call's lists into a
partition's DataFrame, and of digest_partition against a plain loop, in this
process.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pandas as pd

import quorl
import quorl.dask as qd
from quorl import _native


def make_files(folder: Path, records: int, files: int) -> list[Path]:
    """Small records of a few shapes, 1 in 50 refused; kept between runs."""
    stamp = folder / f".made-{records}-{files}"
    paths = [folder / f"part-{i:03d}.jsonl" for i in range(files)]
    if stamp.exists():
        return paths
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    rng = random.Random(7)
    words = ["alpha", "beta", "gamma", "delta", "caf\u00e9", 'x\\"y', "\u6f22\u5b57"]
    per_file = records // files
    for path in paths:
        with path.open("w", encoding="utf-8") as f:
            for i in range(per_file):
                if i % 50 == 49:
                    f.write('{"id": %d, "price": %d.25}\n' % (i, i))
                else:
                    f.write(
                        '{"user": "%s", "id": %d, "tags": ["%s", "%s"], "ok": true, "n": null}\n'
                        % (rng.choice(words), i, rng.choice(words), rng.choice(words))
                    )
    stamp.touch()
    return paths


def time_command(paths: list[Path], profile: str, records: int) -> float | None:
    """Seconds for the command to print every record's digest or refusal, or None."""
    command = shutil.which("quorl", path=os.path.dirname(sys.executable)) or shutil.which("quorl")
    if command is None:
        return None
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        subprocess.run(
            [command, "digest", "-p", profile, "--jsonl", "-j", "2", *map(str, paths)],
            stdout=out,
            stderr=err,
        )
        elapsed = time.perf_counter() - start
        out.seek(0)
        err.seek(0)
        answered = sum(1 for _ in out) + sum(1 for line in err if line.startswith(b"quorl: "))
    return elapsed if answered == records else None


def best_of(rounds: int, fn, *args) -> float:  # type: ignore[no-untyped-def]
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn(*args)
        times.append(time.perf_counter() - start)
    return min(times)


def per_record_costs(path: Path, profile: str) -> None:
    data = path.read_bytes()
    n = data.count(b"\n")
    native = frame = float("inf")
    for _ in range(5):  # interleaved: the machine's load moves both alike
        native = min(native, best_of(1, _native.digest_records, data, profile))
        frame = min(frame, best_of(1, qd._block_frame, data, str(path), "digest", profile))
    print(
        f"one block of {n:,} records: native call {native / n * 1e9:.0f} ns/record, "
        f"with its DataFrame {frame / n * 1e9:.0f} ns/record "
        f"({(frame - native) / n * 1e9:.0f} ns/record for the frame)"
    )
    docs = data.decode().splitlines()[:100_000]
    took = best_of(3, qd.digest_partition, pd.Series(docs), profile)
    print(f"digest_partition on a Series of texts: {took / len(docs) * 1e9:.0f} ns/record")

    def plain_loop(docs: list[str]) -> None:
        for doc in docs:
            try:
                quorl.digest_from_json(doc, profile)
            except quorl.RefusedError:
                pass

    took = best_of(3, plain_loop, docs)
    print(f"plain loop of quorl.digest_from_json: {took / len(docs) * 1e9:.0f} ns/record")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--records", type=int)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--blocksize", default="8MiB")
    parser.add_argument("--profile", default="run")
    parser.add_argument("--dir", type=Path, default=Path("/tmp/quorl-bench-dask"))
    args = parser.parse_args()
    records = args.records or (200_000 if args.quick else 1_500_000)
    rounds = 2 if args.quick else 3

    from dask.distributed import Client, LocalCluster

    paths = make_files(args.dir / str(records), records, args.files)
    size = sum(p.stat().st_size for p in paths)
    mb = size / 1e6
    print(f"{records:,} records in {len(paths)} files, {mb:.0f} MB; blocks of {args.blocksize}")
    per_record_costs(paths[0], args.profile)

    start = time.perf_counter()
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        client.run(lambda: __import__("quorl.dask"))  # imports are part of start-up
        print(f"cluster start-up: {time.perf_counter() - start:.1f} s")
        urls = [str(p) for p in paths]
        best: dict[str, list[float | None]] = {
            "command": [],
            "dask, whole frame to the client": [],
            "dask, written to Parquet": [],
            "dask, rows counted on the workers": [],
        }
        parquet = args.dir / "out.parquet"
        for _ in range(rounds):
            best["command"].append(time_command(paths, args.profile, records))
            frame = qd.digest_jsonl(urls, args.profile, blocksize=args.blocksize)
            start = time.perf_counter()
            got = frame.compute()
            best["dask, whole frame to the client"].append(time.perf_counter() - start)
            assert len(got) == records
            start = time.perf_counter()
            frame.to_parquet(str(parquet), write_index=False, overwrite=True)
            best["dask, written to Parquet"].append(time.perf_counter() - start)
            start = time.perf_counter()
            counted = int(frame.map_partitions(len).sum().compute())
            best["dask, rows counted on the workers"].append(time.perf_counter() - start)
            assert counted == records

    def fastest(times: list[float | None]) -> float | None:
        done = [t for t in times if t is not None]
        return min(done) if len(done) == len(times) else None

    command = fastest(best["command"])
    for name, times in best.items():
        took = fastest(times)
        if took is None:
            print(
                f"{name:36} unavailable (quorl command missing, or it did not answer every record)"
            )
            continue
        ratio = f"  {command / took:.2f}x the command" if command and name != "command" else ""
        print(f"{name:36} {records / took / 1e6:6.2f} M records/s  ({took:.2f} s){ratio}")


if __name__ == "__main__":
    main()
