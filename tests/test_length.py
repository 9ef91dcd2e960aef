import io

import pytest

from quelvoran._testcapi import length as caller
from quelvoran.common import length

CONTEXT = "quelvoran.common.length.read_length"

WIRE = [
    (0, "00"),
    (127, "7f"),
    (128, "80 01"),
    (300, "ac 02"),
    (16384, "80 80 01"),
    (2**31, "80 80 80 80 08"),
    (2**32, "80 80 80 80 10"),
    (2**35, "80 80 80 80 80 01"),
    (2**63, "80 80 80 80 80 80 80 80 80 01"),
    (2**64 - 1, "ff ff ff ff ff ff ff ff ff 01"),
]


def test_capsules_are_published_in_order_under_their_signatures():
    assert list(length.__pyx_capi__) == ["read_length", "write_length"]
    names = {key: repr(capsule) for key, capsule in length.__pyx_capi__.items()}
    assert '"unsigned PY_LONG_LONG (PyObject *)"' in names["read_length"]
    assert '"PyObject *(unsigned PY_LONG_LONG)"' in names["write_length"]
    assert not [name for name in dir(length) if not name.startswith("__")]


@pytest.mark.parametrize("value, wire", WIRE)
def test_wire_table_both_ways(value, wire):
    encoded = bytes.fromhex(wire)
    assert caller.write_length(value) == encoded
    stream = io.BytesIO(encoded + b"\xaa")
    assert caller.read_length(stream) == value
    assert stream.tell() == len(encoded)


@pytest.mark.parametrize(
    "data, value, consumed",
    [
        (b"\x80\x00", 0, 2),
        (b"\xff" * 10 + b"\x01", 0, 10),
        (b"\xff" * 9 + b"\x02", 2**63 - 1, 10),
        (b"\xff" * 9 + b"\x7f", 2**64 - 1, 10),
    ],
)
def test_long_forms(unraisable, data, value, consumed):
    stream = io.BytesIO(data)
    assert caller.read_length(stream) == value
    assert stream.tell() == consumed
    assert unraisable.reports == []


def test_reads_one_byte_per_call(stream):
    source = stream(b"\xac\x02\x05")
    assert caller.read_length(source) == 300
    assert source.calls == [1, 1]


class Chunks:
    """A stream whose read(1) hands out the given objects in turn."""

    def __init__(self, *chunks):
        self.chunks = list(chunks)

    def read(self, n):
        assert n == 1
        chunk = self.chunks.pop(0)
        if isinstance(chunk, BaseException):
            raise chunk
        return chunk


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntSubclass(int):
    pass


@pytest.mark.parametrize(
    "fileobj, error, message",
    [
        (io.BytesIO(b""), IndexError, "index out of range"),
        (io.BytesIO(b"\x81"), IndexError, "index out of range"),
        (io.StringIO("a"), TypeError, "an integer is required"),
        (Chunks([None]), TypeError, "an integer is required"),
        (Chunks(None), TypeError, "'NoneType' object is not subscriptable"),
        (Chunks([-1]), OverflowError, "can't convert negative value to unsigned char"),
        (Chunks([256]), OverflowError, "value too large to convert to unsigned char"),
        (Chunks([2**100]), OverflowError, "value too large to convert to unsigned char"),
        (Chunks([IntLike(-5)]), OverflowError, "can't convert negative value to unsigned char"),
        (Chunks([IntLike(2**70)]), OverflowError, "value too large to convert to unsigned char"),
        (Chunks([IntLike("1")]), TypeError, "__int__ returned non-int (type str)"),
        (Chunks([IntLike(None)]), TypeError, "__int__ returned non-int (type NoneType)"),
        (Chunks(OSError("disk gone")), OSError, "disk gone"),
        (object(), AttributeError, "'object' object has no attribute 'read'"),
    ],
)
def test_failures_are_reported_as_unraisable_and_give_zero(unraisable, capsys, fileobj, error, message):
    assert caller.read_length(fileobj) == 0
    (error_type, error_message, context) = unraisable.only()
    assert (error_type, error_message, context) == (error, message, CONTEXT)
    assert f"{error.__name__}: {message}" in capsys.readouterr().err


def test_partial_value_is_discarded_on_failure(unraisable):
    assert caller.read_length(Chunks([0x81], IntLike("x"))) == 0
    assert len(unraisable.reports) == 1


def test_int_subclass_from_dunder_int_warns_and_is_used(unraisable):
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSubclass\)"):
        assert caller.read_length(Chunks([IntLike(IntSubclass(5))])) == 5
    assert unraisable.reports == []


def test_int_subclass_warning_as_error_is_reported(unraisable):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        assert caller.read_length(Chunks([IntLike(IntSubclass(5))])) == 0
    assert unraisable.only()[0] is DeprecationWarning


def test_read_is_looked_up_for_every_byte():
    class Rebinding:
        def __init__(self):
            self.looked_up = 0

        def __getattr__(self, name):
            self.looked_up += 1
            return lambda n: b"\x80" if self.looked_up < 3 else b"\x01"

    fileobj = Rebinding()
    assert caller.read_length(fileobj) == 1 << 14
    assert fileobj.looked_up == 3
