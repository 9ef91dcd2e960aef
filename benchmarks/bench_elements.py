"""Speed of the element codecs, as ratios to plain-Python baselines.

Run: python benchmarks/bench_elements.py [rows]

Each case times a codec operation and a baseline doing the least work that
gives the same result, on the same data in the same run, and checks the ratio
against a target. A second table times every compiled codec
(``fast_elements``) against its reference codec (``elements``) on the same
column, reading it and encoding it whole, after checking that both give the
same values and bytes; no compiled codec may be slower. Exit status 1 when
a target is missed.
"""

from __future__ import annotations

import io
import struct
import sys
import timeit
import decimal
import ipaddress
import uuid
import zoneinfo
from datetime import date, datetime, timedelta, timezone
from typing import Any, Callable

from quelvoran.common.dtypes import elements, fast_elements
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
    return 1 if missed or compare_codecs(rows) else 0


def columns(rows: int) -> list[tuple[str, str, tuple[Any, ...], list[Any]]]:
    """Per type: its name, codec class name, codec arguments and values."""
    moments = [datetime(2024, 1, 1) + timedelta(seconds=7 * i, microseconds=i) for i in range(rows)]
    zone = zoneinfo.ZoneInfo("Europe/Berlin")
    return [
        ("UInt8", "IntegerCodec", ("UInt8",), [i % 256 for i in range(rows)]),
        ("Int32", "IntegerCodec", ("Int32",), [i * 7 - rows for i in range(rows)]),
        ("UInt64", "IntegerCodec", ("UInt64",), [i * 2**40 for i in range(rows)]),
        ("Int128", "IntegerCodec", ("Int128",), [i * 2**70 - i for i in range(rows)]),
        ("Int256 (small)", "IntegerCodec", ("Int256",), [i - rows // 2 for i in range(rows)]),
        ("UInt256 (huge)", "IntegerCodec", ("UInt256",), [i * 2**200 for i in range(rows)]),
        ("Float32", "FloatCodec", ("Float32",), [i / 4 for i in range(rows)]),
        ("Float64", "FloatCodec", ("Float64",), [i / 3 for i in range(rows)]),
        ("FixedString(8)", "FixedStringCodec", (8,), [f"v{i}" for i in range(rows)]),
        ("Date", "DateCodec", (), [date(2000, 1, 1) + timedelta(i % 20000) for i in range(rows)]),
        ("DateTime", "DateTimeCodec", (), [moment.replace(microsecond=0) for moment in moments]),
        ("DateTime('tz')", "ZonedDateTimeCodec", (zone,),
         [moment.replace(microsecond=0).astimezone(zone) for moment in moments]),
        ("Date32", "Date32Codec", (), [date(1950, 1, 1) + timedelta(i % 50000) for i in range(rows)]),
        ("DateTime64(6)", "DateTime64Codec", (6,), moments),
        ("DateTime64(3,tz)", "DateTime64Codec", (3, zone),
         [moment.replace(microsecond=moment.microsecond // 1000 * 1000).astimezone(zone) for moment in moments]),
        ("Decimal(9,2)", "DecimalCodec", (9, 2), [decimal.Decimal(i).scaleb(-2) for i in range(rows)]),
        ("Decimal(38,10)", "DecimalCodec", (38, 10), [decimal.Decimal(i * 10**15 + 1).scaleb(-10) for i in range(rows)]),
        ("Decimal(76,20)", "DecimalCodec", (76, 20), [decimal.Decimal(i).scaleb(-20) for i in range(rows)]),
        ("UUID", "UUIDCodec", (), [uuid.UUID(int=i * 2**100 + i) for i in range(rows)]),
        ("IPv4", "IPv4Codec", (), [ipaddress.IPv4Address(i * 40_000) for i in range(rows)]),
        ("IPv6", "IPv6Codec", (), [ipaddress.IPv6Address(i * 2**90 + i) for i in range(rows)]),
        ("Enum8", "EnumCodec", ("Enum8", {1: "red", 2: "green", -3: "blue"}),
         [("red", "green", "blue")[i % 3] for i in range(rows)]),
        ("Enum16", "EnumCodec", ("Enum16", {1000: "on", -1000: "off"}), [("on", "off")[i % 2] for i in range(rows)]),
    ]


def compare_codecs(rows: int) -> int:
    """Prints reference against compiled per type; returns how many compiled
    codecs are slower."""
    print(f"\n{'type':<18} {'read ref':>9} {'compiled':>9} {'speedup':>8} {'write ref':>10} {'compiled':>9} {'speedup':>8}")
    slower = 0
    for name, class_name, arguments, values in columns(rows):
        reference = getattr(elements, class_name)(None, *arguments)
        compiled = getattr(fast_elements, class_name)(None, *arguments)
        data = b"".join(map(reference.encode_value, values))

        def read(codec: elements.ElementCodec) -> Callable[[], Any]:
            def run() -> Any:
                codec.fileobj = io.BytesIO(data)
                codec.total_rows = rows
                return codec.read()
            return run

        def write_reference() -> bytes:
            return b"".join(map(reference.encode_value, values))

        def write_compiled() -> bytes:
            return compiled.encode_column(values)  # type: ignore[attr-defined, no-any-return]

        decoded = read(reference)()
        if repr(read(compiled)()) != repr(decoded) or write_compiled() != data:
            raise AssertionError(f"{name}: the compiled codec differs from the reference")
        timings = [best_time(function) for function in (read(reference), read(compiled), write_reference, write_compiled)]
        read_speedup, write_speedup = timings[0] / timings[1], timings[2] / timings[3]
        # Where the reference decodes in one C call already (array), the
        # compiled codec keeps its code: equal times, within the noise.
        verdict = "" if min(read_speedup, write_speedup) > 0.9 else "  MISSED"
        slower += bool(verdict)
        per_row = [seconds / rows * 1e9 for seconds in timings]
        print(
            f"{name:<18} {per_row[0]:>9.0f} {per_row[1]:>9.0f} {read_speedup:>7.1f}x"
            f" {per_row[2]:>10.0f} {per_row[3]:>9.0f} {write_speedup:>7.1f}x{verdict}"
        )
    print("(ns/row; speedup = reference time / compiled time)")
    return slower


if __name__ == "__main__":
    sys.exit(main())
