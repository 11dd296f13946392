"""zstd through the zstandard package, with its end checked: the package's
stream reader takes a stream that stops inside a frame for a whole one and
returns what it could decode, so the frames are followed here from the
compressed bytes alone (headers and block sizes, nothing decoded)."""

from __future__ import annotations

import io

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer
    from typing import Any

    from .compressed import InputStream

FRAME_MAGIC = 0xFD2FB528
SKIPPABLE_MAGIC = 0x184D2A50  # the low four bits are free
# What the next header bytes are.
MAGIC, SKIPPABLE_SIZE, DESCRIPTOR, HEADER_REST, BLOCK, LOST = range(6)


class FrameEnds:
    """Follows the frames of a zstd stream as its bytes go by; ``inside``
    says whether the bytes so far stop inside one. A stream it cannot
    follow (not zstd, a reserved bit) is left to the decoder to refuse."""

    def __init__(self) -> None:
        self.state, self.want, self.skip = MAGIC, 4, 0
        self.head = bytearray()
        self.checksum = False

    @property
    def inside(self) -> bool:
        if self.state == LOST:
            return False
        return self.state != MAGIC or bool(self.head) or self.skip > 0

    def feed(self, data: bytes) -> None:
        pos, end = 0, len(data)
        while pos < end and self.state != LOST:
            if self.skip:
                take = min(self.skip, end - pos)
                self.skip -= take
                pos += take
                continue
            take = min(self.want - len(self.head), end - pos)
            self.head += data[pos : pos + take]
            pos += take
            if len(self.head) == self.want:
                value = int.from_bytes(self.head, "little")
                self.head.clear()
                self._header(value)

    def _header(self, value: int) -> None:
        if self.state == MAGIC:
            if value == FRAME_MAGIC:
                self.state, self.want = DESCRIPTOR, 1
            elif value & ~0xF == SKIPPABLE_MAGIC:
                self.state, self.want = SKIPPABLE_SIZE, 4
            else:
                self.state = LOST
        elif self.state == SKIPPABLE_SIZE:
            self.state, self.want, self.skip = MAGIC, 4, value
        elif self.state == DESCRIPTOR:
            if value & 0x08:  # the reserved bit
                self.state = LOST
                return
            single_segment = bool(value & 0x20)
            self.checksum = bool(value & 0x04)
            rest = (
                (0 if single_segment else 1)  # the window descriptor
                + (0, 1, 2, 4)[value & 0x03]  # the dictionary id
                + (int(single_segment), 2, 4, 8)[value >> 6]  # the content size
            )
            self.state, self.want = (HEADER_REST, rest) if rest else (BLOCK, 3)
        elif self.state == HEADER_REST:
            self.state, self.want = BLOCK, 3
        else:  # a block header: last flag, type, size
            kind, size = (value >> 1) & 0x3, value >> 3
            if kind == 3:  # reserved
                self.state = LOST
                return
            self.skip = 1 if kind == 1 else size  # an RLE block holds one byte
            if value & 1:
                self.skip += 4 if self.checksum else 0
                self.state, self.want = MAGIC, 4


class _Compressed:
    """The compressed side: raw, with every byte read shown to the frames."""

    def __init__(self, raw: InputStream, frames: FrameEnds) -> None:
        self.raw, self.frames = raw, frames

    def read(self, size: int = -1) -> bytes:
        data = self.raw.read(size)
        self.frames.feed(data)
        return data

    def close(self) -> None:
        self.raw.close()


class ZstdReader(io.RawIOBase):
    """raw's zstd frames, decoded by the zstandard package; a stream that
    ends inside a frame is an EOFError once what came before is read."""

    def __init__(self, raw: InputStream, zstandard: Any) -> None:
        self.frames = FrameEnds()
        source = _Compressed(raw, self.frames)
        self.stream = zstandard.ZstdDecompressor().stream_reader(source, read_across_frames=True)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int:
        n: int = self.stream.readinto(buffer)
        if n == 0 and self.frames.inside:
            raise EOFError("the stream ends inside a frame")
        return n

    def close(self) -> None:
        if not self.closed:
            self.stream.close()
        super().close()
