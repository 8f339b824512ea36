"""Measures every documented indicator against TA-Lib and writes docs/agreement.json for the site.

Both run on one seeded random walk of 100,000 daily bars with the indicator's default parameters (a
period without a default takes the pages' example period), and each output is compared wherever
both have a value. The figure kept is the largest relative difference |ours - TA-Lib| / |TA-Lib| over
every output, where a value smaller than 1/1000 of its output's largest magnitude counts at that
size, so that two tiny numbers near a zero crossing do not read as disagreeing (the measure of the
registry's TA-Lib test). Indicators TA-Lib
does not have, or whose parameters it does not take, are left out: their pages say "not measured".

Needs TA-Lib (`pip install ta-lib`, in the `bench` extra): `make agreement`.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any

import numpy as np
import talib
from talib import abstract

sys.path.insert(0, str(Path(__file__).resolve().parent))
import docs_pages

BARS = 100_000
SEED = 20261209
FLOOR = 1e-3


def talib_parameter(ours: str, theirs: list[str]) -> str | None:
    """TA-Lib's name for one of our parameters: `period` is `timeperiod`, `nbdev_down` is `nbdevdn`, ..."""
    flat = ours.replace("_", "")
    for candidate in (ours, flat, f"{ours}period", f"time{ours}", flat.replace("down", "dn")):
        if candidate in theirs:
            return candidate
    return None


def largest_difference(ours: np.ndarray, theirs: np.ndarray) -> tuple[float, int]:
    """The largest relative difference where both have a value, and how many positions only one has."""
    both = np.isfinite(ours) & np.isfinite(theirs)
    one = int(np.count_nonzero(np.isfinite(ours) != np.isfinite(theirs)))
    if not both.any():
        return 0.0, one
    a, b = ours[both], theirs[both]
    floor = FLOOR * float(np.max(np.abs(b)))
    scale = np.maximum(np.abs(b), floor)
    differences = np.abs(a - b)
    relative = np.divide(differences, scale, out=np.zeros_like(differences), where=differences > 0)
    return float(np.max(relative)), one


def measure(indicator: Any, bars: docs_pages.Bars, functions: set[str]) -> float | None:
    if indicator.talib not in functions:
        print(f"{indicator.name}: TA-Lib has no {indicator.talib}; not measured")
        return None
    function = abstract.Function(indicator.talib)
    theirs_names = list(function.info["parameters"])
    params = docs_pages.example_params(indicator)
    mapped = {}
    for name, value in params.items():
        target = talib_parameter(name, theirs_names)
        if target is None:
            print(f"{indicator.name}: TA-Lib's {indicator.talib} has no parameter for {name}; not measured")
            return None
        mapped[target] = value
    prices = {"open": bars.open, "high": bars.high, "low": bars.low, "close": bars.close, "volume": bars.volume}
    result = function(prices, **mapped)
    theirs = list(result) if isinstance(result, list | tuple) else [result]
    ours = docs_pages.compute(indicator, bars)
    if len(theirs) != len(ours):
        print(f"{indicator.name}: {len(ours)} outputs, TA-Lib's {indicator.talib} {len(theirs)}; not measured")
        return None
    worst = 0.0
    for (name, values), reference in zip(ours.items(), theirs):
        difference, only_one = largest_difference(values, np.asarray(reference, dtype=np.float64))
        note = f", {only_one} positions with a value on one side only" if only_one else ""
        print(f"{indicator.name}.{name}: largest relative difference {difference:.3g}{note}")
        worst = max(worst, difference)
    return worst


def main() -> None:
    bars = docs_pages.random_walk(BARS, SEED)
    functions = set(talib.get_functions())
    results = {}
    for indicator in docs_pages.documented():
        worst = measure(indicator, bars, functions)
        if worst is not None:
            results[indicator.name] = {"max_rel_error": worst, "talib": talib.__version__}
    docs_pages.AGREEMENT.write_text(json.dumps(results, indent=2, sort_keys=True) + "\n")
    print(f"wrote {docs_pages.AGREEMENT.relative_to(docs_pages.ROOT)}: {len(results)} indicators")


if __name__ == "__main__":
    main()
