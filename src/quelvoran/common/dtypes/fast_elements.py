"""Element codecs that decode whole columns in C++.

Each class here is the element codec of the same type in
:mod:`quelvoran.common.dtypes.elements` (the reference implementation), with
the same methods, results, errors and bytes, and with its per-value Python
decoding replaced by one call into :mod:`quelvoran.common.dtypes.columns`:
for Date and DateTime always, for String when the stream is exactly an
``io.BytesIO`` (other streams, and any value the fast path does not take as it
is, go through the reference code from the same stream position). They can be
handed to the ``LowCardinality`` class like the reference codecs.
"""

from __future__ import annotations

import io
from typing import Any

from quelvoran.common.dtypes import columns as bulk
from quelvoran.common.dtypes import elements

__all__ = ["DateCodec", "DateTimeCodec", "StringCodec", "make_codec"]


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

    def encode_value(self, value: Any) -> bytes:
        encoded = bulk.encode_strings((value,)) if type(value) in (str, bytes) else None
        return encoded if encoded is not None else super().encode_value(value)


class DateCodec(elements.DateCodec):
    __slots__ = ()

    def decode_values(self, data: bytes) -> list[Any]:
        return bulk.decode_dates(data)


class DateTimeCodec(elements.DateTimeCodec):
    __slots__ = ()

    def decode_values(self, data: bytes) -> list[Any]:
        return bulk.decode_datetimes(data)


FAST: dict[str, type[elements.ElementCodec]] = {"String": StringCodec, "Date": DateCodec, "DateTime": DateTimeCodec}


def make_codec(name: str, fileobj: elements.Readable, length: int | None = None) -> elements.ElementCodec:
    """As :func:`quelvoran.common.dtypes.elements.make_codec`, with the fast
    codec of the type where there is one."""
    fast = FAST.get(name)
    if fast is None:
        return elements.make_codec(name, fileobj, length)
    reference = elements.make_codec(name, fileobj, length)
    return fast(fileobj, reference.total_rows, reference.is_nullable)
