"""Recursive averages, RSI and bar measures."""

from .common import MISSING, present


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


REFERENCES = {"rma": rma}
