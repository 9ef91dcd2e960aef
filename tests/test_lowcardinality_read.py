import io
import traceback
import tracemalloc

import pytest

from lowcardinality_codecs import String, UInt32, block, header, strings
from quelvoran._testcapi import lowcardinality as capi
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

MODULE = "quelvoran.common.dtypes.objects.lowcardinality."
QUALIFIED = MODULE + "LowCardinality."


def reader(stream, data, nullable=False, codec_type=String):
    fileobj = stream(data)
    codec = codec_type(fileobj)
    return LowCardinality(fileobj, codec, nullable), codec, fileobj


def traceback_names(excinfo):
    return [frame.name for frame in traceback.extract_tb(excinfo.tb)]


EXAMPLE = block(strings("", "a", "b"), 3, [1, 2, 1, 0])


def test_read_non_nullable_block(stream):
    obj, codec, fileobj = reader(stream, EXAMPLE)
    returned = []
    codec_read = codec.read
    codec.read = lambda: returned.append(codec_read()) or returned[0]
    rows = obj.read()
    assert rows == ["a", "b", "a", ""] and rows[0] is rows[2]
    assert returned == [[]] and obj.dictionary is returned[0]  # the codec's own list, emptied in place
    assert (obj.total_rows, obj.index_size, obj._read_header, codec.total_rows) == (4, 1, False, 3)
    assert fileobj.calls[:2] == [16, 8] and fileobj.position == len(EXAMPLE)


@pytest.mark.parametrize("indexes, expected", [([1, 2, 1, 0], ["a", "b", "a", None]), ([0, 0], [None, None])])
def test_read_nullable_block(stream, indexes, expected):
    obj, _, _ = reader(stream, block(strings("", "a", "b"), 3, indexes), nullable=True)
    assert obj.read() == expected


def test_nullable_row_with_index_one_is_the_empty_string(stream):
    obj, _, _ = reader(stream, block(strings("x", ""), 2, [1, 0]), nullable=True)
    assert obj.read() == ["", None]


@pytest.mark.parametrize("width", [1, 2, 4, 8])
def test_index_width_comes_from_byte_8_whatever_the_entry_count(stream, width):
    obj, _, fileobj = reader(stream, block(strings("", "z"), 2, [1, 0, 1], width=width))
    assert obj.read() == ["z", "", "z"] and obj.index_size == width
    assert fileobj.calls[-3:] == [width] * 3


def test_empty_block(stream):
    obj, _, _ = reader(stream, block(strings(""), 1, []))
    assert obj.read() == [] and obj.total_rows == 0


def test_consecutive_blocks_on_one_stream(stream):
    data = block(strings("", "a"), 2, [1, 1]) + block(strings("b"), 1, [0], width=2)
    obj, _, _ = reader(stream, data)
    assert obj.read() == ["a", "a"] and obj.read() == ["b"] and obj.index_size == 2


def test_read_header_already_consumed_reads_nothing_more(stream):
    data = strings("", "q") + (2).to_bytes(8, "little") + bytes([1, 0])
    obj, codec, fileobj = reader(stream, data)
    obj._read_header, obj.index_size, codec.total_rows = True, 1, 2
    assert obj.read() == ["q", ""] and fileobj.calls[0] != 16


class HeaderStream:
    """Answers the first read with `first`, later reads from `data`."""

    def __init__(self, first, data):
        self.first, self.data, self.calls = first, data, []

    def read(self, n):
        self.calls.append(n)
        if len(self.calls) == 1:
            return self.first
        chunk, self.data = self.data[:n], self.data[n:]
        return chunk


@pytest.mark.parametrize("first, error, message", [
    ("x" * 16, TypeError, "Expected bytes, got str"),
    (bytearray(16), TypeError, "Expected bytes, got bytearray"),
    (None, TypeError, "'NoneType' object is not subscriptable"),
    (b"\1" * 8, IndexError, "string index out of range"),
    (header(1, code=4), KeyError, "4"),
    (header(1, code=255), KeyError, "255"),
])
def test_unusable_leading_part_is_reported_and_width_becomes_0(unraisable, first, error, message):
    fileobj = HeaderStream(first, (5).to_bytes(8, "little"))
    codec = String(fileobj)
    obj = LowCardinality(fileobj, codec, False)
    obj.index_size = 2
    capi.index_size(obj)
    assert unraisable.only() == (error, message, MODULE + "size_from_header")
    assert (obj.index_size, codec.total_rows, obj._read_header) == (0, 5, True)


@pytest.mark.parametrize("length", [9, 15])
def test_short_leading_part_of_9_to_15_bytes_is_accepted(unraisable, length):
    fileobj = HeaderStream(header(4)[:length], (0).to_bytes(8, "little"))
    obj = LowCardinality(fileobj, String(fileobj), False)
    capi.index_size(obj)
    assert obj.index_size == 4 and unraisable.reports == []


