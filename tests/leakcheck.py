"""Detects reference leaks by repeating an operation and counting blocks."""

import gc
import sys


def allocated_after(operation, repeat):
    for _ in range(repeat):
        operation()
    gc.collect()
    return sys.getallocatedblocks()


def assert_no_leak(operation, repeat=200, rounds=4, warmup=None):
    """Fails when every round of `repeat` calls leaves a block or more per ten
    calls behind, after `warmup` calls (`repeat` by default) that let the
    interpreter fill the caches a new path fills."""
    allocated_after(operation, repeat if warmup is None else warmup)
    counts = [allocated_after(operation, repeat) for _ in range(rounds)]
    deltas = [later - earlier for earlier, later in zip(counts, counts[1:])]
    assert not all(delta >= repeat // 10 for delta in deltas), f"blocks grow by {deltas} per {repeat} calls"
