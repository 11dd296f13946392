"""quorl_core against its peers: throughput, per-call cost, memory and growth.

    python bench/run_bench.py [--corpus DIR] [--quick] [--out bench/results] [--no-100mb]

Everything is timed in this one process. For each document the contenders
take turns within every round (the starting contender rotates from round to
round), each turn timing enough calls to last at least --min-ms; the figure
reported is the median of the rounds. The C++ yardstick (bench/yardstick.cpp)
takes a turn in every round too: one run of it times one round of simdjson's
DOM parse and minify of the same document, so that the module is set against
the fastest general JSON reader under the same machine load. Peak memory of
one call is measured in fresh subprocesses (bench/memprobe.py). See
bench/README.md.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import importlib.metadata
import itertools
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import docs  # noqa: E402
import yardstick  # noqa: E402
from corpus_dir import require_corpus  # noqa: E402

try:
    import canonicaljson
    import orjson
    import rfc8785

    import quorl_core
except ImportError as missing:
    sys.exit(f"{missing}: install the module and its peers first: pip install '.[bench]'")

PEER_SLOW_LIMIT_S = 30.0  # a peer predicted to need longer for one 100 MB call is not run

# --- contenders ---------------------------------------------------------------


@dataclass(frozen=True)
class Contender:
    key: str
    label: str
    expr: str  # evaluated with the text in `t`
    ours: bool = False
    digest: bool = False


# Names the expressions use. Passed to each timing loop as default arguments,
# so every contender pays the same cost (a local load) to reach them.
NAMES: dict[str, Any] = {
    "cb": quorl_core.canonical_bytes_from_json,
    "dg": quorl_core.digest_from_json,
    "sha": hashlib.sha256,
    "ol": orjson.loads,
    "od": orjson.dumps,
    "SORT": orjson.OPT_SORT_KEYS,
    "jl": json.loads,
    "jd": json.dumps,
    "SEP": (",", ":"),
    "rd": rfc8785.dumps,
    "cj": canonicaljson.encode_canonical_json,
}

_STD = "jd(jl(t), sort_keys=True, separators=SEP, ensure_ascii=False)"
CONTENDERS = [
    Contender("bytes", "canonical_bytes_from_json", "cb(t)", ours=True),
    Contender("digest", 'digest_from_json(t, "run")', 'dg(t, "run")', ours=True, digest=True),
    Contender(
        "bytes+sha256",
        "canonical_bytes_from_json, then hashlib.sha256",
        "sha(cb(t)).hexdigest()",
        ours=True,
        digest=True,
    ),
    Contender("orjson", "orjson.loads, then orjson.dumps(OPT_SORT_KEYS)", "od(ol(t), option=SORT)"),
    Contender(
        "orjson+sha256",
        "orjson round trip, then hashlib.sha256",
        "sha(od(ol(t), option=SORT)).hexdigest()",
        digest=True,
    ),
    Contender("json", "json.loads, then json.dumps(sort_keys, compact, ensure_ascii=False)", _STD),
    Contender(
        "json+sha256",
        "json round trip, encoded to UTF-8, then hashlib.sha256",
        f"sha({_STD}.encode()).hexdigest()",
        digest=True,
    ),
    Contender("rfc8785", "json.loads, then rfc8785.dumps", "rd(jl(t))"),
    Contender(
        "rfc8785+sha256",
        "rfc8785 round trip, then hashlib.sha256",
        "sha(rd(jl(t))).hexdigest()",
        digest=True,
    ),
    Contender("canonicaljson", "json.loads, then canonicaljson.encode_canonical_json", "cj(jl(t))"),
    Contender(
        "canonicaljson+sha256",
        "canonicaljson round trip, then hashlib.sha256",
        "sha(cj(jl(t))).hexdigest()",
        digest=True,
    ),
]
PEERS = ["orjson", "json", "rfc8785", "canonicaljson"]
CHARTED = ["bytes", "digest", *PEERS]


def _compile(contender: Contender) -> tuple[Callable[[list[str], int], None], Callable[[str], Any]]:
    params = ", ".join(f"{name}={name}" for name in NAMES)
    source = (
        f"def loop(texts, n, {params}):\n"
        f"    for _ in range(n):\n"
        f"        for t in texts:\n"
        f"            {contender.expr}\n"
        f"def one(t, {params}):\n"
        f"    return {contender.expr}\n"
    )
    scope: dict[str, Any] = dict(NAMES)
    exec(compile(source, f"<contender {contender.key}>", "exec"), scope)
    return scope["loop"], scope["one"]


LOOPS = {c.key: _compile(c) for c in CONTENDERS}

# --- documents ----------------------------------------------------------------


@dataclass
class Doc:
    name: str
    group: str  # "corpus", "generated" or "scale"
    what: str
    texts: list[str]  # one document, or the many small records
    huge: bool = False
    size: int = field(init=False)  # UTF-8 bytes over all texts
    source: dict[str, str] = field(default_factory=dict)  # how memprobe gets it again

    def __post_init__(self) -> None:
        self.size = sum(len(t.encode("utf-8")) for t in self.texts)

    @property
    def per_call(self) -> float:
        return self.size / len(self.texts)


def load_docs(corpus: Path | None, include_100mb: bool) -> tuple[list[Doc], str | None]:
    found: list[Doc] = []
    note = None
    if corpus is not None and corpus.is_dir():
        files = sorted(corpus.glob("*.json"))
        for path in files:
            found.append(
                Doc(
                    path.name,
                    "corpus",
                    "corpus file",
                    [path.read_text(encoding="utf-8")],
                    source={"file": str(path)},
                )
            )
        if not files:
            note = f"no *.json in {corpus}: generated documents only"
    else:
        note = f"corpus folder {corpus} not found: generated documents only"
    for gen in docs.generated(include_100mb):
        built = gen.build()
        texts = built if isinstance(built, list) else [built]
        found.append(
            Doc(
                gen.name,
                gen.group,
                gen.what,
                texts,
                gen.huge,
                source={} if isinstance(built, list) else {"generated": gen.name},
            )
        )
    return found, note


# --- timing ---------------------------------------------------------------------


def _clock(loop: Callable[[list[str], int], None], texts: list[str], n: int) -> int:
    start = time.perf_counter_ns()
    loop(texts, n)
    return time.perf_counter_ns() - start


def _same_bytes(ours: bytes, theirs: Any) -> bool:
    return ours == (theirs.encode("utf-8") if isinstance(theirs, str) else theirs)


SIMDJSON = "simdjson"  # the yardstick's turn in the rotation


def measure(
    doc: Doc,
    settings: argparse.Namespace,
    predicted_ns: dict[str, float],
    binary: Path | None = None,
) -> tuple[dict[str, Any], dict[str, Any] | None]:
    """Times every contender on `doc`, and simdjson when `binary` is the yardstick;
    returns one entry per contender, and simdjson's figures (None if not run)."""
    rounds = settings.huge_rounds if doc.huge else settings.rounds
    target_ns = settings.min_ms * 1_000_000
    results: dict[str, dict[str, Any]] = {}
    active: list[str] = []
    calls: dict[str, int] = {}
    reference: bytes | None = None
    simd_turn = yardstick_turn(binary, doc, settings) if binary is not None else None
    simd_rounds: list[dict[str, Any]] = []
    simd: dict[str, Any] | None = None
    if simd_turn is not None:
        simd = simd_turn()  # a first run: does it read the document at all?
        if "error" not in simd:
            active.append(SIMDJSON)

    gc.collect()
    gc.disable()
    try:
        for contender in CONTENDERS:
            entry: dict[str, Any] = {"status": "ok"}
            results[contender.key] = entry
            if settings.quick and not contender.ours and contender.digest:
                entry.update(status="skipped", reason="--quick: peer + sha256 not run")
                continue
            if doc.huge and not contender.ours:
                if contender.digest:
                    entry.update(status="skipped", reason="peer + sha256 not run at 100 MB")
                    continue
                guess = predicted_ns.get(contender.key)
                if guess is not None and guess * doc.size / 1e9 > PEER_SLOW_LIMIT_S:
                    entry.update(
                        status="skipped",
                        reason=f"predicted {guess * doc.size / 1e9:.0f} s per call "
                        f"(> {PEER_SLOW_LIMIT_S:.0f} s)",
                    )
                    continue
            loop, one = LOOPS[contender.key]
            try:
                start = time.perf_counter_ns()
                output = one(doc.texts[0])
                first_ns = time.perf_counter_ns() - start
                if len(doc.texts) > 1:
                    first_ns = _clock(loop, doc.texts, 1)  # every record must be accepted too
            except Exception as refusal:  # a peer that rejects the document
                entry.update(status="refused", reason=f"{type(refusal).__name__}: {refusal}"[:200])
                continue
            if contender.key == "bytes":
                reference = output
            elif not contender.digest and reference is not None:
                entry["same_bytes_as_ours"] = _same_bytes(reference, output)
            del output
            if doc.huge or first_ns >= target_ns:
                calls[contender.key] = 1  # slow enough that one call makes a turn
            else:
                # The quickest of a few passes: a pass slowed by a stray
                # interruption must not shrink every later turn.
                one_pass = min(_clock(loop, doc.texts, 1) for _ in range(3))
                calls[contender.key] = max(1, math.ceil(target_ns / max(one_pass, 1)))
            active.append(contender.key)

        samples: dict[str, list[float]] = {key: [] for key in active}
        for round_no in range(rounds):
            shift = round_no % len(active) if active else 0
            for key in active[shift:] + active[:shift]:
                if key == SIMDJSON:
                    assert simd_turn is not None
                    simd_rounds.append(simd_turn())
                    continue
                n = calls[key]
                elapsed = _clock(LOOPS[key][0], doc.texts, n)
                samples[key].append(elapsed / (n * len(doc.texts)))
    finally:
        gc.enable()
        gc.collect()

    if simd_rounds:
        simd = simdjson_summary(simd_rounds, doc.size)
    for key in active:
        if key == SIMDJSON:
            continue
        ns = statistics.median(samples[key])
        results[key].update(
            ns_per_call=ns,
            mb_per_s=doc.per_call / ns * 1000,
            min_ns_per_call=min(samples[key]),
            max_ns_per_call=max(samples[key]),
            rounds_ns_per_call=samples[key],
            calls_per_round=calls[key] * len(doc.texts),
        )
    return results, simd


