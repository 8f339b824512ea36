"""Volume flows, channels and bar balance."""

from .common import MISSING, Ema, present_bar


def _money_flow_volume(high, low, close, volume):
    span = high - low
    if not span > 0.0:
        return 0.0
    return ((close - low) - (high - close)) / span * volume


def _true_range(high, low, previous_close):
    span = high - low
    up = abs(high - previous_close)
    down = abs(low - previous_close)
    if up > span:
        span = up
    if down > span:
        span = down
    return span


class _Wilder:
    """Mean of the first `period` values, then (average * (period - 1) + x) / period."""

    def __init__(self, period):
        self.period = period
        self.run, self.total, self.average = 0, -0.0, MISSING

    def seeded(self):
        return self.run == self.period

    def add(self, x):
        if self.run < self.period:
            self.total = self.total + x
            self.run += 1
            if self.run < self.period:
                return False
            self.average = self.total / float(self.period)
            return True
        self.average = (self.average * float(self.period - 1) + x) / float(self.period)
        return True


def ad(inputs):
    high, low, close, volume = inputs
    out = [MISSING] * len(close)
    line = 0.0
    for i in range(len(close)):
        if not present_bar(high[i], low[i], close[i], volume[i]):
            continue
        line = line + _money_flow_volume(high[i], low[i], close[i], volume[i])
        out[i] = line
    return [out]


def adosc(inputs, fast, slow):
    high, low, close, volume = inputs
    out = [MISSING] * len(close)
    fast_alpha = 2.0 / (float(fast) + 1.0)
    fast_keep = 1.0 - fast_alpha
    slow_alpha = 2.0 / (float(slow) + 1.0)
    slow_keep = 1.0 - slow_alpha
    run, line, f, s = 0, 0.0, MISSING, MISSING
    for i in range(len(close)):
        if not present_bar(high[i], low[i], close[i], volume[i]):
            if run < slow:
                run, line, f, s = 0, 0.0, MISSING, MISSING
            continue
        line = line + _money_flow_volume(high[i], low[i], close[i], volume[i])
        if run == 0:
            f, s = line, line
        else:
            f = f * fast_keep + line * fast_alpha
            s = s * slow_keep + line * slow_alpha
        if run < slow:
            run += 1
            if run < slow:
                continue
        out[i] = f - s
    return [out]


def cmf(inputs, period):
    high, low, close, volume = inputs
    out = [MISSING] * len(close)
    window = []  # (flow, volume) of the present bars since the last missing one, newest last
    flows, volumes = 0.0, 0.0
    for i in range(len(close)):
        if not present_bar(high[i], low[i], close[i], volume[i]):
            window, flows, volumes = [], 0.0, 0.0
            continue
        flow = _money_flow_volume(high[i], low[i], close[i], volume[i])
        if len(window) == period:
            old_flow, old_volume = window.pop(0)
            flows = flows - old_flow + flow
            volumes = volumes - old_volume + volume[i]
        else:
            flows = flows + flow
            volumes = volumes + volume[i]
        window.append((flow, volume[i]))
        if all(v == 0.0 for _, v in window):
            flows, volumes = 0.0, 0.0
        if len(window) < period:
            continue
        out[i] = 0.0 if volumes == 0.0 else flows / volumes
    return [out]


def vwap(inputs):
    high, low, close, volume = inputs
    out = [MISSING] * len(close)
    priced, traded = 0.0, 0.0
    for i in range(len(close)):
        if not present_bar(high[i], low[i], close[i], volume[i]):
            continue
        typical = (high[i] + low[i] + close[i]) / 3.0
        priced = priced + typical * volume[i]
        traded = traded + volume[i]
        if traded != 0.0:
            out[i] = priced / traded
    return [out]


def kc(inputs, period, atr_period, nbdev):
    high, low, close = inputs
    n = len(close)
    upper, middle, lower = [MISSING] * n, [MISSING] * n, [MISSING] * n
    first = max(period - 1, atr_period)
    middle_start = first - (period - 1)
    range_start = first - atr_period + 1

    def fresh():
        return 0, Ema(period), _Wilder(atr_period), MISSING

    taken, average, atr, previous_close = fresh()
    for i in range(n):
        if not present_bar(high[i], low[i], close[i]):
            if not atr.seeded():
                taken, average, atr, previous_close = fresh()
            continue
        if taken >= middle_start:
            average.add((high[i] + low[i] + close[i]) / 3.0)
        if taken >= range_start:
            atr.add(_true_range(high[i], low[i], previous_close))
        previous_close = close[i]
        if taken < first:
            taken += 1
            continue
        width = nbdev * atr.average
        upper[i] = average.average + width
        middle[i] = average.average
        lower[i] = average.average - width
    return [upper, middle, lower]


def donchian(inputs, period):
    high, low = inputs
    n = len(high)
    upper, middle, lower = [MISSING] * n, [MISSING] * n, [MISSING] * n
    start = 0  # the first bar of the run of present bars the window may hold
    for i in range(n):
        if not present_bar(high[i], low[i]):
            start = i + 1
            continue
        if i - start + 1 < period:
            continue
        # Newest to oldest, replacing only on a strict gain: of equal extremes (0.0 and -0.0)
        # the newest stands, as in the native queue.
        top, bottom = high[i], low[i]
        for j in range(i - 1, i - period, -1):
            if high[j] > top:
                top = high[j]
            if low[j] < bottom:
                bottom = low[j]
        upper[i] = top
        middle[i] = (top + bottom) / 2.0
        lower[i] = bottom
    return [upper, middle, lower]


def supertrend(inputs, period, multiplier):
    high, low, close = inputs
    n = len(close)
    line, trend = [MISSING] * n, [MISSING] * n

    def fresh():
        return False, _Wilder(period), MISSING, MISSING, MISSING, True

    started, atr, previous_close, upper, lower, rising = fresh()
    for i in range(n):
        h, lo, c = high[i], low[i], close[i]
        if not present_bar(h, lo, c):
            if not atr.seeded():
                started, atr, previous_close, upper, lower, rising = fresh()
            continue
        if not started:
            started, previous_close = True, c
            continue
        first = not atr.seeded()
        if not atr.add(_true_range(h, lo, previous_close)):
            previous_close = c
            continue
        mid = (h + lo) / 2.0
        width = multiplier * atr.average
        basic_upper, basic_lower = mid + width, mid - width
        if first:
            upper, lower, rising = basic_upper, basic_lower, True
        else:
            if basic_upper < upper or previous_close > upper:
                upper = basic_upper
            if basic_lower > lower or previous_close < lower:
                lower = basic_lower
            if rising:
                if c < lower:
                    rising = False
            elif c > upper:
                rising = True
        previous_close = c
        line[i] = lower if rising else upper
        trend[i] = 1.0 if rising else -1.0
    return [line, trend]


def bop(inputs):
    open_, high, low, close = inputs
    out = [MISSING] * len(close)
    for i in range(len(close)):
        if not present_bar(open_[i], high[i], low[i], close[i]):
            continue
        span = high[i] - low[i]
        out[i] = (close[i] - open_[i]) / span if span > 0.0 else 0.0
    return [out]


REFERENCES = {
    "ad": ad,
    "adosc": adosc,
    "cmf": cmf,
    "vwap": vwap,
    "kc": kc,
    "donchian": donchian,
    "supertrend": supertrend,
    "bop": bop,
}
