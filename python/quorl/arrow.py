"""Digests of Arrow columns and tables as pyarrow objects.

Needs pyarrow (``pip install 'quorl_core[arrow]'``). :func:`digest_column`
and :func:`canonical_column` are :func:`quorl.digest_column` and
:func:`quorl.canonical_column` with a ``pyarrow.StructArray`` as result;
:func:`digest_table` adds ``digest`` and ``error`` columns to a table or a
record batch, which is what Spark's ``mapInArrow`` and Ray Data's
``map_batches(batch_format="pyarrow")`` hand over.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

try:
    import pyarrow as pa
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("quorl.arrow needs pyarrow: pip install 'quorl_core[arrow]'") from e

import quorl

if TYPE_CHECKING:
    from quorl._columns import Floats, Output

__all__ = ["canonical_column", "digest_column", "digest_table"]


def digest_column(column: Any, profile: str, **options: Any) -> pa.StructArray:
    """:func:`quorl.digest_column` (same options) as a ``pyarrow.StructArray``,
    with no copy."""
    return pa.array(quorl.digest_column(column, profile, **options))


def canonical_column(column: Any, **options: Any) -> pa.StructArray:
    """:func:`quorl.canonical_column` (same options) as a ``pyarrow.StructArray``,
    with no copy."""
    return pa.array(quorl.canonical_column(column, **options))


def digest_table[Tabular: (pa.Table, pa.RecordBatch)](
    table: Tabular,
    profile: str,
    column: str = "doc",
    *,
    floats: Floats = "refuse",
    output: Output = "hex",
    threads: int | None = None,
) -> Tabular:
    """The table (or record batch) with ``digest`` and ``error`` columns added.

    ``column`` names the documents' column; columns already named ``digest``
    or ``error`` are replaced, as ``pandas.DataFrame.assign`` does. Engines
    that run one task per core (Spark, Ray Data) do best with
    ``threads=1``.
    """
    results = digest_column(
        table.column(column), profile, floats=floats, output=output, threads=threads
    )
    kept: list[str] = [name for name in table.column_names if name not in ("digest", "error")]
    return type(table).from_arrays(
        [*(table.column(name) for name in kept), results.field(0), results.field(1)],
        names=[*kept, "digest", "error"],
    )
