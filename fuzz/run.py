"""Runs one harness of this directory under atheris (libFuzzer).

    python fuzz/run.py HARNESS [libFuzzer options] [corpus directories]

HARNESS names a harness (lowcardinality_read, ...): the module
fuzz_HARNESS here, whose ``check(data)`` raises on a finding; its seeds are
in seeds/HARNESS. The package's Python modules are
instrumented too, so that coverage of the pure-Python layers (the Native
reader, the element codecs) guides the fuzzer as well as the C++ coverage of
a build made with -fsanitize=fuzzer-no-link.
"""

import importlib
import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
harness_name = sys.argv.pop(1)
with atheris.instrument_imports(include=["quelvoran"]):
    harness = importlib.import_module(f"fuzz_{harness_name}")

atheris.Setup(sys.argv, harness.check)
atheris.Fuzz()
