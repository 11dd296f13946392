"""Digests of Polars columns: a Series, or an expression for ``select`` and
``with_columns`` (eager or lazy).

Needs Polars (``pip install 'quorl_core[polars]'``)::

    import polars as pl
    import quorl.polars as qp

    df.with_columns(qp.digest("payload", "run").alias("quorl")).unnest("quorl")

Each result is a struct of ``digest`` (or ``canonical``) and ``error``, as
:func:`quorl.digest_column` gives it, computed one batch at a time in one
native call over the batch's Arrow data.
"""

from __future__ import annotations

from functools import partial
from typing import TYPE_CHECKING, Any

try:
    import polars as pl
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("quorl.polars needs Polars: pip install 'quorl_core[polars]'") from e

import quorl

if TYPE_CHECKING:
    from quorl._columns import Floats, Output

__all__ = ["canonical", "digest"]


def _series(results: quorl.ColumnResult, name: str) -> pl.Series:
    return pl.Series(results).alias(name)


def _digest_series(
    series: pl.Series, profile: str, floats: Floats, output: Output, threads: int | None
) -> pl.Series:
    results = quorl.digest_column(series, profile, floats=floats, output=output, threads=threads)
    return _series(results, series.name)


def _canonical_series(series: pl.Series, floats: Floats, threads: int | None) -> pl.Series:
    return _series(quorl.canonical_column(series, floats=floats, threads=threads), series.name)


def _apply(column: pl.Series | pl.Expr | str, work: Any, dtype: pl.Struct) -> Any:
    if isinstance(column, pl.Series):
        return work(column)
    expr = pl.col(column) if isinstance(column, str) else column
    return expr.map_batches(work, return_dtype=dtype, is_elementwise=True)


def digest[Column: (pl.Series, pl.Expr)](
    column: Column | str,
    profile: str,
    *,
    floats: Floats = "refuse",
    output: Output = "hex",
    threads: int | None = None,
) -> Column:
    """Digests of a String or Binary column: a Series for a Series, else an
    expression (a column name is taken as ``pl.col(name)``).

    The struct's fields are ``digest`` (String, or Binary with
    ``output="raw"``) and ``error`` (String); a null document gives nulls.
    An unknown profile raises :class:`quorl.RefusedError` at once.
    """
    quorl.digest_from_json(b"null", profile)  # an unknown profile fails here, not in a query
    dtype = pl.Struct({"digest": pl.Binary if output == "raw" else pl.String, "error": pl.String})
    work = partial(_digest_series, profile=profile, floats=floats, output=output, threads=threads)
    return _apply(column, work, dtype)


def canonical[Column: (pl.Series, pl.Expr)](
    column: Column | str, *, floats: Floats = "refuse", threads: int | None = None
) -> Column:
    """Canonical bytes, shaped as :func:`digest`: fields ``canonical``
    (Binary) and ``error``."""
    dtype = pl.Struct({"canonical": pl.Binary, "error": pl.String})
    work = partial(_canonical_series, floats=floats, threads=threads)
    return _apply(column, work, dtype)
