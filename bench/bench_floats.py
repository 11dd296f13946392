"""Floats as strings on float-heavy JSON Lines: the same records with their
floats as bare tokens (floats="str") against the file with those floats
already quoted as the strings they become, which gives the same output.

    python bench/bench_floats.py            # about 64 MB of records
    python bench/bench_floats.py --quick    # about 8 MB

The records are canada.json's coordinates (numbers of 16 and 17 significant
digits, as serializers write doubles), 40 points a line. Contenders, timed
side by side in rounds (median):
  digest_lines     quorl._native.digest_lines over runs of about 4 MiB, as
                   the command hands them out
  canonical_lines  quorl._native.canonical_lines likewise
Each line prints the ratio of the speed on bare floats to the speed on the
pre-quoted file (1.00x: as fast): the cost of the floats alone, without the
command's own work around them, which `python bench/bench_cli.py --only
floats` includes. Last, what a float token costs beyond a string per
token, against the conversion alone: bench/bench_float_tokens.cpp (built
with g++ -O2) times quorl's token-to-repr conversion, the standard
library's (std::from_chars then std::to_chars) and std::from_chars alone
over canada.json's tokens, and the line sets them beside the cost per token
that a ratio of 0.70x would leave. The files go to a temporary folder under
/tmp, deleted afterwards.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from corpus_dir import require_corpus  # noqa: E402
from quorl import _native  # noqa: E402
from timing import interleaved  # noqa: E402

POINTS_PER_LINE = 40
ROOT = Path(__file__).resolve().parent.parent
RUN_BYTES = 4 << 20


def canada_points() -> list[tuple[str, str]]:
    """The coordinate pairs of canada.json, as their number tokens."""
    doc = json.loads((require_corpus() / "canada.json").read_text(encoding="utf-8"))
    points: list[tuple[str, str]] = []

    def walk(value: object) -> None:
        if isinstance(value, list):
            if len(value) == 2 and all(isinstance(v, str) for v in value):
                points.append((value[0], value[1]))
            else:
                for item in value:
                    walk(item)
        elif isinstance(value, dict):
            for item in value.values():
                walk(item)

    walk(doc)
    return points


def make_files(folder: str, target: int) -> tuple[str, str]:
    """The bare-float file and the pre-quoted one, about target bytes each."""
    points = canada_points()
    bare, quoted = [], []
    for n in range(0, len(points), POINTS_PER_LINE):
        chunk = points[n : n + POINTS_PER_LINE]
        head = '{"id":%d,"type":"ring","coordinates":[' % n
        bare.append(head + ",".join("[%s,%s]" % p for p in chunk) + "]}\n")
        quoted.append(
            head + ",".join('["%r","%r"]' % (float(x), float(y)) for x, y in chunk) + "]}\n"
        )
    bare_block, quoted_block = "".join(bare).encode(), "".join(quoted).encode()
    copies = max(1, target // len(bare_block))
    paths = os.path.join(folder, "floats.jsonl"), os.path.join(folder, "quoted.jsonl")
    for path, block in zip(paths, (bare_block, quoted_block), strict=True):
        with open(path, "wb") as f:
            for _ in range(copies):
                f.write(block)
    return paths


def runs(data: bytes) -> list[tuple[int, bytes]]:
    """Runs of whole lines of about RUN_BYTES: (first line, bytes)."""
    out, at, line = [], 0, 1
    while at < len(data):
        end, newlines = _native.line_ends(data[at : at + RUN_BYTES])
        if end == 0:
            end, newlines = len(data) - at, 0
        out.append((line, data[at : at + end]))
        at += end
        line += newlines
    return out


def conversion_ns(folder: str) -> dict[str, float]:
    """ns per canada.json token of each conversion bench_float_tokens.cpp times."""
    tokens = os.path.join(folder, "tokens.txt")
    with open(tokens, "w", encoding="ascii") as f:
        f.writelines(f"{x}\n{y}\n" for x, y in canada_points())
    binary = os.path.join(folder, "bench_float_tokens")
    sources = ["core/rules/float_text.cpp", "core/rules/shortest_decimal.cpp"]
    sources += ["json/lex/byte_scan.cpp", "base/cpu/cpu_features.cpp"]
    sources += ["base/cpu/kernel_registry.cpp"]
    subprocess.run(
        [
            "g++",
            "-O2",
            "-std=c++20",
            f"-I{ROOT / 'src'}",
            str(ROOT / "bench" / "bench_float_tokens.cpp"),
        ]
        + [str(ROOT / "src" / source) for source in sources]
        + ["-o", binary],
        check=True,
    )
    out = subprocess.run([binary, tokens], check=True, capture_output=True, text=True).stdout
    return {name: float(ns) for name, ns in (line.split("\t") for line in out.splitlines())}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="about 8 MB instead of 64 MB")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    target = (8 if args.quick else 64) << 20
    with tempfile.TemporaryDirectory(prefix="quorl-bench-floats-", dir="/tmp") as folder:
        bare_path, quoted_path = make_files(folder, target)
        with open(bare_path, "rb") as f:
            bare = runs(f.read())
        with open(quoted_path, "rb") as f:
            quoted = runs(f.read())
        size = sum(len(d) for _, d in bare)
        tokens = sum(len(re.findall(rb"[.eE]", d)) for _, d in bare)
        print(
            f"{size / 1e6:.1f} MB of records with {tokens / 1e6:.2f} M float tokens; "
            f"pre-quoted {sum(len(d) for _, d in quoted) / 1e6:.1f} MB"
        )

        def digest(chunks, **floats):
            return [
                _native.digest_lines(d, "run", name="f", first_line=n, **floats)[0]
                for n, d in chunks
            ]

        def canonical(chunks, **floats):
            return [_native.canonical_lines(d, first_line=n, **floats)[0] for n, d in chunks]

        # The runs of the two files end at other lines; their output is the same.
        assert b"".join(digest(bare, floats="str")) == b"".join(digest(quoted))
        assert b"".join(canonical(bare, floats="str")) == b"".join(canonical(quoted))
        contenders = {
            "digest_lines floats": lambda: digest(bare, floats="str"),
            "digest_lines quoted": lambda: digest(quoted),
            "canonical_lines floats": lambda: canonical(bare, floats="str"),
            "canonical_lines quoted": lambda: canonical(quoted),
        }
        times = interleaved(contenders, rounds=args.rounds, min_s=0.2)
        for name in ("digest_lines", "canonical_lines"):
            t_floats, t_quoted = times[f"{name} floats"], times[f"{name} quoted"]
            print(
                f"{name:16} floats {size / t_floats / 1e6:7.1f} MB/s   quoted "
                f"{size / t_quoted / 1e6:7.1f} MB/s   floats/quoted {t_quoted / t_floats:.2f}x"
            )
        t_floats, t_quoted = times["digest_lines floats"], times["digest_lines quoted"]
        extra, allowed = (t_floats - t_quoted) / tokens, (t_quoted / 0.7 - t_quoted) / tokens
        ns = conversion_ns(folder)
        print(
            f"per float token, digest_lines: {extra * 1e9:.1f} ns beyond a string "
            f"(0.70x would leave {allowed * 1e9:.1f} ns); the conversion alone: "
            + ", ".join(f"{name} {value:.1f} ns" for name, value in ns.items())
        )


if __name__ == "__main__":
    main()
