"""quelvoran's codecs side by side with baselines and the peer clients.

Run: pip install '.[bench]' && python benchmarks/run.py [--rows N] [--rounds R]

Every case is timed in this one process on the same bytes (or the same
values), each decoder's result checked equal to the expected values first,
and each time is the minimum of R rounds, taken in alternation so that all
decoders see the same load of a shared machine. The table gives ns per row,
the ratio to the floor of the case, and the ratio to each peer (this time /
the peer's time: below 1 is faster than the peer).

Cases:
  R1-R3  LowCardinality read() of N rows, 1,000 keys, 2-byte indexes, from
         io.BytesIO: String, Nullable(String) with 10% NULL, UInt32; and skip().
  W1     write() per row then clear(): N str values in random order, 1,000 and
         10,000 distinct; W2 the same with 100,000 distinct ints (UInt32). The
         element codec is the package's compiled one (fast_elements), and the
         reference codec (elements) has a row of its own.
  W3     a whole LowCardinality(String) column of N rows, 1,000 distinct
         values, through the Native writer, against the peers' encoders of the
         same values (each encoding checked to read back as those values).
  N1     a Native stream of N rows (UInt64, Float64, String, DateTime,
         LowCardinality(String), Nullable(Int32)) made by the engine (chdb)
         when it is installed, else by quelvoran.native.write: read to lists,
         and to a pandas DataFrame (read_dataframe(), read().to_pandas()).
  M1     peak memory (tracemalloc) of reading N1 to lists, against the size
         of the result, and of iter_blocks against its largest block.
  L1     read_length of N varints through the compiled caller.
  P1     from_dtype of 20 typical type strings through the compiled caller.

Baselines in the same run: the floor `list(t)` of a prebuilt tuple of the
result (reads); plain Python (array/struct bulk decoding, a dict-based
encoder); the empty Python method call per row (the floor of any per-row API,
for writes); and the per-row paths of LowCardinality, reached through the
private switch `_set_fast_paths(False)`. Peers whose package is missing are
left out of the table.
"""

from __future__ import annotations

import argparse
import array
import io
import platform
import random
import struct
import sys
import time
from datetime import datetime, timedelta
from typing import Any, Callable

from quelvoran._testcapi import length as length_caller
from quelvoran._testcapi import parse as parse_caller
from quelvoran.common.dtypes.elements import make_codec
from quelvoran.common.dtypes.fast_elements import make_codec as fast_make_codec
from quelvoran.common.dtypes.objects import lowcardinality as lowcardinality_module
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

PEERS = ("clickhouse-driver", "clickhouse-connect", "clickhouse-connect rust")
INDEX_TYPECODES = {1: "B", 2: "H", 4: "I", 8: "Q"}


# ---------------------------------------------------------------------------
# Timing


def minimum_times(functions: dict[str, Callable[[], Any]], rounds: int) -> dict[str, float]:
    """Best seconds of each function over `rounds` rounds, run in alternation."""
    best = dict.fromkeys(functions, float("inf"))
    for _ in range(rounds):
        for name, function in functions.items():
            start = time.perf_counter()
            function()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def literal_paths(function: Callable[[], Any]) -> Callable[[], Any]:
    """`function` run with the per-row paths of LowCardinality."""
    def run() -> Any:
        previous = lowcardinality_module._set_fast_paths(False)
        try:
            return function()
        finally:
            lowcardinality_module._set_fast_paths(previous)
    return run


class Table:
    def __init__(self) -> None:
        self.lines: list[str] = []

    def case(self, title: str, rows: int, times: dict[str, float], floor: str, per: dict[str, int] | None = None) -> None:
        """A markdown table: each entry's ns/row, its ratio to the floor and to each peer present."""
        counts = {name: (per or {}).get(name, rows) for name in times}
        ns = {name: times[name] / counts[name] * 1e9 for name in times}
        peers = [peer for peer in PEERS if peer in times]
        lines = [f"\n{title}\n", "| | ns/row | × floor |" + "".join(f" × {peer} |" for peer in peers),
                 "|---|---:|---:|" + "---:|" * len(peers)]
        for name in times:
            cells = [f"{ns[name]:.1f}", f"{ns[name] / ns[floor]:.2f}"] + [f"{ns[name] / ns[peer]:.2f}" for peer in peers]
            lines.append(f"| {name} | " + " | ".join(cells) + " |")
        self.lines += lines
        print("\n".join(lines), flush=True)


