"""Directional movement, parabolic SAR, money flow, ultimate oscillator, Aroon."""

from .common import MISSING, present_bar


def _true_range(high, low, previous_close):
    tr = high - low
    t = abs(high - previous_close)
    if t > tr:
        tr = t
    t = abs(low - previous_close)
    if t > tr:
        tr = t
    return tr


def _directional(high, low, close, period, on_value, on_missing):
    """Runs the smoothed +DM, -DM and true range; calls on_value(i, plus, minus, tr) at each bar
    that has them and on_missing(i, ready) at each missing bar (ready: smoothed once already)."""
    p = float(period)
    run, ready = 0, False
    ph = pl = pc = 0.0
    plus = minus = rng = 0.0
    for i in range(len(high)):
        h, lo, c = high[i], low[i], close[i]
        if not present_bar(h, lo, c):
            if not ready:
                run, plus, minus, rng = 0, 0.0, 0.0, 0.0
            on_missing(i, ready)
            continue
        if run == 0:
            ph, pl, pc, run = h, lo, c, 1
            continue
        up = h - ph
        down = pl - lo
        dm_plus = dm_minus = 0.0
        if down > 0.0 and up < down:
            dm_minus = down
        elif up > 0.0 and up > down:
            dm_plus = up
        tr = _true_range(h, lo, pc)
        ph, pl, pc = h, lo, c
        if run < period:
            plus = plus + dm_plus
            minus = minus + dm_minus
            rng = rng + tr
            run += 1
            continue
        plus = plus - plus / p + dm_plus
        minus = minus - minus / p + dm_minus
        rng = rng - rng / p + tr
        ready = True
        on_value(i, plus, minus, rng)


def _indicator(dm, tr):
    return 0.0 if tr == 0.0 else 100.0 * (dm / tr)


def _di(inputs, period, plus_side):
    high, low, close = inputs
    out = [MISSING] * len(high)

    def on_value(i, plus, minus, tr):
        out[i] = _indicator(plus if plus_side else minus, tr)

    _directional(high, low, close, period, on_value, lambda i, ready: None)
    return [out]


def plus_di(inputs, period):
    return _di(inputs, period, True)


def minus_di(inputs, period):
    return _di(inputs, period, False)


def _adx_series(inputs, period, on_adx):
    """Calls on_adx(i, adx) at every bar with an ADX; returns nothing."""
    high, low, close = inputs
    p, kept = float(period), float(period - 1)
    avg = {"run": 0, "sum": 0.0, "value": MISSING}

    def on_missing(i, ready):
        if avg["run"] < period:
            avg["run"], avg["sum"] = 0, 0.0

    def on_value(i, plus, minus, tr):
        total = plus + minus
        dx = 0.0 if total == 0.0 else 100.0 * (abs(plus - minus) / total)
        if avg["run"] < period:
            avg["sum"] = avg["sum"] + dx
            avg["run"] += 1
            if avg["run"] < period:
                return
            avg["value"] = avg["sum"] / p
        else:
            avg["value"] = (avg["value"] * kept + dx) / p
        on_adx(i, avg["value"])

    _directional(high, low, close, period, on_value, on_missing)


def adx(inputs, period):
    out = [MISSING] * len(inputs[0])

    def on_adx(i, value):
        out[i] = value

    _adx_series(inputs, period, on_adx)
    return [out]


def adxr(inputs, period):
    out = [MISSING] * len(inputs[0])
    history = []  # every ADX value, in order; missing bars leave no entry

    def on_adx(i, value):
        history.append(value)
        if len(history) >= period:
            out[i] = (value + history[-period]) / 2.0

    _adx_series(inputs, period, on_adx)
    return [out]


def sar(inputs, acceleration, maximum):
    high, low = inputs
    out = [MISSING] * len(high)
    step = maximum if acceleration > maximum else acceleration
    stage = 0
    is_long = True
    ph = pl = stop = extreme = 0.0
    factor = 0.0
    for i in range(len(high)):
        h, lo = high[i], low[i]
        if not present_bar(h, lo):
            if stage < 2:
                stage = 0
            continue
        if stage == 0:
            ph, pl, stage = h, lo, 1
            continue
        if stage == 1:
            up = h - ph
            down = pl - lo
            is_long = not (down > 0.0 and up < down)
            if is_long:
                extreme, stop = h, pl
            else:
                extreme, stop = lo, ph
            factor = step
            ph, pl, stage = h, lo, 2
        if is_long:
            if lo <= stop:
                is_long = False
                s = extreme
                if s < ph:
                    s = ph
                if s < h:
                    s = h
                out[i] = s
                factor = step
                extreme = lo
                stop = s + factor * (extreme - s)
                if stop < ph:
                    stop = ph
                if stop < h:
                    stop = h
            else:
                out[i] = stop
                if h > extreme:
                    extreme = h
                    factor = factor + step
                    if factor > maximum:
                        factor = maximum
                stop = stop + factor * (extreme - stop)
                if stop > pl:
                    stop = pl
                if stop > lo:
                    stop = lo
        else:
            if h >= stop:
                is_long = True
                s = extreme
                if s > pl:
                    s = pl
                if s > lo:
                    s = lo
                out[i] = s
                factor = step
                extreme = h
                stop = s + factor * (extreme - s)
                if stop > pl:
                    stop = pl
                if stop > lo:
                    stop = lo
            else:
                out[i] = stop
                if lo < extreme:
                    extreme = lo
                    factor = factor + step
                    if factor > maximum:
                        factor = maximum
                stop = stop + factor * (extreme - stop)
                if stop < ph:
                    stop = ph
                if stop < h:
                    stop = h
        ph, pl = h, lo
    return [out]


