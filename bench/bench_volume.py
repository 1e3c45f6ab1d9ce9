"""Volume indicators on 1,000,000 bars: the package against a literal pandas rendering of the same
steps with the same helpers (orvane_data.ta.utils and orvane_data.ta.overlap.ema).

The goal is at least 10x faster than the rendering, with values equal within a relative 1e-12
(relative to the size of the series, so values near zero compare sensibly).
"""
import time

import numpy as np
import pandas as pd

from orvane_data.ta import volume
from orvane_data.ta.overlap import ema
from orvane_data.ta.utils import _apply_offset, _handle_fills, get_offset, non_zero_range, signed_series, verify_series

ROWS = 1_000_000


def bars(n, seed=7):
    rng = np.random.default_rng(seed)
    index = pd.date_range("2000-01-03", periods=n, freq="min")
    close = 100 + rng.normal(scale=0.1, size=n).cumsum()
    spread = rng.random(n)
    high = pd.Series(close + spread, index=index)
    low = pd.Series(close - rng.random(n) * spread, index=index)
    vol = pd.Series(rng.integers(0, 10_000, n), index=index)
    return high, low, pd.Series(close, index=index), vol


def ref_obv(close, vol, offset=None, **kwargs):
    close, vol, offset = verify_series(close), verify_series(vol), get_offset(offset)
    result = (signed_series(close, initial=1) * vol).cumsum()
    return _handle_fills(_apply_offset(result, offset), **kwargs)


def ref_ad(high, low, close, vol, offset=None, **kwargs):
    high, low, close, vol = map(verify_series, (high, low, close, vol))
    offset = get_offset(offset)
    clv = ((close - low) - (high - close)) / non_zero_range(high, low)
    return _handle_fills(_apply_offset((clv * vol).cumsum(), offset), **kwargs)


def ref_adosc(high, low, close, vol, fast=3, slow=10, offset=None, **kwargs):
    line = ref_ad(high, low, close, vol)
    result = ema(line, length=fast) - ema(line, length=slow)
    return _handle_fills(_apply_offset(result, get_offset(offset)), **kwargs)


def ref_cmf(high, low, close, vol, length=20, offset=None, **kwargs):
    high, low, close, vol = map(verify_series, (high, low, close, vol))
    offset = get_offset(offset)
    clv = ((close - low) - (high - close)) / non_zero_range(high, low)
    result = (clv * vol).rolling(length).sum() / vol.rolling(length).sum()
    return _handle_fills(_apply_offset(result, offset), **kwargs)


def best_pair(reference, package, repeat=21):
    """Best time of each, the runs interleaved so that both meet the same load on a shared machine."""
    times = {reference: [], package: []}
    out = {}
    for _ in range(repeat):
        for fn in (reference, package):
            t0 = time.perf_counter()
            out[fn] = fn()
            times[fn].append(time.perf_counter() - t0)
    return min(times[reference]), out[reference], min(times[package]), out[package]


def equal(got, want):
    a, b = got.to_numpy(), want.to_numpy()
    scale = np.nanmax(np.abs(b)) if np.isfinite(b).any() else 1.0
    close = np.isclose(a, b, rtol=1e-12, atol=1e-12 * scale, equal_nan=True)
    return bool(close.all()) and got.index.equals(want.index)


def main():
    high, low, close, vol = bars(ROWS)
    cases = [
        ("obv", lambda: volume.obv(close, vol), lambda: ref_obv(close, vol)),
        ("ad", lambda: volume.ad(high, low, close, vol), lambda: ref_ad(high, low, close, vol)),
        ("adosc", lambda: volume.adosc(high, low, close, vol), lambda: ref_adosc(high, low, close, vol)),
        ("cmf", lambda: volume.cmf(high, low, close, vol), lambda: ref_cmf(high, low, close, vol)),
    ]
    for name, package, reference in cases:
        t_ref, want, t_pkg, got = best_pair(reference, package)
        print(f"{name:<6} {ROWS} rows: reference {t_ref:.4f} s  package {t_pkg:.4f} s  "
              f"x{t_ref / t_pkg:5.1f}  equal={equal(got, want)}", flush=True)


if __name__ == "__main__":
    main()
