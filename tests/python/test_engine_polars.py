"""quorl.polars on Polars itself: a Series, and an expression in eager,
lazy and streaming queries, every row against quorl on its document alone."""

import pytest

from column_docs import assert_rows, make_documents

pl = pytest.importorskip("polars")

import quorl  # noqa: E402
import quorl.polars as qp  # noqa: E402

DOCS = make_documents(10_000)


def fields(frame, first):
    return list(zip(frame[first].to_list(), frame["error"].to_list(), strict=True))


@pytest.mark.parametrize("how", ["series", "eager", "lazy", "streaming"])
@pytest.mark.parametrize("profile", ["run", None])
def test_every_row_as_alone(how, profile):
    first = "canonical" if profile is None else "digest"

    def expr(column):
        return qp.canonical(column) if profile is None else qp.digest(column, profile)

    # Binary documents for the canonical bytes, strings for the digests.
    docs = DOCS if profile else [d if d is None else d.encode() for d in DOCS]
    frame = pl.DataFrame({"id": range(len(docs)), "payload": docs})
    if how == "series":
        out = expr(frame["payload"]).struct.unnest()
    elif how == "eager":
        out = frame.with_columns(expr("payload").alias("q")).unnest("q")
    else:
        query = frame.lazy().select("id", expr(pl.col("payload")).alias("q")).unnest("q")
        out = query.collect(engine="streaming" if how == "streaming" else "auto").sort("id")
    assert_rows(fields(out, first), docs, profile)


def test_unknown_profile_fails_before_any_query():
    with pytest.raises(quorl.RefusedError, match="unknown digest profile: nope"):
        qp.digest("payload", "nope")
