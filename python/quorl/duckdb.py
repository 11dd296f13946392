"""quorl in DuckDB's SQL: ``quorl_digest(doc, profile)`` and
``quorl_canonical(doc)``.

Needs DuckDB and pyarrow (``pip install 'quorl_core[duckdb]'``)::

    import duckdb
    import quorl.duckdb

    con = duckdb.connect()
    quorl.duckdb.register(con)
    con.sql("SELECT quorl_digest(payload, 'run').digest FROM 'events/*.parquet'")

Both are vectorised functions over Arrow: DuckDB hands over a batch of
documents at a time, digested in one native call. Each returns a struct:
``{digest VARCHAR, error VARCHAR}`` or ``{canonical BLOB, error VARCHAR}``,
``error`` being the located refusal text of a document that has no canonical
form. A NULL document (or profile) gives NULL, as ``sha256(NULL)`` does.
"""

from __future__ import annotations

from typing import Any

try:
    import duckdb
    import pyarrow as pa
    import pyarrow.compute as pc
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError(
        "quorl.duckdb needs DuckDB and pyarrow: pip install 'quorl_core[duckdb]'"
    ) from e

from quorl.arrow import canonical_column, digest_column

__all__ = ["register"]


def _digest(docs: pa.ChunkedArray, profiles: pa.ChunkedArray) -> pa.Array:
    kinds = profiles.unique().to_pylist()
    if len(kinds) == 1:  # the usual case: a constant
        return digest_column(docs, kinds[0])
    # One call per profile; the rows are then put back in their order.
    docs, profiles = docs.combine_chunks(), profiles.combine_chunks()
    parts, rows = [], []
    for kind in kinds:
        where = pc.indices_nonzero(pc.equal(profiles, kind))
        parts.append(digest_column(docs.take(where), kind))
        rows.append(where)
    order = pc.sort_indices(pa.concat_arrays(rows))
    return pa.concat_arrays(parts).take(order)


def _canonical(docs: pa.ChunkedArray) -> pa.Array:
    return canonical_column(docs)


def register(connection: Any = None) -> Any:
    """Registers ``quorl_digest`` and ``quorl_canonical`` on a connection
    (DuckDB's default one, which ``duckdb.sql`` uses, when none is given),
    and returns it."""
    con = duckdb.default_connection() if connection is None else connection
    text = duckdb.sqltype("VARCHAR")
    create: Any = con.create_function  # its stubs have no name for type="arrow"
    create(
        "quorl_digest",
        _digest,
        [text, text],
        duckdb.struct_type({"digest": text, "error": text}),
        type="arrow",
    )
    create(
        "quorl_canonical",
        _canonical,
        [text],
        duckdb.struct_type({"canonical": duckdb.sqltype("BLOB"), "error": text}),
        type="arrow",
    )
    return con
