"""sma, ema, macd and atr on any kind of series or table: check, convert, call the core, wrap back."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar, overload

import numpy as np
import numpy.typing as npt

from . import _checks, _core, _kinds, _long, _native, _tables
from ._checks import LARGEST_PERIOD
from ._core import Float64Array

if TYPE_CHECKING:
    import pandas as pd
    import polars as pl

type ArrayInput = npt.NDArray[Any] | Sequence[float] | Sequence[Sequence[float]]
type BarInput = ArrayInput | pd.Series[Any] | pd.DataFrame | pl.Series | pl.DataFrame

T = TypeVar("T")


class MACD[T](NamedTuple):
    """The MACD line, its signal line and the histogram (line minus signal), each of the input's kind."""

    macd: T
    signal: T
    hist: T


_ndarray = np.ndarray
_empty = np.empty
_may_share_memory = np.may_share_memory
_FLOAT64 = np.dtype(np.float64)


# --- sma and ema ---------------------------------------------------------------------------------


@overload
def sma(x: object, period: int, *, by: object, on: str | None = None, workers: int | None = None) -> Any: ...
@overload
def sma(x: object, period: int, *, out: Float64Array, workers: int | None = None) -> Float64Array: ...
@overload
def sma(x: pd.Series[Any], period: int, *, out: None = None, workers: int | None = None) -> pd.Series[float]: ...
@overload
def sma(x: pd.DataFrame, period: int, *, out: None = None, workers: int | None = None) -> pd.DataFrame: ...
@overload
def sma(x: pl.Series, period: int, *, out: None = None, workers: int | None = None) -> pl.Series: ...
@overload
def sma(x: pl.DataFrame, period: int, *, out: None = None, workers: int | None = None) -> pl.DataFrame: ...
@overload
def sma(x: ArrayInput, period: int, *, out: None = None, workers: int | None = None) -> Float64Array: ...
def sma(
    x: object,
    period: int,
    *,
    out: Float64Array | None = None,
    workers: int | None = None,
    by: object = None,
    on: str | None = None,
) -> Any:
    """Simple moving average of `x` over `period` samples; positions without a full window are missing.

    `x` is a series (1-D NumPy array, list, pandas or polars Series) or a table with one symbol per
    column (2-D NumPy array, pandas or polars DataFrame); the result is of the same kind. `out` takes
    a 1-D float64 NumPy array to write into. Tables run on `workers` threads (None: one per CPU).
    """
    if by is not None or on is not None:
        return _long_table("sma", [x], (_checks.period(period),), out, workers, by, on)
    return _moving_average("sma", _core.indicator_sma, x, period, out, workers)


@overload
def ema(x: object, period: int, *, by: object, on: str | None = None, workers: int | None = None) -> Any: ...
@overload
def ema(x: object, period: int, *, out: Float64Array, workers: int | None = None) -> Float64Array: ...
@overload
def ema(x: pd.Series[Any], period: int, *, out: None = None, workers: int | None = None) -> pd.Series[float]: ...
@overload
def ema(x: pd.DataFrame, period: int, *, out: None = None, workers: int | None = None) -> pd.DataFrame: ...
@overload
def ema(x: pl.Series, period: int, *, out: None = None, workers: int | None = None) -> pl.Series: ...
@overload
def ema(x: pl.DataFrame, period: int, *, out: None = None, workers: int | None = None) -> pl.DataFrame: ...
@overload
def ema(x: ArrayInput, period: int, *, out: None = None, workers: int | None = None) -> Float64Array: ...
def ema(
    x: object,
    period: int,
    *,
    out: Float64Array | None = None,
    workers: int | None = None,
    by: object = None,
    on: str | None = None,
) -> Any:
    """Exponential moving average of `x`, seeded with the mean of the first `period` finite samples.

    Non-finite samples are skipped (missing in the result). Kinds, `out` and `workers` as for `sma`.
    """
    if by is not None or on is not None:
        return _long_table("ema", [x], (_checks.period(period),), out, workers, by, on)
    return _moving_average("ema", _core.indicator_ema, x, period, out, workers)


def _moving_average(
    kind: _tables.Kind, routine: _core.MovingAverage, x: object, period: Any, out: Float64Array | None, workers: Any
) -> Any:
    # The common call (a float64 array, an int period) goes straight to the core: the general path
    # below costs more than the computation on a short series.
    if (
        type(x) is _ndarray
        and x.dtype is _FLOAT64
        and x.ndim == 1
        and workers is None
        and type(period) is int
        and 0 < period <= LARGEST_PERIOD
    ):
        result = _empty(x.shape[0]) if out is None else _plain_output(out, x)
        if result is not None:
            try:
                routine(period, x, result)
                return result
            except ValueError:
                pass  # a strided view, or an output the core refuses: the general path sorts it out
    period = _checks.period(period)
    workers = _checks.workers(workers)
    data = _kinds.convert(x)
    values = data.values
    if not isinstance(values, _ndarray) or values.ndim == 2:
        given = _checks.table_outputs(out, (kind,), values.shape)
        table = _tables.run(kind, [values], (period,), workers, given)[0]
        return table if given else data.wrap(table)
    if out is None:
        result = _empty(values.shape[0])
        routine(period, values, result)
        return data.wrap(result)
    _checks.output(out)
    routine(period, _apart_from([out], values), out)
    return out


