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
