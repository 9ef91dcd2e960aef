import io
import math
import pickle
from datetime import date, datetime, timedelta, timezone

import pytest

from lowcardinality_model import lowcardinality_classes
from quelvoran.common.dtypes.elements import ELEMENT_TYPES, MAX_READ, make_codec

FIXED_LENGTH = 4

SAMPLES = {
    "String": ["", "abc", "ünïcödé", "x" * 300, "\udcff\udcc3"],
    "FixedString": ["", "ab", "abcd", "é", "\udcff"],
    "Date": [date(1970, 1, 1), date(2024, 2, 29), date(2149, 6, 6)],
    "DateTime": [datetime(1970, 1, 1), datetime(2024, 5, 6, 7, 8, 9), datetime(2106, 2, 7, 6, 28, 15)],
    "Float32": [0.0, 1.0, -2.5, math.inf, 3.4028234663852886e38, 1.401298464324817e-45],
    "Float64": [0.0, -0.0, 1e300, 5e-324, -math.inf, 0.1],
}
for bits in (8, 16, 32, 64, 128, 256):
    SAMPLES[f"Int{bits}"] = [-(1 << (bits - 1)), -1, 0, 1, (1 << (bits - 1)) - 1]
    SAMPLES[f"UInt{bits}"] = [0, 1, (1 << bits) - 1, 1 << (bits - 1)]

DEFAULTS = {"String": "", "FixedString": "", "Date": date(1970, 1, 1), "DateTime": datetime(1970, 1, 1),
            "Float32": 0.0, "Float64": 0.0}


def codec_for(name, fileobj=None):
    return make_codec(name, fileobj, FIXED_LENGTH if name == "FixedString" else None)


def encode(name, values, is_nullable=False):
    codec = codec_for(name)
    codec.is_nullable = is_nullable
    sizes = [codec.write(value) for value in values]
    assert codec.tell() == sum(sizes)
    data = codec.clear()
    assert len(data) == sum(sizes)
    assert codec.tell() == 0 and codec.clear() == b""
    return data


def decoder(name, data, rows, is_nullable=False, trailer=b"TAIL"):
    stream = io.BytesIO(data + trailer)
    codec = codec_for(name, stream)
    codec.is_nullable = is_nullable
    codec.total_rows = rows
    return codec, stream


def test_every_element_type_has_samples():
    assert sorted(SAMPLES) == sorted(ELEMENT_TYPES)


@pytest.mark.parametrize("is_nullable", [False, True], ids=["plain", "nullable"])
@pytest.mark.parametrize("name", ELEMENT_TYPES)
def test_round_trip_through_read_and_skip(name, is_nullable):
    values = [SAMPLES[name][0], None, *SAMPLES[name][1:], None]
    data = encode(name, values, is_nullable)

    codec, stream = decoder(name, data, len(values), is_nullable)
    decoded = codec.read()
    default = DEFAULTS.get(name, 0)
    assert decoded == [value if value is not None else None if is_nullable else default for value in values]
    assert [type(value) for value in decoded] == [
        type(value if value is not None or is_nullable else default) for value in values
    ]
    assert stream.read() == b"TAIL"

    codec, stream = decoder(name, data, len(values), is_nullable)
    assert codec.skip() is None
    assert stream.read() == b"TAIL"


def test_nan_round_trips():
    for name in ("Float32", "Float64"):
        codec, _ = decoder(name, encode(name, [math.nan]), 1)
        assert math.isnan(codec.read()[0])