# ---------------------------------------------------------------------------
# Peers, each decoding the same bytes the way its own Native reader does


def leb128(value: int) -> bytes:
    out = bytearray()
    while True:
        byte, value = value & 0x7F, value >> 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def native_block(columns: list[tuple[str, str, bytes]], rows: int) -> bytes:
    """A one-block Native stream of the given (name, type, column data)."""
    parts = [leb128(len(columns)), leb128(rows)]
    for name, type_string, data in columns:
        parts += [leb128(len(name)), name.encode(), leb128(len(type_string)), type_string.encode(), data]
    return b"".join(parts)


def driver_column_reader(type_string: str) -> Callable[[bytes, int], Any] | None:
    """clickhouse-driver's column reader over its own buffered reader."""
    try:
        from clickhouse_driver.bufferedreader import CompressedBufferedReader
        from clickhouse_driver.columns.service import get_column_by_spec
        from clickhouse_driver.context import Context
    except ImportError:
        return None
    context = Context()
    context.settings = {}
    context.client_settings = {"strings_as_bytes": False, "strings_encoding": "utf-8", "use_numpy": False}

    def read(data: bytes, rows: int) -> Any:
        chunks = iter([data])
        buffer = CompressedBufferedReader(lambda: next(chunks), 1 << 20)
        column = get_column_by_spec(type_string, {"context": context})
        column.read_state_prefix(buffer)
        return column.read_data(rows, buffer)
    return read


def connect_column_reader(type_string: str) -> Callable[[bytes, int], Any] | None:
    """clickhouse-connect's column reader over its default (Cython) buffer."""
    try:
        from clickhouse_connect.datatypes.registry import get_from_name
        from clickhouse_connect.driver import ctypes as connect_ctypes
        from clickhouse_connect.driver.query import QueryContext
    except ImportError:
        return None
    connect_ctypes.connect_c_modules()
    column_type = get_from_name(type_string)
    context = QueryContext()

    class Source:
        def __init__(self, data: bytes) -> None:
            self.gen = iter([data])

        def close(self) -> None:
            pass

    def read(data: bytes, rows: int) -> Any:
        buffer = connect_ctypes.RespBuffCls(Source(data))
        state = column_type.read_column_prefix(buffer, context)
        return column_type.read_column_data(buffer, rows, context, state)
    return read


def connect_stream_reader(use_numpy: bool = False) -> Callable[[bytes], Any] | None:
    """clickhouse-connect's default Native reader (Cython buffer): a whole
    stream to Python columns, or with `use_numpy` to a DataFrame."""
    try:
        from clickhouse_connect.driver import ctypes as connect_ctypes
        from clickhouse_connect.driver.query import QueryContext
        from clickhouse_connect.driver.transform import NativeTransform
    except ImportError:
        return None
    connect_ctypes.connect_c_modules()

    class Source:
        def __init__(self, data: bytes) -> None:
            self.gen = iter([data])

        def close(self) -> None:
            pass

    def read(stream: bytes) -> Any:
        result = NativeTransform().parse_response(connect_ctypes.RespBuffCls(Source(stream)),
                                                  QueryContext(use_numpy=use_numpy))
        return result.df_result if use_numpy else result.result_columns
    return read


def rust_stream_reader() -> Callable[[bytes], list[Any]] | None:
    """clickhouse-connect's Rust core (`native_codec='rust'`): a whole Native stream to Python columns."""
    try:
        import _ch_core
    except ImportError:
        return None

    def read(stream: bytes) -> list[Any]:
        decoder = _ch_core.StreamDecoder(has_block_info=False)
        blocks = list(decoder.feed(stream)) + list(decoder.finish())
        columns = [list(column) for column in blocks[0].to_python_columns()]
        for block in blocks[1:]:
            for column, more in zip(columns, block.to_python_columns()):
                column.extend(more)
        return columns
    return read


