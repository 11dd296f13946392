"""quorl.spark on a local Spark session (two cores), every row against
quorl on its document alone."""

import os
import shutil
import sys

import pytest

from column_docs import assert_rows, make_documents

pyspark = pytest.importorskip("pyspark", reason="needs the spark extra")
if shutil.which("java") is None:
    pytest.skip(
        "Spark needs a Java runtime (tools/system-deps.sh installs one)", allow_module_level=True
    )

from pyspark.sql import SparkSession  # noqa: E402

import quorl  # noqa: E402
import quorl.spark  # noqa: E402

DOCS = make_documents(10_000)


@pytest.fixture(scope="module")
def spark():
    # The workers run this interpreter, not whatever python3 is on PATH.
    os.environ["PYSPARK_PYTHON"] = sys.executable
    session = (
        SparkSession.builder.master("local[2]")
        .appName("quorl-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .config("spark.sql.execution.arrow.maxRecordsPerBatch", "3000")
        .getOrCreate()
    )
    yield session
    session.stop()


@pytest.mark.parametrize("binary", [False, True], ids=["string", "binary"])
def test_digest_frame_row_by_row(spark, binary):
    docs = [d.encode() if binary and d is not None else d for d in DOCS]
    frame = spark.createDataFrame(
        list(enumerate(docs)), schema=f"id long, payload {'binary' if binary else 'string'}"
    ).repartition(4)
    out = quorl.spark.digest_frame(frame, "run", column="payload")
    assert out.columns == ["id", "payload", "digest", "error"]
    rows = out.orderBy("id").select("digest", "error").collect()
    assert_rows([tuple(r) for r in rows], docs, "run")


def test_unknown_profile_fails_before_any_job(spark):
    frame = spark.createDataFrame([("1",)], schema="doc string")
    with pytest.raises(quorl.RefusedError, match="unknown digest profile"):
        quorl.spark.digest_frame(frame, "nope")
