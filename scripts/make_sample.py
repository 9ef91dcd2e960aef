"""Regenerates src/quelvoran/data/sample.native, the sample Native stream that
``python -m quelvoran`` reads when given no file.

The ClickHouse engine itself (the embedded one, from the ``chdb`` package)
writes it: five rows in two blocks, a column of every type the reader
supports, plain, Nullable, LowCardinality and nested.

    pip install chdb && python scripts/make_sample.py
"""

import pathlib

import chdb

COLUMNS = {
    "id": "toUInt64(number)",
    "name": "['apple', 'banana', 'cherry', 'crème brûlée', ''][number + 1]",
    "code": "toFixedString(['AB', 'CD', 'EF', 'GH', 'IJ'][number + 1], 2)",
    "day": "toDate('2024-02-27') + number",
    "day32": "toDate32('1901-01-01') + number * 10000",
    "seen": "toDateTime('2024-02-27 10:00:00', 'UTC') + number * 3600",
    "seen_tokyo": "[toDateTime('2024-02-27 10:00:00', 'Asia/Tokyo') + number]",
    "precise": "toDateTime64('2024-02-27 10:00:00.123456', 6, 'Europe/Paris') + number",
    "i8": "toInt8(-100 + number * 50)",
    "i16": "toInt16(-30000 + number * 15000)",
    "i32": "toInt32(-2000000000 + number * 1000000000)",
    "i64": "toInt64(-9000000000000000000 + number * 4500000000000000000)",
    "i128": "toInt128('-170141183460469231731687303715884105728') + number",
    "i256": "toInt256(number) * toInt256('10000000000000000000000000000000000000000000000000') - 1",
    "u8": "toUInt8(number * 60)",
    "u16": "toUInt16(number * 16000)",
    "u32": "toUInt32(number * 1000000000)",
    "u64": "toUInt64(18446744073709551615 - number)",
    "u128": "toUInt128(number) * toUInt128('10000000000000000000000000000000000000')",
    "u256": "toUInt256(number) * toUInt256('100000000000000000000000000000000000000000000000000000000')",
    "f32": "toFloat32(number / 4)",
    "f64": "number / 3 - 1",
    "price": "toDecimal64(number * 12.5 - 3.75, 2)",
    "big_price": "toDecimal256(number, 30) / 7",
    "uid": "toUUID(format('{}-0000-4000-8000-000000000000', leftPad(toString(number), 8, '0')))",
    "ip4": "toIPv4(concat('192.168.0.', toString(number)))",
    "ip6": "toIPv6(concat('2001:db8::', toString(number)))",
    "ok": "CAST(number % 2 = 0 AS Bool)",
    "colour": "CAST(['red', 'green', 'blue'][number % 3 + 1] AS Enum8('red' = 1, 'green' = 2, 'blue' = 3))",
    "level": "CAST(['low', 'high'][number % 2 + 1] AS Enum16('low' = -1000, 'high' = 1000))",
    "nothing": "NULL",
    "maybe_name": "if(number % 2 = 1, NULL, toString(number))",
    "tag": "toLowCardinality(['a', 'b', 'a', 'c', 'b'][number + 1])",
    "maybe_tag": "toLowCardinality(if(number = 2, NULL, ['x', 'y', 'z', 'x', 'y'][number + 1]))",
    "scores": "arrayMap(i -> toInt32(i * number), range(number))",
    "tags": "CAST(arrayMap(i -> toString(i), range(number % 3)) AS Array(LowCardinality(String)))",
    "pair": "tuple(number, toString(number))",
    "point": "CAST(tuple(number / 2, number * 2) AS Tuple(x Float64, y Float64))",
    "attributes": "map('n', toString(number), 'twice', toString(number * 2))",
    "nested": "[map(toString(number), [if(number = 1, NULL, toDate('2024-01-01'))])]",
}


def main() -> None:
    columns = ", ".join(f"{expression} AS {name}" for name, expression in COLUMNS.items())
    query = f"SELECT {columns} FROM numbers(5) SETTINGS max_block_size = 3, session_timezone = 'UTC'"
    data = chdb.query(query, "Native").bytes()
    target = pathlib.Path(__file__).resolve().parent.parent / "src" / "quelvoran" / "data" / "sample.native"
    target.write_bytes(data)
    print(f"wrote {len(data)} bytes to {target}")


if __name__ == "__main__":
    main()
