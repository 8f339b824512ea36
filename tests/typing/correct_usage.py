"""Calls a type checker must accept: `mypy --strict` checks this file (see pyproject.toml)."""

import numpy as np
from numpy.typing import NDArray

import quillora


def indicators(close: NDArray[np.float64], high: NDArray[np.float64], low: NDArray[np.float64]) -> None:
    sma, ema, atr = np.empty_like(close), np.empty_like(close), np.empty_like(close)
    quillora.indicator_sma(20, close, sma)
    quillora.indicator_ema(period=np.int64(20), data=close, output=ema)
    quillora.indicator_atr(14, high, low, close, output=atr)
    macd, signal, hist = (np.zeros(len(close)) for _ in range(3))
    quillora.indicator_macd(12, 26, 9, close, macd, signal, hist)
