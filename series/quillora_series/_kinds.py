"""Conversions between the caller's kind of data and the float64 arrays the core computes on.

A kind is a NumPy array (or anything NumPy turns into one, such as a list), a pandas Series or
DataFrame, or a polars Series or DataFrame. `convert` takes the values out and keeps what the
result needs to be the same kind again: the index, the name, the columns.

pandas and polars are never imported here: an object can only be theirs if its module is loaded.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _checks
from ._core import Float64Array
from ._tables import Columns

_FLOAT64 = np.dtype(np.float64)


class Converted(NamedTuple):
    """The values to compute on and the way back to the caller's kind."""

    # 1-D: a contiguous float64 array. 2-D (bars, symbols): real numbers in any layout, or separate
    # float64 columns; the table runner takes float64 as it lies and converts anything else once.
    values: npt.NDArray[Any] | Columns
    wrap: Callable[[Float64Array], Any]
    # What three inputs of one bar series must agree on beyond their shape (pandas index, columns).
    labels: tuple[Any, ...] = ()


def _unchanged(result: Float64Array) -> Float64Array:
    return result


def _module(name: str) -> Any:
    return sys.modules.get(name)


def convert(x: object) -> Converted:
    """The caller's series or table as arrays, or the TypeError / ValueError that says what to pass."""
    if isinstance(x, np.ndarray):
        return Converted(_array(x), _unchanged)
    pandas, polars = _module("pandas"), _module("polars")
    if pandas is not None:
        if isinstance(x, pandas.Series):
            return _pandas_series(pandas, x)
        if isinstance(x, pandas.DataFrame):
            return _pandas_frame(pandas, x)
    if polars is not None:
        if isinstance(x, polars.Series):
            return _polars_series(polars, x)
        if isinstance(x, polars.DataFrame):
            return _polars_frame(polars, x)
    return Converted(_array_like(x), _unchanged)


def _array(x: npt.NDArray[Any]) -> npt.NDArray[Any]:
    _checks.dimensions(x)
    if isinstance(x, np.ma.MaskedArray):
        # Masked positions are positions without a value, not the numbers hidden under the mask.
        _checks.real_numbers(x.dtype, "a masked array")
        masked: Any = x.astype(np.float64)
        x = masked.filled(np.nan)
    elif x.dtype.kind == "O":
        x = _from_objects(x, f"an array of dtype {x.dtype}")
    else:
        _checks.real_numbers(x.dtype, "an array")
    return _float64_vector(x) if x.ndim == 1 else x


def _array_like(x: object) -> npt.NDArray[Any]:
    if isinstance(x, (str, bytes)):
        raise TypeError(f"expected a 1-D series or a 2-D table, got {type(x).__name__}")
    values = np.asarray(x)
    if values.ndim == 0:
        raise TypeError(f"expected a 1-D series or a 2-D table, got {type(x).__name__}")
    if values.dtype.kind == "O":
        # From a list, NumPy reads None as NaN when asked for float64 directly.
        values = _from_objects(x, f"{type(x).__name__} of {values.dtype} values")
    return _array(values)


def _from_objects(x: Any, what: str) -> npt.NDArray[Any]:
    _checks.real_items(np.asarray(x, dtype=object), what)
    try:
        return np.asarray(x, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"expected real numbers, got {what}") from error


def _float64_vector(x: npt.NDArray[Any]) -> Float64Array:
    # A no-op for a contiguous native float64 array; otherwise exactly one converting copy.
    values = np.ascontiguousarray(x, dtype=np.float64)
    # ascontiguousarray keeps a contiguous array that lies off the 8-byte grid; the kernels load whole doubles.
    return values if values.flags.aligned else values.copy()


def series(x: Any, name: str = "values") -> Float64Array:
    """One series as a contiguous aligned float64 array, under the rule of `convert`, or the error naming `name`."""
    dimensions = np.ndim(x)
    if dimensions != 1:
        raise ValueError(f"{name} must be one-dimensional, got {dimensions} dimensions")
    values = convert(x).values
    assert isinstance(values, np.ndarray)
    return values


def _pandas_values(series: Any, what: str) -> Float64Array:
    if series.dtype.kind == "O":  # object, string and categorical Series
        _checks.real_items(series.to_numpy(dtype=object), f"{what} of dtype {series.dtype}")
    else:
        _checks.real_numbers(series.dtype, what)
    try:
        # na_value turns pandas' own missing markers (NA, NaT, None) into NaN; float64 stays a view.
        values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError) as error:
        raise TypeError(f"expected real numbers, got {what} of dtype {series.dtype}") from error
    return values  # type: ignore[no-any-return]


def _pandas_series(pandas: Any, series: Any) -> Converted:
    values = _float64_vector(_pandas_values(series, "a pandas Series"))

    def wrap(result: Float64Array) -> Any:
        return pandas.Series(result, index=series.index, name=series.name, copy=False)

    return Converted(values, wrap, (series.index,))


