"""quorl.dask on a local cluster of two worker processes, row by row against
quorl_core applied to each line on its own."""

import bz2
import gzip
import importlib.util
import lzma
import os
import random
import shutil
import signal
import subprocess
import sys
import time

import pytest

from column_docs import assert_rows, make_documents

distributed = pytest.importorskip("dask.distributed")

import cloudpickle  # noqa: E402  (comes with distributed)
import dask  # noqa: E402
import dask.bag as db  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import pandas as pd  # noqa: E402
import zstandard  # noqa: E402

import quorl  # noqa: E402
import quorl.dask as qd  # noqa: E402
import quorl_core  # noqa: E402

# The slowed-down step of the fault test runs in the workers.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

GOOD = [
    '{"id": %d, "name": "n", "tags": ["a", "b"]}',
    '{"z": %d, "a": {"$int": "123456789012345678901234567890"}, "s": "caf\\u00e9 \\"q\\""}',
    '  [%d, true, null, {"$str": "$int"}]\r',
    '{"digest": "old", "n": %d, "text": "Grüße ✓"}',
]
BAD = [
    '{"x": %d.5}',
    '{"n": %d, "big": 9007199254740993}',
    '{"n": %d, "bad": ',
    '{"n": %d, "v": {"$nan": 1}}',
    "[" * 129 + "%d" + "]" * 129,
]


def make_lines(rng, count):
    lines = []
    for i in range(count):
        roll = rng.random()
        if roll < 0.03:
            lines.append(rng.choice(["", "   ", "\t\r"]))
        elif roll < 0.10:
            lines.append(rng.choice(BAD) % i)
        elif roll < 0.11:
            lines.append('{"bytes": "\udcff\udcfe"}')  # invalid UTF-8 once encoded
        else:
            lines.append(rng.choice(GOOD) % i)
    return lines


def encode(lines):
    return "\n".join(lines).encode("utf-8", "surrogateescape")


@pytest.fixture(scope="module")
def data_dir(tmp_path_factory):
    rng = random.Random(20240611)
    root = tmp_path_factory.mktemp("jsonl")
    for name, count in [("a.jsonl", 9000), ("b.jsonl", 12000), ("c.jsonl", 7000)]:
        lines = make_lines(rng, count)
        lines[count // 2] = '{"long": "%s"}' % ("x" * 100_000)  # longer than several blocks
        (root / name).write_bytes(encode(lines) + (b"\n" if name == "b.jsonl" else b""))
    with gzip.open(root / "d.jsonl.gz", "wb") as f:
        f.write(encode(make_lines(rng, 6000)) + b"\n")
    (root / "empty.jsonl").write_bytes(b"")
    return root


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def reference(data_dir, profile):
    """Rows from each line on its own: quorl_core for the value, quorl for the located refusal."""
    rows = []
    for path in sorted(data_dir.iterdir()):
        opener = gzip.open if path.suffix == ".gz" else open
        with opener(path, "rb") as f:
            raw_lines = f.read().split(b"\n")
        for number, raw in enumerate(raw_lines, 1):
            if not raw.strip(b" \t\r"):
                continue
            value = error = None
            try:
                text = raw.decode()
                value = (
                    quorl_core.canonical_bytes_from_json(text)
                    if profile is None
                    else quorl_core.digest_from_json(text, profile)
                )
            except ValueError as e:  # UnicodeDecodeError too
                with pytest.raises(quorl.RefusedError, match=r"^line 1 column \d+: ") as refused:
                    quorl.digest_from_json(raw, profile or "run")
                error = str(refused.value)
                assert isinstance(e, UnicodeDecodeError) or error.endswith(": " + str(e))
            rows.append((str(path), number, value, error))
    return rows


def rows_of(frame, column):
    frame = frame.sort_values(["path", "line"])
    return [
        (os.path.abspath(p), n, None if pd.isna(v) else v, None if pd.isna(e) else e)
        for p, n, v, e in zip(
            frame["path"], frame["line"], frame[column], frame["error"], strict=True
        )
    ]


@pytest.mark.parametrize("profile", [None, "run", "semantic-content"])
@pytest.mark.parametrize("blocksize", ["24KiB", "64MiB"])
def test_every_row_matches_each_line_alone(client, data_dir, profile, blocksize):
    if profile is None:
        frame = qd.canonical_jsonl(str(data_dir / "*.jsonl*"), blocksize=blocksize)
    else:
        frame = qd.digest_jsonl(str(data_dir / "*.jsonl*"), profile, blocksize=blocksize)
    if blocksize == "24KiB":
        assert frame.npartitions > 20  # files really are split into blocks
    got = frame.compute()
    assert dict(got.dtypes) == dict(frame.dtypes)
    expected = reference(data_dir, profile)
    assert len(got) > 25000 and sum(e is not None for *_, e in expected) > 1000
    assert rows_of(got, "canonical" if profile is None else "digest") == expected


@pytest.mark.parametrize(
    "code, out",
    [
        (
            "import sys, quorl;"
            " print(sorted({m.split('.')[0] for m in sys.modules} & {'dask', 'pandas'}))",
            "[]",
        ),
        # Spark and Ray Data workers may have pandas and no Dask.
        (
            "import sys; sys.modules['dask'] = None; import pandas as pd, quorl.dask as qd; "
            "print(qd.digest_partition(pd.Series(['1', '1.5']), 'run')['digest'].isna().tolist())",
            "[False, True]",
        ),
    ],
)
def test_what_imports_need_dask(code, out):
    assert (
        subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, check=True
        ).stdout
        == out + "\n"
    )


