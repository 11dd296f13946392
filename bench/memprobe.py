"""Peak extra memory of one call, measured in a fresh process.

Run by run_bench.py and memory.py, once per (document, contender); the
contender quorl-bytes is the quorl package's canonical_bytes_from_json on
the document's bytes (made before the measurement, so not charged):

    python bench/memprobe.py (--file PATH | --generated NAME) --contender NAME [--no-call]
                             [--as-headroom BYTES]

Prints one JSON object. Native allocations are invisible to tracemalloc, so
the probe reads the kernel's counters instead: it resets the process's peak
resident size (VmHWM) by writing "5" to /proc/self/clear_refs, makes the one
call, and reads VmHWM again. Peak extra = VmHWM after the call - VmRSS before
it, so it counts every page the call touched, the returned object included.

Before the reset the probe
- makes CPython build the str's cached UTF-8 form (PyUnicode_AsUTF8AndSize),
  which the module and orjson read; for a non-ASCII str that cache is an
  extra copy that lives as long as the str does. It is reported separately
  (utf8_cache_bytes) rather than charged to the call;
- faults in the pages of every shared library mapped (the module's code
  among them), which a first call would otherwise count as its own;
- runs gc and malloc_trim(0), so the call cannot reuse pages left resident by
  loading the text: what it needs, it has to fault in, and VmHWM sees it.

Where clear_refs cannot be written, the probe reports clear_refs=false and
its ru_maxrss; run_bench.py then compares a probe that calls with one that
only loads (--no-call).

With --as-headroom BYTES (used by bench/memory.py) the probe asks another
question: does one call succeed when the process may map at most BYTES more
address space than it has right before the call (RLIMIT_AS)? It first makes
one call on a tiny document, so that one-off set-up is not charged to the
measured call, and reports ok=true, or ok=false with the MemoryError.
Every probe also reports VmSize and VmPeak around the call.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import hashlib
import json
import re
import resource
import sys
from pathlib import Path
from typing import Any


def _status_kib(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        match = re.search(rf"^{field}:\s+(\d+) kB", status.read(), re.M)
    if match is None:
        raise RuntimeError(f"{field} not in /proc/self/status")
    return int(match.group(1))


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear:
            clear.write("5")
    except OSError:
        return False
    return True


def _load_code() -> None:
    """Faults in every page of the shared libraries the process has mapped.

    A first call runs code that nothing has run yet, and the kernel counts
    each page of it in VmHWM as it is read from the file. Those pages are the
    library's, shared and reclaimable, not memory the call uses, and they
    would grow with the library's size rather than the document's.
    """
    with open("/proc/self/maps", encoding="ascii", errors="replace") as maps:
        regions = [line.split() for line in maps]
    for fields in regions:
        if len(fields) < 6 or not fields[1].startswith("r") or not fields[5].startswith("/"):
            continue
        if ".so" not in fields[5]:
            continue
        start, end = (int(x, 16) for x in fields[0].split("-"))
        for page in range(start, end, 4096):
            ctypes.c_char.from_address(page).value  # noqa: B018 (a read that faults the page in)


def _trim() -> None:
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass  # not glibc: the baseline is a little less exact


def _as_limited_call(call, text: str | bytes, headroom: int) -> tuple[Any, str | None]:
    """One call with the address space capped at VmSize + headroom; (result, error)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = _status_kib("VmSize") * 1024 + headroom
    if hard != resource.RLIM_INFINITY:
        limit = min(limit, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        return call(text), None
    except MemoryError as error:
        return None, f"MemoryError: {error}"[:200]
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def _contender(name: str):
    if name == "quorl-bytes":  # the quorl package's, on the file's bytes
        import quorl

        return quorl.canonical_bytes_from_json
    if name in ("bytes", "digest"):
        import quorl_core

        if name == "bytes":
            return quorl_core.canonical_bytes_from_json
        return lambda text: quorl_core.digest_from_json(text, "run")
    if name == "orjson":
        import orjson

        return lambda text: orjson.dumps(orjson.loads(text), option=orjson.OPT_SORT_KEYS)
    raise SystemExit(f"unknown contender {name!r}")


def main() -> None:
    parser = argparse.ArgumentParser()
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--file", type=Path)
    source.add_argument("--generated")
    parser.add_argument("--contender", required=True)
    parser.add_argument("--no-call", action="store_true")
    parser.add_argument(
        "--as-headroom",
        type=int,
        default=None,
        help="cap the address space at VmSize + this many bytes for the call",
    )
    args = parser.parse_args()

    call = _contender(args.contender)
    hashlib.sha256(b"")  # load everything the call may touch before measuring

    if args.file is not None:
        text = args.file.read_text(encoding="utf-8")
    else:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        import docs

        built = docs.by_name(args.generated).build()
        if not isinstance(built, str):
            raise SystemExit("memory is measured on single documents only")
        text = built
    document: str | bytes = text
    if args.contender.startswith("quorl-"):
        document = text.encode("utf-8")
        input_bytes = len(document)
        utf8_cache = 0
    else:
        input_bytes = len(text.encode("utf-8"))
        as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
        as_utf8.argtypes = [ctypes.py_object, ctypes.c_void_p]
        as_utf8.restype = ctypes.c_void_p
        as_utf8(text, None)
        # ASCII strs are their own UTF-8; others now carry a copy plus its NUL.
        utf8_cache = 0 if text.isascii() else input_bytes + 1
    del text

    if args.as_headroom is not None:
        warm = '{"warm":[1]}'
        call(warm.encode() if isinstance(document, bytes) else warm)  # one-off set-up, not charged
    _load_code()
    _trim()
    size_before, peak_before = _status_kib("VmSize"), _status_kib("VmPeak")
    rss_before = _status_kib("VmRSS")
    reset = _reset_peak()
    result = None
    error = None
    if args.no_call:
        pass
    elif args.as_headroom is not None:
        result, error = _as_limited_call(call, document, args.as_headroom)
    else:
        result = call(document)
    hwm_after = _status_kib("VmHWM")
    peak_after = _status_kib("VmPeak")
    report = {
        "contender": args.contender,
        "input_bytes": input_bytes,
        "utf8_cache_bytes": utf8_cache,
        "clear_refs": reset,
        "rss_before_bytes": rss_before * 1024,
        "peak_extra_bytes": (hwm_after - rss_before) * 1024 if reset else None,
        "ru_maxrss_bytes": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
        "output_bytes": len(result) if result is not None else 0,
        "vm_size_before_bytes": size_before * 1024,
        "vm_peak_before_bytes": peak_before * 1024,
        "vm_peak_after_bytes": peak_after * 1024,
    }
    if args.as_headroom is not None:
        report.update(as_headroom=args.as_headroom, ok=error is None, error=error)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
