"""Digests and canonical bytes of data sets too large for one machine, on Dask.

Needs the ``dask`` extra (``pip install 'quorl_core[dask]'``), except
:func:`digest_partition`, which needs only pandas; ``import quorl`` alone
never imports Dask.

- :func:`digest_jsonl` and :func:`canonical_jsonl` read JSON Lines files
  (local globs, lists, any fsspec URL; ``.gz`` and other compressions by
  extension) into a Dask DataFrame with one row per record: ``path``,
  ``line`` (the record's line in its file, from 1, exact even when a file is
  read as several blocks), ``digest`` or ``canonical``, and ``error``.
- :func:`digest_bag` turns a Dask Bag of documents into a Bag of
  ``{"digest": ..., "error": ...}`` dicts.
- :func:`digest_partition` works on one pandas DataFrame or Series of
  documents, so it serves ``DataFrame.map_partitions`` (see
  :func:`digest_frame`), Spark's ``mapInPandas`` and Ray Data's
  ``map_batches`` alike.

A record or document that has no canonical form never fails the job: its row
holds the refusal text, with its location, in ``error`` and a missing digest.
An unknown profile fails at once, when the function is called.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

try:
    import numpy as np
    import pandas as pd
except ImportError as missing:  # pragma: no cover - depends on what is installed
    raise ImportError(
        f"quorl.dask needs the dask extra (pip install 'quorl_core[dask]'): {missing}"
    ) from missing

from . import RefusedError, _native, digest, digest_column, digest_from_json

# Dask and fsspec are imported where they are used: digest_partition needs
# only pandas, for Spark and Ray Data workers that have no Dask.
if TYPE_CHECKING:
    import dask.bag as db
    import dask.dataframe as dd
    from fsspec import AbstractFileSystem

__all__ = [
    "DEFAULT_BLOCKSIZE",
    "canonical_jsonl",
    "digest_bag",
    "digest_frame",
    "digest_jsonl",
    "digest_partition",
]

#: Bytes per block of an uncompressed file; each block is one partition.
DEFAULT_BLOCKSIZE = "64MiB"

# Missing values are pd.NA; Arrow storage keeps millions of short strings
# compact and is what Dask uses for text anyway.
try:
    import pyarrow as pa

    _TEXT = pd.StringDtype("pyarrow")

    def _never(type_: Any) -> bool:  # a type this pyarrow does not have
        return False

    _ARROW_TEXT = ("string", "large_string", "binary", "large_binary", "string_view", "binary_view")

    def _arrow_text(type_: Any) -> bool:
        return any(getattr(pa.types, "is_" + name, _never)(type_) for name in _ARROW_TEXT)

    def _text_array(values: list[str | None]) -> Any:
        # Straight from the list to Arrow: pd.array(values, dtype=_TEXT)
        # checks each value in Python first, at three times the cost.
        return pd.arrays.ArrowStringArray(pa.array(values, type=pa.large_string()))

except ImportError:  # pragma: no cover - dask[dataframe] brings pyarrow
    _TEXT = pd.StringDtype("python")

    def _arrow_text(type_: Any) -> bool:
        return False

    def _text_array(values: list[str | None]) -> Any:
        return pd.array(values, dtype=_TEXT)


_TEXT_TYPES = (str, bytes, bytearray, memoryview)


def _check_profile(profile: str) -> None:
    """Raises RefusedError (or TypeError) for a profile the module does not know."""
    digest_from_json(b"null", profile)


def _jsonl_meta(value_column: str) -> pd.DataFrame:
    value_dtype: Any = _TEXT if value_column == "digest" else object
    return pd.DataFrame(
        {
            "path": pd.Series([], dtype=_TEXT),
            "line": pd.Series([], dtype="int64"),
            value_column: pd.Series([], dtype=value_dtype),
            "error": pd.Series([], dtype=_TEXT),
        }
    )


# ---------------------------------------------------------------- JSON Lines


def _block_frame(
    block: bytes, path: str, value_column: str, profile: str | None, floats: str
) -> tuple[pd.DataFrame, int]:
    """One block's rows, numbered from line 1 of the block, and its newline count."""
    # The keyword only when asked for, so that the default works with any build.
    options: dict[str, Any] = {"floats": floats} if floats != "refuse" else {}
    if profile is None:
        lines, canonical, errors = _native.canonical_records(block, **options)
        value_array: Any = np.empty(len(canonical), dtype=object)
        value_array[:] = canonical
    else:
        lines, digests, errors = _native.digest_records(block, profile, **options)
        value_array = _text_array(digests)
    n = len(lines)
    frame = pd.DataFrame(
        {
            "path": _text_array([path]).repeat(n),
            "line": np.fromiter(lines, dtype=np.int64, count=n),
            value_column: value_array,
            "error": _text_array(errors),
        }
    )
    return frame, block.count(b"\n")


