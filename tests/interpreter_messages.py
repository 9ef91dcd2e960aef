"""Messages that come from the interpreter itself rather than from the package."""

import sys


def interpreter_message(documented, action):
    """The message the running interpreter gives when `action` fails.

    On 3.11 that is `documented`, word for word; newer interpreters word some
    of their messages differently, and the module passes theirs on.
    """
    if sys.version_info[:2] == (3, 11):
        return documented
    try:
        action()
    except Exception as error:
        return str(error)
    raise AssertionError("the action did not fail")
