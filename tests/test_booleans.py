import io
import struct
import traceback

import pytest

from quelvoran._testcapi import booleans as caller
from quelvoran.common.dtypes.functions import booleans

PREFIX = "quelvoran.common.dtypes.functions.booleans."
RECORD = "struct __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_{} *__pyx_optional_args)"
SIGNATURES = {
    "read_bool": "PyObject *(PyObject *, int __pyx_skip_dispatch, " + RECORD.format("read_bool"),
    "write_bool": "PyObject *(PyObject *, int __pyx_skip_dispatch, " + RECORD.format("write_bool"),
    "read_nothing": "PyObject *(PyObject *, int __pyx_skip_dispatch, " + RECORD.format("read_nothing"),
    "write_nothing": "PyObject *(int __pyx_skip_dispatch, " + RECORD.format("write_nothing"),
}
DOCS = {
    "read_bool": "Read Bool/Nullable from Native Format.",
    "write_bool": "Write Bool/Nullable into Native Format.",
    "read_nothing": "Read Nullable(Nothing) from Native Format.",
    "write_nothing": "Write Nullable(Nothing) into Native Format.",
}
OPTIONAL = ("length", "precision", "scale", "tzinfo", "enumcase")


def entries(error):
    return [entry.name for entry in traceback.extract_tb(error.__traceback__)]


def test_capsules_and_module_attributes():
    assert list(booleans.__pyx_capi__) == list(SIGNATURES)
    for name, capsule in booleans.__pyx_capi__.items():
        assert f'"{SIGNATURES[name]}"' in repr(capsule)
    assert booleans.pack is struct.pack and booleans.unpack is struct.unpack
    for name, doc in DOCS.items():
        assert getattr(booleans, name).__doc__ == doc


# Python functions and C-level entry points (null record) must agree everywhere.
def python_read_bool(fileobj):
    return booleans.read_bool(fileobj)


CALLS = {
    "python": (booleans.read_bool, booleans.write_bool, booleans.read_nothing),
    "c-null-record": (caller.read_bool, caller.write_bool, caller.read_nothing),
    "c-empty-record": (
        lambda f: caller.read_bool(f, (0,)),
        lambda v: caller.write_bool(v, (0,)),
        lambda f: caller.read_nothing(f, (0,)),
    ),
}


@pytest.fixture(params=list(CALLS))
def calls(request):
    return CALLS[request.param]


@pytest.mark.parametrize("byte, value", [(b"\x00", False), (b"\x01", True), (b"\x02", True), (b"\xff", True)])
def test_read_bool_bytes(calls, byte, value):
    stream = io.BytesIO(byte + b"\x00")
    assert calls[0](stream) is value
    assert stream.tell() == 1


@pytest.mark.parametrize(
    "value, byte",
    [(True, b"\x01"), (2, b"\x01"), ("x", b"\x01"), (False, b"\x00"), (None, b"\x00"), (0, b"\x00"), ("", b"\x00"), ([], b"\x00")],
)
def test_write_bool_bytes(calls, value, byte):
    assert calls[1](value) == byte


def test_read_bool_failures(calls):
    read_bool = calls[0]
    stream = io.BytesIO(b"")
    with pytest.raises(struct.error) as caught:
        read_bool(stream)
    assert stream.tell() == 0 and PREFIX + "read_bool" in entries(caught.value)
    with pytest.raises(TypeError, match=r"^Expected bytes, got str$"):
        read_bool(io.StringIO("a"))
    with pytest.raises(TypeError, match="bytes-like object is required"):
        read_bool(type("NoneReader", (), {"read": lambda self, n: None})())
    with pytest.raises(TypeError, match=r"^Expected bytes, got bytearray$"):
        read_bool(type("Reader", (), {"read": lambda self, n: bytearray(b"\x01")})())
    with pytest.raises(AttributeError):
        read_bool(object())


def test_write_bool_truth_test_failure(calls):
    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError) as caught:
        calls[1](Falsy())
    assert PREFIX + "write_bool" in entries(caught.value)


def test_read_nothing(calls):
    stream = io.BytesIO(b"0z")
    assert calls[2](stream) is None and stream.tell() == 1
    assert calls[2](io.BytesIO(b"")) is None
    assert calls[2](type("Odd", (), {"read": lambda self, n: 12345})()) is None
    with pytest.raises(OSError) as caught:
        calls[2](type("Broken", (), {"read": lambda self, n: (_ for _ in ()).throw(OSError("gone"))})())
    assert PREFIX + "read_nothing" in entries(caught.value)


