"""Reading and writing whole ClickHouse Native-format streams.

A Native stream, as the engine writes it for ``FORMAT Native`` (over HTTP, by
clickhouse-local and by the embedded engine), is a sequence of blocks. Each
block holds its column count and row count (LEB128), then per column its name
and its type string (each a LEB128 length and the bytes) and its data. A block
of zero rows carries no column data, and an empty result is zero bytes.

>>> from quelvoran import native
>>> table = native.read(open("result.native", "rb"))     # doctest: +SKIP
>>> table.names, table.types, list(table.rows())[:3]     # doctest: +SKIP

:func:`read` returns all blocks as one :class:`Table`, :func:`iter_blocks`
yields one per block while reading the stream incrementally, and :func:`write`
encodes a table. Corrupt, truncated or hostile input raises
:class:`NativeError`, whose message names the block, the column and its type
and the byte offset where decoding failed.

Every type string goes through ``from_dtype``, every LEB128 count and length
through ``read_length``, Bool values and null maps through ``read_bool`` and
``write_bool``, LowCardinality columns through the ``LowCardinality`` class, and
values through the element codecs.
"""

from __future__ import annotations

import io
import re
import zoneinfo
from datetime import date
from functools import lru_cache, partial
from typing import Any, BinaryIO, Callable, Final, Iterable, Iterator, NamedTuple, Sequence, TypeVar

from quelvoran import _native
from quelvoran.common.cast_dataframes import pandas_astype
from quelvoran.common.dtypes import columns as bulk
from quelvoran.common.dtypes import elements, fast_elements
from quelvoran.common.dtypes.objects import lowcardinality as lowcardinality_module
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

__all__ = ["NativeError", "Table", "encode_blocks", "iter_blocks", "pandas_dtype", "read", "read_dataframe", "write"]

# Sources are asked for this much at a time, and never for more than
# MAX_REQUEST bytes in one call, so that a corrupt count cannot make us
# allocate more than the source really holds.
REQUEST: Final = 1 << 16
MAX_REQUEST: Final = 1 << 20

# Type strings longer or more deeply nested than this are refused before they
# are parsed.
MAX_TYPE_LENGTH: Final = 1 << 16
MAX_TYPE_DEPTH: Final = 32

MAX_LEB128_BYTES: Final = 10
LOWCARDINALITY_VERSION: Final = (1).to_bytes(8, "little")
# LowCardinality part flags: the index width code in the low byte, "has
# additional keys" (the part carries its own dictionary) and "needs a new
# dictionary"; a part that relies on a shared global dictionary is not a
# Native-format part.
LC_HAS_KEYS: Final = 0x200
LC_NEW_DICTIONARY: Final = 0x400
LC_INDEX_WIDTHS: Final = (1, 2, 4, 8)


class NativeError(ValueError):
    """Native data that cannot be decoded: corrupt, truncated or hostile.

    ``block`` (0-based), ``column``, ``type_string`` and ``offset`` (bytes
    from the start of the stream) say where; each is None when unknown. The
    exception that stopped decoding is chained as ``__cause__``.
    """

    def __init__(
        self, message: str, *, block: int | None = None, column: str | None = None,
        type_string: str | None = None, offset: int | None = None,
    ) -> None:
        where = []
        if block is not None:
            where.append(f"block {block}")
        if column is not None:
            where.append(f"column {column!r} ({type_string})")
        if offset is not None:
            where.append(f"byte {offset}")
        super().__init__(f"{', '.join(where)}: {message}" if where else message)
        self.block = block
        self.column = column
        self.type_string = type_string
        self.offset = offset


class Table:
    """Named, typed columns of equal length.

    ``names`` and ``types`` (type strings, as a Native stream gives them) are
    lists of str; ``columns`` is one list of Python values per column.
    """

    __slots__ = ("names", "types", "columns")

    def __init__(self, names: Sequence[str], types: Sequence[str], columns: Sequence[Sequence[Any]]) -> None:
        names, types = list(names), list(types)
        columns = [column if type(column) is list else list(column) for column in columns]
        if not len(names) == len(types) == len(columns):
            raise ValueError(
                f"a table needs as many names, types and columns; got {len(names)}, {len(types)} and {len(columns)}"
            )
        for what, texts in (("name", names), ("type", types)):
            for text in texts:
                if type(text) is not str:
                    raise TypeError(f"column {what}s must be str, not {type(text).__name__}")
        if columns and any(len(column) != len(columns[0]) for column in columns):
            raise ValueError(f"columns differ in length: {[len(column) for column in columns]}")
        self.names: list[str] = names
        self.types: list[str] = types
        self.columns: list[list[Any]] = columns

    @property
    def num_rows(self) -> int:
        return len(self.columns[0]) if self.columns else 0

    def rows(self) -> Iterator[tuple[Any, ...]]:
        """The rows, as tuples of the columns' values."""
        return zip(*self.columns)

    def column(self, name: str) -> list[Any]:
        """The values of the first column called ``name``."""
        try:
            return self.columns[self.names.index(name)]
        except ValueError:
            raise KeyError(name) from None

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Table):
            return NotImplemented
        return (self.names, self.types, self.columns) == (other.names, other.types, other.columns)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        columns = ", ".join(f"{name} {type_string}" for name, type_string in zip(self.names, self.types))
        return f"<Table {self.num_rows} rows: {columns}>"

    def to_pandas(self) -> Any:
        """A pandas DataFrame of the table (needs ``quelvoran[pandas]``).

        Column dtypes are those ``pandas_astype`` gives for the columns' type
        descriptors; NULLs become pandas' missing values. Columns that pandas
        cannot hold in such a dtype (out-of-range dates, say) stay objects.
        """
        pandas = _import_pandas("Table.to_pandas()")
        series = [_to_series(pandas, values, pandas_dtype(type_string))
                  for type_string, values in zip(self.types, self.columns)]
        return _dataframe(pandas, self.names, series)


def _import_pandas(caller: str) -> Any:
    try:
        import pandas
    except ImportError:
        raise ImportError(f"{caller} needs pandas: pip install 'quelvoran[pandas]'") from None
    return pandas


def _dataframe(pandas: Any, names: list[str], series: list[Any]) -> Any:
    frame = pandas.concat(series, axis=1, ignore_index=True) if series else pandas.DataFrame()
    try:
        frame.columns = names
    except UnicodeEncodeError:
        # A name that is no UTF-8 (kept through surrogateescape) fits no
        # Arrow-backed index; its values fall back the same way.
        frame.columns = pandas.Index(names, dtype=object)
    return frame