def yardstick_turn(
    binary: Path, doc: Doc, settings: argparse.Namespace
) -> Callable[[], dict[str, Any]] | None:
    """One round of simdjson on a single-text document (None for the many small records)."""
    if len(doc.texts) != 1:
        return None
    path = Path(doc.source["file"]) if "file" in doc.source else None
    data = None if path is not None else doc.texts[0].encode("utf-8")

    def turn() -> dict[str, Any]:
        simd = yardstick.run(binary, path=path, data=data, rounds=1, min_ms=settings.min_ms)
        if "error" not in simd and simd.get("bytes") != doc.size:
            # Not the text the module is timed on: its figures would compare nothing.
            return {
                "error": f"simdjson read {simd.get('bytes')} bytes, the document has {doc.size}"
            }
        return simd

    return turn


def simdjson_summary(rounds: list[dict[str, Any]], size: int) -> dict[str, Any]:
    """Median over the yardstick's rounds, as for the contenders."""
    failed = next((r for r in rounds if "error" in r), None)
    if failed is not None:
        return failed
    out: dict[str, Any] = {
        "implementation": rounds[0].get("implementation"),
        "bytes": size,
        "rounds": len(rounds),
    }
    for what in ("parse", "minify"):
        ns = [float(r[f"{what}_ns"]) for r in rounds]
        middle = statistics.median(ns)
        out.update(
            {f"{what}_ns": middle, f"{what}_mb_s": size / middle * 1000, f"{what}_rounds_ns": ns}
        )
    return out


