"""Exit statuses, as the coreutils checksum tools use them, and the
exceptions that end a run early."""

import signal

PROG = "quorl"

OK, REFUSED, TROUBLE = 0, 1, 2
INTERRUPTED = 128 + signal.SIGINT
TERMINATED = 128 + signal.SIGTERM
BROKEN_PIPE = 128 + signal.SIGPIPE


class Terminated(KeyboardInterrupt):
    """SIGTERM, taken like Ctrl-C so that the same clean-up runs."""


class Refusal(Exception):
    """Raised by --fail-fast at the first document that is refused."""
