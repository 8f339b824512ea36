"""Parameter checks of the declared indicators, from their registry lines."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _checks
from ._registry import Indicator, Period, Real


def check_parameters(indicator: Indicator, values: Sequence[Any]) -> tuple[list[int], list[float]]:
    """The indicator's parameters split into counts and reals, each checked, or the error naming it."""
    counts: list[int] = []
    reals: list[float] = []
    checked: list[Any] = []
    for parameter, value in zip(indicator.params, values, strict=True):
        if isinstance(parameter, Period):
            number = _checks.period(value, parameter.name)
            if number < parameter.minimum:
                raise ValueError(f"{parameter.name} must be at least {parameter.minimum}, got {number}")
            counts.append(number)
            checked.append(number)
        else:
            real = _real(parameter, value)
            reals.append(real)
            checked.append(real)
    if indicator.relation is not None:
        indicator.relation(*checked)
    return counts, reals


def _real(parameter: Real, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{parameter.name} must be a real number, got {type(value).__name__} {value!r}")
    real = float(value)
    if not math.isfinite(real):
        raise ValueError(f"{parameter.name} must be finite, got {real}")
    if parameter.minimum is not None and real < parameter.minimum:
        raise ValueError(f"{parameter.name} must be at least {parameter.minimum}, got {real}")
    return real
