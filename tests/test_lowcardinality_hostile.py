"""Callbacks that mutate the object under work: errors, never crashes."""

import gc
import io
import pickle
import sys

from unittest.mock import ANY

import pytest

from fresh_interpreter import run_python
from leakcheck import assert_no_leak
from lowcardinality_codecs import String, block, strings
from quelvoran._testcapi import lowcardinality as capi
from quelvoran.common.dtypes.elements import StringCodec
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

QUALIFIED = "quelvoran.common.dtypes.objects.lowcardinality."


class Meddler:
    """A value whose comparisons, hash and release run `action`."""

    def __init__(self, action, key=0):
        self.action, self.key = action, key

    def __eq__(self, other):
        self.action()
        return isinstance(other, Meddler) and other.key == self.key

    def __lt__(self, other):
        self.action()
        return self.key < getattr(other, "key", 0)

    __hash__ = object.__hash__


class Dropping:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


def clear_fields(obj):
    obj.dictionary = obj.index_elements = None
    obj.dtype = obj.fileobj = None


def scenario_eq_during_write(obj):
    obj.write(Meddler(lambda: None, 1))
    obj.write(Meddler(lambda: clear_fields(obj), 2))
    return obj.write("x")


def scenario_lt_during_clear(obj):
    obj.dtype = String()
    obj.write(Meddler(lambda: obj.dictionary.clear() if obj.dictionary else None, 1))
    obj.write(Meddler(lambda: None, 2))
    return obj.clear()


def scenario_eq_during_clear_positions(obj):
    obj.write(Meddler(lambda: None, 1))
    obj.write(Meddler(lambda: setattr(obj, "index_elements", []), 1))
    return obj.clear()


def scenario_release_during_cleanup(obj):
    obj.write("a")
    obj.dictionary.append(Dropping(lambda: clear_fields(obj)))
    obj.index_elements.append(Dropping(lambda: setattr(obj, "dictionary", [1, 2])))
    return obj.clear()


def scenario_codec_write_replaces_lists(obj):
    codec = obj.dtype
    original = codec.write

    def write(value):
        obj.dictionary, obj.index_elements = [], None
        return original(value)

    codec.write = write
    return obj.write("a"), obj.write("b")


def scenario_stream_replaces_fields_while_reading(obj):
    data = block(strings("", "a"), 2, [1] * 50)

    class Stream:
        position = 0

        def read(self, n):
            chunk = data[self.position:self.position + n]
            self.position += n
            if self.position > 40:
                obj.fileobj = Stream()
                obj.dictionary = [Dropping(lambda: None)]
                obj.index_size = 8
            return chunk

    obj.fileobj = Stream()
    obj.dtype.fileobj = obj.fileobj
    return obj.read()


class Once:
    """Runs `action` on its first call only: re-entered operations end."""

    def __init__(self, action):
        self.action = action

    def __call__(self, *args):
        action, self.action = self.action, None
        if action is not None:
            action()


def on_call(codec, method, action):
    original = getattr(codec, method)
    action = Once(action)

    def hooked(*args):
        action()
        return original(*args)

    setattr(codec, method, hooked)


