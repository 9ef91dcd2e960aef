"""The whole-column C++ decoders give exactly what the element codecs give."""

import decimal
import io
import ipaddress
import random
import sys
import struct
import uuid
import zoneinfo
from datetime import date, datetime, timedelta, timezone, tzinfo

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fresh_interpreter import run_python
from quelvoran.common.dtypes import columns as bulk
from quelvoran.common.dtypes import elements, fast_elements
from quelvoran.common.dtypes.elements import make_codec

try:
    import numpy
except ImportError:
    numpy = None

generator = random.Random(7)
TEXTS = ["", "a", "crème", "\udcff\udcfe", "x" * 200, "日本語", "\x00"] + [
    bytes(generator.randrange(256) for _ in range(generator.randrange(40))).decode("utf-8", "surrogateescape")
    for _ in range(200)
]


def codec_read(name, data, count):
    codec = make_codec(name, io.BytesIO(data))
    codec.total_rows = count
    return codec.read()


def test_strings_decode_and_encode_as_the_codec_does():
    codec = make_codec("String", None)
    data = b"".join(codec.encode_value(text) for text in TEXTS)
    assert bulk.encode_strings(TEXTS) == data
    assert bulk.encode_strings([text.encode("utf-8", "surrogateescape") for text in TEXTS]) == data
    assert bulk.decode_strings(b"pad" + data, 3, len(TEXTS)) == (codec_read("String", data, len(TEXTS)), 3 + len(data))


@pytest.mark.parametrize("values", [["a", 1], ["a", None], ["\ud800"], [bytearray(b"x")]])
def test_values_the_bulk_encoder_leaves_to_the_codec(values):
    assert bulk.encode_strings(values) is None


