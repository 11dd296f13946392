"""The standard streams. A stream closed when the command starts is held by
a stand-in descriptor, so that no file opened later takes its number, and
is named in messages. Output and messages are written unbuffered, straight
to the descriptors, so that a full or vanished stream fails where it is
written, with a message, and nothing is left to flush at exit."""

from __future__ import annotations

import errno
import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from io import BufferedReader
    from typing import IO

#: Names for messages.
NAMES = {0: "standard input", 1: "standard output", 2: "standard error"}


class ClosedStream(OSError):
    """A standard stream that was closed when the command started."""


class Streams:
    def __init__(self) -> None:
        self.closed: set[int] = set()
        self.lost_messages = False  # a message could not be written

    def hold_closed(self) -> None:
        """Puts the read end of an empty pipe in place of each closed
        standard stream: reads give nothing, writes fail."""
        for fd in (0, 1, 2):
            try:
                os.fstat(fd)
            except OSError:
                self.closed.add(fd)
        if not self.closed:
            return
        read_end, write_end = os.pipe()  # may themselves take closed numbers
        for fd in self.closed:
            if fd != read_end:
                os.dup2(read_end, fd, inheritable=False)
        for fd in (read_end, write_end):
            if fd not in self.closed:
                os.close(fd)

    def closed_error(self, fd: int) -> ClosedStream:
        return ClosedStream(errno.EBADF, f"{NAMES[fd]} is closed")

    def stdin(self) -> BufferedReader:
        """Standard input as a binary stream; OSError when it is closed."""
        if 0 in self.closed:
            raise self.closed_error(0)
        return open(0, "rb", closefd=False)

    def stdout(self) -> IO[bytes]:
        """Standard output, unbuffered; OSError when it is closed."""
        if 1 in self.closed:
            raise self.closed_error(1)
        return open(1, "wb", buffering=0, closefd=False)

    def error_line(self, text: str) -> None:
        """One line on standard error; a line that cannot be written is
        remembered (the run then cannot end in success)."""
        try:
            data = (text + "\n").encode("utf-8", "surrogateescape")
        except UnicodeEncodeError:
            data = (text + "\n").encode("utf-8", "backslashreplace")
        if 2 in self.closed:
            self.lost_messages = True
            return
        try:
            with memoryview(data) as view:
                while view:
                    view = view[os.write(2, view) :]
        except OSError:
            self.lost_messages = True


streams = Streams()
