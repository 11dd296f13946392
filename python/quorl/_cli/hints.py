"""Short advice after a located refusal, for the usual ways a file that is
fine meets the wrong mode: a byte order mark, a compressed file not named
so, JSON Lines read as one document, a pretty-printed document read as
JSON Lines."""

from __future__ import annotations

from . import compressed

BOM = b"\xef\xbb\xbf"


def hint(head: bytes, message: str, line: int | None, *, whole: bool) -> str | None:
    """Advice for a refusal of the text that starts with head: at its
    reader location line (None when not located), read as one document
    (whole) or as the first record of JSON Lines."""
    if head.startswith(BOM):
        return "the text starts with a UTF-8 byte order mark, which JSON does not allow: remove it"
    kind = compressed.by_magic(head)
    if kind is not None:
        return (
            f"this is {kind}-compressed data: name the file with its suffix "
            f"({', '.join(s for s, k in compressed.SUFFIXES.items() if k == kind)}), or "
            "decompress it first"
        )
    if whole and "trailing characters" in message and line is not None and line > 1:
        return "one document per line? add --jsonl to read JSON Lines"
    if not whole and "EOF while parsing" in message:
        return "one document over several lines? add --whole to read the file as one document"
    return None
