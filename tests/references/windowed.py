"""Trailing-window statistics and oscillators: VAR, STDDEV, BBANDS, the ROC family, MOM, STOCH, STOCHF,
WILLR, CCI.

A missing sample (or bar) empties every window, so each function restarts its windows there.
"""

import math

from .common import MISSING, present, present_bar


def _variances(x, period):
    """The population variance of each full window (None elsewhere), as the native VariancePart
    keeps it: the mean and the squared deviations M2 measured from a shift K (the newest sample at
    each measure), slid with Welford's replacement form, re-measured every `period` replacements or
    early once the updates' magnitudes since the last measure exceed 16 * M2, and exactly zero for
    a window of equal samples."""
    n = float(period)
    early = max(1, period // 8)
    out = [None] * len(x)
    window, run, replaced = [], 0, 0
    shift, mean, m2, noise = 0.0, 0.0, 0.0, 0.0

    def measure():
        k = window[-1]
        s = 0.0
        for v in window:
            s = s + (v - k)
        m = s / n
        q = 0.0
        for v in window:
            e = (v - k) - m
            q = q + e * e
        return k, m, q, 0.0

    for i, v in enumerate(x):
        if not present(v):
            window, run, replaced = [], 0, 0
            shift, mean, m2, noise = 0.0, 0.0, 0.0, 0.0
            continue
        was_full = len(window) == period
        repeated = len(window) > 0 and v == window[-1]
        oldest = window[0] if was_full else 0.0
        window.append(v)
        if was_full:
            del window[0]
        run = min(run + 1, period) if repeated else 1
        if not was_full:
            if len(window) < period:
                continue
            shift, mean, m2, noise = measure()
            replaced = 0
        elif run == period:
            shift, mean, m2, noise, replaced = v, 0.0, 0.0, 0.0, 0
        else:
            a = v - shift
            b = oldest - shift
            d = a - b
            new_mean = mean + d / n
            u = d * ((a - new_mean) + (b - mean))
            m2 = m2 + u
            noise = noise + abs(u)
            mean = new_mean
            replaced += 1
            if replaced == period or (replaced >= early and noise > 16.0 * m2):
                shift, mean, m2, noise = measure()
                replaced = 0
        variance = m2 / n
        out[i] = 0.0 if variance < 0.0 else variance
    return out


def var(inputs, period):
    (x,) = inputs
    return [[MISSING if v is None else v for v in _variances(x, period)]]


def stddev(inputs, period, nbdev):
    (x,) = inputs
    return [[MISSING if v is None else math.sqrt(v) * nbdev for v in _variances(x, period)]]


def bbands(inputs, period, nbdev_up, nbdev_down):
    (x,) = inputs
    variances = _variances(x, period)
    p = float(period)
    upper, middle, lower = ([MISSING] * len(x) for _ in range(3))
    window, total = [], -0.0
    for i, v in enumerate(x):
        if not present(v):
            window, total = [], -0.0
            continue
        if len(window) == period:
            total = total + v - window[0]
            del window[0]
        else:
            total = total + v
        window.append(v)
        if len(window) < period:
            continue
        mid = total / p
        sd = math.sqrt(variances[i])
        upper[i] = mid + nbdev_up * sd
        middle[i] = mid
        lower[i] = mid - nbdev_down * sd
    return [upper, middle, lower]


def _change(x, period, of):
    out = [MISSING] * len(x)
    previous = []
    for i, v in enumerate(x):
        if not present(v):
            previous = []
            continue
        if len(previous) == period:
            out[i] = of(v, previous[0])
            del previous[0]
        previous.append(v)
    return out


def roc(inputs, period):
    return [_change(inputs[0], period, lambda x, b: MISSING if b == 0.0 else ((x - b) / b) * 100.0)]


def rocp(inputs, period):
    return [_change(inputs[0], period, lambda x, b: MISSING if b == 0.0 else (x - b) / b)]


def rocr(inputs, period):
    return [_change(inputs[0], period, lambda x, b: MISSING if b == 0.0 else x / b)]


def mom(inputs, period):
    return [_change(inputs[0], period, lambda x, b: x - b)]


def _ranges(high, low, close, period):
    """Per bar: None, or (close, highest high, lowest low) of the last `period` present bars."""
    out = [None] * len(close)
    start = 0  # the first bar since the last missing one
    for i in range(len(close)):
        if not present_bar(high[i], low[i], close[i]):
            start = i + 1
            continue
        if i - start + 1 >= period:
            out[i] = (
                close[i],
                _newest_extreme(high[i - period + 1 : i + 1], True),
                _newest_extreme(low[i - period + 1 : i + 1], False),
            )
    return out


def _newest_extreme(values, highest):
    """The highest (or lowest) value; among equal ones (0.0 and -0.0) the newest."""
    best = values[0]
    for v in values[1:]:
        if (v >= best) if highest else (v <= best):
            best = v
    return best


def _fast_k(close, highest, lowest):
    span = highest - lowest
    return 50.0 if span == 0.0 else ((close - lowest) / span) * 100.0


def _sma_chain(values, period):
    """The SmaPart mean over the last `period` values of a chain stage (None: no value, which
    also empties the window: the stage before it restarted)."""
    out = [None] * len(values)
    p = float(period)
    window, total = [], -0.0
    for i, v in enumerate(values):
        if v is None:
            window, total = [], -0.0
            continue
        if len(window) == period:
            total = total + v - window[0]
            del window[0]
        else:
            total = total + v
        window.append(v)
        if len(window) == period:
            out[i] = total / p
    return out


def stochf(inputs, fastk_period, fastd_period):
    high, low, close = inputs
    ks = [None if r is None else _fast_k(*r) for r in _ranges(high, low, close, fastk_period)]
    ds = _sma_chain(ks, fastd_period)
    fastk = [MISSING if d is None else k for k, d in zip(ks, ds)]
    return [fastk, [MISSING if d is None else d for d in ds]]


def stoch(inputs, fastk_period, slowk_period, slowd_period):
    high, low, close = inputs
    ks = [None if r is None else _fast_k(*r) for r in _ranges(high, low, close, fastk_period)]
    slow_k = _sma_chain(ks, slowk_period)
    slow_d = _sma_chain(slow_k, slowd_period)
    return [
        [MISSING if d is None else k for k, d in zip(slow_k, slow_d)],
        [MISSING if d is None else d for d in slow_d],
    ]


def willr(inputs, period):
    high, low, close = inputs
    out = [MISSING] * len(close)
    for i, r in enumerate(_ranges(high, low, close, period)):
        if r is None:
            continue
        c, highest, lowest = r
        span = highest - lowest
        out[i] = -50.0 if span == 0.0 else ((c - highest) / span) * 100.0
    return [out]


def cci(inputs, period):
    high, low, close = inputs
    out = [MISSING] * len(close)
    n = float(period)
    window = []
    for i in range(len(close)):
        tp = MISSING
        if present_bar(high[i], low[i], close[i]):
            tp = ((high[i] + low[i]) + close[i]) / 3.0
        if not present(tp):
            window = []
            continue
        window.append(tp)
        if len(window) > period:
            del window[0]
        if len(window) < period:
            continue
        k = window[-1]
        s = 0.0
        for v in window:
            s = s + (v - k)
        m = s / n
        a = 0.0
        for v in window:
            a = a + abs((v - k) - m)
        md = a / n
        out[i] = 0.0 if md == 0.0 else (0.0 - m) / (0.015 * md)
    return [out]


REFERENCES = {
    "var": var,
    "stddev": stddev,
    "bbands": bbands,
    "roc": roc,
    "rocp": rocp,
    "rocr": rocr,
    "mom": mom,
    "stoch": stoch,
    "stochf": stochf,
    "willr": willr,
    "cci": cci,
}
