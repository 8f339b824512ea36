"""Slow pure-Python indicators, each step written out in its defined order on Python floats.

Python floats are IEEE-754 doubles and every operator below is one rounded operation, so these
give the exact bits the native routines must give. Periods stay Python ints; where a routine
compares in unsigned 64-bit arithmetic, the wrap-around is spelled out.
"""

import math
import struct

# The marker of a position without a value: the quiet NaN with the sign bit clear.
MISSING = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000))[0]

UINT64 = 2**64


def _doubles(values):
    return [float(v) for v in values]


def _is_nan(x):
    return x != x


def sma(period, data):
    x = _doubles(data)
    n = len(x)
    p = period
    y = [MISSING] * n
    if (p - 1) % UINT64 >= n:
        return y
    s = -0.0
    for i in range(p):
        s = s + x[i]
    r = 1.0 / float(p)
    y[p - 1] = s * r
    for k in range(p, n):
        d = x[k] - x[k - p]
        s = s + d
        y[k] = s * r
    return y


def ema(period, data):
    x = _doubles(data)
    n = len(x)
    p = period
    y = [MISSING] * n
    if (p - 1) % UINT64 >= n:
        return y
    seed_start = next((j for j in range(n - p + 1) if all(math.isfinite(v) for v in x[j : j + p])), None)
    if seed_start is None:
        return y
    j = seed_start
    s = -0.0
    for i in range(j, j + p):
        s = s + x[i]
    e = s / float(p)
    y[j + p - 1] = e
    a = 2.0 / (float(p) + 1.0)
    b = 1.0 - a
    for i in range(j + p, n):
        if math.isfinite(x[i]):
            e = e * b + x[i] * a
            y[i] = e
    return y


def macd(fast_period, slow_period, signal_period, data):
    """Needs 1 <= fast_period < slow_period and signal_period >= 1, as the entry point checks."""
    x = _doubles(data)
    n = len(x)
    alpha_fast = 2.0 / (float(fast_period) + 1.0)
    alpha_slow = 2.0 / (float(slow_period) + 1.0)
    alpha_signal = 2.0 / (float(signal_period) + 1.0)
    keep_fast = 1.0 - alpha_fast
    keep_slow = 1.0 - alpha_slow
    keep_signal = 1.0 - alpha_signal

    def trailing_mean(last, period):
        s = -0.0
        for back in range(period):
            s = s + x[last - back]
        return s / float(period)

    macd_line, signal_line, hist = [MISSING] * n, [MISSING] * n, [MISSING] * n
    f = s = g = MISSING
    for i in range(n):
        v = x[i]
        if _is_nan(v):
            continue
        if i < slow_period - 1:
            continue
        if _is_nan(f):
            f = trailing_mean(i, fast_period)
            s = trailing_mean(i, slow_period)
        else:
            f = f * keep_fast + v * alpha_fast
            s = s * keep_slow + v * alpha_slow
        m = f - s
        macd_line[i] = m
        # Unbounded ints: a signal period near 2**64 must not wrap the start round to index 0.
        if not _is_nan(g):
            g = g * keep_signal + alpha_signal * m
        elif i >= slow_period + signal_period - 2:
            g = m
        signal_line[i] = g
        hist[i] = MISSING if _is_nan(g) else m - g
    return macd_line, signal_line, hist


def _larger_skipping_nan(a, b):
    if _is_nan(a):
        return b
    if b > a:
        return b
    return a


def atr(period, high, low, close):
    h, lo, c = _doubles(high), _doubles(low), _doubles(close)
    n = len(c)
    y = [MISSING] * n
    if period == 0 or period >= n:
        return y

    def true_range(i):
        price_range = h[i] - lo[i]
        high_gap = abs(h[i] - c[i - 1])
        low_gap = abs(lo[i] - c[i - 1])
        return _larger_skipping_nan(_larger_skipping_nan(price_range, high_gap), low_gap)

    s = 0.0
    for i in range(1, period + 1):
        s = s + true_range(i)
    a = s / float(period)
    y[period] = a
    r = 1.0 / float(period)
    for j in range(period + 1, n):
        a = a + (true_range(j) - a) * r
        y[j] = a
    return y
