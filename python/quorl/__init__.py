"""Exact canonical bytes and content digests for Python objects, str and bytes.

Three ways in, one canonical form:

- Python objects: :func:`canonical_bytes`, :func:`digest`, :func:`to_tagged_json`.
- Tagged JSON as ``str`` or any bytes-like object: :func:`canonical_bytes_from_json`,
  :func:`digest_from_json`.
- Columns of documents in Arrow form (pyarrow, Polars, DuckDB, Spark, ...):
  :func:`digest_column`, :func:`canonical_column`, one native call a column.

Every refusal is a :class:`RefusedError` (a ``ValueError``) that says where
the fault lies. Results equal those of ``quorl_core`` for the same document.
"""

from __future__ import annotations

from . import _native
from ._errors import RefusedError

_native._set_refused_error(RefusedError)

# The rest after the refusal type is handed over.
from ._columns import ColumnResult, canonical_column, digest_column  # noqa: E402
from ._native import (  # noqa: E402
    PROFILES,
    canonical_bytes,
    canonical_bytes_from_json,
    digest,
    digest_from_json,
    to_tagged_json,
)

TYPE_CHECKING = False  # without importing typing, which costs more than the rest
if TYPE_CHECKING:
    __version__: str


def __getattr__(name: str) -> str:
    # The version is read from the package metadata only when asked for:
    # reading it costs more than importing the rest of the package.
    if name == "__version__":
        from importlib import metadata

        try:
            version = metadata.version("quorl_core")
        except metadata.PackageNotFoundError:  # pragma: no cover - a source tree
            version = "0+unknown"
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module 'quorl' has no attribute {name!r}")


__all__ = [
    "PROFILES",
    "ColumnResult",
    "RefusedError",
    "__version__",
    "canonical_bytes",
    "canonical_bytes_from_json",
    "canonical_column",
    "digest",
    "digest_column",
    "digest_from_json",
    "to_tagged_json",
]
