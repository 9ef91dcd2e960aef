import copy
import io
import pickle
import struct

import pytest

from lowcardinality_codecs import String, UInt32
from pickle_support import DATA, STORED_STEMS, Column, WithoutDict, stored_objects, subclass_under_way, under_way
from quelvoran._testcapi import lowcardinality as capi
from quelvoran.common.dtypes.elements import make_codec
from quelvoran.common.dtypes.objects import lowcardinality as module
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

unpickle = module.__pyx_unpickle_LowCardinality
CHECKSUM = 0x96B1315
FIELDS = ("defaul_value", "dictionary", "dtype", "fileobj", "index_elements", "index_size", "is_nullable", "name",
          "size", "total_rows")


def state_of(obj):
    return tuple(getattr(obj, field) for field in FIELDS)


def same_object(left, right):
    """Fields, attribute dict and type agree (codecs compared by their encodings)."""
    assert type(left) is type(right)
    plain = [field for field in FIELDS if field != "dtype"]
    assert [getattr(left, f) for f in plain] == [getattr(right, f) for f in plain]
    assert left.__dict__ == right.__dict__
    if right.dtype is not None:
        assert (type(left.dtype), left.dtype.buffer) == (type(right.dtype), right.dtype.buffer)


def test_reduce_of_a_constructed_object_is_two_step():
    obj = LowCardinality(None, String(), True)
    function, args, state = obj.__reduce__()
    assert function is unpickle and args == (LowCardinality, CHECKSUM, None)
    assert state == state_of(obj) + ({"default_value": "", "_read_header": False},)


def test_pickling_binding_and_function_names():
    assert "__reduce_cython__" not in vars(LowCardinality) and "__setstate__" in vars(LowCardinality)
    assert unpickle.__module__ == "quelvoran.common.dtypes.objects.lowcardinality"
    assert unpickle.__name__ == "__pyx_unpickle_LowCardinality"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", [under_way, subclass_under_way, lambda: LowCardinality(None, UInt32(), False, 3)])
def test_round_trip_under_every_protocol(protocol, make):
    obj = make()
    obj.defaul_value = {"any": "object"}
    same_object(pickle.loads(pickle.dumps(obj, protocol)), obj)


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
def test_copy(duplicate):
    obj = under_way()
    duplicated = duplicate(obj)
    same_object(duplicated, obj)
    assert (duplicated.dictionary is obj.dictionary) == (duplicate is copy.copy)


def test_block_under_way_continues_after_unpickling():
    obj = under_way()
    restored = pickle.loads(pickle.dumps(obj))
    assert restored.write("c") == obj.write("c") and restored.tell() == obj.tell()
    assert restored.clear() == obj.clear()


def test_subclass_comes_back_as_the_subclass():
    restored = pickle.loads(pickle.dumps(subclass_under_way()))
    assert type(restored) is Column and restored.label == "ids" and capi.has_class_vtable(restored)


def test_fresh_object_pickles_with_an_empty_dict(unraisable):
    obj = LowCardinality.__new__(LowCardinality)
    function, args, state = obj.__reduce__()
    assert args[2] is None and len(state) == 11 and state[10] == {}
    restored = pickle.loads(pickle.dumps(obj))
    assert state_of(restored) == state_of(obj) and restored.__dict__ == {}


def test_one_step_form_without_dict_and_object_fields(unraisable):
    obj = WithoutDict.__new__(WithoutDict)
    obj.size, obj.total_rows, obj.index_size = 5, 6, 2
    function, args = obj.__reduce__()
    assert function is unpickle and args == (WithoutDict, CHECKSUM, state_of(obj))
    restored = pickle.loads(pickle.dumps(obj))
    assert type(restored) is WithoutDict and state_of(restored) == state_of(obj)


def test_without_dict_but_with_an_object_field_is_two_step(unraisable):
    obj = WithoutDict.__new__(WithoutDict)
    obj.name = "n"
    function, args, state = obj.__reduce__()
    assert args[2] is None and len(state) == 10
    assert pickle.loads(pickle.dumps(obj)).name == "n"


def test_unpickle_with_a_ten_item_state_restores_the_fields(unraisable):
    state = ("d", [1], UInt32(), "f", [2], 4, True, "n", 9, 10)
    restored = unpickle(LowCardinality, CHECKSUM, state)
    assert state_of(restored) == state and restored.__dict__ == {}


@pytest.mark.parametrize("checksum", [0x96B1315, 0x30FD80, 0x71F64C3])
def test_accepted_checksums(checksum, unraisable):
    restored = unpickle(LowCardinality, checksum, ("d", None, None, None, None, 0, None, None, 0, 0, {"x": 1}))
    assert restored.defaul_value == "d" and restored.__dict__ == {"x": 1}


@pytest.mark.parametrize("checksum, shown", [(1, "0x1"), (0x96B1316, "0x96b1316"), (-1, "0x-1")])
def test_other_checksums_are_refused(checksum, shown):
    with pytest.raises(pickle.PickleError) as excinfo:
        unpickle(LowCardinality, checksum, None)
    assert str(excinfo.value) == (
        f"Incompatible checksums ({shown} vs (0x96b1315, 0x030fd80, 0x71f64c3) = (defaul_value, dictionary, dtype, "
        "fileobj, index_elements, index_size, is_nullable, name, size, total_rows))")


