"""tools/pythons.sh: which CPython versions the tools find and use.

Each case builds a fake machine: interpreters on PATH, in pyenv's and uv's
folders and in a system bin folder, some of them broken (a shim that fails
when run, like pyenv's for a version not selected). The fakes answer the
version check the way a real interpreter of their name would.
"""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "tools" / "pythons.sh"
if not SCRIPT.is_file():
    pytest.skip("not in a checkout: tools/ is absent", allow_module_level=True)

WORKING = "#!/bin/sh\nexit 0\n"
BROKEN = "#!/bin/sh\necho 'pyenv: python3.X: command not found' >&2\nexit 127\n"


def fake(path: Path, body: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(body)
    path.chmod(0o755)


def run(tmp_path: Path, command: str) -> subprocess.CompletedProcess[str]:
    # No system folder on PATH: the machine's own interpreters must not show.
    tools = tmp_path / "tools"
    if not tools.exists():
        tools.mkdir()
        (tools / "tail").symlink_to(shutil.which("tail") or "/usr/bin/tail")
    env = {
        "PATH": f"{tmp_path}/path:{tools}",
        "HOME": str(tmp_path / "home"),
        "PYENV_ROOT": str(tmp_path / "pyenv"),
        "UV_PYTHON_INSTALL_DIR": str(tmp_path / "uv"),
        "QUORL_SYSTEM_BINS": str(tmp_path / "system"),
    }
    return subprocess.run(
        [shutil.which("bash") or "/bin/bash", "-c", f". {SCRIPT}; {command}"],
        env=env,
        capture_output=True,
        text=True,
        check=False,
    )


# (fakes as (where, version, working), supported versions expected)
CASES = [
    ([("path", "3.13", True)], ["3.13"]),
    ([("system", "3.12", True), ("pyenv", "3.14", True)], ["3.12", "3.14"]),
    ([("path", "3.12", False), ("pyenv", "3.12", True), ("uv", "3.15", True)], ["3.12", "3.15"]),
    ([("path", "3.13", False), ("path", "3.11", True), ("system", "3.10", True)], []),
    ([("uv", "3.21", True), ("path", "3.12", True)], ["3.12", "3.21"]),
]


def place(tmp_path: Path, where: str, version: str, working: bool) -> None:
    folder = {
        "path": "path",
        "system": "system",
        "pyenv": f"pyenv/versions/{version}.4/bin",
        "uv": f"uv/cpython-{version}.2-linux-x86_64-gnu/bin",
    }[where]
    fake(tmp_path / folder / f"python{version}", WORKING if working else BROKEN)


@pytest.mark.parametrize(("fakes", "expected"), CASES)
def test_selection(tmp_path: Path, fakes: list[tuple[str, str, bool]], expected: list[str]) -> None:
    for where, version, working in fakes:
        place(tmp_path, where, version, working)
    assert run(tmp_path, "supported_pythons").stdout.split() == expected
    newest = run(tmp_path, "newest_python")
    if expected:
        assert (newest.returncode, newest.stdout.strip()) == (0, expected[-1])
    else:
        assert newest.returncode == 1 and "Installing" in newest.stderr
    for version in expected:  # a working one, never the broken shim before it
        found = Path(run(tmp_path, f"python_for {version}").stdout.strip())
        assert found.name == f"python{version}" and found.read_text() == WORKING
