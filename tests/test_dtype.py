import datetime
import decimal
import ipaddress
import pickle
import uuid

import pytest

from quelvoran.common.dtypes.dtype import ClickhouseDtype, DtypeEntry

INTEGERS = [f"{sign}Int{bits}" for sign in ("", "U") for bits in (8, 16, 32, 64, 128, 256)]
INTERVALS = [
    f"Interval{unit}"
    for unit in (
        "Nanosecond", "Microsecond", "Millisecond", "Second", "Minute", "Hour",
        "Day", "Week", "Month", "Quarter", "Year",
    )
]

# The Python types callers rely on (the DataFrame casting keys its dtypes on them).
EXPECTED_PYTYPES = [
    *[(name, int) for name in INTEGERS],
    *[(name, float) for name in ("Float32", "Float64", "BFloat16")],
    ("Bool", bool),
    *[(name, str) for name in ("String", "FixedString", "Enum8", "Enum16")],
    ("Date", datetime.date),
    ("Date32", datetime.date),
    ("DateTime", datetime.datetime),
    ("DateTime64", datetime.datetime),
    *[(name, decimal.Decimal) for name in ("Decimal", "Decimal32", "Decimal64", "Decimal128", "Decimal256")],
    ("UUID", uuid.UUID),
    ("IPv4", ipaddress.IPv4Address),
    ("IPv6", ipaddress.IPv6Address),
    ("Nothing", type(None)),
]

# Names a server reports whose Python type is the catalogue's own choice.
OTHER_NAMES = [
    "Time", "Time64", "Map", "Tuple", "Nested", "JSON", "Object", "Variant", "Dynamic", "Point", "Ring",
    "Polygon", "MultiPolygon", "LineString", "MultiLineString", "SimpleAggregateFunction", "AggregateFunction",
    *INTERVALS,
]


@pytest.mark.parametrize(("name", "pytype"), EXPECTED_PYTYPES)
def test_entry_names_the_type_and_its_python_type(name, pytype):
    entry = ClickhouseDtype[name]
    assert entry.name == name
    assert entry.pytype is pytype


@pytest.mark.parametrize("name", OTHER_NAMES)
def test_entry_for_every_other_reported_name(name):
    entry = ClickhouseDtype[name]
    assert entry.name == name
    assert isinstance(entry.pytype, type)


@pytest.mark.parametrize("name", ["Array", "Nullable", "LowCardinality", "uint8", "UInt8 ", "", "Foo"])
def test_unknown_or_wrapper_name_raises_key_error(name):
    with pytest.raises(KeyError) as raised:
        ClickhouseDtype[name]
    assert raised.value.args == (name,)


def test_catalogue_and_entries_are_read_only():
    with pytest.raises(TypeError):
        ClickhouseDtype["UInt8"] = DtypeEntry("UInt8", str)  # type: ignore[index]
    with pytest.raises(AttributeError):
        ClickhouseDtype["UInt8"].pytype = str  # type: ignore[misc]


def test_entries_are_stable_hashable_and_picklable():
    entry = ClickhouseDtype["DateTime64"]
    assert ClickhouseDtype["DateTime64"] is entry
    assert {entry: 1}[DtypeEntry("DateTime64", datetime.datetime)] == 1
    assert pickle.loads(pickle.dumps(entry)) == entry
