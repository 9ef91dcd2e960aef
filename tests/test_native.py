"""The Native reader and writer on their own: hostile input, streams, errors."""

import importlib.util
import io
import random
import struct
import sys
import tracemalloc
import warnings
from importlib import resources

import pytest

from quelvoran import native

SAMPLE = resources.files("quelvoran").joinpath("data", "sample.native").read_bytes()


def leb128(n):
    out = bytearray()
    while True:
        out.append((n & 0x7F) | (0x80 if n >> 7 else 0))
        n >>= 7
        if not n:
            return bytes(out)


def text(s):
    return leb128(len(s)) + s.encode()


def block(rows, *columns):
    """A block of (name, type, data) columns, framed by hand."""
    return leb128(len(columns)) + leb128(rows) + b"".join(text(n) + text(t) + d for n, t, d in columns)


def u64(n):
    return struct.pack("<Q", n)


LC_HEAD = u64(1) + u64(0x600)


class Trickle:
    """A stream that gives at most `most` bytes per read, and has no read1."""

    def __init__(self, data, most=3):
        self.data, self.position, self.most, self.furthest = data, 0, most, 0

    def read(self, n):
        chunk = self.data[self.position:self.position + min(n, self.most)]
        self.position += len(chunk)
        self.furthest = max(self.furthest, self.position)
        return chunk


def test_sample_reads_the_same_from_bytes_and_trickling_streams():
    table = native.read(SAMPLE)
    assert table.num_rows == 5 and len(table.names) == 40
    for source in (bytearray(SAMPLE), memoryview(SAMPLE), io.BytesIO(SAMPLE), Trickle(SAMPLE)):
        assert native.read(source) == table
    assert native.read(native.write(table)) == table


@pytest.mark.parametrize("block_rows", [[1, 5000, 5000], [5000, 1, 1], [3, 0, 4], [70_000]])
def test_columns_of_many_blocks_are_whole_and_fitted(block_rows):
    """The rows a column is expected to reach are guessed from its first
    blocks; a wrong guess costs room, never rows."""
    blocks = [native.Table(["s", "n"], ["String", "Nullable(UInt8)"],
                           [[f"v{i % 7}" for i in range(rows)], [None if i % 3 else i % 256 for i in range(rows)]])
              for rows in block_rows]
    stream = b"".join(native.write(table) for table in blocks)
    want = [[value for table in blocks for value in table.columns[c]] for c in range(2)]
    for source in (stream, io.BytesIO(stream)):
        table = native.read(source)
        assert table.columns == want
        assert [sys.getsizeof(column) for column in table.columns] == [sys.getsizeof([None] * len(want[0]))] * 2


def test_iter_blocks_reads_incrementally():
    stream = Trickle(SAMPLE, most=1 << 20)
    blocks = native.iter_blocks(stream)
    first = next(blocks)
    size_of_first = len(native.write(first))
    assert stream.furthest < len(SAMPLE) or size_of_first >= len(SAMPLE) // 2
    second = next(blocks)
    assert first.num_rows + second.num_rows == 5 and next(blocks, None) is None


def test_every_truncation_is_a_native_error_but_at_the_block_boundary():
    boundaries = []
    for cut in range(1, len(SAMPLE)):
        try:
            table = native.read(SAMPLE[:cut])
        except native.NativeError as error:
            assert error.offset <= cut and f"byte {error.offset}" in str(error)
            assert error.__cause__ is not None and error.block in (0, 1)
        else:
            boundaries.append((cut, table.num_rows))
    assert [rows for _, rows in boundaries] == [3]


def test_mutated_samples_never_raise_anything_else():
    generator = random.Random(2024)
    for _ in range(3000):
        data = bytearray(SAMPLE)
        for _ in range(generator.randint(1, 4)):
            data[generator.randrange(len(data))] = generator.randrange(256)
        try:
            native.read(bytes(data))
        except (native.NativeError, NotImplementedError):
            pass