KNOWN_ENCODINGS = [
    ("String", "abc", "03616263", "abc"),
    ("String", b"\xff\x00", "02ff00", "\udcff\x00"),
    ("String", "x" * 128, "8001" + "78" * 128, "x" * 128),
    ("String", "é", "02c3a9", "é"),
    ("FixedString", "ab", "61620000", "ab"),
    ("FixedString", b"a\x00b", "61006200", "a\x00b"),
    ("Int8", -1, "ff", -1),
    ("Int16", -2, "feff", -2),
    ("UInt32", 0x01020304, "04030201", 0x01020304),
    ("Int64", -(1 << 63), "0000000000000080", -(1 << 63)),
    ("UInt64", (1 << 64) - 1, "ff" * 8, (1 << 64) - 1),
    ("Int128", -(1 << 127), "00" * 15 + "80", -(1 << 127)),
    ("Int128", (1 << 127) - 1, "ff" * 15 + "7f", (1 << 127) - 1),
    ("UInt128", 1, "01" + "00" * 15, 1),
    ("Int256", -1, "ff" * 32, -1),
    ("UInt256", (1 << 256) - 1, "ff" * 32, (1 << 256) - 1),
    ("Date", date(1970, 1, 2), "0100", date(1970, 1, 2)),
    ("Date", datetime(1970, 1, 2, 23, 59), "0100", date(1970, 1, 2)),
    ("DateTime", datetime(1970, 1, 1, 0, 0, 1), "01000000", datetime(1970, 1, 1, 0, 0, 1)),
    ("DateTime", datetime(1970, 1, 1, 1, 0, 1, tzinfo=timezone(timedelta(hours=1))), "01000000",
     datetime(1970, 1, 1, 0, 0, 1)),
    ("DateTime", datetime(1970, 1, 1, 0, 0, 1, 999999), "01000000", datetime(1970, 1, 1, 0, 0, 1)),
    ("Float32", 1.0, "0000803f", 1.0),
    ("Float64", 1.0, "000000000000f03f", 1.0),
    ("Float64", -2, "00000000000000c0", -2.0),
    ("Float64", -0.0, "0000000000000080", -0.0),
]


@pytest.mark.parametrize("name, value, encoded, decoded", KNOWN_ENCODINGS)
def test_known_native_bytes(name, value, encoded, decoded):
    assert encode(name, [value]).hex() == encoded
    codec, stream = decoder(name, bytes.fromhex(encoded), 1)
    assert codec.read() == [decoded]
    assert stream.read() == b"TAIL"


def test_nullable_layout_puts_the_null_map_first():
    codec = codec_for("String")
    codec.is_nullable = True
    assert [codec.write(value) for value in ("a", None, "bc")] == [3, 2, 4]
    assert codec.tell() == 9
    assert codec.clear().hex() == "000100" + "0161" + "00" + "026263"


def test_undecodable_bytes_come_back_exactly():
    raw = [b"\xffo\xc3", b"\xed\xb3\xbf", b"\x80"]
    data = encode("String", raw)
    codec, _ = decoder("String", data, len(raw))
    decoded = codec.read()
    assert all(isinstance(value, str) for value in decoded)
    assert encode("String", decoded) == data

    fixed = encode("FixedString", raw)
    codec, _ = decoder("FixedString", fixed, len(raw))
    assert encode("FixedString", codec.read()) == fixed


def test_fixed_string_is_padded_and_stripped():
    assert encode("FixedString", ["a", b"", "ab\x00"]) == b"a\x00\x00\x00" + b"\x00" * 4 + b"ab\x00\x00"
    codec, _ = decoder("FixedString", b"\x00\x00\x00\x00a\x00b\x00", 2)
    assert codec.read() == ["", "a\x00b"]


UNENCODABLE = [
    ("Int8", 128, OverflowError),
    ("Int8", -129, OverflowError),
    ("UInt8", -1, OverflowError),
    ("UInt64", 1 << 64, OverflowError),
    ("Int128", 1 << 127, OverflowError),
    ("Int256", -(1 << 255) - 1, OverflowError),
    ("UInt256", 1 << 256, OverflowError),
    ("Int32", 1.5, TypeError),
    ("Int32", "1", TypeError),
    ("Float32", 1e39, OverflowError),
    ("Float64", 10 ** 400, OverflowError),
    ("Float64", "1.0", TypeError),
    ("Float64", object(), TypeError),
    ("Date", date(1969, 12, 31), OverflowError),
    ("Date", date(2149, 6, 7), OverflowError),
    ("Date", "2020-01-01", TypeError),
    ("DateTime", datetime(1969, 12, 31, 23, 59, 59), OverflowError),
    ("DateTime", datetime(2106, 2, 7, 6, 28, 16), OverflowError),
    ("DateTime", datetime(1970, 1, 1, tzinfo=timezone(timedelta(minutes=1))), OverflowError),
    ("DateTime", date(2020, 1, 1), TypeError),
    ("DateTime", 0, TypeError),
    ("String", 5, TypeError),
    ("String", "\ud800", ValueError),
    ("FixedString", "abcde", ValueError),
    ("FixedString", "éé€", ValueError),
    ("FixedString", 1, TypeError),
]


