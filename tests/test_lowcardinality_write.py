import io
import traceback

import pytest

from lowcardinality_codecs import FixedString, Int8, String, UInt32, block, header, strings
from quelvoran._testcapi import lowcardinality as capi
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

QUALIFIED = "quelvoran.common.dtypes.objects.lowcardinality.LowCardinality."


def writer(codec=None, nullable=False):
    codec = String() if codec is None else codec
    return LowCardinality(None, codec, nullable), codec


def read_back(data, codec_type, nullable, length=None):
    fileobj = io.BytesIO(data)
    obj = LowCardinality(fileobj, codec_type(fileobj, length), nullable)
    rows = obj.read()
    assert fileobj.read() == b""
    return rows


@pytest.mark.parametrize("nullable, value, dictionary, rows, result", [
    (False, "a", ["", "a"], ["a"], 32 + 1 + 2 + 1),
    (False, None, [""], [""], 32 + 1 + 1),
    (True, None, [None, ""], [None], 32 + 1 + 1 + 1),
    (True, "", [None, ""], [""], 32 + 1 + 1 + 1),
])
def test_first_write_starts_the_block(nullable, value, dictionary, rows, result):
    obj, codec = writer(nullable=nullable)
    assert obj.write(value) == result
    assert (obj.dictionary, obj.index_elements, obj.total_rows, obj.index_size) == (dictionary, rows, 1, 1)
    assert obj.size == result - 1 and codec.total_rows == 0


def test_repeated_value_adds_one_index_byte():
    obj, codec = writer()
    obj.write("a")
    assert [obj.write(v) for v in ("a", "", None, "bb")] == [1, 1, 1, 3 + 1]
    assert codec.written() == ["", "a", "bb"]


@pytest.mark.parametrize("nullable", [False, True])
def test_write_that_reaches_256_entries_widens_every_index(nullable):
    obj, _ = writer(UInt32(), nullable)
    reserved = 2 if nullable else 1
    results = [obj.write(value) for value in range(1, 256 - reserved)]
    assert len(obj.dictionary) == 255 and obj.index_size == 1 and results[-1] == 4 + 1
    assert obj.write(1000) == 4 + obj.total_rows + 1 and obj.index_size == 2


def test_non_nullable_sorted_block_layout():
    obj, codec = writer()
    for value in ("b", "a", "b"):
        obj.write(value)
    assert obj.dictionary == ["", "b", "a"]
    expected = block(strings("", "a", "b"), 3, [2, 1, 2])
    assert obj.tell() == len(expected)
    assert obj.clear() == expected
    # The reserved and new entries first, then the sorted pass after emptying the buffer.
    assert codec.calls[-6:] == [("clear",), ("write", ""), ("write", "a"), ("write", "b"), ("clear",), ("clear",)]


def test_nullable_sorted_block_keeps_none_first():
    obj, _ = writer(nullable=True)
    for value in ("b", None, "a", ""):
        obj.write(value)
    assert obj.dictionary == [None, "", "b", "a"]
    assert obj.clear() == block(strings(None, "", "a", "b"), 4, [3, 0, 2, 1])


def test_default_value_does_not_stay_first():
    obj, _ = writer(Int8())
    obj.write(-5)
    obj.write(3)
    assert obj.dictionary == [0, -5, 3]
    assert obj.clear() == block(bytes([0xFB, 0, 3]), 3, [0, 2])


def test_equal_values_share_one_entry():
    obj, _ = writer(UInt32())
    for value in (1, 1.0, True, 2):
        obj.write(value)
    assert obj.dictionary == [0, 1, 2] and obj.index_elements == [1, 1.0, True, 2]
    assert obj.clear() == block(bytes(4) + (1).to_bytes(4, "little") + (2).to_bytes(4, "little"), 3, [1, 1, 1, 2])


@pytest.mark.parametrize("values, kept", [(["abcdef", "abcxyz", "ab"], ["abc", "abc", "ab"]),
                                          ([b"abcdef", b"abcxyz"], [b"abc", b"abc"])])
def test_fixed_string_values_are_truncated(values, kept):
    obj, _ = writer(FixedString(length=3))
    for value in values:
        obj.write(value)
    assert obj.index_elements == kept and obj.dictionary == ["", *dict.fromkeys(kept)]


