"""Window extremes, sums and least-squares lines."""

import math

from .common import MISSING, present, present_bar

# --- window extremes ---------------------------------------------------------------------------


def _runs(flags):
    """For each position, how many present bars end there (0 at a missing one)."""
    run, out = 0, []
    for ok in flags:
        run = run + 1 if ok else 0
        out.append(run)
    return out


def _highest(values):
    best = values[0]
    for v in values[1:]:
        if v >= best:  # of equal samples the latest
            best = v
    return best


def _lowest(values):
    best = values[0]
    for v in values[1:]:
        if v <= best:
            best = v
    return best


def _extreme(inputs, period, pick):
    (x,) = inputs
    out = [MISSING] * len(x)
    for i, run in enumerate(_runs([present(v) for v in x])):
        if run >= period:
            out[i] = pick(x[i - period + 1 : i + 1])
    return out


def max_(inputs, period):
    return [_extreme(inputs, period, _highest)]


def min_(inputs, period):
    return [_extreme(inputs, period, _lowest)]


def midpoint(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    for i, run in enumerate(_runs([present(v) for v in x])):
        if run >= period:
            window = x[i - period + 1 : i + 1]
            out[i] = _highest(window) * 0.5 + _lowest(window) * 0.5
    return [out]


def midprice(inputs, period):
    high, low = inputs
    out = [MISSING] * len(high)
    for i, run in enumerate(_runs([present_bar(hi, lo) for hi, lo in zip(high, low)])):
        if run >= period:
            out[i] = _highest(high[i - period + 1 : i + 1]) * 0.5 + _lowest(low[i - period + 1 : i + 1]) * 0.5
    return [out]


# --- compensated running sums --------------------------------------------------------------------


class _Compensated:
    """A running sum with the rounding error of each addition kept beside it."""

    def __init__(self):
        self.sum, self.error = -0.0, -0.0

    def add(self, x):
        total = self.sum + x
        x_part = total - self.sum
        lost = (self.sum - (total - x_part)) + (x - x_part)
        self.sum = total
        self.error = self.error + lost

    def add_sum(self, other):
        self.add(other.sum)
        self.error = self.error + other.error

    def subtract_product(self, a, a_halves, b):
        ah, al = a_halves
        product = a * b
        bh, bl = _split(b)
        lost = (((ah * bh - product) + ah * bl) + al * bh) + al * bl
        self.add(-product)
        self.error = self.error - lost

    def value(self):
        return self.sum + self.error


def _split(a):
    scaled = 134217729.0 * a
    high = scaled - (scaled - a)
    return high, a - high


def sum_(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    window, total = [], _Compensated()
    for i, v in enumerate(x):
        if not present(v):
            window, total = [], _Compensated()
            continue
        if len(window) == period:
            oldest = window.pop(0)
            window.append(v)
            total.add(v)
            total.add(-oldest)
        else:
            window.append(v)
            total.add(v)
        value = total.value()
        if not present(value):
            total = _Compensated()
            for w in window:
                total.add(w)
            value = total.value()
        if len(window) == period and present(value):
            out[i] = value
    return [out]


# --- least-squares lines -------------------------------------------------------------------------


def _lines(x, period):
    """(slope, intercept) per position where the window is full, else None."""
    n = float(period)
    n_halves = _split(n)
    sum_x = n * (n - 1.0) * 0.5
    divisor = sum_x * sum_x - n * (n * (n - 1.0) * (n * 2.0 - 1.0) / 6.0)
    lines = [None] * len(x)
    window, samples, aged = [], _Compensated(), _Compensated()
    for i, y in enumerate(x):
        if not present(y):
            window, samples, aged = [], _Compensated(), _Compensated()
            continue
        if len(window) == period:
            oldest = window.pop(0)
            window.append(y)
            aged.add_sum(samples)
            aged.subtract_product(n, n_halves, oldest)
            samples.add(y)
            samples.add(-oldest)
        else:
            window.append(y)
            aged.add_sum(samples)
            samples.add(y)
        s, a = samples.value(), aged.value()
        if not present(s) or not present(a):
            samples, aged = _Compensated(), _Compensated()
            for w in window:
                aged.add_sum(samples)
                samples.add(w)
            s, a = samples.value(), aged.value()
        if len(window) == period:
            m = (n * a - sum_x * s) / divisor
            b = (s - m * sum_x) / n
            lines[i] = (m, b)
    return lines


def _line_output(inputs, period, read):
    (x,) = inputs
    n = float(period)
    out = []
    for line in _lines(x, period):
        if line is None:
            out.append(MISSING)
            continue
        v = read(line[0], line[1], n)
        out.append(v if present(v) else MISSING)
    return [out]


def linearreg(inputs, period):
    return _line_output(inputs, period, lambda m, b, n: b + m * (n - 1.0))


def linearreg_slope(inputs, period):
    return _line_output(inputs, period, lambda m, b, n: m)


def linearreg_intercept(inputs, period):
    return _line_output(inputs, period, lambda m, b, n: b)


DEGREES_PER_RADIAN = 180.0 / 3.141592653589793


def linearreg_angle(inputs, period):
    return _line_output(inputs, period, lambda m, b, n: math.atan(m) * DEGREES_PER_RADIAN)


def tsf(inputs, period):
    return _line_output(inputs, period, lambda m, b, n: b + m * n)


REFERENCES = {
    "midprice": midprice,
    "midpoint": midpoint,
    "max": max_,
    "min": min_,
    "sum": sum_,
    "linearreg": linearreg,
    "linearreg_slope": linearreg_slope,
    "linearreg_intercept": linearreg_intercept,
    "linearreg_angle": linearreg_angle,
    "tsf": tsf,
}
