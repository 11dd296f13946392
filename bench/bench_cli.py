"""The quorl command on JSON Lines: records/s against plain Python loops over
the same lines, the gain from a second worker, and peak memory on a large file.

    python bench/bench_cli.py            # 1,000,000 records; memory on a 2 GB file
    python bench/bench_cli.py --quick    # 50,000 records; memory on a 100 MB file
    python bench/bench_cli.py --only check,floats,gzip   # the three below alone

Then, each as a ratio of two commands timed side by side (wall time, the
median of --rounds turns), on a file of --check-mb MB (default 512):
  check   `quorl check -p run SUMS` against the `quorl digest` that made
          SUMS, at -j 1 and -j 2, and the peak memory of check
  floats  `quorl digest --floats str` on records of floats (coordinates, as
          canada.json has them) against `quorl digest` on the same records
          with every float already a string
  gzip    `quorl digest FILE.jsonl.gz` against
          `gzip -dc FILE.jsonl.gz | quorl digest --jsonl -`

Contenders, timed side by side in rounds (median), each over the same file:
  orjson loop   orjson.loads, orjson.dumps(OPT_SORT_KEYS), hashlib.sha256 per line
  core loop     quorl_core.digest_from_json per line (the file read as str)
  quorl -j N    `quorl digest -p run --jsonl -j N FILE > a temporary file` (wall time,
                process start included)
  digest_lines  quorl._native.digest_lines over runs of the file in this
                process: the floor under the command's time
On the large file also -j 2 against -j 1, where the start of a run (the
interpreter and imports: about 20 ms) weighs little.
Memory: the largest resident size of the command and a small wrapper,
sampled from /proc every 20 ms, and ru_maxrss of the command itself.
Records are generated with a fixed seed in a temporary folder under /tmp,
which is deleted afterwards.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import orjson  # noqa: E402

import quorl_core  # noqa: E402
from quorl._cli.line_runs import split_lines as _split_lines  # noqa: E402
from timing import interleaved  # noqa: E402

SEED = 1207
DOMAIN = b"spec-quorl:v2:run\n"
WORDS = ["alpha", "beta", "gamma", "delta", "kappa", "sigma", "omega", "Ωmega", "zeta"]


def make_record(rng: random.Random, n: int) -> bytes:
    """A record of about 200 bytes."""
    doc = {
        "id": n,
        "user": f"{rng.choice(WORDS)}-{rng.randrange(10**6)}",
        "tags": rng.sample(WORDS, 3),
        "score": rng.randrange(-(10**9), 10**9),
        "ok": rng.random() < 0.5,
        "ref": {"$int": str(rng.randrange(10**30))},
        "note": None if rng.random() < 0.5 else "x" * rng.randrange(20),
        "pos": {"x": rng.randrange(1000), "y": rng.randrange(1000)},
    }
    return orjson.dumps(doc) + b"\n"


def write_records(path: str, count: int) -> int:
    rng = random.Random(SEED)
    with open(path, "wb") as f:
        for start in range(0, count, 10_000):
            f.write(b"".join(make_record(rng, n) for n in range(start, min(count, start + 10_000))))
    return os.path.getsize(path)


def write_large(path: str, block_path: str, target: int) -> int:
    """About target bytes: the records file copied over and over."""
    with open(path, "wb") as out:
        while out.tell() < target:
            with open(block_path, "rb") as block:
                shutil.copyfileobj(block, out, 1 << 20)
        return out.tell()


def cpu_seconds() -> float:
    me = resource.getrusage(resource.RUSAGE_SELF)
    kids = resource.getrusage(resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime + kids.ru_utime + kids.ru_stime


def orjson_loop(path: str) -> None:
    sha, loads, dumps, opt = hashlib.sha256, orjson.loads, orjson.dumps, orjson.OPT_SORT_KEYS
    with open(path, "rb") as f:
        for line in f:
            if line.strip():
                sha(DOMAIN + dumps(loads(line), option=opt)).hexdigest()


def core_loop(path: str) -> None:
    digest = quorl_core.digest_from_json
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.strip():
                digest(line, "run")


def batch_loop(path: str) -> None:
    """quorl._native.digest_lines over 2 MiB runs of the file: the command's
    floor, without its process, reading and writing."""
    from quorl import _native

    with open(path, "rb") as f:
        for run in _split_lines(f, 2 << 20):
            _native.digest_lines(run.data, "run", name="x", first_line=run.first_line)


def quorl_command(path: str, jobs: int) -> list[str]:
    return [
        sys.executable,
        "-m",
        "quorl",
        "digest",
        "-p",
        "run",
        "--jsonl",
        "--no-progress",
        "-j",
        str(jobs),
        path,
    ]


#: Where the timed commands write: a file in the bench's temporary folder.
SINK = os.path.join(tempfile.gettempdir(), f"bench_cli.{os.getpid()}.out")


def run_command(args: list[str]) -> None:
    with open(SINK, "wb") as sink:
        subprocess.run(args, stdout=sink, check=True)


def tree_rss(pid: int) -> int:
    """Resident bytes of pid and its descendants, from /proc."""
    total, stack = 0, [pid]
    while stack:
        p = stack.pop()
        try:
            with open(f"/proc/{p}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1]) * 1024
            with open(f"/proc/{p}/task/{p}/children") as f:
                stack.extend(int(c) for c in f.read().split())
        except OSError:
            continue
    return total


# Runs the command and prints its ru_maxrss. A process of
# its own, small, because a child's ru_maxrss starts from its parent's size
# at fork (Linux keeps the high-water mark across exec).
WRAPPER = """
import resource, subprocess, sys
with open(sys.argv[1], "wb") as sink:
    status = subprocess.run(sys.argv[2:], stdout=sink).returncode
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
sys.exit(status)
"""


def peak_memory(args: list[str]) -> tuple[int, int, float]:
    """(peak summed RSS of the command and its wrapper, ru_maxrss of the
    command, seconds)."""
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-c", WRAPPER, SINK, *args], stdout=subprocess.PIPE)
    peak = 0
    done = threading.Event()

    def sample() -> None:
        nonlocal peak
        while not done.is_set():
            peak = max(peak, tree_rss(proc.pid))
            time.sleep(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, _ = proc.communicate()
    done.set()
    sampler.join()
    if proc.returncode != 0:
        raise SystemExit(f"quorl exited with status {proc.returncode}")
    return peak, int(out), time.perf_counter() - start


def write_floats(path: str, quoted_path: str, target: int) -> None:
    """Records of coordinates, and the same with each float a string."""
    rng = random.Random(SEED)
    with open(path, "wb") as plain, open(quoted_path, "wb") as quoted:
        while plain.tell() < target:
            rows = []
            for _ in range(1000):
                ring = [[rng.uniform(-180, 180), rng.uniform(-90, 90)] for _ in range(8)]
                rows.append((rng.randrange(10**6), ring))
            plain.write(b"".join(orjson.dumps({"id": i, "ring": r}) + b"\n" for i, r in rows))
            quoted.write(
                b"".join(
                    orjson.dumps({"id": i, "ring": [[repr(x), repr(y)] for x, y in r]}) + b"\n"
                    for i, r in rows
                )
            )


def shell(command: str) -> Callable[[], None]:
    return lambda: subprocess.run(["bash", "-c", command], check=True)


def new_work(folder: str, base: str, size: int, only: set[str], rounds: int) -> None:
    """check, --floats str and .gz input, each against its peer, side by side."""
    quorl = f"{sys.executable} -m quorl"
    sink = os.path.join(folder, "out.txt")  # output goes to a file, never to a device
    big = os.path.join(folder, "check.jsonl")
    if only & {"check", "gzip"}:
        written = write_large(big, base, size)
        print(f"on {written / 2**20:,.0f} MB of JSON Lines:")
    if "check" in only:
        sums = os.path.join(folder, "SUMS")
        subprocess.run(["bash", "-c", f"{quorl} digest -p run -j 1 {big} > {sums}"], check=True)
        for jobs in (1, 2):
            walls = interleaved(
                {
                    "digest": shell(
                        f"{quorl} digest -p run -j {jobs} --no-progress {big} > {sink}"
                    ),
                    "check": shell(f"{quorl} check -p run -j {jobs} --quiet --no-progress {sums}"),
                },
                rounds=rounds,
                min_s=0.0,
            )
            peak, largest, _ = peak_memory(
                [
                    sys.executable,
                    "-m",
                    "quorl",
                    "check",
                    "-p",
                    "run",
                    "-j",
                    str(jobs),
                    "--quiet",
                    "--no-progress",
                    sums,
                ]
            )
            print(
                f"  check -j {jobs}: {walls['digest'] / walls['check']:.2f}x the speed of "
                f"digest (target >= 0.7x; {walls['check']:.2f} s against "
                f"{walls['digest']:.2f} s), peak memory {peak / 2**20:.0f} MB with the "
                f"wrapper, {largest / 2**20:.0f} MB alone (target < 200 MB)"
            )
    if "gzip" in only and shutil.which("gzip"):
        packed = big + ".gz"
        subprocess.run(["bash", "-c", f"gzip -1 -c {big} > {packed}"], check=True)
        walls = interleaved(
            {
                "pipe": shell(
                    f"gzip -dc {packed} | {quorl} digest --jsonl -p run --no-progress - > {sink}"
                ),
                "gz": shell(f"{quorl} digest -p run --no-progress {packed} > {sink}"),
            },
            rounds=rounds,
            min_s=0.0,
        )
        try:
            import isal  # type: ignore[import-not-found]  # noqa: F401

            reader = "ISA-L (the fast-gzip extra)"
        except ImportError:
            reader = "zlib"
        print(
            f"  .gz input through {reader}: {walls['pipe'] / walls['gz']:.2f}x the speed of "
            f"gzip -dc | quorl digest --jsonl - (target >= 0.8x; {walls['gz']:.2f} s against "
            f"{walls['pipe']:.2f} s)"
        )
    if "floats" in only:
        from quorl import _native

        try:
            _native.digest_lines(b"1.5\n", "run", name="x", floats="str")
        except TypeError:
            print("  --floats str: skipped, this build's native part has no floats= yet")
            return
        floats, quoted = os.path.join(folder, "floats.jsonl"), os.path.join(folder, "q.jsonl")
        write_floats(floats, quoted, size // 2)
        walls = interleaved(
            {
                "floats": shell(
                    f"{quorl} digest -p run --floats str --no-progress {floats} > {sink}"
                ),
                "quoted": shell(f"{quorl} digest -p run --no-progress {quoted} > {sink}"),
            },
            rounds=rounds,
            min_s=0.0,
        )
        print(
            f"  --floats str: {walls['quoted'] / walls['floats']:.2f}x the speed of the same "
            f"records with their floats pre-quoted (target >= 0.7x; {walls['floats']:.2f} s "
            f"against {walls['quoted']:.2f} s)"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, a few seconds")
    parser.add_argument("--records", type=int, help="records in the timed file")
    parser.add_argument("--large-mb", type=int, help="size of the memory test file, MB")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", help="comma-separated: check, floats, gzip")
    parser.add_argument("--check-mb", type=int, help="size of the file for check, gzip, MB")
    args = parser.parse_args()
    check_size = (args.check_mb or (50 if args.quick else 512)) << 20
    count = args.records or (50_000 if args.quick else 1_000_000)
    large = (args.large_mb or (100 if args.quick else 2048)) << 20

    folder = tempfile.mkdtemp(prefix="bench_cli.", dir="/tmp")
    try:
        path = os.path.join(folder, "records.jsonl")
        if args.only:
            write_records(path, 200_000)
            new_work(folder, path, check_size, set(args.only.split(",")), args.rounds)
            return
        size = write_records(path, count)
        print(
            f"{count:,} records, {size / count:.0f} bytes each on average; "
            f"{os.cpu_count()} cores, Python {sys.version.split()[0]}"
        )
        cpu: dict[str, list[float]] = {}

        def measured(name: str, fn: Callable[[], None]) -> Callable[[], None]:
            # CPU seconds too (this process's and its children's), which a busy
            # machine disturbs less than wall time.
            def call() -> None:
                before = cpu_seconds()
                fn()
                cpu.setdefault(name, []).append(cpu_seconds() - before)

            return call

        contenders = {
            "orjson loop": measured("orjson loop", lambda: orjson_loop(path)),
            "core loop": measured("core loop", lambda: core_loop(path)),
            "quorl -j 1": measured("quorl -j 1", lambda: run_command(quorl_command(path, 1))),
            "quorl -j 2": measured("quorl -j 2", lambda: run_command(quorl_command(path, 2))),
            "digest_lines": measured("digest_lines", lambda: batch_loop(path)),
        }
        seconds = interleaved(contenders, rounds=args.rounds, min_s=0.0)
        cpu_median = {name: statistics.median(values) for name, values in cpu.items()}
        for name, s in seconds.items():
            print(
                f"  {name:<12} {count / s:>12,.0f} records/s  ({s:.2f} s wall, "
                f"{cpu_median[name]:.2f} s CPU)"
            )
        one, one_cpu = seconds["quorl -j 1"], cpu_median["quorl -j 1"]
        for peer, target in (("orjson loop", 3.0), ("core loop", 1.5)):
            print(
                f"quorl -j 1 vs {peer + ':':<12} {seconds[peer] / one:.2f}x wall, "
                f"{cpu_median[peer] / one_cpu:.2f}x CPU (target >= {target}x)"
            )
        two_cpu = cpu_median["quorl -j 2"]
        print(
            f"quorl -j 2 vs -j 1:        {one / seconds['quorl -j 2']:.2f}x wall "
            "(target >= 1.7x; needs two idle cores); "
            f"CPU of -j 2 / CPU of -j 1: {two_cpu / one_cpu:.2f}, "
            f"so at most {2 * one_cpu / two_cpu:.2f}x on two idle cores"
        )

        big = os.path.join(folder, "large.jsonl")
        written = write_large(big, path, large)
        os.unlink(path)
        # The same gain where the start of a run (about 20 ms: the
        # interpreter and imports) weighs little.
        walls = interleaved(
            {
                "-j 1": lambda: run_command(quorl_command(big, 1)),
                "-j 2": lambda: run_command(quorl_command(big, 2)),
            },
            rounds=1,
            min_s=0.0,
        )
        print(
            f"quorl -j 2 vs -j 1 over {written / 2**20:,.0f} MB: "
            f"{walls['-j 1'] / walls['-j 2']:.2f}x wall ({walls['-j 1']:.2f} s, "
            f"{walls['-j 2']:.2f} s)"
        )
        peak, largest, took = peak_memory(quorl_command(big, 2))
        print(
            f"memory, quorl -j 2 over {written / 2**20:,.0f} MB in {took:.1f} s: "
            f"peak {peak / 2**20:.0f} MB with the wrapper, the command alone "
            f"{largest / 2**20:.0f} MB (target < 200 MB)"
        )
        os.unlink(big)
        write_records(path, 200_000)
        new_work(folder, path, check_size, {"check", "floats", "gzip"}, args.rounds)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists(SINK):
            os.unlink(SINK)


if __name__ == "__main__":
    main()
