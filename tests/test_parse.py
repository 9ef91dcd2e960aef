"""quelvoran.common.dtypes.parse, exercised through its compiled test caller."""

import ast
import builtins
import ctypes
import re
import sys

import pytest

from fresh_interpreter import run_python
from quelvoran._testcapi import parse as caller
from quelvoran.common.dtypes import parse
from quelvoran.common.dtypes.dtype import ClickhouseDtype as C

SIGNATURE = (
    "PyObject *(PyObject *, struct __pyx_opt_args_9quelvoran_6common_6dtypes_5parse_from_dtype"
    " *__pyx_optional_args)"
)
DTYPE_PATTERN = r"^(\w+)(?:\((.*)\))?$"
ENUM_PATTERN = r"'([^']+)'\s*=\s*(-*?\d+)"
DTYPE_LENGTH = {
    "BFloat16": 2, "Bool": 1, "Date": 2, "Date32": 4, "DateTime": 4, "DateTime64": 8, "Enum16": 2,
    "Enum8": 1, "Float32": 4, "Float64": 8, "IPv4": 4, "IPv6": 16, "Int128": 16, "Int16": 2,
    "Int256": 32, "Int32": 4, "Int64": 8, "Int8": 1, "Point": 16, "Time": 4, "Time64": 8,
    "UInt128": 16, "UInt16": 2, "UInt256": 32, "UInt32": 4, "UInt64": 8, "UUID": 16, "UInt8": 1,
}
FIELDS = ("is_array", "is_lowcardinality", "is_nullable", "length", "precision", "scale", "tzinfo", "enumcase")
DEFAULTS = (False, False, False, None, None, None, None, None)
PREFIX = "quelvoran.common.dtypes.parse."


def descriptor(name, *, is_array=False, is_lowcardinality=False, is_nullable=False, length=None,
               precision=None, scale=None, tzinfo=None, enumcase=None, nested=0):
    return (C[name], is_array, is_lowcardinality, is_nullable, length, precision, scale, tzinfo, enumcase, nested)


def assert_same(result, expected):
    """Equal item by item, and of the same types (True is not 1, 4 is not 4.0)."""
    assert type(result) is tuple
    assert result == expected
    assert [type(item) for item in result] == [type(item) for item in expected]


def traceback_names(error):
    names = []
    traceback = error.__traceback__
    while traceback:
        name = traceback.tb_frame.f_code.co_name
        if name.startswith(PREFIX):
            names.append(name[len(PREFIX):])
            assert traceback.tb_frame.f_code.co_filename == "quelvoran/common/dtypes/parse.cpp"
        traceback = traceback.tb_next
    return names


# Calls from_dtype straight through its capsule, so that a test can pass NULL
# or call it while the module is still being imported; run here and in
# subprocesses.
CTYPES_CALLER = """
import ctypes

def capsule_name(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    return get_name(capsule).decode()

def from_dtype_address(module):
    # from_dtype(dtype, NULL) with `dtype` given as an address (0 for NULL).
    capsule = module.__pyx_capi__["from_dtype"]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    pointer = get_pointer(capsule, capsule_name(capsule).encode())
    signature = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)
    return lambda address: signature(pointer)(address, None)
"""
exec(CTYPES_CALLER)


# -- the C-level interface and the module namespace -------------------------------------------------

def test_publishes_from_dtype_under_its_signature():
    assert list(parse.__pyx_capi__) == ["from_dtype"]
    assert capsule_name(parse.__pyx_capi__["from_dtype"]) == SIGNATURE


def test_null_type_string_is_refused():
    from_dtype = from_dtype_address(parse)
    text = "UInt8"
    assert from_dtype(id(text))[4] == 1
    with pytest.raises(SystemError, match="^from_dtype\\(\\) got a NULL type string$") as raised:
        from_dtype(0)
    assert traceback_names(raised.value) == ["from_dtype"]


