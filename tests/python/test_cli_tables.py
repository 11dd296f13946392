"""quorl digest and check --column over Parquet and Arrow files, end to end
through `python -m quorl`, every row against quorl on its document alone."""

import subprocess
import sys

import pytest

from column_docs import expected_row, make_documents

pa = pytest.importorskip("pyarrow")
import pyarrow.feather  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

DOCS = make_documents(20_000, seed=11)  # two batches of rows


def quorl(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "quorl", *args], cwd=cwd, capture_output=True, timeout=300
    )


def write(folder, name, docs):
    table = pa.table({"id": range(len(docs)), "payload": docs})
    if name.endswith(".parquet"):
        pq.write_table(table, folder / name, row_group_size=7000)
    elif name.endswith(".feather"):
        pyarrow.feather.write_feather(table, folder / name, chunksize=9000)
    else:  # the stream format
        with pa.ipc.new_stream(folder / name, table.schema) as stream:
            stream.write_table(table, max_chunksize=5000)


def expected(name, docs, mode="digest"):
    """stdout and the located refusals, per row; null rows give nothing."""
    out, err = [], []
    for row, doc in enumerate(docs, 1):
        value, error = expected_row(doc, "run" if mode == "digest" else None)
        if error is not None:
            # The command gives a reader's location once, not also at the end.
            where = error.split(":", 1)[0]
            err.append(f"quorl: {name}:{row}: {error.removesuffix(' at ' + where)}")
        elif value is not None:
            out.append(f"{value}  {name}:{row}\n".encode() if mode == "digest" else value + b"\n")
    return b"".join(out), err


@pytest.mark.parametrize("name", ["events.parquet", "events.feather", "events.arrow"])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_digest_each_row_as_alone(tmp_path, name, jobs):
    write(tmp_path, name, DOCS)
    got = quorl("digest", "-p", "run", "-j", jobs, "--column", "payload", name, cwd=tmp_path)
    out, err = expected(name, DOCS)
    assert got.returncode == 1
    assert got.stdout == out
    assert got.stderr.decode().splitlines()[:-1] == err


def test_canonical_and_fail_fast(tmp_path):
    write(tmp_path, "e.parquet", DOCS)
    got = quorl("canonical", "--column", "payload", "e.parquet", cwd=tmp_path)
    assert got.stdout == expected("e.parquet", DOCS, "canonical")[0]
    first_refused = next(i for i, d in enumerate(DOCS) if expected_row(d, "run")[1])
    got = quorl(
        "digest", "-p", "run", "--fail-fast", "--column", "payload", "e.parquet", cwd=tmp_path
    )
    assert got.stdout == expected("e.parquet", DOCS[:first_refused])[0]


def test_check_finds_changed_null_and_missing_rows(tmp_path):
    write(tmp_path, "e.parquet", DOCS)
    made = quorl("digest", "-p", "run", "--column", "payload", "e.parquet", cwd=tmp_path)
    (tmp_path / "SUMS").write_bytes(made.stdout)
    ok = quorl("check", "-p", "run", "--column", "payload", "--quiet", "SUMS", cwd=tmp_path)
    assert (ok.returncode, ok.stdout, ok.stderr) == (0, b"", b"")
    listed = [int(line.rsplit(b":", 1)[1]) for line in made.stdout.splitlines()]
    changed = list(DOCS[:19_000])  # the last listed rows are gone
    changed[listed[0] - 1] = '{"other": 1}'
    changed[listed[1] - 1] = None
    write(tmp_path, "e.parquet", changed)
    bad = quorl("check", "-p", "run", "--column", "payload", "--quiet", "SUMS", cwd=tmp_path)
    failed = [int(line.split(b":")[1]) for line in bad.stdout.splitlines()]
    assert bad.returncode == 1
    assert failed == listed[:2] + [row for row in listed if row > 19_000]
    assert f"quorl: e.parquet:{listed[1]}: no document in this row (null)" in bad.stderr.decode()


@pytest.mark.parametrize(
    "args,message",
    [
        (["digest", "-p", "run", "e.parquet"], "give --column NAME"),
        (["digest", "-p", "run", "--column", "nope", "e.parquet"], "no column 'nope'"),
        (["digest", "-p", "run", "--column", "id", "e.parquet"], "column 'id' holds int64"),
        (["digest", "-p", "run", "--column", "payload", "bad.parquet"], "bad.parquet: "),
        (["check", "-p", "run", "SUMS"], "give --column NAME to check its rows"),
    ],
)
def test_files_and_columns_that_cannot_be_read(tmp_path, args, message):
    write(tmp_path, "e.parquet", DOCS[:10])
    (tmp_path / "bad.parquet").write_bytes(b"PAR1 not really")
    (tmp_path / "SUMS").write_bytes(b"0" * 64 + b"  e.parquet:1\n")
    got = quorl(*args, cwd=tmp_path)
    assert got.returncode == 2 and message in got.stderr.decode()


def test_without_pyarrow_the_extra_is_named(tmp_path):
    write(tmp_path, "e.parquet", DOCS[:10])
    code = "import sys; sys.modules['pyarrow'] = None; from quorl.cli import main; sys.exit(main())"
    got = subprocess.run(
        [sys.executable, "-c", code, "digest", "-p", "run", "--column", "payload", "e.parquet"],
        cwd=tmp_path,
        capture_output=True,
    )
    assert got.returncode == 2 and b"pip install 'quorl_core[parquet]'" in got.stderr