def test_fixed_string_block():
    obj, _ = writer(FixedString(length=3))
    for value in ("abcdef", "abcxyz", None):
        obj.write(value)
    assert read_back(obj.clear(), FixedString, False, 3) == [b"abc", b"abc", b"\0\0\0"]


def test_nullable_fixed_string_keeps_null_rows(unraisable):
    obj, _ = writer(FixedString(length=3), nullable=True)
    for value in (None, "abcdef", None):
        obj.write(value)
    assert obj.index_elements == [None, "abc", None] and unraisable.reports == []
    assert read_back(obj.clear(), FixedString, True, 3) == [None, b"abc", None]


@pytest.mark.parametrize("rows, code", [(1, 0), (255, 0), (256, 1), (300, 1), (65535, 1), (65536, 2)])
def test_row_count_decides_the_width_of_a_block(rows, code):
    obj, _ = writer(UInt32())
    for _ in range(rows):
        obj.write(7)
    assert obj.index_size == 1
    size = obj.tell()
    data = obj.clear()
    assert data[8] == code and len(data) == size == 32 + 8 + rows * (1 << code)
    assert read_back(data, UInt32, False) == [7] * rows


@pytest.mark.parametrize("rows, width", [
    (0, 1), (255, 1), (256, 2), (65535, 2), (65536, 4), (2 ** 32 - 1, 4), (2 ** 32, 8), (2 ** 64 - 1, 8)])
def test_index_width_bounds(rows, width):
    obj, _ = writer()
    obj.total_rows = rows
    assert capi.update_index_size(obj) == width and obj.index_size == width


@pytest.mark.parametrize("distinct, width", [(254, 1), (255, 2)])
def test_nullable_block_width_holds_the_largest_position(distinct, width):
    obj, _ = writer(UInt32(), nullable=True)
    values = list(range(1, distinct + 1))
    for value in values:
        obj.write(value)
    size = obj.tell()
    data = obj.clear()
    assert obj.index_size == 1 and len(data) == size and data[8] == {1: 0, 2: 1, 4: 2}[width]
    assert read_back(data, UInt32, True) == values


@pytest.mark.parametrize("rows, entries, width", [(65535, 65536, 2), (65535, 65537, 4), (300, 257, 2)])
def test_width_holds_a_position_beyond_the_row_count(rows, entries, width):
    obj, _ = writer(nullable=True)
    obj.total_rows, obj.dictionary = rows, [None] * entries
    assert capi.update_index_size(obj) == width


def test_clear_without_writes():
    obj, codec = writer()
    assert obj.clear() == header(1) + bytes(16)
    codec.buffer += b"left"
    assert obj.clear() == header(1) + bytes(8) + bytes(8)


def test_clear_resets_the_object():
    obj, codec = writer(nullable=True)
    dictionary, index_elements = obj.dictionary, obj.index_elements
    obj.write("a")
    obj._read_header = True
    obj.clear()
    assert (obj.total_rows, obj.size, obj.index_size, obj._read_header) == (0, 0, 1, False)
    assert obj.dictionary is dictionary == [] and obj.index_elements is index_elements == []
    assert codec.total_rows == 0 and codec.buffer == b""
    assert obj.write("b") == 32 + 1 + 1 + 2 + 1


@pytest.mark.parametrize("payload, name", [(None, "NoneType"), (bytearray(b"x"), "bytearray"), ("x", "str")])
def test_payload_of_the_wrong_type_keeps_the_block(payload, name):
    obj, codec = writer()
    obj.write("a")
    state = (list(obj.dictionary), list(obj.index_elements), obj.total_rows, obj.size)
    real_clear = codec.clear
    codec.clear = lambda: (real_clear(), payload)[1]
    with pytest.raises(TypeError, match=f"^Expected bytes, got {name}$") as excinfo:
        obj.clear()
    assert QUALIFIED + "clear" in [frame.name for frame in traceback.extract_tb(excinfo.tb)]
    assert (obj.dictionary, obj.index_elements, obj.total_rows, obj.size) == state
    codec.clear = real_clear
    assert obj.clear() == block(strings("", "a"), 2, [1])


