"""The exception raised for every refusal, with where the fault lies."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

    _Fields = tuple[str, int | None, int | None, int | None, str | None]


class RefusedError(ValueError):
    """A document or object that has no canonical form.

    ``message`` is exactly the fixed text that ``quorl_core`` gives for the
    same fault. For text and bytes, ``line``, ``column`` (1-based, counting
    UTF-8 bytes) and ``offset`` (0-based byte offset) locate the token,
    bracket or tag object at fault; for Python objects, ``path`` does
    (``$["orders"][3]["price"]``). The others are ``None``.
    """

    message: str
    line: int | None
    column: int | None
    offset: int | None
    path: str | None

    def __init__(
        self,
        message: str,
        *,
        line: int | None = None,
        column: int | None = None,
        offset: int | None = None,
        path: str | None = None,
    ) -> None:
        super().__init__(message)
        self.message = message
        self.line = line
        self.column = column
        self.offset = offset
        self.path = path

    @property
    def location(self) -> str | None:
        """Where the fault lies, as a person reads it, or None."""
        if self.path is not None:
            return f"at {self.path}"
        if self.line is not None:
            return f"line {self.line} column {self.column}"
        return None

    def __str__(self) -> str:
        where = self.location
        return f"{where}: {self.message}" if where else self.message

    def __reduce__(self) -> tuple[Callable[..., RefusedError], _Fields]:
        # Keyword-only fields survive pickling (worker processes, Dask).
        return (_rebuild, (self.message, self.line, self.column, self.offset, self.path))


def _rebuild(
    message: str, line: int | None, column: int | None, offset: int | None, path: str | None
) -> RefusedError:
    return RefusedError(message, line=line, column=column, offset=offset, path=path)
