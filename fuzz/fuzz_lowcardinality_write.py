"""Sequences of LowCardinality write, clear, tell and pickling.

Input: byte 0 picks the element type, bit 0 of byte 1 makes the column
Nullable, byte 2 gives FixedString its length (1 to 16); then each byte is
an operation, taking the bytes of its value after it: write a value of the
type (or None), clear, tell, or replace the object by a pickled copy of it.
No write or tell may report a failure, every block that clear returns
must read back as the rows written since the last clear, and _encode_rows of
those values gives the block that writing them one by one into a new object
and clearing it gives (or, asked to take the first value's type only, that
block after a head, or None), as does writing them with the compiled codec.
"""

import io
import pickle
import struct
from datetime import date, datetime, timedelta

from quelvoran.common.dtypes import fast_elements
from quelvoran.common.dtypes.elements import ELEMENT_TYPES, make_codec
from quelvoran.common.dtypes.objects import lowcardinality
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality
from fuzz_support import reports, same_rows

EPOCH = date(1970, 1, 1)
EPOCH_NAIVE = datetime(1970, 1, 1)


class Input:
    def __init__(self, data):
        self.data, self.position = data, 0

    def take(self, n):
        chunk = self.data[self.position:self.position + n]
        self.position += len(chunk)
        return chunk.ljust(n, b"\0")

    def byte(self):
        return self.take(1)[0]

    def more(self):
        return self.position < len(self.data)


def make_value(name, length, source):
    """A value of the type and the row it must read back as."""
    if name == "String":
        value = source.take(source.byte() % 8).decode("utf-8", "surrogateescape")
        return value, value
    if name == "FixedString":
        # ASCII, so that characters and bytes count alike; longer values are
        # cut to the length, and trailing NULs do not read back.
        value = bytes(b & 0x7F for b in source.take(source.byte() % (length + 3))).decode()
        return value, value[:length].rstrip("\0")
    if name == "Date":
        value = EPOCH + timedelta(days=int.from_bytes(source.take(2), "little"))
        return value, value
    if name == "DateTime":
        value = EPOCH_NAIVE + timedelta(seconds=int.from_bytes(source.take(4), "little"))
        return value, value
    if name.startswith("Float"):
        value = struct.unpack("<f" if name == "Float32" else "<d", source.take(4 if name == "Float32" else 8))[0]
        return value, value
    width = int(name.lstrip("UInt")) // 8
    value = int.from_bytes(source.take(width), "little", signed=not name.startswith("U"))
    return value, value


def picklable(name, length, protocol):
    """Whether the element codec itself pickles: the object cannot without it."""
    try:
        pickle.dumps(make_codec(name, None, length), protocol)
    except Exception:
        return False
    return True


def read_back(block, name, length, nullable):
    # A block of no rows is written without dictionary entries, not even the
    # NULL entry that reading a Nullable column fills in, so reading refuses
    # it; the engine never writes a column of no rows.
    if nullable and len(block) == 32 and block[16:24] == bytes(8):
        return []
    stream = io.BytesIO(block)
    with reports() as reported:
        rows = LowCardinality(stream, make_codec(name, stream, length), nullable).read()
    assert not reported, f"reading a written block reported {reported}"
    assert stream.tell() == len(block), f"reading a written block stopped at {stream.tell()} of {len(block)}"
    return rows


def encode_rows_agrees(values, name, length, nullable):
    one_by_one = LowCardinality(None, make_codec(name, None, length), nullable)
    for value in values:
        one_by_one.write(value)
    block = one_by_one.clear()
    compiled = LowCardinality(None, fast_elements.make_codec(name, None, length), nullable)
    for value in values:
        compiled.write(value)
    assert compiled.clear() == block, f"write({values!r}) with the compiled codec"
    whole = LowCardinality(None, make_codec(name, None, length), nullable)
    assert lowcardinality._encode_rows(whole, list(values)) == block, f"_encode_rows({values!r})"
    # Under the type of the first value, the block is the same (after the
    # head given), or None when a row has another type (or is None in a
    # column that is not nullable).
    only_type = type(values[0]) if values else str
    taken = all(type(value) is only_type or value is None and nullable for value in values)
    typed = LowCardinality(None, make_codec(name, None, length), nullable)
    head = bytes(len(values) % 3)
    assert lowcardinality._encode_rows(typed, list(values), only_type, head) == (head + block if taken else None), \
        f"_encode_rows({values!r}, {only_type.__name__})"


def check(data):
    if len(data) < 3:
        return
    name = ELEMENT_TYPES[data[0] % len(ELEMENT_TYPES)]
    length = data[2] % 16 + 1 if name == "FixedString" else None
    nullable = bool(data[1] & 1)
    source = Input(data[3:])
    obj = LowCardinality(None, make_codec(name, None, length), nullable)
    rows, values = [], []
    while source.more():
        operation = source.byte()
        kind = operation % 8
        if kind < 5:
            if kind == 0 and name != "FixedString":
                value = None
                row = None if nullable else obj.default_value
            else:
                value, row = make_value(name, length, source)
            with reports() as reported:
                obj.write(value)
            assert not reported, f"write({value!r}) reported {reported}"
            rows.append(row)
            values.append(value)
        elif kind == 5:
            block = obj.clear()
            again = read_back(block, name, length, nullable)
            assert same_rows(again, rows), f"rows {rows!r} read back as {again!r}"
            encode_rows_agrees(values, name, length, nullable)
            rows, values = [], []
        elif kind == 6:
            with reports() as reported:
                size = obj.tell()
            assert not reported and size >= 32, f"tell gave {size} and reported {reported}"
        else:
            protocol = operation // 8 % (pickle.HIGHEST_PROTOCOL + 1)
            if picklable(name, length, protocol):
                obj = pickle.loads(pickle.dumps(obj, protocol))
    again = read_back(obj.clear(), name, length, nullable)
    assert same_rows(again, rows), f"rows {rows!r} read back as {again!r}"
    encode_rows_agrees(values, name, length, nullable)
