"""Where a run's output goes.

- Standard output (no -o, or -o -).
- A missing or regular file: written under a temporary name in its folder,
  synced, and renamed over it only when the run completes, so that it is
  never left truncated. Through a symbolic link, the file it points to is
  replaced (the link stays).
- Anything else (a character or block device, a FIFO, a socket): written
  to directly, as a shell redirection would; a rename would replace the
  node itself with a regular file."""

from __future__ import annotations

import errno
import os
import stat

from .signals import interrupts_held
from .streams import streams

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO


class Output:
    def __init__(self, path: str | None) -> None:
        self.path = path
        self.name = "standard output" if path in (None, "-") else path
        self.temp: str | None = None  # the temporary file, until renamed
        self.target: str | None = None  # what the temporary file replaces
        if path is None or path == "-":
            self.stream: IO[bytes] = streams.stdout()
            return
        target = os.path.realpath(path) if os.path.islink(path) else path
        try:
            info: os.stat_result | None = os.stat(target)
        except FileNotFoundError:
            info = None
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        if info is not None and not stat.S_ISREG(info.st_mode):
            self.stream = open(target, "wb", buffering=0)
            return
        import tempfile

        folder = os.path.dirname(os.path.abspath(target))
        # Stop signals wait while the file is made, and one that arrives as
        # they are let through removes it: there is never a temporary file
        # on disk that a run leaves behind.
        try:
            with interrupts_held():
                fd, self.temp = tempfile.mkstemp(
                    prefix=f".{os.path.basename(target)}.", suffix=".part", dir=folder
                )
                self.target = target
                self.stream = os.fdopen(fd, "wb")
                mode = stat.S_IMODE(info.st_mode) if info is not None else 0o666 & ~_umask()
                os.fchmod(fd, mode)
        except BaseException:
            self.discard()
            raise

    def write(self, data: bytes) -> None:
        # A stream may take only part of a large write (a pipe whose reader
        # is going away); the rest is written, or the fault raised.
        view = memoryview(data)
        while view:
            view = view[self.stream.write(view) or 0 :]

    def commit(self) -> None:
        """Makes the output complete: flushed, and a temporary file synced
        and renamed into place (its folder synced too), so that a completed
        run's file survives a crash."""
        self.stream.flush()
        if self.temp is None:
            return
        assert self.target is not None
        os.fsync(self.stream.fileno())
        self.stream.close()
        os.replace(self.temp, self.target)
        self.temp = None
        _sync_folder(os.path.dirname(os.path.abspath(self.target)))

    def discard(self) -> None:
        """Removes a temporary file (an interrupted or failed run)."""
        if self.temp is None:
            return
        try:
            if hasattr(self, "stream"):
                self.stream.close()
        except OSError:
            pass
        try:
            os.unlink(self.temp)
        except OSError:
            pass
        self.temp = None


def _umask() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return umask


def _sync_folder(folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError as error:  # some file systems cannot sync a folder
        if error.errno not in (errno.EINVAL, errno.EROFS):
            raise
    finally:
        os.close(fd)
