"""The C-level method table, driven from compiled code through the header."""

import pytest

from lowcardinality_codecs import String, block, strings
from quelvoran._testcapi import lowcardinality as capi
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

QUALIFIED = "quelvoran.common.dtypes.objects.lowcardinality.LowCardinality."
EXAMPLE = block(strings("", "a", "b"), 3, [1, 2, 1, 0])


def test_layout_and_table_as_a_compiled_caller_sees_them():
    assert LowCardinality.__basicsize__ >= capi.struct_size()
    obj = LowCardinality("f", String(), True, 5)
    obj.defaul_value = "d"
    assert capi.fields(obj) == ("f", obj.dtype, "LowCardinality(String)", True, 5, [], [], 0, "d", 0)
    assert capi.has_class_vtable(obj)
    assert "__pyx_vtable__" in vars(LowCardinality)


@pytest.mark.parametrize("flag", [0, 1])
def test_reading_slots(stream, flag):
    fileobj = stream(EXAMPLE + EXAMPLE)
    obj = LowCardinality(fileobj, String(fileobj), False)
    assert capi.read(obj, flag) == ["a", "b", "a", ""]
    capi.skip(obj, flag)
    assert fileobj.position == len(EXAMPLE) * 2 and obj.total_rows == 4


@pytest.mark.parametrize("flag", [0, 1])
def test_writing_slots(flag):
    obj = LowCardinality(None, String(), False)
    assert [capi.write(obj, value, flag) for value in ("b", "a", "b")] == [36, 3, 1]
    assert capi.tell(obj, flag) == 40 and capi.update_index_size(obj) == 1
    assert capi.clear(obj, flag) == block(strings("", "a", "b"), 3, [2, 1, 2])


def test_index_size_and_cleanup_slots(stream):
    fileobj = stream(EXAMPLE)
    codec = String(fileobj)
    obj = LowCardinality(fileobj, codec, False)
    capi.index_size(obj)
    assert (obj.index_size, codec.total_rows, obj._read_header, fileobj.position) == (1, 3, True, 24)
    capi.index_size(obj)
    assert fileobj.position == 24
    obj.write("x")
    capi.cleanup(obj)
    assert (obj.total_rows, obj.index_size, obj.size, obj._read_header, obj.dictionary) == (0, 1, 0, False, [])


class Overriding(LowCardinality):
    def read(self):
        return ["overridden"]

    def skip(self):
        self.skipped = True

    def write(self, value):
        return 1000 + value

    def tell(self):
        return 77

    def clear(self):
        return b"overridden"


OVERRIDES = [
    ("read", lambda obj, flag: capi.read(obj, flag), ["overridden"]),
    ("write", lambda obj, flag: capi.write(obj, 5, flag), 1005),
    ("tell", lambda obj, flag: capi.tell(obj, flag), 77),
    ("clear", lambda obj, flag: capi.clear(obj, flag), b"overridden"),
]


@pytest.mark.parametrize("name, call, expected", OVERRIDES)
def test_flag_clear_calls_a_subclass_override(stream, name, call, expected):
    fileobj = stream(EXAMPLE)
    obj = Overriding(fileobj, String(fileobj), False)
    assert call(obj, 0) == expected
    assert call(obj, 1) != expected


def test_flag_clear_calls_a_skip_override(stream):
    obj = Overriding(stream(EXAMPLE), String(), False)
    capi.skip(obj, 0)
    assert obj.skipped and obj.fileobj.position == 0


def test_flag_clear_calls_a_callable_in_the_instance_dict():
    obj = LowCardinality(None, String(), False)
    obj.tell = lambda: 12
    assert capi.tell(obj, 0) == 12 and capi.tell(obj, 1) == 32


def test_python_methods_run_the_body_even_when_overridden():
    obj = Overriding(None, String(), False)
    assert LowCardinality.write(obj, "a") == 36 and LowCardinality.tell(obj) == 36


@pytest.mark.parametrize("name, result, call, error, message", [
    ("read", ("x",), lambda obj: capi.read(obj, 0), TypeError, "Expected list, got tuple"),
    ("clear", "x", lambda obj: capi.clear(obj, 0), TypeError, "Expected bytes, got str"),
])
def test_override_results_of_the_wrong_type_are_raised(name, result, call, error, message):
    obj = LowCardinality(None, String(), False)
    setattr(obj, name, lambda: result)
    with pytest.raises(error, match=f"^{message}$"):
        call(obj)


@pytest.mark.parametrize("name, override, call, error", [
    ("write", lambda value: -1, lambda obj: capi.write(obj, 1, 0), OverflowError),
    ("tell", lambda: "x", lambda obj: capi.tell(obj, 0), TypeError),
    ("skip", lambda: 1 / 0, lambda obj: capi.skip(obj, 0), ZeroDivisionError),
])
def test_override_failures_are_reported_for_slots_that_cannot_raise(unraisable, name, override, call, error):
    obj = LowCardinality(None, String(), False)
    setattr(obj, name, override)
    assert call(obj) in (0, None)
    assert unraisable.only()[0::2] == (error, QUALIFIED + name)
    delattr(obj, name)


def test_override_none_results_are_accepted():
    obj = LowCardinality(None, String(), False)
    obj.read = obj.clear = lambda: None
    assert capi.read(obj, 0) is None and capi.clear(obj, 0) is None


def test_slots_refuse_other_objects():
    with pytest.raises(TypeError, match="expected a LowCardinality object"):
        capi.tell(object(), 1)