class _TypeInfo(NamedTuple):
    """What ``pandas_astype`` reads of a column's type descriptor."""

    dtype: Any
    is_array: bool
    nested: int

    @classmethod
    def of(cls, type_string: str) -> _TypeInfo:
        descriptor = _native.from_dtype(type_string)
        return cls(descriptor[0], descriptor[1], descriptor[9])


class _ColumnDescription(NamedTuple):
    column: str
    info: _TypeInfo


def pandas_dtype(type_string: str) -> str | None:
    """The pandas dtype that ``pandas_astype`` gives a column of this type
    (None where pandas is left to infer one)."""
    (dtype,) = pandas_astype([_ColumnDescription("", _TypeInfo.of(type_string))]).values()
    return dtype


def _to_series(pandas: Any, values: list[Any], dtype: str | None) -> Any:
    try:
        series = _array_series(pandas, values, dtype)
        if series is not None:
            return series
        has_nulls = bulk.has_none(values)
        if dtype == "nan":
            return pandas.Series([float("nan")] * len(values), dtype="float64")
        if dtype == "?":
            return pandas.Series(values, dtype="boolean" if has_nulls else "bool")
        if dtype == "datetime64[ns]":
            return pandas.Series(pandas.to_datetime(values)).astype(dtype)
        if dtype == "datetime64[ns, UTC]":
            return pandas.Series(pandas.to_datetime(values, utc=True)).astype(dtype)
        if dtype is not None:
            return pandas.Series(values, dtype=dtype)
        if has_nulls and values and all(value is None or type(value) is int for value in values):
            return pandas.Series(pandas.array(values))
        return pandas.Series(values, dtype=None if not has_nulls else object)
    except (ValueError, TypeError, OverflowError):
        return pandas.Series(values, dtype=object)


class _Numbers:
    """One block of a fixed-width numeric, Date or DateTime column, as its
    bytes: turned into an array for a DataFrame, or into the values
    ``read`` gives."""

    __slots__ = ("column", "data", "nulls")

    def __init__(self, column: _Elements, data: bytes, nulls: bytes | None) -> None:
        self.column = column
        self.data = data
        self.nulls = nulls

    def to_list(self) -> list[Any]:
        values = self.column.make_codec(None).decode_values(self.data)
        return values if self.nulls is None else bulk.apply_null_map(values, self.nulls)


_NANOSECONDS: Final = {"Date": 86_400 * 10**9, "DateTime": 10**9}


def _numbers_series(pandas: Any, numpy: Any, parts: list[Any], dtype: str | None) -> Any:
    """The Series ``_to_series`` gives for the values of ``parts`` (blocks of
    one column, as _Numbers or empty lists), built from arrays."""
    blocks = [part for part in parts if type(part) is _Numbers]
    column = blocks[0].column
    values = numpy.concatenate([numpy.frombuffer(part.data, column.numpy_dtype) for part in blocks])
    if blocks[0].nulls is None:
        nulls = None
    else:
        nulls = numpy.concatenate([numpy.frombuffer(part.nulls, numpy.uint8) for part in blocks]).astype(bool)
        if not nulls.any():
            nulls = None
    kind = values.dtype.kind
    name = column.make_codec(None).name
    # All NULLs, or UInt64 values past Int64, are rare enough to take the
    # general path at the end.
    rare = (nulls is not None and nulls.all()) or (kind == "u" and values.dtype.itemsize == 8 and values.size
                                                  and values.max() >= 1 << 63)
    if not rare:
        if dtype is None and kind in "iu":
            return _int64_series(pandas, values.astype(numpy.int64), nulls)
        if dtype == "float64" and kind == "f":
            # A signalling NaN among Float32 values becomes a quiet one, as
            # through Python floats, without numpy's warning.
            with numpy.errstate(invalid="ignore"):
                values = values.astype(numpy.float64)
            if nulls is not None:
                values[nulls] = numpy.nan
            return pandas.Series(values)
        if dtype in ("datetime64[ns]", "datetime64[ns, UTC]") and name in _NANOSECONDS:
            stamps = (values.astype(numpy.int64) * _NANOSECONDS[name]).view("datetime64[ns]")
            if nulls is not None:
                stamps[nulls] = numpy.datetime64("NaT", "ns")
            return _datetime_series(pandas, stamps, dtype)
    return _to_series(pandas, bulk.join_lists([part.to_list() for part in blocks]), dtype)


def _int64_series(pandas: Any, values: Any, nulls: Any) -> Any:
    """int64 values as the Series pandas infers for them, or as its nullable
    Int64 where ``nulls`` (a bool array) marks NULLs."""
    return pandas.Series(values) if nulls is None else pandas.Series(pandas.arrays.IntegerArray(values, nulls))


def _datetime_series(pandas: Any, stamps: Any, dtype: str) -> Any:
    """datetime64[ns] values, as naive times or (for a UTC dtype) UTC ones."""
    series = pandas.Series(stamps)
    return series.dt.tz_localize("UTC") if dtype.endswith("UTC]") else series


def _array_series(pandas: Any, values: list[Any], dtype: str | None) -> Any:
    """The Series the general code below gives, built from an array where
    the values allow: exact ints within Int64, and dates and naive
    datetimes, with or without NULLs (but not NULLs alone); exact floats and
    ints as float64; strings. None otherwise."""
    import numpy

    if dtype in ("datetime64[ns]", "datetime64[ns, UTC]"):
        stamps = bulk.datetime_stamps(values)
        if stamps is None:
            return None
        return _datetime_series(pandas, numpy.frombuffer(stamps, "<i8").view("datetime64[ns]"), dtype)
    if dtype is None:
        numbers = bulk.int64_values(values)
        if numbers is None:
            return None
        data, nulls = numbers
        mask = None if nulls is None else numpy.frombuffer(nulls, numpy.bool_)
        return _int64_series(pandas, numpy.frombuffer(data, "<i8"), mask)
    if dtype == "float64":
        data = bulk.encode_floats(values, 8)
        return None if data is None else pandas.Series(numpy.frombuffer(data, "<f8").copy())
    if dtype == "string":
        # Few distinct objects (a LowCardinality column) are converted once
        # each; pandas checks an object array's values faster than a list's.
        repeated = bulk.identity_codes(values)
        if repeated is None:
            return _string_series(pandas, values)
        codes, uniques = repeated
        distinct = pandas.array(numpy.fromiter(uniques, dtype=object, count=len(uniques)), dtype=dtype)
        return pandas.Series(distinct.take(numpy.frombuffer(codes, "<i4")))
    return None