def test_unusable_leading_part_then_rows_fail_with_a_clear_error(stream, unraisable):
    obj, _, _ = reader(stream, block(strings("", "a"), 2, [1], code=4))
    with pytest.raises(ValueError, match="0 bytes") as excinfo:
        obj.read()
    assert unraisable.contexts == [MODULE + "size_from_header"]
    assert QUALIFIED + "read" in traceback_names(excinfo)


def test_unusable_leading_part_with_no_rows_reads_an_empty_block(stream, unraisable):
    obj, _, _ = reader(stream, block(strings("", "a"), 2, [], code=9))
    assert obj.read() == [] and obj.index_size == 0


@pytest.mark.parametrize("setup, error, message", [
    (lambda obj, codec: obj.__dict__.pop("_read_header"), AttributeError, None),
    (lambda obj, codec: setattr(obj, "_read_header", Unbooled()), RuntimeError, "no truth"),
    (lambda obj, codec: setattr(type(codec), "total_rows", property(lambda s: 0)), AttributeError, None),
])
def test_index_size_failures_are_reported_under_its_name(stream, unraisable, setup, error, message):
    class Codec(String):
        pass

    fileobj = stream(block(b"", 0, []))
    codec = Codec(fileobj)
    obj = LowCardinality(fileobj, codec, False)
    setup(obj, codec)
    capi.index_size(obj)
    reported_type, reported_message, context = unraisable.only()
    assert (reported_type, context) == (error, QUALIFIED + "__index_size")
    assert message is None or reported_message == message
    assert obj.__dict__.get("_read_header") is not True


class Unbooled:
    def __bool__(self):
        raise RuntimeError("no truth")


def test_truncated_entry_count_is_reported_under_index_size(unraisable):
    fileobj = HeaderStream(header(1), b"\0\0\0")
    codec = String(fileobj)
    obj = LowCardinality(fileobj, codec, False)
    capi.index_size(obj)
    assert unraisable.only()[0::2] == (EOFError, QUALIFIED + "__index_size")
    assert (obj.index_size, codec.total_rows, obj._read_header) == (1, 0, False)


@pytest.mark.parametrize("cut", range(len(EXAMPLE)))
def test_truncated_block_ends_read_with_an_exception(stream, unraisable, cut):
    obj, _, _ = reader(stream, EXAMPLE[:cut])
    with pytest.raises((EOFError, ValueError, IndexError)):
        obj.read()


def test_huge_row_count_fails_at_the_first_missing_index(stream):
    data = block(strings("", "a"), 2, [1, 1], rows=2 ** 63)
    obj, _, fileobj = reader(stream, data)
    with pytest.raises(EOFError, match="expected 1 bytes of an unsigned integer, got 0") as excinfo:
        obj.read()
    assert obj.total_rows == 2 ** 63 and fileobj.calls[-4:] == [8, 1, 1, 1] and len(fileobj.calls) == 10
    assert QUALIFIED + "read" in traceback_names(excinfo)


def test_row_count_beyond_2_to_the_32_is_not_cut_to_32_bits(stream):
    obj, _, _ = reader(stream, block(strings("", "a"), 2, [1], rows=2 ** 32 + 1))
    with pytest.raises(EOFError):
        obj.read()
    assert obj.total_rows == 2 ** 32 + 1


@pytest.mark.parametrize("result, error, message", [
    ((["x"]), None, None),
    (("x",), TypeError, "Expected list, got tuple"),
    (None, TypeError, "'NoneType' object is not subscriptable"),
])
def test_codec_read_result_types(stream, result, error, message):
    obj, codec, _ = reader(stream, block(b"", 1, [0]))
    previous = obj.dictionary
    codec.read = lambda: result
    if error is None:
        assert obj.read() == ["x"]
        return
    with pytest.raises(error) as excinfo:
        obj.read()
    assert str(excinfo.value) == message and QUALIFIED + "read" in traceback_names(excinfo)
    assert obj.dictionary is (previous if isinstance(result, tuple) else None)


def test_nullable_block_with_an_empty_dictionary(stream):
    obj, _, _ = reader(stream, block(b"", 0, []), nullable=True)
    with pytest.raises(IndexError, match="list assignment index out of range"):
        obj.read()


def test_row_index_out_of_range_keeps_the_state(stream):
    obj, _, _ = reader(stream, block(strings("", "a", "b"), 3, [1, 3]))
    with pytest.raises(IndexError, match="^list index out of range$"):
        obj.read()
    assert obj._read_header is True and obj.dictionary == ["", "a", "b"]


