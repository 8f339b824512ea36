"""Indicators over tables of symbols in columns, through the native table kernels.

A table is a 2-D array of shape (bars, symbols). The kernels take it as it lies in memory, rows of
consecutive symbols (C order, NumPy's default) or one contiguous run per symbol (Fortran order, as
pandas keeps a table, or separate arrays, as polars does), so a float64 table is never copied. They
advance several symbols at once in vector lanes, each symbol getting the bits the core gives it alone,
and share the symbols among threads with the interpreter lock released, ATR included.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import _native
from ._core import Float64Array

Kind = Literal["sma", "ema", "macd", "atr"]

_OUTPUTS: dict[Kind, int] = {"sma": 1, "ema": 1, "macd": 3, "atr": 1}

# The kernels never start more than 63 threads beside the caller; the count crosses as a C int.
_MOST_WORKERS = 1024
_LINE_DOUBLES = 8  # a 64-byte cache line


class Columns:
    """A table held as one float64 array per symbol, all of one length."""

    ndim = 2

    def __init__(self, columns: list[Float64Array], bars: int) -> None:
        self.columns = columns
        self.shape = (bars, len(columns))


type Table = npt.NDArray[Any] | Columns


def cpu_count() -> int:
    """The CPUs this process may run on."""
    # process_cpu_count (3.13) and the affinity mask honour a restricted process; cpu_count counts them all.
    counted = getattr(os, "process_cpu_count", None)
    if counted is not None:
        count: int | None = counted()
    elif hasattr(os, "sched_getaffinity"):
        count = len(os.sched_getaffinity(0))
    else:
        count = os.cpu_count()
    return count or 1


# With workers=None, tables below this many elements run on the calling thread: waking the workers
# costs more than sharing such a table saves (64 x 2,000 SMA: 37 us on one thread, 260 us on two).
_SHARED_FROM = 1 << 18


def thread_count(workers: int | None, elements: int) -> int:
    """The threads a call of `elements` table elements runs on: the caller's count, else one per CPU
    for tables worth sharing."""
    if workers is None:
        return cpu_count() if elements >= _SHARED_FROM else 1
    return min(workers, _MOST_WORKERS)


def run(
    kind: Kind,
    tables: Sequence[Table],
    periods: tuple[int, ...],
    workers: int | None,
    out: list[Float64Array] | None = None,
) -> list[Float64Array]:
    """The indicator's output tables for input tables of one shape (bars, symbols).

    `out` gives the output tables to write into. Outputs are otherwise C-ordered when the first input has rows of consecutive symbols, Fortran-ordered
    (one contiguous run per symbol, which pandas and polars take without a copy) otherwise.
    """
    inputs = [_operand(table) for table in tables]
    first = inputs[0]
    by_rows = isinstance(first, np.ndarray) and (first.shape[1] < 2 or first.strides[1] == 8)
    bars, symbols = tables[0].shape
    outputs = out or [_empty_table((bars, symbols), "C" if by_rows else "F") for _ in range(_OUTPUTS[kind])]
    count = thread_count(workers, bars * symbols)
    if kind == "sma":
        _native.table_sma(periods[0], inputs[0], outputs[0], count)
    elif kind == "ema":
        _native.table_ema(periods[0], inputs[0], outputs[0], count)
    elif kind == "macd":
        fast, slow, signal = periods
        _native.table_macd(fast, slow, signal, inputs[0], outputs[0], outputs[1], outputs[2], count)
    else:
        high, low, close = inputs
        _native.table_atr(periods[0], high, low, close, outputs[0], count)
    return outputs


def run_declared(
    table_entry: Any,
    counts: list[int],
    reals: list[float],
    tables: Sequence[Table],
    output_count: int,
    workers: int | None,
    out: list[Float64Array] | None = None,
) -> list[Float64Array]:
    """A declared indicator's output tables, laid out as `run` lays them, from its native `table` entry."""
    inputs = [_operand(table) for table in tables]
    first = inputs[0]
    by_rows = isinstance(first, np.ndarray) and (first.shape[1] < 2 or first.strides[1] == 8)
    bars, symbols = tables[0].shape
    count = thread_count(workers, bars * symbols)
    order: Literal["C", "F"] = "C" if by_rows else "F"
    if out:
        outputs = out
    elif count > 1:
        # Threads sharing rows meet on cache lines, which an aligned table keeps whole.
        outputs = [_empty_table((bars, symbols), order) for _ in range(output_count)]
    else:
        # The declared kernels store whole doubles, so one thread takes a new table as it comes.
        outputs = [np.empty((bars, symbols), order=order) for _ in range(output_count)]
    table_entry(counts, reals, tuple(inputs), tuple(outputs), count)
    return outputs


def _empty_table(shape: tuple[int, int], order: Literal["C", "F"]) -> Float64Array:
    """A new float64 table whose first element starts a cache line.

    The kernels stream large outputs to memory in whole aligned registers; rows that start off a
    line would also put the line between two rows into the shares of two threads, each writing part
    of it past the cache.
    """
    elements = shape[0] * shape[1]
    memory = np.empty(elements + _LINE_DOUBLES)
    skip = -memory.ctypes.data % (_LINE_DOUBLES * 8) // 8
    return memory[skip : skip + elements].reshape(shape, order=order)


def _operand(table: Table) -> npt.NDArray[Any] | list[Float64Array]:
    """A table as the kernels take it: a float64 array with contiguous rows or columns, or its columns.

    Other dtypes and byte orders are converted once, keeping the layout; a layout the kernels do not
    walk (both strides apart, reversed rows or columns) or memory off the 8-byte grid is copied to
    fresh memory in C order.
    """
    if isinstance(table, Columns):
        return table.columns
    values = np.asarray(table, dtype=np.float64, order="K")
    bars, symbols = values.shape
    row_stride, column_stride = values.strides
    if values.flags.aligned and (
        _runs(bars, row_stride, symbols, column_stride) or _runs(symbols, column_stride, bars, row_stride)
    ):
        return values
    return np.array(values, order="C")


def _runs(count: int, step: int, length: int, within: int) -> bool:
    """Whether `count` runs of `length` doubles, `within` bytes apart inside a run and `step` bytes
    from one run to the next, are each contiguous and lie one after another without overlapping."""
    return (length < 2 or within == 8) and (count < 2 or step >= 8 * length)