HUGE = 1 << 62
HOSTILE = {
    "column count": leb128(HUGE) + leb128(1),
    "row count": block(HUGE, ("a", "UInt64", u64(1))),
    "string length": block(1, ("a", "String", leb128(HUGE) + b"abc")),
    "name length": leb128(1) + leb128(1) + leb128(HUGE) + b"a",
    "overlong LEB128": leb128(1) + b"\xff" * 11,
    "array offset": block(1, ("a", "Array(UInt8)", u64(HUGE) + b"\x01")),
    "backwards offsets": block(2, ("a", "Array(UInt8)", u64(2) + u64(1) + b"\x01\x02")),
    "lc key count": block(1, ("a", "LowCardinality(String)", LC_HEAD + u64(HUGE) + b"\x00")),
    "lc row count": block(1, ("a", "LowCardinality(UInt8)", LC_HEAD + u64(1) + b"\x00" + u64(HUGE) + b"\x00")),
    "lc index past the keys": block(1, ("a", "LowCardinality(UInt8)", LC_HEAD + u64(1) + b"\x00" + u64(1) + b"\x05")),
    "lc flags": block(1, ("a", "LowCardinality(UInt8)", u64(1) + u64(0x100) + u64(1) + b"\x00" + u64(1) + b"\x00")),
    "lc version": block(1, ("a", "LowCardinality(UInt8)", u64(2) + u64(0x600) + u64(1) + b"\x00" + u64(1) + b"\x00")),
    "lc zero-row part": block(1, ("a", "LowCardinality(UInt8)", LC_HEAD + u64(1) + b"\x00" + u64(0))),
    "enum number": block(1, ("a", "Enum8('a' = 1)", b"\x07")),
    "deep type": block(1, ("a", "Array(" * 200 + "UInt8" + ")" * 200, b"")),
    "malformed type": block(1, ("a", "Array(UInt8", b"")),
    "fixed string size": block(1, ("a", "FixedString(99999999999)", b"")),
    "zone": block(1, ("a", "DateTime('No/Such_Zone')", u64(0)[:4])),
    "decimal precision": block(1, ("a", "Decimal(99, 2)", u64(0))),
    "blocks disagree": block(1, ("a", "UInt8", b"\x01")) + block(1, ("a", "Int8", b"\x01")),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_input_is_refused_in_bounded_memory(name):
    tracemalloc.start()
    try:
        with pytest.raises(native.NativeError) as caught:
            native.read(HOSTILE[name])
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 8 << 20
    assert "byte" in str(caught.value) and "block" in str(caught.value)


def test_source_failures_are_not_decoding_errors():
    class Failing:
        def read(self, n):
            raise ConnectionResetError("peer went away")

    with pytest.raises(ConnectionResetError):
        native.read(Failing())


@pytest.mark.parametrize(
    "type_string, values, error, message",
    [
        ("UInt8", [1, 2, 256], OverflowError, "row 2: 256 is out of range for UInt8"),
        ("String", ["a", "b", None], TypeError, "row 2"),
        ("Nullable(Int8)", [None, 1, "x"], TypeError, "row 2: Int8 value must be an integer, not str"),
        ("Decimal(9, 2)", [1, 2, 1.005], ValueError, "row 2: 1.005 has more than 2 digits"),
        ("Bool", [True, False, "yes"], TypeError, "row 2"),
        ("LowCardinality(String)", ["a", "b", 3], TypeError, "row 2"),
        ("Array(Array(UInt8))", [[[1]], [], [[1, -1]]], OverflowError, "row 2"),
        ("Tuple(UInt8, String)", [(1, "a"), (2, "b"), (3,)], ValueError, "row 2"),
        ("Map(String, UInt8)", [{}, {"a": 1}, {"b": 300}], OverflowError, "row 2"),
        ("Enum8('a' = 1)", ["a", "a", "b"], ValueError, "row 2: 'b' is not a member of Enum8"),
        ("Nothing", [None, None, 0], TypeError, "row 2"),
    ],
)
def test_values_that_do_not_fit_are_refused_before_anything_is_written(type_string, values, error, message):
    stream = io.BytesIO()
    table = native.Table(["ok", "c"], ["UInt8", type_string], [[0, 0, 0], values])
    with pytest.raises(error, match=rf"column 'c' \(.*\), {message}".replace("(", r"\(").replace(")", r"\)")
                       .replace(r"\(.*\)", r"\(.*\)").replace(r"\\(.*\\)", "(.*)")):
        native.write(table, stream, block_rows=2)
    assert stream.getvalue() == b""


@pytest.mark.parametrize("type_string", ["Float16", "LowCardinality(UUID)", "Nullable(Array(UInt8))", "Tuple()", "JSON"])
def test_unsupported_types_raise_not_implemented(type_string):
    with pytest.raises(NotImplementedError, match=r"column 'c'"):
        native.write(native.Table(["c"], [type_string], [[]]))
    with pytest.raises(NotImplementedError, match=r"block 0, column 'c'"):
        native.read(block(0, ("c", type_string, b"")))


def test_bytes_that_are_not_utf8_round_trip():
    data = block(2, ("s", "String", text("ok") + b"\x02\xff\xfe"), ("f", "FixedString(2)", b"\xc3\x00\x80\x81"),
                 (b"\xf9".decode("latin-1"), "UInt8", b"\x01\x02"))
    data = data.replace(text("\xf9"), b"\x01\xf9")
    table = native.read(data)
    assert table.column("s") == ["ok", "\udcff\udcfe"] and table.names[2] == "\udcf9"
    assert native.write(table) == data
    if importlib.util.find_spec("pandas"):
        assert list(native.read(data).to_pandas().columns) == list(native.read_dataframe(data).columns) == table.names


pandas = pytest.importorskip("pandas")


@pytest.mark.parametrize(
    "type_string, values, dtype",
    [
        ("Nullable(String)", ["a", None], "string"),
        ("Nullable(Float64)", [1.5, None], "float64"),
        ("Nullable(Bool)", [True, None], "boolean"),
        ("Bool", [True, False], "bool"),
        ("Nullable(Int64)", [1, None], "Int64"),
        ("UInt64", [1, 2], "int64"),
        ("Nullable(Date)", [__import__("datetime").date(2020, 1, 2), None], "datetime64[ns]"),
        ("DateTime", [__import__("datetime").datetime(2020, 1, 2, 3), None], "datetime64[ns, UTC]"),
        ("Nullable(Nothing)", [None, None], "float64"),
        ("Array(UInt8)", [[1], []], "object"),
    ],
)
def test_to_pandas_dtypes_and_missing_values(type_string, values, dtype):
    frame = native.Table(["c"], [type_string], [values]).to_pandas()
    assert str(frame["c"].dtype) == dtype
    assert frame["c"].isna().tolist() == [value is None for value in values] or type_string.endswith("Nothing)")


def test_read_dataframe_gives_the_frame_of_to_pandas():
    pandas = pytest.importorskip("pandas")
    day, moment = __import__("datetime").date(2149, 6, 6), __import__("datetime").datetime(2106, 2, 7, 6, 28, 15)
    columns = {
        "Int8": [-128, 127, 0], "UInt32": [0, 2**32 - 1, 5], "Int64": [-(2**63), 2**63 - 1, 0],
        "UInt64": [0, 2**63 - 1, 1], "Float32": [1.5, -0.0, float("inf")], "Float64": [float("nan"), 1e308, -2.5],
        "Date": [day, day, day], "DateTime": [moment, moment, moment], "String": ["a", "", "é"],
        "Nullable(Int16)": [None, -5, 7], "Nullable(UInt64)": [None, 2**64 - 1, 1], "Nullable(Float32)": [None, 0.5, 1.0],
        "Nullable(Date)": [day, None, day], "Nullable(DateTime)": [None, None, moment], "Nullable(UInt8)": [None] * 3,
        "LowCardinality(String)": ["x", "y", "x"], "Array(UInt8)": [[1], [], [2, 3]],
    }
    table = native.Table(list(columns), list(columns), list(columns.values()))
    for stream in (native.write(table), native.write(table, block_rows=2), native.write(native.Table(
            table.names, table.types, [[] for _ in columns]))):
        pandas.testing.assert_frame_equal(native.read_dataframe(stream), native.read(stream).to_pandas())
    assert native.read_dataframe(b"").shape == (0, 0)
    signalling_nan = block(2, ("x", "Float32", struct.pack("<2I", 0x7FA00000, 0)))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        pandas.testing.assert_frame_equal(native.read_dataframe(signalling_nan), native.read(signalling_nan).to_pandas())


@pytest.mark.parametrize("type_string, values", [
    ("Int64", [1, -(2**63), 2**63 - 1]), ("UInt64", [2**63, 1]), ("Int64", [True, 1]), ("Int32", [None, 5, None]),
    ("Nullable(Int8)", [None, None]), ("Float64", [0.5, 1, float("nan"), -0.0]), ("Float64", [None, 1.5]),
    ("Float32", [0.1, 10**300]), ("String", ["a", "", "\udcff"]), ("String", [b"x", "y"]), ("String", [None, "z"]),
    ("DateTime", [__import__("datetime").datetime(2020, 1, 2, 3, 4, 5, 678901), None]),
    ("DateTime", [__import__("datetime").datetime(2020, 1, 2, tzinfo=__import__("datetime").timezone.utc)]),
    ("Date", [__import__("datetime").date(2020, 1, 2), __import__("datetime").date(1, 1, 1)]),
    ("Date32", [__import__("datetime").date(2262, 4, 11), None]), ("UInt8", []),
    # Strings of many distinct objects go through their UTF-8 buffers.
    ("Nullable(String)", [f"é{i}" for i in range(1100)] + [None, "𝄞", "", "\x7f\x80\u07ff\u0800\uffff"]),
    ("String", [str(i) for i in range(1100)] + ["\udcff"]), ("String", [str(i) for i in range(1100)] + [b"x"]),
])
def test_to_pandas_from_arrays_gives_the_general_frame(monkeypatch, type_string, values):
    pandas = pytest.importorskip("pandas")
    table = native.Table(["c"], [type_string], [values])
    frame = table.to_pandas()
    monkeypatch.setattr(native, "_array_series", lambda *arguments: None)
    pandas.testing.assert_frame_equal(frame, table.to_pandas())
