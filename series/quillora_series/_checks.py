"""Argument checks shared by every function of quillora_series, with messages that say what to pass."""

import operator
from typing import Any

import numpy as np
import numpy.typing as npt

# The core takes periods as unsigned 64-bit integers.
LARGEST_PERIOD = 2**64 - 1


def period(value: Any, name: str = "period") -> int:
    """`value` as a positive int the core accepts, or the TypeError / ValueError that names `name`."""
    if type(value) is int:
        number: int = value
    # bool is an int to Python, but a flag passed as a period is a mistake.
    elif isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__} {value!r}")
    else:
        number = operator.index(value)
    if number < 1:
        raise ValueError(f"{name} must be a positive integer, got {number}")
    if number > LARGEST_PERIOD:
        raise ValueError(f"{name} must be at most 2**64 - 1, got {number}")
    return number


def macd_periods(fast: Any, slow: Any, signal: Any) -> tuple[int, int, int]:
    """The three MACD periods, each checked, with fast below slow."""
    fast, slow, signal = period(fast, "fast"), period(slow, "slow"), period(signal, "signal")
    if fast >= slow:
        raise ValueError(f"fast ({fast}) must be less than slow ({slow})")
    return fast, slow, signal


def same_lengths(high: int, low: int, close: int) -> int:
    """The common length of the three bar series (given as lengths), or the ValueError that lists them."""
    if not high == low == close:
        raise ValueError(f"high, low and close must have the same length, got {high}, {low} and {close}")
    return high


def same_shapes(high: tuple[int, ...], low: tuple[int, ...], close: tuple[int, ...]) -> tuple[int, ...]:
    """The common shape of three bar tables, or the ValueError that lists them."""
    if not high == low == close:
        raise ValueError(f"high, low and close must have the same shape, got {high}, {low} and {close}")
    return high


def workers(value: Any) -> int | None:
    """None (one thread per CPU) or a positive thread count."""
    if value is None:
        return None
    return period(value, "workers")


def dimensions(array: npt.NDArray[Any]) -> None:
    """Accepts a series (1-D) or a table of symbols in columns (2-D)."""
    if array.ndim != 1 and array.ndim != 2:
        raise ValueError(f"expected a 1-D series or a 2-D table, got an array of shape {array.shape}")


# The one input rule of every entry point (batch functions, tables, live updates): real numbers
# only. Text is refused even when it reads as a number, and complex values are refused rather than
# losing their imaginary part.
_NOT_REAL = (str, bytes, complex, np.complexfloating, np.character)


def real_numbers(dtype: Any, what: str) -> None:
    """Accepts NumPy dtypes that convert to float64 without losing meaning (bool, ints, floats)."""
    if dtype.kind not in ("b", "i", "u", "f"):
        raise TypeError(f"expected real numbers, got {what} of dtype {dtype}")


def real_items(items: npt.NDArray[Any], what: str) -> None:
    """Accepts an object array whose items are not text or complex (what else they are, float() decides)."""
    for item in items.flat:
        if isinstance(item, _NOT_REAL):
            raise TypeError(f"expected real numbers, got {what} holding {type(item).__name__} {item!r}")


def three_bar_inputs(low: object, close: object) -> None:
    """Accepts low and close given together; one alone is a mistake worth naming."""
    if low is None or close is None:
        if close is None and isinstance(low, int):
            raise TypeError(f"pass the period by keyword: atr(bars, period={low})")
        raise TypeError("atr takes high, low and close, or one table of bars with high, low and close columns")


def same_labels(high: tuple[Any, ...], low: tuple[Any, ...], close: tuple[Any, ...]) -> None:
    """Accepts inputs whose pandas index and columns (or polars columns) agree, where they have them."""
    for other in (low, close):
        if high and len(other) == len(high):
            for mine, theirs in zip(high, other):
                same = mine.equals(theirs) if hasattr(mine, "equals") else mine == theirs
                if not same:
                    raise ValueError("high, low and close must have the same index and columns")


def output(out: object) -> None:
    """Accepts what the core writes into: a 1-D float64 NumPy array (contiguity and length it checks itself)."""
    if not (isinstance(out, np.ndarray) and out.ndim == 1 and out.dtype == np.float64):
        raise TypeError(f"out must be a 1-D float64 NumPy array, got {_describe(out)}")