class _WindowSum:
    def __init__(self):
        self.total, self.nonzero = 0.0, 0

    def add(self, x):
        self.total = self.total + x
        if x != 0.0:
            self.nonzero += 1

    def remove(self, x):
        self.total = self.total - x
        if x != 0.0:
            self.nonzero -= 1
        if self.nonzero == 0:
            self.total = 0.0


def mfi(inputs, period):
    high, low, close, volume = inputs
    out = [MISSING] * len(high)
    flows = []  # (positive, negative) since the window last started
    pos, neg = _WindowSum(), _WindowSum()
    previous = None
    for i in range(len(high)):
        h, lo, c, v = high[i], low[i], close[i], volume[i]
        if not present_bar(h, lo, c, v):
            flows, pos, neg, previous = [], _WindowSum(), _WindowSum(), None
            continue
        typical = (h + lo + c) / 3.0
        if previous is None:
            previous = typical
            continue
        flow = typical * v
        change = typical - previous
        previous = typical
        entry = (flow if change > 0.0 else 0.0, flow if change < 0.0 else 0.0)
        if len(flows) >= period:
            pos.remove(flows[-period][0])
            neg.remove(flows[-period][1])
        pos.add(entry[0])
        neg.add(entry[1])
        flows.append(entry)
        if len(flows) >= period:
            total = pos.total + neg.total
            out[i] = 50.0 if total == 0.0 else 100.0 * (pos.total / total)
    return [out]


def ultosc(inputs, period1, period2, period3):
    high, low, close = inputs
    periods = sorted((period1, period2, period3))
    out = [MISSING] * len(high)
    terms = []  # (pressure, range) since the window last started
    sums = [(_WindowSum(), _WindowSum()) for _ in range(3)]
    previous = None
    for i in range(len(high)):
        h, lo, c = high[i], low[i], close[i]
        if not present_bar(h, lo, c):
            terms, previous = [], None
            sums = [(_WindowSum(), _WindowSum()) for _ in range(3)]
            continue
        if previous is None:
            previous = c
            continue
        true_low = lo if lo < previous else previous
        pressure = c - true_low
        rng = h - lo
        t = abs(previous - h)
        if t > rng:
            rng = t
        t = abs(previous - lo)
        if t > rng:
            rng = t
        previous = c
        for bp, tr in sums:
            bp.add(pressure)
            tr.add(rng)
        terms.append((pressure, rng))
        if len(terms) >= periods[2]:
            ratios = [0.5 if tr.total == 0.0 else bp.total / tr.total for bp, tr in sums]
            o = 0.0
            o = o + 4.0 * ratios[0]
            o = o + 2.0 * ratios[1]
            o = o + ratios[2]
            out[i] = 100.0 * (o / 7.0)
        for k in range(3):
            if len(terms) >= periods[k]:
                leaving = terms[-periods[k]]
                sums[k][0].remove(leaving[0])
                sums[k][1].remove(leaving[1])
    return [out]


def _aroon_ages(inputs, period, on_ages):
    """Calls on_ages(i, up_age, down_age) at every bar whose window of period + 1 present bars is
    full, with the ages of the newest highest high and newest lowest low in it."""
    high, low = inputs
    bars = []  # (high, low) since the window last started
    for i in range(len(high)):
        h, lo = high[i], low[i]
        if not present_bar(h, lo):
            bars = []
            continue
        bars.append((h, lo))
        if len(bars) < period + 1:
            continue
        window = bars[-(period + 1) :]
        up_age = down_age = period
        best_high, best_low = window[0]
        for age in range(period, -1, -1):
            wh, wl = window[period - age]
            if wh >= best_high:
                best_high, up_age = wh, age
            if wl <= best_low:
                best_low, down_age = wl, age
        on_ages(i, up_age, down_age)


def aroon(inputs, period):
    down = [MISSING] * len(inputs[0])
    up = [MISSING] * len(inputs[0])
    factor = 100.0 / float(period)

    def on_ages(i, up_age, down_age):
        down[i] = factor * float(period - down_age)
        up[i] = factor * float(period - up_age)

    _aroon_ages(inputs, period, on_ages)
    return [down, up]


def aroonosc(inputs, period):
    out = [MISSING] * len(inputs[0])
    factor = 100.0 / float(period)

    def on_ages(i, up_age, down_age):
        out[i] = factor * float(down_age - up_age)

    _aroon_ages(inputs, period, on_ages)
    return [out]


REFERENCES = {
    "adx": adx,
    "adxr": adxr,
    "plus_di": plus_di,
    "minus_di": minus_di,
    "sar": sar,
    "mfi": mfi,
    "ultosc": ultosc,
    "aroon": aroon,
    "aroonosc": aroonosc,
}
