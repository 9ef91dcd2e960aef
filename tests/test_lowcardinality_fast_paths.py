"""The bulk index decoding of read() and the hashed lookups of write() and
clear() against the per-row paths they stand in for.

Every case runs twice, once with the fast paths and once with
`_set_fast_paths(False)`, and both runs must observe the same thing: rows or
exception (type, message, traceback entries), stream position, object state,
codec calls and unraisable reports.
"""

import gc
import io
import os
import pickle
import random
import sys
import threading
import traceback
from datetime import date, datetime, timedelta, timezone, tzinfo

import pytest

from lowcardinality_codecs import Float64, Named, String, UInt32, block, strings
from quelvoran.common.dtypes import fast_elements
from quelvoran.common.dtypes.objects import lowcardinality as module
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality


def both_paths(scenario, *args):
    """The outcome of `scenario(*args)` with the fast paths on, then off; both runs must agree."""
    outcomes = []
    for fast in (True, False):
        previous = module._set_fast_paths(fast)
        reports = []
        hook, sys.unraisablehook = sys.unraisablehook, lambda u: reports.append((u.exc_type, str(u.exc_value)))
        try:
            outcomes.append((scenario(*args), reports))
        finally:
            sys.unraisablehook = hook
            module._set_fast_paths(previous)
    assert outcomes[0] == outcomes[1]
    return outcomes[0]


def raised(call):
    try:
        return ("returned", call())
    except Exception as error:
        names = [frame.name for frame in traceback.extract_tb(error.__traceback__)][1:]
        return ("raised", type(error), str(error), names)


# ---------------------------------------------------------------------------
# Reading


class BytesIOSubclass(io.BytesIO):
    pass


def bytes_io(data, tmp_path):
    return io.BytesIO(data)


def shadowed_bytes_io(data, tmp_path):
    stream = io.BytesIO(data)
    calls = []
    original = stream.read
    stream.read = lambda n=-1: calls.append(n) or original(n)
    return stream


def buffered_reader(data, tmp_path):
    path = tmp_path / "block"
    path.write_bytes(data)
    return open(path, "rb")


def buffered_random(data, tmp_path):
    path = tmp_path / "block"
    path.write_bytes(data)
    return open(path, "r+b")


def unbuffered(data, tmp_path):
    path = tmp_path / "block"
    path.write_bytes(data)
    return open(path, "rb", buffering=0)


def pipe(data, tmp_path):
    """A buffered reader over a pipe: it cannot seek, so the per-row loop reads it."""
    reader, writer = os.pipe()

    def feed():
        with open(writer, "wb") as sink:
            sink.write(data)

    threading.Thread(target=feed, daemon=True).start()
    return open(reader, "rb")


STREAMS = [bytes_io, shadowed_bytes_io, buffered_reader, buffered_random, unbuffered, pipe,
           lambda data, tmp_path: BytesIOSubclass(data)]
ENTRIES = strings("", "a", "b")
TRAILER = b"next block"

BLOCKS = {
    "one-byte indexes": block(ENTRIES, 3, [1, 2, 1, 0] * 50) + TRAILER,
    "two-byte indexes": block(ENTRIES, 3, [2, 0, 1], width=2) + TRAILER,
    "four-byte indexes": block(ENTRIES, 3, [2, 0, 1], width=4),
    "eight-byte indexes": block(ENTRIES, 3, [2, 0, 1], width=8),
    "no rows": block(ENTRIES, 3, []) + TRAILER,
    "last index cut short": block(ENTRIES, 3, [1, 2, 1], width=4)[:-3],
    "indexes missing": block(ENTRIES, 3, [1, 2, 1], width=2)[:-6],
    "more rows than indexes": block(ENTRIES, 3, [1, 2], rows=5),
    "row count beyond any stream": block(ENTRIES, 3, [1], rows=2**63),
    "first index out of range": block(ENTRIES, 3, [3, 0, 1]) + TRAILER,
    "middle index out of range": block(ENTRIES, 3, [1, 0, 2**16 - 1, 1], width=2) + TRAILER,
    "last index out of range": block(ENTRIES, 3, [0, 1, 2**64 - 1], width=8) + TRAILER,
    "unknown index width": block(ENTRIES, 3, [1, 1], code=7),
    "beyond one chunk": block(ENTRIES, 3, [1] * 1_100_000, width=8) + TRAILER,
    "out of range beyond one chunk": block(ENTRIES, 3, [1] * 1_050_000 + [3, 1], width=8) + TRAILER,
}


