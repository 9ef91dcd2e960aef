import io
import pickle
import struct
import types
import warnings
from datetime import date

import pytest

from leakcheck import assert_no_leak
from lowcardinality_codecs import Named, String, block, strings
from quelvoran._testcapi import booleans as booleans_caller
from quelvoran._testcapi import length as length_caller
from quelvoran._testcapi import lowcardinality as lowcardinality_caller
from quelvoran._testcapi import parse as parse_caller
from quelvoran.common import cast_dataframes
from quelvoran.common.dtypes import columns as bulk
from quelvoran.common.dtypes import fast_elements
from quelvoran.common.dtypes.functions import booleans
from quelvoran.common.dtypes.objects import lowcardinality
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality


def swallow(operation, *errors):
    def run():
        try:
            operation()
        except errors:
            pass

    return run


def description(name, is_array=False, nested=0):
    info = types.SimpleNamespace(dtype=types.SimpleNamespace(pytype=float), is_array=is_array, nested=nested)
    return types.SimpleNamespace(column=name, info=info)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


OPERATIONS = {
    "read_length": lambda: length_caller.read_length(io.BytesIO(b"\xac\x02")),
    "write_length": lambda: length_caller.write_length(2**64 - 1),
    "read_bool": lambda: booleans.read_bool(io.BytesIO(b"\x01"), scale=1),
    "write_bool c-level": lambda: booleans_caller.write_bool(3, (2, 1, 2)),
    "read_bool end of input": swallow(lambda: booleans.read_bool(io.BytesIO(b"")), struct.error),
    "argument error": swallow(lambda: booleans.write_nothing(1, 2, bogus=3), TypeError),
    "pandas_astype": lambda: cast_dataframes.pandas_astype([description("a"), description("b", True, 3)]),
    "pandas_astype failure": swallow(lambda: cast_dataframes.pandas_astype([description("a"), description(1)]), TypeError),
    "from_dtype": lambda: parse_caller.from_dtype("Array(LowCardinality(Nullable(DateTime64(3, 'UTC'))))"),
    "from_dtype enum": lambda: parse_caller.from_dtype("Enum8('a' = 1, 'b' = 2)"),
    "from_dtype record": lambda: parse_caller.from_dtype_with("Decimal(38, 4)", 9, is_array=1, is_lowcardinality=2,
                                                              is_nullable=3, length=4, precision=5, scale=6,
                                                              tzinfo=7, enumcase=8, nested=9),
    "from_dtype failure": swallow(lambda: parse_caller.from_dtype("Nullable(Array(Decimal(0, 0)))"), ValueError),
    "from_dtype unpacking failure": swallow(lambda: parse_caller.from_dtype("Decimal({1, 2, 3})"), ValueError),
}


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_no_leak(operation):
    assert_no_leak(operation)


def test_no_leak_on_recursion_error():
    # Each call runs about a thousand levels: fewer calls suffice.
    nested = "Array(" * 3000 + "UInt8" + ")" * 3000
    assert_no_leak(swallow(lambda: parse_caller.from_dtype(nested), RecursionError), repeat=20)


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def test_no_leak_on_unraisable_path(monkeypatch):
    monkeypatch.setattr("sys.unraisablehook", lambda unraisable: None)
    monkeypatch.setattr("sys.stderr", Sink())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_no_leak(lambda: length_caller.read_length(io.BytesIO(b"\x81")), repeat=50)
        # One class for every call: printing a report about a fresh class each
        # time makes the 3.13 interpreter's own traceback printing grow.
        stream = type("S", (), {"read": lambda s, n: [IntLike(-1)]})
        assert_no_leak(lambda: length_caller.read_length(stream()), repeat=50)


def lowcardinality_reader(data, nullable=False):
    fileobj = io.BytesIO(data)
    return LowCardinality(fileobj, String(fileobj), nullable)


def lowcardinality_writer(*values, nullable=True):
    obj = LowCardinality(None, String(), nullable)
    for value in values:
        obj.write(value)
    return obj


class Reviving(LowCardinality):
    """Stores itself on the reset that destruction runs, once."""

    stash = []

    def __del__(self):
        pass

    def __setattr__(self, name, value):
        if name == "_read_header" and self.__dict__.pop("revive", False):
            self.stash.append(self)
        object.__setattr__(self, name, value)


def revive_and_release():
    obj = Reviving(None, String(), False)
    obj.revive = True
    del obj
    Reviving.stash.clear()