# ---------------------------------------------------------------------------
# R1-R3: reading LowCardinality blocks


def encode_block(values: list[Any], element: str, nullable: bool) -> bytes:
    column = LowCardinality(None, make_codec(element, None), nullable)
    for value in values:
        column.write(value)
    return column.clear()


def engine_like_block(values: list[Any], element: str, nullable: bool) -> bytes:
    """A block as the engine writes one: the default value first (after the
    NULL entry of a Nullable column), the other keys in order of first
    appearance, and indexes as wide as the dictionary needs."""
    default = "" if element == "String" else 0
    keys = [default] * (2 if nullable else 1)
    positions = {default: len(keys) - 1}
    indexes = []
    for value in values:
        if value is None:
            indexes.append(0)
            continue
        if value not in positions:
            positions[value] = len(keys)
            keys.append(value)
        indexes.append(positions[value])
    codec = make_codec(element, None)
    for key in keys:
        codec.write(key)
    width = 1 if len(keys) <= 256 else 2 if len(keys) <= 65536 else 4
    head = bytes([1, 0, 0, 0, 0, 0, 0, 0, width.bit_length() - 1, 6, 0, 0, 0, 0, 0, 0])
    return b"".join((head, struct.pack("<Q", len(keys)), codec.clear(), struct.pack("<Q", len(values)),
                     array.array(INDEX_TYPECODES[width], indexes).tobytes()))


def read_cases(table: Table, rows: int, rounds: int) -> None:
    random.seed(9)
    strings = [f"city {i:04d} of the lowcardinality dictionary" for i in range(1000)]
    cases = [
        ("R1 LowCardinality(String)", "String", False, [random.choice(strings) for _ in range(rows)]),
        ("R2 LowCardinality(Nullable(String)), 10% NULL", "String", True,
         [None if random.random() < 0.1 else random.choice(strings[:999]) for _ in range(rows)]),
        ("R3 LowCardinality(UInt32)", "UInt32", False, [random.randrange(1000) * 7919 for _ in range(rows)]),
    ]
    rust = rust_stream_reader()
    for title, element, nullable, values in cases:
        data = engine_like_block(values, element, nullable)
        type_string = f"LowCardinality({'Nullable(' + element + ')' if nullable else element})"
        assert data[8] == 1, "1,000 keys and 2-byte indexes"

        def ours() -> list[Any]:
            stream = io.BytesIO(data)
            return LowCardinality(stream, make_codec(element, stream), nullable).read()

        def skip() -> int:
            stream = io.BytesIO(data)
            LowCardinality(stream, make_codec(element, stream), nullable).skip()
            return stream.tell()

        def plain_python() -> list[Any]:
            stream = io.BytesIO(data)
            width = 1 << stream.read(16)[8]
            codec = make_codec(element, stream)
            codec.total_rows = struct.unpack("<Q", stream.read(8))[0]
            dictionary = codec.read()
            if nullable:
                dictionary[0] = None
            count = struct.unpack("<Q", stream.read(8))[0]
            indexes = array.array(INDEX_TYPECODES[width], stream.read(count * width))
            return [dictionary[i] for i in indexes]

        prebuilt = tuple(values)
        functions: dict[str, Callable[[], Any]] = {
            "floor: list(t) of the result tuple": lambda: list(prebuilt),
            "quelvoran LowCardinality.read": ours,
            "quelvoran read, per-row path": literal_paths(ours),
            "quelvoran LowCardinality.skip": skip,
            "plain Python: array + list comprehension": plain_python,
        }
        for name, reader in (("clickhouse-driver", driver_column_reader(type_string)),
                             ("clickhouse-connect", connect_column_reader(type_string))):
            if reader is not None:
                functions[name] = (lambda reader=reader: reader(data, rows))
        if rust is not None:
            stream = native_block([("c", type_string, data)], rows)
            functions["clickhouse-connect rust"] = lambda: rust(stream)[0]
        for name, function in functions.items():
            if name == "quelvoran LowCardinality.skip":
                assert function() == len(data), name
            else:
                assert list(function()) == values, name
        table.case(f"{title}: read() of {rows:,} rows, 1,000 keys", rows, minimum_times(functions, rounds),
                   "floor: list(t) of the result tuple")