# --- macd ----------------------------------------------------------------------------------------

type Outputs = tuple[Float64Array, Float64Array, Float64Array]


@overload
def macd(
    x: object,
    fast: int = 12,
    slow: int = 26,
    signal: int = 9,
    *,
    by: object,
    on: str | None = None,
    workers: int | None = None,
) -> MACD[Any]: ...
@overload
def macd(
    x: object, fast: int = 12, slow: int = 26, signal: int = 9, *, out: Outputs, workers: int | None = None
) -> MACD[Float64Array]: ...
@overload
def macd(
    x: pd.Series[Any], fast: int = 12, slow: int = 26, signal: int = 9, *, out: None = None, workers: int | None = None
) -> MACD[pd.Series[float]]: ...
@overload
def macd(
    x: pd.DataFrame, fast: int = 12, slow: int = 26, signal: int = 9, *, out: None = None, workers: int | None = None
) -> MACD[pd.DataFrame]: ...
@overload
def macd(
    x: pl.Series, fast: int = 12, slow: int = 26, signal: int = 9, *, out: None = None, workers: int | None = None
) -> MACD[pl.Series]: ...
@overload
def macd(
    x: pl.DataFrame, fast: int = 12, slow: int = 26, signal: int = 9, *, out: None = None, workers: int | None = None
) -> MACD[pl.DataFrame]: ...
@overload
def macd(
    x: ArrayInput, fast: int = 12, slow: int = 26, signal: int = 9, *, out: None = None, workers: int | None = None
) -> MACD[Float64Array]: ...
def macd(
    x: object,
    fast: int = 12,
    slow: int = 26,
    signal: int = 9,
    *,
    out: Outputs | None = None,
    workers: int | None = None,
    by: object = None,
    on: str | None = None,
) -> MACD[Any]:
    """MACD of `x`: fast EMA minus slow EMA, its `signal`-period EMA and their difference.

    Returns MACD(macd, signal, hist), each of the same kind as `x`. `out` takes a tuple of three
    1-D float64 NumPy arrays to write into. Kinds and `workers` as for `sma`.
    """
    if by is not None or on is not None:
        return _long_table("macd", [x], _checks.macd_periods(fast, slow, signal), out, workers, by, on)  # type: ignore[no-any-return]
    if (
        type(x) is _ndarray
        and x.dtype is _FLOAT64
        and x.ndim == 1
        and out is None
        and workers is None
        and type(fast) is int
        and type(slow) is int
        and type(signal) is int
        and 0 < fast < slow <= LARGEST_PERIOD
        and 0 < signal <= LARGEST_PERIOD
    ):
        n = x.shape[0]
        line, signal_line, hist = _empty(n), _empty(n), _empty(n)
        try:
            _core.indicator_macd(fast, slow, signal, x, line, signal_line, hist)
            return MACD(line, signal_line, hist)
        except ValueError:
            pass  # a strided view: the general path makes the contiguous copy the core needs
    periods = _checks.macd_periods(fast, slow, signal)
    workers = _checks.workers(workers)
    data = _kinds.convert(x)
    values = data.values
    if not isinstance(values, _ndarray) or values.ndim == 2:
        given = _checks.table_outputs(out, ("macd", "signal", "hist"), values.shape)
        tables = _tables.run("macd", [values], periods, workers, given)
        return MACD(*tables) if given else MACD(*map(data.wrap, tables))
    if out is None:
        n = values.shape[0]
        outputs: Outputs = (_empty(n), _empty(n), _empty(n))
        _core.indicator_macd(*periods, values, *outputs)
        return MACD(*map(data.wrap, outputs))
    outputs = _checks.macd_outputs(out)
    _core.indicator_macd(*periods, _apart_from(outputs, values), *outputs)
    return MACD(*outputs)


# --- atr -----------------------------------------------------------------------------------------


