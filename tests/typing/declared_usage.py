"""Calls of the declared indicators a type checker must accept: each kind in gives that kind out."""

import numpy as np
import pandas as pd
import polars as pl
from numpy.typing import NDArray

import quillora_series as qs
from quillora_series import stream


def declared(close: NDArray[np.float64], frame: pd.DataFrame, column: pl.Series, bars: pl.DataFrame) -> None:
    array: NDArray[np.float64] = qs.rma(close, 14)
    series: pd.Series[float] = qs.rma(frame["close"], period=14)
    polars_series: pl.Series = qs.rma(column, 3)
    qs.rma(close, 14, out=array)
    table: pd.DataFrame = qs.rma(frame, 5)
    print(array, series, polars_series, table, bars)
    live = stream.RMA(14)
    value: float = live.update(1.0)
    chunk: NDArray[np.float64] = live.update_many(close)
    print(value, chunk, live.period)