# ---------------------------------------------------------------------------
# W1-W2: writing


class Method:
    def call(self, value: Any) -> None:
        pass


class NoOpCodec:
    """An element codec that encodes nothing and runs no Python code: it
    leaves LowCardinality's own cost, without the element codec's per
    distinct value."""

    __slots__ = ("is_nullable", "total_rows")
    length = None

    def __init__(self, name: str) -> None:
        pass


def no_op_codec(element: str) -> Any:
    size = staticmethod(len if element == "String" else int.bit_length)
    return type("NoOp" + element, (NoOpCodec,), {"__slots__": (), "name": element, "write": size,
                                                 "clear": staticmethod(bytes)})(element)


def write_cases(table: Table, rows: int, rounds: int) -> None:
    random.seed(11)
    literal_rows = min(rows, 10_000)
    for title, element, distinct in (("W1 str", "String", 1000), ("W1 str", "String", 10_000),
                                     ("W2 int", "UInt32", 100_000)):
        if element == "String":
            keys: list[Any] = [f"value {i:06d}" for i in range(distinct)]
        else:
            keys = [i * 7919 for i in range(distinct)]
        values = [random.choice(keys) for _ in range(rows)]
        expected = encode_block(values, element, False)

        def ours(values: list[Any] = values, make: Callable[..., Any] = fast_make_codec) -> bytes:
            column = LowCardinality(None, make(element, None), False)
            write = column.write
            for value in values:
                write(value)
            return column.clear()

        def ours_attribute(values: list[Any] = values) -> bytes:
            column = LowCardinality(None, fast_make_codec(element, None), False)
            for value in values:
                column.write(value)
            return column.clear()

        def ours_no_op_codec() -> bytes:
            column = LowCardinality(None, no_op_codec(element), False)
            write = column.write
            for value in values:
                write(value)
            return column.clear()

        method = Method()

        def empty_method_call() -> None:
            call = method.call
            for value in values:
                call(value)

        known = {key: position for position, key in enumerate(keys)}

        def dict_lookup() -> None:
            get = known.get
            for value in values:
                get(value)

        default = "" if element == "String" else 0

        def dict_encoder() -> bytes:
            positions = {default: 0}
            rows_positions = [positions.setdefault(value, len(positions)) for value in values]
            entries = list(positions)
            sorted_at = [0] * len(entries)
            for rank, position in enumerate(sorted(range(len(entries)), key=entries.__getitem__)):
                sorted_at[position] = rank
            width = 1 if len(values) < 256 else 2 if len(values) < 65536 else 4
            codec = make_codec(element, None)
            for entry in sorted(entries):
                codec.write(entry)
            head = bytes([1, 0, 0, 0, 0, 0, 0, 0, width.bit_length() - 1, 6, 0, 0, 0, 0, 0, 0])
            indexes = array.array(INDEX_TYPECODES[width], [sorted_at[p] for p in rows_positions])
            return b"".join((head, struct.pack("<Q", len(entries)), codec.clear(), struct.pack("<Q", len(values)),
                             indexes.tobytes()))

        prefix = values[:literal_rows]
        functions: dict[str, Callable[[], Any]] = {
            "floor: empty Python method call per row": empty_method_call,
            "quelvoran write() per row, then clear()": ours,
            "the same, looking up column.write per row": ours_attribute,
            "the same, with the reference element codec": lambda: ours(make=make_codec),
            "the same, with an element codec that does nothing": ours_no_op_codec,
            f"quelvoran per-row path ({literal_rows:,} rows)": literal_paths(lambda: ours(prefix)),
            "plain Python: dict-based encoder": dict_encoder,
            "plain Python: only a dict lookup per row": dict_lookup,
        }
        assert ours() == ours_attribute() == ours(make=make_codec) == dict_encoder() == expected
        assert ours_no_op_codec()[-rows:] == expected[-rows:]
        assert literal_paths(lambda: ours(prefix))() == encode_block(prefix, element, False)
        per = {f"quelvoran per-row path ({literal_rows:,} rows)": literal_rows}
        table.case(f"{title}: write() of {rows:,} rows then clear(), {distinct:,} distinct values", rows,
                   minimum_times(functions, rounds), "floor: empty Python method call per row", per)


