"""`python -m quelvoran`: show the C-level entry points each module publishes."""

import ctypes
import importlib
import sys

MODULES = (
    "quelvoran.common.length",
    "quelvoran.common.dtypes.functions.booleans",
    "quelvoran.common.dtypes.functions.integers",
    "quelvoran.common.cast_dataframes",
)


_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]


def main() -> int:
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError as error:
            print(f"{name}: cannot be imported ({error}); is the package built and installed?", file=sys.stderr)
            return 1
        print(name)
        for entry, capsule in module.__pyx_capi__.items():
            print(f"    {entry}: {_capsule_name(capsule).decode()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