def test_stream_replacing_fields_during_the_row_loop(stream):
    data = block(strings("", "a"), 2, [1, 1, 1])

    class Hostile(type(stream())):
        def read(self, n=-1):
            if len(self.calls) == 6:
                obj.dictionary = None
            return super().read(n)

    fileobj = Hostile(data)
    obj = LowCardinality(fileobj, String(fileobj), False)
    with pytest.raises(TypeError, match="not subscriptable"):
        obj.read()


def test_skip_reads_the_row_indexes_in_one_call(stream, unraisable):
    indexes = [i % 3 for i in range(1000)]
    data = block(strings("", "a", "b"), 3, indexes, width=2) + block(strings("c"), 1, [0])
    obj, codec, fileobj = reader(stream, data)
    obj.dictionary.append("kept")
    assert obj.skip() is None
    assert fileobj.calls[:2] == [16, 8] and fileobj.calls[-2:] == [8, 2000]
    assert (obj.total_rows, obj.index_size, obj._read_header, obj.dictionary) == (1000, 2, False, ["kept"])
    assert codec.calls == [("skip", 3)]
    assert obj.read() == ["c"] and unraisable.reports == []


@pytest.mark.parametrize("data, error", [
    (block(strings("", "a"), 2, [1])[:-9], EOFError),
    (block(strings("", "a"), 2, [1])[:24], IndexError),
])
def test_skip_failures_are_reported_never_raised(stream, unraisable, data, error):
    obj, _, fileobj = reader(stream, data)
    assert obj.skip() is None
    assert unraisable.only()[0::2] == (error, QUALIFIED + "skip")
    assert obj._read_header is True


# Blocks whose row count runs past the data: (block, report or None, where
# the stream is left). A report is (exception type, message).
PAST_THE_DATA = {
    "39 bytes claiming 2**35 rows": (
        block(strings("", "a"), 2, [1] * 4, rows=2**35),
        (EOFError, "expected 34359738368 bytes of row indexes, got 4"), 39),
    "2**61 rows of 8-byte indexes": (
        block(strings("", "a"), 2, [1], width=8, rows=2**61),
        (OverflowError, "2305843009213693952 row indexes of 8 bytes are more than 2**64 - 1 bytes"), 35),
    "truncated row indexes": (
        block(strings("", "a"), 2, [1] * 5, width=2)[:-3],
        (EOFError, "expected 10 bytes of row indexes, got 7"), 42),
    "complete block": (block(strings("", "a"), 2, [1] * 5, width=2) + b"next", None, 45),
}


def opened_file(mode, buffering=-1):
    def open_file(tmp_path, stream, data):
        path = tmp_path / "column"
        path.write_bytes(data)
        return open(path, mode, buffering=buffering)
    return open_file


STREAMS = {
    "BytesIO": lambda tmp_path, stream, data: io.BytesIO(data),
    "buffered file": opened_file("rb"),
    "unbuffered file": opened_file("rb", buffering=0),
    "read-write file": opened_file("r+b"),
    "other stream": lambda tmp_path, stream, data: stream(data),
}


@pytest.mark.parametrize("make_stream", STREAMS.values(), ids=STREAMS.keys())
@pytest.mark.parametrize("data, report, position", PAST_THE_DATA.values(), ids=PAST_THE_DATA.keys())
def test_skip_never_trusts_the_row_count(tmp_path, stream, unraisable, make_stream, data, report, position):
    fileobj = make_stream(tmp_path, stream, data)
    obj = LowCardinality(fileobj, String(fileobj), False)
    tracemalloc.start()
    obj.skip()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 1 << 20
    if report is None:
        assert unraisable.reports == [] and obj._read_header is False
    else:
        assert unraisable.only() == (*report, QUALIFIED + "skip") and obj._read_header is True
    if isinstance(fileobj, stream):
        # Streams that do not know their size get the one read of the index part.
        wanted = obj.index_size * obj.total_rows
        assert fileobj.position == position and fileobj.calls[-1] == (8 if wanted >= 2**64 else wanted)
    else:
        assert fileobj.tell() == position
        fileobj.close()


def test_tell_arithmetic(stream):
    class Sized(UInt32):
        def tell(self):
            return 50

    obj = LowCardinality(None, Sized(), False, 300)
    assert obj.tell() == 2 * 300 + 50 + 32 and obj.index_size == 2


@pytest.mark.parametrize("tell, error", [
    (lambda: -10 ** 6, OverflowError),
    (lambda: 2 ** 64, OverflowError),
    (lambda: "x", TypeError),
    (lambda: 1 / 0, ZeroDivisionError),
])
def test_tell_failures_give_0(unraisable, tell, error):
    codec = UInt32()
    codec.tell = tell
    obj = LowCardinality(None, codec, False, 1)
    assert obj.tell() == 0
    assert unraisable.only()[0::2] == (error, QUALIFIED + "tell")