# --- memory -------------------------------------------------------------------


def probe(source: dict[str, str], contender: str, call: bool = True) -> dict[str, Any]:
    command = [sys.executable, str(BENCH / "memprobe.py"), "--contender", contender]
    if "file" in source:
        command += ["--file", source["file"]]
    else:
        command += ["--generated", source["generated"]]
    if not call:
        command.append("--no-call")
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1:] or [f"exit {done.returncode}"]}
    report: dict[str, Any] = json.loads(done.stdout)
    return report


def measure_memory(source: dict[str, str], contenders: list[str]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    baseline = None
    for contender in contenders:
        report = probe(source, contender)
        if "error" not in report and not report["clear_refs"]:
            # No peak reset here: compare the whole process's peak with that
            # of a process that only loads the text.
            if baseline is None:
                baseline = probe(source, contender, call=False)
            report["peak_extra_bytes"] = report["ru_maxrss_bytes"] - baseline["ru_maxrss_bytes"]
            report["method"] = "ru_maxrss difference"
        else:
            report["method"] = "VmHWM reset via clear_refs"
        if report.get("peak_extra_bytes") is not None:
            report["peak_ratio"] = report["peak_extra_bytes"] / report["input_bytes"]
            report["peak_ratio_with_utf8_cache"] = (
                report["peak_extra_bytes"] + report["utf8_cache_bytes"]
            ) / report["input_bytes"]
        out[contender] = report
    return out


# --- derived figures --------------------------------------------------------------


def ns(result: dict[str, Any], key: str) -> float | None:
    entry = result["contenders"].get(key, {})
    value = entry.get("ns_per_call")
    return float(value) if value is not None else None


def ratio(result: dict[str, Any], ours: str, theirs: str) -> float | None:
    """How many times faster `ours` is than `theirs` (> 1: ours is faster)."""
    mine, other = ns(result, ours), ns(result, theirs)
    if mine is None or other is None:
        return None
    return other / mine


def simdjson_mb_s(result: dict[str, Any], what: str) -> float | None:
    """simdjson's MB/s for `what` ("parse" or "minify") on this document, if measured."""
    value = (result.get("yardstick") or {}).get(f"{what}_mb_s")
    return float(value) if value is not None else None


def vs_simdjson(result: dict[str, Any], key: str, what: str) -> float | None:
    """Our MB/s over simdjson's (1 = as fast as simdjson's DOM parse or minify).

    The median of the rounds' own ratios, each of our turns against
    simdjson's turn in the same round: on a machine whose speed changes from
    one stretch of seconds to the next, a ratio of two medians taken over
    different stretches moves with it, a ratio within a round much less.
    """
    ours = result["contenders"].get(key, {})
    theirs = result.get("yardstick") or {}
    ours_ns, theirs_ns = ours.get("rounds_ns_per_call"), theirs.get(f"{what}_rounds_ns")
    if ours_ns and theirs_ns and len(ours_ns) == len(theirs_ns):
        return statistics.median(t / o for o, t in zip(ours_ns, theirs_ns, strict=True))
    mine, other = ours.get("mb_per_s"), simdjson_mb_s(result, what)
    return None if mine is None or other is None else mine / other


def add_ratios(result: dict[str, Any]) -> None:
    ratios = {f"bytes_vs_{peer}": ratio(result, "bytes", peer) for peer in PEERS}
    ratios["digest_vs_bytes+sha256"] = ratio(result, "digest", "bytes+sha256")
    for peer in PEERS:
        ratios[f"digest_vs_{peer}+sha256"] = ratio(result, "digest", f"{peer}+sha256")
    for key in ("bytes", "digest"):
        for what in ("parse", "minify"):
            ratios[f"{key}_vs_simdjson_{what}"] = vs_simdjson(result, key, what)
    result["ratios"] = ratios


def growth(results: list[dict[str, Any]], key: str) -> dict[str, float | None]:
    """Exponent k in time ~ size^k between consecutive sizes of the scaled shape,
    and between the smallest and the largest when there are more than two."""
    scale = sorted((r for r in results if r["group"] == "scale"), key=lambda r: r["size_bytes"])
    out: dict[str, float | None] = {}
    spans = list(itertools.pairwise(scale))
    if len(scale) > 2:
        spans.append((scale[0], scale[-1]))
    for small, large in spans:
        a, b = ns(small, key), ns(large, key)
        label = f"{small['name']}->{large['name']}"
        if a is None or b is None:
            out[label] = None
        else:
            out[label] = math.log(b / a) / math.log(large["size_bytes"] / small["size_bytes"])
    return out


LINEAR_LIMIT = 1.10  # size exponent between 1 MB and 100 MB still called linear
LINEAR_LIMIT_WIDE = 1.05  # the same, between 1 KB and 100 MB
SIMDJSON_PARSE_SHARE = 0.5  # canonical bytes at least this share of simdjson's DOM parse MB/s


def targets(results: list[dict[str, Any]]) -> list[dict[str, Any]]:
    corpus = [r for r in results if r["group"] == "corpus"]
    checks: list[dict[str, Any]] = []

    def check(
        name: str, rows: list[tuple[str, float | None]], limit: float, higher_is_better: bool = True
    ) -> None:
        measured = [(doc, v) for doc, v in rows if v is not None]
        if not measured:
            checks.append({"target": name, "status": "not measured", "worst": None})
            return
        worst_doc, worst = (min if higher_is_better else max)(measured, key=lambda dv: dv[1])
        ok = worst >= limit if higher_is_better else worst <= limit
        misses = [doc for doc, v in measured if (v < limit if higher_is_better else v > limit)]
        unmeasured = [doc for doc, v in rows if v is None]
        checks.append(
            {
                "target": name,
                "status": "pass" if ok else "FAIL",
                "worst": worst,
                "worst_doc": worst_doc,
                "limit": limit,
                "misses": misses,
                "not_measured": unmeasured,
            }
        )

    check(
        "canonical_bytes_from_json >= 1.5x orjson round trip, every corpus file",
        [(r["name"], r["ratios"]["bytes_vs_orjson"]) for r in corpus],
        1.5,
    )
    check(
        "canonical_bytes_from_json >= 10x json round trip, every corpus file",
        [(r["name"], r["ratios"]["bytes_vs_json"]) for r in corpus],
        10.0,
    )
    check(
        f"canonical_bytes_from_json >= {SIMDJSON_PARSE_SHARE}x simdjson DOM parse MB/s "
        "(C++, same run), every corpus file",
        [(r["name"], r["ratios"].get("bytes_vs_simdjson_parse")) for r in corpus],
        SIMDJSON_PARSE_SHARE,
    )
    check(
        "digest_from_json >= 1.0x (canonical_bytes_from_json + sha256), every document",
        [(r["name"], r["ratios"]["digest_vs_bytes+sha256"]) for r in results],
        1.0,
    )
    small = [r for r in results if r["name"] == "small-records"]
    check(
        "small records: ns/call of each function <= orjson round trip (orjson / ours)",
        [
            (f"{r['name']} {fn}", ratio(r, fn, "orjson"))
            for r in small
            for fn in ("bytes", "digest")
        ],
        1.0,
    )
    check(
        "small records: canonical_bytes_from_json ns/call <= 0.5x orjson round trip "
        "(orjson / ours >= 2)",
        [(f"{r['name']} bytes", ratio(r, "bytes", "orjson")) for r in small],
        2.0,
    )
    check(
        "peak extra memory of one call <= 4x input, every corpus file (UTF-8 cache apart)",
        [
            (f"{r['name']} {fn}", r.get("memory", {}).get(fn, {}).get("peak_ratio"))
            for r in corpus
            for fn in ("bytes", "digest")
        ],
        4.0,
        higher_is_better=False,
    )
    big = [r for r in results if r["name"] == "catalog-100MB"]
    rows: list[tuple[str, float | None]] = []
    if big:
        for fn in ("bytes", "digest"):
            rows += [
                (f"{fn} {span}", k)
                for span, k in growth(results, fn).items()
                if span.endswith("catalog-100MB")
            ]
    check(
        f"linear growth 1 MB -> 100 MB: size exponent <= {LINEAR_LIMIT}",
        rows,
        LINEAR_LIMIT,
        higher_is_better=False,
    )
    wide: list[tuple[str, float | None]] = []
    if big:
        for fn in ("bytes", "digest"):
            wide += [
                (f"{fn} {span}", k)
                for span, k in growth(results, fn).items()
                if span == "catalog-1KB->catalog-100MB"
            ]
    check(
        f"linear growth 1 KB -> 100 MB: size exponent <= {LINEAR_LIMIT_WIDE}",
        wide,
        LINEAR_LIMIT_WIDE,
        higher_is_better=False,
    )
    return checks


# --- printing -----------------------------------------------------------------


def human_size(size: float) -> str:
    for unit, scale in (("MB", 1e6), ("KB", 1e3)):
        if size >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size:.0f} B"


