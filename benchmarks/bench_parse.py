"""from_dtype against a plain-Python parser of the same type strings.

Run: python benchmarks/bench_parse.py. Prints the time per call of each and
their ratio. Both spend most of their time in the same re.match, re.findall
and ast.literal_eval calls (the parser must call whatever the module binds to
those names), so the target is only that the compiled parser never falls more
than 10% behind the baseline.
"""

import ast
import re
import sys
import timeit

from quelvoran._testcapi import parse as caller
from quelvoran.common.dtypes.dtype import ClickhouseDtype

DTYPE_PATTERN = r"^(\w+)(?:\((.*)\))?$"
ENUM_PATTERN = r"'([^']+)'\s*=\s*(-*?\d+)"
WIDTHS = {"UInt8": 1, "Int32": 4, "DateTime64": 8, "Enum8": 1}
TYPE_STRINGS = [
    "UInt8",
    "LowCardinality(Nullable(String))",
    "Array(Array(UInt8))",
    "Decimal(38, 4)",
    "DateTime64(3, 'UTC')",
    "Enum8('a' = 1, 'b' = 2, 'c' = 3)",
    "Map(String, Array(UInt8))",
]


def decimal_width(precision):
    if not 1 <= precision <= 76:
        raise ValueError("precision must be in [1:76] range!")
    return 4 if precision <= 9 else 8 if precision <= 18 else 16 if precision <= 38 else 32


def baseline(dtype, is_array=False, is_lowcardinality=False, is_nullable=False, precision=None, scale=None,
             tzinfo=None, enumcase=None, nested=0):
    parsed = re.match(DTYPE_PATTERN, dtype)
    if not parsed:
        raise ValueError("Fail to parse dtype values!")
    name, args = parsed.group(1), parsed.group(2)
    if name == "Array":
        return baseline(args, True, is_lowcardinality, is_nullable, precision, scale, tzinfo, enumcase, nested + 1)
    if name == "LowCardinality":
        return baseline(args, is_array, True, is_nullable, precision, scale, tzinfo, enumcase, nested)
    if name == "Nullable":
        return baseline(args, is_array, is_lowcardinality, True, precision, scale, tzinfo, enumcase, nested)
    if name == "FixedString":
        length = ast.literal_eval(args)
    elif name == "Decimal":
        precision, scale = ast.literal_eval(args)
        length = decimal_width(precision)
    else:
        length = WIDTHS.get(name)
    if name == "DateTime64":
        evaluated = ast.literal_eval(args)
        if type(evaluated) is tuple:
            precision, tzinfo = evaluated
        else:
            precision = evaluated
    elif name == "Time64":
        precision = ast.literal_eval(args)
    elif name in ("Enum8", "Enum16"):
        enumcase = {int(number): string for string, number in re.findall(ENUM_PATTERN, args)}
    return (ClickhouseDtype[name], is_array, is_lowcardinality, is_nullable, length, precision, scale, tzinfo,
            enumcase, nested)


def per_call(functions, dtype, number=10000, repeat=7):
    """Best time per call of each function, measured in alternation so that
    both see the same load of a shared machine."""
    best = [float("inf")] * len(functions)
    for _ in range(repeat):
        for index, function in enumerate(functions):
            best[index] = min(best[index], timeit.timeit(lambda: function(dtype), number=number) / number)
    return best


def main():
    slowest_ratio = float("inf")
    for dtype in TYPE_STRINGS:
        assert caller.from_dtype(dtype)[:4] == baseline(dtype)[:4]
        compiled, python = per_call([caller.from_dtype, baseline], dtype)
        slowest_ratio = min(slowest_ratio, python / compiled)
        print(f"{dtype:40} {compiled * 1e6:7.2f} us {python * 1e6:7.2f} us  x{python / compiled:.2f}")
    print(f"lowest speed-up: x{slowest_ratio:.2f}")
    return 0 if slowest_ratio >= 0.9 else 1


if __name__ == "__main__":
    sys.exit(main())
