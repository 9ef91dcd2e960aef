"""Element codecs: plain ClickHouse column types in the Native format.

An element codec encodes and decodes the values of one plain column type on
a binary stream, exactly as the ClickHouse Native format lays them out:

========================  ====================================================
Type                      Encoding of one value
========================  ====================================================
String                    LEB128 byte count, then the bytes
FixedString(N)            exactly N bytes, zero-padded at the end
Date                      UInt16: days since 1970-01-01
DateTime                  UInt32: seconds since 1970-01-01 00:00:00 UTC
Int8 ... Int256           little-endian two's complement of 1 to 32 bytes
UInt8 ... UInt256         little-endian unsigned of 1 to 32 bytes
Float32, Float64          IEEE 754 binary32 / binary64, little-endian
========================  ====================================================

A column of ``total_rows`` values is the values one after the other. When the
codec is nullable the column is preceded by its null map: one byte per row,
1 for NULL, and every row, NULL or not, still carries a value (the type's
default value for a NULL). Reading takes any nonzero null-map byte as NULL.

Text: ``str`` values are encoded as UTF-8 and ``bytes`` values are taken as
they are. Decoding gives ``str``; bytes that are not valid UTF-8 are decoded
with the ``surrogateescape`` error handler (each such byte becomes a lone
surrogate U+DC80 to U+DCFF), and encoding uses the same handler, so any byte
string read from a stream is written back byte for byte. FixedString values
are decoded with their trailing NUL bytes removed (the padding cannot be told
apart from NULs that belonged to the value).

A codec reads from the stream it was given (``fileobj``, any object with a
``read(n)`` method returning bytes) and only ever asks it for what it needs,
so several codecs can take turns on one stream. Writing never touches the
stream: :meth:`ElementCodec.write` encodes into an internal buffer, and
:meth:`ElementCodec.clear` hands the buffer over as ``bytes``.
"""

from __future__ import annotations

import array
import operator
import struct
import sys
import decimal
import ipaddress
import uuid
from datetime import date, datetime, timedelta, timezone, tzinfo
from typing import Any, Callable, Final, Iterator, Protocol


class Readable(Protocol):
    """What a codec needs of its stream."""

    def read(self, n: int, /) -> bytes | bytearray | memoryview: ...


__all__ = [
    "ELEMENT_TYPES",
    "Date32Codec",
    "DateCodec",
    "DateTime64Codec",
    "DecimalCodec",
    "EnumCodec",
    "IPv4Codec",
    "IPv6Codec",
    "UUIDCodec",
    "DateTimeCodec",
    "ElementCodec",
    "FixedStringCodec",
    "FixedWidthCodec",
    "FloatCodec",
    "IntegerCodec",
    "StringCodec",
    "ZonedDateTimeCodec",
    "make_codec",
]

# Streams are asked for at most this many bytes at once, so that a corrupt
# count can never make us allocate more than the stream really holds.
MAX_READ: Final = 1 << 20

# A LEB128 value of up to 64 bits takes at most 10 bytes.
MAX_LEB128_BYTES: Final = 10
MAX_UINT64: Final = (1 << 64) - 1

EPOCH_DATE: Final = date(1970, 1, 1)
EPOCH_ORDINAL: Final = EPOCH_DATE.toordinal()
EPOCH_NAIVE: Final = datetime(1970, 1, 1)
EPOCH_UTC: Final = datetime(1970, 1, 1, tzinfo=timezone.utc)
MAX_DATE_DAYS: Final = 0xFFFF
MAX_DATETIME_SECONDS: Final = 0xFFFF_FFFF

TEXT_ERRORS: Final = "surrogateescape"

LITTLE_ENDIAN: Final = sys.byteorder == "little"


def array_typecode(kind: str, width: int) -> str | None:
    """The ``array`` typecode of a ``kind`` ("int", "uint", "float") of
    ``width`` bytes on this platform, or None if there is none."""
    candidates = {"int": "bhilq", "uint": "BHILQ", "float": "fd"}[kind]
    for code in candidates:
        if array.array(code).itemsize == width:
            return code
    return None


class PicklableStruct(struct.Struct):
    """A ``struct.Struct`` that pickles as its format. Codecs keep one, or its
    bound ``pack``, for speed, and must pickle with it; a plain Struct cannot
    be pickled."""

    __slots__ = ()

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.format,)


