"""Interleaved timing for the bench scripts: contenders take turns within
every round (the first one rotating), each turn long enough to be measured;
the figure is the median over rounds, in seconds per call."""

from __future__ import annotations

import gc
import statistics
import time
from collections.abc import Callable


def per_call(fn: Callable[[], object], min_s: float) -> float:
    """Seconds per call of fn, over enough calls to last at least min_s."""
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= min_s:
            return elapsed / n
        n = max(n * 2, int(n * min_s / max(elapsed, 1e-9) * 1.2))


def interleaved(
    contenders: dict[str, Callable[[], object]], rounds: int = 7, min_s: float = 0.05
) -> dict[str, float]:
    """Median seconds per call of each contender, measured side by side."""
    names = list(contenders)
    samples: dict[str, list[float]] = {name: [] for name in names}
    for fn in contenders.values():
        fn()  # warm caches and the per-thread buffers
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            for k in range(len(names)):
                name = names[(r + k) % len(names)]
                samples[name].append(per_call(contenders[name], min_s))
    finally:
        if gc_was_enabled:
            gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}