def _string_series(pandas: Any, values: list[Any]) -> Any:
    """The "string" Series of str and None values. Where pandas keeps such
    strings in Arrow, the array is made from the values' UTF-8 buffers
    instead of pandas checking and converting them one by one."""
    import numpy

    dtype = pandas.api.types.pandas_dtype("string")
    buffers = bulk.utf8_buffers(values) if getattr(dtype, "storage", None) == "pyarrow" else None
    if buffers is not None:
        import pyarrow

        offsets, data, validity, nulls = buffers
        array = pyarrow.LargeStringArray.from_buffers(
            len(values), pyarrow.py_buffer(offsets), pyarrow.py_buffer(data),
            None if validity is None else pyarrow.py_buffer(validity), nulls)
        return pandas.Series(dtype.__from_arrow__(array))
    return pandas.Series(numpy.fromiter(values, dtype=object, count=len(values)), dtype="string")


# Reading


class _SourceFailed(Exception):
    """The source's own ``read`` raised: not a decoding failure."""


class _Reader:
    """The bytes of a source, with their offset in it.

    ``read(n)`` gives exactly n bytes unless the source ends first; short
    reads of the source are continued. Only the bytes of the block under way
    are held.
    """

    __slots__ = ("_source_read", "_data", "_position", "_base", "_text_tables", "column")

    def __init__(self, source: Any) -> None:
        if isinstance(source, (bytes, bytearray, memoryview)):
            self._data = bytes(source)
            self._source_read: Callable[[int], Any] | None = None
        else:
            read = getattr(source, "read1", None) or getattr(source, "read", None)
            if not callable(read):
                raise TypeError(f"source must be bytes-like or have a read() method, not {type(source).__name__}")
            self._data = b""
            self._source_read = read
        self._position = 0
        self._base = 0
        # The column of the block being read, and per column the table through
        # which its String values share one str per repeated text.
        self.column = 0
        self._text_tables: dict[int, Any] = {}

    @property
    def offset(self) -> int:
        return self._base + self._position

    def expected_total(self, done: int) -> int:
        """``done`` items, read from the bytes so far, scaled to all the bytes
        of a source held whole; 0 for a stream, whose length is not known."""
        if self._source_read is not None or not self._position:
            return 0
        return -(-done * len(self._data) // self._position)

    def available(self, wanted: int) -> int:
        """Bytes held past the position, after asking the source for more
        until ``wanted`` are held or it ends."""
        held = len(self._data) - self._position
        if held >= wanted or self._source_read is None:
            return held
        chunks = [self._data[self._position:]]
        self._base += self._position
        self._position = 0
        while held < wanted:
            try:
                chunk = self._source_read(min(max(wanted - held, REQUEST), MAX_REQUEST))
            except Exception as error:
                raise _SourceFailed() from error
            if not chunk:
                break
            if not isinstance(chunk, (bytes, bytearray, memoryview)):
                raise TypeError(f"source read() returned {type(chunk).__name__}, expected bytes")
            chunks.append(bytes(chunk))
            held += len(chunks[-1])
        self._data = b"".join(chunks)
        return held

    def read(self, n: int = -1) -> bytes:
        if n < 0:
            raise ValueError("the Native reader reads counted bytes only")
        self.available(n)
        data = self._data[self._position:self._position + n]
        self._position += len(data)
        return data

    def view(self, n: int) -> memoryview:
        """As ``read``, the bytes viewed where they are held, not copied."""
        self.available(n)
        data = memoryview(self._data)[self._position:self._position + n]
        self._position += len(data)
        return data

    def read_exact(self, n: int, what: str) -> bytes:
        return _exactly(self.read(n), n, what)

    def view_exact(self, n: int, what: str) -> memoryview:
        return _exactly(self.view(n), n, what)

    def byte_at(self, index: int, what: str) -> int:
        """The byte ``index`` bytes past the position, without consuming it."""
        if self.available(index + 1) <= index:
            raise EOFError(f"stream ended in {what}")
        return self._data[self._position + index]

    def uint64_at(self, index: int, what: str) -> int:
        """The UInt64 ``index`` bytes past the position, without consuming it."""
        if self.available(index + 8) < index + 8:
            raise EOFError(f"stream ended in {what}")
        start = self._position + index
        return int.from_bytes(self._data[start:start + 8], "little")

    def strings_end(self, index: int, count: int, what: str) -> int:
        """The offset from the position just past ``count`` String values
        that start ``index`` bytes past it; only their lengths need be held."""
        wanted = index + count
        while True:
            end = bulk.skip_strings(self._data, self._position + index, count)
            if end is not None:
                return end - self._position
            held = len(self._data) - self._position
            if self.available(max(2 * held, wanted)) == held:
                raise EOFError(f"stream ended in {what}")
            wanted = 2 * held

    def decode_strings(self, count: int) -> list[Any]:
        """``count`` String values, decoded in one pass over the held bytes;
        more are asked for while the values run past them."""
        wanted = max(count, 1)
        table = self._text_tables.get(self.column)
        if table is None:
            table = self._text_tables[self.column] = bulk.text_table()
        while True:
            decoded = bulk.decode_strings(self._data, self._position, count, table)
            if decoded is not None:
                values, end = decoded
                self._position = end
                return values
            held = len(self._data) - self._position
            if self.available(max(2 * held, wanted)) == held:
                raise EOFError(f"stream ended in String values: {count} values do not fit in the {held} bytes left")
            wanted = 2 * held

    def at_end(self) -> bool:
        return self.available(1) == 0

    def read_length(self, what: str) -> int:
        """One LEB128 length, checked here, decoded by ``read_length``."""
        for index in range(MAX_LEB128_BYTES):
            if self.byte_at(index, what) < 0x80:
                return _native.read_length(self)
        raise ValueError(f"{what}: LEB128 length runs over {MAX_LEB128_BYTES} bytes")


_Held = TypeVar("_Held", bytes, memoryview)


def _exactly(data: _Held, n: int, what: str) -> _Held:
    if len(data) != n:
        raise EOFError(f"stream ended in {what}: expected {n} bytes, got {len(data)}")
    return data


def _read_text(reader: _Reader, what: str) -> str:
    return reader.read_exact(reader.read_length(f"the length of {what}"), what).decode("utf-8", "surrogateescape")


def iter_blocks(source: Any) -> Iterator[Table]:
    """One :class:`Table` per block of a Native stream, read incrementally.

    ``source`` is bytes-like, or a binary stream (anything with ``read(n)``;
    ``read1`` is used when there is one, so that pipes and sockets are not
    waited on for more than they have).
    """
    for _, block in _blocks(_Reader(source)):
        yield Table(block.names, block.types, block.columns)


class _Block(NamedTuple):
    names: list[str]
    types: list[str]
    columns: list[Any]


def _blocks(reader: _Reader, as_arrays: bool = False) -> Iterator[tuple[int, _Block]]:
    """The blocks of a Native stream, with the offset each starts at."""
    block = 0
    while not _at_end(reader, block):
        start = reader.offset
        yield start, _read_block(reader, block, as_arrays)
        block += 1


def _joined_blocks(source: Any, as_arrays: bool = False) -> tuple[list[str], list[str], list[list[Any]]]:
    """The names and types of a stream's columns, and per column its values.

    With ``as_arrays``, a column is the list of its blocks' parts. Otherwise
    it is one list, into which each block's values are moved as soon as the
    block is read: the next block's lists then reuse their memory, and the
    column takes its room once, for the rows the whole of a held source is
    expected to give.
    """
    reader = _Reader(source)
    first: _Block | None = None
    columns: list[list[Any]] = []
    rows = 0
    for block_index, (start, block) in enumerate(_blocks(reader, as_arrays)):
        if first is None:
            first = block
            columns = [[] for _ in block.columns]
        elif (block.names, block.types) != (first.names, first.types):
            raise NativeError(
                f"columns {list(zip(block.names, block.types))} differ from the first block's"
                f" {list(zip(first.names, first.types))}",
                block=block_index, offset=start,
            )
        if as_arrays:
            for column_parts, values in zip(columns, block.columns):
                column_parts.append(values)
            continue
        rows += len(block.columns[0]) if block.columns else 0
        expected = reader.expected_total(rows)
        for column, values in zip(columns, block.columns):
            bulk.move_items(column, values, expected)
    if not as_arrays:
        for column in columns:
            bulk.fit_list(column)
    return (first.names, first.types, columns) if first is not None else ([], [], [])


def read(source: Any) -> Table:
    """All blocks of a Native stream as one :class:`Table`."""
    return Table(*_joined_blocks(source))


def read_dataframe(source: Any) -> Any:
    """All blocks of a Native stream as a pandas DataFrame (needs
    ``quelvoran[pandas]``): the frame ``read(source).to_pandas()`` gives,
    with numeric, Date and DateTime columns decoded straight into arrays
    instead of through a Python object per value."""
    pandas = _import_pandas("read_dataframe()")
    import numpy

    names, types, parts = _joined_blocks(source, as_arrays=True)
    series = []
    for type_string, column_parts in zip(types, parts):
        dtype = pandas_dtype(type_string)
        # Blocks of no rows hold an empty list in any column.
        if any(type(part) is _Numbers for part in column_parts):
            series.append(_numbers_series(pandas, numpy, column_parts, dtype))
        else:
            series.append(_to_series(pandas, bulk.join_lists(column_parts), dtype))
    return _dataframe(pandas, names, series)


def _at_end(reader: _Reader, block: int) -> bool:
    try:
        return reader.at_end()
    except _SourceFailed as failure:
        raise failure.__cause__ from None  # type: ignore[misc]
    except Exception as error:
        raise NativeError(str(error), block=block, offset=reader.offset) from error


def _read_block(reader: _Reader, block: int, as_arrays: bool) -> _Block:
    name: str | None = None
    type_string: str | None = None
    # A column may make millions of objects: their memory comes faster in huge pages.
    bulk.begin_huge_arenas()
    try:
        column_count = reader.read_length("the column count")
        row_count = reader.read_length("the row count")
        names, types, columns = [], [], []
        for column_index in range(column_count):
            reader.column = column_index
            name = type_string = None
            name = _read_text(reader, "a column name")
            type_string = _read_text(reader, "a column type")
            try:
                column = _column(type_string)
            except NotImplementedError as error:
                raise NotImplementedError(f"block {block}, column {name!r}: {error}") from error
            if row_count:
                column.read_prefix(reader)
                values = column.read_numbers(reader, row_count) if as_arrays else None
                if values is None:
                    values = column.read(reader, row_count)
            else:
                values = []
            names.append(name)
            types.append(type_string)
            columns.append(values)
        return _Block(names, types, columns)
    except NotImplementedError:
        raise
    except _SourceFailed as failure:
        raise failure.__cause__ from None  # type: ignore[misc]
    except (MemoryError, RecursionError):
        raise
    except Exception as error:
        message = str(error) or type(error).__name__
        raise NativeError(message, block=block, column=name, type_string=type_string, offset=reader.offset) from error
    finally:
        bulk.end_huge_arenas()


# Columns


class _Column:
    """The codec of one column type, over the values of a whole column."""

    type_string: str
    # What a NULL row holds in the data of a Nullable column.
    default: Any = None

    def read_prefix(self, reader: _Reader) -> None:
        """Reads what the type writes before any column data."""

    def read(self, reader: _Reader, count: int) -> list[Any]:
        raise NotImplementedError

    def read_numbers(self, reader: _Reader, count: int) -> _Numbers | None:
        """The column as a _Numbers where the type allows, or None (nothing
        is read then)."""
        return None

    def encode(self, values: list[Any]) -> tuple[bytes, bytes]:
        """The prefix and the data of a column of ``values``."""
        raise NotImplementedError


class _Elements(_Column):
    """A plain type, through its element codec."""

    def __init__(self, type_string: str, make_codec: Callable[[Any], elements.ElementCodec]) -> None:
        self.type_string = type_string
        self.make_codec = make_codec
        codec = make_codec(None)
        self.default = codec.default_value
        # Enum codecs decode numbers that name no member to None.
        self.may_decode_none = isinstance(codec, elements.EnumCodec)
        # Whole-column C++ decoders and encoders; they give exactly what the
        # element codec gives, and the encoder gives None for a column the
        # element codec must encode value by value.
        read_bulk = _BULK_READERS.get(type(codec))
        self.read_bulk: Callable[[_Reader, int], list[Any]] | None = (
            None if read_bulk is None else lambda reader, count: read_bulk(codec, reader, count)
        )
        self.encode_bulk: Callable[[list[Any]], bytes | None] | None = getattr(codec, "encode_column", None)
        self.numpy_dtype = _numpy_dtype(codec)
        self.value_width: int | None = codec.length if isinstance(codec, elements.FixedWidthCodec) else None

    def read(self, reader: _Reader, count: int, nulls: bytes = b"") -> list[Any]:
        if self.read_bulk is not None:
            values = self.read_bulk(reader, count)
        else:
            codec = self.make_codec(reader)
            codec.total_rows = count
            values = codec.read()
        if self.may_decode_none:
            for row, value in enumerate(values):
                if value is None and not (nulls and nulls[row]):
                    raise ValueError(f"row {row} holds a number that is no member of {self.type_string}")
        return values

    def read_numbers(self, reader: _Reader, count: int, nulls: bytes | None = None) -> _Numbers | None:
        if self.numpy_dtype is None:
            return None
        return _Numbers(self, reader.read_exact(count * self.value_width, "the values"), nulls)

    def encode(self, values: list[Any]) -> tuple[bytes, bytes]:
        if self.encode_bulk is not None:
            data = self.encode_bulk(values)
            if data is not None:
                return b"", data
        encode_value = self.make_codec(None).encode_value
        return b"", b"".join([encode_value(_not_null(value)) for value in values])


def _numpy_dtype(codec: elements.ElementCodec) -> str | None:
    """The numpy dtype of the bytes of a column of plain numbers, dates or
    times (as ``read_numbers`` gives them), or None."""
    if isinstance(codec, elements.IntegerCodec) and codec.length <= 8:
        return f"<{'i' if codec.signed else 'u'}{codec.length}"
    if isinstance(codec, elements.FloatCodec):
        return f"<f{codec.length}"
    if type(codec) in (elements.DateCodec, fast_elements.DateCodec):
        return "<u2"
    if type(codec) in (elements.DateTimeCodec, fast_elements.DateTimeCodec):
        return "<u4"
    return None


def _read_strings(codec: elements.ElementCodec, reader: _Reader, count: int) -> list[Any]:
    return reader.decode_strings(count)


def _read_dates(codec: elements.ElementCodec, reader: _Reader, count: int) -> list[Any]:
    return bulk.decode_dates(reader.view_exact(2 * count, "Date values"))


def _read_datetimes(codec: elements.ElementCodec, reader: _Reader, count: int) -> list[Any]:
    return bulk.decode_datetimes(reader.view_exact(4 * count, "DateTime values"))


def _read_fixed_width(codec: elements.FixedWidthCodec, reader: _Reader, count: int) -> list[Any]:
    """The values as the codec reads them, with the codec's message when the
    stream ends first."""
    return codec.decode_values(_values_of(codec, reader.read, count))


def _read_numbers(codec: fast_elements.IntegerCodec | fast_elements.FloatCodec, reader: _Reader,
                  count: int) -> list[Any]:
    """As ``_read_fixed_width``, for codecs that decode from any buffer: the
    values' bytes are viewed where the stream holds them."""
    return codec.decode_values(_values_of(codec, reader.view, count))


def _values_of(codec: elements.FixedWidthCodec, read: Callable[[int], _Held], count: int) -> _Held:
    size = codec.length * count
    data = read(size)
    if len(data) != size:
        raise EOFError(f"{codec.type_string()}: stream ended in the values: expected {size} bytes, got {len(data)}")
    return data


_BULK_READERS: Final[dict[type, Callable[..., list[Any]]]] = {
    fast_elements.StringCodec: _read_strings,
    fast_elements.DateCodec: _read_dates,
    fast_elements.DateTimeCodec: _read_datetimes,
    fast_elements.IntegerCodec: _read_numbers,
    fast_elements.FloatCodec: _read_numbers,
    **dict.fromkeys(
        (
            fast_elements.FixedStringCodec,
            fast_elements.ZonedDateTimeCodec, fast_elements.Date32Codec, fast_elements.DateTime64Codec,
            fast_elements.DecimalCodec, fast_elements.UUIDCodec, fast_elements.IPv4Codec, fast_elements.IPv6Codec,
            fast_elements.EnumCodec,
        ),
        _read_fixed_width,
    ),
}


def _not_null(value: Any) -> Any:
    if value is None:
        raise TypeError("NULL in a column that is not Nullable")
    return value


class _Bool(_Column):
    type_string = "Bool"
    default = False

    def read(self, reader: _Reader, count: int) -> list[Any]:
        return _native.read_bools(io.BytesIO(reader.read_exact(count, "Bool values")), count)

    def encode(self, values: list[Any]) -> tuple[bytes, bytes]:
        for value in values:
            if value is not True and value is not False and not (type(value) is int and value in (0, 1)):
                raise TypeError(f"Bool value must be a bool, not {type(value).__name__} {value!r}")
        return b"", _native.write_bools(values)


class _Nothing(_Column):
    type_string = "Nothing"

    def read(self, reader: _Reader, count: int) -> list[Any]:
        _native.read_nothings(io.BytesIO(reader.read_exact(count, "Nothing values")), count)
        return [None] * count

    def encode(self, values: list[Any]) -> tuple[bytes, bytes]:
        for value in values:
            if value is not None:
                raise TypeError(f"a Nothing column holds only NULL, not {type(value).__name__}")
        return b"", _native.write_nothings(len(values))


class _Nullable(_Column):
    def __init__(self, type_string: str, inner: _Column) -> None:
        self.type_string = type_string
        self.inner = inner

    def read_prefix(self, reader: _Reader) -> None:
        self.inner.read_prefix(reader)

    def read(self, reader: _Reader, count: int) -> list[Any]:
        nulls = reader.read_exact(count, "a null map")
        if isinstance(self.inner, _Elements):
            values = self.inner.read(reader, count, nulls)
        else:
            values = self.inner.read(reader, count)
        return bulk.apply_null_map(values, nulls)

    def read_numbers(self, reader: _Reader, count: int) -> _Numbers | None:
        if not isinstance(self.inner, _Elements) or self.inner.numpy_dtype is None:
            return None
        nulls = reader.read_exact(count, "a null map")
        return self.inner.read_numbers(reader, count, nulls)

    def encode(self, values: list[Any]) -> tuple[bytes, bytes]:
        default = self.inner.default
        prefix, data = self.inner.encode([default if value is None else value for value in values])
        return prefix, _native.write_null_map(values) + data


def _read_offsets(reader: _Reader, count: int) -> list[int]:
    """The end offsets of ``count`` arrays; ValueError if they go backwards."""
    return bulk.decode_offsets(reader.read_exact(8 * count, "array offsets"))


def _encode_offsets(sizes: Iterable[int]) -> bytes:
    return bulk.encode_offsets(sizes)


def _slices(items: list[Any], offsets: list[int]) -> list[list[Any]]:
    starts = [0, *offsets[:-1]]
    return [items[start:end] for start, end in zip(starts, offsets)]


def _sequence(value: Any, what: str) -> list[Any] | tuple[Any, ...]:
    if type(value) is list or type(value) is tuple:
        return value
    raise TypeError(f"{what} value must be a list or tuple, not {type(value).__name__}")


class _Array(_Column):
    def __init__(self, type_string: str, inner: _Column) -> None:
        self.type_string = type_string
        self.inner = inner
        self.default: list[Any] = []

    def read_prefix(self, reader: _Reader) -> None:
        self.inner.read_prefix(reader)

    def read(self, reader: _Reader, count: int) -> list[Any]:
        offsets = _read_offsets(reader, count)
        items = self.inner.read(reader, offsets[-1] if count else 0)
        return _slices(items, offsets)

    def encode(self, values: list[Any]) -> tuple[bytes, bytes]:
        arrays = [_sequence(value, "Array") for value in values]
        prefix, data = self.inner.encode([item for value in arrays for item in value])
        return prefix, _encode_offsets(map(len, arrays)) + data


class _Tuple(_Column):
    def __init__(self, type_string: str, items: list[_Column]) -> None:
        self.type_string = type_string
        self.items = items
        self.default = tuple(item.default for item in items)

    def read_prefix(self, reader: _Reader) -> None:
        for item in self.items:
            item.read_prefix(reader)

    def read(self, reader: _Reader, count: int) -> list[Any]:
        columns = [item.read(reader, count) for item in self.items]
        return list(zip(*columns))

    def encode(self, values: list[Any]) -> tuple[bytes, bytes]:
        width = len(self.items)
        for value in values:
            if len(_sequence(value, "Tuple")) != width:
                raise ValueError(f"{self.type_string} value must have {width} items, not {len(value)}")
        columns = list(zip(*values)) if values else [()] * width
        encoded = [item.encode(list(column)) for item, column in zip(self.items, columns)]
        return b"".join(prefix for prefix, _ in encoded), b"".join(data for _, data in encoded)


class _Map(_Column):
    def __init__(self, type_string: str, keys: _Column, values: _Column) -> None:
        self.type_string = type_string
        self.keys = keys
        self.values = values
        self.default: dict[Any, Any] = {}

    def read_prefix(self, reader: _Reader) -> None:
        self.keys.read_prefix(reader)
        self.values.read_prefix(reader)

    def read(self, reader: _Reader, count: int) -> list[Any]:
        offsets = _read_offsets(reader, count)
        total = offsets[-1] if count else 0
        keys = self.keys.read(reader, total)
        values = self.values.read(reader, total)
        starts = [0, *offsets[:-1]]
        return [dict(zip(keys[start:end], values[start:end])) for start, end in zip(starts, offsets)]

    def encode(self, values: list[Any]) -> tuple[bytes, bytes]:
        for value in values:
            if type(value) is not dict:
                raise TypeError(f"Map value must be a dict, not {type(value).__name__}")
        key_prefix, key_data = self.keys.encode([key for value in values for key in value])
        value_prefix, value_data = self.values.encode([item for value in values for item in value.values()])
        return key_prefix + value_prefix, _encode_offsets(map(len, values)) + key_data + value_data


class _LowCardinality(_Column):
    """LowCardinality(T) and LowCardinality(Nullable(T)), through the
    ``LowCardinality`` class over T's element codec."""

    def __init__(self, type_string: str, element: _Elements, is_nullable: bool) -> None:
        self.type_string = type_string
        self.element = element
        self.is_nullable = is_nullable
        self.default = None if is_nullable else element.default
        codec = element.make_codec(None)
        self.key_width = codec.length if isinstance(codec, elements.FixedWidthCodec) else None
        # The type of the values the codec takes as they are, with no
        # normalising, and encodes alike whenever they are equal.
        self.plain_type = next((plain for kind, plain in _PLAIN_TYPES if isinstance(codec, kind)), None)
        if isinstance(codec, elements.DateTimeCodec):
            self.normalize: Callable[[Any], Any] = _naive_utc
        elif isinstance(codec, (elements.StringCodec, elements.FixedStringCodec)):
            self.normalize = _text
        else:
            self.normalize = _same

    def read_prefix(self, reader: _Reader) -> None:
        version = reader.read_exact(8, "the LowCardinality version")
        if version != LOWCARDINALITY_VERSION:
            raise ValueError(f"LowCardinality version is {int.from_bytes(version, 'little')}, expected 1")

    def read(self, reader: _Reader, count: int) -> list[Any]:
        rows: list[Any] = []
        while len(rows) < count:
            part = reader.read_exact(self._part_size(reader), "a LowCardinality part")
            stream = io.BytesIO(LOWCARDINALITY_VERSION + part)
            values = LowCardinality(stream, self.element.make_codec(stream), self.is_nullable).read()
            if stream.tell() != 8 + len(part):
                raise ValueError("LowCardinality part was not read to its end")
            if not values or len(rows) + len(values) > count:
                raise ValueError(f"LowCardinality parts hold {len(rows) + len(values)} rows, expected {count}")
            rows += values
        return rows

    def _part_size(self, reader: _Reader) -> int:
        """The byte size of the dictionary part at the reader's position,
        measured on the bytes themselves before any of it is decoded."""
        flags = reader.uint64_at(0, "LowCardinality flags")
        code = flags & 0xFF
        if code >= len(LC_INDEX_WIDTHS) or flags & ~0xFF & ~LC_NEW_DICTIONARY != LC_HAS_KEYS:
            raise ValueError(f"unsupported LowCardinality flags {flags:#x}")
        keys = reader.uint64_at(8, "the LowCardinality key count")
        position = 16
        if self.key_width is not None:
            position += keys * self.key_width
        else:
            try:
                position = reader.strings_end(position, keys, "a LowCardinality key")
            except ValueError:
                raise ValueError("LowCardinality key length runs over 10 bytes") from None
        rows = reader.uint64_at(position, "the LowCardinality row count")
        return position + 8 + rows * LC_INDEX_WIDTHS[code]

    def encode(self, values: list[Any]) -> tuple[bytes, bytes]:
        block = self._encode_plain(b"", values)
        return self._split(block) if block is not None else self._encode_checked(values)

    def encode_after(self, head: bytes, values: list[Any]) -> bytes:
        """``head`` followed by the column's prefix and data, made without
        copying the column where it can be."""
        block = self._encode_plain(head, values)
        return block if block is not None else b"".join((head, *self._encode_checked(values)))

    def _encode_plain(self, head: bytes, values: list[Any]) -> bytes | None:
        """``head`` and the block, for values of the one exact type the codec
        takes as they are; None for any other column."""
        if not values or self.plain_type is None:
            return None
        # Equal values of that type are alike, so the dictionary entries the
        # class encodes stand for every row, and the class checks them
        # itself. A value of another type (or a NULL the column cannot hold)
        # declines.
        column = LowCardinality(None, self.element.make_codec(None), self.is_nullable)
        block = lowcardinality_module._encode_rows(column, values, self.plain_type, head)
        return None if block is None else self._checked(column, block)

    def _encode_checked(self, values: list[Any]) -> tuple[bytes, bytes]:
        """The prefix and data of any column, each value normalised and
        checked before the class writes it."""
        if not values:
            return LOWCARDINALITY_VERSION, b""
        normalize = self.normalize
        values = [None if value is None else normalize(value) for value in values]
        encode_value = self.element.make_codec(None).encode_value
        checked = set()
        for value in values:
            if value is None:
                if not self.is_nullable:
                    raise TypeError("NULL in a column that is not Nullable")
                continue
            try:
                key = (type(value), value)
                if key in checked:
                    continue
                checked.add(key)
            except TypeError:
                pass
            encode_value(value)
        column = LowCardinality(None, self.element.make_codec(None), self.is_nullable)
        for value in values:
            column.write(value)
        return self._split(self._checked(column, column.clear()))

    @staticmethod
    def _checked(column: LowCardinality, block: Any) -> bytes:
        if column.total_rows != 0 or type(block) is not bytes:
            raise ValueError("the LowCardinality column could not be encoded")
        return block

    @staticmethod
    def _split(block: bytes) -> tuple[bytes, memoryview]:
        """The prefix and the data of a block (the data as a view: the block
        can be large, and is joined into the stream as it is)."""
        return block[:8], memoryview(block)[8:]


_PLAIN_TYPES: Final = (
    (elements.IntegerCodec, int), (elements.FloatCodec, float), (elements.StringCodec, str), (elements.DateCodec, date),
)


def _same(value: Any) -> Any:
    return value


def _text(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).decode("utf-8", "surrogateescape")
    return value


def _naive_utc(value: Any) -> Any:
    if type(value) is not str and hasattr(value, "tzinfo") and hasattr(value, "astimezone"):
        return elements.as_utc(value).replace(tzinfo=None)
    return value


# Type strings


_TYPE_PATTERN: Final = re.compile(r"(\w+)(?:\((.*)\))?", re.DOTALL)
_ENUM_MEMBER: Final = re.compile(r"\s*'((?:[^'\\]|\\.)*)'\s*=\s*(-?\d+)\s*(?:,|$)", re.DOTALL)
_ESCAPE: Final = re.compile(rb"\\(x[0-9a-fA-F]{2}|.)", re.DOTALL)
_ESCAPES: Final = {b"n": b"\n", b"t": b"\t", b"r": b"\r", b"0": b"\0", b"b": b"\b", b"f": b"\f", b"a": b"\a",
                   b"v": b"\v", b"e": b"\x1b"}
_DECIMAL_PRECISION: Final = {"Decimal32": 9, "Decimal64": 18, "Decimal128": 38, "Decimal256": 76}
_INTEGERS_AND_FLOATS: Final = {*elements.INTEGER_TYPES, *elements.FLOAT_TYPES}


def _check_shape(type_string: str) -> None:
    if len(type_string) > MAX_TYPE_LENGTH:
        raise ValueError(f"type string of {len(type_string)} characters is too long")
    depth = 0
    for match in re.finditer(r"[\[\](){}]", type_string):
        depth += 1 if match.group() in "([{" else -1
        if depth > MAX_TYPE_DEPTH:
            raise ValueError(f"type string nests more than {MAX_TYPE_DEPTH} levels deep")


def _split_arguments(text: str) -> list[str]:
    """The top-level, comma-separated arguments of a type, stripped."""
    arguments, depth, start, quote = [], 0, 0, False
    index = 0
    while index < len(text):
        char = text[index]
        if quote:
            if char == "\\":
                index += 1
            elif char == "'":
                quote = False
        elif char == "'":
            quote = True
        elif char == "(":
            depth += 1
        elif char == ")":
            depth -= 1
        elif char == "," and depth == 0:
            arguments.append(text[start:index].strip())
            start = index + 1
        index += 1
    arguments.append(text[start:].strip())
    return arguments


def _unquote(text: str) -> str:
    if len(text) < 2 or text[0] != "'" or text[-1] != "'":
        raise ValueError(f"expected a quoted string, got {text!r}")
    return _unescape(text[1:-1])


def _unescape(text: str) -> str:
    def one(match: re.Match[bytes]) -> bytes:
        escape = match.group(1)
        if escape[:1] == b"x" and len(escape) == 3:
            return bytes((int(escape[1:], 16),))
        return _ESCAPES.get(escape, escape)

    return _ESCAPE.sub(one, text.encode("utf-8", "surrogateescape")).decode("utf-8", "surrogateescape")


def _enum_members(arguments: str) -> dict[int, str]:
    members: dict[int, str] = {}
    position = 0
    while position < len(arguments):
        match = _ENUM_MEMBER.match(arguments, position)
        if not match:
            raise ValueError(f"cannot parse Enum members at {arguments[position:position + 40]!r}")
        members[int(match.group(2))] = _unescape(match.group(1))
        position = match.end()
    return members


def _zone(name: Any) -> zoneinfo.ZoneInfo:
    if type(name) is not str:
        raise ValueError(f"time zone must be a quoted name, not {name!r}")
    return zoneinfo.ZoneInfo(name)


@lru_cache(maxsize=512)
def _column(type_string: str) -> _Column:
    """The codec of a column type; raises NotImplementedError for a type the
    reader and writer do not support, ValueError for a malformed one."""
    _check_shape(type_string)
    return _build(type_string)


def _build(type_string: str) -> _Column:
    try:
        descriptor = _native.from_dtype(type_string)
    except KeyError:
        raise NotImplementedError(f"type {type_string} is not supported") from None
    match = _TYPE_PATTERN.fullmatch(type_string)
    if match is None:
        raise ValueError(f"cannot parse type {type_string!r}")
    name, arguments = match.groups()
    if name == "Nullable":
        inner = _build(arguments)
        if not isinstance(inner, (_Elements, _Bool, _Nothing)):
            raise NotImplementedError(f"type {type_string} is not supported")
        return _Nullable(type_string, inner)
    if name == "Array":
        return _Array(type_string, _build(arguments))
    if name == "LowCardinality":
        nullable_match = _TYPE_PATTERN.fullmatch(arguments)
        is_nullable = nullable_match is not None and nullable_match.group(1) == "Nullable"
        element = _build(nullable_match.group(2) if is_nullable else arguments)
        if not isinstance(element, _Elements) or element.make_codec(None).name not in elements.ELEMENT_TYPES:
            raise NotImplementedError(f"type {type_string} is not supported")
        return _LowCardinality(type_string, element, is_nullable)
    if name == "Tuple" and arguments:
        return _Tuple(type_string, [_build(_tuple_item_type(item)) for item in _split_arguments(arguments)])
    if name == "Map" and arguments:
        items = _split_arguments(arguments)
        if len(items) != 2:
            raise ValueError(f"Map takes a key and a value type: {type_string}")
        return _Map(type_string, _build(items[0]), _build(items[1]))
    if name == "Bool" and arguments is None:
        return _Bool()
    if name == "Nothing" and arguments is None:
        return _Nothing()
    make_codec = _element_codec(name, arguments, descriptor)
    if make_codec is None:
        raise NotImplementedError(f"type {type_string} is not supported")
    return _Elements(type_string, make_codec)


def _tuple_item_type(item: str) -> str:
    """The type of a Tuple item, without its name if it has one."""
    named = re.fullmatch(r"(?:`(?:[^`\\]|\\.)*`|[A-Za-z_]\w*)\s+(.+)", item, re.DOTALL)
    if named and _TYPE_PATTERN.fullmatch(item) is None:
        return named.group(1)
    return item


def _element_codec(name: str, arguments: str | None, descriptor: tuple[Any, ...]) -> Callable[[Any], Any] | None:
    """A maker of the element codec of a plain type, or None."""
    length, precision, scale, zone = descriptor[4], descriptor[5], descriptor[6], descriptor[7]
    if arguments is None:
        if name in _INTEGERS_AND_FLOATS or name in ("String", "Date", "DateTime"):
            return lambda stream: fast_elements.make_codec(name, stream)
        simple = {"Date32": fast_elements.Date32Codec, "UUID": fast_elements.UUIDCodec,
                  "IPv4": fast_elements.IPv4Codec, "IPv6": fast_elements.IPv6Codec}.get(name)
        return simple
    if name == "FixedString":
        if type(length) is not int or not 1 <= length <= MAX_REQUEST:
            raise ValueError(f"FixedString length must be 1 to {MAX_REQUEST}, got {length!r}")
        return lambda stream: fast_elements.FixedStringCodec(stream, length)
    if name == "DateTime":
        tz = _zone(_unquote(arguments.strip()))
        return lambda stream: fast_elements.ZonedDateTimeCodec(stream, tz)
    if name == "DateTime64":
        tz64 = None if zone is None else _zone(zone)
        return lambda stream: fast_elements.DateTime64Codec(stream, precision, tz64)
    if name == "Decimal":
        return lambda stream: fast_elements.DecimalCodec(stream, precision, scale)
    if name in _DECIMAL_PRECISION:
        digits = _DECIMAL_PRECISION[name]
        fraction = int(arguments)
        return lambda stream: fast_elements.DecimalCodec(stream, digits, fraction)
    if name in ("Enum8", "Enum16"):
        members = _enum_members(arguments)
        return lambda stream: fast_elements.EnumCodec(stream, name, members)
    return None


# Writing


def _frame(text: str) -> bytes:
    data = text.encode("utf-8", "surrogateescape")
    return _native.write_length(len(data)) + data


def encode_blocks(table: Table, *, block_rows: int = 65536) -> list[bytes]:
    """The Native encoding of ``table``, one bytes object per block.

    Every value is checked and encoded before this returns: a value that
    does not fit its column's type raises TypeError, ValueError or
    OverflowError naming the column and the row, a type that is not supported
    NotImplementedError naming the column.
    """
    if type(block_rows) is not int or block_rows < 1:
        raise ValueError(f"block_rows must be a positive int, got {block_rows!r}")
    columns = []
    for name, type_string in zip(table.names, table.types):
        try:
            columns.append(_column(type_string))
        except NotImplementedError as error:
            raise NotImplementedError(f"column {name!r}: {error}") from None
        except ValueError as error:
            raise ValueError(f"column {name!r}: {error}") from None
    headers = [_frame(name) + _frame(type_string) for name, type_string in zip(table.names, table.types)]
    count = _native.write_length(len(columns))
    if table.num_rows == 0:
        return [count + _native.write_length(0) + b"".join(headers)] if columns else []
    blocks = []
    last = len(columns) - 1
    for start in range(0, table.num_rows, block_rows):
        stop = min(start + block_rows, table.num_rows)
        parts = [count, _native.write_length(stop - start)]
        for index, (name, header, column, values) in enumerate(zip(table.names, headers, columns, table.columns)):
            rows = values if stop - start == len(values) else values[start:stop]
            parts.append(header)
            if index == last and isinstance(column, _LowCardinality) and sum(map(len, parts)) <= len(rows):
                # A LowCardinality column that ends the block is made after
                # the block's other bytes, in the block's own bytes object,
                # and is then not copied once more. Those bytes are copied
                # twice instead, so only when they are fewer than its rows
                # (it takes at least a byte a row).
                head = b"".join(parts)
                parts = [_encode_column(name, column, rows, start, partial(column.encode_after, head))]
            else:
                parts += _encode_column(name, column, rows, start, column.encode)
        blocks.append(b"".join(parts))
    return blocks


_Encoded = TypeVar("_Encoded")


def _encode_column(
    name: str, column: _Column, values: list[Any], first_row: int, encode: Callable[[list[Any]], _Encoded]
) -> _Encoded:
    """``encode(values)``, whose failure names the column and the first row
    that does not encode on its own."""
    try:
        return encode(values)
    except (TypeError, ValueError, OverflowError, ArithmeticError) as error:
        failure: BaseException = error
    # Find the first row that does not encode on its own, to name it.
    for row, value in enumerate(values, first_row):
        try:
            column.encode([value])
        except (TypeError, ValueError, OverflowError, ArithmeticError) as error:
            kind = type(error) if type(error) in (TypeError, ValueError, OverflowError) else ValueError
            raise kind(f"column {name!r} ({column.type_string}), row {row}: {error}") from error
    kind = type(failure) if type(failure) in (TypeError, ValueError, OverflowError) else ValueError
    raise kind(f"column {name!r} ({column.type_string}): {failure}") from failure


def write(table: Table, stream: BinaryIO | None = None, *, block_rows: int = 65536) -> bytes | int:
    """Encode ``table`` as a Native stream of blocks of at most
    ``block_rows`` rows.

    Returns the bytes when ``stream`` is None; otherwise writes them to it and
    returns how many were written. Nothing is written unless every value
    encodes (see :func:`encode_blocks`).
    """
    blocks = encode_blocks(table, block_rows=block_rows)
    if stream is None:
        return b"".join(blocks)
    written = 0
    for block in blocks:
        view = memoryview(block)
        while view:
            count = stream.write(view)
            count = len(view) if count is None else count
            view = view[count:]
            written += count
    return written
