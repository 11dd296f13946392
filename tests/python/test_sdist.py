"""The source distribution holds the project's sources and nothing a build,
a venv or a test run leaves in the tree.

Built with `python -m build --sdist` three ways: from the checkout as it is
(after tools/run-tests it has build/ and .venv-*), from a copy of the
tracked files, and from that copy after planting what builds and tests
leave behind. Skipped outside a git checkout (e.g. when the tests run from
an installed wheel).
"""

from __future__ import annotations

import fnmatch
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def _git_works() -> bool:  # git may be absent, or refuse a checkout someone else owns
    try:
        return (
            subprocess.run(
                ["git", "-C", str(ROOT), "ls-files", "--error-unmatch", "pyproject.toml"],
                capture_output=True,
                check=False,
            ).returncode
            == 0
        )
    except OSError:
        return False


if not (ROOT / ".git").exists() or not _git_works():
    pytest.skip("not in a git checkout of the project", allow_module_level=True)
pytest.importorskip("build")

# What builds, venvs and test runs leave, as (planted file, why it must stay out).
LEFTOVERS = [
    "build/tests-release/CMakeCache.txt",
    "build-other/x.o",
    ".venv-3.13/bin/python",
    ".venv/lib/site.py",
    "dist/quorl_core-0.1.0.tar.gz",
    "python/quorl/__pycache__/__init__.cpython-313.pyc",
    "python/quorl/_native.cpython-313-x86_64-linux-gnu.so",
    "quorl_core.cpython-313-x86_64-linux-gnu.so",
    "tests/python/__pycache__/test_sdist.cpython-313-pytest-8.pyc",
    "tests/python/.hypothesis/examples/x",
    ".hypothesis/examples/x",
    ".pytest_cache/v/cache/nodeids",
    ".mypy_cache/3.13/quorl.meta.json",
    "quorl_core.egg-info/PKG-INFO",
    "fuzz/corpus-work/fuzz_reader/0a1b",
    "fuzz/artifacts/crash-0a1b",
    "bench/results/results.json",
    "bench/corpus/canada.json",
]

# The same rules, written independently of the packaging configuration.
FORBIDDEN_TOP = ("build", ".venv", "dist")
FORBIDDEN_DIRS = {"__pycache__", ".hypothesis", ".pytest_cache", ".mypy_cache"}
FORBIDDEN_PREFIXES = ("fuzz/corpus-work/", "fuzz/artifacts/", "bench/results/", "bench/corpus/")


def forbidden(path: str) -> bool:
    parts = path.split("/")
    return (
        parts[0].startswith(FORBIDDEN_TOP)
        or any(p in FORBIDDEN_DIRS or p.endswith(".egg-info") for p in parts[:-1])
        or path.endswith((".so", ".pyc"))
        or path.startswith(FORBIDDEN_PREFIXES)
    )


REQUIRED = [
    "LICENSE",
    "README.md",
    "pyproject.toml",
    "CMakeLists.txt",
    ".ci/run",
    "python/quorl/__init__.py",
    "src/core/*.cpp",
    "src/core/*/*.cpp",
    "src/json/*/*.cpp",
    "tests/python/*.py",
    "tests/cpp/*.cpp",
    "examples/*",
    "bench/*.py",
    "tools/*",
    "fuzz/*",
]


def tracked_files() -> set[str]:
    out = subprocess.run(
        ["git", "-C", str(ROOT), "ls-files", "-z"], capture_output=True, check=True
    ).stdout.decode()
    return {p for p in out.split("\0") if p and (ROOT / p).is_file()}


def sdist_names(source: Path, out: Path) -> set[str]:
    """The files of the sdist built from `source`, relative to its top folder."""
    subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--outdir", str(out), str(source)],
        check=True,
        capture_output=True,
    )
    (archive,) = out.glob("*.tar.gz")
    with tarfile.open(archive) as tar:
        return {m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()}


@pytest.fixture(scope="module")
def built(tmp_path_factory: pytest.TempPathFactory) -> dict[str, set[str]]:
    tmp = tmp_path_factory.mktemp("sdist")
    copy = tmp / "copy"
    for name in tracked_files():
        (copy / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, copy / name)
    results = {
        "checkout": sdist_names(ROOT, tmp / "out-checkout"),
        "clean copy": sdist_names(copy, tmp / "out-clean"),
    }
    for name in LEFTOVERS:
        (copy / name).parent.mkdir(parents=True, exist_ok=True)
        (copy / name).write_text("left behind\n")
    results["dirty copy"] = sdist_names(copy, tmp / "out-dirty")
    print(
        f"\nsdist files: checkout {len(results['checkout'])}, "
        f"clean copy {len(results['clean copy'])}, dirty copy {len(results['dirty copy'])}"
    )
    return results


@pytest.mark.parametrize("leftover", LEFTOVERS)
def test_forbidden_rule_covers_each_leftover(leftover: str) -> None:
    assert forbidden(leftover)


@pytest.mark.parametrize("source", ["checkout", "clean copy", "dirty copy"])
def test_nothing_left_behind_and_every_source_in(built: dict[str, set[str]], source: str) -> None:
    names = built[source]
    assert sorted(n for n in names if forbidden(n)) == []
    assert sorted(tracked_files() - names) == []
    for pattern in REQUIRED:
        assert fnmatch.filter(names, pattern), f"nothing matches {pattern}"


def test_leftovers_change_nothing(built: dict[str, set[str]]) -> None:
    assert built["dirty copy"] == built["clean copy"] == tracked_files() | {"PKG-INFO"}
