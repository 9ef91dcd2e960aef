"""Writes the fuzzing seeds under fuzz/seeds/, from samples the ClickHouse
engine makes (the embedded engine of the `chdb` package).

    python fuzz/make_seeds.py

Each harness gets inputs in its own layout (see the harness's docstring):
LowCardinality blocks of every element type, plain and Nullable; type
strings; LEB128 counts; whole Native streams. Sequences for the writing
harness are built here, since the engine has no part in them.
"""

import pathlib
import shutil

import chdb

from quelvoran.common.dtypes.elements import ELEMENT_TYPES

SEEDS = pathlib.Path(__file__).parent / "seeds"
SETTINGS = "SETTINGS allow_suspicious_low_cardinality_types = 1, session_timezone = 'UTC'"
FIXEDSTRING_LENGTH = 4


def native(query):
    return chdb.query(f"{query} {SETTINGS}", "Native").bytes()


def leb128_at(data, position):
    value = shift = 0
    while True:
        byte = data[position]
        position += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, position


def only_column(data):
    """(type string, column data) of a one-column, one-block Native stream."""
    columns, position = leb128_at(data, 0)
    assert columns == 1
    _, position = leb128_at(data, position)
    size, position = leb128_at(data, position)
    position += size
    size, position = leb128_at(data, position)
    return data[position:position + size].decode(), data[position + size:]


def element_expression(name):
    value = "number % 3 * 7"
    if name == "String":
        return f"toString({value})"
    if name == "FixedString":
        return f"toFixedString(toString({value}), {FIXEDSTRING_LENGTH})"
    return f"CAST({value} AS {name})"


def lowcardinality_samples():
    """(seed name, type string, seed) per element type, plain and Nullable."""
    for index, name in enumerate(ELEMENT_TYPES):
        inner = f"FixedString({FIXEDSTRING_LENGTH})" if name == "FixedString" else name
        for nullable in (False, True):
            value = element_expression(name)
            if nullable:
                value = f"if(number % 4 = 3, NULL, {value})"
                column_type = f"LowCardinality(Nullable({inner}))"
            else:
                column_type = f"LowCardinality({inner})"
            type_string, block = only_column(native(f"SELECT CAST({value} AS {column_type}) AS c FROM numbers(6)"))
            prefix = bytes([index, nullable, FIXEDSTRING_LENGTH - 1])
            yield f"{name}{'_nullable' if nullable else ''}", type_string, prefix + block


def lowcardinality_seeds():
    for name, _, seed in lowcardinality_samples():
        yield name, seed


# Columns of every kind the Native reader takes, three rows each.
NATIVE_COLUMNS = [
    "toString(number) AS s",
    "toFixedString(toString(number), 3) AS fs",
    "toInt8(number - 1) AS i8",
    "toUInt64(number * 1000) AS u64",
    "toInt256(number) - 1 AS i256",
    "toFloat32(number / 3) AS f32",
    "toFloat64(number) / 7 AS f64",
    "toDate(number) AS d",
    "toDate32(number) AS d32",
    "toDateTime(number * 100000) AS dt",
    "toDateTime64(number, 3, 'Asia/Tokyo') AS dt64",
    "toDecimal64(number / 3, 4) AS dec",
    "generateUUIDv4(number) AS uuid",
    "toIPv4(number) AS ip4",
    "toIPv6('::1') AS ip6",
    "toBool(number % 2) AS b",
    "[] AS nothing",
    "NULL AS null",
    "CAST(number % 2 + 1 AS Enum8('a' = 1, 'b\\'' = 2)) AS e",
    "if(number = 1, NULL, number) AS n",
    "toLowCardinality(toString(number % 2)) AS lc",
    "CAST(if(number = 1, NULL, toString(number)) AS LowCardinality(Nullable(String))) AS lcn",
    "range(number) AS a",
    "[toLowCardinality(toString(number))] AS alc",
    "(number, toString(number)) AS t",
    "CAST((number, 'x') AS Tuple(k UInt64, v String)) AS nt",
    "map(toString(number), number) AS m",
    "[[number], []] AS aa",
]


def native_seeds():
    # The first byte asks for the stream to come 4 bytes per read.
    trickle = b"\x07"
    for column in NATIVE_COLUMNS:
        name = column.rsplit(" AS ", 1)[1]
        yield name, trickle + native(f"SELECT {column} FROM numbers(3)")
    yield "all_columns", trickle + native(f"SELECT {', '.join(NATIVE_COLUMNS)} FROM numbers(3)")
    yield "three_blocks", trickle + native(
        "SELECT number AS n, toLowCardinality(toString(number % 2)) AS lc FROM numbers(5)"
        " SETTINGS max_block_size = 2"
    )
    yield "empty", trickle


def type_seeds():
    for column in NATIVE_COLUMNS:
        name = column.rsplit(" AS ", 1)[1]
        yield name, only_column(native(f"SELECT {column} FROM numbers(1)"))[0].encode()
    for name, type_string, _ in lowcardinality_samples():
        yield f"lowcardinality_{name}", type_string.encode()


def length_seeds():
    # The row count of a block: the second LEB128 number of its stream.
    for rows in (0, 1, 127, 128, 300, 16384, 65409):
        data = native(f"SELECT number FROM numbers({rows}) SETTINGS max_block_size = 65409")
        if data:
            _, position = leb128_at(data, 0)
            _, end = leb128_at(data, position)
            yield f"rows_{rows}", data[position:end]


def write_seeds():
    # Per element type: writes of a few values (the bytes after each
    # operation byte make the value), a repeat, tell, a pickled copy, clear,
    # and a write of None.
    for index, name in enumerate(ELEMENT_TYPES):
        for nullable in (False, True):
            value_bytes = bytes([3]) + b"abc" + bytes(29)
            operations = (b"\x01" + value_bytes) * 2 + b"\x02" + bytes(32) + b"\x06\x2f\x05\x00\x07"
            yield f"{name}{'_nullable' if nullable else ''}", bytes([index, nullable, 7]) + operations


def main():
    harnesses = {
        "lowcardinality_read": lowcardinality_seeds,
        "lowcardinality_write": write_seeds,
        "parse": type_seeds,
        "length": length_seeds,
        "native_read": native_seeds,
    }
    for harness, seeds in harnesses.items():
        directory = SEEDS / harness
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        for name, data in seeds():
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