class ElementCodec:
    """Base of the element codecs: buffering, null map, stream reads.

    Attributes:
        name: the bare ClickHouse type name, e.g. "FixedString".
        length: byte width of one value, or None when values vary in size.
        is_nullable: whether columns carry a null map (``None`` is NULL).
        total_rows: how many values :meth:`read` and :meth:`skip` consume.
        fileobj: the stream that :meth:`read` and :meth:`skip` consume.

    Subclasses provide ``name``, ``length``, ``default_value`` (what None
    is written as), ``encode_value``, ``read`` and ``skip``.
    """

    name: str
    length: int | None
    default_value: Any

    __slots__ = ("fileobj", "is_nullable", "total_rows", "_values", "_null_map")

    def __init__(self, fileobj: Readable, total_rows: int = 0, is_nullable: bool = False) -> None:
        self.fileobj = fileobj
        self.total_rows = total_rows
        self.is_nullable = is_nullable
        self._values = bytearray()
        self._null_map = bytearray()

    def __getstate__(self) -> object:
        # Defined, not inherited, so that pickle protocols 0 and 1 also take
        # the slots (they refuse a slotted class that does not define it).
        return super().__getstate__()

    def __repr__(self) -> str:
        return (
            f"<{type(self).__name__} {self.type_string()} total_rows={self.total_rows!r}"
            f" is_nullable={self.is_nullable!r}>"
        )

    def type_string(self) -> str:
        """The type as ClickHouse writes it, e.g. "FixedString(16)"."""
        return self.name

    # Writing

    def encode_value(self, value: Any) -> bytes:
        """The encoding of one value of the type (never None)."""
        raise NotImplementedError

    def write(self, value: Any) -> int:
        """Encode one value into the buffer; return the bytes it added.

        None stands for NULL: it is encoded as the type's default value and,
        when the codec is nullable, marked in the null map. A value that
        cannot be encoded raises and leaves the buffer as it was.
        """
        encoded = self.encode_value(self.default_value if value is None else value)
        self._values += encoded
        if self.is_nullable:
            self._null_map.append(value is None)
            return len(encoded) + 1
        return len(encoded)

    def tell(self) -> int:
        """Bytes buffered by :meth:`write` and not yet taken by :meth:`clear`."""
        return len(self._null_map) + len(self._values)

    def clear(self) -> bytes:
        """Return the buffered column (null map first) and empty the buffer."""
        column = b"".join((self._null_map, self._values))
        self._values = bytearray()
        self._null_map = bytearray()
        return column

    # Reading

    def read(self) -> list[Any]:
        """Read ``total_rows`` values from ``fileobj``; NULL rows give None."""
        raise NotImplementedError

    def skip(self) -> None:
        """Move ``fileobj`` past ``total_rows`` values without decoding them."""
        raise NotImplementedError

    def row_count(self) -> int:
        """``total_rows`` checked: a non-negative integer."""
        count = operator.index(self.total_rows)
        if count < 0:
            raise ValueError(f"{self.type_string()}: total_rows must not be negative, got {count}")
        return count

    def read_chunk(self, n: int) -> bytes | bytearray | memoryview:
        """One ``fileobj.read(n)`` call, its result checked."""
        return self.checked_chunk(self.fileobj.read(n), n)

    def checked_chunk(self, chunk: Any, n: int) -> bytes | bytearray | memoryview:
        """``chunk``, the result of ``fileobj.read(n)``, if it is one."""
        if not isinstance(chunk, (bytes, bytearray, memoryview)):
            raise TypeError(
                f"{self.type_string()}: fileobj.read() returned {type(chunk).__name__}, expected bytes"
            )
        if len(chunk) > n:
            raise ValueError(
                f"{self.type_string()}: fileobj.read({n}) returned {len(chunk)} bytes"
            )
        return chunk

    def read_exact(self, n: int, what: str) -> bytes:
        """Exactly ``n`` bytes of the stream; EOFError if it ends sooner.

        One ``read`` call when the stream delivers at once, as files do;
        short reads are retried, and large counts are read in bounded chunks.
        """
        if n == 0:
            return b""
        return self.complete(self.fileobj.read(min(n, MAX_READ)), n, what)

    def complete(self, first: Any, n: int, what: str) -> bytes:
        """``first``, the result of a read of up to ``n`` bytes, checked and
        completed to exactly ``n`` bytes by further reads. An empty read
        means the stream has ended."""
        chunk = self.checked_chunk(first, n)
        if len(chunk) == n:
            return bytes(chunk)
        chunks = []
        received = 0
        while True:
            if not chunk:
                raise EOFError(
                    f"{self.type_string()}: stream ended in {what}:"
                    f" expected {n} bytes, got {received}"
                )
            chunks.append(bytes(chunk))
            received += len(chunk)
            if received == n:
                return b"".join(chunks)
            chunk = self.read_chunk(min(n - received, MAX_READ))

    def discard(self, n: int, what: str) -> None:
        """Move past ``n`` bytes of the stream, holding at most a chunk."""
        received = 0
        while received < n:
            chunk = self.read_chunk(min(n - received, MAX_READ))
            if not chunk:
                raise EOFError(
                    f"{self.type_string()}: stream ended in {what}:"
                    f" expected {n} bytes, got {received}"
                )
            received += len(chunk)


