"""quorl.duckdb in DuckDB's SQL over Parquet files, every row against quorl
on its document alone."""

import pytest

from column_docs import assert_rows, expected_row, make_documents

duckdb = pytest.importorskip("duckdb")
pq = pytest.importorskip("pyarrow.parquet")

import pyarrow as pa  # noqa: E402

import quorl.duckdb  # noqa: E402

DOCS = make_documents(10_000)
PROFILES = ["run", "certificate", "artifact-byte"]


@pytest.fixture(scope="module")
def events(tmp_path_factory):
    """Two Parquet files of events; a row's profile varies in `kind`."""
    folder = tmp_path_factory.mktemp("events")
    half = len(DOCS) // 2
    for part, rows in enumerate([range(half), range(half, len(DOCS))]):
        table = pa.table(
            {
                "id": list(rows),
                "payload": [DOCS[i] for i in rows],
                "kind": [PROFILES[i % 3] for i in rows],
            }
        )
        pq.write_table(table, folder / f"part-{part}.parquet", row_group_size=3000)
    return folder


@pytest.fixture
def con():
    connection = duckdb.connect()
    quorl.duckdb.register(connection)
    yield connection
    connection.close()


def query(con, sql):
    return con.sql(sql).fetchall()


def fields(struct, first):
    # A NULL document gives a NULL struct: both fields NULL.
    return (None, None) if struct is None else (struct[first], struct["error"])


def test_digest_and_canonical_in_sql(con, events):
    rows = query(
        con,
        f"""
        SELECT quorl_digest(payload, 'run') AS d, quorl_canonical(payload) AS c
        FROM '{events}/*.parquet' ORDER BY id""",
    )
    assert_rows([fields(d, "digest") for d, _ in rows], DOCS, "run")
    assert_rows([fields(c, "canonical") for _, c in rows], DOCS, None)


def test_a_profile_per_row(con, events):
    rows = query(
        con,
        f"""
        SELECT q.digest, q.error FROM (
            SELECT id, quorl_digest(payload, kind) AS q FROM '{events}/*.parquet')
        ORDER BY id""",
    )
    assert rows == [expected_row(d, PROFILES[i % 3]) for i, d in enumerate(DOCS)]


def test_the_default_connection():
    quorl.duckdb.register()
    assert duckdb.sql("SELECT quorl_digest('{\"a\": 1}', 'run').digest").fetchall() == [
        (quorl.digest_from_json('{"a":1}', "run"),)
    ]


def test_unknown_profile_is_a_query_error(con):
    with pytest.raises(duckdb.Error, match="unknown digest profile: nope"):
        query(con, "SELECT quorl_digest('1', 'nope')")
