import sys

import pytest


class UnraisableRecorder:
    """Collects what the interpreter's unraisable hook receives."""

    def __init__(self):
        self.reports = []

    def __call__(self, unraisable):
        self.reports.append((unraisable.exc_type, str(unraisable.exc_value), unraisable.object))

    @property
    def contexts(self):
        return [context for _, _, context in self.reports]

    def only(self):
        assert len(self.reports) == 1, self.reports
        return self.reports[0]


@pytest.fixture
def unraisable(monkeypatch):
    """Records unraisable reports instead of printing them.

    Each report is (exception type, message, context object); the traceback
    printed before the report goes to sys.stderr (use capsys to read it).
    """
    recorder = UnraisableRecorder()
    monkeypatch.setattr(sys, "unraisablehook", recorder)
    yield recorder
    # A printed report leaves its exception in sys.last_*, whose traceback keeps
    # this test's frames and objects alive; they are released while the
    # recorder is in place, so that what they finalise is not reported later
    # in another test.
    for name in ("last_type", "last_value", "last_traceback", "last_exc"):
        if hasattr(sys, name):
            delattr(sys, name)


class Stream:
    """A binary stream that records every read(n) call."""

    def __init__(self, data=b""):
        self.data = bytes(data)
        self.position = 0
        self.calls = []

    def read(self, n=-1):
        self.calls.append(n)
        end = len(self.data) if n is None or n < 0 else self.position + n
        chunk = self.data[self.position:end]
        self.position += len(chunk)
        return chunk


@pytest.fixture
def stream():
    return Stream
