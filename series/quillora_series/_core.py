"""quillora's four functions with their types: every value of quillora_series comes from these."""

import importlib
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

Float64Array = npt.NDArray[np.float64]

# The core is one extension module without type information, so its functions are bound here once.
_core: Any = importlib.import_module("quillora")


class MovingAverage(Protocol):
    def __call__(self, period: int, data: Float64Array, output: Float64Array, /) -> None: ...


class _Macd(Protocol):
    def __call__(
        self,
        fast_period: int,
        slow_period: int,
        signal_period: int,
        data: Float64Array,
        macd_output: Float64Array,
        signal_output: Float64Array,
        hist_output: Float64Array,
        /,
    ) -> None: ...


class _Atr(Protocol):
    def __call__(
        self, period: int, high: Float64Array, low: Float64Array, close: Float64Array, output: Float64Array, /
    ) -> None: ...


indicator_sma: MovingAverage = _core.indicator_sma
indicator_ema: MovingAverage = _core.indicator_ema
indicator_macd: _Macd = _core.indicator_macd
indicator_atr: _Atr = _core.indicator_atr