def _lines_before(newlines: list[int]) -> list[int]:
    """Per block of a file, the lines of the blocks before it."""
    before, total = [], 0
    for count in newlines:
        before.append(total)
        total += count
    return before


def _shift_lines(frame: pd.DataFrame, lines_before: list[int], index: int) -> pd.DataFrame:
    if lines_before[index] == 0:
        return frame
    return frame.assign(line=frame["line"] + lines_before[index])


def _expand(urlpath: Any, storage_options: dict[str, Any]) -> tuple[AbstractFileSystem, list[str]]:
    from fsspec.core import get_fs_token_paths

    fs, _, paths = get_fs_token_paths(urlpath, mode="rb", storage_options=storage_options)
    if not paths:
        raise OSError(f"{urlpath} resolved to no files")
    return fs, list(paths)


# fsspec's names of the compressions the command reads, and the command's.
_CHECKED_COMPRESSIONS = {"gzip": "gzip", "bz2": "bzip2", "xz": "xz", "lzma": "xz", "zstd": "zstd"}


def _decompressed(fs: AbstractFileSystem, path: str, kind: str) -> bytes:
    """The whole decompressed text of a file; OSError if its stream is incomplete."""
    from ._cli.compressed import open_decompressed

    with fs.open(path, "rb") as raw, open_decompressed(raw, kind) as stream:
        return stream.read()


def _read_blocks(
    urlpath: Any,
    blocksize: int | str | None,
    compression: str | None,
    storage_options: dict[str, Any],
) -> list[tuple[str, list[Any]]]:
    """(path, delayed blocks split at newlines) for every file, in path order.

    Compressed files cannot be entered in the middle, so each is one block.
    Those the command reads are read as it reads them, so that a stream cut
    short is an error rather than fewer rows.
    """
    from dask import delayed
    from dask.bytes.core import read_bytes
    from fsspec.utils import infer_compression

    fs, paths = _expand(urlpath, storage_options)
    if compression == "infer":
        comp_of = {p: infer_compression(p) for p in paths}
    else:
        comp_of = dict.fromkeys(paths, compression)
    groups: dict[str | None, list[str]] = {}
    for p in paths:
        groups.setdefault(comp_of[p], []).append(p)
    blocks_of: dict[str, list[Any]] = {}
    for comp, group in groups.items():
        kind = _CHECKED_COMPRESSIONS.get(comp) if comp is not None else None
        if kind is not None:
            for p in group:
                blocks_of[p] = [delayed(_decompressed, pure=True)(fs, p, kind)]
            continue
        # One kind of file (the usual case): read urlpath as given, so that
        # no name is taken for a glob a second time.
        source = urlpath if len(groups) == 1 else [fs.unstrip_protocol(p) for p in group]
        _, blocks, read_paths = read_bytes(
            source,
            delimiter=b"\n",
            blocksize=blocksize if comp is None else None,
            compression=comp,
            sample=False,
            include_path=True,
            **storage_options,
        )
        blocks_of.update(zip(read_paths, blocks, strict=True))
    return [(p, blocks_of[p]) for p in paths]