# ---------------------------------------------------------------------------
# N1: whole Native streams


N1_TYPES = ["UInt64", "Float64", "String", "DateTime", "LowCardinality(String)", "Nullable(Int32)"]


def engine_stream(rows: int) -> tuple[bytes, str]:
    query = (
        "SELECT number::UInt64 AS u, number / 3 AS f, concat('name ', toString(number % 5000)) AS s,"
        " toDateTime('2024-01-01 00:00:00', 'UTC') + number AS d,"
        " toLowCardinality(concat('city ', toString(number % 1000))) AS lc,"
        f" if(number % 10 = 0, NULL, toInt32(number) - 500000) AS n FROM numbers({rows})"
    )
    try:
        import chdb
    except ImportError:
        chdb = None
    if chdb is not None:
        return bytes(chdb.query(query, "Native").bytes()), "made by the engine (chdb)"
    from quelvoran import native
    start = datetime(2024, 1, 1)
    columns = [
        list(range(rows)), [i / 3 for i in range(rows)], [f"name {i % 5000}" for i in range(rows)],
        [start + timedelta(seconds=i) for i in range(rows)], [f"city {i % 1000}" for i in range(rows)],
        [None if i % 10 == 0 else i - 500000 for i in range(rows)],
    ]
    return native.write(native.Table(list("ufsdln"), N1_TYPES, columns), block_rows=65409), \
        "made by quelvoran.native.write (chdb not installed)"


def native_cases(table: Table, rows: int, rounds: int) -> None:
    try:
        from quelvoran import native
    except ImportError:
        return
    stream, origin = engine_stream(rows)
    result = native.read(stream)
    assert result.num_rows == rows
    expected = result.columns
    functions: dict[str, Callable[[], Any]] = {
        "floor: list(t) of each result column": (lambda prebuilt=[tuple(c) for c in expected]:
                                                 [list(t) for t in prebuilt]),
        "quelvoran native.read, to lists": lambda: native.read(stream).columns,
        "quelvoran native.read, per-row LowCardinality": literal_paths(lambda: native.read(stream).columns),
    }
    for name, reader in (("clickhouse-connect", connect_stream_reader()),
                         ("clickhouse-connect rust", rust_stream_reader())):
        if reader is not None:
            functions[name] = (lambda reader=reader: reader(stream))

    def normalised(columns: list[Any]) -> list[list[Any]]:
        return [[value.replace(tzinfo=None) if isinstance(value, datetime) and value.tzinfo else value
                 for value in column] for column in columns]

    for name, function in functions.items():
        assert normalised(function()) == normalised(expected), name
    table.case(f"N1 Native stream of {rows:,} rows, {', '.join(N1_TYPES)}, {origin}: to lists", rows,
               minimum_times(functions, rounds), "floor: list(t) of each result column")
    try:
        import pandas
    except ImportError:
        return
    frames: dict[str, Callable[[], Any]] = {"quelvoran native.read_dataframe()": lambda: native.read_dataframe(stream),
                                            "quelvoran native.read().to_pandas()": lambda: native.read(stream).to_pandas()}
    connect_frame = connect_stream_reader(use_numpy=True)
    if connect_frame is not None:
        frames["clickhouse-connect"] = lambda: connect_frame(stream)
    shapes = {name: function().shape for name, function in frames.items()}
    assert len(set(shapes.values())) == 1, shapes
    pandas.testing.assert_frame_equal(frames["quelvoran native.read_dataframe()"](), native.read(stream).to_pandas())
    table.case(f"N1 to a pandas DataFrame, {rows:,} rows (the peer: its numpy DataFrame path)", rows,
               minimum_times(frames, rounds), "quelvoran native.read_dataframe()")


# ---------------------------------------------------------------------------
# W3: a whole LowCardinality column through the Native writer


