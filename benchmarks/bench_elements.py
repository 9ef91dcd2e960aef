"""Speed of the element codecs, as ratios to plain-Python baselines.

Run: python benchmarks/bench_elements.py [rows]

Each case times a codec operation and a baseline doing the least work that
gives the same result, on the same data in the same run, and checks the ratio
against a target. Exit status 1 when a target is missed.
"""

from __future__ import annotations

import io
import struct
import sys
import timeit
from datetime import datetime, timedelta
from typing import Any, Callable

from quelvoran.common.dtypes.elements import make_codec


def best_time(function: Callable[[], Any], repeat: int = 5) -> float:
    return min(timeit.repeat(function, number=1, repeat=repeat))


def encoded(name: str, values: list[Any]) -> bytes:
    codec = make_codec(name, io.BytesIO())
    for value in values:
        codec.write(value)
    return codec.clear()


def codec_read(name: str, data: bytes, rows: int) -> Callable[[], Any]:
    def run() -> Any:
        codec = make_codec(name, io.BytesIO(data))
        codec.total_rows = rows
        return codec.read()
    return run


def codec_write(name: str, values: list[Any]) -> Callable[[], Any]:
    def run() -> Any:
        codec = make_codec(name, None)
        for value in values:
            codec.write(value)
        return codec.clear()
    return run


def baseline_unpack(code: str, data: bytes, rows: int) -> Callable[[], Any]:
    def run() -> Any:
        return list(struct.unpack(f"<{rows}{code}", io.BytesIO(data).read(len(data))))
    return run


def baseline_pack(code: str, values: list[Any]) -> Callable[[], Any]:
    pack = struct.Struct("<" + code).pack

    def run() -> Any:
        buffer = bytearray()
        for value in values:
            buffer += pack(value)
        return bytes(buffer)
    return run


def baseline_strings(data: bytes, rows: int) -> Callable[[], Any]:
    """Short strings only: one length byte each, no checks."""
    def run() -> Any:
        read = io.BytesIO(data).read
        return [read(read(1)[0]).decode() for _ in range(rows)]
    return run


def main() -> int:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    integers = list(range(rows))
    floats = [i / 3 for i in range(rows)]
    strings = [f"value {i}" for i in range(rows)]
    moments = [datetime(2024, 1, 1) + timedelta(seconds=i) for i in range(rows)]

    cases = [
        # name, operation, codec, baseline, target ratio
        ("UInt64", "read", codec_read("UInt64", encoded("UInt64", integers), rows),
         baseline_unpack("Q", encoded("UInt64", integers), rows), 2.0),
        ("Float64", "read", codec_read("Float64", encoded("Float64", floats), rows),
         baseline_unpack("d", encoded("Float64", floats), rows), 2.0),
        ("Int32", "write", codec_write("Int32", integers), baseline_pack("i", integers), 5.0),
        ("Float64", "write", codec_write("Float64", floats), baseline_pack("d", floats), 5.0),
        ("String", "read", codec_read("String", encoded("String", strings), rows),
         baseline_strings(encoded("String", strings), rows), 3.0),
        ("DateTime", "read", codec_read("DateTime", encoded("DateTime", moments), rows),
         baseline_unpack("I", encoded("DateTime", moments), rows), 40.0),
    ]
    missed = 0
    print(f"{'case':<16} {'ns/row':>8} {'baseline':>9} {'ratio':>6} {'target':>7}")
    for name, operation, codec, baseline, target in cases:
        codec_seconds, baseline_seconds = best_time(codec), best_time(baseline)
        ratio = codec_seconds / baseline_seconds
        verdict = "" if ratio <= target else "  MISSED"
        missed += ratio > target
        print(
            f"{name + ' ' + operation:<16} {codec_seconds / rows * 1e9:>8.0f}"
            f" {baseline_seconds / rows * 1e9:>9.0f} {ratio:>6.2f} {target:>7.1f}{verdict}"
        )
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
