# Type information for quorl._native; the public names are re-exported by quorl.
from collections.abc import Buffer as _Bytes
from typing import Literal

from ._errors import RefusedError

Floats = Literal["refuse", "str"]
# A document: str, or any bytes-like object (bytes, bytearray, memoryview, mmap).
Buffer = str | _Bytes

#: The digest profiles, in the order the format lists them.
PROFILES: tuple[str, ...]
#: Documents from this size on are worked on with the interpreter lock released.
RELEASE_LOCK_BYTES: int

def _set_refused_error(type: type[RefusedError], /) -> None: ...
def _keep_freed_memory() -> None: ...
def canonical_bytes(obj: object, *, floats: Floats = "refuse") -> bytes: ...
def digest(obj: object, profile: str, *, floats: Floats = "refuse") -> str: ...
def to_tagged_json(obj: object, *, floats: Floats = "refuse") -> str: ...
def canonical_bytes_from_json(doc: Buffer, *, floats: Floats = "refuse") -> bytes: ...
def digest_from_json(doc: Buffer, profile: str, *, floats: Floats = "refuse") -> str: ...

# JSON Lines in chunks (used by the quorl command and quorl.dask).
# A refusal: (record_line, message, line, column, offset), located in the record.
Refusal = tuple[int, str, int | None, int | None, int | None]

def digest_lines(
    data: Buffer,
    profile: str,
    *,
    name: str | bytes,
    first_line: int = 1,
    floats: Floats = "refuse",
) -> tuple[bytes, list[Refusal], int]: ...
def canonical_lines(
    data: Buffer, *, first_line: int = 1, floats: Floats = "refuse"
) -> tuple[bytes, list[Refusal], int]: ...
def digest_records(
    data: Buffer, profile: str, *, first_line: int = 1, floats: Floats = "refuse"
) -> tuple[list[int], list[str | None], list[str | None]]: ...
def line_ends(data: Buffer, /) -> tuple[int, int]: ...
def canonical_records(
    data: Buffer, *, first_line: int = 1, floats: Floats = "refuse"
) -> tuple[list[int], list[bytes | None], list[str | None]]: ...

# Sums files (used by quorl check and quorl digest --tag). entries: packed
# (line, 64 lowercase hex digits) pairs of 72 bytes each.
# A group: (kind, name, profile, entries, sums_bytes, sums_line).
SumsGroup = tuple[int, bytes, str | None, bytes, int, int]
# A problem: (record_line, message or None for a blank line, line, column, offset).
Problem = tuple[int | None, str | None, int | None, int | None, int | None]

def parse_sums(
    data: Buffer, profiles: tuple[str, ...], first_line: int = 1
) -> tuple[list[SumsGroup], bytes]: ...
def check_records(
    data: Buffer,
    profile: str,
    entries: Buffer,
    *,
    name: str | bytes,
    first_line: int = 1,
    show: int = 2,
    others: tuple[str, ...] = (),
    floats: Floats = "refuse",
) -> tuple[bytes, list[Problem], int, int, str | None]: ...
def list_records(
    entries: Buffer, name: str | bytes, verdict: str, start: int = 0, stop: int | None = None
) -> bytes: ...
def first_listed(entries: Buffer, line: int) -> int: ...
def tag_digest_lines(lines: Buffer, tag: str, name_size: int, escaped: bool) -> bytes: ...

# Arrow columns (used by quorl.digest_column and quorl.canonical_column).
# (result capsule, rows, refused rows)
def digest_column(
    column: object,
    profile: str,
    *,
    floats: Floats = "refuse",
    output: str = "hex",
    threads: int | None = None,
) -> tuple[object, int, int]: ...
def canonical_column(
    column: object, *, floats: Floats = "refuse", threads: int | None = None
) -> tuple[object, int, int]: ...
def _export_column(result: object, requested_schema: object = None, /) -> tuple[object, object]: ...
