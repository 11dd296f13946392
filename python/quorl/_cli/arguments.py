"""The command line: commands, options and their help."""

from __future__ import annotations

import argparse

import quorl

from .status import PROG

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any

#: Lines of a JSON Lines file are handed out in runs of about this many bytes:
#: large enough that a task costs little more than its records, small enough
#: that 2 * jobs of them in flight stay well under 200 MB.
CHUNK_BYTES = 4 << 20

PROFILE_HELP = {
    "run": "identity of a run's or job's inputs and outputs",
    "certificate": "content that is signed or attested",
    "artifact-byte": "the exact identity of a built artifact",
    "semantic-content": "what a record means, whatever its formatting",
}


class _VersionAction(argparse.Action):
    """--version: the version is read from the package metadata only when
    asked for, so that ordinary runs do not pay for the lookup."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(
            option_strings,
            dest,
            nargs=0,
            default=argparse.SUPPRESS,
            help="show the version and exit",
        )

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: str | None = None,
    ) -> None:
        print(f"{parser.prog} {quorl.__version__}")  # on standard output, as argparse's own
        parser.exit()


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _common(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "-j",
        "--jobs",
        type=_positive,
        metavar="N",
        help="worker threads (default and most: the usable cores; 1 works in the "
        "main thread); output order is the same for every N",
    )
    sub.add_argument(
        "--max-errors",
        type=_positive,
        metavar="N",
        help="show at most N located refusals (all are still counted)",
    )
    sub.add_argument(
        "--fail-fast",
        action="store_true",
        help="stop at the first refused, failed or unreadable document",
    )
    bar = sub.add_mutually_exclusive_group()
    bar.add_argument(
        "--progress",
        dest="progress",
        action="store_true",
        default=None,
        help="a progress bar on standard error (default: when it is a terminal)",
    )
    bar.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    sub.add_argument("--chunk-bytes", type=_positive, default=CHUNK_BYTES, help=argparse.SUPPRESS)


def _inputs(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "paths",
        nargs="*",
        metavar="PATH",
        help="a file, a folder (with -r), or - for standard input (the default)",
    )
    sub.add_argument(
        "-r",
        "--recursive",
        action="store_true",
        help="take every *.json, *.jsonl and *.ndjson file below each folder (compressed too, "
        "any case), in sorted order; symbolic links to folders are not followed",
    )
    sub.add_argument(
        "--include",
        action="append",
        default=[],
        metavar="GLOB",
        help="with -r, take the files whose name matches GLOB instead (a GLOB with a / "
        "matches the path below the folder); may be repeated",
    )
    sub.add_argument(
        "--exclude",
        action="append",
        default=[],
        metavar="GLOB",
        help="with -r, leave out the files and folders whose name matches GLOB",
    )
    mode = sub.add_mutually_exclusive_group()
    mode.add_argument(
        "--jsonl",
        action="store_true",
        help="every line of the input is one record (blank lines skipped); "
        "*.jsonl and *.ndjson files are taken this way without it",
    )
    mode.add_argument(
        "--whole",
        action="store_true",
        help="read every input as one document, *.jsonl and *.ndjson files included",
    )
    sub.add_argument(
        "--column",
        metavar="NAME",
        help="in Parquet (*.parquet) and Arrow (*.arrow, *.feather) files, the column whose "
        "rows are the documents (string or binary); a record is named <file>:<row>, rows "
        "counted from 1, and rows that are null are skipped. Needs pyarrow",
    )
    sub.add_argument(
        "--floats",
        choices=("refuse", "str"),
        default="refuse",
        help="numbers with a fraction or exponent: refused (the default), or written as the "
        "string of their shortest round-trip repr, as repr(float(token)) in Python",
    )
    sub.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write to FILE instead of standard output: a regular file is replaced only "
        "once the run is complete; a device or FIFO is written to directly; - is standard "
        "output",
    )


def build_parser() -> argparse.ArgumentParser:
    profiles = "\n".join(f"  {name:<17} {PROFILE_HELP[name]}" for name in quorl.PROFILES)
    profile_note = (
        "profiles:\n" + profiles + "\n\nThe same document has four unrelated digests, so that "
        "a digest made for one\npurpose cannot stand in for another."
    )
    parser = argparse.ArgumentParser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Exact canonical bytes and SHA-256 digests of tagged JSON documents.",
        epilog=(
            "exit status: 0 when every document was digested (or checked OK), 1 when\n"
            "any was refused or failed its check, 2 for usage faults and unreadable paths.\n\n"
            "Run 'quorl COMMAND --help' for each command's options."
        ),
    )
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    digest = commands.add_parser(
        "digest",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        help="one digest line per document or record, laid out like sha256sum",
        description=(
            "Print '<64 hex>  <name>' for every document, and\n"
            "'<64 hex>  <name>:<line>' for every record of JSON Lines; with --tag,\n"
            "'QUORL-<PROFILE> (<name>) = <64 hex>' and\n"
            "'QUORL-<PROFILE> (<name>):<line> = <64 hex>', which 'quorl check' reads\n"
            "without -p."
        ),
        epilog=profile_note,
    )
    digest.add_argument(
        "-p",
        "--profile",
        required=True,
        choices=quorl.PROFILES,
        metavar="PROFILE",
        help="what the digest is for (see below)",
    )
    digest.add_argument(
        "--tag",
        action="store_true",
        help="write lines that name their profile: 'QUORL-RUN (<name>) = <hex>', "
        "and '... (<name>):<line> = <hex>' for a record",
    )
    _inputs(digest)
    _common(digest)

    canonical = commands.add_parser(
        "canonical",
        help="the canonical bytes of every document, one per line",
        description=(
            "Write the canonical bytes of every document, or every record of JSON "
            "Lines, each followed by a newline. Refused records are left out."
        ),
    )
    _inputs(canonical)
    _common(canonical)

    check = commands.add_parser(
        "check",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        help="recompute the digests listed in a file made by 'quorl digest'",
        description=(
            "Read the lines 'quorl digest' writes, plain or tagged, and print\n"
            "'<name>: OK' or '<name>: FAILED' for each, in order. Each file is\n"
            "read once for the records listed from it in line order.\n"
            "Options and exit statuses as 'sha256sum -c', except that a listed\n"
            "file that could not be read gives status 2."
        ),
        epilog=profile_note,
    )
    check.add_argument(
        "-p",
        "--profile",
        choices=quorl.PROFILES,
        metavar="PROFILE",
        help="the profile of the plain lines (tagged lines name their own)",
    )
    check.add_argument(
        "sums",
        nargs="*",
        metavar="SUMS",
        help="a file of digest lines, or - for standard input (the default)",
    )
    # As sha256sum: the last of --quiet, --status and --warn wins.
    for flags, const, text in [
        (["--quiet"], "quiet", "do not print OK lines"),
        (["--status"], "status", "print nothing but errors: the exit status says it all"),
        (["-w", "--warn"], "warn", "warn about each improperly formatted line"),
    ]:
        check.add_argument(*flags, dest="verbosity", action="store_const", const=const, help=text)
    check.add_argument(
        "--column",
        metavar="NAME",
        help="in Parquet and Arrow files, the column whose rows were digested (as given "
        "to 'quorl digest --column')",
    )
    check.add_argument(
        "--strict", action="store_true", help="exit with status 1 for improperly formatted lines"
    )
    check.add_argument(
        "--floats",
        choices=("refuse", "str"),
        default="refuse",
        help="as given to 'quorl digest --floats' when the digests were made",
    )
    check.add_argument(
        "--ignore-missing",
        action="store_true",
        help="do not fail or report status for missing files",
    )
    _common(check)
    return parser
