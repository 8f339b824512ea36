"""Recursive averages, RSI and bar measures."""

from .common import MISSING, Ema, present, present_bar


def rma(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    run, total, average = 0, -0.0, MISSING
    p, kept = float(period), float(period - 1)
    for i, v in enumerate(x):
        if not present(v):
            if run < period:
                run, total = 0, -0.0
            continue
        if run < period:
            total = total + v
            run += 1
            if run < period:
                continue
            average = total / p
        else:
            average = (average * kept + v) / p
        out[i] = average
    return [out]


def wma(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    p = float(period)
    divisor = p * (p + 1.0) / 2.0
    window, since_build, total, weighted, weight = [], 0, -0.0, -0.0, 0.0
    for i, v in enumerate(x):
        if not present(v):
            window, since_build, total, weighted, weight = [], 0, -0.0, -0.0, 0.0
            continue
        if len(window) < period:
            window.append(v)
            weight = weight + 1.0
            total = total + v
            weighted = weighted + v * weight
            if len(window) < period:
                continue
        else:
            oldest = window.pop(0)
            window.append(v)
            since_build += 1
            if since_build == period:
                # every period-th sample builds both sums afresh from the window, oldest first
                since_build, k, total, weighted = 0, 0.0, -0.0, -0.0
                for w in window:
                    k = k + 1.0
                    total = total + w
                    weighted = weighted + w * k
            else:
                weighted = (weighted - total) + v * p
                total = (total - oldest) + v
        out[i] = weighted / divisor
    return [out]


def _ema_chain(x, period, depth, combine):
    out = [MISSING] * len(x)
    chain = [Ema(period) for _ in range(depth)]
    for i, v in enumerate(x):
        if not present(v):
            for part in chain:
                part.restart_seed()
            continue
        value = v
        for part in chain:
            if not part.add(value):
                break
            value = part.average
        else:
            out[i] = combine(*(part.average for part in chain))
    return [out]


def dema(inputs, period):
    (x,) = inputs
    return _ema_chain(x, period, 2, lambda e1, e2: 2.0 * e1 - e2)


def tema(inputs, period):
    (x,) = inputs
    return _ema_chain(x, period, 3, lambda e1, e2, e3: (3.0 * e1 - 3.0 * e2) + e3)


def wilder_gains(x, period):
    """(position, average gain, average loss) wherever RSI's smoothing has a value: the mean of the
    first `period` changes, then (average * (period - 1) + change) / period; a missing sample
    restarts the seed and is skipped after it."""
    p, kept = float(period), float(period - 1)
    previous, run, gain, loss = None, 0, 0.0, 0.0
    for i, v in enumerate(x):
        if not present(v):
            if run < period:
                previous, run, gain, loss = None, 0, 0.0, 0.0
            continue
        if previous is None:
            previous = v
            continue
        change = v - previous
        previous = v
        up = change if change > 0.0 else 0.0
        down = -change if change < 0.0 else 0.0
        if run < period:
            gain = gain + up
            loss = loss + down
            run += 1
            if run < period:
                continue
            gain = gain / p
            loss = loss / p
        else:
            gain = (gain * kept + up) / p
            loss = (loss * kept + down) / p
        yield i, gain, loss


def rsi(inputs, period):
    (x,) = inputs
    out = [MISSING] * len(x)
    for i, gain, loss in wilder_gains(x, period):
        total = gain + loss
        out[i] = 50.0 if total == 0.0 else 100.0 * (gain / total)
    return [out]


def _true_ranges(high, low, close):
    """The true range of each bar whose previous bar is present too; MISSING elsewhere."""
    out = [MISSING] * len(close)
    previous_close = None
    for i, (h, lo, c) in enumerate(zip(high, low, close)):
        if not present_bar(h, lo, c):
            previous_close = None
            continue
        if previous_close is not None:
            greatest = h - lo
            high_gap = abs(h - previous_close)
            if high_gap > greatest:
                greatest = high_gap
            low_gap = abs(lo - previous_close)
            if low_gap > greatest:
                greatest = low_gap
            out[i] = greatest
        previous_close = c
    return out


def trange(inputs):
    high, low, close = inputs
    return [_true_ranges(high, low, close)]


def natr(inputs, period):
    high, low, close = inputs
    (atr,) = rma([_true_ranges(high, low, close)], period)
    out = [MISSING] * len(close)
    for i, (a, c) in enumerate(zip(atr, close)):
        if present(a) and c != 0.0:
            out[i] = (a / c) * 100.0
    return [out]


def obv(inputs):
    close, volume = inputs
    out = [MISSING] * len(close)
    previous, balance = None, 0.0
    for i, (c, v) in enumerate(zip(close, volume)):
        if not present_bar(c, v):
            continue
        if previous is None:
            balance = v
        elif c > previous:
            balance = balance + v
        elif c < previous:
            balance = balance - v
        previous = c
        out[i] = balance
    return [out]


REFERENCES = {
    "rma": rma,
    "wma": wma,
    "dema": dema,
    "tema": tema,
    "rsi": rsi,
    "trange": trange,
    "natr": natr,
    "obv": obv,
}
