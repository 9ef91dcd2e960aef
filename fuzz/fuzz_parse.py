"""from_dtype (through the compiled caller) on arbitrary type strings.

Input: the type string, UTF-8 with surrogate escapes for other bytes. Any
exception is an answer except SystemError (an error the module failed to
set, or left pending) and MemoryError; the same string must give the same
answer twice (addresses in messages aside).
"""

from quelvoran._testcapi import parse
from fuzz_support import message

FATAL = (SystemError, MemoryError)


def outcome(text):
    try:
        return parse.from_dtype(text)
    except FATAL:
        raise
    except Exception as error:
        return type(error), message(error)


def check(data):
    text = data.decode("utf-8", "surrogateescape")
    first = outcome(text)
    again = outcome(text)
    assert repr(first) == repr(again), f"{text!r} gave {first!r}, then {again!r}"
