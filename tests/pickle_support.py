"""Importable classes and objects for the LowCardinality pickle tests.

Stored pickles refer to the classes here by module and name, and the tests
rebuild each stored object with `stored_objects()` to compare. Run this file
to write the pickles again (only for a new stored case: the committed files
must keep loading in later builds as they are).
"""

import pathlib
import pickle

from lowcardinality_codecs import String, UInt32
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

DATA = pathlib.Path(__file__).parent / "data"


class Column(LowCardinality):
    """A subclass with an attribute of its own."""

    def __init__(self, *args, label="column"):
        super().__init__(*args)
        self.label = label


class WithoutDict(LowCardinality):
    """A subclass whose instances report no attribute dict."""

    @property
    def __dict__(self):
        raise AttributeError("__dict__")


def under_way():
    obj = LowCardinality(None, String(), True)
    for value in ("b", None, "a", "b"):
        obj.write(value)
    return obj


def subclass_under_way():
    obj = Column(None, UInt32(), False, label="ids")
    for value in (7, 3, 7):
        obj.write(value)
    return obj


STORED_STEMS = ("fresh", "constructed", "under_way_protocol0", "under_way_protocol5", "subclass")


def stored_objects():
    """File name stem to (object, protocol)."""
    return {
        "fresh": (LowCardinality.__new__(LowCardinality), 2),
        "constructed": (LowCardinality(None, String(), False), 2),
        "under_way_protocol0": (under_way(), 0),
        "under_way_protocol5": (under_way(), 5),
        "subclass": (subclass_under_way(), 4),
    }


def write_stored_pickles():
    DATA.mkdir(exist_ok=True)
    for stem, (obj, protocol) in stored_objects().items():
        (DATA / f"lowcardinality_{stem}.pickle").write_bytes(pickle.dumps(obj, protocol))


if __name__ == "__main__":
    # Through the module's own name, so that pickles name the classes by it.
    import pickle_support

    pickle_support.write_stored_pickles()