class Sneaky:
    """A number whose arithmetic and conversions run `action`."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __radd__(self, other):
        self.action()
        return other + self.value

    def __index__(self):
        self.action()
        return self.value

    __int__ = __index__


def scenario_codec_reenters_while_clearing(obj):
    codec = obj.dtype
    on_call(codec, "write", lambda: obj.clear())
    on_call(codec, "clear", lambda: obj.write("late"))
    obj.write("a")
    obj.write("b")
    return obj.clear(), obj.clear()


def scenario_codec_deletes_attributes_and_replaces_itself(obj):
    codec = obj.dtype

    def meddle():
        del obj.default_value, obj._read_header
        obj.dtype = String()

    on_call(codec, "write", meddle)
    return obj.write("a"), obj.write("b"), obj.clear()


def scenario_codec_read_reenters_and_truth_test_meddles(obj):
    data = block(strings("", "a"), 2, [1, 0]) * 3
    fileobj = io.BytesIO(data)
    obj.fileobj, obj.dtype = fileobj, String(fileobj)

    class Flag:
        def __bool__(self):
            obj.dictionary = None
            return True

    on_call(obj.dtype, "read", lambda: (obj.skip(), setattr(obj, "is_nullable", Flag())))
    return obj.read()


def scenario_skip_stream_drops_the_fields(obj):
    data = block(strings("", "a"), 2, [1] * 5)

    class Stream(io.BytesIO):
        def read(self, n=-1):
            if n == 5:
                obj.fileobj = obj.dtype = None
                obj.total_rows = 2**64 - 1
            return super().read(n)

    obj.fileobj = Stream(data)
    obj.dtype.fileobj = obj.fileobj
    return obj.skip(), obj.total_rows


def scenario_sizes_that_run_code(obj):
    codec = obj.dtype
    original = codec.write
    codec.write = lambda value: Sneaky(len(original(value) and b"x"), lambda: obj.clear())
    codec.tell = lambda: Sneaky(5, lambda: setattr(obj, "dtype", None))
    return obj.write("a"), obj.write("b"), obj.tell()


def scenario_fixed_string_length_that_runs_code(obj):
    codec = obj.dtype
    codec.name = "FixedString"
    codec.length = Sneaky(2, lambda: setattr(obj, "index_elements", None))
    return obj.write("abcdef"), obj.write("xyz"), obj.index_elements


SCENARIOS = [scenario_eq_during_write, scenario_lt_during_clear, scenario_eq_during_clear_positions,
             scenario_release_during_cleanup, scenario_codec_write_replaces_lists,
             scenario_stream_replaces_fields_while_reading, scenario_codec_reenters_while_clearing,
             scenario_codec_deletes_attributes_and_replaces_itself,
             scenario_codec_read_reenters_and_truth_test_meddles, scenario_skip_stream_drops_the_fields,
             scenario_sizes_that_run_code, scenario_fixed_string_length_that_runs_code]


@pytest.mark.parametrize("scenario", SCENARIOS)
@pytest.mark.parametrize("nullable", [False, True])
def test_mutation_from_callbacks_never_crashes(unraisable, scenario, nullable):
    obj = LowCardinality(None, String(), nullable)
    try:
        scenario(obj)
    except Exception:
        pass
    del obj
    gc.collect()


def test_repeated_operations_do_not_leak(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)

    class Stream:
        def __init__(self, data):
            self.data = data

        def read(self, n):
            chunk, self.data = self.data[:n], self.data[n:]
            return chunk

    def cycle():
        obj = LowCardinality(None, String(), True)
        for value in ("a", None, "b", "a"):
            obj.write(value)
        obj.tell()
        data = obj.clear()
        reader = LowCardinality(Stream(data), String(), True)
        reader.dtype.fileobj = reader.fileobj
        reader.read()
        broken = LowCardinality(Stream(data[:30]), String(), False)
        broken.dtype.fileobj = broken.fileobj
        with pytest.raises(EOFError):
            broken.read()
        broken.skip()
        broken.write(object())
        pickle.loads(pickle.dumps(obj)).clear()

    assert_no_leak(cycle)


class Quiet:
    """An element codec that does nothing: cheap to share among many objects."""

    name = "String"
    is_nullable = False
    total_rows = 0
    cleared = 0

    def clear(self):
        self.cleared += 1
        return b""


@pytest.mark.parametrize("field", ["fileobj", "is_nullable", "defaul_value"])
def test_long_chains_through_fields_are_released_without_deep_recursion(field):
    codec, head = Quiet(), None
    for _ in range(300_000):
        obj = LowCardinality.__new__(LowCardinality)
        obj.dtype = codec
        setattr(obj, field, head)
        head = obj
    del obj, head
    assert codec.cleared == 300_000


def revive_on_reset(stash, new_class=None):
    """A subclass with a __del__ of its own whose __setattr__ sees the object during
    the reset that destruction runs: it can store the object or change its class."""

    class Reviving(LowCardinality):
        armed = False

        def __del__(self):
            pass

        def __setattr__(self, name, value):
            if name == "_read_header" and self.armed:
                if stash is not None:
                    stash.append(self)
                if new_class is not None:
                    object.__setattr__(self, "__class__", new_class)
            object.__setattr__(self, name, value)

    return Reviving


def test_object_revived_by_its_reset_stays_whole():
    stash = []
    cls = revive_on_reset(stash)
    classes_before = sys.getrefcount(cls)
    codec = String()
    obj = cls(None, codec, False)
    obj.write("a")
    obj.armed = True
    del obj
    revived = stash.pop()
    revived.armed = False
    assert (type(revived), revived.name, revived.total_rows, revived.dictionary) == (cls, "LowCardinality(String)",
                                                                                      0, [])
    revived.write("b")
    assert revived.clear() == block(strings("", "b"), 2, [1])
    del revived
    gc.collect()
    assert sys.getrefcount(cls) == classes_before and stash == [] and codec.calls[-1] == ("clear",)


def test_class_changed_by_the_reset_keeps_both_classes_counted():
    class Other(LowCardinality):
        pass

    cls = revive_on_reset(None, Other)
    before = sys.getrefcount(cls), sys.getrefcount(Other)
    for _ in range(50):
        obj = cls(None, String(), False)
        obj.armed = True
        del obj
    gc.collect()
    assert (sys.getrefcount(cls), sys.getrefcount(Other)) == before


class collecting_often:
    """Runs `action` at the start of each collection while a collection starts
    at every other new container. Small tuples usually come from free lists,
    which allocate nothing new: `churn` empties them and shifts which allocation
    starts the next collection, so that over a few rounds each one does."""

    def __init__(self, action):
        self.action = action

    def __enter__(self):
        self.threshold = gc.get_threshold()
        gc.callbacks.append(self.callback)
        gc.set_threshold(1)
        return self

    def __exit__(self, *exc):
        gc.set_threshold(*self.threshold)
        gc.callbacks.remove(self.callback)

    def callback(self, phase, info):
        if phase == "start":
            self.action()

    @staticmethod
    def churn(round_number):
        held = [tuple(range(n)) for n in range(1, 16) for _ in range(2100)]
        return held + [[] for _ in range(round_number % 3)]


class Thing:
    pass


def test_fields_replaced_by_a_collection_while_reducing():
    obj = LowCardinality(None, String(), False)
    obj.write("a")

    def replace_fields():
        obj.fileobj, obj.defaul_value, obj.is_nullable = Thing(), Thing(), Thing()
        obj.dictionary, obj.index_elements = [Thing()], [Thing()]

    kept = []
    with collecting_often(replace_fields) as collecting:
        for round_number in range(12):
            kept.append(collecting.churn(round_number))
            state = obj.__reduce__()[2]
            layout = capi.fields(obj)
            assert type(state[0]) is type(state[3]) is type(state[6]) is Thing
            assert type(layout[0]) is type(layout[3]) is type(layout[8]) is Thing
    del kept
    gc.collect()


class Plain(LowCardinality):
    pass


UNCONSTRUCTED_CALLS = {
    "read": lambda obj: obj.read(),
    "skip": lambda obj: obj.skip(),
    "tell": lambda obj: obj.tell(),
    "write": lambda obj: obj.write("a"),
    "clear": lambda obj: obj.clear(),
    "reduce": lambda obj: pickle.loads(pickle.dumps(obj)),
    "setstate": lambda obj: obj.__setstate__((None,) * 5),
    "slots": lambda obj: [call(obj, flag) for flag in (0, 1)
                          for call in (capi.read, capi.skip, capi.tell, capi.clear)],
    "reset slots": lambda obj: (capi.index_size(obj), capi.update_index_size(obj), capi.cleanup(obj)),
}


@pytest.mark.parametrize("cls", [LowCardinality, Plain])
@pytest.mark.parametrize("call", UNCONSTRUCTED_CALLS.values(), ids=UNCONSTRUCTED_CALLS.keys())
def test_every_operation_on_an_unconstructed_object_fails_cleanly(unraisable, capsys, cls, call):
    obj = cls.__new__(cls)
    try:
        call(obj)
    except (AttributeError, TypeError, IndexError):
        pass
    del obj
    gc.collect()
    assert all(context.startswith(QUALIFIED) for context in unraisable.contexts)


class HookedString(StringCodec):
    """The package's String codec, running `hooks[method](obj)` first."""

    __slots__ = ("hooks", "obj")

    def __init__(self):
        super().__init__(None)
        self.hooks, self.obj = {}, None

    def write(self, value):
        self.hooks.get("write", lambda obj: None)(self.obj)
        return super().write(value)

    def clear(self):
        self.hooks.get("clear", lambda obj: None)(self.obj)
        return super().clear()