def _jsonl_frame(
    urlpath: Any,
    profile: str | None,
    value_column: str,
    blocksize: int | str | None,
    compression: str | None,
    storage_options: dict[str, Any],
    floats: str = "refuse",
) -> dd.DataFrame:
    import operator

    import dask
    import dask.dataframe as dd
    from dask.base import tokenize
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph

    meta = _jsonl_meta(value_column)
    # One graph of plain tasks, built in one pass: each block is digested
    # once and counts its newlines (frame-N), one task per file turns the
    # counts into each block's first line (settle-F), and each block's rows
    # are numbered from there (part-N). Graph size and build time grow with
    # the number of blocks, not its square.
    token = tokenize(urlpath, profile, value_column, blocksize, compression, floats)
    frame, settle, part = (f"quorl-{what}-{token}" for what in ("frame", "settle", "part"))
    graph: dict[Any, Any] = {}
    keys: list[Any] = []
    n = 0
    for f, (path, blocks) in enumerate(
        _read_blocks(urlpath, blocksize, compression, storage_options)
    ):
        first = n
        for block in blocks:
            graph.update(block.__dask_graph__())
            graph[(frame, n)] = (_block_frame, block.key, path, value_column, profile, floats)
            n += 1
        if n - first == 1:
            graph[(part, first)] = (operator.getitem, (frame, first), 0)
        elif n > first:
            counts = [(operator.getitem, (frame, k), 1) for k in range(first, n)]
            graph[(settle, f)] = (_lines_before, counts)
            for k in range(first, n):
                graph[(part, k)] = (
                    _shift_lines,
                    (operator.getitem, (frame, k), 0),
                    (settle, f),
                    k - first,
                )
        keys.extend((part, k) for k in range(first, n))
    whole = HighLevelGraph.from_collections(part, graph, dependencies=())
    parts = [Delayed(key, whole, layer=part) for key in keys]
    if not parts:  # every file was empty
        return dd.from_pandas(meta, npartitions=1)
    # The text columns are Arrow strings already; Dask's string conversion
    # would turn the bytes of ``canonical`` into str.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_delayed(parts, meta=meta, verify_meta=False)


def digest_jsonl(
    urlpath: str | Sequence[str],
    profile: str,
    *,
    blocksize: int | str | None = DEFAULT_BLOCKSIZE,
    compression: str | None = "infer",
    floats: str = "refuse",
    **storage_options: Any,
) -> dd.DataFrame:
    """Digests of every record of JSON Lines files, as a lazy Dask DataFrame.

    ``urlpath`` is what :func:`dask.bytes.read_bytes` takes: a path, a glob,
    a list of them, or an fsspec URL (``s3://bucket/part-*.jsonl`` where that
    filesystem is installed; ``storage_options`` go to it). Uncompressed
    files are split into blocks of about ``blocksize`` bytes at newlines, one
    partition each; compressed files (by extension when ``compression`` is
    ``"infer"``) are read whole, one partition each.

    Columns: ``path`` (string, the file's path as its filesystem names it,
    without the protocol), ``line`` (int64, from 1 in its file),
    ``digest`` (string, missing when refused) and ``error`` (string such as
    ``"line 1 column 9: floats are forbidden ..."``, missing when digested).
    Blank lines give no row. The order is the files' order, then line order.
    ``floats="str"`` writes numbers with a fraction or exponent as the
    string of their shortest round-trip repr instead of refusing them.
    Raises :class:`quorl.RefusedError` at once for an unknown profile, and
    ``OSError`` when ``urlpath`` matches no file.
    """
    _check_profile(profile)
    return _jsonl_frame(urlpath, profile, "digest", blocksize, compression, storage_options, floats)


def canonical_jsonl(
    urlpath: str | Sequence[str],
    *,
    blocksize: int | str | None = DEFAULT_BLOCKSIZE,
    compression: str | None = "infer",
    floats: str = "refuse",
    **storage_options: Any,
) -> dd.DataFrame:
    """Canonical bytes of every record, shaped as :func:`digest_jsonl`.

    The ``canonical`` column holds ``bytes`` (object dtype), ``None`` when
    the record is refused.
    """
    return _jsonl_frame(urlpath, None, "canonical", blocksize, compression, storage_options, floats)


# ------------------------------------------------------- documents in memory


