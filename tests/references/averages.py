"""Adaptive and compound averages and the oscillators built on them."""

import math

from . import smoothed
from .common import MISSING, Ema, present


class _Sma:
    """The running mean: total = total + x - oldest once full, total / period."""

    def __init__(self, period):
        self.period = period
        self.window = []
        self.total = -0.0

    def add(self, x):
        if len(self.window) == self.period:
            self.total = self.total + x - self.window.pop(0)
        else:
            self.total = self.total + x
        self.window.append(x)
        return len(self.window) == self.period

    def value(self):
        return self.total / float(self.period)

    def clear(self):
        self.window, self.total = [], -0.0


def kama(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    fastest, slowest = 2.0 / 3.0, 2.0 / 31.0
    span = fastest - slowest
    prices, path, moving, average, seeded = [], 0.0, 0, MISSING, False
    for i, v in enumerate(x):
        if not present(v):
            prices, path, moving = [], 0.0, 0
            continue
        if not prices:
            prices.append(v)
            continue
        step_in = abs(v - prices[-1])
        path = path + step_in
        moving += step_in != 0.0
        if len(prices) < period:
            prices.append(v)
            continue
        if not seeded:
            average, seeded = prices[-1], True
        net = abs(v - prices[0])
        efficiency = 1.0 if moving == 0 or path <= net else net / path
        factor = efficiency * span + slowest
        average = average + factor * factor * (v - average)
        out[i] = average
        step_out = abs(prices[1] - prices[0])
        path = path - step_out
        moving -= step_out != 0.0
        prices.pop(0)
        prices.append(v)
    return [out]


def trix(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    first, second, third = Ema(period), Ema(period), Ema(period)
    previous = MISSING
    for i, v in enumerate(x):
        if not present(v):
            first.restart_seed()
            second.restart_seed()
            third.restart_seed()
            continue
        had_previous = third.seeded()
        if not first.add(v) or not second.add(first.average) or not third.add(second.average):
            continue
        before, previous = previous, third.average
        if not had_previous:
            continue
        out[i] = 0.0 if before == 0.0 else (previous - before) / before * 100.0
    return [out]


def zlema(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    lag = (period - 1) // 2
    lagged, average = [], Ema(period)
    for i, v in enumerate(x):
        if not present(v):
            lagged = []
            average.restart_seed()
            continue
        adjusted = v
        if lag:
            if len(lagged) < lag:
                lagged.append(v)
                continue
            adjusted = 2.0 * v - lagged.pop(0)
            lagged.append(v)
        if average.add(adjusted):
            out[i] = average.average
    return [out]


def trima(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    inner, outer = _Sma(period // 2 + period % 2), _Sma(period // 2 + 1)
    for i, v in enumerate(x):
        if not present(v):
            inner.clear()
            outer.clear()
            continue
        if inner.add(v) and outer.add(inner.value()):
            out[i] = outer.value()
    return [out]


def hma(inputs, period):
    (x,) = inputs
    half = smoothed.wma([x], period // 2)[0]
    full = smoothed.wma([x], period)[0]
    d = [2.0 * h - f if present(f) else MISSING for h, f in zip(half, full)]
    return smoothed.wma([d], math.isqrt(period))


def _fast_slow(x, fast, slow, combine):
    out = [MISSING] * len(x)
    fast_average, slow_average = Ema(fast), Ema(slow)
    for i, v in enumerate(x):
        if not present(v):
            fast_average.restart_seed()
            slow_average.restart_seed()
            continue
        fast_ready = fast_average.add(v)
        if slow_average.add(v) and fast_ready:
            out[i] = combine(fast_average.average, slow_average.average)
    return out


def apo(inputs, fast, slow):
    (x,) = inputs
    return [_fast_slow(x, fast, slow, lambda f, s: f - s)]


def ppo(inputs, fast, slow):
    (x,) = inputs
    return [_fast_slow(x, fast, slow, lambda f, s: 0.0 if s == 0.0 else (f - s) / s * 100.0)]


def cmo(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    for i, gain, loss in smoothed.wilder_gains(x, period):
        total = gain + loss
        out[i] = 0.0 if total == 0.0 else 100.0 * ((gain - loss) / total)
    return [out]


def stochrsi(inputs, period, fastk_period, fastd_period):
    (x,) = inputs
    fastk, fastd = [MISSING] * len(x), [MISSING] * len(x)
    window, d = [], _Sma(fastd_period)
    for i, r in enumerate(smoothed.rsi([x], period)[0]):
        if not present(r):
            window = []
            d.clear()
            continue
        window.append(r)
        if len(window) > fastk_period:
            window.pop(0)
        if len(window) < fastk_period:
            continue
        highest = lowest = window[0]
        for w in window:  # the newest of equal extremes, as the native queues keep it
            if w >= highest:
                highest = w
            if w <= lowest:
                lowest = w
        spread = highest - lowest
        k = 50.0 if spread <= highest * 1e-14 else (r - lowest) / spread * 100.0
        if d.add(k):
            fastk[i], fastd[i] = k, d.value()
    return [fastk, fastd]


REFERENCES = {
    "kama": kama,
    "trix": trix,
    "zlema": zlema,
    "hma": hma,
    "trima": trima,
    "apo": apo,
    "ppo": ppo,
    "cmo": cmo,
    "stochrsi": stochrsi,
}
