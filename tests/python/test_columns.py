"""quorl.digest_column and quorl.canonical_column on Arrow columns of every
type and shape, row by row against quorl on each document alone; malformed
arrays; the column's data kept alive while a call runs."""

import ctypes
import gc
import struct
import threading

import pytest

from column_docs import assert_rows, expected_row, make_documents

pa = pytest.importorskip("pyarrow")

import quorl  # noqa: E402

DOCS = make_documents(600)
# Views of 12 bytes or fewer are held inline, longer ones in data buffers.
SHORT = ["1", "[]", '{"a":1}', "[1,2,3,4,5]", "1.5", "", None, '"\\u00e9tat"', "  true  "]
TYPES = [pa.string(), pa.large_string(), pa.string_view(), pa.binary(), pa.large_binary()]


def rows(result, profile="run"):
    struct_array = pa.array(result)
    first = "canonical" if profile is None else "digest"
    assert struct_array.type.names == [first, "error"]
    return list(
        zip(struct_array.field(0).to_pylist(), struct_array.field(1).to_pylist(), strict=True)
    )


def run(column, profile="run", **kwargs):
    if profile is None:
        return rows(quorl.canonical_column(column, **kwargs), None)
    return rows(quorl.digest_column(column, profile, **kwargs))


def typed(docs, type_):
    if pa.types.is_string(type_) or pa.types.is_large_string(type_) or type_ == pa.string_view():
        return pa.array(docs, type=type_)
    return pa.array([d if d is None else d.encode() for d in docs], type=type_)


@pytest.mark.parametrize("type_", TYPES, ids=str)
@pytest.mark.parametrize(
    "shape",
    ["whole", "sliced", "chunked", "empty", "all_null", "short"],
)
@pytest.mark.parametrize("profile", ["run", "semantic-content", None])
def test_each_type_and_shape_row_by_row(type_, shape, profile):
    docs = SHORT if shape == "short" else DOCS
    column = typed(docs, type_)
    if shape == "sliced":  # offset into the buffers, offsets not starting at 0
        docs, column = docs[37:450], column.slice(37, 413)
    elif shape == "chunked":  # empty chunks, and a slice of a chunk
        column = pa.chunked_array(
            [column[:0], column[:100], column[100:101], column[0:0], column[101:].slice(5)],
            type=type_,
        )
        docs = docs[:101] + docs[106:]
    elif shape == "empty":
        docs, column = [], column[:0]
    elif shape == "all_null":
        docs, column = [None] * 5, pa.nulls(5, type=type_)
    assert_rows(run(column, profile), docs, profile)


@pytest.mark.parametrize("threads", [1, 2, 3, None])
def test_threads_give_rows_in_order(threads):
    docs = make_documents(12_000, seed=7)
    column = pa.chunked_array([pa.array(docs[:5000]), pa.array(docs[5000:])])
    assert_rows(run(column, threads=threads), docs, "run")


@pytest.mark.parametrize("profile", ["run", None])
def test_floats_as_strings(profile):
    # The float documents are refused by default and taken with floats="str".
    assert_rows(run(pa.array(DOCS), profile, floats="str"), DOCS, profile, floats="str")


def test_raw_digests_are_the_hex_ones_as_bytes():
    column = pa.array(DOCS)
    raw = pa.array(quorl.digest_column(column, "run", output="raw"))
    assert raw.type.field(0).type == pa.binary(32)
    expected = [expected_row(d, "run") for d in DOCS]
    assert raw.field(0).to_pylist() == [d and bytes.fromhex(d) for d, _ in expected]
    assert raw.field(1).to_pylist() == [e for _, e in expected]


@pytest.mark.parametrize(
    "column",
    [
        pa.table({"doc": DOCS[:50]}),  # a table of one column
        pa.record_batch({"doc": DOCS[:50]}),
        pa.array(DOCS[:50], type=pa.json_()),  # an extension type over string
    ],
    ids=["table", "record_batch", "json_extension"],
)
def test_one_column_containers(column):
    assert_rows(run(column), DOCS[:50], "run")


def test_nanoarrow_arrays():
    na = pytest.importorskip("nanoarrow")
    assert_rows(run(na.c_array(SHORT, na.string())), SHORT, "run")