def column_writers(type_string: str) -> dict[str, Callable[[list[Any]], bytes]]:
    """The peers' encoders of one column, each giving a one-block Native stream."""
    writers: dict[str, Callable[[list[Any]], bytes]] = {}
    try:
        from clickhouse_driver.bufferedwriter import BufferedSocketWriter
        from clickhouse_driver.columns.service import get_column_by_spec
        from clickhouse_driver.context import Context
    except ImportError:
        pass
    else:
        context = Context()
        context.settings = {}
        context.client_settings = {"strings_as_bytes": False, "strings_encoding": "utf-8", "use_numpy": False,
                                   "input_format_null_as_default": False}

        class Socket:
            def __init__(self) -> None:
                self.parts: list[bytes] = []

            def sendall(self, data: Any) -> None:
                self.parts.append(bytes(data))

        def driver(values: list[Any]) -> bytes:
            socket = Socket()
            buffer = BufferedSocketWriter(socket, 1 << 20)
            column = get_column_by_spec(type_string, {"context": context})
            column.write_state_prefix(buffer)
            column.write_data(values, buffer)
            buffer.flush()
            return native_block([("x", type_string, b"".join(socket.parts))], len(values))
        writers["clickhouse-driver"] = driver
    try:
        from clickhouse_connect.datatypes.registry import get_from_name
        from clickhouse_connect.driver import ctypes as connect_ctypes
        from clickhouse_connect.driver.insert import InsertContext
    except ImportError:
        pass
    else:
        connect_ctypes.connect_c_modules()
        column_type = get_from_name(type_string)

        def connect(values: list[Any]) -> bytes:
            dest = bytearray()
            column_type.write_column(values, dest, InsertContext("t", ["x"], [column_type]))
            return native_block([("x", type_string, bytes(dest))], len(values))
        writers["clickhouse-connect"] = connect
    try:
        import _ch_core
    except ImportError:
        pass
    else:
        writers["clickhouse-connect rust"] = lambda values: bytes(
            _ch_core.encode_native_block(["x"], [type_string], [values], len(values), None))
    return writers


def column_writer_case(table: Table, rows: int, rounds: int) -> None:
    from quelvoran import native
    random.seed(17)
    type_string = "LowCardinality(String)"
    keys = [f"value {i:06d}" for i in range(1000)]
    values = [random.choice(keys) for _ in range(rows)]
    prebuilt = tuple(values)
    functions: dict[str, Callable[[], Any]] = {
        "floor: list(t) of the values": lambda: list(prebuilt),
        "quelvoran native.write, one block": lambda: native.write(native.Table(["x"], [type_string], [values]),
                                                                 block_rows=rows),
    }
    for name, writer in column_writers(type_string).items():
        functions[name] = lambda writer=writer: writer(values)
    for name, function in functions.items():
        if not name.startswith("floor"):
            assert native.read(function()).columns == [values], name
    table.case(f"W3 a {type_string} column of {rows:,} rows, 1,000 distinct values, encoded as a Native block",
               rows, minimum_times(functions, rounds), "floor: list(t) of the values")


# ---------------------------------------------------------------------------
# M1: memory


def result_size(columns: list[list[Any]]) -> int:
    """Bytes of the result's lists and of the distinct objects they hold."""
    seen: set[int] = set()
    size = 0
    for column in columns:
        size += sys.getsizeof(column)
        for value in column:
            if id(value) not in seen:
                seen.add(id(value))
                size += sys.getsizeof(value)
    return size


def memory_case(rows: int) -> None:
    import tracemalloc

    from quelvoran import native
    stream, _ = engine_stream(rows)
    tracemalloc.start()
    result = native.read(stream)
    _, read_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    size = result_size(result.columns)
    del result
    tracemalloc.start()
    block_peak = largest_block = 0
    for block in native.iter_blocks(stream):
        largest_block = max(largest_block, result_size(block.columns))
        block_peak = max(block_peak, tracemalloc.get_traced_memory()[0])
        del block
    _, blocks_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    lines = [f"\nM1 peak memory (tracemalloc) reading the N1 stream of {rows:,} rows ({len(stream) / 2**20:.1f} MiB)\n",
             "| | MiB | × result |", "|---|---:|---:|",
             f"| size of the result of native.read (lists and distinct objects) | {size / 2**20:.1f} | 1.00 |",
             f"| peak of native.read | {read_peak / 2**20:.1f} | {read_peak / size:.2f} |",
             f"| largest block of iter_blocks | {largest_block / 2**20:.1f} | {largest_block / size:.2f} |",
             f"| peak of iter_blocks, one block held at a time | {blocks_peak / 2**20:.1f} | {blocks_peak / size:.2f} |"]
    print("\n".join(lines), flush=True)


