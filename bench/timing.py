"""Timing shared by the benchmarks: the best wall time of a few rounds."""
import time


def best_of(fn, *args, rounds=2):
    """(best seconds, the last result) of `rounds` calls of fn(*args)."""
    best, out = float("inf"), None
    for _ in range(rounds):
        t0 = time.perf_counter()
        out = fn(*args)
        best = min(best, time.perf_counter() - t0)
    return best, out
