"""Rows written through LowCardinality and the package's element codecs read back unchanged."""

import io

from hypothesis import given, settings
from hypothesis import strategies as st

from quelvoran.common.dtypes.elements import make_codec
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

VALUES = {
    "String": st.text(st.characters(blacklist_categories=("Cs",)), max_size=8),
    "UInt8": st.integers(0, 255),
    "Int64": st.integers(-(2**63), 2**63 - 1),
    "Float64": st.floats(allow_nan=False),
}
DEFAULTS = {"String": "", "UInt8": 0, "Int64": 0, "Float64": 0.0}


@st.composite
def columns(draw):
    """An element type, nullability and two blocks of rows; rows repeat a small
    pool of values, and a block sometimes has enough rows for 2-byte indexes.
    A block has a row at least: an empty nullable block has no NULL entry to read."""
    name = draw(st.sampled_from(sorted(VALUES)))
    nullable = draw(st.booleans())
    pool = draw(st.lists(st.none() | VALUES[name], min_size=1, max_size=40))
    rows = st.lists(st.sampled_from(pool), min_size=1, max_size=draw(st.sampled_from([20, 300])))
    return name, nullable, draw(rows), draw(rows)


@settings(max_examples=150, deadline=None)
@given(columns())
def test_written_blocks_read_back_as_the_rows(column):
    name, nullable, *blocks = column
    writer = LowCardinality(None, make_codec(name, None), nullable)
    data = b""
    for rows in blocks:
        for value in rows:
            writer.write(value)
        data += writer.clear()

    fileobj = io.BytesIO(data)
    reader = LowCardinality(fileobj, make_codec(name, fileobj), nullable)
    for rows in blocks:
        expected = [DEFAULTS[name] if value is None and not nullable else value for value in rows]
        assert reader.read() == expected
    assert fileobj.tell() == len(data)
