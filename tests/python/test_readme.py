"""The README's examples, run: each Python block (an expression followed by
a comment that is a literal must give that literal), each console session
(the output shown is the output), and the command synopsis against the
command's options. The install and build blocks name scripts that must
exist; CI runs them itself. A block that uses an engine (an extra) runs
where that engine is installed, and is skipped elsewhere."""

import ast
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
README = REPO / "README.md"
if not README.is_file() or not (REPO / "examples").is_dir():
    pytest.skip("needs the checkout's README.md and examples/", allow_module_level=True)

BLOCKS = [
    (m.group(1), m.group(2), README.read_text()[: m.start()].count("\n") + 1)
    for m in re.finditer(r"```(\w*)\n(.*?)```", README.read_text(), re.S)
]


def blocks(lang):
    return [pytest.param(body, id=f"line{line}") for kind, body, line in BLOCKS if kind == lang]


# The engines the column examples use, each an extra.
ENGINES = ("pyarrow", "polars", "duckdb", "pyspark", "ray")


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    shutil.copytree(REPO / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("body", blocks("python"))
def test_python_block(body, workdir):
    if "dask" in body:
        pytest.importorskip("dask.distributed")
    for engine in ENGINES:
        if re.search(rf"^(import|from) {engine}\b", body, re.M):
            pytest.importorskip(engine, reason=f"the example needs {engine}")
    if "pyspark" in body and shutil.which("java") is None:
        pytest.skip("Spark needs a Java runtime")
    tree = ast.parse(body)
    lines = body.splitlines()
    scope = {"__name__": "__main__"}
    for statement in tree.body:
        code = compile(ast.Module([statement], []), "README.md", "exec")
        after = lines[statement.end_lineno] if statement.end_lineno < len(lines) else ""
        shown = after.strip().removeprefix("# ") if after.strip().startswith("#") else None
        try:
            literal = ast.literal_eval(shown) if shown else None
        except (ValueError, SyntaxError):
            literal = None
        if isinstance(statement, ast.Expr) and literal is not None:
            value = eval(compile(ast.Expression(statement.value), "README.md", "eval"), scope)
            assert value == literal, ast.unparse(statement)
        else:
            exec(code, scope)


@pytest.mark.parametrize("body", blocks("console"))
def test_console_session(body, workdir):
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    command, shown = None, []

    def settle():
        if command is not None:
            got = subprocess.run(
                ["bash", "-c", command + " 2>&1"],
                capture_output=True,
                text=True,
                env=env,
                timeout=120,
            )
            assert got.stdout.splitlines() == shown, command

    for line in body.splitlines():
        if line.startswith("$ "):
            settle()
            command, shown = line[2:], []
        else:
            shown.append(line)
    settle()


def test_synopsis_names_real_options():
    synopsis = next(
        body for kind, body, _ in BLOCKS if kind == "sh" and body.startswith("quorl digest")
    )
    for line in synopsis.splitlines():
        command = line.split()[1]
        helped = subprocess.run(
            [sys.executable, "-m", "quorl", command, "--help"], capture_output=True, text=True
        ).stdout
        for option in re.findall(r"(?<![\w-])(--?[a-z][\w-]*)", line):
            assert re.search(rf"(?<![\w-]){re.escape(option)}\b", helped), (command, option)


def test_named_scripts_exist():
    for kind, body, _ in BLOCKS:
        if kind == "sh":
            for script in re.findall(r"\b((?:tools|bench)/[\w./-]+)", body):
                assert (REPO / script).exists(), script