class FixedWidthCodec(ElementCodec):
    """A type whose values all take ``length`` bytes: read in one go."""

    length: int

    __slots__ = ()

    def decode_values(self, data: bytes) -> list[Any]:
        """Decode a whole column of values, ``len(data) // length`` of them."""
        raise NotImplementedError

    def read(self) -> list[Any]:
        count = self.row_count()
        if not self.is_nullable:
            return self.decode_values(self.read_exact(count * self.length, "the values"))
        data = self.read_exact(count * (self.length + 1), "the null map and values")
        values = self.decode_values(data[count:])
        return [None if is_null else value for is_null, value in zip(data[:count], values)]

    def skip(self) -> None:
        count = self.row_count()
        row_width = self.length + 1 if self.is_nullable else self.length
        self.discard(count * row_width, "the values")


def leb128(n: int) -> bytes:
    """The LEB128 encoding of a non-negative integer."""
    if n < 0x80:
        return bytes((n,))
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def text_bytes(value: Any, type_string: str) -> bytes:
    """The bytes of a text value: str as UTF-8, bytes-like as they are."""
    if isinstance(value, str):
        try:
            return value.encode("utf-8", TEXT_ERRORS)
        except UnicodeEncodeError as error:
            raise ValueError(f"{type_string} value {value!r} has no UTF-8 encoding: {error}") from error
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError(f"{type_string} value must be str or bytes, not {type(value).__name__}")


class StringCodec(ElementCodec):
    """String: LEB128 byte count, then the bytes; decoded to str."""

    name = "String"
    length = None
    default_value = ""

    __slots__ = ()

    def encode_value(self, value: Any) -> bytes:
        data = text_bytes(value, self.name)
        return leb128(len(data)) + data

    def read_size(self, head: Any) -> int:
        """The LEB128 byte count of the next value; ``head`` is the result
        of reading its first byte."""
        byte = self.complete(head, 1, "a String length")[0]
        size = byte & 0x7F
        shift = 7
        while byte >= 0x80:
            if shift == 7 * MAX_LEB128_BYTES:
                raise ValueError(f"String length runs over {MAX_LEB128_BYTES} bytes")
            byte = self.read_exact(1, "a String length")[0]
            size |= (byte & 0x7F) << shift
            shift += 7
        if size > MAX_UINT64:
            raise ValueError(f"String length does not fit 64 bits: {size}")
        return size

    def raw_values(self, count: int) -> Iterator[bytes]:
        """The bytes of the next ``count`` values, one value at a time."""
        read = self.fileobj.read
        # The common case (a one-byte length, a complete read) stays inline;
        # everything else goes through the checked helpers.
        for _ in range(count):
            head = read(1)
            if type(head) is bytes and len(head) == 1 and head[0] < 0x80:
                size = head[0]
            else:
                size = self.read_size(head)
            if size == 0:
                yield b""
            elif size > MAX_READ:
                yield self.read_exact(size, "a String value")
            else:
                data = read(size)
                if type(data) is not bytes or len(data) != size:
                    data = self.complete(data, size, "a String value")
                yield data

    def read(self) -> list[Any]:
        count = self.row_count()
        null_map = self.read_exact(count, "the null map") if self.is_nullable else None
        values = [data.decode("utf-8", TEXT_ERRORS) for data in self.raw_values(count)]
        if null_map is None:
            return values
        return [None if is_null else value for is_null, value in zip(null_map, values)]

    def skip(self) -> None:
        count = self.row_count()
        if self.is_nullable:
            self.discard(count, "the null map")
        for _ in self.raw_values(count):
            pass


