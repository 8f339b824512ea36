"""Argument checks shared by every function of quillora_series, with messages that say what to pass."""

import operator

# The core takes periods as unsigned 64-bit integers.
_LARGEST_PERIOD = 2**64 - 1


def period(value, name="period"):
    """`value` as a positive int the core accepts, or the TypeError / ValueError that names `name`."""
    if type(value) is not int:
        # bool is an int to Python, but a flag passed as a period is a mistake.
        if isinstance(value, bool) or not hasattr(type(value), "__index__"):
            raise TypeError(f"{name} must be an integer, got {type(value).__name__} {value!r}")
        value = operator.index(value)
    if value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value}")
    if value > _LARGEST_PERIOD:
        raise ValueError(f"{name} must be at most 2**64 - 1, got {value}")
    return value


def macd_periods(fast, slow, signal):
    """The three MACD periods, each checked, with fast below slow."""
    fast, slow, signal = period(fast, "fast"), period(slow, "slow"), period(signal, "signal")
    if fast >= slow:
        raise ValueError(f"fast ({fast}) must be less than slow ({slow})")
    return fast, slow, signal


def same_lengths(high, low, close):
    """The common length of the three bar series (given as lengths), or the ValueError that lists them."""
    if not high == low == close:
        raise ValueError(f"high, low and close must have the same length, got {high}, {low} and {close}")
    return high


def number(value, name="value"):
    """`value` as a float when it is a number (not text), or the TypeError that names `name`."""
    kind = type(value)
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        raise TypeError(f"{name} must be a number, got {kind.__name__} {value!r}")
    return float(value)


def one_dimensional(array, name="values"):
    """`array` when it has one dimension, or the ValueError that names `name`."""
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {array.ndim} dimensions")
    return array