# Texts that differ in one byte only, at either edge or in the middle, of
# every length around the word sizes the decoder compares by.
NEAR_TEXTS = [
    bytes(text) for length in (*range(18), 23, 24, 25, 63, 64, 65, 200) for at in {0, length // 2, length - 1}
    for text in [bytearray(b"q" * length)] if length
    for text[at] in (ord("q"), ord("r"), 0xC3)
] + [b"", "crème".encode(), b"\xff\xfe", "日本".encode()]


def string_column(rows):
    return b"".join((bytes([len(row)]) if len(row) < 128 else bytes([len(row) & 0x7F | 0x80, len(row) >> 7])) + row
                    for row in rows)


@settings(max_examples=200, deadline=None)
@given(rows=st.lists(st.sampled_from(NEAR_TEXTS), max_size=3000), distinct_first=st.integers(0, 10_000),
       calls=st.integers(1, 3))
def test_repeated_strings_decode_to_one_equal_str(rows, distinct_first, calls):
    """Rows that repeat a text share one str, also over the calls given one
    table; the values are the codec's whatever the repeats, also after a run
    of distinct texts that stops the sharing or fills its table."""
    rows = [b"%d" % i for i in range(distinct_first)] + rows
    table = bulk.text_table() if calls > 1 else None
    cuts = [len(rows) * call // calls for call in range(calls + 1)]
    values = []
    for start, stop in zip(cuts, cuts[1:]):
        data = b"@" + string_column(rows[start:stop])
        part, end = bulk.decode_strings(data, 1, stop - start, table)
        assert end == len(data)
        values += part
    assert values == [row.decode("utf-8", "surrogateescape") for row in rows]
    if distinct_first == 0:
        shared = {}
        for row, value in zip(rows, values):
            if len(row) <= 64:
                assert shared.setdefault(row, value) is value


@pytest.mark.parametrize(
    "data, count, result",
    [
        (b"\x02ab", 2, None),
        (b"\x05ab", 1, None),
        (b"\x80", 1, None),
        (b"", 1, None),
        (b"\x01a", 10**18, None),
        (b"\xff" * 10 + b"\x01", 1, ValueError),
        (b"\x80\x00", 1, ([""], 2)),
        (b"\x83" + b"\x80" * 8 + b"\x02abc", 1, None),  # 2**64 + 3: no bits dropped
    ],
)
def test_truncated_and_corrupt_strings(data, count, result):
    if result is ValueError:
        with pytest.raises(ValueError, match="runs over 10 bytes"):
            bulk.decode_strings(data, 0, count)
    else:
        assert bulk.decode_strings(data, 0, count) == result


@pytest.mark.parametrize("data, offset, count, end", [
    (b"\x02ab\x00\x01c", 0, 3, 6), (b"\x00\x02ab", 1, 1, 4), (b"\x02ab", 0, 0, 0),
    (b"\x05ab", 0, 1, 6),  # the bytes of the last value need not be held
    (b"\x05ab", 0, 2, None), (b"\x80", 0, 1, None), (b"", 3, 1, None),
    (b"\x80" * 9 + b"\x00", 0, 1, 10),  # ten bytes, the value 0
    (b"\x80" * 9 + b"\x02", 0, 1, 2**63 - 1), (b"\x80" * 9 + b"\x02\x00", 0, 2, None),
    (b"\xff" * 10 + b"\x01", 0, 1, ValueError),
])
def test_skip_strings(data, offset, count, end):
    """skip_strings reads lengths as decode_strings does, without the values' bytes."""
    if end is ValueError:
        with pytest.raises(ValueError, match="runs over 10 bytes"):
            bulk.skip_strings(data, offset, count)
    else:
        assert bulk.skip_strings(data, offset, count) == end


@pytest.mark.parametrize("typecode", "bBhHiIlLqQfd")
def test_numbers_decode_as_array_does_from_any_buffer(typecode):
    import array

    width = array.array(typecode).itemsize
    data = bytes(generator.randrange(256) for _ in range(64 * width)) + bytes(width) + b"\xff" * width
    if typecode in "fd":
        data += struct.pack("<" + typecode, float("nan")) + struct.pack("<" + typecode, -0.0)
    expected = array.array(typecode, data)
    if sys.byteorder == "big":
        expected.byteswap()

    def exactly(numbers):
        return struct.pack(f"<{len(numbers)}d", *numbers) if typecode in "fd" else numbers

    assert exactly(bulk.decode_numbers(memoryview(b"pad" + data)[3:], typecode)) == exactly(expected.tolist())
    if width > 1:
        assert bulk.decode_numbers(data[:-1], typecode) is None
    # A codec whose typecode no longer fits its width leaves the view to the
    # reference, which decodes it as it decodes bytes.
    type_string = "Float32" if typecode in "fd" else "UInt8"
    codecs = [fast_elements.make_codec(type_string, None), make_codec(type_string, None)]
    for codec in codecs:
        codec._typecode = typecode
    assert outcome(codecs[0].decode_values, memoryview(data)[:7]) == outcome(codecs[1].decode_values, data[:7])


@pytest.mark.parametrize("typecode", ["u", "", "qq", 7, "\u0151"])
def test_numbers_decode_only_for_number_typecodes(typecode):
    with pytest.raises(ValueError):
        bulk.decode_numbers(b"", typecode)


@pytest.mark.parametrize("name, width, decode", [("Date", 2, bulk.decode_dates), ("DateTime", 4, bulk.decode_datetimes)])
def test_dates_and_datetimes_decode_as_the_codec_does(name, width, decode):
    top = (1 << (8 * width)) - 1
    numbers = [n for n in (0, 1, 59, 86399, 86400, 11016, 11017) if n < top] + [top - 1, top]
    numbers += [generator.randrange(top) for _ in range(2000)]
    data = b"".join(number.to_bytes(width, "little") for number in numbers)
    assert decode(data) == codec_read(name, data, len(numbers))
    with pytest.raises(ValueError, match="whole number"):
        decode(data[:-1])


def test_null_maps_take_any_nonzero_byte_as_null():
    values = list(range(6))
    assert bulk.apply_null_map(values, bytes([0, 1, 2, 0, 255, 0])) is values
    assert values == [0, None, None, 3, None, 5]
    with pytest.raises(ValueError):
        bulk.apply_null_map(values, b"\x00")


@pytest.mark.parametrize("parts", [[], [[]], [[1, "a"], [], [None, 2.5, (3,)]], "twice"])
def test_joined_lists_take_the_items_of_their_parts(parts):
    if parts == "twice":
        shared = [object(), "b"]
        parts, expected = [shared, shared, [7]], [*shared, 7]
    else:
        expected = [item for part in parts for item in part]
    owned = [item for item in expected if item is not None]
    counts = [sys.getrefcount(item) for item in owned]
    joined = bulk.join_lists(parts)
    assert joined == expected
    assert all(part == [] for part in parts)
    assert [sys.getrefcount(item) for item in owned] == counts
    assert bulk.has_none(expected) == any(item is None for item in expected)
    with pytest.raises(TypeError):
        bulk.join_lists([[1], (2,)])


@pytest.mark.parametrize("target, parts, expected", [
    ([], [[1, "a"], [], [None, 2.5]], 0),
    ([0], [[1], [2], [3]], 3),
    ([], [list(range(100))], 10**6),
    ([], [["x"], ["y"]], sys.maxsize),
])
def test_moved_items_grow_a_list_once_and_fit_it(target, parts, expected):
    want = target + [item for part in parts for item in part]
    owned = [item for item in want if item is not None]
    counts = [sys.getrefcount(item) for item in owned]
    for part in parts:
        assert bulk.move_items(target, part, expected) is None
        assert part == []
    assert target == want and [sys.getrefcount(item) for item in owned] == counts
    bulk.fit_list(target)
    assert sys.getsizeof(target) == sys.getsizeof([None] * len(want))
    target.append("more")


@pytest.mark.parametrize("arguments, error", [
    (([1], [1], 0), None), (([1],), TypeError), (([1], (2,), 0), TypeError), (([], [1], -1), ValueError),
])
def test_moved_items_are_refused_between_other_than_two_lists(arguments, error):
    if error is None:
        shared = list(arguments[0])
        arguments, error = (shared, shared, 0), TypeError
    with pytest.raises(error):
        bulk.move_items(*arguments)
    with pytest.raises(TypeError):
        bulk.fit_list((1,))


@pytest.mark.parametrize("values, uniques", [
    ([], []), (["a", None, "a", "b"] * 300, ["a", None, "b"]), ([str(i) for i in range(3000)], None),
])
def test_identity_codes_number_the_distinct_objects(values, uniques):
    result = bulk.identity_codes(values)
    if uniques is None:
        assert result is None
    else:
        codes, distinct = result
        assert distinct == uniques
        assert [distinct[code] for code in struct.unpack(f"<{len(values)}i", codes)] == values


def fast_and_reference_agree(name, data, count, nullable):
    outcomes = []
    for make in (make_codec, fast_elements.make_codec):
        stream = io.BytesIO(data)
        codec = make(name, stream)
        codec.total_rows, codec.is_nullable = count, nullable
        try:
            outcome = ("ok", codec.read())
        except Exception as error:
            outcome = (type(error), str(error))
        outcomes.append((outcome, stream.tell()))
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("nullable", [False, True])
@pytest.mark.parametrize("name", ["String", "Date", "DateTime"])
def test_fast_codecs_agree_with_the_reference_on_whole_and_cut_columns(name, nullable):
    values = TEXTS[:40] if name == "String" else [make_codec(name, None).default_value] * 5
    codec = make_codec(name, None)
    codec.is_nullable = nullable
    for value in values:
        codec.write(None if nullable and len(str(value)) % 3 == 0 else value)
    data = codec.clear()
    for cut in range(0, len(data) + 1, max(1, len(data) // 60)):
        fast_and_reference_agree(name, data[:cut], len(values), nullable)
    fast_and_reference_agree(name, data + b"tail", len(values), nullable)


@pytest.mark.parametrize(
    "name, length, values",
    [
        ("String", None, ["b", None, "a", "b"]),
        ("Int64", None, [3, None, -(2**63), 3]),
        ("UInt256", None, [2**255, None, 0, 2**255]),
        ("Float32", None, [0.5, None, -0.0, 0.5]),
        ("FixedString", 3, ["ab", None, "abc", "ab"]),
        ("DateTime", None, [datetime(2001, 2, 3, 4, 5, 6), None, datetime(1970, 1, 1), datetime(2001, 2, 3, 4, 5, 6)]),
    ],
)
def test_fast_codecs_serve_lowcardinality(name, length, values):
    from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

    blocks = []
    for make in (make_codec, fast_elements.make_codec):
        sink = io.BytesIO()
        writer = LowCardinality(sink, make(name, sink, length), True)
        for value in values:
            writer.write(value)
        blocks.append(writer.clear())
    assert blocks[0] == blocks[1]
    source = io.BytesIO(blocks[1])
    assert LowCardinality(source, fast_elements.make_codec(name, source, length), True).read() == values


# Every compiled codec against its reference codec.


class Int(int):
    pass


class Text(str):
    pass


class Moment(datetime):
    pass


class NoOffset(tzinfo):
    def utcoffset(self, value):
        return None


class Plus90(tzinfo):
    """A zone of Python code, reached through its fromutc as astimezone does."""

    def utcoffset(self, value):
        return timedelta(minutes=90)

    def dst(self, value):
        return timedelta(0)


BERLIN = zoneinfo.ZoneInfo("Europe/Berlin")
KOLKATA = zoneinfo.ZoneInfo("Asia/Kolkata")
D = decimal.Decimal
ODD = [None, "1", b"\x01", 1.5, True, Int(3), Text("a"), [], object()]
if numpy is not None:
    ODD += [numpy.int64(3), numpy.float64(0.5), numpy.int8(-1)]


def integer_case(name):
    width, signed = elements.INTEGER_TYPES[name]
    low, high = (-(1 << (8 * width - 1)), (1 << (8 * width - 1)) - 1) if signed else (0, (1 << 8 * width) - 1)
    return (name, "IntegerCodec", (name,), [low, high, low + 1, high - 1, 0, 1, -1, high + 1, low - 1, 2**300, False])


MOMENTS = [
    datetime(1970, 1, 1), datetime(2106, 2, 7, 6, 28, 15), datetime(2106, 2, 7, 6, 28, 16), datetime(1969, 12, 31, 23),
    datetime(2024, 3, 31, 2, 30, 0, 999999), datetime(2024, 10, 27, 2, 30, tzinfo=BERLIN),
    datetime(2024, 10, 27, 2, 30, fold=1, tzinfo=BERLIN), datetime(1970, 1, 1, 3, tzinfo=timezone(timedelta(hours=5))),
    datetime(2000, 1, 1, tzinfo=timezone.utc), datetime(2000, 1, 1, tzinfo=NoOffset()), datetime(1, 1, 1),
    datetime(9999, 12, 31, 23, 59, 59, 999999), datetime(1, 1, 1, tzinfo=timezone(timedelta(hours=1))),
    datetime(9999, 12, 31, 23, tzinfo=timezone(timedelta(hours=-2))), datetime(1900, 1, 1, 0, 0, 0, 1),
    Moment(2000, 1, 1), date(2000, 1, 1),
]
ENUM = {-128: "low", 0: "zero", 5: "a'b", 127: "high"}

CASES = [integer_case(f"{prefix}Int{bits}") for prefix in ("", "U") for bits in (8, 16, 32, 64, 128, 256)] + [
    ("Float32", "FloatCodec", ("Float32",),
     [0.0, -0.0, float("inf"), -float("inf"), float("nan"), 3.4028235e38, 3.4028236e38, 1e39, 1e-46, 7, 2**1024]),
    ("Float64", "FloatCodec", ("Float64",), [0.0, -0.0, float("inf"), float("nan"), 5e-324, 1.7976931348623157e308, 2**70]),
    ("FixedString", "FixedStringCodec", (5,), ["", "abc", "abcde", "abcdef", b"a\x00b", "\udcff", "\ud800", "é" * 3,
                                               bytearray(b"x")]),
    ("Date", "DateCodec", (), [date(1970, 1, 1), date(2149, 6, 6), date(2149, 6, 7), date(1969, 12, 31)] + MOMENTS),
    ("DateTime", "DateTimeCodec", (), MOMENTS),
    ("DateTime('Asia/Kolkata')", "ZonedDateTimeCodec", (KOLKATA,), MOMENTS),
    ("DateTime('UTC')", "ZonedDateTimeCodec", (timezone.utc,), MOMENTS),
    ("DateTime(Python zone)", "ZonedDateTimeCodec", (Plus90(),), MOMENTS + [datetime(2000, 1, 1, tzinfo=Plus90())]),
    ("Date32", "Date32Codec", (), [date(1900, 1, 1), date(2299, 12, 31), date(1899, 12, 31), date(2300, 1, 1)] + MOMENTS),
    *[(f"DateTime64({p})", "DateTime64Codec", (p,), MOMENTS) for p in range(10)],
    *[(f"DateTime64({p}, zone)", "DateTime64Codec", (p, BERLIN), MOMENTS) for p in (0, 3, 6, 9)],
    *[
        (f"Decimal({p}, {s})", "DecimalCodec", (p, s),
         [D(10**p - 1).scaleb(-s), -D(10**p - 1).scaleb(-s), D(10**p).scaleb(-s), D("1.5"), D("-0"), D("0E-9"),
          D("1E+2"), D("1.50"), D("NaN"), D("-Infinity"), D("0E+99999"), 0.1, 1e-7, 1e16, 10**p - 1, -(10**p), 7, -0.0,
          decimal.Decimal(2**130)])
        for p, s in ((1, 0), (9, 2), (18, 18), (38, 10), (39, 1), (76, 0), (76, 38))
    ],
    ("UUID", "UUIDCodec", (), [uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.UUID(int=2**64 + 5),
                               uuid.UUID("12345678-1234-5678-1234-567812345678")]),
    ("IPv4", "IPv4Codec", (), [ipaddress.IPv4Address(0), ipaddress.IPv4Address("192.168.1.2"),
                               ipaddress.IPv4Address(2**32 - 1), ipaddress.IPv6Address(1)]),
    ("IPv6", "IPv6Codec", (), [ipaddress.IPv6Address(0), ipaddress.IPv6Address("2001:db8::1"),
                               ipaddress.IPv6Address(2**128 - 1), ipaddress.IPv6Address("fe80::1%eth0"),
                               ipaddress.IPv4Address(1)]),
    ("Enum8", "EnumCodec", ("Enum8", ENUM), list(ENUM.values()) + ["nope", 5]),
    ("Enum16", "EnumCodec", ("Enum16", {-32768: "low", 300: "mid", 32767: "high"}), ["low", "mid", "high", "x"]),
]


def taken_as_it_is(value):
    """Whether the compiled encoders take a value without the reference's help."""
    if type(value) is datetime and value.tzinfo is not None:
        return type(value.tzinfo) in (timezone, zoneinfo.ZoneInfo)
    if type(value) is D:  # up to 38 digits, at a sane exponent
        return len(value.as_tuple().digits) <= 38 and abs(value.as_tuple().exponent) <= 1000
    return type(value) in (int, float, str, bytes, D, date, datetime, uuid.UUID, ipaddress.IPv4Address,
                           ipaddress.IPv6Address)


def make_pair(class_name, arguments):
    return [getattr(module, class_name)(None, *arguments) for module in (elements, fast_elements)]


def outcome(function, *arguments, **keywords):
    try:
        result = function(*arguments, **keywords)
    except Exception as error:
        return type(error), str(error)
    if isinstance(result, list):
        return [(type(value), repr(value), getattr(value, "is_safe", None)) for value in result]
    return result


@pytest.mark.parametrize("type_string, class_name, arguments, values", CASES, ids=[case[0] for case in CASES])
def test_compiled_codecs_encode_as_the_reference_does(type_string, class_name, arguments, values):
    reference, fast = make_pair(class_name, arguments)
    values = values + ODD
    expected = [outcome(reference.encode_value, value) for value in values]
    assert [outcome(fast.encode_value, value) for value in values] == expected
    good = [(value, encoded) for value, encoded in zip(values, expected) if type(encoded) is bytes]
    assert fast.encode_column([value for value, _ in good]) in (None, b"".join(encoded for _, encoded in good))
    exact = [(value, encoded) for value, encoded in good if taken_as_it_is(value)
             and not (class_name == "DecimalCodec" and abs(int.from_bytes(encoded, "little", signed=True)) >= 2**127)]
    assert fast.encode_column([value for value, _ in exact]) == b"".join(encoded for _, encoded in exact)
    for value, encoded in zip(values, expected):
        if type(encoded) is not bytes:
            assert fast.encode_column(good + [value]) is None, value


@pytest.mark.parametrize("nullable", [False, True])
@pytest.mark.parametrize("type_string, class_name, arguments, values", CASES, ids=[case[0] for case in CASES])
def test_compiled_codecs_decode_as_the_reference_does(type_string, class_name, arguments, values, nullable):
    reference, _ = make_pair(class_name, arguments)
    encoded = []
    for value in values:
        try:
            encoded.append(reference.encode_value(value))
        except Exception:
            pass
    width = reference.length
    rows = 40
    noise = bytes(generator.randrange(256) for _ in range(rows * width))
    extremes = b"".join(bytes([fill]) * width for fill in (0x00, 0xFF, 0x7F, 0x80))
    nulls = bytes(row % 3 == 0 for row in range(rows)) if nullable else b""
    for data in (b"".join(encoded), noise, extremes):
        count = len(data) // width
        column = nulls[:count] + data
        for cut in sorted({0, 1, len(column) - 1, len(column), len(column) + 5}):
            source = (column + b"tail")[:cut] if cut > len(column) else column[:cut]
            results = []
            for codec in make_pair(class_name, arguments):
                stream = codec.fileobj = io.BytesIO(source)
                codec.total_rows, codec.is_nullable = count, nullable
                results.append((outcome(codec.read), stream.tell()))
            assert results[0] == results[1], (data, cut)


@settings(max_examples=300, deadline=None)
@given(case=st.sampled_from(CASES), rows=st.binary(max_size=8 * 32 * 4))
def test_compiled_decoders_agree_on_any_bytes(case, rows):
    _, class_name, arguments, _ = case
    outcomes = []
    for codec in make_pair(class_name, arguments):
        data = rows[: len(rows) // codec.length * codec.length]
        outcomes.append(outcome(codec.decode_values, data))
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize(
    "offsets, error",
    [([], None), ([0, 0, 3, 3, 2**64 - 1], None), ([1, 0], "array offsets go backwards: 0 after 1"),
     ([5, 7, 6], "array offsets go backwards: 6 after 7")],
)
def test_offsets_decode_checked_and_encode_from_sizes(offsets, error):
    data = b"".join(offset.to_bytes(8, "little") for offset in offsets)
    if error:
        with pytest.raises(ValueError, match=error):
            bulk.decode_offsets(data)
        return
    assert bulk.decode_offsets(data) == offsets
    sizes = [b - a for a, b in zip([0] + offsets, offsets)]
    assert bulk.encode_offsets(sizes) == bulk.encode_offsets(iter(sizes)) == data


@pytest.mark.parametrize(
    "type_string, column, data, message",
    [
        ("Enum8('a' = 1, 'b' = 2)", ["a", "b"], b"\x01\x07", "row 1 holds a number that is no member of Enum8"),
        ("Array(Int32)", [[1, 2], [3]], (3).to_bytes(8, "little") + (2).to_bytes(8, "little") + bytes(12),
         "array offsets go backwards: 2 after 3"),
        ("Decimal(9, 2)", [decimal.Decimal("1.5")], b"\x00\x00", r"Decimal\(9, 2\): stream ended in the values"),
    ],
)
def test_native_columns_keep_their_checks(type_string, column, data, message):
    from quelvoran import native

    block = b"".join(native.encode_blocks(native.Table(["c"], [type_string], [column])))
    assert native.read(block).columns == [column]
    header = block[: block.index(type_string.encode()) + len(type_string)]
    with pytest.raises(native.NativeError, match=message):
        native.read(header + data)


# The compiled `write` of the element codecs against the inherited one.


class SubclassedEncoder(fast_elements.IntegerCodec):
    __slots__ = ()

    def encode_value(self, value):
        return b"<" + super().encode_value(value) + b">"


class Unslotted(fast_elements.StringCodec):
    """Instances with a dict, which could shadow the class's encode_value."""


class Exported(fast_elements.StringCodec):
    __slots__ = ("export",)


def held_export(codec):
    codec.export = memoryview(codec._values)


def held_export_with_room(codec):
    codec._values = bytearray(b"x" * 16)
    del codec._values[-4:]  # four bytes of room, which a view then holds
    held_export(codec)


F = fast_elements
CODEC_CHANGES = {  # codec class, its arguments, change made to each codec
    "String": (F.StringCodec, (), None),
    "UInt32": (F.IntegerCodec, ("UInt32",), None),
    "Int8": (F.IntegerCodec, ("Int8",), None),
    "Int128": (F.IntegerCodec, ("Int128",), None),
    "UInt256": (F.IntegerCodec, ("UInt256",), None),
    "FixedString(3)": (F.FixedStringCodec, (3,), None),
    "Date": (F.DateCodec, (), None),
    "Date32": (F.Date32Codec, (), None),
    "DateTime": (F.DateTimeCodec, (), None),
    "DateTime('Asia/Kolkata')": (F.ZonedDateTimeCodec, (KOLKATA,), None),
    "values are bytes": (F.IntegerCodec, ("UInt32",), lambda codec: setattr(codec, "_values", b"")),
    "values held by a view": (Exported, (), held_export),
    "values with room held by a view": (Exported, (), held_export_with_room),
    "instance shadows encode_value": (Unslotted, (), lambda codec: setattr(codec, "encode_value", lambda value: b"!")),
    "subclass encodes": (SubclassedEncoder, ("UInt16",), None),
    "narrower range": (F.IntegerCodec, ("UInt32",), lambda codec: setattr(codec, "maximum", 2)),
    "range past the width": (F.IntegerCodec, ("UInt8",), lambda codec: setattr(codec, "maximum", 2**40)),
    "signed an int": (F.IntegerCodec, ("Int16",), lambda codec: setattr(codec, "signed", 1)),
    "length a str": (F.IntegerCodec, ("Int16",), lambda codec: setattr(codec, "length", "2")),
    "no minimum": (F.IntegerCodec, ("Int16",), lambda codec: delattr(codec, "minimum")),
    "FixedString length a bool": (F.FixedStringCodec, (3,), lambda codec: setattr(codec, "length", True)),
    "FixedString length 0": (F.FixedStringCodec, (3,), lambda codec: setattr(codec, "length", 0)),
    "nullable by truth": (F.StringCodec, (), lambda codec: setattr(codec, "is_nullable", [1])),
    "null map gone": (F.StringCodec, (), lambda codec: setattr(codec, "_null_map", None)),
}
WRITTEN = [0, 1, 2, 200, -1, -(2**15), 2**32 - 1, 2**32, 2**127, -(2**255), 2**256 - 1, 2**300, True, 2.0, Int(3),
           None, "", "ab", "abcd", "crème", "\udcff", "x" * 200, b"\x00\xff", Text("a"), bytearray(b"x"), object(),
           date(1970, 1, 1), date(2149, 6, 7), date(1899, 12, 31), *MOMENTS]


@pytest.mark.parametrize("nullable", [False, True])
@pytest.mark.parametrize("codec_class, arguments, change", CODEC_CHANGES.values(), ids=CODEC_CHANGES.keys())
def test_compiled_write_does_what_the_inherited_write_does(codec_class, arguments, change, nullable):
    def run(write):
        codec = codec_class(None, *arguments)
        codec.is_nullable = nullable
        if change:
            change(codec)
        results = [outcome(write, codec, value) for value in WRITTEN]
        return results, outcome(lambda: bytes(codec._null_map) + bytes(codec._values))

    assert run(codec_class.write) == run(elements.ElementCodec.write)


def test_compiled_write_binds_any_number_of_classes():
    classes = [type(f"Codec{i}", (fast_elements.IntegerCodec,), {"__slots__": ()}) for i in range(40)]
    for cls in classes:
        cls.write = bulk.compiled_write(cls, "integer")
    codecs = [cls(None, "UInt16") for cls in classes]
    assert [codec.write(258) for codec in codecs] == [2] * 40
    assert {codec.clear() for codec in codecs} == {b"\x02\x01"}


@pytest.mark.parametrize("arguments, keywords", [((), {}), ((1, 2), {}), ((), {"value": 5}), ((5,), {"other": 1})])
def test_compiled_write_takes_arguments_as_the_inherited_write_does(arguments, keywords):
    codecs = [fast_elements.IntegerCodec(None, "UInt8") for _ in range(2)]
    assert outcome(codecs[0].write, *arguments, **keywords) == outcome(
        elements.ElementCodec.write, codecs[1], *arguments, **keywords)
    assert codecs[0].clear() == codecs[1].clear()


@pytest.mark.parametrize(
    "function, arguments, error",
    [
        (bulk.decode_integers, (bytes(16), 8, True), ValueError),
        (bulk.decode_integers, (bytes(16), 24, True), ValueError),
        (bulk.decode_integers, (bytes(15), 16, True), ValueError),
        (bulk.encode_integers, ([1], 3, True), ValueError),
        (bulk.encode_floats, ([1.0], 2), ValueError),
        (bulk.decode_zoned_datetimes, (bytes(4), "UTC"), TypeError),
        (bulk.decode_datetimes64, (bytes(8), 10, None), ValueError),
        (bulk.encode_datetimes64, ([], -1), ValueError),
        (bulk.decode_decimals, (bytes(2), 2, 0), ValueError),
        (bulk.encode_decimals, ([], 4, 9, 10), ValueError),
        (bulk.decode_enums, (bytes(2), 2, [(1, "a")]), TypeError),
        (bulk.decode_enums, (bytes(3), 3, {1: "a"}), ValueError),
        (bulk.encode_enums, (["a"], 1, None), TypeError),
        (bulk.decode_fixed_strings, (b"", 0), ValueError),
        (bulk.decode_uuids, ("not bytes",), TypeError),
        (bulk.encode_offsets, (["1"],), TypeError),
        (bulk.encode_offsets, ([-1],), OverflowError),
        (bulk.encode_offsets, ([2**63, 2**63],), OverflowError),
        (bulk.encode_uuids, (5,), TypeError),
        (bulk.compiled_write, (5, "integer"), TypeError),
        (bulk.compiled_write, (fast_elements.FloatCodec, "float"), ValueError),
        (bulk.compiled_write, (fast_elements.FloatCodec,), TypeError),
        (bulk.decode_strings, (b"", 0), TypeError),
        (bulk.decode_strings, (b"", 0, 0, object()), ValueError),
        (bulk.decode_strings, (b"", 0, 0, bulk.text_table(), None), TypeError),
    ],
)
def test_compiled_functions_reject_bad_arguments(function, arguments, error):
    with pytest.raises(error):
        function(*arguments)


def test_compiled_decoders_take_hostile_zones_and_members():
    class Rude(tzinfo):
        """A zone whose fromutc gives what astimezone would pass on: no datetime."""

        def utcoffset(self, value):
            return timedelta(0)

        def fromutc(self, value):
            return "not a datetime"

    assert bulk.decode_zoned_datetimes(bytes(8), Rude()) == ["not a datetime"] * 2
    assert bulk.decode_enums(b"\x01\x02\x01", 1, {1: "a"}) == ["a", None, "a"]
    assert bulk.decode_enums(b"\x01", 1, {1.0: "a"}) is None


# Run in a fresh interpreter with pymalloc, so that the counting allocator is
# the one the columns module wraps when the first block is read.
HUGE_ARENAS_SCRIPT = r"""
import io
from quelvoran import native
from quelvoran._testcapi import arenas
from quelvoran.common.dtypes import columns as bulk

arenas.wrap_arena_allocator()
rows = 300_000
source = [i + 0.5 for i in range(rows)]
data = native.write(native.Table(["x"], ["Float64"], [source]))
inner = native.write(native.Table(["y"], ["String"], [["nested"]]))


class NestedRead(io.RawIOBase):
    # A source that reads a stream of its own while the outer read decodes.
    def __init__(self):
        self.outer = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        assert native.read(inner).columns == [["nested"]]
        chunk = self.outer.read(len(buffer))
        buffer[:len(chunk)] = chunk
        return len(chunk)


huge = bulk.begin_huge_arenas()
bulk.end_huge_arenas()
made, freed = arenas.arena_counts()
table = native.read(io.BufferedReader(NestedRead(), 1 << 16))
made_by_counting = arenas.arena_counts()[0] - made
del source
freed_of_its_own = arenas.arena_counts()[1] - freed
assert table.columns == [[i + 0.5 for i in range(rows)]]
made, freed = arenas.arena_counts()
del table
freed_of_huge = arenas.arena_counts()[1] - freed
print(huge, made_by_counting, freed_of_its_own, freed_of_huge)
"""


def test_huge_arenas_serve_the_decoders_and_each_arena_goes_back_to_its_maker():
    import os

    environment = {name: value for name, value in os.environ.items() if name != "PYTHONMALLOC"}
    result = run_python(HUGE_ARENAS_SCRIPT, env=environment)
    assert result.returncode == 0, result.stderr
    huge, made_by_counting, freed_of_its_own, freed_of_huge = result.stdout.split()
    # 300,000 floats fill seven arenas: the read takes them from huge pages, or,
    # where the system gives none, from the allocator it would have used.
    assert int(made_by_counting) <= 1 if huge == "True" else int(made_by_counting) >= 7
    assert int(freed_of_its_own) >= 7
    assert int(freed_of_huge) <= 1 if huge == "True" else int(freed_of_huge) >= 7
    with pytest.raises(RuntimeError, match="without begin_huge_arenas"):
        bulk.end_huge_arenas()
