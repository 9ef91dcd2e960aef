"""quelvoran.native.read on arbitrary streams.

Input: bit 0 of byte 0 chooses how the stream comes: as bytes, or as a
stream whose reads return a few bytes at a time; the rest is the stream.
Any input gives a Table or raises NativeError (NotImplementedError for a
type the reader does not support, naming the block and column); never
anything else. Both ways of delivering the same bytes give the same answer
(addresses in messages aside). Where pandas is installed, a stream that reads
gives through read_dataframe the frame its Table's to_pandas() gives.
"""

from quelvoran import native
from fuzz_support import message, reports


class Trickle:
    """A stream that returns at most `step` bytes per read."""

    def __init__(self, data, step):
        self.data, self.position, self.step = data, 0, step

    def read(self, n=-1):
        n = self.step if n is None or n < 0 else min(n, self.step)
        chunk = self.data[self.position:self.position + n]
        self.position += len(chunk)
        return chunk


def outcome(source):
    with reports() as reported:
        try:
            table = native.read(source)
        except native.NativeError as error:
            return "NativeError", message(error)
        except NotImplementedError as error:
            assert str(error).startswith("block "), f"unsupported type without its place: {error}"
            return "NotImplementedError", message(error)
    assert isinstance(table, native.Table)
    assert not reported, f"reading reported {reported}"
    return "Table", repr(table), repr(table.columns)


def frames_agree(data):
    try:
        import pandas
    except ImportError:
        return
    pandas.testing.assert_frame_equal(native.read_dataframe(data), native.read(data).to_pandas())


def check(data):
    if not data:
        return
    answer = outcome(data[1:])
    if answer[0] == "Table":
        frames_agree(data[1:])
    if data[0] & 1:
        trickled = outcome(Trickle(data[1:], data[0] // 2 % 16 + 1))
        assert trickled == answer, f"as bytes: {answer}; trickled: {trickled}"