def test_digest_table_adds_or_replaces_two_columns():
    from quorl.arrow import digest_table

    table = pa.table({"digest": [1, 2], "doc": ["[2,1]", "1.5"], "n": [3, 4]})
    for tabular in table, table.to_batches()[0]:
        out = digest_table(tabular, "run", output="raw")
        assert type(out) is type(tabular) and out.column_names == ["doc", "n", "digest", "error"]
        digests, errors = out["digest"].to_pylist(), out["error"].to_pylist()
        assert_rows(
            [(d and d.hex(), e) for d, e in zip(digests, errors, strict=True)],
            ["[2,1]", "1.5"],
            "run",
        )


def test_null_rows_of_a_struct_are_null_documents():
    inner = pa.array(["1", "2", "3"])
    mask = pa.array([False, True, False])
    wrapped = pa.StructArray.from_arrays([inner], names=["doc"], mask=mask)
    assert_rows(run(wrapped.slice(1)), [None, "3"], "run")


def test_result_counts_and_repeated_exports():
    result = quorl.digest_column(pa.array(DOCS), "run")
    expected = [expected_row(d, "run") for d in DOCS]
    assert len(result) == len(DOCS)
    assert result.refused == sum(e is not None for _, e in expected)
    first, second = pa.array(result), pa.array(result)
    del result
    gc.collect()
    assert first.equals(second) and first.field(0).to_pylist() == [d for d, _ in expected]


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", SCHEMA_RELEASE),
    ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ARRAY_RELEASE),
    ("private_data", ctypes.c_void_p),
]
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
RELEASED = []


@SCHEMA_RELEASE
def release_schema(schema):
    schema.contents.release = SCHEMA_RELEASE()


@ARRAY_RELEASE
def release_array(array):
    RELEASED.append(array.contents.length)
    array.contents.release = ARRAY_RELEASE()


class RawColumn:
    """An array made field by field, as a producer that lies might make it:
    nothing is checked. A struct of one child when `child` is given."""

    def __init__(self, fmt, length, buffers, offset=0, null_count=0, child=None):
        self.keep = []
        self.schema = ArrowSchema(format=fmt, release=release_schema)
        self.array = self.make_array(length, buffers, offset, null_count)
        if child is not None:
            self.schema.n_children = self.array.n_children = 1
            self.schema.children = self.kept(ctypes.POINTER(ArrowSchema) * 1)(
                ctypes.pointer(self.kept(ArrowSchema(format=child[0], release=release_schema)))
            )
            self.array.children = self.kept(ctypes.POINTER(ArrowArray) * 1)(
                ctypes.pointer(self.kept(self.make_array(*child[1:])))
            )

    def kept(self, value):
        self.keep.append(value)
        return value

    def make_array(self, length, buffers, offset=0, null_count=0):
        held = [
            None if b is None else self.kept(ctypes.create_string_buffer(b, len(b) or 1))
            for b in buffers
        ]
        pointers = (ctypes.c_void_p * max(1, len(buffers)))(
            *[None if b is None else ctypes.addressof(b) for b in held]
        )
        return ArrowArray(
            length=length,
            offset=offset,
            null_count=null_count,
            n_buffers=len(buffers),
            buffers=self.kept(pointers),
            release=release_array,
        )

    def __arrow_c_array__(self, requested_schema=None):
        return (
            capsule_new(ctypes.addressof(self.schema), b"arrow_schema", None),
            capsule_new(ctypes.addressof(self.array), b"arrow_array", None),
        )


def ints(fmt, *values):
    return struct.pack(f"<{len(values)}{fmt}", *values)


def view(length, buffer=0, offset=0):
    return struct.pack("<i4sii", length, b"abcd", buffer, offset)


DATA = b"[1,2,3,4,5,6,7,8,9,10]"  # 22 bytes
MALFORMED = [
    (b"u", 2, [None, ints("i", 0, 5, 3), DATA], "ascending"),
    (b"u", 1, [None, ints("i", -1, 3), DATA], "negative offset"),
    (b"U", 1, [None, ints("q", 0, 3), None], "missing data buffer"),
    (b"u", 1, [None, None, DATA], "missing offsets"),
    (b"u", 1, [None, ints("i", 0, 3)], "number of buffers"),
    (b"u", 2, [None, ints("i", 0, 1, 2), DATA], "nulls without", 0, 1),
    (b"u", -1, [None, ints("i", 0), DATA], "negative"),
    (b"vu", 1, [None, view(20, 1), DATA, ints("q", 22)], "buffer out of range"),
    (b"vu", 1, [None, view(20, 0, 5), DATA, ints("q", 22)], "beyond its buffer"),
    (b"vu", 1, [None, view(-3), ints("q")], "negative string view length"),
    (b"vu", 1, [None, view(20), DATA, None], "buffer sizes"),
]


