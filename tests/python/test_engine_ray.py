"""quorl.ray on a local Ray instance, every row against quorl on its
document alone."""

import pytest

from column_docs import assert_rows, make_documents

ray = pytest.importorskip("ray", reason="needs the ray extra")
pytest.importorskip("ray.data", reason="needs the ray extra")

import pyarrow as pa  # noqa: E402

import quorl  # noqa: E402
import quorl.ray  # noqa: E402

DOCS = make_documents(10_000)


@pytest.fixture(scope="module")
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    yield
    ray.shutdown()


def test_digest_dataset_row_by_row(local_ray):
    table = pa.table({"id": range(len(DOCS)), "payload": DOCS})
    dataset = ray.data.from_arrow(table).repartition(4)
    out = quorl.ray.digest_dataset(dataset, "run", column="payload", batch_size=1500)
    rows = out.to_arrow_refs()
    result = pa.concat_tables(ray.get(rows)).sort_by("id")
    assert result.column_names == ["id", "payload", "digest", "error"]
    rows = zip(result["digest"].to_pylist(), result["error"].to_pylist(), strict=True)
    assert_rows(list(rows), DOCS, "run")


def test_unknown_profile_fails_before_anything_runs(local_ray):
    with pytest.raises(quorl.RefusedError, match="unknown digest profile"):
        quorl.ray.digest_dataset(ray.data.from_items([{"doc": "1"}]), "nope")