def test_unknown_profile_fails_at_the_call(client, data_dir):
    with pytest.raises(quorl.RefusedError, match="unknown digest profile: nope"):
        qd.digest_jsonl(str(data_dir / "*.jsonl"), "nope")
    with pytest.raises(OSError):
        qd.digest_jsonl(str(data_dir / "*.none"), "run")


def test_the_command_gives_the_same_rows(client, data_dir):
    command = shutil.which("quorl", path=os.path.dirname(sys.executable))
    if command is None or importlib.util.find_spec("quorl.cli") is None:
        pytest.skip("the quorl command is not installed")
    path = data_dir / "b.jsonl"
    run = subprocess.run(
        [command, "digest", "-p", "run", "--jsonl", "-j", "2", str(path)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    from_command = {}
    for out in run.stdout.splitlines():
        hex_digest, where = out.split("  ", 1)
        from_command[int(where.rsplit(":", 1)[1])] = hex_digest
    got = qd.digest_jsonl(str(path), "run", blocksize="16KiB").compute()
    ok = got[got["digest"].notna()]
    assert dict(zip(ok["line"], ok["digest"], strict=True)) == from_command
    refused = [line for line in run.stderr.splitlines() if line.startswith(f"quorl: {path}:")]
    assert len(refused) == got["error"].notna().sum() > 0


DOCS = [
    '{"b": 1, "a": [true, null]}',
    b'{"a": [true, null], "b": 1}',
    {"a": [True, None], "b": 1},
    '{"x": 1.5}',
    b"\xff",
    "[1,",
    1.5,
    {"k": {1, 2}},
    "  [1,\n 2]  ",
    '"\ud800"',
    "",
    7,
    "[" * 200 + "]" * 200,
]


def test_bag_and_partitions_match_one_call_per_document(client):
    expected = []
    for doc in DOCS:
        try:
            fn = quorl.digest_from_json if isinstance(doc, (str, bytes)) else quorl.digest
            expected.append({"digest": fn(doc, "run"), "error": None})
        except quorl.RefusedError as e:
            expected.append({"digest": None, "error": str(e)})
        except (ValueError, TypeError) as e:
            expected.append({"digest": None, "error": f"{type(e).__name__}: {e}"})
    assert (
        expected[0]["digest"]
        == expected[1]["digest"]
        == expected[2]["digest"]
        == quorl_core.digest_from_json('{"a":[true,null],"b":1}', "run")
    )
    assert "nesting" in expected[-1]["error"]
    assert qd.digest_bag(db.from_sequence(DOCS, npartitions=3), "run").compute() == expected

    frame = pd.DataFrame({"doc": DOCS, "n": range(len(DOCS))})
    with dask.config.set({"dataframe.convert-string": False}):  # keep the bytes and objects
        documents = dd.from_pandas(frame, npartitions=4)
    got = qd.digest_frame(documents, "run").compute()
    assert list(got["n"]) == list(range(len(DOCS)))
    series = qd.digest_partition(pd.Series(DOCS, index=range(100, 100 + len(DOCS))), "run")
    assert list(series.index) == list(range(100, 100 + len(DOCS)))
    for result in got, series:
        assert [
            {"digest": None if pd.isna(d) else d, "error": None if pd.isna(e) else e}
            for d, e in zip(result["digest"], result["error"], strict=True)
        ] == expected


@pytest.mark.parametrize("dtype", ["str", "string[pyarrow]", "binary[pyarrow]"])
def test_arrow_columns_match_one_call_per_document(client, dtype):
    docs = make_documents(10_000)
    if dtype == "binary[pyarrow]":
        docs = [d if d is None else d.encode() for d in docs]
    frame = pd.DataFrame({"doc": pd.Series(docs, dtype=dtype), "n": range(len(docs))})
    got = qd.digest_frame(dd.from_pandas(frame, npartitions=3), "run").compute()
    assert list(got["n"]) == list(range(len(docs)))
    assert_rows(
        [
            (None if pd.isna(d) else d, None if pd.isna(e) else e)
            for d, e in zip(got["digest"], got["error"], strict=True)
        ],
        docs,
        "run",
    )


def slow(frame):
    time.sleep(0.03)
    return frame


def test_a_worker_killed_mid_run_loses_no_row(client, data_dir):
    paths = [str(data_dir / "a.jsonl"), str(data_dir / "b.jsonl")]
    frame = qd.digest_jsonl(paths, "run", blocksize="4KiB")
    assert frame.npartitions > 150
    future = client.compute(frame.map_partitions(slow, meta=frame._meta))
    deadline = time.monotonic() + 60

    def slowed(dask_scheduler):
        return sum(
            ts.state == "memory" and "slow" in str(ts.key) for ts in dask_scheduler.tasks.values()
        )

    while client.run_on_scheduler(slowed) < 40:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    assert not future.done()
    victim = next(iter(client.run(os.getpid).values()))
    os.kill(victim, signal.SIGKILL)
    got = future.result(timeout=180)
    client.wait_for_workers(2, timeout=60)
    assert victim not in client.run(os.getpid).values()
    expected = [row for row in reference(data_dir, "run") if row[0] in paths]
    assert rows_of(got, "digest") == expected


@pytest.mark.parametrize("blocks", [1024, 4096])
def test_graph_grows_with_the_blocks(tmp_path, blocks):
    """A file read as many blocks: a few tasks per block and one per file,
    so the graph (and the time to build it) grows linearly."""
    path = tmp_path / "many.jsonl"
    path.write_bytes(b"".join(b'{"n": %d}\n' % n for n in range(4 * blocks)))
    rows = qd.digest_jsonl(str(path), "run", blocksize=path.stat().st_size // blocks)
    tasks = len(rows.__dask_graph__())
    assert rows.npartitions >= blocks
    assert tasks <= 6 * rows.npartitions + 10


COMPRESSORS = {
    "gz": gzip.compress,
    "bz2": bz2.compress,
    "xz": lzma.compress,
    "zst": lambda data: zstandard.ZstdCompressor().compress(data),
}


@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
def test_compressed_files_read_whole_or_fail(client, tmp_path, suffix):
    """Every row of a whole compressed file; a file cut short is an error,
    never fewer rows (zstd's own reader stops quietly at a cut)."""
    data = b"".join(b'{"n": %d, "pad": "%s"}\n' % (n, b"x" * 40) for n in range(5000))
    packed = COMPRESSORS[suffix](data)
    whole, cut = tmp_path / f"whole.jsonl.{suffix}", tmp_path / f"cut.jsonl.{suffix}"
    whole.write_bytes(packed)
    cut.write_bytes(packed[: len(packed) // 2])
    rows = qd.digest_jsonl(str(whole), "run").compute()
    expected = [quorl.digest_from_json(line, "run") for line in data.splitlines()]
    assert list(rows["digest"]) == expected
    with pytest.raises(OSError, match="not a complete"):
        qd.digest_jsonl(str(cut), "run").compute()