@pytest.mark.parametrize("nullable", [False, True])
@pytest.mark.parametrize("data", BLOCKS.values(), ids=BLOCKS.keys())
@pytest.mark.parametrize("make_stream", STREAMS)
def test_read_agrees(tmp_path, make_stream, data, nullable):
    def scenario():
        with make_stream(data, tmp_path) as fileobj:
            codec = String(fileobj)
            obj = LowCardinality(fileobj, codec, nullable)
            rows = raised(obj.read)
            position = len(data) - len(fileobj.read())  # pipes cannot tell
            # Copies: the object may be destroyed, and reset, as soon as this
            # returns (when depends on the interpreter).
            return (rows, position, obj.total_rows, obj.index_size, obj._read_header, list(obj.dictionary),
                    list(codec.calls))

    (rows, position, *_), reports = both_paths(scenario)
    if data.endswith(TRAILER):
        assert position == len(data) - len(TRAILER) or rows[0] == "raised"


def test_read_rows_share_the_dictionary_entries():
    fileobj = io.BytesIO(block(ENTRIES, 3, [1, 2, 1, 0], width=2))
    rows = LowCardinality(fileobj, String(fileobj), True).read()
    assert rows == ["a", "b", "a", None] and rows[0] is rows[2]


def test_read_position_after_an_index_out_of_range():
    data = block(ENTRIES, 3, [1, 0, 9, 2], width=2)
    fileobj = io.BytesIO(data)
    with pytest.raises(IndexError, match="list index out of range"):
        LowCardinality(fileobj, String(fileobj), False).read()
    assert fileobj.tell() == len(data) - 2  # just past the bad index, as the per-row loop leaves it


class Replacing(io.RawIOBase):
    """A raw stream under a buffered reader: Python code the bulk path must not call."""

    def __init__(self, data, on_read):
        self.data, self.position, self.on_read = data, 0, on_read

    def readable(self):
        return True

    def readinto(self, buffer):
        self.on_read()
        chunk = self.data[self.position:self.position + len(buffer)]
        buffer[:len(chunk)] = chunk
        self.position += len(chunk)
        return len(chunk)


def test_read_over_a_python_raw_stream_agrees():
    data = block(ENTRIES, 3, [1, 2, 0, 1] * 20, width=2)

    def scenario():
        reads = []
        fileobj = io.BufferedReader(Replacing(data, lambda: reads.append(1)), buffer_size=8)
        obj = LowCardinality(fileobj, String(fileobj), False)
        return raised(obj.read), len(reads)

    both_paths(scenario)


# ---------------------------------------------------------------------------
# Writing


class Slotted:
    """An element codec without instance attributes: its name is looked up once per class version."""

    __slots__ = ("is_nullable", "total_rows", "calls")
    name = "String"
    length = 2

    def __init__(self):
        self.calls = []

    def write(self, value):
        self.calls.append(value)
        return 1

    def clear(self):
        self.calls.append("clear")
        return b""


class Equal:
    """Equal to everything: a scan that reaches it stops there."""

    def __eq__(self, other):
        return True

    __hash__ = None

    def __lt__(self, other):
        return False

    def __repr__(self):
        return "Equal()"


class Counted(str):
    compared = []

    def __eq__(self, other):
        Counted.compared.append(other)
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class Zone(tzinfo):
    def utcoffset(self, moment):
        return timedelta(hours=1)


NAN = float("nan")
MOMENT = datetime(2024, 5, 1, 12)


def many_ints():
    """Ints of every byte width, both signs, some repeated as separate equal objects."""
    generator = random.Random(5)
    values = [generator.randrange(-(2**bits), 2**bits) for bits in (7, 15, 31, 63) for _ in range(150)]
    return values + [int(str(value)) for value in values[::7]] + [2**63 - 1, -(2**63)]

