"""The Native reader and writer against the ClickHouse engine itself (chdb).

Each case is a column expression. The engine writes it as ``FORMAT Native``
and renders it as JSON; our reader must decode the Native bytes to the values
the JSON shows. Then our writer encodes those values, the engine reads the
file back, and its JSON rendering must show the same values again.
"""

import datetime
import decimal
import ipaddress
import json
import os
import struct
import uuid
import zoneinfo

import pytest

from quelvoran import native
from quelvoran.native import _split_arguments, _tuple_item_type, _TYPE_PATTERN

chdb = pytest.importorskip("chdb", exc_type=ImportError) if not os.environ.get("CI") else __import__("chdb")

JSON_SETTINGS = (
    "SETTINGS session_timezone = 'UTC', output_format_json_quote_64bit_integers = 0,"
    " output_format_json_quote_decimals = 1, output_format_json_named_tuples_as_objects = 0,"
    " output_format_json_map_as_array_of_tuples = 1"
)

ROWS = 7


def engine_native(sql):
    return chdb.query(f"{sql} SETTINGS session_timezone = 'UTC'", "Native").bytes()


def engine_json(sql):
    """(types, rows) of the engine's JSON rendering of a query."""
    text = chdb.query(f"{sql} {JSON_SETTINGS}", "JSONCompactEachRowWithNamesAndTypes").bytes()
    lines = [json.loads(line.decode("utf-8", "surrogateescape")) for line in text.splitlines()]
    return lines[1], lines[2:]


def split_type(type_string):
    name, arguments = _TYPE_PATTERN.fullmatch(type_string).groups()
    return name, arguments


def zone_of(type_string):
    name, arguments = split_type(type_string)
    if name == "DateTime" and arguments:
        return zoneinfo.ZoneInfo(arguments.strip("'"))
    if name == "DateTime64" and "," in (arguments or ""):
        return zoneinfo.ZoneInfo(_split_arguments(arguments)[1].strip("'"))
    return None


def from_json(ours, theirs, value):
    """A JSON value of the engine's type ``theirs`` as our reader gives it for
    type ``ours`` (the same type, but the engine may write a top-level
    DateTime('zone') as plain DateTime in Native)."""
    if value is None:
        return None
    name, arguments = split_type(ours)
    their_arguments = split_type(theirs)[1]
    if name in ("Nullable", "LowCardinality"):
        return from_json(arguments, their_arguments, value)
    if name == "Array":
        return [from_json(arguments, their_arguments, item) for item in value]
    if name == "Tuple":
        items = [_tuple_item_type(item) for item in _split_arguments(arguments)]
        their_items = [_tuple_item_type(item) for item in _split_arguments(their_arguments)]
        return tuple(from_json(*types, item) for *types, item in zip(items, their_items, value))
    if name == "Map":
        (key, item), (their_key, their_item) = _split_arguments(arguments), _split_arguments(their_arguments)
        return {from_json(key, their_key, k): from_json(item, their_item, v) for k, v in value}
    if name in ("String", "Enum8", "Enum16"):
        return value
    if name == "FixedString":
        return value.rstrip("\x00")
    if "Int" in name:
        return int(value)
    if name == "Float32":
        return struct.unpack("<f", struct.pack("<f", value))[0]
    if name == "Float64":
        return float(value)
    if name == "Bool":
        return value
    if name.startswith("Decimal"):
        return decimal.Decimal(value)
    if name in ("Date", "Date32"):
        return datetime.date.fromisoformat(value)
    if name.startswith("DateTime"):
        seconds, _, fraction = value.partition(".")
        moment = datetime.datetime.fromisoformat(seconds).replace(microsecond=int((fraction + "000000")[:6]))
        aware = moment.replace(tzinfo=zone_of(theirs) or datetime.timezone.utc)
        zone = zone_of(ours)
        return aware.astimezone(zone) if zone else aware.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    if name == "UUID":
        return uuid.UUID(value)
    if name == "IPv4":
        return ipaddress.IPv4Address(value)
    if name == "IPv6":
        return ipaddress.IPv6Address(value)
    raise AssertionError(f"no JSON conversion for {ours}")