def test_module_attributes_are_the_imported_names_only():
    public = {name for name in vars(parse) if not name.startswith("__")}
    assert public == {"literal_eval", "findall", "match", "ClickhouseDtype"}
    assert parse.literal_eval is ast.literal_eval
    assert parse.findall is re.findall
    assert parse.match is re.match
    assert parse.ClickhouseDtype is C


def test_import_order_and_failure_to_import_the_catalogue():
    result = run_python(CTYPES_CALLER, """
        import sys, types
        seen = []
        catalogue = types.ModuleType("quelvoran.common.dtypes.dtype")
        def missing(name):
            module = sys.modules["quelvoran.common.dtypes.parse"]
            seen.append(sorted(vars(module)))
            try:
                from_dtype_address(module)(id("UInt8"))
            except SystemError as error:
                print(error)
            raise AttributeError(name)
        catalogue.__getattr__ = missing
        sys.modules["quelvoran.common.dtypes.dtype"] = catalogue
        try:
            import quelvoran.common.dtypes.parse
        except ImportError as error:
            print(repr(error))
        print([name for name in seen[0] if not name.startswith("__") or name == "__pyx_capi__"])
        del sys.modules["quelvoran.common.dtypes.dtype"]
        from quelvoran._testcapi import parse
        print(parse.from_dtype("UInt8")[4])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "quelvoran.common.dtypes.parse is not initialised",
        "ImportError('cannot import name ClickhouseDtype')",
        "['__pyx_capi__', 'findall', 'literal_eval', 'match']",
        "1",
    ]


# -- descriptors ------------------------------------------------------------------------------------

DESCRIPTORS = [
    ("UInt8", descriptor("UInt8", length=1)),
    ("String", descriptor("String")),
    ("LowCardinality(Nullable(String))", descriptor("String", is_lowcardinality=True, is_nullable=True)),
    ("Array(Array(UInt8))", descriptor("UInt8", is_array=True, length=1, nested=2)),
    ("Array(Nullable(Int32))", descriptor("Int32", is_array=True, is_nullable=True, length=4, nested=1)),
    ("Nullable(Array(LowCardinality(String)))",
     descriptor("String", is_array=True, is_lowcardinality=True, is_nullable=True, nested=1)),
    ("FixedString(16)", descriptor("FixedString", length=16)),
    ("Decimal(9, 2)", descriptor("Decimal", length=4, precision=9, scale=2)),
    ("Decimal(10, 2)", descriptor("Decimal", length=8, precision=10, scale=2)),
    ("Decimal(18, 2)", descriptor("Decimal", length=8, precision=18, scale=2)),
    ("Decimal(19, 4)", descriptor("Decimal", length=16, precision=19, scale=4)),
    ("Decimal(38, 4)", descriptor("Decimal", length=16, precision=38, scale=4)),
    ("Decimal(39, 4)", descriptor("Decimal", length=32, precision=39, scale=4)),
    ("Decimal(76, 0)", descriptor("Decimal", length=32, precision=76, scale=0)),
    ("Decimal(1, 0)", descriptor("Decimal", length=4, precision=1, scale=0)),
    ("DateTime64(3, 'UTC')", descriptor("DateTime64", length=8, precision=3, tzinfo="UTC")),
    ("DateTime64(6)", descriptor("DateTime64", length=8, precision=6)),
    ("DateTime('UTC')", descriptor("DateTime", length=4)),
    ("Time64(3)", descriptor("Time64", length=8, precision=3)),
    ("Enum8('a' = 1, 'b' = 2)", descriptor("Enum8", length=1, enumcase={1: "a", 2: "b"})),
    ("Enum16('a' = 1000)", descriptor("Enum16", length=2, enumcase={1000: "a"})),
    ("Decimal64(4)", descriptor("Decimal64")),
    ("Map(String, Array(UInt8))", descriptor("Map")),
    ("Tuple(a UInt8, b String)", descriptor("Tuple")),
    # Parameters are evaluated, not checked.
    ("Decimal(10, 99)", descriptor("Decimal", length=8, precision=10, scale=99)),
    ("Decimal([10, 2])", descriptor("Decimal", length=8, precision=10, scale=2)),
    ("Decimal(9.7, 2)", descriptor("Decimal", length=4, precision=9.7, scale=2)),
    ("Decimal(True, 'x')", descriptor("Decimal", length=4, precision=True, scale="x")),
    ("DateTime64(42)", descriptor("DateTime64", length=8, precision=42)),
    ("DateTime64([3, 'UTC'])", descriptor("DateTime64", length=8, precision=[3, "UTC"])),
    ("FixedString(0)", descriptor("FixedString", length=0)),
    ("FixedString('x')", descriptor("FixedString", length="x")),
    # `$` matches before a final newline.
    ("UInt8\n", descriptor("UInt8", length=1)),
    ("Array(UInt8)\n", descriptor("UInt8", is_array=True, length=1, nested=1)),
    ("Nullable(Nullable(UInt8))", descriptor("UInt8", is_nullable=True, length=1)),
]


@pytest.mark.parametrize(("dtype", "expected"), DESCRIPTORS, ids=[dtype for dtype, _ in DESCRIPTORS])
def test_descriptor(dtype, expected):
    assert_same(caller.from_dtype(dtype), expected)


@pytest.mark.parametrize(("name", "width"), DTYPE_LENGTH.items())
def test_byte_width_table(name, width):
    arguments = {"DateTime64": "(3)", "Time64": "(3)", "Enum8": "()", "Enum16": "()"}.get(name, "")
    assert caller.from_dtype(name + arguments)[4] == width


@pytest.mark.parametrize("name", ["String", "Decimal32", "Decimal256", "Nothing", "Map", "IntervalDay",
                                  "AggregateFunction", "JSON"])
def test_names_outside_the_width_table_have_no_width(name):
    assert caller.from_dtype(name)[4] is None


def test_descriptor_is_a_fresh_tuple_with_fresh_enum_members():
    first = caller.from_dtype("Enum8('a' = 1)")
    second = caller.from_dtype("Enum8('a' = 1)")
    assert first == second
    assert first[8] is not second[8]


# -- Enum members -----------------------------------------------------------------------------------

ENUMS = [
    ("'a' = 1, 'b' = 2", {1: "a", 2: "b"}),
    ("'a'=1,'b'=2", {1: "a", 2: "b"}),
    ("'a' = 1 'b' = 2", {1: "a", 2: "b"}),
    ("'a'\t=\t1", {1: "a"}),
    ("'a' = -1", {-1: "a"}),
    ("'a' = +1", {}),
    ("'a' = 007", {7: "a"}),
    ("'a' = 1, 'b' = 1", {1: "b"}),
    ("'' = 1, 'b' = 2", {2: "b"}),
    ("'x = 1' = 5", {5: "x = 1"}),
    ("'it\\'s' = 1", {1: "s"}),
    ("", {}),
    ("'big' = 123456789012345678901234567890", {123456789012345678901234567890: "big"}),
    ("'ü (x)' = 3", {3: "ü (x)"}),
]


@pytest.mark.parametrize("name", ["Enum8", "Enum16"])
@pytest.mark.parametrize(("members", "expected"), ENUMS, ids=[members for members, _ in ENUMS])
def test_enum_members(name, members, expected):
    enumcase = caller.from_dtype(f"{name}({members})")[8]
    assert enumcase == expected
    assert all(type(key) is int and type(value) is str for key, value in enumcase.items())


def test_enum_members_keep_the_order_of_first_appearance():
    enumcase = caller.from_dtype("Enum8('b' = 2, 'a' = 1, 'c' = 2)")[8]
    assert list(enumcase.items()) == [(2, "c"), (1, "a")]


# -- failures ---------------------------------------------------------------------------------------

NO_MATCH = "Fail to parse dtype values!"
NOT_A_STRING = "expected string or bytes-like object, got 'NoneType'"
NOT_A_LITERAL = "malformed node or string: None"
TOO_MANY = "too many values to unpack (expected 2)"
RANGE = "precision must be in [1:76] range!"

FAILURES = [
    # (type string, exception, exact message, traceback entries from the outside in)
    ("", ValueError, NO_MATCH, ["from_dtype"]),
    ("UInt 8", ValueError, NO_MATCH, ["from_dtype"]),
    ("Array (UInt8)", ValueError, NO_MATCH, ["from_dtype"]),
    ("Array(UInt8", ValueError, NO_MATCH, ["from_dtype"]),
    ("Array(UInt8)x", ValueError, NO_MATCH, ["from_dtype"]),
    ("(UInt8)", ValueError, NO_MATCH, ["from_dtype"]),
    ("UInt8\n\n", ValueError, NO_MATCH, ["from_dtype"]),
    ("Array(UInt8, UInt16)", ValueError, NO_MATCH, ["from_dtype"] * 2),
    ("Array( UInt8 )", ValueError, NO_MATCH, ["from_dtype"] * 2),
    ("Nullable(Array(Map(String\n, UInt8)))", ValueError, NO_MATCH, ["from_dtype"]),
    (None, TypeError, NOT_A_STRING, ["from_dtype", "parse_dtype"]),
    (8, TypeError, "expected string or bytes-like object, got 'int'", ["from_dtype", "parse_dtype"]),
    (b"UInt8", TypeError, "cannot use a string pattern on a bytes-like object", ["from_dtype", "parse_dtype"]),
    ("Array", TypeError, NOT_A_STRING, ["from_dtype", "from_dtype", "parse_dtype"]),
    ("Nullable(LowCardinality)", TypeError, NOT_A_STRING, ["from_dtype"] * 3 + ["parse_dtype"]),
    ("FixedString", ValueError, NOT_A_LITERAL, ["from_dtype", "parse_args"]),
    ("Decimal", ValueError, NOT_A_LITERAL, ["from_dtype", "parse_args"]),
    ("DateTime64", ValueError, NOT_A_LITERAL, ["from_dtype", "parse_args"]),
    ("Time64", ValueError, NOT_A_LITERAL, ["from_dtype", "parse_args"]),
    ("Array(Time64)", ValueError, NOT_A_LITERAL, ["from_dtype", "from_dtype", "parse_args"]),
    ("Enum8", TypeError, NOT_A_STRING, ["from_dtype", "parse_enum"]),
    ("Enum16", TypeError, NOT_A_STRING, ["from_dtype", "parse_enum"]),
    ("Decimal(1, 2, 3)", ValueError, TOO_MANY, ["from_dtype"]),
    ("Decimal({1, 2, 3})", ValueError, TOO_MANY, ["from_dtype"]),
    ("Decimal([1])", ValueError, "need more than 1 value to unpack", ["from_dtype"]),
    ("Decimal({1})", ValueError, "need more than 1 value to unpack", ["from_dtype"]),
    ("Decimal('a')", ValueError, "need more than 1 value to unpack", ["from_dtype"]),
    ("Decimal(())", ValueError, "need more than 0 values to unpack", ["from_dtype"]),
    ("Decimal('')", ValueError, "need more than 0 values to unpack", ["from_dtype"]),
    ("Decimal(10)", TypeError, "'int' object is not iterable", ["from_dtype"]),
    ("DateTime64(3, 'UTC', 1)", ValueError, TOO_MANY, ["from_dtype"]),
    ("DateTime64((3,))", ValueError, "need more than 1 value to unpack", ["from_dtype"]),
    ("DateTime64(())", ValueError, "need more than 0 values to unpack", ["from_dtype"]),
    ("Decimal(0, 0)", ValueError, RANGE, ["from_dtype", "find_decimal_length"]),
    ("Decimal(77, 0)", ValueError, RANGE, ["from_dtype", "find_decimal_length"]),
    ("Decimal(-5, 0)", ValueError, RANGE, ["from_dtype", "find_decimal_length"]),
    ("Decimal(127, 0)", ValueError, RANGE, ["from_dtype", "find_decimal_length"]),
    ("Decimal(-128, 0)", ValueError, RANGE, ["from_dtype", "find_decimal_length"]),
    ("Decimal(0.5, 0)", ValueError, RANGE, ["from_dtype", "find_decimal_length"]),
    ("Decimal(200, 0)", OverflowError, "value too large to convert to char", ["from_dtype", "find_decimal_length"]),
    ("Decimal(-129, 0)", OverflowError, "value too large to convert to char", ["from_dtype", "find_decimal_length"]),
    ("Decimal('x', 2)", TypeError, "an integer is required", ["from_dtype", "find_decimal_length"]),
    ("Decimal(None, 2)", TypeError, "an integer is required", ["from_dtype", "find_decimal_length"]),
    ("Decimal('92')", TypeError, "an integer is required", ["from_dtype", "find_decimal_length"]),
    ("Array(Nullable(Decimal(0, 0)))", ValueError, RANGE, ["from_dtype"] * 3 + ["find_decimal_length"]),
    ("Foo", KeyError, "'Foo'", ["from_dtype"]),
    ("array(UInt8)", KeyError, "'array'", ["from_dtype"]),
    ("Nullable(nullable(UInt8))", KeyError, "'nullable'", ["from_dtype"] * 2),
    ("Array(Array(Array(Foo)))", KeyError, "'Foo'", ["from_dtype"] * 4),
    ("Enum8('a' = --1)", ValueError, "invalid literal for int() with base 10: '--1'", ["from_dtype", "parse_enum"]),
]


@pytest.mark.parametrize(("dtype", "exception", "message", "entries"), FAILURES,
                         ids=[repr(dtype) for dtype, *_ in FAILURES])
def test_failure(dtype, exception, message, entries):
    with pytest.raises(exception) as raised:
        caller.from_dtype(dtype)
    assert type(raised.value) is exception
    assert str(raised.value) == message
    assert traceback_names(raised.value) == entries


@pytest.mark.parametrize(("arguments", "exception"), [
    ("", SyntaxError), ("abc", ValueError), ("16 16", SyntaxError), ("__import__('os')", ValueError),
])
def test_argument_text_that_is_no_literal_fails_as_literal_eval_does(arguments, exception):
    with pytest.raises(exception) as expected:
        ast.literal_eval(arguments)
    with pytest.raises(exception) as raised:
        caller.from_dtype(f"FixedString({arguments})")
    assert type(raised.value) is exception
    assert re.sub(r"0x[0-9a-f]+", "", str(raised.value)) == re.sub(r"0x[0-9a-f]+", "", str(expected.value))
    assert traceback_names(raised.value) == ["from_dtype", "parse_args"]


def test_precision_beyond_64_bits_raises_the_interpreters_overflow_error():
    as_long_long = ctypes.pythonapi.PyLong_AsLongLong
    as_long_long.argtypes = [ctypes.py_object]
    with pytest.raises(OverflowError) as expected:
        as_long_long(2 ** 70)
    with pytest.raises(OverflowError) as raised:
        caller.from_dtype(f"Decimal({2 ** 70}, 0)")
    assert str(raised.value) == str(expected.value)
    assert traceback_names(raised.value) == ["from_dtype", "find_decimal_length"]


# -- the optional-argument record -------------------------------------------------------------------

SENTINELS = tuple(object() for _ in FIELDS)


@pytest.mark.parametrize("count", range(-1, 12))
def test_record_fields_are_read_as_far_as_the_count_reaches(count):
    given = dict(zip(FIELDS, SENTINELS))
    result = caller.from_dtype_with("UInt8", count, **given, nested=7)
    taken = max(0, min(count, len(FIELDS)))
    expected = list(SENTINELS[:taken] + DEFAULTS[taken:])
    expected[3] = 1  # the width always comes from the base type
    assert result[0] is C["UInt8"]
    assert all(item is want or item == want for item, want in zip(result[1:9], expected))
    assert result[9] == (7 if count >= 9 else 0)


def test_null_record_and_empty_record_give_the_defaults():
    assert_same(caller.from_dtype("UInt8"), descriptor("UInt8", length=1))
    assert_same(caller.from_dtype_with("UInt8", 0), descriptor("UInt8", length=1))


@pytest.mark.parametrize(("dtype", "count", "fields", "expected"), [
    ("UInt8", 3, dict(is_array=False, is_lowcardinality=False, is_nullable=True),
     descriptor("UInt8", is_nullable=True, length=1)),
    ("Array(UInt8)", 9, dict(zip(FIELDS, DEFAULTS), nested=1), descriptor("UInt8", is_array=True, length=1, nested=2)),
    ("Array(UInt8)", 1, dict(is_array="yes"), descriptor("UInt8", is_array=True, length=1, nested=1)),
    ("String", 4, dict(zip(FIELDS[:4], (1, 2, 3, 99))),
     descriptor("String", is_array=1, is_lowcardinality=2, is_nullable=3)),
    ("DateTime64(3)", 7, dict(zip(FIELDS[:7], DEFAULTS[:6] + ("Europe/Berlin",))),
     descriptor("DateTime64", length=8, precision=3, tzinfo="Europe/Berlin")),
    ("DateTime64(3, 'UTC')", 7, dict(zip(FIELDS[:7], DEFAULTS[:6] + ("Europe/Berlin",))),
     descriptor("DateTime64", length=8, precision=3, tzinfo="UTC")),
    ("Decimal64(4)", 6, dict(zip(FIELDS[:6], DEFAULTS[:4] + (18, 4))),
     descriptor("Decimal64", precision=18, scale=4)),
    ("Decimal(9, 2)", 6, dict(zip(FIELDS[:6], DEFAULTS[:4] + (18, 4))),
     descriptor("Decimal", length=4, precision=9, scale=2)),
    ("Enum8('a' = 1)", 8, dict(zip(FIELDS, DEFAULTS[:7] + ({0: "z"},))),
     descriptor("Enum8", length=1, enumcase={1: "a"})),
    ("UInt8", 8, dict(zip(FIELDS, DEFAULTS[:7] + ({0: "z"},))), descriptor("UInt8", length=1, enumcase={0: "z"})),
    ("Array(Array(UInt8))", 9, dict(zip(FIELDS, DEFAULTS), nested=2 ** 64 - 3),
     descriptor("UInt8", is_array=True, length=1, nested=2 ** 64 - 1)),
])
def test_record_values_pass_through_the_wrappers(dtype, count, fields, expected):
    assert_same(caller.from_dtype_with(dtype, count, **fields), expected)


def test_fields_beyond_the_count_are_never_read():
    # The caller leaves unset object fields NULL: reading one would crash.
    assert_same(caller.from_dtype_with("Array(UInt8)", 2, is_array=False, is_lowcardinality=True),
                descriptor("UInt8", is_array=True, is_lowcardinality=True, length=1, nested=1))


def test_null_object_within_the_count_is_refused():
    with pytest.raises(SystemError, match="^from_dtype\\(\\) got a NULL object among its optional arguments$"):
        caller.from_dtype_with("UInt8", 2, is_array=False)


def test_array_depth_beyond_64_bits_is_refused():
    with pytest.raises(OverflowError, match="^too many nested Array types to count$") as raised:
        caller.from_dtype_with("Array(Array(UInt8))", 9, **dict(zip(FIELDS, DEFAULTS)), nested=2 ** 64 - 2)
    assert traceback_names(raised.value) == ["from_dtype", "from_dtype"]


def test_record_and_argument_references_are_balanced():
    text = "Array(Nullable(DateTime64(3, 'UTC')))"
    failing = "Nullable(Decimal(0, 0))"
    marker = object()
    fields = dict(zip(FIELDS, (marker,) * len(FIELDS)))
    for _ in range(3):
        caller.from_dtype_with(text, 9, **fields)
    before = sys.getrefcount(marker), sys.getrefcount(text), sys.getrefcount(failing)
    for _ in range(100):
        caller.from_dtype_with(text, 9, **fields)
        with pytest.raises(ValueError):
            caller.from_dtype_with(failing, 9, **fields)
    assert (sys.getrefcount(marker), sys.getrefcount(text), sys.getrefcount(failing)) == before


# -- rebinding the collaborators --------------------------------------------------------------------

class Recorder:
    def __init__(self, function):
        self.function = function
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return self.function(*args)


def test_match_is_looked_up_at_every_use(monkeypatch):
    recorder = Recorder(re.match)
    monkeypatch.setattr(parse, "match", recorder)
    caller.from_dtype("Array(Nullable(UInt8))")
    assert recorder.calls == [(DTYPE_PATTERN, "Array(Nullable(UInt8))"), (DTYPE_PATTERN, "Nullable(UInt8)"),
                              (DTYPE_PATTERN, "UInt8")]


def test_findall_is_looked_up_at_every_use(monkeypatch):
    recorder = Recorder(re.findall)
    monkeypatch.setattr(parse, "findall", recorder)
    assert caller.from_dtype("Enum16('a' = 1)")[8] == {1: "a"}
    assert recorder.calls == [(ENUM_PATTERN, "'a' = 1")]


def test_literal_eval_is_looked_up_at_every_use(monkeypatch):
    recorder = Recorder(lambda text: (30, 5) if text == "p" else ast.literal_eval(text))
    monkeypatch.setattr(parse, "literal_eval", recorder)
    assert caller.from_dtype("Decimal(p)")[4:7] == (16, 30, 5)
    assert caller.from_dtype("FixedString(3)")[4] == 3
    assert recorder.calls == [("p",), ("3",)]


def test_clickhouse_dtype_is_looked_up_at_every_use(monkeypatch):
    monkeypatch.setattr(parse, "ClickhouseDtype", {"UInt8": "entry"})
    assert caller.from_dtype("Array(UInt8)")[:2] == ("entry", True)
    with pytest.raises(KeyError, match="String"):
        caller.from_dtype("String")


def test_collaborators_fall_back_to_the_builtins(monkeypatch):
    monkeypatch.delattr(parse, "literal_eval")
    with pytest.raises(NameError, match="^name 'literal_eval' is not defined$") as raised:
        caller.from_dtype("FixedString(4)")
    assert traceback_names(raised.value) == ["from_dtype", "parse_args"]
    monkeypatch.setattr(builtins, "literal_eval", lambda text: "from builtins", raising=False)
    assert caller.from_dtype("FixedString(4)")[4] == "from builtins"


@pytest.mark.parametrize(("matched", "exception", "message"), [
    (None, ValueError, NO_MATCH),
    (False, ValueError, NO_MATCH),
    (type("Groups", (), {"group": lambda self, n: 1}), TypeError, "Expected unicode, got int"),
    (type("Groups", (), {"group": lambda self, n: "UInt8" if n == 1 else b"x"}), TypeError,
     "Expected unicode, got bytes"),
])
def test_match_results_other_than_a_match_object(monkeypatch, matched, exception, message):
    result = matched() if isinstance(matched, type) else matched
    monkeypatch.setattr(parse, "match", lambda pattern, text: result)
    with pytest.raises(exception) as raised:
        caller.from_dtype("UInt8")
    assert str(raised.value) == message
    assert traceback_names(raised.value) == ["from_dtype"]


@pytest.mark.parametrize(("members", "message"), [
    ([("a", "1", "x")], TOO_MANY),
    ([("a",)], "need more than 1 value to unpack"),
    (5, "'int' object is not iterable"),
])
def test_findall_results_that_do_not_unpack(monkeypatch, members, message):
    monkeypatch.setattr(parse, "findall", lambda pattern, text: members)
    with pytest.raises((ValueError, TypeError)) as raised:
        caller.from_dtype("Enum8('a' = 1)")
    assert str(raised.value) == message
    assert traceback_names(raised.value) == ["from_dtype", "parse_enum"]


def test_collaborators_that_rebind_each_other_and_reenter(monkeypatch):
    calls = []

    class Catalogue:
        def __getitem__(self, name):
            calls.append(name)
            monkeypatch.setattr(parse, "match", None)
            monkeypatch.setattr(parse, "ClickhouseDtype", C)
            monkeypatch.setattr(parse, "literal_eval", None)
            return name

    def literal_eval(text):
        monkeypatch.setattr(parse, "match", re.match)
        inner = caller.from_dtype("Nullable(UInt8)")
        return (inner[4], 0)

    monkeypatch.setattr(parse, "ClickhouseDtype", Catalogue())
    monkeypatch.setattr(parse, "literal_eval", literal_eval)
    # The inner call's catalogue lookup puts the real catalogue back for the
    # outer one, which has finished matching by then.
    result = caller.from_dtype("Array(Decimal(x))")
    assert result[:7] == (C["Decimal"], True, False, False, 4, 1, 0)
    assert calls == ["UInt8"]
    assert parse.match is None


# -- deep nesting -----------------------------------------------------------------------------------

# How deep C code may recurse. On 3.11 that is the recursion limit; from 3.12
# on the interpreter gives C code a fixed limit of its own, which
# sys.setrecursionlimit does not change.
C_RECURSION_LIMIT = {(3, 12): 1500, (3, 13): 10000}.get(sys.version_info[:2])


def recursion_headroom():
    def descend(depth):
        try:
            return descend(depth + 1)
        except RecursionError:
            return depth
    return descend(0)


def test_nesting_counts_against_the_recursion_limit_and_is_released():
    headroom = recursion_headroom()
    nested = "Array(" * 50 + "UInt8" + ")" * 50
    assert caller.from_dtype(nested)[9] == 50
    too_deep = 5000 if C_RECURSION_LIMIT is None else 5 * C_RECURSION_LIMIT
    with pytest.raises(RecursionError):
        caller.from_dtype("Array(" * too_deep + "UInt8" + ")" * too_deep)
    with pytest.raises(KeyError):
        caller.from_dtype("Array(" * 50 + "Foo" + ")" * 50)
    assert recursion_headroom() == headroom


def test_deep_nesting_raises_recursion_error_and_never_exhausts_the_c_stack():
    # As deep as the interpreter lets C code recurse on the small stack.
    depth = 8000 if C_RECURSION_LIMIT is None else C_RECURSION_LIMIT - 100
    result = run_python(f"""
        import sys, threading
        from quelvoran._testcapi import parse

        def nested(depth):
            return "Array(" * depth + "UInt8" + ")" * depth

        try:
            parse.from_dtype(nested(50000))
        except RecursionError as error:
            print(type(error).__name__, str(error).startswith("maximum recursion depth exceeded"))
        print(parse.from_dtype(nested(3))[9])

        # A raised limit on a thread with a small stack: the depth still never
        # reaches the C stack.
        sys.setrecursionlimit(100000)
        threading.stack_size(256 * 1024)
        depths = []
        worker = threading.Thread(target=lambda: depths.append(parse.from_dtype(nested({depth}))[9]))
        worker.start()
        worker.join()
        print(depths)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["RecursionError True", "3", f"[{depth}]"]