# ---------------------------------------------------------------------------
# L1 and P1


def length_case(table: Table, rows: int, rounds: int) -> None:
    random.seed(13)
    values = [random.choice((5, 300, 70_000, 2**40)) for _ in range(rows)]
    data = b"".join(leb128(value) for value in values)
    read_length = length_caller.read_length

    def compiled() -> list[int]:
        stream = io.BytesIO(data)
        return [read_length(stream) for _ in range(rows)]

    def plain_python() -> list[int]:
        out, value, shift = [], 0, 0
        for byte in data:
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                out.append(value)
                value, shift = 0, 0
        return out

    prebuilt = tuple(values)
    functions = {"floor: list(t) of the result tuple": lambda: list(prebuilt),
                 "quelvoran read_length (compiled caller)": compiled,
                 "plain Python: one loop over the bytes": plain_python}
    for name, function in functions.items():
        assert function() == values, name
    table.case(f"L1 read_length of {rows:,} varints", rows, minimum_times(functions, rounds),
               "floor: list(t) of the result tuple")


TYPE_STRINGS = [
    "UInt8", "UInt64", "Int32", "Float64", "String", "Date", "DateTime", "Bool", "UUID",
    "FixedString(16)", "Nullable(String)", "LowCardinality(String)", "LowCardinality(Nullable(String))",
    "Array(UInt8)", "Array(Nullable(String))", "Decimal(38, 4)", "DateTime64(3, 'UTC')", "DateTime('Europe/Paris')",
    "Enum8('a' = 1, 'b' = 2)", "Map(String, UInt64)",
]


def parse_case(table: Table, rounds: int) -> None:
    from_dtype = parse_caller.from_dtype
    expected = [from_dtype(text) for text in TYPE_STRINGS]
    cache = dict(zip(TYPE_STRINGS, expected))
    repeat = 500
    functions = {"floor: dict lookup of the descriptor": lambda: [[cache[t] for t in TYPE_STRINGS] for _ in range(repeat)],
                 "quelvoran from_dtype (compiled caller)": lambda: [[from_dtype(t) for t in TYPE_STRINGS]
                                                                    for _ in range(repeat)]}
    assert functions["quelvoran from_dtype (compiled caller)"]()[0] == expected
    table.case("P1 from_dtype of 20 typical type strings (per string)", repeat * len(TYPE_STRINGS),
               minimum_times(functions, rounds), "floor: dict lookup of the descriptor")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--cases", default="R,W,N,M,L,P", help="comma-separated case letters")
    arguments = parser.parse_args()
    cases = set(arguments.cases.split(","))
    print(f"{platform.processor() or platform.machine()}, {platform.platform()}, Python {platform.python_version()}")
    versions = []
    for package in ("clickhouse-driver", "clickhouse-connect", "clickhouse-connect-core", "chdb", "numpy", "pandas"):
        try:
            from importlib.metadata import version
            versions.append(f"{package} {version(package)}")
        except Exception:
            pass
    print(", ".join(versions))
    table = Table()
    if "R" in cases:
        read_cases(table, arguments.rows, arguments.rounds)
    if "W" in cases:
        write_cases(table, arguments.rows, arguments.rounds)
    if "W" in cases:
        column_writer_case(table, arguments.rows, arguments.rounds)
    if "N" in cases:
        native_cases(table, arguments.rows, arguments.rounds)
    if "M" in cases:
        memory_case(arguments.rows)
    if "L" in cases:
        length_case(table, arguments.rows, arguments.rounds)
    if "P" in cases:
        parse_case(table, arguments.rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
