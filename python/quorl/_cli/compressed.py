"""Compressed inputs, decompressed as a stream in bounded memory: gzip,
bzip2 and xz from the standard library, zstd from the standard library
where it has it (3.14) or the zstandard package (the zstd extra); gzip
through python-isal when it is installed (the fast-gzip extra)."""

from __future__ import annotations

import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from io import BufferedReader
    from types import TracebackType
    from typing import Protocol, Self

    class InputStream(Protocol):
        """A binary stream an input is read from: a file, standard input,
        or one of the decompressing streams below."""

        def read(self, size: int = -1, /) -> bytes: ...
        def readinto(self, buffer: memoryview | bytearray, /) -> int | None: ...
        def fileno(self) -> int: ...
        def close(self) -> None: ...
        def __enter__(self) -> Self: ...
        def __exit__(
            self,
            kind: type[BaseException] | None,
            error: BaseException | None,
            traceback: TracebackType | None,
            /,
        ) -> None: ...


SUFFIXES = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}
MAGIC = [
    (b"\x1f\x8b", "gzip"),
    (b"BZh", "bzip2"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
]


def by_name(name: str) -> str | None:
    """The compression a file name says, whatever its case."""
    dot = name.rfind(".")
    return SUFFIXES.get(name[dot:].lower()) if dot >= 0 else None


def inner_name(name: str) -> str:
    """The name without its compression suffix ('a.jsonl.gz' -> 'a.jsonl')."""
    return name[: name.rfind(".")] if by_name(name) else name


def by_magic(head: bytes) -> str | None:
    """The compression the first bytes of a stream show."""
    return next((kind for magic, kind in MAGIC if head.startswith(magic)), None)


def decompressing(raw: BufferedReader, kind: str) -> InputStream:
    """A binary stream of raw's decompressed bytes (read, readinto)."""
    stream: InputStream  # from the untyped packages, where one is used
    if kind == "gzip":
        try:
            from isal import igzip

            stream = igzip.IGzipFile(fileobj=raw, mode="rb")
            return stream
        except ImportError:
            import gzip

            return gzip.GzipFile(fileobj=raw, mode="rb")
    if kind == "bzip2":
        import bz2

        return bz2.BZ2File(raw, "rb")
    if kind == "xz":
        import lzma

        return lzma.LZMAFile(raw, "rb")
    if sys.version_info >= (3, 14):
        try:  # a CPython built without libzstd has no compression.zstd
            from compression import zstd

            return zstd.ZstdFile(raw, "rb")
        except ImportError:
            pass
    try:
        import zstandard
    except ImportError:
        raise OSError(
            "a zstd file: install the zstd extra (pip install 'quorl_core[zstd]')"
        ) from None
    from .zstd_frames import ZstdReader

    return ZstdReader(raw, zstandard)


class _Checked:
    """A decompressing stream whose faults (a truncated or corrupt stream)
    are OSErrors that say so, like any other read failure."""

    def __init__(self, stream: InputStream, kind: str) -> None:
        self.stream, self.kind = stream, kind

    def _fault(self, error: Exception) -> OSError:
        if isinstance(error, OSError) and error.errno is not None:
            return error
        detail = str(error) or type(error).__name__
        return OSError(f"not a complete {self.kind} stream ({detail})")

    def readinto(self, buffer: memoryview | bytearray) -> int | None:
        try:
            return self.stream.readinto(buffer)
        except (MemoryError, KeyboardInterrupt):
            raise
        except Exception as error:
            raise self._fault(error) from error

    def read(self, size: int = -1) -> bytes:
        try:
            return self.stream.read(size)
        except (MemoryError, KeyboardInterrupt):
            raise
        except Exception as error:
            raise self._fault(error) from error

    def close(self) -> None:
        self.stream.close()

    def __enter__(self) -> _Checked:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def fileno(self) -> int:
        raise OSError("a decompressed stream has no file descriptor")


def open_decompressed(raw: BufferedReader, kind: str | None) -> InputStream:
    """raw itself, or a stream of its decompressed bytes."""
    if kind is None:
        return raw
    return _Checked(decompressing(raw, kind), kind)
