import datetime
import traceback
import types

import pytest

from quelvoran._testcapi import cast_dataframes as caller
from quelvoran.common import cast_dataframes

QUALIFIED = "quelvoran.common.cast_dataframes.pandas_astype"


class Counting:
    """Attribute bag that counts how often each attribute is read."""

    def __init__(self, **attributes):
        object.__setattr__(self, "_attributes", attributes)
        object.__setattr__(self, "reads", {})

    def __getattr__(self, name):
        self.reads[name] = self.reads.get(name, 0) + 1
        try:
            return self._attributes[name]
        except KeyError:
            raise AttributeError(name) from None


def column(name, pytype, is_array=False, nested=0):
    info = Counting(dtype=Counting(pytype=pytype), is_array=is_array, nested=nested)
    return Counting(column=name, info=info)


@pytest.fixture(params=["python", "c"])
def pandas_astype(request):
    return cast_dataframes.pandas_astype if request.param == "python" else caller.pandas_astype


def test_module_surface():
    assert list(cast_dataframes.__pyx_capi__) == ["pandas_astype"]
    assert '"PyObject *(PyObject *, int __pyx_skip_dispatch)"' in repr(cast_dataframes.__pyx_capi__["pandas_astype"])
    assert cast_dataframes.date is datetime.date and cast_dataframes.datetime is datetime.datetime
    assert cast_dataframes.NoneType is types.NoneType
    assert cast_dataframes.pandas_astype.__doc__ == "Make pandas dtypes from columns."
    assert not hasattr(cast_dataframes, "PANDAS_TYPE")


class MyFloat(float):
    pass


@pytest.mark.parametrize(
    "pytype, is_array, nested, dtype",
    [
        (float, False, 0, "float64"),
        (str, False, 0, "string"),
        (bool, False, 0, "?"),
        (datetime.date, False, 0, "datetime64[ns]"),
        (datetime.datetime, False, 0, "datetime64[ns, UTC]"),
        (types.NoneType, False, 0, "nan"),
        (int, False, 0, None),
        (MyFloat, False, 0, None),
        ("not a type", False, 0, None),
        (float, True, 1, None),
        (float, True, 2, None),
        (float, True, 10**15, None),
        (float, True, 0, "float64"),
        (float, True, -3, "float64"),
        (float, 1, 0, "float64"),
        (float, None, 5, "float64"),
        (float, [], 5, "float64"),
    ],
)
def test_dtype_lookup(pandas_astype, pytype, is_array, nested, dtype):
    assert pandas_astype([column("c", pytype, is_array, nested)]) == {"c": dtype}


def test_attribute_reads(pandas_astype):
    plain, array = column("a", float), column("b", float, True, 1)
    pandas_astype([plain, array])
    assert plain.reads == {"column": 1, "info": 2}
    assert plain._attributes["info"].reads == {"dtype": 1, "is_array": 1}
    assert array.reads == {"column": 1, "info": 3}
    assert array._attributes["info"].reads == {"dtype": 1, "is_array": 1, "nested": 1}


def test_names_order_and_overwrite(pandas_astype):
    result = pandas_astype([column("x", float), column(None, str), column("y", bool), column("x", str)])
    assert list(result.items()) == [("x", "string"), (None, "string"), ("y", "?")]
    assert pandas_astype([]) == {}


def test_list_grown_during_iteration_is_followed(pandas_astype):
    columns = []

    class Growing:
        column = "g"

        @property
        def info(self):
            if len(columns) < 3:
                columns.append(column(f"n{len(columns)}", str))
            return types.SimpleNamespace(dtype=types.SimpleNamespace(pytype=float), is_array=False)

    columns.append(Growing())
    assert list(pandas_astype(columns)) == ["g", "n1", "n2"]


class Unhashable:
    __hash__ = None


class BadInt:
    def __int__(self):
        return "3"


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("truth")


@pytest.mark.parametrize(
    "description, error, message",
    [
        (column(1, str), TypeError, "Expected unicode, got int"),
        (column(b"x", str), TypeError, "Expected unicode, got bytes"),
        (Counting(info=None), AttributeError, "column"),
        (column("c", Unhashable()), TypeError, "unhashable type: 'Unhashable'"),
        (column("c", [], True, 1), TypeError, "unhashable type: 'list'"),
        (column("c", float, BadTruth()), ZeroDivisionError, "truth"),
        (column("c", float, True, "2"), TypeError, "an integer is required"),
        (column("c", float, True, BadInt()), TypeError, "__int__ returned non-int (type str)"),
        (column("c", float, True, 2**64), OverflowError, None),
    ],
)
def test_failures(pandas_astype, description, error, message):
    with pytest.raises(error) as caught:
        pandas_astype([column("fine", str), description])
    if message is not None:
        assert str(caught.value) == message
    assert QUALIFIED in [entry.name for entry in traceback.extract_tb(caught.value.__traceback__)]


def test_missing_nested_on_array_column(pandas_astype):
    description = column("c", float, True)
    del description._attributes["info"]._attributes["nested"]
    with pytest.raises(AttributeError):
        pandas_astype([description])


@pytest.mark.parametrize(
    "argument, message",
    [
        ((), "Argument 'column_list' has incorrect type (expected list, got tuple)"),
        (type("L", (list,), {})(), "Argument 'column_list' has incorrect type (expected list, got L)"),
        (None, "'NoneType' object is not iterable"),
    ],
)
def test_argument_errors(argument, message):
    with pytest.raises(TypeError) as caught:
        cast_dataframes.pandas_astype(argument)
    assert str(caught.value) == message
    if argument is None:
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            caller.pandas_astype(None)


def test_interpreter_argument_errors():
    with pytest.raises(TypeError):
        cast_dataframes.pandas_astype()
    with pytest.raises(TypeError):
        cast_dataframes.pandas_astype(column_list=[])
    with pytest.raises(TypeError):
        cast_dataframes.pandas_astype([], [])


def test_subclass_int_nested_warns(pandas_astype):
    class Nested(int):
        pass

    class Wrapped:
        def __int__(self):
            return Nested(1)

    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type Nested\)"):
        assert pandas_astype([column("c", float, True, Wrapped())]) == {"c": None}
