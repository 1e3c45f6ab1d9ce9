"""get_historical_data against a literal pandas rendering of the same steps, on seeded random trees."""
import warnings

import numpy as np
import pandas as pd
import pytest

import localcsv_reference as ref
from localcsv_trees import make_tree, random_window
from orvane_data.from_localcsv import api


def outcome(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return fn(*args, **kwargs), None
        except Exception as e:  # both sides must fail alike
            return None, (type(e), str(e))


def compare(args, bar_convention, return_ohlcv):
    got, got_err = outcome(api.get_historical_data, *args, bar_convention=bar_convention, return_ohlcv=return_ohlcv)
    want, want_err = outcome(ref.get_historical_data, *args, bar_convention=bar_convention, return_ohlcv=return_ohlcv)
    assert got_err == want_err
    if want_err is None:
        pd.testing.assert_frame_equal(got, want, check_exact=True)
    return want_err is None


@pytest.mark.parametrize("daily", [False, True], ids=["intraday", "daily"])
@pytest.mark.parametrize("odd", [False, True], ids=["plain", "odd"])
@pytest.mark.parametrize("seed", range(6))
def test_random_trees(tmp_path, seed, daily, odd):
    csv_path, tickers, days = make_tree(tmp_path, 1000 * seed + daily * 7 + odd, daily, odd=odd)
    rng = np.random.default_rng(seed)
    fields = ref.DAILY_FIELDS if daily else ref.INTRADAY_FIELDS
    ok = 0
    for _ in range(4):
        start, end = random_window(rng, days, daily)
        flds = list(rng.choice(fields, int(rng.integers(1, len(fields) + 1)), replace=False))
        args = (tickers, flds, start, end, str(csv_path))
        ok += compare(args, str(rng.choice(["start", "end"])), bool(rng.random() < 0.4))
    # The whole span always has data: at least that query must succeed and agree.
    ok += compare((tickers, list(fields), days[0], days[-1] + " 23:59:59", str(csv_path)), "end", False)
    assert ok >= 1
