"""Speed of LowCardinality decoding and encoding, as ratios to baselines.

Run: python benchmarks/bench_lowcardinality.py [rows]

Baselines, timed in the same run on the same block:
- "result list": only building the row list from already-decoded indexes,
  `[dictionary[i] for i in indexes]`: the floor a decoder can approach;
- "python": a plain-Python decoder of the same block (bulk struct unpack of
  the indexes, the dictionary read by the same element codec).
Prints ns/row and the ratios; informational, it sets no target yet.
"""

from __future__ import annotations

import io
import struct
import sys
import timeit
from typing import Any, Callable

from quelvoran.common.dtypes.elements import make_codec
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

INDEX_CODES = {1: "B", 2: "H", 4: "I", 8: "Q"}


def best_time(function: Callable[[], Any], repeat: int = 5) -> float:
    return min(timeit.repeat(function, number=1, repeat=repeat))


def encode(rows: list[Any], name: str, nullable: bool) -> bytes:
    sink = io.BytesIO()
    column = LowCardinality(sink, make_codec(name, sink), nullable)
    for row in rows:
        column.write(row)
    return column.clear()


def compiled_read(block: bytes, name: str, nullable: bool) -> Callable[[], list[Any]]:
    def run() -> list[Any]:
        fileobj = io.BytesIO(block)
        return LowCardinality(fileobj, make_codec(name, fileobj), nullable).read()
    return run


def python_read(block: bytes, name: str, nullable: bool) -> Callable[[], list[Any]]:
    def run() -> list[Any]:
        fileobj = io.BytesIO(block)
        width = 1 << fileobj.read(16)[8]
        codec = make_codec(name, fileobj)
        codec.total_rows = struct.unpack("<Q", fileobj.read(8))[0]
        dictionary = codec.read()
        if nullable:
            dictionary[0] = None
        rows = struct.unpack("<Q", fileobj.read(8))[0]
        indexes = struct.unpack(f"<{rows}{INDEX_CODES[width]}", fileobj.read(rows * width))
        return [dictionary[i] for i in indexes]
    return run


def result_list(block: bytes, name: str, nullable: bool) -> Callable[[], list[Any]]:
    decoded = python_read(block, name, nullable)()
    dictionary = list(dict.fromkeys(decoded))
    positions = {id(value): i for i, value in enumerate(dictionary)}
    indexes = [positions[id(value)] for value in decoded]

    def run() -> list[Any]:
        return [dictionary[i] for i in indexes]
    return run


def main() -> int:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    samples = [
        ("String", True, [None if i % 7 == 0 else f"city {i % 50}" for i in range(count)]),
        ("UInt32", False, [i % 1000 for i in range(count)]),
    ]
    print(f"{'block':<42} {'ns/row':>7} {'python':>7} {'list':>5} {'/python':>8} {'/list':>6}")
    for name, nullable, rows in samples:
        block = encode(rows, name, nullable)
        read = compiled_read(block, name, nullable)
        assert read() == python_read(block, name, nullable)() == rows
        seconds = best_time(read)
        python_seconds = best_time(python_read(block, name, nullable))
        list_seconds = best_time(result_list(block, name, nullable))
        label = f"LowCardinality({'Nullable(' + name + ')' if nullable else name}) read"
        print(
            f"{label:<42} {seconds / count * 1e9:>7.0f} {python_seconds / count * 1e9:>7.0f}"
            f" {list_seconds / count * 1e9:>5.0f} {seconds / python_seconds:>8.2f} {seconds / list_seconds:>6.2f}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
