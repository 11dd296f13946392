"""Digests of a Spark column of JSON documents on a local session of two
cores: mapInArrow over quorl.digest_column against a pandas_udf that loops
quorl.digest_from_json, both giving a column of digests, with Spark's own
sha2(to_json(from_json(...))) for scale (a round trip through Spark's JSON,
not a canonical form), and quorl.spark.digest_frame, which also hands the
documents back with their digest and error.

    python bench/bench_spark.py            # 1,000,000 records of about 185 bytes
    python bench/bench_spark.py --quick    # 100,000 records

The records are bench_cli.py's, cached in the session before timing; each
contender writes its digests to Spark's "noop" sink, so that every row is
computed and nothing is collected. Rounds take turns; medians are shown.
Needs pyspark, pandas and pyarrow, and a Java runtime.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_cli import SEED, make_record  # noqa: E402

os.environ.setdefault("PYSPARK_PYTHON", sys.executable)

import pandas as pd  # noqa: E402
from pyspark.sql import SparkSession  # noqa: E402
from pyspark.sql import functions as F  # noqa: E402

import quorl  # noqa: E402
import quorl.spark  # noqa: E402

# The shape of bench_cli's records, for Spark's own JSON reader.
SCHEMA = (
    "id long, user string, tags array<string>, score long, ok boolean, "
    "ref struct<`$int`: string>, note string, pos struct<x: long, y: long>"
)


def column_digests(batches):
    import pyarrow as pa

    for batch in batches:
        digests = pa.array(quorl.digest_column(batch.column(0), "run", threads=1)).field(0)
        yield pa.RecordBatch.from_arrays([digests], ["digest"])


def loop_digest(docs: pd.Series) -> pd.Series:
    out = []
    for doc in docs:
        try:
            out.append(quorl.digest_from_json(doc, "run"))
        except quorl.RefusedError:
            out.append(None)
    return pd.Series(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--records", type=int)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    count = args.records or (100_000 if args.quick else 1_000_000)
    spark = (
        SparkSession.builder.master("local[2]")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.driver.memory", "4g")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    loop_udf = F.pandas_udf(loop_digest, "string")  # made once a session exists
    rng = random.Random(SEED)
    rows = [(make_record(rng, n)[:-1].decode(),) for n in range(count)]
    frame = spark.createDataFrame(pd.DataFrame(rows, columns=["payload"])).repartition(2).cache()
    frame.count()
    print(f"{count:,} records on Spark {spark.version}, local[2], Python {sys.version.split()[0]}")

    def sink(result) -> None:
        result.write.format("noop").mode("overwrite").save()

    contenders = {
        "mapInArrow + digest_column": lambda: sink(
            frame.mapInArrow(column_digests, "digest string")
        ),
        "pandas_udf loop": lambda: sink(frame.select(loop_udf("payload"))),
        "sha2(to_json(from_json))": lambda: sink(
            frame.select(F.sha2(F.to_json(F.from_json("payload", SCHEMA)), 256))
        ),
        "quorl.spark.digest_frame": lambda: sink(
            quorl.spark.digest_frame(frame, "run", column="payload")
        ),
    }
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    for fn in contenders.values():
        fn()
    names = list(contenders)
    for r in range(args.rounds):
        for name in names[r % len(names) :] + names[: r % len(names)]:
            start = time.perf_counter()
            contenders[name]()
            samples[name].append(time.perf_counter() - start)
    median = {name: sorted(s)[len(s) // 2] for name, s in samples.items()}
    for name, seconds in median.items():
        print(f"{name:28s} {count / seconds / 1e6:6.2f} M records/s  ({seconds:.2f} s)")
    ours, loop = median["mapInArrow + digest_column"], median["pandas_udf loop"]
    print(f"mapInArrow + digest_column / pandas_udf loop: {loop / ours:.2f}x")
    spark.stop()


if __name__ == "__main__":
    main()
