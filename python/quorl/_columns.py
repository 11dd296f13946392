"""Columns of documents: one native call per Arrow column, results as Arrow."""

from __future__ import annotations

from . import _native

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Literal

    # The options of the column functions, for the engine modules too.
    Floats = Literal["refuse", "str"]
    Output = Literal["hex", "raw"]


class ColumnResult:
    """The results of :func:`digest_column` or :func:`canonical_column`.

    An Arrow struct array of two children, one row per document: ``digest``
    (``string`` of 64 hex digits, or ``fixed_size_binary(32)`` with
    ``output="raw"``) or ``canonical`` (``binary``), and ``error``
    (``string``: the refusal as ``str()`` of the :class:`quorl.RefusedError`
    it would raise, with its line and column within the document). A refused
    document has an error and no digest; a null document has neither.

    It exports ``__arrow_c_array__``, so ``pyarrow.array(result)``,
    ``polars.Series(result)`` and other Arrow libraries take it without a
    copy. Its buffers live in native memory until the result and every
    export of it are gone. Offsets are 32-bit (``string``, ``binary``) unless
    a child's values pass 2 GiB, when they are 64-bit (``large_string``,
    ``large_binary``).
    """

    __slots__ = ("_result", "_rows", "_refused")

    def __init__(self, result: object, rows: int, refused: int) -> None:
        self._result = result
        self._rows = rows
        self._refused = refused

    def __len__(self) -> int:
        return self._rows

    @property
    def refused(self) -> int:
        """How many documents were refused (rows with an error)."""
        return self._refused

    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]:
        # The one type this result has; a requested schema is not cast to.
        return _native._export_column(self._result)

    def __repr__(self) -> str:
        return f"<quorl.ColumnResult of {self._rows} rows, {self._refused} refused>"


def digest_column(
    column: Any,
    profile: str,
    *,
    floats: Floats = "refuse",
    output: Output = "hex",
    threads: int | None = None,
) -> ColumnResult:
    """Digests of every document of a column, in one native call.

    ``column`` is any object that exports Arrow data through the PyCapsule
    interface (``__arrow_c_array__`` or ``__arrow_c_stream__``): a pyarrow
    ``Array`` or ``ChunkedArray``, a Polars ``Series``, a DuckDB result, a
    nanoarrow array, or a table of one column. Its type is ``string``,
    ``large_string``, ``string_view``, ``binary`` or ``large_binary``
    (``null`` too); every value is checked as UTF-8, as bytes are. It is read
    in place: no copy of the text and no Python object per document.
    ``floats="str"`` takes numbers with a fraction or exponent as strings, as
    :func:`quorl.digest_from_json` does.

    The interpreter lock is released for the whole call. ``threads`` (default:
    every core this process may use; at most 256) lets a large column be cut
    into blocks of rows digested in parallel; ``threads=1`` works on the
    calling thread alone. Results are in row order either way.

    Raises :class:`quorl.RefusedError` for an unknown profile, ``TypeError``
    for a column of another type or an object that exports no Arrow data,
    ``ValueError`` for a malformed array (offsets out of order, views beyond
    their buffers), and ``OSError`` when a stream fails to give its data.
    """
    return ColumnResult(
        *_native.digest_column(column, profile, floats=floats, output=output, threads=threads)
    )


def canonical_column(
    column: Any, *, floats: Floats = "refuse", threads: int | None = None
) -> ColumnResult:
    """Canonical bytes of every document of a column, as :func:`digest_column`.

    The first child is ``canonical`` (``binary``).
    """
    return ColumnResult(*_native.canonical_column(column, floats=floats, threads=threads))
