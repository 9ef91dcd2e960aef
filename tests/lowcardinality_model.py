"""A small Python model of the LowCardinality column and a way to get the
compiled class when it is built, for tests that need a column around the
element codecs."""

import importlib

import pytest

INDEX_WIDTHS = {0: 1, 1: 2, 2: 4, 3: 8}


class BlockModel:
    """The LowCardinality column as blocks lay it out: NULL at entry 0, the
    other entries sorted, the index width chosen from the row count."""

    def __init__(self, fileobj, dtype, is_nullable, total_rows=0):
        self.fileobj, self.dtype, self.is_nullable = fileobj, dtype, is_nullable
        dtype.is_nullable = False
        self.rows = []

    def write(self, value):
        self.rows.append(self.dtype.default_value if value is None and not self.is_nullable else value)
        return 0

    def clear(self):
        entries = []
        for value in (self.dtype.default_value, *self.rows):
            if value is not None and value not in entries:
                entries.append(value)
        dictionary = [None, *sorted(entries)] if self.is_nullable else sorted(entries)
        code = next(code for code, width in INDEX_WIDTHS.items() if len(self.rows) < 256 ** width)
        for entry in dictionary:
            self.dtype.write(entry)
        indexes = b"".join(
            dictionary.index(row).to_bytes(INDEX_WIDTHS[code], "little") for row in self.rows
        )
        return (
            bytes([1, 0, 0, 0, 0, 0, 0, 0, code, 6, 0, 0, 0, 0, 0, 0])
            + len(dictionary).to_bytes(8, "little")
            + self.dtype.clear()
            + len(self.rows).to_bytes(8, "little")
            + indexes
        )

    def read(self):
        width = INDEX_WIDTHS[self.fileobj.read(16)[8]]
        self.dtype.total_rows = int.from_bytes(self.fileobj.read(8), "little")
        dictionary = self.dtype.read()
        if self.is_nullable:
            dictionary[0] = None
        rows = int.from_bytes(self.fileobj.read(8), "little")
        return [dictionary[int.from_bytes(self.fileobj.read(width), "little")] for _ in range(rows)]


def lowcardinality_classes():
    classes = [pytest.param(BlockModel, id="model")]
    try:
        module = importlib.import_module("quelvoran.common.dtypes.objects.lowcardinality")
    except ImportError:
        classes.append(pytest.param(None, id="compiled", marks=pytest.mark.skip("not built")))
    else:
        classes.append(pytest.param(module.LowCardinality, id="compiled"))
    return classes
