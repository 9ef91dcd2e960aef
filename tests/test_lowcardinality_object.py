import datetime
import gc
import weakref

import pytest

from interpreter_messages import interpreter_message
from lowcardinality_codecs import Named, String, UInt32
from quelvoran._testcapi import lowcardinality as capi
from quelvoran.common.dtypes.objects import lowcardinality as module
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

QUALIFIED = "quelvoran.common.dtypes.objects.lowcardinality.LowCardinality."

ELEMENT_DEFAULTS = {
    "String": "", "FixedString": "", "Date": datetime.date(1970, 1, 1),
    "DateTime": datetime.datetime(1970, 1, 1), "Float32": 0.0, "Float64": 0.0,
    **{name: 0 for name in ("Int8", "Int16", "Int32", "Int64", "Int128", "Int256",
                            "UInt8", "UInt16", "UInt32", "UInt64", "UInt128", "UInt256")},
}


def test_construction_sets_every_field(stream):
    fileobj, codec = stream(), String()
    obj = LowCardinality(fileobj, codec, False)
    assert (obj.fileobj, obj.dtype, obj.name, obj.is_nullable) == (fileobj, codec, "LowCardinality(String)", False)
    assert (obj.total_rows, obj.index_size, obj.size, obj.defaul_value) == (0, 0, 0, None)
    assert obj.dictionary == [] and obj.index_elements == [] and obj.dictionary is not obj.index_elements
    assert obj.__dict__ == {"default_value": "", "_read_header": False}
    assert codec.is_nullable is False


def test_nullable_column_still_makes_the_codec_plain(stream):
    codec = String()
    obj = LowCardinality(stream(), codec, "yes", 7)
    assert obj.is_nullable == "yes" and codec.is_nullable is False and obj.total_rows == 7


@pytest.mark.parametrize("element", sorted(ELEMENT_DEFAULTS))
def test_default_value_per_element_type(element):
    obj = LowCardinality(None, Named(element), False)
    expected = ELEMENT_DEFAULTS[element]
    assert obj.default_value == expected and type(obj.default_value) is type(expected)


def test_date_defaults_are_shared_objects():
    for element in ("Date", "DateTime"):
        first = LowCardinality(None, Named(element), False)
        second = LowCardinality(None, Named(element), True)
        assert first.default_value is second.default_value
    assert LowCardinality(None, Named("DateTime"), False).default_value.tzinfo is None


@pytest.mark.parametrize("element", ["Decimal", "Bool", "Nullable", "FixedString(16)", "string", 5])
def test_unknown_element_type_raises_key_error_with_the_name(stream, element, unraisable):
    obj = LowCardinality.__new__(LowCardinality)
    with pytest.raises(KeyError) as excinfo:
        obj.__init__(stream(), Named(element), True, 3)
    assert excinfo.value.args == (element,)
    # The steps before the lookup are done, the ones after are not.
    assert obj.name == f"LowCardinality({element})" and obj.total_rows == 3 and obj.dictionary == []
    assert obj.index_size == 0 and "default_value" not in obj.__dict__ and obj.dtype.is_nullable is True


def test_element_name_is_read_twice_and_formatted_like_an_f_string():
    class Shifting(Named):
        reads = 0

        @property
        def name(self):
            self.reads += 1
            return ["Int8", "UInt32"][self.reads - 1]

        @name.setter
        def name(self, value):
            pass

    obj = LowCardinality(None, Shifting("x"), False)
    assert obj.name == "LowCardinality(Int8)" and obj.default_value == 0


def test_codec_without_name_or_refusing_is_nullable(unraisable):
    with pytest.raises(AttributeError):
        LowCardinality(None, object(), False)

    class Refusing(String):
        def __setattr__(self, key, value):
            if key == "is_nullable" and value is False:
                raise RuntimeError("refused")
            super().__setattr__(key, value)

    with pytest.raises(RuntimeError, match="refused"):
        LowCardinality(None, Refusing(), False)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "__init__() takes at least 3 positional arguments (0 given)"),
    ((1, String()), {}, "__init__() takes at least 3 positional arguments (2 given)"),
    ((1, String(), 0, 0, 0), {}, "__init__() takes at most 4 positional arguments (5 given)"),
    ((1,), {"is_nullable": 0}, "__init__() takes at least 3 positional arguments (1 given)"),
    ((1, String(), 0), {"rows": 0}, "__init__() got an unexpected keyword argument 'rows'"),
    ((1, String(), 0), {"fileobj": 0}, "__init__() got multiple values for keyword argument 'fileobj'"),
])
def test_argument_errors(args, kwargs, message, unraisable):
    with pytest.raises(TypeError) as excinfo:
        LowCardinality(*args, **kwargs)
    assert str(excinfo.value) == message