VALUES = {  # element type, row values
    "strings": ("String", ["b", "a", "b", "", "c", "a"] * 3),
    "equal numbers": ("Float64", [1, 1.0, True, 2, 0, -0.0, 0.0, False, 2.0, 10**30, float(10**30)]),
    "nan": ("Float64", [NAN, NAN, float("nan"), float("nan"), 1.5]),
    "ints": ("Int64", [5, -3, 2**40, 5, -(2**63), 0, 2**63 - 1, 7919 * 3, -3]),
    "ints past 64 bits": ("Int128", [5, 2**64, -3, -(2**63) - 1]),
    "many ints": ("Int64", many_ints()),
    "equal hashes": ("Int128", [0, 2**61 - 1, 1, 2**61, -1, -2, 0, 2**61 - 1, -2, 2**61]),
    "equal folded hashes": ("Int64", [1, 2**32, 3, 2**32 + 2, 1, 2**32, 2**32 + 2, 3]),
    "none": ("String", [None, "x", None]),
    "bytes": ("String", [b"x", b"y", b"x"]),
    "dates": ("Date", [date(2024, 5, 1), date(2024, 5, 2), date(2024, 5, 1), MOMENT]),
    "datetimes": ("DateTime", [MOMENT, MOMENT + timedelta(hours=1), MOMENT]),
    "aware datetimes": ("DateTime", [MOMENT.replace(tzinfo=timezone.utc),
                                     MOMENT.replace(tzinfo=timezone(timedelta(hours=1)), hour=13), MOMENT]),
    "custom tzinfo": ("DateTime", [MOMENT.replace(tzinfo=Zone()), MOMENT.replace(tzinfo=Zone())]),
    "str subclass": ("String", [Counted("a"), "a", Counted("b"), "b"]),
    "equal-to-all first": ("String", [Equal(), "a", "b", "a"]),
    "equal-to-all later": ("String", ["a", "b", Equal(), "c", "a"]),
    "unhashable": ("String", [[1], [1], [2]]),
    "unsortable": ("String", ["a", 1, "a"]),
}


def recording_codec(name):
    return Named(name)


def slotted_codec(name):
    return type("Slotted" + name, (Slotted,), {"name": name, "__slots__": ()})()


@pytest.mark.parametrize("nullable", [False, True])
@pytest.mark.parametrize("name, values", VALUES.values(), ids=VALUES.keys())
@pytest.mark.parametrize("make_codec", [recording_codec, slotted_codec])
def test_write_and_clear_agree(make_codec, name, values, nullable):
    def scenario():
        Counted.compared.clear()
        codec = make_codec(name)
        obj = LowCardinality(None, codec, nullable)
        grown = [obj.write(value) for value in values]
        return grown, repr(obj.dictionary), raised(obj.clear), repr(codec.calls), len(Counted.compared)

    both_paths(scenario)


class BorrowedWrite(Slotted):
    """Holds a compiled codec class's `write`, which does not apply to its instances."""

    __slots__ = ()
    name = "UInt32"
    write = fast_elements.IntegerCodec.__dict__["write"]


class OwnEncoding(fast_elements.IntegerCodec):
    __slots__ = ()

    def encode_value(self, value):
        return b"%d;" % value


def narrowed(codec):
    codec.maximum = 6
    return codec


COMPILED_CODECS = {
    "UInt32": lambda: fast_elements.make_codec("UInt32", None),
    "Int128": lambda: fast_elements.make_codec("Int128", None),
    "String": lambda: fast_elements.make_codec("String", None),
    "narrower range": lambda: narrowed(fast_elements.make_codec("UInt32", None)),
    "subclass encodes": lambda: OwnEncoding(None, "UInt16"),
    "write of another class": BorrowedWrite,
}


@pytest.mark.parametrize("nullable", [False, True])
@pytest.mark.parametrize("make_codec", COMPILED_CODECS.values(), ids=COMPILED_CODECS.keys())
def test_compiled_codecs_write_and_clear_agree(make_codec, nullable):
    """The compiled `write` is reached without a method call where it is the codec's own."""
    values = [5, 0, 5, 7, None, -1, "x", 2**40, 3, 7, 2**100, 0]

    def scenario():
        codec = make_codec()
        obj = LowCardinality(None, codec, nullable)
        grown = [raised(lambda: obj.write(value)) for value in values]
        return grown, repr(obj.dictionary), obj.tell(), raised(obj.clear)

    both_paths(scenario)


def test_blocks_of_ints_in_turn_agree():
    """Each block sorts and indexes in memory that larger and smaller blocks before it left."""

    def scenario():
        obj = LowCardinality(None, Named("Int64"), True)
        blocks = []
        for values in (many_ints(), [3, None, -1, 3], many_ints()[::-3], [2**63 - 1]):
            for value in values:
                obj.write(value)
            blocks.append(raised(obj.clear))
        return blocks

    both_paths(scenario)


