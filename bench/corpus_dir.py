"""Where the benchmarks find the twelve corpus documents.

The shared copy beside the checkout (../shared/corpus) when it is there,
else the one bench/get_corpus.py writes (bench/corpus). A script that needs
the corpus and finds neither says how to get it and exits with status 2.
"""

from __future__ import annotations

import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
CANDIDATES = (BENCH.parent.parent / "shared" / "corpus", BENCH / "corpus")


def has_documents(folder: Path) -> bool:
    return folder.is_dir() and any(folder.glob("*.json"))


def corpus_dir(explicit: Path | None = None) -> Path | None:
    """The folder given, if it holds documents; else the first candidate that does."""
    for folder in (explicit,) if explicit is not None else CANDIDATES:
        if has_documents(folder):
            return folder.resolve()
    return None


def require_corpus(explicit: Path | None = None) -> Path:
    found = corpus_dir(explicit)
    if found is None:
        where = explicit if explicit is not None else " or ".join(str(c) for c in CANDIDATES)
        print(f"no benchmark corpus in {where}: run python bench/get_corpus.py", file=sys.stderr)
        sys.exit(2)
    return found