def test_every_argument_by_keyword():
    codec = UInt32()
    obj = LowCardinality(total_rows=9, is_nullable=1, dtype=codec, fileobj="f")
    assert (obj.fileobj, obj.dtype, obj.is_nullable, obj.total_rows) == ("f", codec, 1, 9)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize("total_rows, error, message", [
    (-1, OverflowError, "can't convert negative value to unsigned PY_LONG_LONG"),
    (2 ** 64, OverflowError, None),
    ("5", TypeError, "an integer is required"),
    (IntLike(-2), OverflowError, "can't convert negative value to unsigned PY_LONG_LONG"),
])
def test_total_rows_argument_conversion(total_rows, error, message, unraisable):
    obj = LowCardinality.__new__(LowCardinality)
    with pytest.raises(error) as excinfo:
        obj.__init__("f", String(), False, total_rows)
    assert message is None or str(excinfo.value) == message
    assert obj.fileobj is None  # conversion comes first
    del excinfo, obj


class ListSubclass(list):
    pass


class StrSubclass(str):
    pass


@pytest.mark.parametrize("field, value, error, message", [
    ("name", 5, TypeError, "Expected unicode, got int"),
    ("name", StrSubclass("x"), TypeError, "Expected unicode, got StrSubclass"),
    ("dictionary", (1,), TypeError, "Expected list, got tuple"),
    ("dictionary", ListSubclass(), TypeError, "Expected list, got ListSubclass"),
    ("index_elements", "ab", TypeError, "Expected list, got str"),
    ("total_rows", -1, OverflowError, "can't convert negative value to unsigned PY_LONG_LONG"),
    ("total_rows", 2 ** 64, OverflowError, None),
    ("total_rows", "1", TypeError, "an integer is required"),
    ("size", -5, OverflowError, "can't convert negative value to unsigned PY_LONG_LONG"),
    ("size", 1.5j, TypeError, "an integer is required"),
    ("index_size", 256, OverflowError, "value too large to convert to unsigned char"),
    ("index_size", -1, OverflowError, "can't convert negative value to unsigned char"),
    ("index_size", None, TypeError, "an integer is required"),
])
def test_setter_errors_leave_the_field_unchanged(field, value, error, message):
    obj = LowCardinality(None, String(), False, 3)
    before = getattr(obj, field)
    with pytest.raises(error) as excinfo:
        setattr(obj, field, value)
    assert message is None or str(excinfo.value) == message
    assert getattr(obj, field) == before


@pytest.mark.parametrize("field, value, stored", [
    ("name", None, None), ("name", "x", "x"), ("dictionary", None, None), ("index_elements", [1], [1]),
    ("total_rows", 2 ** 64 - 1, 2 ** 64 - 1), ("total_rows", IntLike(4), 4), ("size", True, 1),
    ("index_size", 255, 255), ("index_size", 2.9, 2), ("fileobj", 1.5, 1.5), ("defaul_value", [], []),
])
def test_setters_accept(field, value, stored):
    obj = LowCardinality(None, String(), False)
    setattr(obj, field, value)
    assert getattr(obj, field) == stored


@pytest.mark.parametrize("field", ["fileobj", "dtype", "name", "is_nullable", "dictionary", "index_elements",
                                   "defaul_value"])
def test_deleting_an_object_field_stores_none(field, unraisable):
    obj = LowCardinality(1, String(), 1)
    delattr(obj, field)
    assert getattr(obj, field) is None


@pytest.mark.parametrize("field", ["total_rows", "index_size", "size"])
def test_deleting_a_number_field_is_refused(field):
    obj = LowCardinality(1, String(), 1, 5)
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(obj, field)