@pytest.mark.parametrize("codec, keys, values", [
    (String, ["", "ab", "ab", "cd"], ["ab", "cd", "ef", "ab", ""]),
    (String, ["", "cd", "ab", "cd", "ab"], ["ab", "cd", "ef", "ab", ""]),
    # Sorting with NaNs among them puts the second 1.0 first.
    (Float64, [0.0, 0.5, 0.0, 2.0, NAN, 1.0, NAN, 1.0], [1.0, 0.0, 3.0, 1.0]),
    (UInt32, [0, 7919, 300, 7919, 2**40, 300], [300, 7919, 1, 0]),
])
def test_writing_on_a_dictionary_of_equal_entries_agrees(codec, keys, values):
    """A block under way can be handed a dictionary that holds equal entries as separate objects."""

    def scenario():
        obj = LowCardinality(None, codec(), False)
        obj.total_rows = 1
        obj.dictionary = ["".join(list(key)) if type(key) is str else type(key)(str(key)) for key in keys]  # new objects
        grown = [obj.write(value) for value in values]
        return grown, raised(obj.clear)

    both_paths(scenario)


def test_clear_positions_follow_equality():
    obj = LowCardinality(None, Named("Float64"), False)
    for value in [2, 1.0, True, -0.0, 2.0]:
        obj.write(value)
    assert obj.clear()[-5:] == bytes([2, 1, 1, 0, 2])  # sorted dictionary: 0.0, 1.0, 2


HELD = []


def hold_without_the_property(obj):
    """Keeps the dictionary list (found as the collector does) and changes it in place."""
    HELD[:] = [referent for referent in gc.get_referents(obj) if type(referent) is list]
    HELD[0][1] = "zz"


MUTATIONS = {
    "held without the property": hold_without_the_property,
    "append through the property": lambda obj: obj.dictionary.append("z"),
    "replace an entry in place": lambda obj: obj.dictionary.__setitem__(2, "q"),
    "swap two entries": lambda obj: obj.dictionary.reverse(),
    "new dictionary": lambda obj: setattr(obj, "dictionary", ["", "q", "p"]),
    "rows changed in place": lambda obj: obj.index_elements.__setitem__(0, "p"),
    "rows replaced": lambda obj: setattr(obj, "index_elements", ["q"]),
    "rows dropped": lambda obj: obj.index_elements.clear(),
    "pickled": lambda obj: pickle.loads(pickle.dumps(obj)).dictionary.append("z"),
    "codec renamed to FixedString": lambda obj: setattr(Slotted, "name", "FixedString"),
    "codec class swapped": lambda obj: setattr(obj, "dtype", String()),
}