@pytest.mark.parametrize("setup, error, message", [
    (lambda obj: setattr(obj, "dictionary", None), TypeError, "object of type 'NoneType' has no len()"),
    (lambda obj: obj.dictionary.append(b"x"), TypeError, None),
    (lambda obj: setattr(obj, "index_elements", None), TypeError, "'NoneType' object is not iterable"),
    (lambda obj: obj.index_elements.append("missing"), ValueError, "'missing' is not in list"),
])
def test_clear_failures_are_raised(setup, error, message):
    obj, _ = writer()
    obj.write("a")
    setup(obj)
    with pytest.raises(error) as excinfo:
        obj.clear()
    assert message is None or str(excinfo.value) == message
    assert obj.total_rows == 1


@pytest.mark.parametrize("setup, error, message", [
    (lambda obj: obj.__dict__.pop("default_value"), AttributeError, None),
    (lambda obj: setattr(obj, "dictionary", None), AttributeError, "'NoneType' object has no attribute 'clear'"),
    (lambda obj: (obj.write("a"), setattr(obj, "dictionary", None)), TypeError,
     "argument of type 'NoneType' is not iterable"),
    (lambda obj: (obj.write("a"), setattr(obj, "index_elements", None)), AttributeError,
     "'NoneType' object has no attribute 'append'"),
    (lambda obj: setattr(obj.dtype, "write", lambda value: -100), OverflowError,
     "can't convert negative value to unsigned PY_LONG_LONG"),
    (lambda obj: setattr(obj.dtype, "write", lambda value: "x"), TypeError, None),
])
def test_write_failures_are_reported_and_give_0(unraisable, setup, error, message):
    obj, _ = writer()
    setup(obj)
    assert obj.write("b") == 0
    reported_type, reported_message, context = unraisable.only()
    assert (reported_type, context) == (error, QUALIFIED + "write")
    assert message is None or reported_message == message


def test_codec_failure_on_a_new_value_keeps_the_row(unraisable):
    obj, codec = writer()
    obj.write("a")
    size = obj.size
    codec.write = lambda value: 1 / 0
    assert obj.write("b") == 0
    assert obj.index_elements == ["a", "b"] and obj.dictionary == ["", "a", "b"]
    assert obj.total_rows == 2 and obj.size == size


def test_failed_start_is_retried_by_the_next_write(unraisable):
    obj, codec = writer()
    real_write = codec.write
    codec.write = lambda value: 1 / 0
    assert obj.write("a") == 0 and obj.total_rows == 0
    codec.write = real_write
    assert obj.write("a") == 32 + 1 + 2 + 1 and obj.dictionary == ["", "a"]


def test_write_continues_a_block_set_up_by_construction():
    obj = LowCardinality(None, String(), False, 2)
    obj.size = 40
    assert obj.write("a") == 40 + 0 * 3 + 2 + 0 - (2 * 0 + 40) + 3 and obj.dictionary == ["a"]


def test_cleanup_reports_and_stops_at_the_first_failure(unraisable):
    obj, codec = writer()
    obj.write("a")
    codec.clear = lambda: 1 / 0
    capi.cleanup(obj)
    assert unraisable.only()[0::2] == (ZeroDivisionError, QUALIFIED + "_cleanup")
    assert obj.dictionary == [] and obj.index_elements == [] and obj.total_rows == 1
    del codec.clear  # the reported traceback keeps this frame, and so `obj`, alive


ROUND_TRIPS = [
    (String, False, ["x", None, "", "héllo", "x", "a" * 300]),
    (String, True, ["x", None, "", "héllo", None, "x"]),
    (UInt32, False, [5, 0, None, 2 ** 32 - 1, 5]),
    (UInt32, True, [5, 0, None, 2 ** 32 - 1, None]),
    (Int8, False, [-128, 127, 0, -1, None]),
    (Int8, True, [-128, None, 127, 0]),
    (UInt32, False, list(range(300)) * 2),
    (UInt32, True, list(range(1000))),
]


@pytest.mark.parametrize("codec_type, nullable, values", ROUND_TRIPS)
def test_round_trip(codec_type, nullable, values):
    obj, _ = writer(codec_type(), nullable)
    grown = sum(obj.write(value) for value in values)
    size = obj.tell()
    data = obj.clear()
    assert len(data) == size
    default = obj.default_value
    expected = values if nullable else [default if value is None else value for value in values]
    if obj.index_size == 1 and size < 2 ** 16:
        assert grown == size
    assert read_back(data, codec_type, nullable) == expected
