"""Element codecs for the LowCardinality tests.

They follow the element codec interface (name, length, is_nullable,
total_rows, read, skip, tell, write, clear), encode as the Native format does,
record every call in `calls`, and pickle by value (the pickle tests rely on it).
"""

import struct


def leb128(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def read_leb128(fileobj):
    value = shift = 0
    while True:
        byte = fileobj.read(1)[0]
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            return value
        shift += 7


class Codec:
    name = None

    def __init__(self, fileobj=None, length=None):
        self.fileobj = fileobj
        self.length = length
        self.is_nullable = True
        self.total_rows = 0
        self.buffer = bytearray()
        self.calls = []

    def read(self):
        self.calls.append(("read", self.total_rows))
        return [self.decode() for _ in range(self.total_rows)]

    def skip(self):
        self.calls.append(("skip", self.total_rows))
        for _ in range(self.total_rows):
            self.decode()

    def tell(self):
        self.calls.append(("tell",))
        return len(self.buffer)

    def write(self, value):
        self.calls.append(("write", value))
        data = self.encode(value)
        self.buffer += data
        return len(data)

    def clear(self):
        self.calls.append(("clear",))
        data = bytes(self.buffer)
        self.buffer.clear()
        return data

    def written(self):
        return [call[1] for call in self.calls if call[0] == "write"]


class String(Codec):
    name = "String"

    def encode(self, value):
        data = b"" if value is None else value if isinstance(value, bytes) else str(value).encode()
        return leb128(len(data)) + data

    def decode(self):
        return self.fileobj.read(read_leb128(self.fileobj)).decode()


class FixedString(Codec):
    name = "FixedString"

    def encode(self, value):
        data = b"" if value is None else value if isinstance(value, bytes) else value.encode()
        return data.ljust(self.length, b"\0")

    def decode(self):
        return self.fileobj.read(self.length)


class Integer(Codec):
    format = None

    def encode(self, value):
        return struct.pack(self.format, 0 if value is None else value)

    def decode(self):
        size = struct.calcsize(self.format)
        return struct.unpack(self.format, self.fileobj.read(size))[0]


class UInt32(Integer):
    name = "UInt32"
    format = "<I"


class Int8(Integer):
    name = "Int8"
    format = "<b"


class Float64(Integer):
    name = "Float64"
    format = "<d"


class Named(Codec):
    """A codec with any `name`, for construction tests."""

    def __init__(self, name, fileobj=None):
        super().__init__(fileobj)
        self.name = name

    def encode(self, value):
        return b"v"


WIDTH_CODES = {1: 0, 2: 1, 4: 2, 8: 3}


def header(width, code=None):
    """The 16-byte leading part of a block with row indexes `width` bytes wide."""
    return bytes([1, 0, 0, 0, 0, 0, 0, 0, WIDTH_CODES[width] if code is None else code, 6, 0, 0, 0, 0, 0, 0])


def block(payload, entries, indexes, width=1, rows=None, code=None):
    """A LowCardinality block: leading part, entry count, payload, row count, indexes."""
    count = len(indexes) if rows is None else rows
    return (header(width, code) + entries.to_bytes(8, "little") + payload + count.to_bytes(8, "little")
            + b"".join(index.to_bytes(width, "little") for index in indexes))


def strings(*values):
    """The String codec's encoding of `values`, in order."""
    return b"".join(String().encode(value) for value in values)
