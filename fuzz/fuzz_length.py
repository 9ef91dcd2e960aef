"""read_length (through the compiled caller) on arbitrary bytes.

The result and where the stream stops must be those of the LEB128 rule: up
to ten bytes, seven bits each, least significant group first, groups past
bit 63 dropped; 0 when the stream ends first (reported) or after ten
continuation bytes. A decoded value must encode back, by write_length, to
its shortest form, which decodes to it again.
"""

import io

from quelvoran._testcapi import length
from fuzz_support import reports

MASK = (1 << 64) - 1


def expected(data):
    """(value, bytes consumed, whether a failure is reported)."""
    value = shift = 0
    for position in range(10):
        if position == len(data):
            return 0, position, True
        byte = data[position]
        value = (value | (byte & 0x7F) << shift) & MASK
        if byte < 0x80:
            return value, position + 1, False
        shift += 7
    return 0, 10, False


def check(data):
    stream = io.BytesIO(data)
    with reports() as reported:
        value = length.read_length(stream)
    want, consumed, failed = expected(data)
    assert (value, stream.tell()) == (want, consumed), (
        f"read {value} up to byte {stream.tell()}, expected {want} up to byte {consumed}"
    )
    assert bool(reported) == failed, f"reports {reported}"
    encoded = length.write_length(value)
    with reports() as reported:
        again = length.read_length(io.BytesIO(encoded))
    assert again == value and not reported and (len(encoded) == 1 or encoded[-1] != 0), encoded.hex()
