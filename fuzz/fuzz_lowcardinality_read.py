"""LowCardinality.read and skip on arbitrary blocks.

Input: byte 0 picks the element type, bit 0 of byte 1 makes the column
Nullable, byte 2 gives FixedString its length (1 to 16); the rest is the
block. Any exception of read is an answer (the block is bad) except a
SystemError or a MemoryError; skip never raises. When read decodes the
block, skip must end where read ended, and without a report when read made
none; and the rows, written into a new block, must read back as they are.
"""

import io

from quelvoran.common.dtypes.elements import ELEMENT_TYPES, make_codec
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality
from fuzz_support import reports, same_rows

FATAL = (SystemError, MemoryError)


def column(data):
    """(element type, FixedString length or None, nullable, block)."""
    name = ELEMENT_TYPES[data[0] % len(ELEMENT_TYPES)]
    length = data[2] % 16 + 1 if name == "FixedString" else None
    return name, length, bool(data[1] & 1), data[3:]


def reader(block, name, length, nullable):
    stream = io.BytesIO(block)
    return LowCardinality(stream, make_codec(name, stream, length), nullable), stream


def read(block, name, length, nullable):
    """(rows or None when read raised, where the stream stopped, reports)."""
    obj, stream = reader(block, name, length, nullable)
    with reports() as reported:
        try:
            rows = obj.read()
        except FATAL:
            raise
        except Exception:
            rows = None
    return rows, stream.tell(), reported


def write(rows, name, length, nullable):
    obj = LowCardinality(None, make_codec(name, None, length), nullable)
    with reports() as reported:
        for row in rows:
            obj.write(row)
    assert not reported, f"writing rows that were read reported {reported}"
    return obj.clear()


def check(data):
    if len(data) < 3:
        return
    name, length, nullable, block = column(data)
    rows, end, read_reports = read(block, name, length, nullable)

    obj, stream = reader(block, name, length, nullable)
    with reports() as skip_reports:
        obj.skip()
    if rows is None:
        return
    assert stream.tell() == end, f"skip ended at {stream.tell()}, read at {end}"
    assert read_reports or not skip_reports, f"skip reported {skip_reports} on a block read decodes"

    if nullable and not rows:
        # A block of no rows is written without dictionary entries, not even
        # the NULL entry that reading a Nullable column fills in, so reading
        # refuses it; the engine never writes a column of no rows.
        return
    written = write(rows, name, length, nullable)
    again, end, reported = read(written, name, length, nullable)
    assert again is not None and not reported, f"a written block does not read back ({reported})"
    assert end == len(written), f"reading a written block stopped at {end} of {len(written)} bytes"
    assert same_rows(again, rows), f"rows {rows!r} read back as {again!r}"
