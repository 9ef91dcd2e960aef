import io

import pytest

from quelvoran._testcapi import integers as caller
from quelvoran.common.dtypes.functions import integers


def test_capsules():
    assert list(integers.__pyx_capi__) == ["r_uint", "w_uint"]
    assert '"unsigned PY_LONG_LONG (PyObject *, unsigned char)"' in repr(integers.__pyx_capi__["r_uint"])
    assert '"PyObject *(unsigned PY_LONG_LONG, unsigned char)"' in repr(integers.__pyx_capi__["w_uint"])


@pytest.mark.parametrize("width", [1, 2, 4, 8])
@pytest.mark.parametrize("fraction", [0, 1, 2, 3])
def test_round_trip_little_endian(width, fraction):
    value = (2 ** (8 * width) - 1) * fraction // 3
    encoded = caller.w_uint(value, width)
    assert encoded == value.to_bytes(width, "little")
    stream = io.BytesIO(encoded + b"\xee")
    assert caller.r_uint(stream, width) == value
    assert stream.tell() == width


@pytest.mark.parametrize(
    "data, width, error, message",
    [
        (b"\x01", 2, EOFError, "expected 2 bytes of an unsigned integer, got 1"),
        (b"", 8, EOFError, "expected 8 bytes of an unsigned integer, got 0"),
        (b"\x01", 0, ValueError, "cannot read or write an unsigned integer of 0 bytes (unknown index width)"),
        (b"\x01" * 9, 9, ValueError, "unsigned integers are 1 to 8 bytes wide, not 9"),
    ],
)
def test_read_failures(data, width, error, message):
    with pytest.raises(error) as caught:
        caller.r_uint(io.BytesIO(data), width)
    assert str(caught.value) == message


@pytest.mark.parametrize("chunk", [None, "ab", 7])
def test_read_refuses_non_bytes(chunk):
    with pytest.raises(TypeError):
        caller.r_uint(type("S", (), {"read": lambda self, n: chunk})(), 2)


def test_read_accepts_bytes_like():
    assert caller.r_uint(type("S", (), {"read": lambda self, n: bytearray(b"\x02\x01")})(), 2) == 0x0102


@pytest.mark.parametrize(
    "value, width, error",
    [(256, 1, OverflowError), (2**32, 4, OverflowError), (1, 0, ValueError), (1, 9, ValueError)],
)
def test_write_failures(value, width, error):
    with pytest.raises(error):
        caller.w_uint(value, width)
