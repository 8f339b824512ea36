"""Per-call cost of the entry points on short series, against numpy.add on the same arrays.

On 16 elements the computation is nearly free, so the time is the call frame: argument binding,
array checks, the borrow registry and the lock release. numpy.add(a, b, out=c) is the yardstick
for what one call into a NumPy-aware extension costs; indicator_sma should cost less than it.
"""

import timeit

import numpy as np

import quillora

SIZE = 16
TARGET_RATIO = 1.0
REPEATS = 7


def per_call_seconds(statement, names):
    """Best of REPEATS runs, each long enough to last about 0.2 s, divided by its number of calls."""
    timer = timeit.Timer(statement, globals=names)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=REPEATS, number=number)) / number


def main():
    a, b, c = np.linspace(1.0, 2.0, SIZE), np.linspace(0.0, 1.0, SIZE), np.empty(SIZE)
    outputs = [np.empty(SIZE) for _ in range(3)]
    names = {"np": np, "quillora": quillora, "a": a, "b": b, "c": c, "outputs": outputs}
    # Every statement is run once first, so no first-use lookup lands in a timed run.
    statements = {
        "quillora.indicator_sma(14, a, c)": "quillora.indicator_sma(14, a, c)",
        "numpy.add(a, b, out=c)": "np.add(a, b, out=c)",
        "quillora.indicator_ema(14, a, c)": "quillora.indicator_ema(14, a, c)",
        "quillora.indicator_macd(3, 6, 4, a, ...)": "quillora.indicator_macd(3, 6, 4, a, *outputs)",
        "quillora.indicator_atr(14, a, b, c, ...)": "quillora.indicator_atr(14, a, b, c, outputs[0])",
    }
    for statement in statements.values():
        exec(statement, names)
    costs = {label: per_call_seconds(statement, names) for label, statement in statements.items()}

    width = max(map(len, costs))
    print(f"per-call cost on {SIZE} float64 elements (best of {REPEATS})")
    for label, seconds in costs.items():
        print(f"  {label:<{width}}  {seconds * 1e9:8.1f} ns")
    ratio = costs["quillora.indicator_sma(14, a, c)"] / costs["numpy.add(a, b, out=c)"]
    verdict = "OK" if ratio < TARGET_RATIO else "SLOW"
    print(f"indicator_sma / numpy.add: {ratio:.2f} (target < {TARGET_RATIO}): {verdict}")


if __name__ == "__main__":
    main()
