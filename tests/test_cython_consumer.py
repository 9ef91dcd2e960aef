"""A Cython-built caller, compiled at test time from the shipped .pxd files."""

import io
import pathlib
import shutil
import subprocess
import sys
import types

import pytest

SOURCE = pathlib.Path(__file__).parent / "cython_consumer" / "consumer.pyx"


@pytest.fixture(scope="module")
def consumer(tmp_path_factory):
    pytest.importorskip("Cython")
    build = tmp_path_factory.mktemp("consumer")
    shutil.copy(SOURCE, build)
    result = subprocess.run(
        [sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-3", "consumer.pyx"],
        cwd=build,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    sys.path.insert(0, str(build))
    try:
        import consumer as module
    finally:
        sys.path.remove(str(build))
    return module


@pytest.mark.parametrize("value", [0, 300, 2**64 - 1])
def test_length(consumer, value):
    encoded = consumer.length_encode(value)
    assert consumer.length_decode(io.BytesIO(encoded)) == value


def test_uint(consumer):
    assert consumer.uint_encode(0x0102, 2) == b"\x02\x01"
    assert consumer.uint_decode(io.BytesIO(b"\x02\x01"), 2) == 0x0102
    with pytest.raises(EOFError):
        consumer.uint_decode(io.BytesIO(b"\x02"), 2)


def test_bools(consumer):
    assert consumer.bools(io.BytesIO(b"\x01\x00\x30")) == (True, False, b"\x01", b"\x00", None, b"0", b"0")


def test_pandas_astype(consumer):
    column = types.SimpleNamespace(column="c", info=types.SimpleNamespace(dtype=types.SimpleNamespace(pytype=float), is_array=False))
    assert consumer.dtypes([column]) == {"c": "float64"}


def test_from_dtype(consumer):
    from quelvoran.common.dtypes.dtype import ClickhouseDtype

    entry = ClickhouseDtype["UInt8"]
    assert consumer.descriptors("Array(UInt8)") == (
        (entry, True, False, False, 1, None, None, None, None, 1),
        (entry, True, False, False, 1, None, None, None, None, 1),
        (entry, True, False, True, 1, None, None, None, None, 1),
        (entry, True, 2, 3, 1, 5, 6, 7, 8, 10),
    )
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        consumer.descriptors(8)


class TestLowCardinality:
    """The class's layout and operation table, as a Cython caller uses them."""

    @staticmethod
    def column(fileobj, nullable=False, cls=None):
        from quelvoran.common.dtypes.elements import make_codec
        from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

        return (cls or LowCardinality)(fileobj, make_codec("String", fileobj), nullable)

    def test_encode_decode_skip(self, consumer):
        sink = io.BytesIO()
        rows = ["b", None, "a", "b"]
        grown, size, block = consumer.lowcardinality_encode(self.column(sink, nullable=True), rows)
        assert grown == size == len(block)
        assert consumer.lowcardinality_decode(self.column(io.BytesIO(block), nullable=True)) == rows
        stream = io.BytesIO(block * 2)
        consumer.lowcardinality_skip(self.column(stream, nullable=True))
        assert stream.tell() == len(block)

    def test_fields_are_read_from_the_object_layout(self, consumer):
        column = self.column(io.BytesIO())
        column.write("x")
        fields = consumer.lowcardinality_fields(column)
        assert fields[2:] == ("LowCardinality(String)", False, 1, ["", "x"], ["x"], 1, None, 32 + 1 + 2)
        assert fields[0] is column.fileobj and fields[1] is column.dtype

    def test_python_subclass_overrides_are_dispatched(self, consumer):
        from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

        class Recording(LowCardinality):
            def write(self, value):
                return 1000

            def clear(self):
                return b"custom"

        grown, size, block = consumer.lowcardinality_encode(self.column(io.BytesIO(), cls=Recording), ["a", "b"])
        assert (grown, block) == (2000, b"custom")