def macd_outputs(out: object) -> tuple[Any, Any, Any]:
    """Three output arrays for the MACD line, signal and histogram, none sharing memory with another."""
    if not (isinstance(out, tuple) and len(out) == 3):
        raise TypeError(
            f"out must be a tuple of three 1-D float64 NumPy arrays (macd, signal, hist), got {_describe(out)}"
        )
    for array in out:
        output(array)
    line, signal, hist = out
    if np.may_share_memory(line, signal) or np.may_share_memory(line, hist) or np.may_share_memory(signal, hist):
        raise ValueError("out arrays must not share memory: the MACD line, signal and histogram are all kept")
    return line, signal, hist


def table_outputs(out: object, names: tuple[str, ...], shape: tuple[int, ...]) -> list[Any] | None:
    """The tables a table call writes into: a float64 array of the result's shape, or a tuple of one per
    output; None when the call allocates. Layout, alignment and overlaps the kernels check themselves."""
    if out is None:
        return None
    arrays = [out] if len(names) == 1 else out
    if len(names) > 1 and not (isinstance(out, tuple) and len(out) == len(names)):
        raise TypeError(
            f"out must be a tuple of {len(names)} float64 tables ({', '.join(names)}), got {_describe(out)}"
        )
    for array in arrays:
        if not (isinstance(array, np.ndarray) and array.dtype == np.float64 and array.ndim == 2):
            raise TypeError(f"out must be a 2-D float64 NumPy array for a table, got {_describe(array)}")
        if array.shape != tuple(shape):
            raise ValueError(f"out must have the table's shape {tuple(shape)}, got {array.shape}")
    return list(arrays)


def _describe(value: object) -> str:
    if isinstance(value, np.ndarray):
        return f"an array of dtype {value.dtype} and shape {value.shape}"
    return type(value).__name__


def number(value: Any, name: str = "value") -> float:
    """`value` as a float when it is a number (not text), or the TypeError that names `name`."""
    kind = type(value)
    if isinstance(value, (complex, np.complexfloating)):
        raise TypeError(f"{name} must be a real number, got {kind.__name__} {value!r}")
    if isinstance(value, _NOT_REAL) or not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        raise TypeError(f"{name} must be a number, got {kind.__name__} {value!r}")
    return float(value)


def one_dimensional(array: npt.NDArray[Any], name: str = "values") -> npt.NDArray[Any]:
    """`array` when it has one dimension, or the ValueError that names `name`."""
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {array.ndim} dimensions")
    return array


def all_inputs(indicator: str, names: tuple[str, ...], inputs: list[Any]) -> None:
    """Accepts several inputs given together, or the first alone (a table of bars); a few of them is a mistake."""
    missing = [name for name, value in zip(names, inputs) if value is None]
    if missing:
        if all(isinstance(value, int) for value in inputs[1:] if value is not None):
            raise TypeError(f"pass the parameters by keyword when passing one table of bars: {indicator}(bars, ...)")
        raise TypeError(
            f"{indicator} takes {', '.join(names)}, or one table of bars with {', '.join(names)} columns; "
            f"missing {', '.join(missing)}"
        )


def same_named_shapes(names: tuple[str, ...], shapes: list[tuple[int, ...]]) -> None:
    """Accepts inputs of one shape, or the ValueError that lists them."""
    if any(shape != shapes[0] for shape in shapes):
        listed = ", ".join(f"{name} {shape}" for name, shape in zip(names, shapes))
        raise ValueError(f"{', '.join(names)} must have the same shape, got {listed}")


def same_named_labels(names: tuple[str, ...], labels: list[tuple[Any, ...]]) -> None:
    """Accepts inputs whose pandas index and columns (or polars columns) agree, where they have them."""
    first = labels[0]
    for other in labels[1:]:
        if first and len(other) == len(first):
            for mine, theirs in zip(first, other):
                same = mine.equals(theirs) if hasattr(mine, "equals") else mine == theirs
                if not same:
                    raise ValueError(f"{', '.join(names)} must have the same index and columns")


def outputs(out: object, names: tuple[str, ...]) -> tuple[Any, ...]:
    """The arrays to write into: one 1-D float64 array, or a tuple of one per output, none sharing memory."""
    if len(names) == 1:
        output(out)
        return (out,)
    if not (isinstance(out, tuple) and len(out) == len(names)):
        raise TypeError(
            f"out must be a tuple of {len(names)} 1-D float64 NumPy arrays ({', '.join(names)}), got {_describe(out)}"
        )
    for array in out:
        output(array)
    for a in range(len(out)):
        for b in range(a + 1, len(out)):
            if np.may_share_memory(out[a], out[b]):
                raise ValueError(f"out arrays must not share memory: {', '.join(names)} are all kept")
    return out


def no_long_out(out: object) -> None:
    """Long tables get new result columns."""
    if out is not None:
        raise TypeError("out takes 1-D NumPy arrays of a series or table call: call by= without out")