def _digest_each(docs: Iterable[Any], profile: str) -> tuple[list[str | None], list[str | None]]:
    """Digest or refusal text per document; str and bytes are JSON text."""
    digests: list[str | None] = []
    errors: list[str | None] = []
    for doc in docs:
        try:
            if isinstance(doc, _TEXT_TYPES):
                digests.append(digest_from_json(doc, profile))
            else:
                digests.append(digest(doc, profile))
            errors.append(None)
        except (ValueError, TypeError) as e:
            digests.append(None)
            errors.append(_error_text(e))
    return digests, errors


def _error_text(e: Exception) -> str:
    if isinstance(e, RefusedError):
        return str(e)
    return f"{type(e).__name__}: {e}"


def _arrow_documents(docs: pd.Series) -> Any:
    """The documents' Arrow data when the Series holds them as Arrow text or
    binary (pandas' ``str`` and ``string[pyarrow]``, ``ArrowDtype``), with no
    copy; None for any other Series."""
    dtype = docs.dtype
    if isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow":
        return docs.array.__arrow_array__()
    if isinstance(dtype, pd.ArrowDtype) and _arrow_text(dtype.pyarrow_dtype):
        return docs.array.__arrow_array__()
    return None


def _column_digests(column: Any, profile: str) -> tuple[Any, Any]:
    """digest and error arrays of an Arrow column: one native call."""
    results = pa.array(digest_column(column, profile, threads=1))  # a task per core already
    return tuple(
        pd.arrays.ArrowStringArray(results.field(i).cast(pa.large_string())) for i in (0, 1)
    )


def digest_partition(
    batch: pd.DataFrame | pd.Series, profile: str, column: str = "doc"
) -> pd.DataFrame:
    """Digests of one pandas batch of documents; refusals are values, not raised.

    ``batch`` is a DataFrame whose ``column`` holds the documents, or a
    Series of them. A ``str`` or bytes-like document is JSON text; any other
    value is digested as a Python object (see :func:`quorl.digest`).
    Returns the DataFrame with two string columns added, ``digest`` and
    ``error`` (for a Series: a DataFrame of just those two, on its index).
    ``error`` is the refusal text with its location (``str()`` of the
    :class:`quorl.RefusedError`), or ``"TypeError: ..."`` for a value that
    has no JSON counterpart at all.
    Documents held as Arrow strings or binary (pandas' default ``str`` dtype
    with pyarrow, ``string[pyarrow]``, ``ArrowDtype``) are digested in one
    native call (:func:`quorl.digest_column`), and a missing one gives a
    missing digest and a missing error; any other column, one call per
    document.
    The input is not changed. Usable as it is with
    ``DataFrame.map_partitions`` (:func:`digest_frame` declares the result's
    types), Spark ``mapInPandas`` and Ray Data ``map_batches``.
    """
    _check_profile(profile)
    docs = batch[column] if isinstance(batch, pd.DataFrame) else batch
    arrow = _arrow_documents(docs)
    if arrow is not None:
        digests, errors = _column_digests(arrow, profile)
    else:
        digest_list, error_list = _digest_each(docs.tolist(), profile)
        digests, errors = _text_array(digest_list), _text_array(error_list)
    added = {"digest": digests, "error": errors}
    if isinstance(batch, pd.DataFrame):
        return batch.assign(**added)
    return pd.DataFrame(added, index=batch.index)


def digest_frame(frame: dd.DataFrame, profile: str, column: str = "doc") -> dd.DataFrame:
    """:func:`digest_partition` over every partition of a Dask DataFrame."""
    _check_profile(profile)
    meta = digest_partition(frame._meta, profile, column)
    return frame.map_partitions(digest_partition, profile, column, meta=meta)


def _bag_partition(docs: Iterable[Any], profile: str) -> list[dict[str, str | None]]:
    digests, errors = _digest_each(docs, profile)
    return [{"digest": d, "error": e} for d, e in zip(digests, errors, strict=True)]


def digest_bag(bag: db.Bag, profile: str) -> db.Bag:
    """A Bag of ``{"digest": str | None, "error": str | None}``, one per document.

    Documents are as in :func:`digest_partition`; each element of the result
    lines up with the document it came from, and exactly one of its two
    values is set. ``bag.to_dataframe()`` of the result needs no computing to
    learn its columns when given ``meta={"digest": str, "error": str}``.
    """
    _check_profile(profile)
    return bag.map_partitions(_bag_partition, profile)
