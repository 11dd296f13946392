"""Exact canonical bytes and content digests for Python objects, str and bytes.

Three ways in, one canonical form:

- Python objects: :func:`canonical_bytes`, :func:`digest`, :func:`to_tagged_json`.
- Tagged JSON as ``str`` or any bytes-like object: :func:`canonical_bytes_from_json`,
  :func:`digest_from_json`.

Every refusal is a :class:`RefusedError` (a ``ValueError``) that says where
the fault lies. Results equal those of ``quorl_core`` for the same document.
"""

from __future__ import annotations

from importlib import metadata as _metadata

from . import _native
from ._errors import RefusedError

_native._set_refused_error(RefusedError)

from ._native import (  # noqa: E402  (after the refusal type is handed over)
    canonical_bytes,
    canonical_bytes_from_json,
    digest,
    digest_from_json,
    to_tagged_json,
)

#: The digest profiles, in the order the format lists them.
PROFILES: tuple[str, ...] = ("run", "certificate", "artifact-byte", "semantic-content")

try:
    __version__: str = _metadata.version("quorl_core")
except _metadata.PackageNotFoundError:  # pragma: no cover - run from a source tree
    __version__ = "0+unknown"

__all__ = [
    "PROFILES",
    "RefusedError",
    "__version__",
    "canonical_bytes",
    "canonical_bytes_from_json",
    "digest",
    "digest_from_json",
    "to_tagged_json",
]
