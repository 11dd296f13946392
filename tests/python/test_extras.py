"""The engine modules: `import quorl` imports none of them, and each names
the extra to install when what it needs is missing."""

import subprocess
import sys

import pytest

ENGINES = {"pyarrow", "polars", "duckdb", "pyspark", "ray", "pandas", "dask", "nanoarrow"}


def run(code):
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    ).stdout


def test_import_quorl_imports_no_engine():
    assert (
        run(
            f"import sys, quorl; print(sorted({{m.split('.')[0] for m in sys.modules}} & "
            f"{ENGINES!r}))"
        )
        == "[]\n"
    )


@pytest.mark.parametrize(
    "module,missing,extra",
    [
        ("quorl.arrow", "pyarrow", "arrow"),
        ("quorl.polars", "polars", "polars"),
        ("quorl.duckdb", "duckdb", "duckdb"),
        ("quorl.duckdb", "pyarrow", "duckdb"),
        ("quorl.spark", "pyspark", "spark"),
        ("quorl.ray", "ray", "ray"),
    ],
)
def test_a_missing_engine_names_its_extra(module, missing, extra):
    out = run(
        f"import sys; sys.modules[{missing!r}] = None\n"
        f"try:\n    import {module}\nexcept ImportError as e:\n    print(e)"
    )
    assert f"pip install 'quorl_core[{extra}]'" in out
