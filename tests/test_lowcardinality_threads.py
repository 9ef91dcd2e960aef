"""Several threads on LowCardinality writers, bounded in time.

An object serves one thread at a time. Shared anyway, it may refuse calls
(reported, or raised by `clear`), but every block it hands out reads back as
rows that were written to it, each accepted row in exactly one block.
"""

import collections
import io
import sys
import threading
import time

import pytest

from quelvoran.common.dtypes.elements import StringCodec
from quelvoran.common.dtypes.objects.lowcardinality import LowCardinality

QUALIFIED = "quelvoran.common.dtypes.objects.lowcardinality.LowCardinality."
SECONDS = 1.5
WRITES = 30_000
ROWS_PER_CLEAR = 300  # past 255 rows: some blocks need 2-byte indexes
EMPTY_BLOCK = bytes([1, 0, 0, 0, 0, 0, 0, 0, 0, 6]) + bytes(22)


def read_back(data):
    if data == EMPTY_BLOCK:  # a clear right after a clear: no rows, no entries
        return []
    source = io.BytesIO(data)
    rows = LowCardinality(source, StringCodec(source), True).read()
    assert source.tell() == len(data)
    return rows


def row(thread, i):
    return None if i % 7 == 0 else f"{thread}-{i % 40}"


@pytest.fixture
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_blocks_from_shared_and_separate_writers_read_back(unraisable, capsys, frequent_switches):
    shared = LowCardinality(None, StringCodec(None), True)
    shared_blocks, accepted, failures = [], [], []
    deadline = time.monotonic() + SECONDS

    def on_shared(thread):
        for i in range(WRITES):
            value = row(thread, i)
            if shared.write(value):  # 0: refused while another call is under way
                accepted.append(value)
            if i % ROWS_PER_CLEAR == ROWS_PER_CLEAR - 1:
                try:
                    shared_blocks.append(shared.clear())
                except RuntimeError:
                    pass
            if time.monotonic() > deadline:
                return

    def on_own(thread):
        own = LowCardinality(None, StringCodec(None), True)
        written = []
        for i in range(WRITES):
            written.append(row(thread, i))
            own.write(written[-1])
            if len(written) == ROWS_PER_CLEAR or time.monotonic() > deadline:
                assert read_back(own.clear()) == written
                written = []
            if time.monotonic() > deadline:
                return

    def guarded(work, thread):
        try:
            work(thread)
        except BaseException as error:
            failures.append(error)

    threads = [threading.Thread(target=guarded, args=(on_shared, f"s{n}")) for n in range(4)]
    threads += [threading.Thread(target=guarded, args=(on_own, f"o{n}")) for n in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    shared_blocks.append(shared.clear())

    assert failures == []
    rows = [value for data in shared_blocks for value in read_back(data)]
    assert collections.Counter(rows) == collections.Counter(accepted)
    assert {(kind, context) for kind, _, context in unraisable.reports} <= {(RuntimeError, QUALIFIED + "write")}