# Element expressions over `number`, each giving several distinct values.
ELEMENTS = {
    "String": "if(number = 1, unhex('ff00fe'), repeat(toString(number), number))",
    "FixedString(3)": "toFixedString(toString(number * 7 % 1000), 3)",
    "Date": "toDate(number * 4001)",
    "DateTime": "toDateTime(number * 86401 * 97, 'UTC')",
    "Int8": "toInt8(number * 37 % 256 - 128)",
    "Int16": "toInt16(number * 9973 % 65536 - 32768)",
    "Int32": "toInt32(number * 1000003 - 2147483648)",
    "Int64": "toInt64(number * 1000000000039) - 9223372036854775807",
    "Int128": "toInt128(number) * toInt128('1000000000000000000000000000') - toInt128('170141183460469231731687303715884105727')",
    "Int256": "toInt256(number) * toInt256('10000000000000000000000000000000000000000000000000000000') - 3",
    "UInt8": "toUInt8(number * 37 % 256)",
    "UInt16": "toUInt16(number * 9973 % 65536)",
    "UInt32": "toUInt32(4294967295 - number * 1000003)",
    "UInt64": "18446744073709551615 - number * 1000000000039",
    "UInt128": "toUInt128(number) * toUInt128('10000000000000000000000000000000000')",
    "UInt256": "toUInt256(number) * toUInt256('10000000000000000000000000000000000000000000000000000000000000000000000')",
    "Float32": "toFloat32(number / 3 - 1)",
    "Float64": "number / 7 - 0.5",
}
OTHERS = {
    "Date32": "toDate32('1900-01-01') + number * 20000",
    "DateTime('Asia/Tokyo')": "toDateTime(number * 86401 * 97, 'Asia/Tokyo')",
    "DateTime64(3)": "toDateTime64(number * 86401.123, 3, 'UTC')",
    "DateTime64(6, 'America/New_York')": "toDateTime64(number * 86401.654321, 6, 'America/New_York')",
    "Decimal(9, 2)": "toDecimal32(number * 3.25 - 10, 2)",
    "Decimal(18, 4)": "toDecimal64(number * 1000.0625 - 9999, 4)",
    "Decimal(38, 10)": "toDecimal128(number, 10) / 3",
    "Decimal(76, 30)": "toDecimal256(number, 30) / 7",
    "UUID": "toUUID(format('{}-0000-4000-8000-{}', leftPad(toString(number), 8, '0'), leftPad(toString(number * 7), 12, '0')))",
    "IPv4": "toIPv4(toUInt32(number * 16777259 % 4294967296))",
    "IPv6": "toIPv6(concat('2001:db8::', toString(number), ':ff'))",
    "Bool": "CAST(number % 3 = 0 AS Bool)",
    "Enum8": "CAST(['a', 'b\\'q', 'c\\\\d'][number % 3 + 1] AS Enum8('a' = 1, 'b\\'q' = -2, 'c\\\\d' = 127))",
    "Enum16": "CAST(['x', 'y'][number % 2 + 1] AS Enum16('x' = -32768, 'y' = 32767))",
}


def null_every_third(expression):
    return f"if(number % 3 = 1, NULL, {expression})"


CASES = (
    [expression for expression in {**ELEMENTS, **OTHERS}.values()]
    + [null_every_third(expression) for expression in {**ELEMENTS, **OTHERS}.values()]
    + [f"toLowCardinality({expression})" for expression in ELEMENTS.values()]
    + [f"toLowCardinality({null_every_third(expression)})" for expression in ELEMENTS.values()]
    + [f"if(number % 3 = 0, [], [{e}, {e}])" for e in list(ELEMENTS.values()) + list(OTHERS.values())]
    + [
        "NULL",
        "[]",
        "[NULL, NULL]",
        f"[[{null_every_third(ELEMENTS['String'])}], []]",
        f"[toLowCardinality({null_every_third(ELEMENTS['String'])})]",
        "if(number % 2 = 0, [], [toLowCardinality(toString(number))])",
        f"tuple({ELEMENTS['Int32']}, {OTHERS['Decimal(9, 2)']}, {null_every_third(ELEMENTS['String'])})",
        f"CAST(tuple({ELEMENTS['UInt8']}, [{ELEMENTS['String']}]) AS Tuple(first UInt8, `second x` Array(String)))",
        f"tuple([toLowCardinality({ELEMENTS['String']})], map(toString(number), [{ELEMENTS['UInt8']}]))",
        f"map({ELEMENTS['String']}, {null_every_third(OTHERS['UUID'])}, 'fixed', NULL)",
        f"map(toLowCardinality(toString(number % 2)), tuple({ELEMENTS['Float64']}, {OTHERS['IPv6']}))",
        f"[map(number, [{OTHERS['Date32']}])]",
        f"[[tuple({OTHERS['Enum8']}, {null_every_third(OTHERS['DateTime64(3)'])})]]",
    ]
)


