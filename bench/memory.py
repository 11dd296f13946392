"""Memory ceilings of quorl_core's text functions, measured (never pass/fail).

    python bench/memory.py [--corpus DIR] [--quick] [--large] [--threads 40]
                           [--before bench/memory_before.json] [--save-before PATH]

For canonical_bytes_from_json(t) and digest_from_json(t, "run") on every
corpus file and on two generated 20 MB documents (product records, and
strings full of escapes and non-ASCII text), it prints:

1. Peak extra resident memory of one call: bench/memprobe.py in a fresh
   process resets VmHWM, makes the call and reads VmHWM again (see there).
   The returned object is included; CPython's cached UTF-8 copy of the str
   is not (it is made before the reset). Its working memory is that minus
   the result: what one call needs beyond its input and what it returns.

2. Address space one call needs: the smallest RLIMIT_AS headroom, above
   the process's VmSize right before the call, at which the call still
   succeeds. Found by bisection, each try a fresh process (memprobe.py
   --as-headroom), to within max(4 KiB, input / 512). Reported with and
   without the returned object (for canonical bytes the result is 1x the
   input: "minus result" takes its length off; for the digest the result is
   a short str). To see the call's own requests rather than holes left by
   loading the text, the probe processes run with PYTHONMALLOC=malloc and
   GLIBC_TUNABLES fixing glibc's mmap threshold at 128 KiB and its top pad at
   0: every block from 128 KiB up is then a mapping of its own, made and
   unmapped with the block, and the heap grows by what is asked. Limits:
   the figure is the address space (mapped, not necessarily touched);
   allocator rounding adds up to a page per block; a momentary mapping
   (the module maps large buffers with a huge page of slack, then trims it)
   counts; and it assumes that more headroom never makes a call fail. As a
   check, the same probe reports VmPeak - VmSize around an unlimited call
   ("VmPeak" column) when the call raised VmPeak above what loading left
   (else "<= slack": loading had peaked higher).

3. Memory kept per thread between calls: in a fresh process, --threads
   threads each make one call (one at a time, so that the peak stays low)
   on a ~4 MB and, in a second process, a ~20 MB document, then wait idle.
   The process's VmRSS, with gc run, minus that of the same threads having
   done nothing, divided by the thread count; also against threads that
   only made a bytes object of the document's size (the text encoded: what
   the allocator keeps of a freed result of that size is the interpreter's,
   not the call's, and the canonical bytes are held to this), against
   threads that made the orjson round trip, and after malloc_trim(0) (which
   gives back what the allocator keeps cached but no longer uses).

With --large, it also generates (once, into the git-ignored cache folder)
product catalogs of 99 MB and 499 MB, whose objects have their keys out of
order, and the same catalogs in key order, and reports the peak working
memory of one canonical_bytes_from_json call on each, for quorl_core on
the str and for the quorl package on the bytes (one probe each: the
address space and the threads are not measured on them).

Targets printed next to the figures: working memory <= 1.3x the input;
kept per idle thread <= 1 MiB (the bytes
call against threads that made a result of its size); address space of one
call <= about 2x the input (result apart); peak extra memory at or under the
figure measured before the current rework (memory_before.json, with the
commit it was measured at). Writes bench/results/memory.json too.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import docs  # noqa: E402
from corpus_dir import require_corpus  # noqa: E402
from memprobe import _status_kib  # noqa: E402

CACHE = BENCH / "results" / "memory"
BEFORE = BENCH / "memory_before.json"
FUNCTIONS = ["bytes", "digest"]
PAGE = 4096
MiB = 1 << 20

KEPT_PER_THREAD_LIMIT = 1 * MiB
WORKING_RATIO_LIMIT = 1.3
AS_RATIO_LIMIT = 2.0
# Below this a call's fixed working buffers weigh next to the document.
SMALL_DOCUMENT_BYTES = 64 * 1024
PEAK_SLACK = 16 * 1024  # jitter allowed above the before figure: this, or 2% of it if more

# Allocation set-up for the address-space probes (see the docstring).
AS_ENV = {
    "PYTHONMALLOC": "malloc",
    "GLIBC_TUNABLES": "glibc.malloc.mmap_threshold=131072:glibc.malloc.top_pad=0",
}

GENERATED = {
    "catalog-20MB": ("product records, 20 MB", lambda: docs.catalog(20 * docs.MB)),
    "strings-20MB": (
        "strings with escapes and non-ASCII, 20 MB",
        lambda: docs.string_heavy(20 * docs.MB),
    ),
}
LARGE = {
    "catalog-99MB": lambda: docs.catalog(99 * docs.MB),
    "catalog-499MB": lambda: docs.catalog(499 * docs.MB),
}
LARGE_CALLS = ["bytes", "quorl-bytes"]
THREAD_DOCS = {
    "catalog-4MB": lambda: docs.catalog(4 * docs.MB),
    "catalog-20MB": lambda: docs.catalog(20 * docs.MB),
}


def cached_document(name: str, build: Callable[[], str]) -> Path:
    """A generated document written once to the git-ignored cache folder."""
    path = CACHE / f"{name}.json"
    if not path.is_file():
        CACHE.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        partial.write_text(build(), encoding="utf-8")
        partial.replace(path)
    return path


def in_key_order(path: Path) -> str:
    """The canonical text of the document at path: the same data, keys in order."""
    import quorl_core

    return quorl_core.canonical_bytes_from_json(path.read_text(encoding="utf-8")).decode()


def working_bytes(peak: dict[str, Any]) -> int | None:
    """Peak extra memory of one call beyond its result."""
    extra = peak.get("peak_extra_bytes")
    return None if extra is None else max(0, extra - peak.get("output_bytes", 0))


# --- probes in fresh processes ------------------------------------------------------


def memprobe(path: Path, contender: str, headroom: int | None = None) -> dict[str, Any]:
    command = [
        sys.executable,
        str(BENCH / "memprobe.py"),
        "--file",
        str(path),
        "--contender",
        contender,
    ]
    env = None
    if headroom is not None:
        command += ["--as-headroom", str(headroom)]
        env = {**os.environ, **AS_ENV}
    done = subprocess.run(command, capture_output=True, text=True, check=False, env=env)
    if done.returncode != 0:
        # A call that cannot get memory must raise MemoryError, not kill the process.
        tail = done.stderr.strip().splitlines()[-1:] or [f"exit status {done.returncode}"]
        return {"ok": False, "crashed": True, "error": tail[0][:200], "returncode": done.returncode}
    report: dict[str, Any] = json.loads(done.stdout)
    return report


def address_space(path: Path, contender: str, input_bytes: int) -> dict[str, Any]:
    """Smallest headroom above VmSize at which one call succeeds (bisection)."""
    resolution = max(PAGE, (input_bytes // 512) // PAGE * PAGE)
    free = memprobe(path, contender, headroom=1 << 40)  # effectively unlimited
    if not free.get("ok"):
        return {"error": f"the call fails even without a limit: {free.get('error')}"}
    vmpeak_extra = None
    if free["vm_peak_after_bytes"] > free["vm_peak_before_bytes"]:
        vmpeak_extra = free["vm_peak_after_bytes"] - free["vm_size_before_bytes"]
    tries = 1
    crashes = []
    hi = max(vmpeak_extra or 0, 4 * input_bytes + 16 * MiB)
    while True:
        tries += 1
        attempt = memprobe(path, contender, headroom=hi)
        if attempt.get("ok"):
            break
        if attempt.get("crashed"):
            crashes.append(attempt["error"])
        if hi > 64 * input_bytes + (1 << 30):
            return {"error": f"no headroom up to {hi} bytes lets the call succeed"}
        hi *= 2
    lo = 0
    zero = memprobe(path, contender, headroom=0)
    tries += 1
    if zero.get("ok"):
        hi = 0
    elif zero.get("crashed"):
        crashes.append(zero["error"])
    while hi - lo > resolution:
        mid = (lo + hi) // 2 // PAGE * PAGE
        if mid <= lo:
            break
        tries += 1
        attempt = memprobe(path, contender, headroom=mid)
        if attempt.get("ok"):
            hi = mid
        else:
            lo = mid
            if attempt.get("crashed"):
                crashes.append(attempt["error"])
    output = free["output_bytes"] if contender == "bytes" else 0
    return {
        "as_extra_bytes": hi,
        "as_extra_bytes_lower": lo,
        "resolution": resolution,
        "output_bytes": free["output_bytes"],
        "as_extra_minus_result_bytes": max(0, hi - output),
        "as_ratio": hi / input_bytes,
        "as_ratio_minus_result": max(0, hi - output) / input_bytes,
        "vmpeak_extra_bytes": vmpeak_extra,
        "vmpeak_slack_bytes": free["vm_peak_before_bytes"] - free["vm_size_before_bytes"],
        "tries": tries,
        "crashes": crashes,
    }


# --- memory kept by idle threads ------------------------------------------------------


def thread_child(scenario: str, path: Path, threads: int) -> None:
    """Runs in a fresh process: `threads` threads each call once, then idle."""
    import hashlib

    import orjson

    import quorl_core

    calls: dict[str, Callable[[str], object] | None] = {
        "idle": None,
        "result": lambda t: t.encode(),
        "bytes": quorl_core.canonical_bytes_from_json,
        "digest": lambda t: quorl_core.digest_from_json(t, "run"),
        "orjson": lambda t: orjson.dumps(orjson.loads(t), option=orjson.OPT_SORT_KEYS),
    }
    call = calls[scenario]
    hashlib.sha256(b"")
    text = path.read_text(encoding="utf-8")
    as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    as_utf8.argtypes = [ctypes.py_object, ctypes.c_void_p]
    as_utf8.restype = ctypes.c_void_p
    as_utf8(text, None)  # the str's UTF-8 cache now, not in some thread's call

    one_at_a_time = threading.Lock()
    done = threading.Barrier(threads + 1)
    leave = threading.Event()

    def worker() -> None:
        if call is not None:
            with one_at_a_time:
                result = call(text)
                del result
        done.wait()
        leave.wait()

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for thread in pool:
        thread.start()
    done.wait()
    gc.collect()
    time.sleep(0.2)
    rss = _status_kib("VmRSS") * 1024
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    rss_trimmed = _status_kib("VmRSS") * 1024
    leave.set()
    for thread in pool:
        thread.join()
    print(
        json.dumps(
            {
                "scenario": scenario,
                "threads": threads,
                "rss_bytes": rss,
                "rss_trimmed_bytes": rss_trimmed,
            }
        )
    )


def kept_per_thread(path: Path, threads: int) -> dict[str, Any]:
    runs: dict[str, dict[str, Any]] = {}
    for scenario in ("idle", "result", "orjson", *FUNCTIONS):
        command = [
            sys.executable,
            str(Path(__file__).resolve()),
            "--thread-child",
            scenario,
            "--thread-doc",
            str(path),
            "--threads",
            str(threads),
        ]
        done = subprocess.run(command, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            runs[scenario] = {"error": (done.stderr.strip().splitlines() or ["?"])[-1][:200]}
        else:
            runs[scenario] = json.loads(done.stdout)
    out: dict[str, Any] = {"runs": runs}
    for fn in FUNCTIONS:
        figures: dict[str, float | None] = {}
        for base in ("idle", "result", "orjson"):
            for field in ("rss_bytes", "rss_trimmed_bytes"):
                ours, theirs = runs[fn].get(field), runs[base].get(field)
                key = f"vs_{base}" + ("_trimmed" if "trimmed" in field else "")
                figures[key] = None if ours is None or theirs is None else (ours - theirs) / threads
        out[fn] = figures
    return out


# --- printing ---------------------------------------------------------------------


def human(size: float | None) -> str:
    if size is None:
        return "n/a"
    sign = "-" if size < 0 else ""
    size = abs(size)
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale:
            return f"{sign}{size / scale:.3g} {unit}"
    return f"{sign}{size:.0f} B"


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
    lines += [
        "  ".join(
            c.ljust(w) if i == 0 else c.rjust(w)
            for i, (c, w) in enumerate(zip(row, widths, strict=True))
        )
        for row in rows
    ]
    return "\n".join(lines)


def large_report(large: list[dict[str, Any]]) -> str:
    rows = []
    for d in large:
        for fn in LARGE_CALLS:
            peak = d[fn]
            working = working_bytes(peak)
            ratio = None if working is None else working / d["input_bytes"]
            verdict = "n/a" if ratio is None else ("ok" if ratio <= WORKING_RATIO_LIMIT else "OVER")
            rows.append(
                [
                    d["name"],
                    fn,
                    human(d["input_bytes"]),
                    human(peak.get("peak_extra_bytes")),
                    human(peak.get("output_bytes")),
                    human(working),
                    "n/a" if ratio is None else f"{ratio:.2f}x",
                    verdict,
                ]
            )
    return (
        "\nPeak working memory of one call on large documents (peak extra minus the result); "
        f"target: <= {WORKING_RATIO_LIMIT:g}x input\n"
        + table(
            ["document", "call", "input", "peak extra", "result", "working", "/input", "target"],
            rows,
        )
    )


def working_summary(documents: list[dict[str, Any]], large: list[dict[str, Any]]) -> str:
    """The largest working memory of canonical_bytes_from_json over the input, by
    group of documents: the figures the README states its bound by."""
    groups: dict[str, list[tuple[float, str]]] = {}

    def add(group: str, name: str, call: str, peak: dict[str, Any], size: int) -> None:
        working = working_bytes(peak)
        if working is not None:
            groups.setdefault(group, []).append((working / size, f"{name}, {call}"))

    small = human(SMALL_DOCUMENT_BYTES)
    for d in documents:
        group = f"under {small}" if d["input_bytes"] < SMALL_DOCUMENT_BYTES else f"from {small}"
        add(group, d["name"], "bytes", d["bytes"]["peak"], d["input_bytes"])
    for d in large:
        in_order = d["name"].endswith("-sorted")
        group = "large, keys in order" if in_order else "large, keys out of order"
        for call in LARGE_CALLS:
            add(group, d["name"], call, d[call], d["input_bytes"])
    rows = [
        [group, f"{max(found)[0]:.2f}x", max(found)[1], f"{min(found)[0]:.2f}x"]
        for group, found in groups.items()
    ]
    return (
        "\nWorking memory of canonical_bytes_from_json (peak extra minus the result) over the "
        "input, largest and smallest by group; the README states these\n"
        + table(["documents", "largest", "where", "smallest"], rows)
    )


def report(
    documents: list[dict[str, Any]],
    threads: dict[str, Any],
    thread_count: int,
    before: dict[str, Any] | None,
) -> str:
    out: list[str] = []
    before_docs = (before or {}).get("documents", {})
    where = f" (before = {before['commit']})" if before else " (no before figures loaded)"
    out.append(
        "Peak extra resident memory of one call (fresh process; the result included, the "
        f"str's UTF-8 cache apart); target: at or under the before figure{where}"
    )
    rows = []
    for d in documents:
        for fn in FUNCTIONS:
            peak = d[fn]["peak"].get("peak_extra_bytes")
            old = before_docs.get(d["name"], {}).get(fn, {}).get("peak_extra_bytes")
            if peak is None or old is None:
                verdict = "n/a"
            else:
                verdict = "ok" if peak <= old + max(PEAK_SLACK, old // 50) else "OVER"
            working = working_bytes(d[fn]["peak"])
            rows.append(
                [
                    d["name"],
                    fn,
                    human(d["input_bytes"]),
                    human(peak),
                    "n/a" if peak is None else f"{peak / d['input_bytes']:.2f}x",
                    human(working),
                    "n/a" if working is None else f"{working / d['input_bytes']:.2f}x",
                    human(old),
                    "n/a" if old in (None, 0) or peak is None else f"{peak / old:.2f}",
                    verdict,
                ]
            )
    out.append(
        table(
            [
                "document",
                "call",
                "input",
                "peak extra",
                "/input",
                "working",
                "/input",
                "before",
                "now/before",
                "target",
            ],
            rows,
        )
    )

    out.append(
        f"\nAddress space one call needs (smallest RLIMIT_AS headroom above VmSize that "
        f"succeeds); target: minus result <= {AS_RATIO_LIMIT:g}x input"
    )
    rows = []
    for d in documents:
        for fn in FUNCTIONS:
            a = d[fn]["address_space"]
            if "error" in a:
                rows.append(
                    [d["name"], fn, human(d["input_bytes"]), "error", "", "", "", a["error"]]
                )
                continue
            vmpeak = (
                human(a["vmpeak_extra_bytes"])
                if a["vmpeak_extra_bytes"] is not None
                else f"<= {human(a['vmpeak_slack_bytes'])} slack"
            )
            verdict = "ok" if a["as_ratio_minus_result"] <= AS_RATIO_LIMIT else "OVER"
            if a["crashes"]:
                verdict += f" ({len(a['crashes'])} crashed)"
            rows.append(
                [
                    d["name"],
                    fn,
                    human(d["input_bytes"]),
                    human(a["as_extra_bytes"]),
                    f"{a['as_ratio']:.2f}x",
                    human(a["as_extra_minus_result_bytes"]),
                    f"{a['as_ratio_minus_result']:.2f}x",
                    vmpeak,
                    verdict,
                ]
            )
    out.append(
        table(
            [
                "document",
                "call",
                "input",
                "address space",
                "/input",
                "minus result",
                "/input",
                "VmPeak",
                "target",
            ],
            rows,
        )
    )

    out.append(
        f"\nMemory kept per idle thread after one call ({thread_count} threads, one call "
        f"each, then idle); target: <= {human(KEPT_PER_THREAD_LIMIT)} per thread"
    )
    rows = []
    for name, t in threads.items():
        errors = [f"{s}: {r['error']}" for s, r in t["runs"].items() if "error" in r]
        for fn in FUNCTIONS:
            f = t[fn]
            # The bytes call returns a result of the document's size; the digest a short str.
            worst = f.get("vs_result" if fn == "bytes" else "vs_idle")
            verdict = (
                "n/a" if worst is None else ("ok" if worst <= KEPT_PER_THREAD_LIMIT else "OVER")
            )
            rows.append(
                [
                    name,
                    fn,
                    human(f.get("vs_idle")),
                    human(f.get("vs_result")),
                    human(f.get("vs_orjson")),
                    human(f.get("vs_idle_trimmed")),
                    human(f.get("vs_orjson_trimmed")),
                    verdict,
                ]
            )
        out += [f"  {name}: {e}" for e in errors]
    out.append(
        table(
            [
                "document",
                "call",
                "vs idle",
                "vs its result",
                "vs orjson",
                "vs idle, trimmed",
                "vs orjson, trimmed",
                "target",
            ],
            rows,
        )
    )
    return "\n".join(out)


# --- main -------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", type=Path, default=None)
    parser.add_argument(
        "--quick",
        action="store_true",
        help="corpus files only, no 20 MB documents, threads on 4 MB only",
    )
    parser.add_argument(
        "--large",
        action="store_true",
        help="also the 99 MB and 499 MB catalogs, keys out of order and in order",
    )
    parser.add_argument("--threads", type=int, default=40)
    parser.add_argument(
        "--before",
        type=Path,
        default=BEFORE,
        help="before figures to compare with (default bench/memory_before.json)",
    )
    parser.add_argument(
        "--save-before",
        type=Path,
        default=None,
        help="write this run's figures as the before figures",
    )
    parser.add_argument(
        "--commit",
        default=None,
        help="with --save-before: the commit the installed module was built from",
    )
    parser.add_argument("--out", type=Path, default=BENCH / "results")
    parser.add_argument("--thread-child", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--thread-doc", type=Path, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.thread_child:
        thread_child(args.thread_child, args.thread_doc, args.threads)
        return

    try:
        import orjson  # noqa: F401

        import quorl_core  # noqa: F401
    except ImportError as missing:
        sys.exit(f"{missing}: install the module and its peers first: pip install '.[bench]'")

    began = time.monotonic()
    load_before = os.getloadavg()
    corpus = require_corpus(args.corpus)
    sources = [(p.name, p) for p in sorted(corpus.glob("*.json"))]
    if not args.quick:
        sources += [(name, cached_document(name, build)) for name, (_, build) in GENERATED.items()]

    documents = []
    for name, path in sources:
        tick = time.monotonic()
        input_bytes = len(path.read_text(encoding="utf-8").encode("utf-8"))
        entry: dict[str, Any] = {"name": name, "input_bytes": input_bytes, "file": str(path)}
        for fn in FUNCTIONS:
            entry[fn] = {
                "peak": memprobe(path, fn),
                "address_space": address_space(path, fn, input_bytes),
            }
        documents.append(entry)
        print(f"  {name:22} {time.monotonic() - tick:5.1f} s", file=sys.stderr, flush=True)

    thread_docs = {"catalog-4MB": THREAD_DOCS["catalog-4MB"]} if args.quick else THREAD_DOCS
    threads = {}
    for name, build in thread_docs.items():
        tick = time.monotonic()
        threads[name] = kept_per_thread(cached_document(name, build), args.threads)
        print(
            f"  threads on {name:11} {time.monotonic() - tick:5.1f} s", file=sys.stderr, flush=True
        )

    large = []
    if args.large:
        for name, build in LARGE.items():
            unsorted = cached_document(name, build)
            in_order = cached_document(f"{name}-sorted", lambda p=unsorted: in_key_order(p))
            for label, path in ((name, unsorted), (f"{name}-sorted", in_order)):
                tick = time.monotonic()
                input_bytes = path.stat().st_size
                large.append(
                    {
                        "name": label,
                        "input_bytes": input_bytes,
                        "file": str(path),
                        **{fn: memprobe(path, fn) for fn in LARGE_CALLS},
                    }
                )
                print(f"  {label:22} {time.monotonic() - tick:5.1f} s", file=sys.stderr, flush=True)

    before = None
    if args.before.is_file() and args.save_before is None:
        before = json.loads(args.before.read_text())
    load_after = os.getloadavg()
    import importlib.metadata

    print(
        f"quorl_core {importlib.metadata.version('quorl_core')}, Python {sys.version.split()[0]}; "
        f"load average {load_before[0]:.1f} at start, {load_after[0]:.1f} at end\n"
    )
    print(report(documents, threads, args.threads, before))
    if large:
        print(large_report(large))
    print(working_summary(documents, large))

    payload = {
        "date": datetime.now(UTC).isoformat(timespec="seconds"),
        "commit": args.commit,
        "threads": args.threads,
        "documents": documents,
        "kept_per_thread": threads,
        "large": large,
        "load_average": {"start": load_before, "end": load_after},
        "seconds": round(time.monotonic() - began, 1),
    }
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "memory.json").write_text(json.dumps(payload, indent=1) + "\n")
    if args.save_before is not None:
        saved = {
            "note": f"Memory figures of quorl_core built from commit {args.commit or '?'}, "
            "measured by bench/memory.py before the rework of the core (shared lexer, "
            "SIMD scanning, bounded stack and memory); later runs are held to "
            "peak_extra_bytes.",
            "commit": args.commit,
            "date": payload["date"],
            "documents": {
                d["name"]: {
                    fn: {
                        "input_bytes": d["input_bytes"],
                        "peak_extra_bytes": d[fn]["peak"].get("peak_extra_bytes"),
                        "as_extra_bytes": d[fn]["address_space"].get("as_extra_bytes"),
                        "as_extra_minus_result_bytes": d[fn]["address_space"].get(
                            "as_extra_minus_result_bytes"
                        ),
                    }
                    for fn in FUNCTIONS
                }
                for d in documents
            },
            "kept_per_thread": {
                name: {fn: t[fn] for fn in FUNCTIONS} for name, t in threads.items()
            },
        }
        args.save_before.write_text(json.dumps(saved, indent=1) + "\n")
        print(f"wrote the before figures to {args.save_before}", file=sys.stderr)
    print(f"wrote {args.out / 'memory.json'} in {payload['seconds']:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
