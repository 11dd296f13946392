"""Where a run's output goes: standard output, or a file written under a
temporary name in its folder and renamed into place only when the run
completes."""

from __future__ import annotations

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO


class Output:
    """Standard output (path None), or a file replaced once complete."""

    def __init__(self, path: str | None) -> None:
        self.path = path
        self.temp: str | None = None
        if path is None:
            self.stream: IO[bytes] = sys.stdout.buffer
        else:
            import tempfile

            folder = os.path.dirname(os.path.abspath(path))
            fd, self.temp = tempfile.mkstemp(
                prefix=f".{os.path.basename(path)}.", suffix=".part", dir=folder
            )
            self.stream = os.fdopen(fd, "wb")

    def write(self, data: bytes) -> None:
        # A buffered writer may take only part of a large write (a pipe whose
        # reader is going away); the rest is written, or the fault raised.
        view = memoryview(data)
        while view:
            view = view[self.stream.write(view) or 0 :]

    def commit(self) -> None:
        self.stream.flush()
        if self.temp is None:
            return
        assert self.path is not None
        try:
            mode = os.stat(self.path).st_mode & 0o7777
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(self.temp, mode)
        self.stream.close()
        os.replace(self.temp, self.path)
        self.temp = None

    def discard(self) -> None:
        if self.temp is None:
            return
        try:
            self.stream.close()
        except OSError:
            pass
        try:
            os.unlink(self.temp)
        except OSError:
            pass
        self.temp = None
