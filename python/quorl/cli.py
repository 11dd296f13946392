"""The ``quorl`` command: canonical bytes and digests of files, folders,
standard input and JSON Lines, laid out like ``sha256sum``. Its parts are in
``quorl._cli``; this module holds the entry point."""

from __future__ import annotations

import io
import os
import sys

from quorl import _native

from ._cli import signals
from ._cli.arguments import build_parser
from ._cli.status import BROKEN_PIPE, INTERRUPTED, PROG, TERMINATED, TROUBLE, Terminated


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # Names that are not UTF-8 are written back as their own bytes.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")
    signals.install()
    _native._keep_freed_memory()  # runs of lines reuse the memory of those before
    try:
        if args.command == "check":
            from ._cli import check

            status = check.run(args)
        else:
            from ._cli import transform

            status = transform.run(args, args.command)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt as stop:
        return TERMINATED if isinstance(stop, Terminated) else INTERRUPTED
    except BrokenPipeError:
        # The reader went away (quorl digest ... | head -1): leave quietly, as
        # the coreutils do when SIGPIPE ends them.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return BROKEN_PIPE
    except MemoryError:
        print(
            f"{PROG}: not enough memory (a whole document is held in memory at once; "
            "JSON Lines are not)",
            file=sys.stderr,
        )
        return TROUBLE


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
