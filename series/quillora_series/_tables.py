"""Indicators over tables of symbols in columns: column by column through the core, on a pool of threads.

A table is a 2-D array of shape (bars, symbols). The core computes one contiguous float64 series at a
time and releases the interpreter lock for SMA, EMA and MACD, so columns run in parallel on threads.
A column that is not a contiguous float64 run (a C-order table, another dtype) is copied by the worker
that computes it, so the copies run in parallel too; the results are written back the same way.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import _core
from ._core import Float64Array

Kind = Literal["sma", "ema", "macd", "atr"]

_OUTPUTS: dict[Kind, int] = {"sma": 1, "ema": 1, "macd": 3, "atr": 1}
_ROUTINES: dict[Kind, Callable[..., None]] = {
    "sma": _core.indicator_sma, "ema": _core.indicator_ema,
    "macd": _core.indicator_macd, "atr": _core.indicator_atr,
}

# Below this many elements a table is done before a pool of threads has started.
_PARALLEL_MIN_ELEMENTS = 1 << 18
# A worker copies 8 columns at once (one 64-byte cache line of a C-order float64 row): copying one
# column alone reads every line eight times over. Fewer columns for series so long that a block of
# inputs and outputs would take more than this much scratch memory per worker.
_BLOCK_COLUMNS = 8
_SCRATCH_BYTES = 256 << 20
# Rows per copying step: the cache lines of a block's rows stay cached while each column is copied.
_COPY_ROWS = 16384

# Called on each pool thread with its worker number before it takes work; benchmarks bind threads
# to CPUs with it. The calling thread computes alone when one worker is used.
worker_started: Callable[[int], None] | None = None


def cpu_count() -> int:
    # process_cpu_count (3.13) honours the CPUs this process may run on; cpu_count counts them all.
    count: int | None = getattr(os, "process_cpu_count", os.cpu_count)()
    return count or 1


def run(kind: Kind, tables: Sequence[npt.NDArray[Any]], periods: tuple[int, ...],
        workers: int | None) -> list[Float64Array]:
    """The indicator's output tables for input tables of one shape (bars, symbols), laid out like the first."""
    bars, symbols = tables[0].shape
    outputs = [np.empty_like(tables[0], dtype=np.float64) for _ in range(_OUTPUTS[kind])]
    arrays = len(tables) + len(outputs)
    block = max(1, min(_BLOCK_COLUMNS, _SCRATCH_BYTES // max(1, bars * 8 * arrays)))
    count = min(cpu_count() if workers is None else workers, symbols)
    if bars * symbols < _PARALLEL_MIN_ELEMENTS:
        count = 1
    routine = _ROUTINES[kind]

    def work(worker: int, count: int) -> None:
        first, last = symbols * worker // count, symbols * (worker + 1) // count
        scratch = _Scratch(bars, block)
        for start in range(first, last, block):
            stop = min(start + block, last)
            columns = [_take_columns(table, start, stop, scratch) for table in tables]
            results = [_result_columns(output, start, stop, scratch) for output in outputs]
            for k in range(stop - start):
                routine(*periods, *(c[k] for c in columns), *(r[k] for r, _ in results))
            for output, (result, written_in_place) in zip(outputs, results):
                if not written_in_place:
                    _copy(output[:, start:stop].T, result)
            scratch.reset()

    if count <= 1:
        work(0, 1)
        return outputs

    def pool_work(worker: int) -> None:
        if worker_started is not None:
            worker_started(worker)
        work(worker, count)

    with ThreadPoolExecutor(max_workers=count, thread_name_prefix="quillora_series") as pool:
        for done in [pool.submit(pool_work, worker) for worker in range(count)]:
            done.result()
    return outputs


class _Scratch:
    """One worker's buffers, each holding up to `block` columns as contiguous rows; made when first needed."""

    def __init__(self, bars: int, block: int) -> None:
        self._shape = (block, bars)
        self._buffers: list[Float64Array] = []
        self._taken = 0

    def take(self, columns: int) -> Float64Array:
        if self._taken == len(self._buffers):
            self._buffers.append(np.empty(self._shape))
        self._taken += 1
        return self._buffers[self._taken - 1][:columns]

    def reset(self) -> None:
        self._taken = 0


def _runs(view: npt.NDArray[Any]) -> bool:
    """Whether each row of a (columns, bars) view is a contiguous float64 run the core takes as it is."""
    return view.dtype == np.float64 and (view.shape[1] < 2 or view.strides[1] == 8)


def _take_columns(table: npt.NDArray[Any], start: int, stop: int, scratch: _Scratch) -> npt.NDArray[Any]:
    view = table[:, start:stop].T
    if _runs(view):
        return view
    copy = scratch.take(stop - start)
    _copy(copy, view)
    return copy


def _result_columns(output: Float64Array, start: int, stop: int,
                    scratch: _Scratch) -> tuple[Float64Array, bool]:
    """Where the core writes a block's results, and whether that is the output table itself."""
    view = output[:, start:stop].T
    return (view, True) if _runs(view) else (scratch.take(stop - start), False)


def _copy(destination: npt.NDArray[Any], source: npt.NDArray[Any]) -> None:
    """Copies (and converts to float64) a block of columns, a slice of rows at a time."""
    for row in range(0, source.shape[1], _COPY_ROWS):
        np.copyto(destination[:, row:row + _COPY_ROWS], source[:, row:row + _COPY_ROWS])
