"""Exit statuses, as the coreutils checksum tools use them, and the
exceptions that end a run early."""

import signal

PROG = "quorl"

OK, REFUSED, TROUBLE = 0, 1, 2
INTERRUPTED = 128 + signal.SIGINT
BROKEN_PIPE = 128 + signal.SIGPIPE


class Terminated(KeyboardInterrupt):
    """A stop signal other than SIGINT, taken like Ctrl-C so that the same
    clean-up runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


class Refusal(Exception):
    """Raised by --fail-fast at the first document that is refused."""
