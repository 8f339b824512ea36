"""Live data: indicators fed one sample (or one chunk) at a time.

Each object keeps the state of the core's own kernel between calls, so every value it returns is, bit
for bit, the value the core's batch function writes at the same position of the whole series: a live
run and a later backtest over the same history agree. The missing-value NaN comes back wherever the
batch run has no value. States pickle (a restarted process goes on with the same bits), copy and
reset; SMA and MACD keep at most the last `period` / `slow` samples, EMA and ATR a few numbers,
however many updates they see.
"""

from typing import Any, ClassVar, NamedTuple, Protocol

import numpy as np
import numpy.typing as npt

from . import _checks, _kinds, _live, _native
from ._live import *  # noqa: F403

__all__ = ["ATR", "EMA", "MACD", "SMA", "MacdSeries", "MacdValues"]
__all__ += _live.__all__

Series = npt.NDArray[np.float64]


def _series(values: npt.ArrayLike, name: str = "values") -> Series:
    """`values` as a one-dimensional contiguous aligned float64 array, copied only when it is not one already."""
    return _kinds.series(values, name)


class _NativeState(Protocol):
    def reset(self) -> None: ...
    def snapshot(self) -> tuple[Any, ...]: ...


class _Live:
    """What every live indicator shares: a native state, reset, and copies and pickles of that state."""

    __slots__ = ("_state",)
    _State: ClassVar[Any]
    _state: _NativeState

    def reset(self) -> None:
        """Forgets every sample seen: the next update starts a new series."""
        self._state.reset()

    # copy.copy, copy.deepcopy and pickle all go through the snapshot: a copy shares nothing with
    # its original, and a restored state continues with the same bits.
    def __getstate__(self) -> tuple[Any, ...]:
        return self._state.snapshot()

    def __setstate__(self, snapshot: tuple[Any, ...]) -> None:
        self._state = self._State.restore(snapshot)


class _MovingAverage(_Live):
    __slots__ = ()
    _state: _native.SmaState | _native.EmaState

    def __init__(self, period: int) -> None:
        self._state = self._State(_checks.period(period))

    @property
    def period(self) -> int:
        return self._state.period

    def update(self, value: float) -> float:
        """The average at the new sample: the batch function's value at its position."""
        # The native conversion would take a complex NumPy scalar's real part: anything but a float is checked.
        return self._state.update(value if type(value) is float else _checks.number(value))

    def update_many(self, values: npt.ArrayLike) -> Series:
        """The averages at each sample of `values`, the same as updating with them one by one."""
        data = _series(values)
        output = np.empty_like(data)
        self._state.run(data, output)
        return output

    def __repr__(self) -> str:
        return f"{type(self).__name__}(period={self.period})"


class SMA(_MovingAverage):
    """Simple moving average of the last `period` samples, as `quillora.indicator_sma` computes it."""

    __slots__ = ()
    _State = _native.SmaState


class EMA(_MovingAverage):
    """Exponential moving average over finite samples, as `quillora.indicator_ema` computes it."""

    __slots__ = ()
    _State = _native.EmaState


class MacdValues(NamedTuple):
    """MACD line, signal line and histogram at one sample."""

    macd: float
    signal: float
    hist: float


class MacdSeries(NamedTuple):
    """MACD line, signal line and histogram over a chunk."""

    macd: Series
    signal: Series
    hist: Series


# Wraps the native (macd, signal, hist) tuple without the field-by-field call of MacdValues(...).
_as_macd_values = tuple.__new__


class MACD(_Live):
    """MACD line, signal line and histogram, as `quillora.indicator_macd` computes them."""

    __slots__ = ()
    _State = _native.MacdState
    _state: _native.MacdState

    def __init__(self, fast: int = 12, slow: int = 26, signal: int = 9) -> None:
        self._state = _native.MacdState(*_checks.macd_periods(fast, slow, signal))

    @property
    def fast(self) -> int:
        return self._state.fast

    @property
    def slow(self) -> int:
        return self._state.slow

    @property
    def signal(self) -> int:
        return self._state.signal

    def update(self, value: float) -> MacdValues:
        """(macd, signal, hist) at the new sample: the batch function's values at its position."""
        values = self._state.update(value if type(value) is float else _checks.number(value))
        return _as_macd_values(MacdValues, values)

    def update_many(self, values: npt.ArrayLike) -> MacdSeries:
        """The three lines at each sample of `values`, the same as updating with them one by one."""
        data = _series(values)
        outputs = MacdSeries(np.empty_like(data), np.empty_like(data), np.empty_like(data))
        self._state.run(data, *outputs)
        return outputs

    def __repr__(self) -> str:
        return f"MACD(fast={self.fast}, slow={self.slow}, signal={self.signal})"


class ATR(_Live):
    """Average true range of high/low/close bars, as `quillora.indicator_atr` computes it."""

    __slots__ = ()
    _State = _native.AtrState
    _state: _native.AtrState

    def __init__(self, period: int = 14) -> None:
        self._state = _native.AtrState(_checks.period(period))

    @property
    def period(self) -> int:
        return self._state.period

    def update(self, high: float, low: float, close: float) -> float:
        """The average true range at the new bar: the batch function's value at its position."""
        if type(high) is float and type(low) is float and type(close) is float:
            return self._state.update(high, low, close)
        return self._state.update(
            _checks.number(high, "high"), _checks.number(low, "low"), _checks.number(close, "close")
        )

    def update_many(self, high: npt.ArrayLike, low: npt.ArrayLike, close: npt.ArrayLike) -> Series:
        """The average true range at each bar of the chunk, the same as updating bar by bar."""
        high_run, low_run, close_run = _series(high, "high"), _series(low, "low"), _series(close, "close")
        _checks.same_lengths(len(high_run), len(low_run), len(close_run))
        output = np.empty_like(close_run)
        self._state.run(high_run, low_run, close_run, output)
        return output

    def __repr__(self) -> str:
        return f"ATR(period={self.period})"