def test_fresh_object_from_new(unraisable):
    obj = LowCardinality.__new__(LowCardinality)
    assert capi.fields(obj) == (None, None, None, None, 0, None, None, 0, None, 0)
    assert obj.__dict__ == {}


def test_module_namespace():
    assert module.date is datetime.date and module.datetime is datetime.datetime
    private = {"DEFAULT_VALUE", "INDEX_SIZE", "FIXEDSTRING", "NON_STR", "NON_INT", "NON_FLOAT", "generate_header",
               "find_index_size", "r_uint", "w_uint"}
    assert not private & set(vars(module))
    assert LowCardinality.__module__ == module.__name__ and LowCardinality.__name__ == "LowCardinality"


def test_docstrings():
    assert LowCardinality.__doc__ == (
        "Class for unpacking data from\n    the LowCardinality block into a regular\n"
        "    Data Type (String, FixedString, Date, DateTime,\n    and numbers excepting Decimal).")
    assert LowCardinality.__init__.__doc__ == "Class initialization."
    assert object.__init__.__doc__ != "Class initialization."
    assert {name: getattr(LowCardinality, name).__doc__ for name in ("skip", "read", "tell", "write", "clear")} == {
        "skip": "Skip read native column.",
        "read": "Read lowcardinality values from native column.",
        "tell": "Return size of write values.",
        "write": "Write lowcardinality values into native column.",
        "clear": "Get column data and clean buffers.",
    }
    assert "dictionary" in module.__doc__


def test_cycles_through_fields_are_collected_after_the_reset(unraisable):
    codec = String()
    obj = LowCardinality(None, codec, False)
    obj.write("a")
    codec.owner = obj
    obj.dictionary.append(obj)
    alive, calls = weakref.ref(codec), codec.calls
    del obj, codec
    gc.collect()
    assert alive() is None and calls[-1] == ("clear",) and unraisable.reports == []


def test_subclass_with_its_own_finaliser_is_still_reset(unraisable):
    finalised = []

    class Sub(LowCardinality):
        def __del__(self):
            finalised.append(self.total_rows)

    codec = String()
    obj = Sub(None, codec, False)
    obj.write("a")
    del obj
    assert finalised == [1] and codec.calls[-1] == ("clear",) and codec.total_rows == 0
    assert unraisable.reports == []


def test_gc_sees_object_fields_but_not_name():
    fileobj, codec, flag, default = object(), String(), object(), object()
    obj = LowCardinality(fileobj, codec, flag)
    obj.defaul_value = default
    referents = gc.get_referents(obj)
    for member in (fileobj, codec, flag, default, obj.dictionary, obj.index_elements, obj.__dict__):
        assert any(member is referent for referent in referents)
    assert not any(obj.name is referent for referent in referents)


def test_destruction_resets_the_codec(unraisable):
    codec = String()
    obj = LowCardinality(None, codec, False)
    obj.write("a")
    codec.total_rows = 5
    del obj
    assert codec.calls[-1] == ("clear",) and codec.total_rows == 0 and codec.buffer == b""
    assert unraisable.reports == []


def test_destruction_keeps_a_pending_exception():
    codec = String()

    def fail():
        obj = LowCardinality(None, codec, False)  # noqa: F841 (released while the error unwinds)
        raise LookupError("kept")

    with pytest.raises(LookupError, match="kept"):
        fail()
    assert codec.calls[-1] == ("clear",)


def test_destroying_an_unconstructed_object_reports_the_reset_failure(unraisable):
    obj = LowCardinality.__new__(LowCardinality)
    obj.index_size, obj.size = 4, 9
    capi.cleanup(obj)
    assert (obj.total_rows, obj.index_size, obj.size) == (0, 4, 9)
    message = interpreter_message("'NoneType' object has no attribute 'total_rows'",
                                  lambda: setattr(None, "total_rows", 0))
    assert unraisable.only() == (AttributeError, message, QUALIFIED + "_cleanup")
    del obj
    assert len(unraisable.reports) == 2


def test_subclass_instances_have_the_layout_and_a_dict():
    class Sub(LowCardinality):
        pass

    obj = Sub(None, String(), False)
    obj.extra = 1
    assert capi.has_class_vtable(obj) and capi.fields(obj)[2] == "LowCardinality(String)"
    assert obj.__dict__["extra"] == 1