def test_missing_pickle_error_is_an_import_error(monkeypatch):
    monkeypatch.delattr(pickle, "PickleError")
    with pytest.raises(ImportError, match="^cannot import name PickleError$"):
        unpickle(LowCardinality, 1, None)


def test_missing_unpickle_function_is_a_name_error(monkeypatch):
    monkeypatch.delattr(module, "__pyx_unpickle_LowCardinality")
    with pytest.raises(NameError, match="^name '__pyx_unpickle_LowCardinality' is not defined$"):
        LowCardinality(None, String(), False).__reduce__()


@pytest.mark.parametrize("args, error, message", [
    ((LowCardinality, 2 ** 70, None), OverflowError, None),
    ((LowCardinality, "1", None), TypeError, "an integer is required"),
    ((int, CHECKSUM, None), TypeError, None),
    ((5, CHECKSUM, None), TypeError, None),
    ((LowCardinality, CHECKSUM, [None] * 10), TypeError, "Expected tuple, got list"),
    ((LowCardinality, CHECKSUM), TypeError, "__pyx_unpickle_LowCardinality() takes exactly 3 positional arguments "
                                            "(2 given)"),
])
def test_unpickle_argument_errors(unraisable, args, error, message):
    with pytest.raises(error) as excinfo:
        unpickle(*args)
    assert message is None or str(excinfo.value) == message


def test_setstate_requires_a_tuple(unraisable):
    obj = LowCardinality(None, String(), False)
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        obj.__setstate__([None] * 10)
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        obj.__setstate__(None)


GOOD_STATE = ("d", [], String(), "f", [], 1, False, "n", 0, 0)


def replaced(position, value):
    return GOOD_STATE[:position] + (value,) + GOOD_STATE[position + 1:]


@pytest.mark.parametrize("state, error, message, assigned", [
    (replaced(1, ("x",)), TypeError, "Expected list, got tuple", 1),
    (replaced(4, "x"), TypeError, "Expected list, got str", 4),
    (replaced(5, 256), OverflowError, "value too large to convert to unsigned char", 5),
    (replaced(5, -1), OverflowError, "can't convert negative value to unsigned char", 5),
    (replaced(7, b"n"), TypeError, "Expected unicode, got bytes", 7),
    (replaced(8, -1), OverflowError, "can't convert negative value to unsigned PY_LONG_LONG", 8),
    (replaced(8, 2 ** 64), OverflowError, None, 8),
    (replaced(9, "x"), TypeError, "an integer is required", 9),
    (GOOD_STATE[:5], IndexError, "tuple index out of range", 5),
    (GOOD_STATE + (5,), TypeError, None, 10),
    (GOOD_STATE + ([1],), TypeError, None, 10),
])
def test_state_errors_leave_earlier_fields_assigned(unraisable, state, error, message, assigned):
    obj = LowCardinality(None, String(), False, 3)
    before = state_of(obj)
    with pytest.raises(error) as excinfo:
        obj.__setstate__(state)
    assert message is None or str(excinfo.value) == message
    assert state_of(obj)[:assigned] == GOOD_STATE[:assigned] and state_of(obj)[assigned:] == before[assigned:]


def test_state_items_beyond_the_dict_are_ignored(unraisable):
    obj = LowCardinality(None, String(), False)
    obj.__setstate__(GOOD_STATE + ([("k", "v")], "ignored", object()))
    assert state_of(obj) == GOOD_STATE and obj.k == "v"


def test_unpicklable_field_fails_while_pickling():
    obj = LowCardinality(None, String(), False)
    obj.fileobj = lambda: None
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(obj)


@pytest.mark.parametrize("stem", STORED_STEMS)
def test_stored_pickles_load_and_continue_writing(unraisable, stem):
    stored = stored_objects()
    assert set(stored) == set(STORED_STEMS)
    expected, _ = stored[stem]
    restored = pickle.loads((DATA / f"lowcardinality_{stem}.pickle").read_bytes())
    same_object(restored, expected)
    if expected.dtype is not None:
        assert restored.write("5" if stem != "subclass" else 5) == expected.write("5" if stem != "subclass" else 5)
        assert restored.clear() == expected.clear()


NAN_BITS = [0x7FF8000000000000, 0xFFF8000000000001]


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("name, nullable", [("Float64", False), ("Float32", True)])
def test_nan_rows_find_their_entries_after_unpickling(protocol, name, nullable):
    # Pickling copies floats, so a NaN row no longer is its dictionary entry
    # and equals nothing; clear finds the entry by its bits.
    nans = [struct.unpack("<d", bits.to_bytes(8, "little"))[0] for bits in NAN_BITS]
    rows = [nans[0], 1.5, nans[1], nans[0], None if nullable else 0.0]
    writer = LowCardinality(None, make_codec(name, None), nullable)
    for row in rows:
        writer.write(row)
    block = pickle.loads(pickle.dumps(writer, protocol)).clear()
    source = io.BytesIO(block)
    again = LowCardinality(source, make_codec(name, source), nullable).read()
    assert [repr(value) for value in again] == [repr(value) for value in rows]
    assert again[0] is again[3]
