"""Long tables: rows of many symbols (and sessions) in one column per input, keyed by `by`.

Rows that share a key are one symbol, computed in the order they appear, each symbol getting the
bits of the function called on its rows alone; results are aligned with the input rows. The keys
are turned into groups once (sorted keys, each symbol's rows together, need no reordering at all),
and the native call computes every symbol, on the workers with the interpreter lock released.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _kinds, _native, _tables
from ._core import Float64Array

Groups = tuple[npt.NDArray[np.int64], int, bool]


class Panel(NamedTuple):
    """Rows that form a table of (rows // symbols) bars by `symbols`, which the table kernels compute
    in place, several symbols in vector lanes: every symbol once per bar in one order (row-major),
    or every symbol's rows together, all runs of one length (column-major)."""

    symbols: int
    row_major: bool

    def tables(self, columns: Sequence[Float64Array]) -> tuple[Float64Array, ...]:
        bars = len(columns[0]) // self.symbols if self.symbols else 0
        if self.row_major:
            return tuple(np.reshape(column, (bars, self.symbols)) for column in columns)
        return tuple(np.reshape(column, (self.symbols, bars)).T for column in columns)


def is_frame(value: object) -> bool:
    pandas, polars = _kinds._module("pandas"), _kinds._module("polars")
    return (pandas is not None and isinstance(value, pandas.DataFrame)) or (
        polars is not None and isinstance(value, polars.DataFrame)
    )


def input_columns(
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


def groups(by: Any, table: Any, rows: int) -> Groups | Panel:
    """The rows of each symbol: a Panel where they form a table, else (starts, symbols, True) when
    each symbol's rows are together, or (codes, symbols, False) with each row's symbol code."""
    keys = _key_columns(by, table)
    for key in keys:
        if len(key) != rows:
            raise ValueError(f"by must have one key per row: got {len(key)} keys for {rows} rows")
    polars = _kinds._module("polars")
    found: Groups | Panel
    if polars is not None and all(isinstance(key, polars.Series) for key in keys):
        found = _run_groups(polars, keys, rows) or _panel(polars, keys, rows) or _polars_groups(polars, keys, rows)
    else:
        arrays = [_as_array(key) for key in keys]
        found = _run_groups(None, arrays, rows) or _panel(None, arrays, rows) or _from_codes(_codes(arrays), rows)
    return _runs_as_table(found)


def _runs_as_table(found: Groups | Panel) -> Groups | Panel:
    """Runs of one length, one per symbol, as a column-major Panel; anything else as it was found."""
    if isinstance(found, Panel) or not found[2]:
        return found
    starts, symbols, _ = found
    lengths = np.diff(starts)
    if symbols > 1 and lengths[0] > 1 and (lengths == lengths[0]).all():
        return Panel(symbols, row_major=False)
    return found


def _run_groups(polars: Any, keys: list[Any], rows: int) -> Groups | None:
    """The groups of keys whose equal values are adjacent, found without hashing every row: the rows
    where some key changes start runs, and the runs are the symbols when no two of them share their
    keys (only the runs' first keys are hashed). None where that does not hold, or where comparing
    rows would cost more than hashing them (Python objects)."""
    if rows < 2:
        return None
    sample = min(rows, 4096)
    if sample < rows and _run_groups(polars, [key[:sample] for key in keys], sample) is None:
        return None  # the opening rows already take turns (or repeat a key): so, most likely, do the rest
    if polars is not None:
        # polars keeps the comparison's bits packed: its own arg_true finds the changes.
        mask = keys[0].slice(1).ne_missing(keys[0].slice(0, rows - 1))
        for key in keys[1:]:
            mask = mask | key.slice(1).ne_missing(key.slice(0, rows - 1))
        if mask.sum() >= rows // 4:
            return None  # short runs: see below
        changes = mask.arg_true().to_numpy().astype(np.int64)
    else:
        change = np.zeros(rows - 1, dtype=bool)
        for key in keys:
            if key.dtype.kind not in "biufcmMSU":
                return None
            # NaN keys never equal themselves: their runs are refused below, and hashing sorts them out.
            change |= key[1:] != key[:-1]
        changes = np.flatnonzero(change)
    if len(changes) >= rows // 4:
        # Short runs (symbols interleaved): hashing their heads would cost as much as every row.
        return None
    starts = np.concatenate(([0], changes + 1))
    if polars is not None:
        distinct = _polars_codes_of(polars, [key.gather(starts) for key in keys])[1]
    else:
        distinct = _codes([key[starts] for key in keys])[1]
    if distinct != len(starts):
        return None
    return np.concatenate((starts, [rows])).astype(np.int64), len(starts), True


def _panel(polars: Any, keys: list[Any], rows: int) -> Panel | None:
    """A Panel where one key column repeats with a period: the first key comes back after `period`
    rows, every row equals the row one period before, and the first period's keys are distinct.
    Comparing rows costs less than hashing them, and a sample refuses irregular turns at once.
    Float keys are left to hashing, which decides alone how NaN and -0.0 key a symbol."""
    if len(keys) != 1 or rows < 4:
        return None
    key = keys[0]
    if key.dtype.is_float() if polars is not None else key.dtype.kind not in "biumMSUO":
        return None
    if polars is None and key.dtype.kind == "O" and not isinstance(key[0], str):
        return None  # other Python objects compare in ways of their own: hashing decides
    try:
        period = _first_return(polars, key, rows)
        if period is None or rows % period:
            return None
        for end in (min(rows, max(1 << 16, 4 * period)), rows):
            if polars is not None:
                periodic = key.slice(period, end - period).eq_missing(key.slice(0, end - period)).all()
            else:
                periodic = np.array_equal(key[period:end], key[: end - period])
            if not periodic:
                return None
    except (TypeError, ValueError):  # objects among the strings that do not compare as one value
        return None
    opening = [key.slice(0, period)] if polars is not None else [key[:period]]
    distinct = (_polars_codes_of(polars, opening) if polars is not None else _codes(opening))[1]
    return Panel(period, row_major=True) if distinct == period else None


def _first_return(polars: Any, key: Any, rows: int) -> int | None:
    """The first row after the first whose key equals it, within the first half of the rows."""
    start, size, last = 1, 4096, rows // 2
    while start <= last:
        end = min(last + 1, start + size)
        if polars is not None:
            found = key.slice(start, end - start).eq_missing(key.slice(0, 1)).arg_true()
            if len(found):
                return start + int(found[0])
        else:
            hits = np.flatnonzero(key[start:end] == key[0])
            if len(hits):
                return start + int(hits[0])
        start, size = end, size * 4
    return None


def _key_columns(by: Any, table: Any) -> list[Any]:
    polars = _kinds._module("polars")
    if polars is not None and isinstance(by, list) and by and all(isinstance(key, polars.Series) for key in by):
        return by
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
    pandas = _kinds._module("pandas")
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
    if values.dtype.kind in "biumM":
        return _integer_codes(values)
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


def _integer_codes(values: npt.NDArray[Any]) -> tuple[npt.NDArray[np.int64], int]:
    """Integer keys (booleans, dates and durations among them) as codes in order of appearance. Each
    key's 64 bits are its own exact hash: numbered in one native pass, with nothing to compare."""
    wide = values.astype(np.uint64 if values.dtype.kind == "u" else np.int64, copy=False)
    codes, first_rows = np.empty(len(values), dtype=np.int64), np.empty(len(values), dtype=np.int64)
    count = _native.hash_codes(np.ascontiguousarray(wide).view(np.uint64), codes, first_rows)
    return codes, count


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
    changed = codes[1:] != codes[:-1]
    # Runs are counted before any are listed: interleaved rows would list nearly every row.
    if np.count_nonzero(changed) + 1 == count:
        starts = np.concatenate(([0], np.flatnonzero(changed) + 1, [rows])).astype(np.int64)
        return starts, count, True
    return np.ascontiguousarray(codes, dtype=np.int64), count, False


def _polars_groups(polars: Any, keys: list[Any], rows: int) -> Groups:
    if rows == 0:
        return np.zeros(1, dtype=np.int64), 0, True
    # Only reached where the rows are not in runs of one symbol each (see groups): no search for runs.
    codes, count = _polars_codes_of(polars, keys)
    return np.ascontiguousarray(codes, dtype=np.int64), count, False


def _polars_codes_of(polars: Any, keys: list[Any]) -> tuple[npt.NDArray[np.int64], int]:
    """Codes of rows whose keys are polars columns, in order of first appearance."""
    coded = [_polars_codes(polars, key) for key in keys]
    codes, count = coded[0]
    for more, more_count in coded[1:]:
        codes, count = _codes([codes * more_count + more]) if count * more_count < 2**62 else _codes([codes, more])
    return codes, count


def _polars_codes(polars: Any, key: Any) -> tuple[npt.NDArray[np.int64], int]:
    """A polars key column as codes in order of appearance, hashed by polars itself."""
    if key.dtype == polars.String or key.dtype == polars.Categorical or key.dtype == polars.Enum:
        hashed = _hashed_codes(key)
        if hashed is not None:
            return hashed
        physical = key.cast(polars.String).cast(polars.Categorical).to_physical()
        codes = physical.to_numpy().astype(np.int64, copy=False)
        # Category numbers are shared process-wide: renumber them densely, keeping first appearance.
        return _factorize(codes)
    return _factorize(key.to_numpy())


def _hashed_codes(key: Any) -> tuple[npt.NDArray[np.int64], int] | None:
    """Codes from polars' 64-bit hash of each key (its own threads), numbered in one native pass.
    Every row is then compared with its code's first row, so that two keys sharing a hash never
    merge two symbols: None then, and the caller numbers the keys another way."""
    codes, first_rows = np.empty(len(key), dtype=np.int64), np.empty(len(key), dtype=np.int64)
    count = _native.hash_codes(np.ascontiguousarray(key.hash().to_numpy(), dtype=np.uint64), codes, first_rows)
    if not key.gather(first_rows).eq_missing(key).all():
        return None
    return codes, count


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
        grouping: Groups | Panel = np.array([0, rows] if rows else [0], dtype=np.int64), int(rows > 0), True
    else:
        grouping = groups(by, table, rows)
    outputs = tuple(np.empty(rows) for _ in range(output_count))
    count = _tables.thread_count(workers, rows)
    if isinstance(grouping, Panel):
        _table_entry(native)(counts, reals, grouping.tables(values), grouping.tables(outputs), count)
        return list(outputs)
    keys, symbols, contiguous = grouping
    native.grouped(counts, reals, tuple(values), outputs, keys, symbols, contiguous, count)
    return list(outputs)


TableEntry = Callable[[list[int], list[float], tuple[Any, ...], tuple[Any, ...], int], None]

# The core's table kernels, for the core's long-table kernels: the declared states have their own.
_CORE_TABLES: dict[Any, TableEntry] = {
    _native.SmaKernel: lambda counts, _, ins, outs, workers: _native.table_sma(counts[0], ins[0], outs[0], workers),
    _native.EmaKernel: lambda counts, _, ins, outs, workers: _native.table_ema(counts[0], ins[0], outs[0], workers),
    _native.MacdKernel: lambda counts, _, ins, outs, workers: _native.table_macd(
        counts[0], counts[1], counts[2], ins[0], outs[0], outs[1], outs[2], workers
    ),
    _native.AtrKernel: lambda counts, _, ins, outs, workers: _native.table_atr(
        counts[0], ins[0], ins[1], ins[2], outs[0], workers
    ),
}


def _table_entry(native: Any) -> TableEntry:
    entry: TableEntry = _CORE_TABLES.get(native) or native.table
    return entry


def long_call(
    name: str,
    native: Any,
    counts: list[int],
    reals: list[float],
    inputs: list[Any],
    by: Any,
    on: str | None,
    workers: int | None,
    result_tuple: Any,
) -> Any:
    """An indicator over a long table keyed by `by` (see this module): a series (or tuple of them) per row."""
    values, wrap, table = input_columns(name, native.input_names, inputs, on)
    outputs = run(native.kernel, counts, reals, values, native.output_count, by, table, workers)
    results = [wrap(output) for output in outputs]
    return result_tuple(*results) if result_tuple is not None else results[0]


class LongForm:
    """What a long-table call needs of an indicator: its native entry, input names and output count."""

    def __init__(self, kernel: Any, input_names: tuple[str, ...], output_count: int) -> None:
        self.kernel, self.input_names, self.output_count = kernel, input_names, output_count