def fnum(value: float | None, suffix: str = "") -> str:
    if value is None:
        return "n/a"
    if value >= 100:
        return f"{value:,.0f}{suffix}"
    return f"{value:.3g}{suffix}"


def table(headers: list[str], rows: list[list[str]]) -> str:
    widths = [
        max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)
    ]
    lines = [
        "  ".join(
            h.ljust(w) if i == 0 else h.rjust(w)
            for i, (h, w) in enumerate(zip(headers, widths, strict=True))
        )
    ]
    lines.append("  ".join("-" * w for w in widths))
    for row in rows:
        lines.append(
            "  ".join(
                c.ljust(w) if i == 0 else c.rjust(w)
                for i, (c, w) in enumerate(zip(row, widths, strict=True))
            )
        )
    return "\n".join(lines)


def mbps(result: dict[str, Any], key: str) -> str:
    entry = result["contenders"][key]
    return fnum(entry.get("mb_per_s")) if entry["status"] == "ok" else "n/a"


def report(results: list[dict[str, Any]], checks: list[dict[str, Any]]) -> str:
    out: list[str] = []
    shown = ["bytes", "digest", "bytes+sha256", *PEERS]
    out.append("Throughput, MB/s of input (median of rounds; n/a = refused or not run)")
    out.append(
        table(
            ["document", "size", *shown],
            [
                [r["name"], human_size(r["size_bytes"]), *(mbps(r, k) for k in shown)]
                for r in results
            ],
        )
    )

    with_simd = [r for r in results if r.get("yardstick")]
    if with_simd:
        out.append(
            "\nsimdjson (C++ yardstick, one turn in every round of the document): "
            "MB/s, and our MB/s over simdjson's"
        )
        rows = []
        for r in with_simd:
            simd = r["yardstick"]
            if "error" in simd:
                rows.append(
                    [
                        r["name"],
                        human_size(r["size_bytes"]),
                        "error",
                        "error",
                        mbps(r, "bytes"),
                        "n/a",
                        "n/a",
                        "n/a",
                    ]
                )
                continue
            rows.append(
                [
                    r["name"],
                    human_size(r["size_bytes"]),
                    fnum(simdjson_mb_s(r, "parse")),
                    fnum(simdjson_mb_s(r, "minify")),
                    mbps(r, "bytes"),
                    fnum(r["ratios"]["bytes_vs_simdjson_parse"], "x"),
                    fnum(r["ratios"]["bytes_vs_simdjson_minify"], "x"),
                    fnum(r["ratios"]["digest_vs_simdjson_parse"], "x"),
                ]
            )
        out.append(
            table(
                [
                    "document",
                    "size",
                    "simd parse",
                    "simd minify",
                    "bytes",
                    "bytes/parse",
                    "bytes/minify",
                    "digest/parse",
                ],
                rows,
            )
        )
        failed = [
            (r["name"], r["yardstick"]["error"]) for r in with_simd if "error" in r["yardstick"]
        ]
        out += [f"  yardstick error on {name}: {why}" for name, why in failed]

    out.append(
        "\ncanonical_bytes_from_json: times faster than each peer's round trip; "
        "peak extra memory of one call, in input sizes"
    )
    rows = []
    for r in results:
        memory = r.get("memory", {})
        rows.append(
            [
                r["name"],
                *(fnum(r["ratios"][f"bytes_vs_{p}"], "x") for p in PEERS),
                *(fnum(memory.get(fn, {}).get("peak_ratio"), "x") for fn in ("bytes", "digest")),
            ]
        )
    out.append(table(["document", *(f"vs {p}" for p in PEERS), "mem bytes", "mem digest"], rows))

    out.append(
        "\ndigest_from_json: times faster than canonical_bytes_from_json + sha256, "
        "and than each peer's round trip + sha256"
    )
    rows = [
        [
            r["name"],
            fnum(r["ratios"]["digest_vs_bytes+sha256"], "x"),
            *(fnum(r["ratios"][f"digest_vs_{p}+sha256"], "x") for p in PEERS),
        ]
        for r in results
    ]
    out.append(table(["document", "vs bytes+sha256", *(f"vs {p}+sha256" for p in PEERS)], rows))

    small = next((r for r in results if r["name"] == "small-records"), None)
    if small is not None:
        out.append(
            f"\nSmall records: {small['calls']:,} distinct records, "
            f"{small['size_bytes'] / small['calls']:.0f} B on average; ns per call"
        )
        rows = []
        for c in CONTENDERS:
            entry = small["contenders"][c.key]
            rows.append(
                [
                    c.key,
                    fnum(entry.get("ns_per_call")),
                    fnum(ratio(small, "bytes", c.key), "x"),
                    fnum(ratio(small, "digest", c.key), "x"),
                ]
            )
        out.append(table(["contender", "ns/call", "bytes faster", "digest faster"], rows))

    scale = [r for r in results if r["group"] == "scale"]
    if scale:
        out.append("\nGrowth with size (one shape); MB/s, and the exponent k in time ~ size^k")
        out.append(
            table(
                ["document", "size", *CHARTED],
                [
                    [r["name"], human_size(r["size_bytes"]), *(mbps(r, k) for k in CHARTED)]
                    for r in scale
                ],
            )
        )
        for key in CHARTED:
            spans = growth(results, key)
            out.append(
                f"  k {key:14}" + "  ".join(f"{span}: {fnum(k)}" for span, k in spans.items())
            )

    with_memory = [r for r in results if r.get("memory")]
    if with_memory:
        out.append(
            "\nPeak extra memory of one call (fresh process; UTF-8 cache = CPython's cached "
            "UTF-8 copy of a non-ASCII str, counted apart)"
        )
        probes = sorted(
            {k for r in with_memory for k in r["memory"]}, key=["bytes", "digest", "orjson"].index
        )
        rows = []
        for r in with_memory:
            cells = [
                r["name"],
                human_size(r["size_bytes"]),
                human_size(next(iter(r["memory"].values())).get("utf8_cache_bytes", 0)),
            ]
            for p in probes:
                m = r["memory"].get(p, {})
                extra = m.get("peak_extra_bytes")
                cells.append(
                    "n/a" if extra is None else f"{human_size(extra)} ({m['peak_ratio']:.2f}x)"
                )
            rows.append(cells)
        out.append(table(["document", "input", "UTF-8 cache", *probes], rows))

    refused = [
        (r["name"], k, e["reason"])
        for r in results
        for k, e in r["contenders"].items()
        if e["status"] == "refused"
    ]
    if refused:
        out.append("\nRefused by a peer:")
        out += [f"  {doc}: {key}: {why}" for doc, key, why in refused]

    out.append("\nTargets")
    for check in checks:
        line = f"  [{check['status']:^12}] {check['target']}"
        if check["worst"] is not None:
            line += f": worst {check['worst']:.3g} ({check['worst_doc']})"
            if check["misses"]:
                line += f"; misses: {', '.join(check['misses'])}"
        out.append(line)
    return "\n".join(out)