LC_BLOCK = block(strings("", "a", "b"), 3, [1, 2, 1, 0])
LC_PICKLE = pickle.dumps(lowcardinality_writer("a", None, "b"))
LOWCARDINALITY = {
    "read": lambda: lowcardinality_reader(LC_BLOCK * 2, nullable=True).read(),
    "read truncated": swallow(lambda: lowcardinality_reader(LC_BLOCK[:-2]).read(), EOFError),
    "read index out of range": swallow(lambda: lowcardinality_reader(block(strings(""), 1, [1])).read(), IndexError),
    "skip": lambda: lowcardinality_reader(LC_BLOCK).skip(),
    "write and clear": lambda: lowcardinality_writer("b", None, "a", "b").clear(),
    "clear unsortable": swallow(lambda: lowcardinality_writer("a", b"b").clear(), TypeError),
    "tell": lambda: lowcardinality_writer("a").tell(),
    "construction failure": swallow(lambda: LowCardinality(None, Named("Decimal"), False), KeyError),
    "pickle round trip": lambda: pickle.loads(LC_PICKLE).clear(),
    "unpickle checksum": swallow(lambda: lowcardinality.__pyx_unpickle_LowCardinality(LowCardinality, 1, None),
                                 pickle.PickleError),
    "setstate failure": swallow(lambda: lowcardinality_writer().__setstate__((None, ())), TypeError),
    "revived by its reset": revive_and_release,
    "slots": lambda: (lowcardinality_caller.read(lowcardinality_reader(LC_BLOCK), 0),
                      lowcardinality_caller.clear(lowcardinality_writer("a"), 0)),
    "encode rows": lambda: lowcardinality._encode_rows(lowcardinality_writer(nullable=False), ["a", "b", "a", None]),
    "encode rows failure": swallow(lambda: lowcardinality._encode_rows(LowCardinality(None, String(), False),
                                                                       [object()]), TypeError),
    "column helpers": lambda: (bulk.join_lists([["a"], [1.5]]), bulk.has_none([1]),
                               bulk.int64_values([1, None]), bulk.datetime_stamps([date(2020, 1, 1), None]),
                               bulk.identity_codes(["a", "b", "a"]), bulk.identity_codes(list(map(str, range(2000)))),
                               bulk.utf8_buffers(["a", None, "é"]),
                               bulk.apply_null_map(["a", "b"], b"\x00\x01"),
                               bulk.move_items(["a"], [1.5, "b"], 9), bulk.fit_list([*"ab", "c" * 99]),
                               bulk.decode_numbers(memoryview(bytes(range(17)))[1:], "d"),
                               bulk.decode_strings(b"\x03abc" * 3000 + b"\x03\xc3\xa9x", 0, 3001, bulk.text_table())),
    "compiled write": lambda: compiled_writes(fast_elements.StringCodec(None), ["a", b"b", None, 5]) + compiled_writes(
        fast_elements.IntegerCodec(None, "Int128"), [2**100, -1, None, 2**200, "x"]),
}


def compiled_writes(codec, values):
    codec.is_nullable = True
    for value in values:
        swallow(lambda value=value: codec.write(value), TypeError, OverflowError)()
    return codec.clear()


@pytest.mark.parametrize("operation", LOWCARDINALITY.values(), ids=LOWCARDINALITY.keys())
def test_no_leak_in_lowcardinality(operation):
    assert_no_leak(operation)


LOWCARDINALITY_REPORTED = {
    "skip truncated": lambda: lowcardinality_reader(LC_BLOCK[:20]).skip(),
    "skip truncated row indexes": lambda: lowcardinality_reader(LC_BLOCK[:-2]).skip(),
    "write failure": lambda: lowcardinality_writer(nullable=False).write(object()),
    "tell failure": lambda: LowCardinality.__new__(LowCardinality).tell(),
    "unconstructed destruction": lambda: LowCardinality.__new__(LowCardinality),
}


@pytest.mark.parametrize("operation", LOWCARDINALITY_REPORTED.values(), ids=LOWCARDINALITY_REPORTED.keys())
def test_no_leak_in_lowcardinality_failures_reported_as_unraisable(monkeypatch, operation):
    monkeypatch.setattr("sys.unraisablehook", lambda unraisable: None)
    monkeypatch.setattr("sys.stderr", Sink())
    assert_no_leak(operation, repeat=50)
