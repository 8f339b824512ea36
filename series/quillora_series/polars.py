"""Every indicator as a polars expression: `bars.with_columns(qs.polars.rsi("close", 14, by="symbol"))`.

Each expression hands its whole input columns (and key columns) to one native call, never one call
per group, so it works the same in `select` and `with_columns`, on a DataFrame and a LazyFrame.
Inputs are column names or expressions, by default the indicator's own names (`close` for a
one-input indicator). Several outputs come back as a struct column with one field per output.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import polars as pl

from . import _long, _native
from ._parameters import check_parameters
from ._registry import BUILTIN, INDICATORS, Indicator

_CORE_KERNELS = {"sma": "SmaKernel", "ema": "EmaKernel", "macd": "MacdKernel", "atr": "AtrKernel"}


def _expression(indicator: Indicator) -> Callable[..., pl.Expr]:
    kernel = getattr(_native, _CORE_KERNELS.get(indicator.name, indicator.class_name))
    inputs = indicator.inputs
    defaults = tuple("close" if name == "x" else name for name in inputs)

    def expression(
        *args: Any, by: str | Sequence[str] | None = None, workers: int | None = None, **kwargs: Any
    ) -> pl.Expr:
        columns = list(args[: len(inputs)])
        columns += [
            kwargs.pop(name, default) for name, default in zip(inputs[len(columns) :], defaults[len(columns) :])
        ]
        values = list(args[len(inputs) :])
        for parameter in indicator.params[len(values) :]:
            if parameter.name in kwargs:
                values.append(kwargs.pop(parameter.name))
            elif parameter.default is not None:
                values.append(parameter.default)
            else:
                raise TypeError(f"{indicator.name}() missing the parameter {parameter.name!r}")
        if kwargs:
            raise TypeError(f"{indicator.name}() got unexpected arguments {sorted(kwargs)}")
        counts, reals = check_parameters(indicator, values)
        keys = [] if by is None else ([by] if isinstance(by, str) else list(by))
        fields = [_as_expr(column).alias(f"_in{k}") for k, column in enumerate(columns)]
        fields += [pl.col(key).alias(f"_by{k}") for k, key in enumerate(keys)]

        def compute(packed: pl.Series) -> pl.Series:
            frame = packed.struct.unnest()
            values_in = [frame[f"_in{k}"].cast(pl.Float64).to_numpy() for k in range(len(inputs))]
            values_in = [np.ascontiguousarray(v, dtype=np.float64) for v in values_in]
            key_columns = [frame[f"_by{k}"] for k in range(len(keys))] or None
            outputs = _long.run(kernel, counts, reals, values_in, len(indicator.outputs), key_columns, None, workers)
            if len(outputs) == 1:
                return pl.Series(indicator.name, outputs[0], nan_to_null=True)
            return pl.DataFrame(
                {name: pl.Series(name, output, nan_to_null=True) for name, output in zip(indicator.outputs, outputs)}
            ).to_struct(indicator.name)

        dtype: Any = (
            pl.Float64 if len(indicator.outputs) == 1 else pl.Struct(dict.fromkeys(indicator.outputs, pl.Float64))
        )
        return pl.struct(fields).map_batches(compute, return_dtype=dtype).alias(indicator.name)

    expression.__name__ = expression.__qualname__ = indicator.name
    expression.__doc__ = (
        f"{indicator.summary} as a polars expression over the columns "
        f"{', '.join(defaults)} (names or expressions), keyed by the `by` columns."
    )
    return expression


def _as_expr(column: Any) -> pl.Expr:
    return pl.col(column) if isinstance(column, str) else column


_EXPRESSIONS = {indicator.name: _expression(indicator) for indicator in (*BUILTIN, *INDICATORS.values())}
globals().update(_EXPRESSIONS)
__all__ = sorted(_EXPRESSIONS)
