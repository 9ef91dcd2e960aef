"""Element codecs that decode and encode whole columns in C++.

Each class here is the element codec of the same type in
:mod:`quelvoran.common.dtypes.elements` (the reference implementation), with
the same methods, results, errors and bytes, and with its per-value Python
work replaced by one call into :mod:`quelvoran.common.dtypes.columns`. The
compiled functions give None where the reference would raise, or where a
value is not of an exact builtin type they take as it is; the reference code
then runs on the same data, so results and error messages stay its own.
String reads a whole column at once when the stream is exactly an
``io.BytesIO`` (other streams go through the reference code from the same
stream position). The codecs can be handed to the ``LowCardinality`` class
like the reference codecs.

Every codec here also offers ``encode_column(values)``: the encoding of a
whole column of non-NULL values, or None when the reference codec must
encode it value by value. The String, integer, FixedString, Date, Date32 and
DateTime codecs also ``write`` single values in C++, through the method that
``columns.compiled_write`` makes, which hands every value it does not take
as it is to the inherited ``write``.
"""

from __future__ import annotations

import io
from typing import Any, Iterable

from quelvoran.common.dtypes import columns as bulk
from quelvoran.common.dtypes import elements

__all__ = [
    "Date32Codec",
    "DateCodec",
    "DateTime64Codec",
    "DateTimeCodec",
    "DecimalCodec",
    "EnumCodec",
    "FixedStringCodec",
    "FloatCodec",
    "IPv4Codec",
    "IPv6Codec",
    "IntegerCodec",
    "StringCodec",
    "UUIDCodec",
    "ZonedDateTimeCodec",
    "make_codec",
]


class _CompiledColumns:
    """The compiled column decoder in place of the per-value one.

    Subclasses (listed before their reference codec) define
    ``decode_column(data)``; when it gives None, the reference
    ``decode_values`` does the work.
    """

    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        raise NotImplementedError

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        raise NotImplementedError

    def decode_values(self, data: bytes) -> list[Any]:
        values = self.decode_column(data)
        return values if values is not None else super().decode_values(data)  # type: ignore[misc]


class _CompiledValues(_CompiledColumns):
    """Also single values through the compiled column encoder, for the types
    where one call into C++ costs less than the reference's Python."""

    __slots__ = ()

    def encode_value(self, value: Any) -> bytes:
        encoded = self.encode_column((value,))
        return encoded if encoded is not None else super().encode_value(value)  # type: ignore[misc]


class _NumberValues:
    """Decodes what the reference decodes through ``array``, without the
    copy of ``data`` that an array takes: ``data`` may view a larger buffer.
    What ``decode_numbers`` declines goes to the reference as bytes."""

    __slots__ = ()
    _typecode: str | None

    def decode_values(self, data: bytes | memoryview) -> list[Any]:
        values = None if self._typecode is None else bulk.decode_numbers(data, self._typecode)
        return values if values is not None else super().decode_values(bytes(data))  # type: ignore[misc]


class StringCodec(elements.StringCodec):
    __slots__ = ()

    def read(self) -> list[Any]:
        stream = self.fileobj
        if type(stream) is not io.BytesIO:
            return super().read()
        count = self.row_count()
        start = stream.tell()
        nulls = stream.read(count) if self.is_nullable else b""
        if len(nulls) == (count if self.is_nullable else 0):
            with stream.getbuffer() as held:
                decoded = bulk.decode_strings(held, start + len(nulls), count)
            if decoded is not None:
                values, end = decoded
                stream.seek(end)
                return bulk.apply_null_map(values, nulls) if self.is_nullable else values
        stream.seek(start)
        return super().read()

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_strings(values)

    def encode_value(self, value: Any) -> bytes:
        encoded = bulk.encode_strings((value,)) if type(value) in (str, bytes) else None
        return encoded if encoded is not None else super().encode_value(value)


class FixedStringCodec(_CompiledValues, elements.FixedStringCodec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_fixed_strings(data, self.length)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_fixed_strings(values, self.length)


class IntegerCodec(_NumberValues, elements.IntegerCodec):
    __slots__ = ()

    def decode_values(self, data: bytes | memoryview) -> list[Any]:
        if self.length > 8:
            return bulk.decode_integers(data, self.length, self.signed)
        return super().decode_values(data)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_integers(values, self.length, self.signed)


class FloatCodec(_NumberValues, elements.FloatCodec):
    __slots__ = ()

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_floats(values, self.length)


class DateCodec(_CompiledValues, elements.DateCodec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_dates(data)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_dates(values)


class DateTimeCodec(_CompiledValues, elements.DateTimeCodec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_datetimes(data)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_datetimes(values)


class ZonedDateTimeCodec(_CompiledValues, elements.ZonedDateTimeCodec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_zoned_datetimes(data, self.zone)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_datetimes(values)


class Date32Codec(_CompiledValues, elements.Date32Codec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_dates32(data)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_dates32(values)


class DateTime64Codec(_CompiledValues, elements.DateTime64Codec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_datetimes64(data, self.precision, self.zone)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_datetimes64(values, self.precision)


class DecimalCodec(_CompiledValues, elements.DecimalCodec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_decimals(data, self.length, self.scale)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_decimals(values, self.length, self.precision, self.scale)


class UUIDCodec(_CompiledValues, elements.UUIDCodec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_uuids(data)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_uuids(values)


class IPv4Codec(_CompiledValues, elements.IPv4Codec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_ipv4s(data)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_ipv4s(values)


class IPv6Codec(_CompiledColumns, elements.IPv6Codec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_ipv6s(data)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_ipv6s(values)


class EnumCodec(_CompiledColumns, elements.EnumCodec):
    __slots__ = ()

    def decode_column(self, data: bytes) -> list[Any] | None:
        return bulk.decode_enums(data, self.length, self.members)

    def encode_column(self, values: Iterable[Any]) -> bytes | None:
        return bulk.encode_enums(values, self.length, self._numbers)


# Their `write`, which LowCardinality calls twice for each distinct value of
# a block, in C++ for the values the compiled encoders take as they are.
for _codec, _kind in ((StringCodec, "string"), (IntegerCodec, "integer"), (FixedStringCodec, "fixed_string"),
                      (DateCodec, "date"), (Date32Codec, "date32"), (DateTimeCodec, "datetime"),
                      (ZonedDateTimeCodec, "datetime")):
    _codec.write = bulk.compiled_write(_codec, _kind)  # type: ignore[method-assign]
del _codec, _kind


def make_codec(name: str, fileobj: elements.Readable, length: int | None = None) -> elements.ElementCodec:
    """As :func:`quelvoran.common.dtypes.elements.make_codec`, with the fast
    codec of the type."""
    reference = elements.make_codec(name, fileobj, length)
    if isinstance(reference, elements.FixedStringCodec):
        return FixedStringCodec(fileobj, reference.length)
    if isinstance(reference, elements.IntegerCodec):
        return IntegerCodec(fileobj, name)
    if isinstance(reference, elements.FloatCodec):
        return FloatCodec(fileobj, name)
    fast = {"String": StringCodec, "Date": DateCodec, "DateTime": DateTimeCodec}[name]
    return fast(fileobj, reference.total_rows, reference.is_nullable)