@pytest.mark.parametrize("expression", CASES)
def test_engine_values_round_trip(expression, tmp_path):
    sql = f"SELECT {expression} AS value, number FROM numbers({ROWS})"
    table = native.read(engine_native(sql))
    their_types, rows = engine_json(sql)
    expected = [from_json(table.types[0], their_types[0], row[0]) for row in rows]
    assert table.column("value") == expected
    assert table.column("number") == list(range(ROWS))

    path = tmp_path / "ours.native"
    with open(path, "wb") as stream:
        native.write(table, stream, block_rows=3)
    reread_types, reread_rows = engine_json(f"SELECT value FROM file('{path}', Native) ORDER BY number")
    assert [from_json(table.types[0], reread_types[0], row[0]) for row in reread_rows] == expected


@pytest.mark.parametrize(
    "sql, rows, distinct",
    [
        ("SELECT toLowCardinality(toString(number % 300)) AS v FROM numbers(1000)", 1000, 300),
        ("SELECT toLowCardinality(toString(number % 70000)) AS v FROM numbers(140000)", 140000, 70000),
        ("SELECT toLowCardinality(toString(number)) AS v FROM numbers(300000)", 300000, 300000),
        ("SELECT toLowCardinality(if(number % 5 = 0, NULL, number % 100003)) AS v FROM numbers(500000)", 500000, 100003),
    ],
)
def test_engine_large_dictionaries(sql, rows, distinct, tmp_path):
    data = engine_native(f"{sql} SETTINGS max_block_size = 1000000")
    table = native.read(data)
    assert table.num_rows == rows
    assert len({value for value in table.column("v") if value is not None}) == distinct
    written = native.write(table, block_rows=rows)
    assert native.read(written) == table
    path = tmp_path / "dictionary.native"
    path.write_bytes(written)
    _, result = engine_json(f"SELECT count(), uniqExact(v), countIf(v IS NULL) FROM file('{path}', Native)")
    assert result == [[rows, distinct, table.column("v").count(None)]]


def test_engine_million_rows_in_several_blocks(tmp_path):
    sql = (
        "SELECT number AS n, toFloat64(number) / 4 AS f, toString(number) AS s, toDateTime(number, 'UTC') AS d,"
        " toLowCardinality(toString(number % 1000)) AS lc, if(number % 10 = 0, NULL, toInt32(number)) AS ni"
        " FROM numbers(1000000)"
    )
    data = engine_native(sql)
    blocks = list(native.iter_blocks(data))
    assert len(blocks) > 1 and sum(block.num_rows for block in blocks) == 1000000
    table = native.read(data)
    epoch = datetime.datetime(1970, 1, 1)
    for row in (0, 1, 65409, 999999):
        assert next(iter(zip(*(column[row:row + 1] for column in table.columns)))) == (
            row, row / 4, str(row), epoch + datetime.timedelta(seconds=row), str(row % 1000),
            None if row % 10 == 0 else row,
        )
    path = tmp_path / "million.native"
    path.write_bytes(native.write(Table_of(table, ["n", "s", "ni"])))
    assert native.read(native.write(Table_of(table, ["lc"]))) == Table_of(table, ["lc"])
    _, result = engine_json(
        f"SELECT count(), sum(n), sum(length(s)), countIf(ni IS NULL) FROM file('{path}', Native)"
    )
    assert result == [[1000000, 499999500000, sum(len(str(n)) for n in range(1000000)), 100000]]


def Table_of(table, names):
    indexes = [table.names.index(name) for name in names]
    return native.Table(names, [table.types[i] for i in indexes], [table.columns[i] for i in indexes])


def test_engine_empty_results_and_blocks(tmp_path):
    assert engine_native("SELECT number FROM numbers(10) WHERE number > 100") == b""
    assert native.read(b"") == native.Table([], [], [])
    empty = native.Table(["a", "b"], ["UInt8", "LowCardinality(String)"], [[], []])
    path = tmp_path / "empty.native"
    path.write_bytes(native.write(empty))
    assert native.read(path.read_bytes()) == empty
    _, rows = engine_json(f"SELECT count() FROM file('{path}', Native)")
    assert rows == [[0]]
    assert engine_json(f"DESCRIBE file('{path}', Native)")[1][0][:2] == ["a", "UInt8"]