@pytest.mark.parametrize("name, value, error", UNENCODABLE,
                         ids=[f"{name}-{index}" for index, (name, _, _) in enumerate(UNENCODABLE)])
def test_unencodable_values_raise_and_leave_the_buffer_alone(name, value, error):
    codec = codec_for(name)
    codec.is_nullable = True
    with pytest.raises(error, match=name):
        codec.write(value)
    assert codec.tell() == 0 and codec.clear() == b""


@pytest.mark.parametrize("is_nullable", [False, True], ids=["plain", "nullable"])
@pytest.mark.parametrize("name", ELEMENT_TYPES)
def test_truncated_streams_raise_eof(name, is_nullable):
    values = SAMPLES[name][:2]
    data = encode(name, values, is_nullable)
    for cut in (0, 1, len(data) - 1):
        for operation in ("read", "skip"):
            codec, _ = decoder(name, data[:cut], len(values), is_nullable, trailer=b"")
            with pytest.raises(EOFError, match="stream ended"):
                getattr(codec, operation)()


@pytest.mark.parametrize("is_nullable, width", [(False, 8), (True, 9)], ids=["plain", "nullable"])
@pytest.mark.parametrize("operation", ["read", "skip"])
def test_fixed_width_columns_take_one_read(stream, operation, is_nullable, width):
    source = stream(encode("Int64", [1, None, 3], is_nullable) + b"rest")
    codec = make_codec("Int64", source)
    codec.is_nullable = is_nullable
    codec.total_rows = 3
    getattr(codec, operation)()
    assert source.calls == [3 * width]


def test_huge_counts_read_in_bounded_chunks(stream):
    for name, operation in [("UInt64", "read"), ("UInt64", "skip"), ("String", "read")]:
        source = stream(b"\x05" * (3 * MAX_READ))
        codec = make_codec(name, source)
        codec.total_rows = 1 << 62
        with pytest.raises(EOFError):
            getattr(codec, operation)()
        assert max(source.calls) <= MAX_READ


class Trickle:
    """A stream that hands out one byte per read, as raw sockets may."""

    def __init__(self, data):
        self.data = io.BytesIO(data)

    def read(self, n):
        return self.data.read(min(n, 1))


def test_short_reads_are_retried():
    for name in ("String", "Int32", "FixedString"):
        codec = codec_for(name, Trickle(encode(name, SAMPLES[name][:3], True)))
        codec.is_nullable = True
        codec.total_rows = 3
        assert codec.read() == SAMPLES[name][:3]


@pytest.mark.parametrize("name, data, error, message", [
    ("String", b"\x80" * 10 + b"\x00", ValueError, "over 10 bytes"),
    ("String", b"\xff" * 9 + b"\x7f", ValueError, "64 bits"),
])
def test_corrupt_string_lengths(name, data, error, message):
    codec, _ = decoder(name, data, 1)
    with pytest.raises(error, match=message):
        codec.read()


def test_longest_string_length_is_accepted_then_runs_out():
    codec, _ = decoder("String", b"\xff" * 9 + b"\x01", 1)
    with pytest.raises(EOFError, match="expected 18446744073709551615 bytes"):
        codec.read()


class BadStream:
    def __init__(self, result):
        self.result = result

    def read(self, n):
        return self.result


@pytest.mark.parametrize("result, error", [("ab", TypeError), (None, TypeError), (b"x" * 100, ValueError)])
@pytest.mark.parametrize("name", ["UInt16", "String"])
def test_misbehaving_streams(name, result, error):
    codec = make_codec(name, BadStream(result))
    codec.total_rows = 1
    with pytest.raises(error, match=r"fileobj\.read"):
        codec.read()