# A codec callback reaching the object in the middle of `clear`: (hooked
# method, callback, the operations reported). A write, clear or reset would
# mix into the block being built, so it is refused; fields changed meanwhile
# do not reach the block, which is built from what they held at the start.
REENTERED_CLEAR = {
    "write of a known value from the codec's clear": (
        "clear", lambda obj: obj.write("a"), ["write"] * 3),
    "write of a new value from the codec's write": ("write", lambda obj: obj.write("b"), ["write"] * 2),
    "reset from the codec's write": ("write", lambda obj: capi.cleanup(obj), ["_cleanup"] * 2),
    "clear from the codec's write": ("write", lambda obj: pytest.raises(RuntimeError, obj.clear), []),
    "fields changed from the codec's clear": (
        "clear", lambda obj: (setattr(obj, "index_size", 1), setattr(obj, "total_rows", 1),
                              obj.index_elements.append("a")), []),
}


@pytest.mark.parametrize("method, callback, reported", REENTERED_CLEAR.values(), ids=REENTERED_CLEAR.keys())
def test_clear_reentered_by_the_codec_gives_the_block_written(unraisable, capsys, method, callback, reported):
    codec = HookedString()
    obj = codec.obj = LowCardinality(None, codec, False)
    for _ in range(300):
        obj.write("a")
    codec.hooks[method] = callback
    data = obj.clear()
    assert data[8] == 1 and len(data) == 32 + 3 + 2 * 300  # 2-byte indexes, as the leading part says
    source = io.BytesIO(data)
    assert LowCardinality(source, StringCodec(source), False).read() == ["a"] * 300
    assert unraisable.reports == [(RuntimeError, ANY, QUALIFIED + "LowCardinality." + name) for name in reported]
    codec.hooks.clear()
    obj.write("c")
    assert obj.clear() == block(strings("", "c"), 2, [1])


HOSTILE_SPEC = """
from quelvoran.common.dtypes import columns, fast_elements
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

class Spec:
    @property
    def _initializing(self):
        if "write" in vars(fast_elements.IntegerCodec):
            del fast_elements.IntegerCodec.write
        return False

spec = columns.__spec__
if {hostile}:
    columns.__spec__ = Spec()
column = LowCardinality(None, fast_elements.make_codec("UInt32", None), False)
print([column.write(value) for value in (7, 3, 7)], column.clear().hex())
columns.__spec__ = spec  # the interpreter's shutdown asks it more
"""


def test_binding_the_compiled_codec_write_may_change_the_codec_class():
    """The module is taken from sys.modules when a block first writes through a
    compiled codec; asking its spec runs code, here taking the compiled write
    off the class, which must then not be called."""
    outputs = [run_python(HOSTILE_SPEC.format(hostile=hostile)) for hostile in (False, True)]
    assert [(run.returncode, run.stderr) for run in outputs] == [(0, "")] * 2
    assert outputs[0].stdout == outputs[1].stdout
