import io
import struct
import types
import warnings

import pytest

from leakcheck import assert_no_leak
from quelvoran._testcapi import booleans as booleans_caller
from quelvoran._testcapi import length as length_caller
from quelvoran._testcapi import parse as parse_caller
from quelvoran.common import cast_dataframes
from quelvoran.common.dtypes.functions import booleans


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


def test_no_leak_on_unraisable_path(monkeypatch):
    monkeypatch.setattr("sys.unraisablehook", lambda unraisable: None)
    monkeypatch.setattr("sys.stderr", type("Sink", (), {"write": lambda self, text: len(text), "flush": lambda self: None})())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_no_leak(lambda: length_caller.read_length(io.BytesIO(b"\x81")), repeat=50)
        assert_no_leak(lambda: length_caller.read_length(type("S", (), {"read": lambda s, n: [IntLike(-1)]})()), repeat=50)