def _pandas_frame(pandas: Any, frame: Any) -> Converted:
    # By dtype: taking each column out as a Series would cost more than computing a short table.
    for j, (name, dtype) in enumerate(frame.dtypes.items()):
        if dtype.kind == "O":
            _pandas_values(frame.iloc[:, j], f"column {name!r}")
        else:
            _checks.real_numbers(dtype, f"column {name!r}")
    values = frame.to_numpy(dtype=np.float64, na_value=np.nan)

    def wrap(result: Float64Array) -> Any:
        return pandas.DataFrame(result, index=frame.index, columns=frame.columns, copy=False)

    return Converted(values, wrap, (frame.index, frame.columns))


def _polars_real(polars: Any, dtype: Any, what: str) -> None:
    if not (dtype.is_numeric() or dtype == polars.Boolean or dtype == polars.Null):
        raise TypeError(f"expected real numbers, got {what} of dtype {dtype}")


def _polars_values(polars: Any, series: Any, what: str) -> Float64Array:
    _polars_real(polars, series.dtype, what)
    # Nulls come out as NaN, the core's missing value; a Float64 series without nulls is not copied.
    return _float64_vector(series.cast(polars.Float64).to_numpy())


def _polars_series(polars: Any, series: Any) -> Converted:
    values = _polars_values(polars, series, "a polars Series")

    def wrap(result: Float64Array) -> Any:
        # polars users expect positions without a value to be null, not NaN.
        return polars.Series(series.name, result, nan_to_null=True)

    return Converted(values, wrap)


def _polars_frame(polars: Any, frame: Any) -> Converted:
    for name, dtype in frame.schema.items():
        _polars_real(polars, dtype, f"column {name!r}")
    # Column by column: a Float64 column without nulls is not copied (nulls come out as NaN).
    columns = frame.columns
    values = Columns(
        [_float64_vector(column.to_numpy()) for column in frame.cast(polars.Float64).get_columns()], frame.height
    )

    def wrap(result: Float64Array) -> Any:
        return polars.DataFrame(result, schema=columns, orient="row", nan_to_null=True)

    return Converted(values, wrap, (tuple(columns),))


def bar_columns(bars: object) -> tuple[Converted, Converted, Converted]:
    """high, low and close of one table of bars, each wrapping back to a series named "atr"."""
    pandas, polars = _module("pandas"), _module("polars")
    if pandas is not None and isinstance(bars, pandas.DataFrame):
        index = bars.index

        def wrap(result: Float64Array) -> Any:
            return pandas.Series(result, index=index, name="atr", copy=False)

        columns = [
            _float64_vector(_pandas_values(bars[name], f"column {name!r}")) for name in _bar_names(list(bars.columns))
        ]
    elif polars is not None and isinstance(bars, polars.DataFrame):

        def wrap(result: Float64Array) -> Any:
            return polars.Series("atr", result, nan_to_null=True)

        columns = [_polars_values(polars, bars[name], "a polars Series") for name in _bar_names(bars.columns)]
    else:
        raise TypeError(
            "atr takes high, low and close, or one pandas or polars DataFrame with high, "
            f"low and close columns, got {type(bars).__name__}"
        )
    high, low, close = (Converted(values, wrap) for values in columns)
    return high, low, close


def _bar_names(columns: list[Any]) -> list[Any]:
    """The columns holding high, low and close: by exact name, else by the one name that differs in case."""
    found = []
    for wanted in ("high", "low", "close"):
        if wanted in columns:
            found.append(wanted)
            continue
        matches = [c for c in columns if isinstance(c, str) and c.lower() == wanted]
        if len(matches) != 1:
            raise ValueError(f"bars must have high, low and close columns, got columns {columns}")
        found.append(matches[0])
    return found


def named_columns(bars: object, names: tuple[str, ...], result_name: str) -> tuple[Converted, ...]:
    """The columns `names` of one table of bars, each wrapping back to a series named `result_name`."""
    pandas, polars = _module("pandas"), _module("polars")
    if pandas is not None and isinstance(bars, pandas.DataFrame):
        index = bars.index

        def wrap(result: Float64Array) -> Any:
            return pandas.Series(result, index=index, name=result_name, copy=False)

        columns = [
            _float64_vector(_pandas_values(bars[name], f"column {name!r}"))
            for name in _column_names(list(bars.columns), names)
        ]
    elif polars is not None and isinstance(bars, polars.DataFrame):

        def wrap(result: Float64Array) -> Any:
            return polars.Series(result_name, result, nan_to_null=True)

        columns = [_polars_values(polars, bars[name], "a polars Series") for name in _column_names(bars.columns, names)]
    else:
        raise TypeError(
            f"{result_name} takes {', '.join(names)}, or one pandas or polars DataFrame with "
            f"{', '.join(names)} columns, got {type(bars).__name__}"
        )
    return tuple(Converted(values, wrap) for values in columns)


def _column_names(columns: list[Any], wanted_names: tuple[str, ...]) -> list[Any]:
    """The columns holding `wanted_names`: by exact name, else by the one name that differs in case."""
    found = []
    for wanted in wanted_names:
        if wanted in columns:
            found.append(wanted)
            continue
        matches = [c for c in columns if isinstance(c, str) and c.lower() == wanted]
        if len(matches) != 1:
            raise ValueError(f"bars must have {', '.join(wanted_names)} columns, got columns {columns}")
        found.append(matches[0])
    return found
