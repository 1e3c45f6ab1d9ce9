"""What the benchmarks share: the best wall time of a few rounds, and the exact comparison of two tables."""
import time


def best_of(fn, *args, rounds=2):
    """(best seconds, the last result) of `rounds` calls of fn(*args)."""
    best, out = float("inf"), None
    for _ in range(rounds):
        t0 = time.perf_counter()
        out = fn(*args)
        best = min(best, time.perf_counter() - t0)
    return best, out


def frames_equal(got, want):
    """Whether two DataFrames are equal exactly (values, dtypes, index and columns)."""
    import pandas as pd

    try:
        pd.testing.assert_frame_equal(got, want, check_exact=True)
        return True
    except AssertionError:
        return False
