"""The inputs named on the command line: files, folders walked with -r, and
standard input."""

from __future__ import annotations

import os
import stat

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable


class Source:
    """One input: a file (path) or standard input (path None)."""

    __slots__ = ("name", "path", "jsonl", "size")

    def __init__(self, name: str, path: str | None, jsonl: bool, size: int | None) -> None:
        self.name, self.path, self.jsonl = name, path, jsonl
        self.size = size  # bytes, when known (regular files)

    @property
    def regular(self) -> bool:
        return self.size is not None


def is_jsonl_name(path: str) -> bool:
    return path.endswith(".jsonl")


def walk(root: str) -> list[str]:
    """Every *.json and *.jsonl file below root, in sorted order."""
    found: list[tuple[list[str], str]] = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in files:
            if name.endswith((".json", ".jsonl")):
                path = os.path.join(folder, name)
                found.append((os.path.relpath(path, root).split(os.sep), path))
    found.sort()
    return [path for _, path in found]


def expand_paths(
    paths: list[str], *, recursive: bool, jsonl: bool, complain: Callable[[str], None]
) -> tuple[list[Source], bool]:
    """The inputs named on the command line; the flag says whether a path
    could not be used (reported through complain)."""
    sources: list[Source] = []
    trouble = False
    for arg in paths:
        if arg == "-":
            sources.append(Source("-", None, jsonl, None))
            continue
        try:
            if os.path.isdir(arg):
                if not recursive:
                    complain(f"{arg}: Is a directory")
                    trouble = True
                    continue
                files = walk(arg)
            else:
                files = [arg]
            for path in files:
                info = os.stat(path)
                size = info.st_size if stat.S_ISREG(info.st_mode) else None
                sources.append(Source(path, path, jsonl or is_jsonl_name(path), size))
        except OSError as error:
            complain(f"{error.filename or arg}: {error.strerror}")
            trouble = True
    return sources, trouble
