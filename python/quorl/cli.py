"""The ``quorl`` command: canonical bytes and digests of files, folders,
standard input and JSON Lines, laid out like ``sha256sum``. Its parts are in
``quorl._cli``; this module holds the entry point."""

from __future__ import annotations

import sys

from quorl import _native

from ._cli import signals
from ._cli.arguments import build_parser
from ._cli.status import BROKEN_PIPE, INTERRUPTED, PROG, TROUBLE, Terminated
from ._cli.streams import streams


def main(argv: list[str] | None = None) -> int:
    streams.hold_closed()
    parser = build_parser()
    args = parser.parse_args(argv)
    signals.install()
    _native._keep_freed_memory()  # runs of lines reuse the memory of those before
    try:
        if args.command == "check":
            from ._cli import check

            status = check.run(args)
        else:
            from ._cli import transform

            status = transform.run(args, args.command)
    except KeyboardInterrupt as stop:
        return 128 + stop.signum if isinstance(stop, Terminated) else INTERRUPTED
    except BrokenPipeError:
        # The reader went away (quorl digest ... | head -1): leave quietly, as
        # the coreutils do when SIGPIPE ends them. Output is unbuffered, so
        # nothing is left to write at exit.
        return BROKEN_PIPE
    except MemoryError:
        streams.error_line(
            f"{PROG}: not enough memory (a whole document is held in memory "
            "at once; JSON Lines are not)"
        )
        return TROUBLE
    # A message that could not be written leaves the run unreported.
    return max(status, TROUBLE) if streams.lost_messages else status


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
