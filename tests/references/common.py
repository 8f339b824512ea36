"""Pieces the references share: the missing marker and the present-sample test."""

import math

from reference import MISSING

__all__ = ["MISSING", "Ema", "present", "present_bar"]

REFERENCES: dict = {}


def present(x):
    return math.isfinite(x)


def present_bar(*xs):
    return all(math.isfinite(x) for x in xs)


class Ema:
    """quillora's ema: the mean of the first `period` values, then average * keep + x * alpha."""

    def __init__(self, period):
        self.period = period
        self.alpha = 2.0 / (float(period) + 1.0)
        self.keep = 1.0 - self.alpha
        self.run, self.total, self.average = 0, -0.0, MISSING

    def add(self, x):
        if self.run < self.period:
            self.total = self.total + x
            self.run += 1
            if self.run < self.period:
                return False
            self.average = self.total / float(self.period)
            return True
        self.average = self.average * self.keep + x * self.alpha
        return True

    def seeded(self):
        return self.run == self.period

    def restart_seed(self):
        if self.run < self.period:
            self.run, self.total = 0, -0.0
