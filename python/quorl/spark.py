"""Digests of a Spark DataFrame's column of documents.

Needs PySpark and pyarrow (``pip install 'quorl_core[spark]'``) on the driver
and on every executor, with the same quorl_core version::

    import quorl.spark

    out = quorl.spark.digest_frame(df, "run", column="payload")

Each Arrow batch that Spark hands to Python is digested in one native call
(``DataFrame.mapInArrow``): no Python object per document.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

try:
    from pyspark.sql import DataFrame
    from pyspark.sql.types import BinaryType, StringType, StructField, StructType
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("quorl.spark needs PySpark: pip install 'quorl_core[spark]'") from e

import quorl

if TYPE_CHECKING:
    from quorl._columns import Floats, Output

__all__ = ["digest_frame"]


def digest_frame(
    frame: DataFrame,
    profile: str,
    column: str = "doc",
    *,
    floats: Floats = "refuse",
    output: Output = "hex",
) -> DataFrame:
    """The DataFrame with ``digest`` (string, or binary with ``output="raw"``)
    and ``error`` (string) columns added; existing columns of those names are
    replaced.

    ``column`` is a string or binary column of JSON documents. A refused
    document has its located refusal text in ``error`` and a null digest; a
    null document has both null. An unknown profile raises
    :class:`quorl.RefusedError` here, before any job runs.
    """
    quorl.digest_from_json(b"null", profile)
    kept = [field for field in frame.schema.fields if field.name not in ("digest", "error")]
    digest_type = BinaryType() if output == "raw" else StringType()
    schema = StructType(
        [*kept, StructField("digest", digest_type), StructField("error", StringType())]
    )

    def batches(parts: Iterator[Any]) -> Iterator[Any]:
        from quorl.arrow import digest_table

        for part in parts:
            # Spark runs a task per core already.
            yield digest_table(part, profile, column, floats=floats, output=output, threads=1)

    return frame.mapInArrow(batches, schema)