@overload
def atr(
    high: object,
    low: object = None,
    close: object = None,
    period: int = 14,
    *,
    by: object,
    workers: int | None = None,
) -> Any: ...
@overload
def atr(
    high: object, low: object, close: object, period: int = 14, *, out: Float64Array, workers: int | None = None
) -> Float64Array: ...
@overload
def atr(
    high: pd.DataFrame,
    low: None = None,
    close: None = None,
    period: int = 14,
    *,
    out: None = None,
    workers: int | None = None,
) -> pd.Series[float]: ...
@overload
def atr(
    high: pl.DataFrame,
    low: None = None,
    close: None = None,
    period: int = 14,
    *,
    out: None = None,
    workers: int | None = None,
) -> pl.Series: ...
@overload
def atr(
    high: pd.Series[Any],
    low: BarInput,
    close: BarInput,
    period: int = 14,
    *,
    out: None = None,
    workers: int | None = None,
) -> pd.Series[float]: ...
@overload
def atr(
    high: pd.DataFrame,
    low: BarInput,
    close: BarInput,
    period: int = 14,
    *,
    out: None = None,
    workers: int | None = None,
) -> pd.DataFrame: ...
@overload
def atr(
    high: pl.Series, low: BarInput, close: BarInput, period: int = 14, *, out: None = None, workers: int | None = None
) -> pl.Series: ...
@overload
def atr(
    high: pl.DataFrame,
    low: BarInput,
    close: BarInput,
    period: int = 14,
    *,
    out: None = None,
    workers: int | None = None,
) -> pl.DataFrame: ...
@overload
def atr(
    high: ArrayInput, low: BarInput, close: BarInput, period: int = 14, *, out: None = None, workers: int | None = None
) -> Float64Array: ...
def atr(
    high: object,
    low: object = None,
    close: object = None,
    period: int = 14,
    *,
    out: Float64Array | None = None,
    workers: int | None = None,
    by: object = None,
) -> Any:
    """Average true range of bars given as `high`, `low` and `close`, or as one table `high` of bars.

    The three series (or tables of symbols in columns) must have one shape; the result has the kind of
    `high`. A pandas or polars DataFrame with high, low and close columns may be passed alone: the result
    is then a series named "atr". `out` and `workers` as for `sma`.
    """
    if by is not None:
        return _long_table("atr", [high, low, close], (_checks.period(period),), out, workers, by, None)
    if (
        type(high) is _ndarray
        and type(low) is _ndarray
        and type(close) is _ndarray
        and high.dtype is _FLOAT64
        and low.dtype is _FLOAT64
        and close.dtype is _FLOAT64
        and high.ndim == 1
        and out is None
        and workers is None
        and type(period) is int
        and 0 < period <= LARGEST_PERIOD
        and high.shape == low.shape == close.shape
    ):
        result = _empty(high.shape[0])
        try:
            _core.indicator_atr(period, high, low, close, result)
            return result
        except ValueError:
            pass  # a strided view: the general path makes the contiguous copy the core needs
    period = _checks.period(period)
    workers = _checks.workers(workers)
    if low is None and close is None:
        bars = _kinds.bar_columns(high)
    else:
        _checks.three_bar_inputs(low, close)
        bars = (_kinds.convert(high), _kinds.convert(low), _kinds.convert(close))
    labels = [bar.labels for bar in bars]
    highs, lows, closes = (bar.values for bar in bars)
    if not (
        isinstance(highs, _ndarray)
        and isinstance(lows, _ndarray)
        and isinstance(closes, _ndarray)
        and highs.ndim == lows.ndim == closes.ndim == 1
    ):
        _checks.same_shapes(highs.shape, lows.shape, closes.shape)
        _checks.same_labels(*labels)
        given = _checks.table_outputs(out, ("atr",), highs.shape)
        table = _tables.run("atr", [highs, lows, closes], (period,), workers, given)[0]
        return table if given else bars[0].wrap(table)
    _checks.same_lengths(highs.shape[0], lows.shape[0], closes.shape[0])
    _checks.same_labels(*labels)
    if out is None:
        result = _empty(highs.shape[0])
        _core.indicator_atr(period, highs, lows, closes, result)
        return bars[0].wrap(result)
    _checks.output(out)
    _core.indicator_atr(period, _apart_from([out], highs), _apart_from([out], lows), _apart_from([out], closes), out)
    return out


_KERNELS: dict[str, tuple[str, tuple[str, ...], int]] = {
    "sma": ("SmaKernel", ("x",), 1),
    "ema": ("EmaKernel", ("x",), 1),
    "macd": ("MacdKernel", ("x",), 3),
    "atr": ("AtrKernel", ("high", "low", "close"), 1),
}


def _long_table(
    name: str, inputs: list[Any], periods: tuple[int, ...], out: Any, workers: Any, by: Any, on: Any
) -> Any:
    """The four over a long table keyed by `by` (or one DataFrame column named by `on`), through the core's kernels."""
    _checks.no_long_out(out)
    kernel, input_names, output_count = _KERNELS[name]
    form = _long.LongForm(getattr(_native, kernel), input_names, output_count)
    result_tuple = MACD if name == "macd" else None
    return _long.long_call(name, form, list(periods), [], inputs, by, on, _checks.workers(workers), result_tuple)


def _apart_from(outputs: Sequence[Float64Array], values: Float64Array) -> Float64Array:
    """`values`, copied first if it shares memory with an output, so results are as if it did not."""
    for output in outputs:
        if _may_share_memory(values, output):
            return values.copy()
    return values


def _plain_output(out: object, values: Float64Array) -> Float64Array | None:
    """`out` if the core can write into it as it is: a float64 vector apart from `values`."""
    if type(out) is _ndarray and out.dtype is _FLOAT64 and out.ndim == 1 and not _may_share_memory(values, out):
        return out
    return None
