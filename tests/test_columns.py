"""The whole-column C++ decoders give exactly what the element codecs give."""

import io
import random
import sys
import struct

import pytest

from quelvoran.common.dtypes import columns as bulk
from quelvoran.common.dtypes import fast_elements
from quelvoran.common.dtypes.elements import make_codec

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
    ],
)
def test_truncated_and_corrupt_strings(data, count, result):
    if result is ValueError:
        with pytest.raises(ValueError, match="runs over 10 bytes"):
            bulk.decode_strings(data, 0, count)
    else:
        assert bulk.decode_strings(data, 0, count) == result


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


def test_fast_codecs_serve_lowcardinality():
    from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

    sink = io.BytesIO()
    writer = LowCardinality(sink, fast_elements.make_codec("String", sink), True)
    for value in ["b", None, "a", "b"]:
        writer.write(value)
    block = writer.clear()
    source = io.BytesIO(block)
    assert LowCardinality(source, fast_elements.make_codec("String", source), True).read() == ["b", None, "a", "b"]
