"""The layout of digest lines, as sha256sum writes and reads them."""

from __future__ import annotations

import os
import re


def escape_name(name: str) -> tuple[str, bool]:
    """A name as sha256sum writes it in a digest line: backslash, line feed
    and carriage return escaped; True when anything was (the line then
    starts with a backslash)."""
    if "\\" not in name and "\n" not in name and "\r" not in name:
        return name, False
    return name.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r"), True


def unescape_name(text: str) -> str:
    """The name a digest line that starts with a backslash stands for."""
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r"}.get(m.group(1), m.group(1)), text)


def sum_name(name: str) -> tuple[bytes, bytes]:
    """(line prefix, name) as the bytes of a digest line: a file name that is
    not UTF-8 keeps its own bytes, as sha256sum writes it."""
    shown, escaped = escape_name(name)
    return (b"\\" if escaped else b""), os.fsencode(shown)


def shown_name(name: str) -> str:
    """A name as messages show it: escaped as in a digest line when it holds
    a line break, so that every message stays one line."""
    if "\n" not in name and "\r" not in name:
        return name
    return escape_name(name)[0]


def tagged_line(profile: str, name: str, hexdigest: str, record_line: int | None) -> bytes:
    """A digest line that names its profile: 'QUORL-RUN (name) = <hex>', or
    'QUORL-RUN (name):<line> = <hex>' for a record."""
    prefix, shown = sum_name(name)
    where = b"" if record_line is None else b":%d" % record_line
    return b"%sQUORL-%s (%s)%s = %s\n" % (
        prefix,
        profile.upper().encode(),
        shown,
        where,
        hexdigest.encode(),
    )
