"""Long tables: rows of many symbols (and sessions) in one column per input, keyed by `by`.

Rows that share a key are one symbol, computed in the order they appear, each symbol getting the
bits of the function called on its rows alone; results are aligned with the input rows. The keys
are turned into groups once (sorted keys, each symbol's rows together, need no reordering at all),
and the native call computes every symbol, on the workers with the interpreter lock released.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _kinds, _tables
from ._core import Float64Array

Groups = tuple[npt.NDArray[np.int64], int, bool]


def is_frame(value: object) -> bool:
    pandas, polars = _kinds._module("pandas"), _kinds._module("polars")
    return (pandas is not None and isinstance(value, pandas.DataFrame)) or (
        polars is not None and isinstance(value, polars.DataFrame)
    )


def inputs(
    name: str, input_names: tuple[str, ...], given: Sequence[Any], on: str | None
) -> tuple[list[Float64Array], Any, Any]:
    """The input columns of a long-table call, the wrap back to the caller's kind, and the table (or None)."""
    first = given[0]
    if is_frame(first) and all(value is None for value in given[1:]):
        names = (on or "close",) if len(input_names) == 1 else input_names
        if on is not None and len(input_names) > 1:
            raise TypeError(f"on= names the column of a one-input indicator; {name} reads {', '.join(input_names)}")
        columns = _kinds.named_columns(first, names, name)
        return [column.values for column in columns], columns[0].wrap, first  # type: ignore[misc]
    if on is not None:
        raise TypeError("on= names a column of a DataFrame passed alone")
    if any(value is None for value in given):
        raise TypeError(f"{name} takes {', '.join(input_names)}, or one table of bars with those columns")
    converted = [_kinds.convert(value) for value in given]
    values = []
    for column, input_name in zip(converted, input_names):
        if not isinstance(column.values, np.ndarray) or column.values.ndim != 1:
            raise ValueError(f"with by=, {input_name} must be one column of rows (1-D), got a table")
        values.append(column.values)
    lengths = {len(value) for value in values}
    if len(lengths) > 1:
        raise ValueError(f"{', '.join(input_names)} must have the same length, got {[len(v) for v in values]}")
    return values, converted[0].wrap, None


def groups(by: Any, table: Any, rows: int) -> Groups:
    """The rows of each symbol: (starts, symbols, True) when each symbol's rows are together, else
    (codes, symbols, False) with each row's symbol code."""
    keys = _key_columns(by, table)
    for key in keys:
        if len(key) != rows:
            raise ValueError(f"by must have one key per row: got {len(key)} keys for {rows} rows")
    polars = _kinds._module("polars")
    if polars is not None and all(isinstance(key, polars.Series) for key in keys):
        return _polars_groups(polars, keys, rows)
    codes = _codes([_as_array(key) for key in keys])
    return _from_codes(codes, rows)


def _key_columns(by: Any, table: Any) -> list[Any]:
    if table is not None:
        names = [by] if isinstance(by, str) else list(by)
        if not names:
            raise ValueError("by must name at least one column")
        missing = [name for name in names if name not in table.columns]
        if missing:
            raise ValueError(f"by names columns the table lacks: {missing}; its columns are {list(table.columns)}")
        return [table[name] for name in names]
    if isinstance(by, str):
        raise TypeError("by= names columns only when a DataFrame is passed alone; pass the keys themselves")
    pandas, polars = _kinds._module("pandas"), _kinds._module("polars")
    if (pandas is not None and isinstance(by, pandas.DataFrame)) or (
        polars is not None and isinstance(by, polars.DataFrame)
    ):
        return [by[name] for name in by.columns]
    if isinstance(by, (list, tuple)) and by and all(np.ndim(key) == 1 for key in by) and not np.isscalar(by[0]):
        return list(by)
    if np.ndim(by) != 1:
        raise ValueError(f"by must be one key per row (1-D), got {np.ndim(by)} dimensions")
    return [by]


def _as_array(key: Any) -> npt.NDArray[Any]:
    if hasattr(key, "to_numpy"):
        return np.asarray(key.to_numpy())
    return np.asarray(key)


def _factorize(values: npt.NDArray[Any]) -> tuple[npt.NDArray[np.int64], int]:
    pandas = _kinds._module("pandas")
    if pandas is None:
        try:
            import pandas
        except ImportError:
            pandas = None
    if pandas is not None:
        # Hashing, in order of appearance; missing keys (NaN, None) are one symbol of their own.
        codes, uniques = pandas.factorize(values, use_na_sentinel=False)
        return codes.astype(np.int64, copy=False), len(uniques)
    uniques, inverse = np.unique(values, return_inverse=True)
    return inverse.astype(np.int64), len(uniques)


def _codes(keys: list[npt.NDArray[Any]]) -> tuple[npt.NDArray[np.int64], int]:
    codes, count = _factorize(keys[0])
    for key in keys[1:]:
        more, more_count = _factorize(key)
        if count * more_count < 2**62:
            codes, count = _factorize(codes * more_count + more)
        else:
            codes, count = _factorize(np.array(list(zip(codes.tolist(), more.tolist())), dtype=object))
    return codes, count


def _from_codes(coded: tuple[npt.NDArray[np.int64], int], rows: int) -> Groups:
    codes, count = coded
    if rows == 0:
        return np.zeros(1, dtype=np.int64), 0, True
    change = np.flatnonzero(codes[1:] != codes[:-1]) + 1
    if len(change) + 1 == count:
        starts = np.concatenate(([0], change, [rows])).astype(np.int64)
        return starts, count, True
    return np.ascontiguousarray(codes, dtype=np.int64), count, False


def _polars_groups(polars: Any, keys: list[Any], rows: int) -> Groups:
    frame = polars.DataFrame(keys)
    if rows == 0:
        return np.zeros(1, dtype=np.int64), 0, True
    every = polars.struct(polars.all())
    runs = frame.select(every.rle_id()).to_series().to_numpy()
    count = frame.n_unique()
    if int(runs[-1]) + 1 == count:
        change = np.flatnonzero(runs[1:] != runs[:-1]) + 1
        return np.concatenate(([0], change, [rows])).astype(np.int64), count, True
    codes = frame.select(every.rank("dense") - 1).to_series().to_numpy()
    return np.ascontiguousarray(codes, dtype=np.int64), count, False


def run(
    native: Any,
    counts: list[int],
    reals: list[float],
    values: list[Float64Array],
    output_count: int,
    by: Any,
    table: Any,
    workers: int | None,
) -> list[Float64Array]:
    """The indicator over every symbol of a long table, one output column per output, row-aligned."""
    rows = len(values[0])
    if by is None:  # one column named by `on`: a single symbol
        keys, symbols, contiguous = np.array([0, rows] if rows else [0], dtype=np.int64), int(rows > 0), True
    else:
        keys, symbols, contiguous = groups(by, table, rows)
    outputs = tuple(np.empty(rows) for _ in range(output_count))
    count = min(_tables.cpu_count() if workers is None else workers, 1024)
    native.grouped(counts, reals, tuple(values), outputs, keys, symbols, contiguous, count)
    return list(outputs)
