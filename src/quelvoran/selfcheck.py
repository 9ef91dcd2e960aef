"""Round trip of sample LowCardinality blocks: ``python -m quelvoran --self-check``.

Encodes built-in sample rows into a LowCardinality(Nullable(String)) block and
a LowCardinality(UInt32) block with the package's own codecs, decodes each
block back, and prints its type, its bytes in hex and the rows it decodes to.

Exit status: 0 when every block decodes to exactly the rows it was made from,
1 when one does not, 3 when the package's compiled modules cannot be imported
(the package is not built and installed).
"""

from __future__ import annotations

import io
import sys
from dataclasses import dataclass
from typing import Any, Protocol, TextIO

from quelvoran.common.dtypes.elements import ElementCodec, make_codec

LOWCARDINALITY_MODULE = "quelvoran.common.dtypes.objects.lowcardinality"
HEX_BYTES_PER_LINE = 16


class LowCardinalityColumn(Protocol):
    """What the round trip uses of the LowCardinality class."""

    def __init__(self, fileobj: Any, dtype: ElementCodec, is_nullable: Any, total_rows: int = 0) -> None: ...

    def write(self, value: Any) -> int: ...

    def clear(self) -> bytes: ...

    def read(self) -> list[Any]: ...


@dataclass(frozen=True)
class Sample:
    """Rows of one LowCardinality column."""

    element_type: str
    is_nullable: bool
    rows: tuple[Any, ...]

    @property
    def type_string(self) -> str:
        inner = f"Nullable({self.element_type})" if self.is_nullable else self.element_type
        return f"LowCardinality({inner})"


SAMPLES = (
    Sample(
        "String",
        True,
        ("apple", None, "banana", "apple", "", "cherry", None, "banana", "crème brûlée"),
    ),
    Sample("UInt32", False, (7, 42, 7, 0, 4294967295, 42, 7)),
)


@dataclass(frozen=True)
class RoundTrip:
    """A sample's block and what reading it back gave."""

    sample: Sample
    block: bytes
    decoded: Any
    left_over: bytes

    @property
    def ok(self) -> bool:
        return type(self.decoded) is list and self.decoded == list(self.sample.rows) and not self.left_over


def round_trip(sample: Sample, lowcardinality: type[LowCardinalityColumn]) -> RoundTrip:
    """Encode the sample's rows into one block, then read the block back."""
    sink = io.BytesIO()
    writer = lowcardinality(sink, make_codec(sample.element_type, sink), sample.is_nullable)
    for row in sample.rows:
        writer.write(row)
    block = writer.clear()

    source = io.BytesIO(block)
    reader = lowcardinality(source, make_codec(sample.element_type, source), sample.is_nullable)
    decoded = reader.read()
    return RoundTrip(sample, block, decoded, source.read())


def hex_lines(data: bytes) -> list[str]:
    """The bytes in hex, HEX_BYTES_PER_LINE to a line."""
    return [
        data[start:start + HEX_BYTES_PER_LINE].hex(" ")
        for start in range(0, len(data), HEX_BYTES_PER_LINE)
    ]


def describe(result: RoundTrip) -> str:
    """The report of one round trip, as printed."""
    sample = result.sample
    lines = [f"{sample.type_string}: {len(sample.rows)} rows, {len(result.block)} bytes"]
    lines += [f"  {line}" for line in hex_lines(result.block)]
    lines.append(f"  rows: {result.decoded!r}")
    if result.ok:
        lines.append("  round trip: ok")
    else:
        lines.append(f"  round trip: FAILED, expected {list(sample.rows)!r}")
        if result.left_over:
            lines.append(f"  {len(result.left_over)} bytes left unread after the block")
    return "\n".join(lines) + "\n"


def run(lowcardinality: type[LowCardinalityColumn], out: TextIO, err: TextIO) -> int:
    """Round-trip every sample, print the reports; the exit status."""
    failed = []
    for sample in SAMPLES:
        try:
            result = round_trip(sample, lowcardinality)
        except Exception as error:
            print(f"{sample.type_string}: round trip FAILED: {error!r}\n", file=out)
            failed.append(sample.type_string)
            continue
        print(describe(result), file=out)
        if not result.ok:
            failed.append(sample.type_string)
    if failed:
        print(f"quelvoran: round trip failed for {', '.join(failed)}", file=err)
        return 1
    return 0


def main() -> int:
    try:
        from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality
    except ImportError as error:
        print(
            f"quelvoran: cannot import the compiled module {LOWCARDINALITY_MODULE} ({error});"
            " build and install the package first: pip install .",
            file=sys.stderr,
        )
        return 3
    return run(LowCardinality, sys.stdout, sys.stderr)
