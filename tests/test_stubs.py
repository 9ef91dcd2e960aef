"""The shipped .pyi stubs agree with the installed modules."""

import subprocess
import sys

import pytest

MODULES = [
    "quelvoran.common.length",
    "quelvoran.common.cast_dataframes",
    "quelvoran.common.dtypes.functions.booleans",
    "quelvoran.common.dtypes.functions.integers",
    "quelvoran.common.dtypes.objects.lowcardinality",
    "quelvoran.common.dtypes.parse",
    "quelvoran.common.dtypes.elements",
    "quelvoran.common.dtypes.dtype",
]


def test_stubs_match_runtime(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *MODULES],
        capture_output=True,
        text=True,
        timeout=600,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
