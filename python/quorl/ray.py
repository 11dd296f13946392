"""Digests of a Ray Data dataset's column of documents.

Needs Ray Data and pyarrow (``pip install 'quorl_core[ray]'``)::

    import quorl.ray

    ds = quorl.ray.digest_dataset(ray.data.read_parquet("events/"), "run", column="payload")

Each block is digested in one native call over its Arrow data
(``Dataset.map_batches(..., batch_format="pyarrow")``).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

try:
    import ray.data
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("quorl.ray needs Ray Data: pip install 'quorl_core[ray]'") from e

import quorl

if TYPE_CHECKING:
    from quorl._columns import Floats, Output

__all__ = ["digest_dataset"]


def digest_dataset(
    dataset: ray.data.Dataset,
    profile: str,
    column: str = "doc",
    *,
    floats: Floats = "refuse",
    output: Output = "hex",
    **map_batches_args: Any,
) -> ray.data.Dataset:
    """The dataset with ``digest`` and ``error`` columns added (see
    :func:`quorl.arrow.digest_table`); other keyword arguments go to
    ``Dataset.map_batches`` (``batch_size``, ``concurrency``, ...). An unknown
    profile raises :class:`quorl.RefusedError` here, before anything runs.
    """
    from quorl.arrow import digest_table

    work: Any = digest_table  # a function of a pyarrow table, as map_batches takes
    quorl.digest_from_json(b"null", profile)
    return dataset.map_batches(
        work,
        batch_format="pyarrow",
        fn_kwargs={
            "profile": profile,
            "column": column,
            "floats": floats,
            "output": output,
            "threads": 1,
        },
        **map_batches_args,
    )
