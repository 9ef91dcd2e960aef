"""Shared pieces of the harnesses."""

import contextlib
import io
import re
import sys


@contextlib.contextmanager
def reports():
    """Collects unraisable reports (and the tracebacks printed before them)
    instead of printing them; yields the list of (exception type, context)."""
    collected = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: collected.append((report.exc_type, report.object))
    try:
        with contextlib.redirect_stderr(io.StringIO()):
            yield collected
    finally:
        sys.unraisablehook = previous


def same(a, b):
    """Equal values of the same type; NaN matches NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and a != a:
        return b != b
    return a == b


def same_rows(a, b):
    return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))


def message(error):
    """An exception's message, without the addresses it may name objects by."""
    return re.sub(r"0x[0-9a-f]+", "0x...", str(error))