@pytest.mark.parametrize("rows", [-1, "3", 1.0])
def test_bad_total_rows(rows):
    codec = make_codec("UInt8", io.BytesIO(b"\x00" * 8))
    codec.total_rows = rows
    with pytest.raises((ValueError, TypeError)):
        codec.read()


def test_zero_rows_read_nothing(stream):
    for name in ELEMENT_TYPES:
        source = stream(b"")
        codec = codec_for(name, source)
        codec.is_nullable = True
        assert codec.read() == [] and codec.skip() is None


@pytest.mark.parametrize("name, length, codec_name, codec_length", [
    ("String", None, "String", None),
    ("FixedString", 16, "FixedString", 16),
    ("Date", None, "Date", 2),
    ("DateTime", 4, "DateTime", 4),
    ("Float32", None, "Float32", 4),
    ("Int256", 32, "Int256", 32),
    ("UInt8", None, "UInt8", 1),
])
def test_make_codec_attributes(name, length, codec_name, codec_length):
    codec = make_codec(name, None, length)
    assert (codec.name, codec.length, codec.is_nullable, codec.total_rows) == (
        codec_name, codec_length, False, 0)


@pytest.mark.parametrize("name, length, error", [
    ("FixedString", None, ValueError),
    ("FixedString", 0, ValueError),
    ("FixedString", "3", TypeError),
    ("FixedString(3)", None, ValueError),
    ("Nullable", None, ValueError),
    ("Decimal", None, ValueError),
    ("Int32", 8, ValueError),
    ("String", 0, ValueError),
])
def test_make_codec_refuses(name, length, error):
    with pytest.raises(error):
        make_codec(name, None, length)


def test_any_nonzero_null_map_byte_is_null():
    for name, data in [("UInt8", b"\x00\x02\x07\x09"), ("String", b"\x00\x02\x01a\x01b")]:
        codec, _ = decoder(name, data, 2, is_nullable=True)
        assert codec.read() == [7 if name == "UInt8" else "a", None]


@pytest.mark.parametrize("name, request_size", [("String", 1), ("UInt64", 8)])
def test_an_empty_read_ends_the_stream_at_once(stream, name, request_size):
    source = stream(b"")
    codec = make_codec(name, source)
    codec.total_rows = 1
    with pytest.raises(EOFError, match="expected .* got 0"):
        codec.read()
    assert source.calls == [request_size]


@pytest.mark.parametrize("lowcardinality", lowcardinality_classes())
@pytest.mark.parametrize("is_nullable", [False, True], ids=["plain", "nullable"])
@pytest.mark.parametrize("name", ELEMENT_TYPES)
def test_round_trip_through_a_lowcardinality_column(name, is_nullable, lowcardinality):
    rows = [*SAMPLES[name], None, SAMPLES[name][1], SAMPLES[name][0]]
    sink = io.BytesIO()
    writer = lowcardinality(sink, codec_for(name, sink), is_nullable)
    for row in rows:
        writer.write(row)
    source = io.BytesIO(writer.clear() + b"TAIL")
    reader = lowcardinality(source, codec_for(name, source), is_nullable)
    default = DEFAULTS.get(name, 0)
    assert reader.read() == [row if row is not None or is_nullable else default for row in rows]
    assert source.read() == b"TAIL"


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("lowcardinality", lowcardinality_classes())
@pytest.mark.parametrize("name", ELEMENT_TYPES)
def test_a_lowcardinality_block_under_way_survives_pickling(name, lowcardinality, protocol):
    rows = [*SAMPLES[name], None, SAMPLES[name][0]]
    half = len(rows) // 2
    writer = lowcardinality(None, codec_for(name), True)
    for row in rows[:half]:
        writer.write(row)
    restored = pickle.loads(pickle.dumps(writer, protocol))
    for column in (writer, restored):
        for row in rows[half:]:
            column.write(row)
    data = restored.clear()
    assert data == writer.clear()
    source = io.BytesIO(data)
    assert lowcardinality(source, codec_for(name, source), True).read() == rows