@pytest.mark.parametrize(
    "fmt,length,buffers,message,offset,nulls", [m + (0, 0)[len(m) - 4 :] for m in MALFORMED]
)
def test_malformed_arrays_are_refused_before_any_read(fmt, length, buffers, message, offset, nulls):
    RELEASED.clear()
    column = RawColumn(fmt, length, buffers, offset=offset, null_count=nulls)
    with pytest.raises(ValueError, match="malformed Arrow array: .*" + message):
        quorl.digest_column(column, "run")
    assert RELEASED == [length]  # taken over, and released once


def test_raw_arrays_that_are_well_formed_are_read():
    data = b'xx{"b": 1, "a": [2, 3]}'
    views = view(21, 0, 2) + view(0) + struct.pack("<i12s", 3, b"[7]") + view(-1)
    good = RawColumn(b"vu", 4, [ints("B", 0b101), views, data, ints("q", len(data))], null_count=2)
    assert_rows(run(good), [data[2:].decode(), None, "[7]", None], "run")
    # A struct's offset applies to its child, whose own offset adds to it.
    wrapped = RawColumn(
        b"+s", 2, [None], offset=1, child=(b"u", 3, [None, ints("i", 0, 1, 3, 5, 7), b"1[][][]"], 1)
    )
    assert_rows(run(wrapped), ["[]", "[]"], "run")
    short_child = RawColumn(
        b"+s", 3, [None], offset=1, child=(b"u", 3, [None, ints("i", 0, 1, 2, 3), b"123"])
    )
    with pytest.raises(ValueError, match="malformed"):
        quorl.digest_column(short_child, "run")


@pytest.mark.parametrize(
    "column,error,message",
    [
        (pa.array([1, 2]), TypeError, "not int64"),
        (pa.array(["a"]).dictionary_encode(), TypeError, "dictionary"),
        (pa.table({"a": ["1"], "b": ["2"]}), TypeError, "struct of 2 fields"),
        (["{}"], TypeError, "must export Arrow data"),
    ],
)
def test_columns_of_other_kinds(column, error, message):
    with pytest.raises(error, match=message):
        quorl.digest_column(column, "run")


@pytest.mark.parametrize(
    "kwargs,error,message",
    [
        ({"profile": "nope"}, quorl.RefusedError, "unknown digest profile: nope"),
        ({"output": "base64"}, ValueError, "output must be"),
        ({"threads": 0}, ValueError, "at least 1"),
        ({"threads": -(10**30)}, ValueError, "at least 1"),
        ({"threads": True}, TypeError, "threads must be"),
        ({"floats": "round"}, ValueError, "floats must be"),
    ],
)
def test_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        quorl.digest_column(pa.array(["1"]), **{"profile": "run", **kwargs})


class FailingStream:
    def __arrow_c_stream__(self, requested_schema=None):
        def batches():
            yield pa.record_batch({"doc": ["1"]})
            raise RuntimeError("the source went away")

        schema = pa.schema({"doc": pa.string()})
        return pa.RecordBatchReader.from_batches(schema, batches()).__arrow_c_stream__()


def test_a_failing_stream_is_an_error_not_a_short_column():
    with pytest.raises(OSError, match="the source went away"):
        quorl.digest_column(FailingStream(), "run")


class OnlyExport:
    """A column whose data is owned by nothing but the capsules it exports."""

    def __init__(self, docs):
        self.docs = docs

    def __arrow_c_stream__(self, requested_schema=None):
        chunks = [pa.array(self.docs[i : i + 500]) for i in range(0, len(self.docs), 500)]
        return pa.chunked_array(chunks).__arrow_c_stream__()


def test_column_released_during_the_call_keeps_its_data():
    docs = make_documents(40_000, seed=3)
    started = threading.Event()
    got = []

    def call():
        started.set()
        got.append(run(OnlyExport(docs), threads=2))

    worker = threading.Thread(target=call)
    worker.start()
    started.wait()
    # The arrays are dropped as soon as they are exported; freed buffers
    # would be written over by these.
    churn = [pa.array(["z" * 200] * 2000) for _ in range(50)]
    gc.collect()
    worker.join()
    del churn
    assert_rows(got[0], docs, "run")
