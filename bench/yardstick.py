"""Builds and runs the C++ yardstick (bench/yardstick.cpp): simdjson's DOM
parse and minify throughput on a document. run_bench.py runs it once per
round, as one more turn among the contenders', so that simdjson and the
module are timed under the same machine load.

simdjson is a benchmark-only dependency (nothing in src/ uses it): on Debian
or Ubuntu, `apt-get install libsimdjson-dev`. Without it, or without a C++20
compiler, build() says what is missing and returns None, and the yardstick
columns are left empty.

The binary is cached in bench/results/yardstick/ (git-ignored), under a
name that changes with the source and the compile command, so an edit of
yardstick.cpp rebuilds it.
"""

from __future__ import annotations

import hashlib
import json
import os
import shlex
import subprocess
from pathlib import Path
from typing import Any

BENCH = Path(__file__).resolve().parent
SOURCE = BENCH / "yardstick.cpp"
CACHE = BENCH / "results" / "yardstick"

MISSING_HELP = (
    "install simdjson (Debian/Ubuntu: apt-get install libsimdjson-dev; only the "
    "benchmark needs it) and a C++20 compiler (g++ >= 10), or set CXX"
)


def compile_command(output: Path) -> list[str]:
    compiler = shlex.split(os.environ.get("CXX", "c++"))
    return [*compiler, "-O2", "-std=c++20", str(SOURCE), "-o", str(output), "-lsimdjson"]


def build(cache: Path = CACHE) -> tuple[Path | None, str | None]:
    """The yardstick binary, built if needed; or None and why not."""
    key = hashlib.sha256(
        SOURCE.read_bytes() + " ".join(compile_command(Path("x"))).encode()
    ).hexdigest()[:12]
    binary = cache / f"yardstick-{key}"
    if binary.is_file() and os.access(binary, os.X_OK):
        return binary, None
    cache.mkdir(parents=True, exist_ok=True)
    partial = binary.with_suffix(".partial")
    try:
        done = subprocess.run(compile_command(partial), capture_output=True, text=True, check=False)
    except OSError as error:  # no compiler at all
        return None, f"cannot run the C++ compiler ({error}): {MISSING_HELP}"
    if done.returncode != 0:
        first = next(
            (line for line in done.stderr.splitlines() if "error" in line),
            done.stderr.strip()[:300] or f"exit status {done.returncode}",
        )
        return None, f"the yardstick did not build ({first.strip()}): {MISSING_HELP}"
    partial.replace(binary)
    return binary, None


def run(
    binary: Path,
    *,
    path: Path | None = None,
    data: bytes | None = None,
    rounds: int = 9,
    min_ms: float = 50.0,
) -> dict[str, Any]:
    """simdjson figures for one document, given as a file or as bytes (piped in)."""
    command = [
        str(binary),
        "--rounds",
        str(rounds),
        "--min-ms",
        str(min_ms),
        str(path) if path is not None else "-",
    ]
    done = subprocess.run(command, input=data, capture_output=True, check=False)
    if done.returncode != 0:
        return {
            "error": done.stderr.decode(errors="replace").strip()[:300]
            or f"exit status {done.returncode}"
        }
    lines = done.stdout.decode().splitlines()
    if len(lines) != 1:
        return {"error": f"expected one line from the yardstick, got {len(lines)}"}
    report: dict[str, Any] = json.loads(lines[0])
    return report
