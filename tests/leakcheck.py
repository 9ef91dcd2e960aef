"""Detects reference leaks by repeating an operation and counting blocks."""

import gc
import sys


def allocated_after(operation, repeat):
    for _ in range(repeat):
        operation()
    gc.collect()
    return sys.getallocatedblocks()


def assert_no_leak(operation, repeat=200, rounds=20, warmup=None):
    """Fails when each of `rounds` rounds of `repeat` calls leaves a block or
    more per ten calls behind, after `warmup` calls (`repeat` by default).

    The interpreter's own caches keep filling for a while on some paths (its
    unraisable reports on 3.12 and 3.13, unpickling an instance of a class),
    a few stray blocks per round that fade: the first round that stays below
    the mark passes, where a leak grows by as much every round."""
    before = allocated_after(operation, repeat if warmup is None else warmup)
    deltas = []
    for _ in range(rounds):
        after = allocated_after(operation, repeat)
        deltas.append(after - before)
        if deltas[-1] < repeat // 10:
            return
        before = after
    raise AssertionError(f"blocks grow by {deltas} per {repeat} calls")