@pytest.mark.parametrize("record", [None, (0,), (3, 1, 2, 3), (6, 1, 2, 3, 4, 5, 6)])
def test_write_nothing(record):
    assert caller.write_nothing(record) == b"0"
    assert booleans.write_nothing() == b"0"
    assert booleans.write_nothing(True, length=3, enumcase={}) == b"0"


def test_records_with_fields_are_ignored():
    assert caller.read_bool(io.BytesIO(b"\x01"), (5, 1, 2, 3, 4, 5)) is True
    assert caller.write_bool(True, (2, "length", "precision")) == b"\x01"


class TestRebinding:
    def test_unpack_is_looked_up_at_each_call(self, monkeypatch):
        seen = []
        monkeypatch.setattr(booleans, "unpack", lambda fmt, data: seen.append((fmt, data)) or ("custom",))
        assert booleans.read_bool(io.BytesIO(b"\x01")) == "custom"
        assert caller.read_bool(io.BytesIO(b"\x00")) == "custom"
        assert seen == [("<?", b"\x01"), ("<?", b"\x00")]

    def test_pack_is_looked_up_at_each_call(self, monkeypatch):
        seen = []
        monkeypatch.setattr(booleans, "pack", lambda fmt, flag: seen.append((fmt, flag)) or b"P")
        assert booleans.write_bool(7) == b"P"
        assert caller.write_bool([]) == b"P"
        assert booleans.write_bool(None) == b"\x00"
        assert seen == [("<?", True), ("<?", False)]

    def test_pack_result_must_be_bytes_or_none(self, monkeypatch):
        monkeypatch.setattr(booleans, "pack", lambda fmt, flag: None)
        assert booleans.write_bool(True) is None
        monkeypatch.setattr(booleans, "pack", lambda fmt, flag: bytearray(b"\x01"))
        with pytest.raises(TypeError, match=r"^Expected bytes, got bytearray$"):
            booleans.write_bool(True)

    @pytest.mark.parametrize("name, call", [("unpack", lambda: booleans.read_bool(io.BytesIO(b"\x01"))), ("pack", lambda: booleans.write_bool(1))])
    def test_missing_name_raises_name_error(self, monkeypatch, name, call):
        monkeypatch.delattr(booleans, name)
        with pytest.raises(NameError, match=rf"^name '{name}' is not defined$"):
            call()

    def test_builtins_fallback(self, monkeypatch):
        import builtins

        monkeypatch.delattr(booleans, "pack")
        monkeypatch.setattr(builtins, "pack", lambda fmt, flag: b"B", raising=False)
        assert booleans.write_bool(1) == b"B"


@pytest.mark.parametrize("name", list(DOCS))
class TestArguments:
    def test_optional_parameters_by_position_and_keyword(self, name):
        function = getattr(booleans, name)
        first = io.BytesIO(b"\x01" * 3) if name.startswith("read") else True
        function(first, None, None, None, None, None)
        function(first, **dict.fromkeys(OPTIONAL))
        keyword = "fileobj" if name.startswith("read") else "dtype_value"
        function(**{keyword: first, "scale": 2})

    def test_too_many_positional(self, name):
        with pytest.raises(TypeError) as caught:
            getattr(booleans, name)(1, 2, 3, 4, 5, 6, 7)
        assert str(caught.value) == f"{name}() takes at most 6 positional arguments (7 given)"
        assert entries(caught.value)[-1] == PREFIX + name

    def test_unexpected_and_duplicate_keywords(self, name):
        keyword = "fileobj" if name.startswith("read") else "dtype_value"
        with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'bogus'$"):
            getattr(booleans, name)(io.BytesIO(b"\x01"), bogus=1)
        with pytest.raises(TypeError, match=rf"^{name}\(\) got multiple values for keyword argument '{keyword}'$"):
            getattr(booleans, name)(io.BytesIO(b"\x01"), **{keyword: 1})


@pytest.mark.parametrize("name", ["read_bool", "write_bool", "read_nothing"])
def test_missing_first_argument(name):
    for kwargs in ({}, {"length": 1}):
        with pytest.raises(TypeError) as caught:
            getattr(booleans, name)(**kwargs)
        assert str(caught.value) == f"{name}() takes at least 1 positional argument (0 given)"
