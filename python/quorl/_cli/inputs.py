"""The inputs named on the command line: files, folders walked with -r, and
standard input; each opened as a stream of its (decompressed) bytes."""

from __future__ import annotations

import fnmatch
import os
import stat

from . import compressed
from .streams import streams
from .sums import shown_name
from .tables import TABLE_SUFFIXES, table_kind

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

    from .compressed import InputStream

#: Names of JSON Lines files, in any case (NDJSON is the same format).
JSONL_SUFFIXES = (".jsonl", ".ndjson")
#: What -r takes by default: these, and their compressed forms, in any case.
JSON_SUFFIXES = (".json", *JSONL_SUFFIXES)


class Source:
    """One input: a file (path) or standard input (path None). jsonl: read
    as JSON Lines; size: bytes, when a regular file not compressed;
    compression: by the name's suffix (standard input: by its first bytes,
    when it is opened)."""

    __slots__ = ("name", "path", "jsonl", "size", "compression", "table")

    def __init__(
        self,
        name: str,
        path: str | None,
        jsonl: bool,
        size: int | None,
        compression: str | None = None,
    ) -> None:
        self.name, self.path, self.jsonl = name, path, jsonl
        self.size, self.compression = size, compression
        # "parquet" or "ipc": a file of columns, read through pyarrow.
        self.table = table_kind(compressed.inner_name(name)) if path is not None else None

    @property
    def regular(self) -> bool:
        """Whether runs of lines can be read at offsets (pread)."""
        return self.size is not None and self.compression is None

    def open(self) -> InputStream:
        if self.path is None:
            stdin = streams.stdin()
            peek = getattr(stdin, "peek", None)
            kind = compressed.by_magic(peek(6)[:6]) if peek is not None else None
            return compressed.open_decompressed(stdin, kind)
        return compressed.open_decompressed(open(self.path, "rb"), self.compression)


def is_jsonl_name(path: str) -> bool:
    return compressed.inner_name(path).lower().endswith(JSONL_SUFFIXES)


class Walk:
    """The files below a folder that -r takes, in sorted order: by default
    those named *.json, *.jsonl or *.ndjson (compressed or not, in any case); with
    --include, those whose name matches one of its globs instead. Files and
    folders whose name matches an --exclude glob are left out. A glob with
    a / is matched against the path below the folder, others against the
    name. With tables, Parquet and Arrow files are taken by default too.
    Folders that cannot be read are reported (the run then ends with
    status 2); folders reached through symbolic links are not entered, and
    said so."""

    def __init__(
        self,
        include: list[str],
        exclude: list[str],
        complain: Callable[[str], None],
        note: Callable[[str], None],
        tables: bool = False,
    ) -> None:
        self.include, self.exclude = include, exclude
        self.suffixes = JSON_SUFFIXES + (tuple(TABLE_SUFFIXES) if tables else ())
        self.complain, self.note = complain, note
        self.trouble = False

    @staticmethod
    def _matches(globs: list[str], name: str, relative: str) -> bool:
        return any(fnmatch.fnmatchcase(relative if "/" in g else name, g) for g in globs)

    def _wanted(self, name: str, relative: str) -> bool:
        if self._matches(self.exclude, name, relative):
            return False
        if self.include:
            return self._matches(self.include, name, relative)
        return compressed.inner_name(name).lower().endswith(self.suffixes)

    def _unreadable(self, error: OSError) -> None:
        self.complain(f"{shown_name(str(error.filename))}: {error.strerror}")
        self.trouble = True

    def files(self, root: str) -> list[str]:
        found: list[tuple[list[str], str]] = []
        for folder, dirs, files in os.walk(root, onerror=self._unreadable):
            kept = []
            for name in sorted(dirs):
                path = os.path.join(folder, name)
                relative = os.path.relpath(path, root)
                if self._matches(self.exclude, name, relative):
                    continue
                if os.path.islink(path):
                    self.note(f"{shown_name(path)}: a symbolic link to a folder, not followed")
                    continue
                kept.append(name)
            dirs[:] = kept
            for name in files:
                path = os.path.join(folder, name)
                relative = os.path.relpath(path, root)
                if self._wanted(name, relative):
                    found.append((relative.split(os.sep), path))
        if not found:
            self.note(f"{shown_name(root)}: no file to digest below this folder")
        found.sort()
        return [path for _, path in found]


def expand_paths(
    paths: list[str],
    *,
    recursive: bool,
    jsonl: bool,
    include: list[str],
    exclude: list[str],
    complain: Callable[[str], None],
    note: Callable[[str], None],
    tables: bool = False,
) -> tuple[list[Source], bool]:
    """The inputs named on the command line; the flag says whether a path
    could not be used (reported through complain)."""
    sources: list[Source] = []
    walk = Walk(include, exclude, complain, note, tables)
    trouble = False
    for arg in paths:
        if arg == "-":
            sources.append(Source("-", None, jsonl, None))
            continue
        try:
            if os.path.isdir(arg):
                if not recursive:
                    complain(f"{shown_name(arg)}: Is a directory (-r digests the files below it)")
                    trouble = True
                    continue
                files = walk.files(arg)
            else:
                files = [arg]
            for path in files:
                info = os.stat(path)
                size = info.st_size if stat.S_ISREG(info.st_mode) else None
                sources.append(
                    Source(path, path, jsonl or is_jsonl_name(path), size, compressed.by_name(path))
                )
        except OSError as error:
            complain(f"{shown_name(str(error.filename or arg))}: {error.strerror}")
            trouble = True
    return sources, trouble or walk.trouble
