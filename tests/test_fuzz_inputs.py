"""The fuzzing harnesses' checks (fuzz/) on their seeds and on every input a
fuzzer once failed on (tests/data/fuzz/HARNESS/), without the fuzzer."""

import importlib
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
FUZZ = ROOT / "fuzz"
INPUTS = [
    pytest.param(directory.name, path, id=f"{directory.name}/{kind}/{path.name}")
    for kind, base in (("seed", FUZZ / "seeds"), ("finding", ROOT / "tests" / "data" / "fuzz"))
    if base.is_dir()
    for directory in sorted(base.iterdir())
    for path in sorted(directory.iterdir())
]


@pytest.fixture(scope="module")
def harnesses():
    sys.path.insert(0, str(FUZZ))
    try:
        yield lambda name: importlib.import_module(f"fuzz_{name}")
    finally:
        sys.path.remove(str(FUZZ))


@pytest.mark.parametrize("harness, path", INPUTS)
def test_input_passes_its_harness(harnesses, harness, path):
    harnesses(harness).check(path.read_bytes())
