"""Huge integers in: quorl.canonical_bytes(n) against str(n).

The interpreter's own int -> str is divide and conquer since CPython 3.12;
quorl's conversion of an int of any size is too (and needs no lifting of
the process's digit limit). For each size, times both in one process,
interleaved round by round, and reports the medians and their ratio (above
1 means quorl is faster), then how the time grows from one size to the
next (an exponent of 2 would be quadratic).

    python bench/bench_ints.py [--rounds N] [--digits 100000,300000,1000000]
"""

from __future__ import annotations

import argparse
import math
import random
import statistics
import sys
import time

import quorl


def seconds(fn, value) -> float:
    start = time.perf_counter()
    fn(value)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--digits", default="100000,300000,1000000")
    args = parser.parse_args()
    sys.set_int_max_str_digits(0)  # str() of any size, for the peer
    sizes = [int(d) for d in args.digits.split(",")]
    rng = random.Random(7)
    print(f"{'digits':>10} {'quorl s':>9} {'str() s':>9} {'quorl/str':>10}")
    medians = []
    for digits in sizes:
        # A random int of that many digits, made from bits (fast), not from text.
        value = rng.getrandbits(math.ceil(digits * math.log2(10))) | 1
        ours, theirs = [], []
        for _ in range(args.rounds):
            ours.append(seconds(quorl.canonical_bytes, value))
            theirs.append(seconds(str, value))
        q, s = statistics.median(ours), statistics.median(theirs)
        medians.append(q)
        print(f"{digits:>10,} {q:>9.3f} {s:>9.3f} {s / q:>9.2f}x")
    for k in range(1, len(sizes)):
        (d0, t0), (d1, t1) = (sizes[k - 1], medians[k - 1]), (sizes[k], medians[k])
        power = math.log(t1 / t0) / math.log(d1 / d0)
        print(f"growth {d0:,} -> {d1:,} digits: time ~ size^{power:.2f}")


if __name__ == "__main__":
    main()