# --- main -----------------------------------------------------------------------


def environment() -> dict[str, Any]:
    cpu = platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    versions: dict[str, str | None] = {}
    for package in ("quorl_core", "orjson", "rfc8785", "canonicaljson", "matplotlib"):
        try:
            versions[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            versions[package] = None
    commit = (
        subprocess.run(
            ["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            check=False,
        ).stdout.strip()
        or None
    )
    # `commit` is the checkout's HEAD, which need not be what the installed
    # module was built from: `module` says which install was measured.
    return {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "cpu": cpu,
        "versions": versions,
        "commit": commit,
        "module": quorl_core.__file__,
        "date": datetime.now(UTC).isoformat(timespec="seconds"),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--corpus",
        type=Path,
        default=None,
        help="folder of tagged-JSON files (default: ../shared/corpus beside the "
        "checkout, else bench/corpus from bench/get_corpus.py)",
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="3 rounds of >= 10 ms, no 100 MB document, no peer + sha256 contenders",
    )
    parser.add_argument(
        "--out",
        type=Path,
        default=BENCH / "results",
        help="folder for results.json and chart.png (default: bench/results)",
    )
    parser.add_argument("--no-100mb", action="store_true", help="leave out the 100 MB document")
    parser.add_argument(
        "--chart",
        type=Path,
        default=None,
        help="also write the chart here (default: bench/chart.png, not with --quick)",
    )
    parser.add_argument("--rounds", type=int, default=None, help="rounds per document (default 9)")
    parser.add_argument(
        "--min-ms", type=float, default=None, help="shortest timed turn in ms (default 50)"
    )
    parser.add_argument("--no-memory", action="store_true", help="skip the memory probes")
    parser.add_argument(
        "--no-yardstick",
        action="store_true",
        help="skip the simdjson yardstick (bench/yardstick.cpp)",
    )
    args = parser.parse_args()
    args.rounds = args.rounds or (3 if args.quick else 9)
    args.huge_rounds = 3
    args.min_ms = args.min_ms or (10.0 if args.quick else 50.0)
    if args.chart is None and not args.quick:
        args.chart = BENCH / "chart.png"

    began = time.monotonic()
    load_before = os.getloadavg()
    if load_before[0] > 1.0:
        print(
            f"note: load average {load_before[0]:.1f} on {os.cpu_count()} cores: "
            "other work is running and the figures will be noisy",
            file=sys.stderr,
        )
    corpus = require_corpus(args.corpus)
    documents, note = load_docs(corpus, include_100mb=not (args.quick or args.no_100mb))
    if note:
        print(f"note: {note}", file=sys.stderr)

    binary: Path | None = None
    if not args.no_yardstick:
        binary, why_not = yardstick.build()
        if binary is None:
            print(
                f"warning: simdjson yardstick skipped, its columns stay empty: {why_not}",
                file=sys.stderr,
            )

    results: list[dict[str, Any]] = []
    predicted: dict[str, float] = {}  # ns per byte on the 1 MB document of the scaled shape
    for doc in documents:
        tick = time.monotonic()
        contenders, simd = measure(doc, args, predicted, binary)
        result = {
            "name": doc.name,
            "group": doc.group,
            "what": doc.what,
            "size_bytes": doc.size,
            "calls": len(doc.texts),
            "source": doc.source,
            "contenders": contenders,
            "yardstick": simd,
        }
        add_ratios(result)
        if doc.name == "catalog-1MB":
            predicted = {
                k: e["ns_per_call"] / doc.per_call
                for k, e in contenders.items()
                if e.get("ns_per_call") is not None
            }
        results.append(result)
        print(
            f"  {doc.name:22} {human_size(doc.size):>9}  {time.monotonic() - tick:5.1f} s",
            file=sys.stderr,
            flush=True,
        )
    del documents  # the 100 MB text and its UTF-8 copy

    if not args.no_memory:
        print("  memory probes ...", file=sys.stderr, flush=True)
        tick = time.monotonic()
        for doc_result in results:
            if not doc_result["source"] or (args.quick and doc_result["group"] != "corpus"):
                continue  # the small records, or a generated document in a quick run
            probes = ["bytes", "digest"] if args.quick else ["bytes", "digest", "orjson"]
            doc_result["memory"] = measure_memory(doc_result["source"], probes)
        print(f"  memory probes {time.monotonic() - tick:5.1f} s", file=sys.stderr, flush=True)

    checks = targets(results)
    env = environment()
    load_after = os.getloadavg()
    print(
        f"quorl_core {env['versions']['quorl_core']} from {env['module']} (checkout at "
        f"{env['commit']}), Python {env['python']}, {env['cpu']}; load average "
        f"{load_before[0]:.1f} at start, {load_after[0]:.1f} at end\n"
    )
    print(report(results, checks))

    args.out.mkdir(parents=True, exist_ok=True)
    payload: dict[str, Any] = {
        "environment": env,
        "settings": {
            "rounds": args.rounds,
            "rounds_100mb": args.huge_rounds,
            "min_ms_per_turn": args.min_ms,
            "quick": args.quick,
            "corpus": str(corpus) if note is None else None,
            "peer_slow_limit_s": PEER_SLOW_LIMIT_S,
            "yardstick": None if binary is None else " ".join(yardstick.compile_command(binary)),
        },
        "contenders": {c.key: c.label for c in CONTENDERS},
        "documents": results,
        "growth_exponents": {k: growth(results, k) for k in CHARTED},
        "targets": checks,
        "seconds": round(time.monotonic() - began, 1),
        "load_average": {"start": load_before, "end": load_after},
    }
    (args.out / "results.json").write_text(json.dumps(payload, indent=1) + "\n")

    import chart

    paths = [args.out / "chart.png"] + ([args.chart] if args.chart else [])
    chart.draw(results, CHARTED, paths, payload["environment"])
    print(
        f"\nwrote {args.out / 'results.json'}, "
        + ", ".join(str(p) for p in paths)
        + f" in {payload['seconds']:.0f} s",
        file=sys.stderr,
    )


if __name__ == "__main__":
    main()