@pytest.mark.parametrize("mutate", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_changes_between_writes_agree(mutate):
    def scenario():
        Slotted.name = "String"
        codec = Slotted()
        obj = LowCardinality(None, codec, False)
        grown = [obj.write(value) for value in ["p", "q", "pq-long"]]
        mutate(obj)
        grown += [obj.write(value) for value in ["q", "z", "pq-long", "p"]]
        return grown, repr(obj.dictionary), repr(obj.index_elements), raised(obj.clear), repr(codec.calls)

    try:
        both_paths(scenario)
    finally:
        Slotted.name = "String"
        HELD.clear()


class SlotNamed(Slotted):
    """Its name held in a slot of each codec, as the package's own codecs hold
    theirs; writing the value "change" makes `change` of the codec first."""

    __slots__ = ("name", "change")

    def __init__(self, change):
        super().__init__()
        self.name = "String"
        self.change = change

    def write(self, value):
        if value == "change":
            self.change(self)
        return super().write(value)


SLOT_DESCRIPTOR = SlotNamed.__dict__["name"]

NAME_CHANGES = {
    "renamed to FixedString": lambda codec: setattr(codec, "name", "FixedString"),
    "renamed to another str": lambda codec: setattr(codec, "name", "".join(["Fixed", "String"])),
    "name removed": lambda codec: delattr(codec, "name"),
    "name a str subclass": lambda codec: setattr(codec, "name", Counted("FixedString")),
    "name not a str": lambda codec: setattr(codec, "name", 5),
    "slot shadowed by a property": lambda codec: setattr(SlotNamed, "name", property(lambda self: "FixedString")),
}


@pytest.mark.parametrize("whole", [False, True], ids=["write per row", "_encode_rows"])
@pytest.mark.parametrize("change", NAME_CHANGES.values(), ids=NAME_CHANGES.keys())
def test_slot_held_codec_name_is_read_at_every_write(change, whole):
    rows = ["p", "pq-long", "change", "pq-long", "pqr", "p"]

    def scenario():
        codec = SlotNamed(change)
        obj = LowCardinality(None, codec, False)
        try:
            if whole:
                result = raised(lambda: module._encode_rows(obj, list(rows)))
            else:
                result = [obj.write(value) for value in rows], repr(obj.index_elements)
        finally:
            SlotNamed.name = SLOT_DESCRIPTOR
        return result, repr(codec.calls)

    both_paths(scenario)


def test_codec_write_that_changes_the_dictionary_agrees():
    def scenario():
        codec = String()
        obj = LowCardinality(None, codec, False)
        original = codec.write
        codec.write = lambda value: (obj.dictionary.insert(1, value) if value == "b" else None) or original(value)
        grown = [obj.write(value) for value in ["a", "b", "b", "a", "c", "b"]]
        return grown, repr(obj.dictionary), raised(obj.clear)

    both_paths(scenario)


@pytest.mark.parametrize("change", ["rebind", "delete"])
def test_a_codec_write_changed_on_its_class_is_the_one_called(change):
    """The codec's `write` is looked up again once its class changes, also
    from within the call, which may take the running method off the class."""

    class Changing(Slotted):
        __slots__ = ()

        def write(self, value):
            self.calls.append(("own", value))
            if change == "rebind":
                type(self).write = lambda codec, value: codec.calls.append(("rebound", value)) or 1
            else:
                del type(self).write
            return 1

    codec = Changing()
    obj = LowCardinality(None, codec, False)
    for value in ["b", "a", "b"]:
        obj.write(value)
    obj.clear()
    later = ("rebound", "b") if change == "rebind" else "b"
    assert codec.calls[:2] == [("own", ""), later]


def test_write_reports_agree_with_the_literal_scan():
    class Failing:
        def __eq__(self, other):
            raise ValueError("no comparing")

    def scenario():
        obj = LowCardinality(None, String(), False)
        return [obj.write(value) for value in ["a", Failing(), "a", "b"]], raised(obj.clear)

    _, reports = both_paths(scenario)
    assert reports and reports[0] == (ValueError, "no comparing")


@pytest.mark.parametrize("width", [1, 0, 9])
def test_index_width_changed_during_clear_agrees(width):
    def scenario():
        codec = String()
        obj = LowCardinality(None, codec, False)
        for value in range(300):
            obj.write(str(value))
        original = codec.clear
        codec.clear = lambda: setattr(obj, "index_size", width) or original()
        return raised(obj.clear), repr(obj.dictionary[:3])

    both_paths(scenario)


def test_clear_retried_after_a_failure_agrees():
    def scenario():
        codec = String()
        obj = LowCardinality(None, codec, False)
        for value in ["b", "a", "b", "c", "a"]:
            obj.write(value)
        original, failed = codec.clear, []

        def clear_failing_once():  # fails when asked for the first block's payload
            if codec.calls[-1][0] == "write" and not failed:
                failed.append(True)
                raise ValueError("payload lost")
            return original()

        codec.clear = clear_failing_once
        return raised(obj.clear), raised(obj.clear), repr(obj.dictionary)

    first, second, _ = both_paths(scenario)[0]
    assert first[:3] == ("raised", ValueError, "payload lost") and second[0] == "returned"


def test_rows_released_by_a_reset_may_write_blocks_of_their_own():
    """A row's finaliser, run as the reset of a deleted column releases its
    rows, writes blocks to another column: the storage of either rows list
    may pass to the other meanwhile, and every reference must stay counted."""

    def scenario():
        other = LowCardinality(None, String(), False)
        marker = "".join(["mark", "er"])
        blocks = []

        class Row(str):
            def __del__(self):
                for value in range(5000):
                    other.write(str(value % 50))
                blocks.append(other.clear())
                other.write(marker)

        obj = LowCardinality(None, String(), False)
        for value in range(5000):
            obj.write(str(value % 70))
        obj.write(Row("5"))  # equal to an entry: held by the rows alone
        del obj
        blocks.append(other.clear())
        return blocks, sys.getrefcount(marker)

    both_paths(scenario)


# ---------------------------------------------------------------------------
# Whole columns


class Refusing(Slotted):
    """Refuses "bad", and empties the list being written when it meets "cut"."""

    __slots__ = ()
    rows = []

    def write(self, value):
        if value == "bad":
            raise ValueError("bad value")
        if value == "cut":
            Refusing.rows.clear()
        return super().write(value)


def write_each(obj, rows):
    """write() of each row of the list as it stands when the row is reached, then clear()."""
    row = 0
    while row < len(rows):
        obj.write(rows[row])
        row += 1
    return obj.clear()


@pytest.mark.parametrize("nullable", [False, True])
@pytest.mark.parametrize(
    "name, values", [*VALUES.values(), ("String", ["a", "bad", "b"]), ("String", ["a", "cut", "new", "a"])],
    ids=[*VALUES.keys(), "refused", "list emptied"])
@pytest.mark.parametrize("make_codec", [recording_codec, slotted_codec, lambda name: Refusing()])
def test_encode_rows_is_write_of_each_row_then_clear(make_codec, name, values, nullable):
    """`_encode_rows` gives the block and codec calls that writing each row
    then clearing give; where write() reports a failure, it raises it and
    leaves the column reset."""

    def outcome(encode):
        Counted.compared.clear()
        codec = make_codec(name)
        obj = LowCardinality(None, codec, nullable)
        Refusing.rows = rows = list(values)
        reports = []
        hook, sys.unraisablehook = sys.unraisablehook, lambda u: reports.append((u.exc_type, str(u.exc_value)))
        try:
            result = raised(lambda: encode(obj, rows))
        finally:
            sys.unraisablehook = hook
        failures = [result[1:3]] if result[0] == "raised" else reports
        return failures, result[:3] if not failures else obj.total_rows, repr(codec.calls), len(Counted.compared)

    encoded, per_row = outcome(module._encode_rows), outcome(write_each)
    if per_row[0]:
        assert encoded[0] == per_row[0][:1] and encoded[1] == 0
    else:
        assert encoded == per_row


def test_encode_rows_over_a_dictionary_of_equal_entries():
    """Rows found by identity stand for themselves even where the dictionary
    holds an equal entry first (a dictionary set by hand)."""
    first, second = "ab", "".join(["a", "b"])
    assert first == second and first is not second

    def outcome(encode):
        codec = Slotted()
        obj = LowCardinality(None, codec, False)
        obj.write("b")
        obj.dictionary = ["", first, second, "b"]
        return raised(lambda: encode(obj, [second, first, "b", second, "c"])), repr(codec.calls)

    assert outcome(module._encode_rows) == outcome(write_each)


@pytest.mark.parametrize("nullable", [False, True])
@pytest.mark.parametrize("written, values, only_type, takes", [
    ([], ["a", "b", "a", "c"], str, True),
    ([], ["a", 1, "a"], str, False),
    ([], [1, True, 1], int, False),
    ([], ["a", None, "a"], str, "nullable"),
    ([], [None], str, "nullable"),
    ([7], [7, "a"], str, False),  # 7 is found by identity: it is a dictionary entry
    (["b"], ["b", "a", "b"], str, True),
    ([], ["a", None, "b"], None, True),
])
def test_encode_rows_only_type(written, values, only_type, takes, nullable):
    """With `only_type`, a row of another type, or None in a column that is
    not nullable, gives None and leaves the column reset; otherwise the block
    is the one written without it. A `head` comes before the block."""

    def encode(*arguments):
        obj = LowCardinality(None, Slotted(), nullable)
        for value in written:
            obj.write(value)
        return module._encode_rows(obj, list(values), *arguments), obj.total_rows

    if takes is True or takes == "nullable" and nullable:
        block, rows = encode()
        assert encode(only_type) == (block, rows) and encode(only_type, b"head") == (b"head" + block, rows)
    else:
        assert encode(only_type) == encode(only_type, b"head") == (None, 0)


@pytest.mark.parametrize("arguments, message", [
    ((), "expected at least 2 arguments, got 0"),
    ((None, []), "Expected LowCardinality, got NoneType"),
    ((LowCardinality(None, Slotted(), False), ("a",)), "Expected list, got tuple"),
    ((LowCardinality(None, Slotted(), False), [], str, b"", None), "expected at most 4 arguments, got 5"),
    ((LowCardinality(None, Slotted(), False), [], str, bytearray()), "Expected bytes, got bytearray"),
    ((LowCardinality(None, Slotted(), False), [], "str"), "only_type must be a type or None, not str"),
])
def test_encode_rows_checks_its_arguments(arguments, message):
    with pytest.raises(TypeError, match=message):
        module._encode_rows(*arguments)