class FixedStringCodec(FixedWidthCodec):
    """FixedString(N): N bytes, zero-padded; decoded without trailing NULs."""

    name = "FixedString"
    default_value = ""

    __slots__ = ("length",)

    def __init__(
        self, fileobj: Readable, length: int, total_rows: int = 0, is_nullable: bool = False
    ) -> None:
        if isinstance(length, bool):
            raise TypeError("FixedString length must be an int, not bool")
        length = operator.index(length)
        if length < 1:
            raise ValueError(f"FixedString length must be positive, got {length}")
        super().__init__(fileobj, total_rows, is_nullable)
        self.length = length

    def type_string(self) -> str:
        return f"FixedString({self.length})"

    def encode_value(self, value: Any) -> bytes:
        data = text_bytes(value, self.type_string())
        if len(data) > self.length:
            raise ValueError(
                f"{self.type_string()} value is {len(data)} bytes, more than {self.length}: {value!r}"
            )
        return data.ljust(self.length, b"\x00")

    def decode_values(self, data: bytes) -> list[Any]:
        n = self.length
        return [
            data[start:start + n].rstrip(b"\x00").decode("utf-8", TEXT_ERRORS)
            for start in range(0, len(data), n)
        ]


INTEGER_TYPES: Final = {
    f"{prefix}Int{bits}": (bits // 8, prefix == "")
    for prefix in ("", "U")
    for bits in (8, 16, 32, 64, 128, 256)
}


class IntegerCodec(FixedWidthCodec):
    """Int8 to Int256 and UInt8 to UInt256: little-endian, two's complement.

    Values are Python ints (or objects with ``__index__``); values outside
    the type's range raise OverflowError, floats and the like TypeError.
    """

    default_value = 0

    __slots__ = ("name", "length", "signed", "minimum", "maximum", "_typecode")

    def __init__(
        self, fileobj: Readable, name: str, total_rows: int = 0, is_nullable: bool = False
    ) -> None:
        try:
            width, signed = INTEGER_TYPES[name]
        except KeyError:
            raise ValueError(f"not an integer type: {name!r}") from None
        super().__init__(fileobj, total_rows, is_nullable)
        self.name = name
        self.length = width
        self.signed = signed
        bits = 8 * width
        self.minimum = -(1 << (bits - 1)) if signed else 0
        self.maximum = (1 << (bits - 1)) - 1 if signed else (1 << bits) - 1
        self._typecode = array_typecode("int" if signed else "uint", width) if width <= 8 else None

    def encode_value(self, value: Any) -> bytes:
        try:
            number = operator.index(value)
        except TypeError:
            raise TypeError(
                f"{self.name} value must be an integer, not {type(value).__name__}"
            ) from None
        if not self.minimum <= number <= self.maximum:
            raise OverflowError(
                f"{number} is out of range for {self.name}"
                f" ({self.minimum} to {self.maximum})"
            )
        return number.to_bytes(self.length, "little", signed=self.signed)

    def decode_values(self, data: bytes) -> list[Any]:
        if self._typecode is not None:
            values = array.array(self._typecode, data)
            if not LITTLE_ENDIAN:
                values.byteswap()
            return values.tolist()
        n = self.length
        from_bytes = int.from_bytes
        signed = self.signed
        return [
            from_bytes(data[start:start + n], "little", signed=signed)
            for start in range(0, len(data), n)
        ]


FLOAT_TYPES: Final = {"Float32": "f", "Float64": "d"}


class FloatCodec(FixedWidthCodec):
    """Float32 and Float64: IEEE 754, little-endian.

    Values are floats, ints or objects with ``__float__``; Float32 rounds to
    the nearest binary32 value, and a finite value beyond its range raises
    OverflowError (infinities and NaN are stored as they are).
    """

    default_value = 0.0

    __slots__ = ("name", "length", "_pack", "_typecode", "_format")

    def __init__(
        self, fileobj: Readable, name: str, total_rows: int = 0, is_nullable: bool = False
    ) -> None:
        try:
            code = FLOAT_TYPES[name]
        except KeyError:
            raise ValueError(f"not a float type: {name!r}") from None
        super().__init__(fileobj, total_rows, is_nullable)
        packer = PicklableStruct("<" + code)
        self.name = name
        self.length = packer.size
        self._pack: Callable[[Any], bytes] = packer.pack
        self._format = code
        self._typecode = array_typecode("float", packer.size)

    def encode_value(self, value: Any) -> bytes:
        if type(value) is float:
            try:
                return self._pack(value)
            except OverflowError:
                raise OverflowError(f"{value!r} is out of range for {self.name}") from None
        if not isinstance(value, (str, bytes, bytearray, memoryview)):
            try:
                return self._pack(float(value))
            except TypeError:
                pass
            except OverflowError:
                raise OverflowError(f"{value!r} is out of range for {self.name}") from None
        raise TypeError(f"{self.name} value must be a number, not {type(value).__name__}")

    def decode_values(self, data: bytes) -> list[Any]:
        if self._typecode is not None:
            values = array.array(self._typecode, data)
            if not LITTLE_ENDIAN:
                values.byteswap()
            return values.tolist()
        return list(struct.unpack(f"<{len(data) // self.length}{self._format}", data))


UINT16: Final = struct.Struct("<H")
UINT32: Final = struct.Struct("<I")


class DateCodec(FixedWidthCodec):
    """Date: UInt16 days since 1970-01-01 (1970-01-01 to 2149-06-06).

    Writes ``date`` objects; a ``datetime`` is written as its calendar date.
    """

    name = "Date"
    length = 2
    default_value = EPOCH_DATE

    __slots__ = ()

    def encode_value(self, value: Any) -> bytes:
        if not isinstance(value, date):
            raise TypeError(f"Date value must be a date, not {type(value).__name__}")
        days = value.toordinal() - EPOCH_ORDINAL
        if not 0 <= days <= MAX_DATE_DAYS:
            raise OverflowError(f"{value} is out of range for Date (1970-01-01 to 2149-06-06)")
        return UINT16.pack(days)

    def decode_values(self, data: bytes) -> list[Any]:
        from_ordinal = date.fromordinal
        return [from_ordinal(EPOCH_ORDINAL + days) for (days,) in UINT16.iter_unpack(data)]


class DateTimeCodec(FixedWidthCodec):
    """DateTime: UInt32 seconds since 1970-01-01 00:00:00 UTC.

    Writes ``datetime`` objects: naive ones are taken as UTC, aware ones are
    converted; fractions of a second are dropped (the type counts whole
    seconds). Reads naive datetimes in UTC, from 1970-01-01 00:00:00 to
    2106-02-07 06:28:15.
    """

    name = "DateTime"
    length = 4
    default_value = EPOCH_NAIVE

    __slots__ = ()

    def encode_value(self, value: Any) -> bytes:
        if not isinstance(value, datetime):
            raise TypeError(f"DateTime value must be a datetime, not {type(value).__name__}")
        if value.tzinfo is None:
            elapsed = value - EPOCH_NAIVE
        elif value.utcoffset() is None:
            elapsed = value.replace(tzinfo=None) - EPOCH_NAIVE
        else:
            elapsed = value - EPOCH_UTC
        seconds = elapsed.days * 86400 + elapsed.seconds
        if not 0 <= seconds <= MAX_DATETIME_SECONDS:
            raise OverflowError(
                f"{value} is out of range for DateTime"
                " (1970-01-01 00:00:00 to 2106-02-07 06:28:15 UTC)"
            )
        return UINT32.pack(seconds)

    def decode_values(self, data: bytes) -> list[Any]:
        return [EPOCH_NAIVE + timedelta(0, seconds) for (seconds,) in UINT32.iter_unpack(data)]


def as_utc(value: datetime) -> datetime:
    """A datetime as an aware datetime in UTC: naive ones are taken as UTC."""
    if value.tzinfo is None or value.utcoffset() is None:
        return value.replace(tzinfo=timezone.utc)
    return value.astimezone(timezone.utc)


class ZonedDateTimeCodec(DateTimeCodec):
    """DateTime('zone'): as DateTime, read as aware datetimes in ``zone``.

    Writes naive datetimes as UTC and aware ones converted, as DateTime does.
    """

    __slots__ = ("zone",)

    def __init__(self, fileobj: Readable, zone: tzinfo, total_rows: int = 0, is_nullable: bool = False) -> None:
        super().__init__(fileobj, total_rows, is_nullable)
        self.zone = zone

    def type_string(self) -> str:
        return f"DateTime('{self.zone}')"

    def decode_values(self, data: bytes) -> list[Any]:
        zone = self.zone
        return [
            (EPOCH_UTC + timedelta(0, seconds)).astimezone(zone) for (seconds,) in UINT32.iter_unpack(data)
        ]


INT32: Final = struct.Struct("<i")
INT64: Final = struct.Struct("<q")
DATE32_FIRST: Final = date(1900, 1, 1)
DATE32_LAST: Final = date(2299, 12, 31)


class Date32Codec(FixedWidthCodec):
    """Date32: Int32 days since 1970-01-01 (1900-01-01 to 2299-12-31)."""

    name = "Date32"
    length = 4
    default_value = EPOCH_DATE

    __slots__ = ()

    def encode_value(self, value: Any) -> bytes:
        if not isinstance(value, date):
            raise TypeError(f"Date32 value must be a date, not {type(value).__name__}")
        if isinstance(value, datetime):
            value = value.date()
        if not DATE32_FIRST <= value <= DATE32_LAST:
            raise OverflowError(f"{value} is out of range for Date32 (1900-01-01 to 2299-12-31)")
        return INT32.pack(value.toordinal() - EPOCH_ORDINAL)

    def decode_values(self, data: bytes) -> list[Any]:
        from_ordinal = date.fromordinal
        return [from_ordinal(EPOCH_ORDINAL + days) for (days,) in INT32.iter_unpack(data)]


class DateTime64Codec(FixedWidthCodec):
    """DateTime64(precision[, zone]): Int64 ticks of 10**-precision seconds
    since 1970-01-01 00:00:00 UTC.

    Reads naive datetimes in UTC, or aware ones in ``zone`` when it is set.
    A datetime holds microseconds: ticks finer than that are dropped when
    reading (rounded towards the past), and a value finer than the type's
    precision is cut to it when writing, as DateTime drops fractions.
    """

    name = "DateTime64"
    length = 8
    default_value = EPOCH_NAIVE

    __slots__ = ("precision", "zone")

    def __init__(
        self, fileobj: Readable, precision: int, zone: tzinfo | None = None,
        total_rows: int = 0, is_nullable: bool = False,
    ) -> None:
        if type(precision) is not int or not 0 <= precision <= 9:
            raise ValueError(f"DateTime64 precision must be 0 to 9, got {precision!r}")
        super().__init__(fileobj, total_rows, is_nullable)
        self.precision = precision
        self.zone = zone

    def type_string(self) -> str:
        return f"DateTime64({self.precision})" if self.zone is None else f"DateTime64({self.precision}, '{self.zone}')"

    def encode_value(self, value: Any) -> bytes:
        if not isinstance(value, datetime):
            raise TypeError(f"{self.type_string()} value must be a datetime, not {type(value).__name__}")
        elapsed = as_utc(value) - EPOCH_UTC
        microseconds = (elapsed.days * 86400 + elapsed.seconds) * 1_000_000 + elapsed.microseconds
        if self.precision >= 6:
            ticks = microseconds * 10 ** (self.precision - 6)
        else:
            ticks = microseconds // 10 ** (6 - self.precision)
        try:
            return INT64.pack(ticks)
        except struct.error:
            raise OverflowError(f"{value} is out of range for {self.type_string()}") from None

    def decode_values(self, data: bytes) -> list[Any]:
        scale = 10 ** abs(self.precision - 6)
        if self.precision >= 6:
            micros = [ticks // scale for (ticks,) in INT64.iter_unpack(data)]
        else:
            micros = [ticks * scale for (ticks,) in INT64.iter_unpack(data)]
        if self.zone is None:
            return [EPOCH_NAIVE + timedelta(microseconds=us) for us in micros]
        zone = self.zone
        return [(EPOCH_UTC + timedelta(microseconds=us)).astimezone(zone) for us in micros]


# Decimal values are exact: arithmetic on them never rounds below 76 digits.
DECIMAL_CONTEXT: Final = decimal.Context(prec=100, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)


def decimal_width(precision: int) -> int:
    """Bytes of a Decimal of ``precision`` digits (1 to 76)."""
    if not 1 <= precision <= 76:
        raise ValueError(f"Decimal precision must be 1 to 76, got {precision}")
    return 4 if precision <= 9 else 8 if precision <= 18 else 16 if precision <= 38 else 32


class DecimalCodec(FixedWidthCodec):
    """Decimal(P, S): a signed integer of 4 to 32 bytes, the value times 10**S.

    Writes ``decimal.Decimal``, int and float values that have at most S
    digits after the point and at most P digits in all; reads Decimal.
    """

    name = "Decimal"
    default_value = decimal.Decimal(0)

    __slots__ = ("precision", "scale", "length", "_limit")

    def __init__(
        self, fileobj: Readable, precision: int, scale: int, total_rows: int = 0, is_nullable: bool = False
    ) -> None:
        if type(precision) is not int or type(scale) is not int:
            raise TypeError("Decimal precision and scale must be ints")
        width = decimal_width(precision)
        if not 0 <= scale <= precision:
            raise ValueError(f"Decimal scale must be 0 to {precision}, got {scale}")
        super().__init__(fileobj, total_rows, is_nullable)
        self.precision = precision
        self.scale = scale
        self.length = width
        self._limit = 10 ** precision

    def type_string(self) -> str:
        return f"Decimal({self.precision}, {self.scale})"

    def encode_value(self, value: Any) -> bytes:
        if isinstance(value, decimal.Decimal):
            exact = value
        elif isinstance(value, int) and not isinstance(value, bool):
            exact = decimal.Decimal(value)
        elif isinstance(value, float):
            exact = decimal.Decimal(repr(value))
        else:
            raise TypeError(f"{self.type_string()} value must be a Decimal, int or float, not {type(value).__name__}")
        if not exact.is_finite():
            raise ValueError(f"{self.type_string()} cannot hold {value!r}")
        scaled = exact.scaleb(self.scale, DECIMAL_CONTEXT)
        if scaled != scaled.to_integral_value(context=DECIMAL_CONTEXT):
            raise ValueError(f"{value!r} has more than {self.scale} digits after the point for {self.type_string()}")
        number = int(scaled)
        if not -self._limit < number < self._limit:
            raise OverflowError(f"{value!r} is out of range for {self.type_string()}")
        return number.to_bytes(self.length, "little", signed=True)

    def decode_values(self, data: bytes) -> list[Any]:
        n = self.length
        exponent = -self.scale
        make = decimal.Decimal
        from_bytes = int.from_bytes
        return [
            make(from_bytes(data[start:start + n], "little", signed=True)).scaleb(exponent, DECIMAL_CONTEXT)
            for start in range(0, len(data), n)
        ]


class UUIDCodec(FixedWidthCodec):
    """UUID: two little-endian UInt64, the high half first."""

    name = "UUID"
    length = 16
    default_value = uuid.UUID(int=0)

    __slots__ = ()

    def encode_value(self, value: Any) -> bytes:
        if not isinstance(value, uuid.UUID):
            raise TypeError(f"UUID value must be a uuid.UUID, not {type(value).__name__}")
        raw = value.bytes
        return raw[7::-1] + raw[:7:-1]

    def decode_values(self, data: bytes) -> list[Any]:
        make = uuid.UUID
        halves = [data[start:start + 16] for start in range(0, len(data), 16)]
        return [make(bytes=raw[7::-1] + raw[:7:-1]) for raw in halves]


class IPv4Codec(FixedWidthCodec):
    """IPv4: the address as a little-endian UInt32."""

    name = "IPv4"
    length = 4
    default_value = ipaddress.IPv4Address(0)

    __slots__ = ()

    def encode_value(self, value: Any) -> bytes:
        if not isinstance(value, ipaddress.IPv4Address):
            raise TypeError(f"IPv4 value must be an ipaddress.IPv4Address, not {type(value).__name__}")
        return UINT32.pack(int(value))

    def decode_values(self, data: bytes) -> list[Any]:
        make = ipaddress.IPv4Address
        return [make(number) for (number,) in UINT32.iter_unpack(data)]


class IPv6Codec(FixedWidthCodec):
    """IPv6: the 16 bytes of the address in network order."""

    name = "IPv6"
    length = 16
    default_value = ipaddress.IPv6Address(0)

    __slots__ = ()

    def encode_value(self, value: Any) -> bytes:
        if not isinstance(value, ipaddress.IPv6Address):
            raise TypeError(f"IPv6 value must be an ipaddress.IPv6Address, not {type(value).__name__}")
        return value.packed

    def decode_values(self, data: bytes) -> list[Any]:
        make = ipaddress.IPv6Address
        return [make(data[start:start + 16]) for start in range(0, len(data), 16)]


class EnumCodec(FixedWidthCodec):
    """Enum8 and Enum16: Int8 or Int16 member values; read and written as
    member names (str).

    A number that names no member decodes to None: only a NULL row of a
    Nullable column may hold one, and callers check that. The value written
    for such a row (``default_value``) is the member with the lowest number.
    """

    __slots__ = ("name", "length", "members", "default_value", "_numbers", "_format")

    def __init__(
        self, fileobj: Readable, name: str, members: dict[int, str], total_rows: int = 0, is_nullable: bool = False
    ) -> None:
        if name not in ("Enum8", "Enum16"):
            raise ValueError(f"not an Enum type: {name!r}")
        if not members:
            raise ValueError(f"{name} needs at least one member")
        super().__init__(fileobj, total_rows, is_nullable)
        self.name = name
        self.length = 1 if name == "Enum8" else 2
        self.members = dict(members)
        self.default_value = self.members[min(self.members)]
        self._numbers = {member: number for number, member in self.members.items()}
        self._format = PicklableStruct("<b" if self.length == 1 else "<h")

    def encode_value(self, value: Any) -> bytes:
        try:
            return self._format.pack(self._numbers[value])
        except (KeyError, TypeError):
            raise ValueError(f"{value!r} is not a member of {self.name}") from None
        except struct.error:
            raise OverflowError(f"member number of {value!r} is out of range for {self.name}") from None

    def decode_values(self, data: bytes) -> list[Any]:
        member = self.members.get
        return [member(number) for (number,) in self._format.iter_unpack(data)]


ELEMENT_TYPES: Final = (
    "String",
    "Date",
    "DateTime",
    "FixedString",
    "Float32",
    "Float64",
    "Int128",
    "Int16",
    "Int256",
    "Int32",
    "Int64",
    "Int8",
    "UInt128",
    "UInt16",
    "UInt256",
    "UInt32",
    "UInt64",
    "UInt8",
)
"""The element types that have a codec, by bare type name."""


def make_codec(name: str, fileobj: Readable, length: int | None = None) -> ElementCodec:
    """A codec for the element type ``name`` (a bare name, e.g. "Int32").

    ``length`` is required for "FixedString" (its N). For the other types
    it may be given as their byte width (as type descriptors carry it) or
    None; any other value raises ValueError, as does an unknown name.
    """
    codec: ElementCodec
    if name == "FixedString":
        if length is None:
            raise ValueError("FixedString needs a length")
        return FixedStringCodec(fileobj, length)
    if name == "String":
        codec = StringCodec(fileobj)
    elif name == "Date":
        codec = DateCodec(fileobj)
    elif name == "DateTime":
        codec = DateTimeCodec(fileobj)
    elif name in FLOAT_TYPES:
        codec = FloatCodec(fileobj, name)
    elif name in INTEGER_TYPES:
        codec = IntegerCodec(fileobj, name)
    else:
        raise ValueError(f"no element codec for type {name!r}")
    if length is not None and length != codec.length:
        described = "variable-length" if codec.length is None else f"{codec.length} bytes wide"
        raise ValueError(f"{name} values are {described}; got length={length!r}")
    return codec
