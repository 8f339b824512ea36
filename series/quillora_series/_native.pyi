"""Native part of quillora_series; use the package's Python API."""

from typing import Annotated

import numpy
from numpy.typing import NDArray


class SmaState:
    def __init__(self, period: int) -> None: ...

    @property
    def period(self) -> int: ...

    def update(self, value: float) -> float: ...

    def run(self, data: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], output: object) -> None: ...

    def reset(self) -> None: ...

    def snapshot(self) -> tuple[str, int, int, int, bytes]: ...

    @staticmethod
    def restore(arg: object, /) -> SmaState: ...

class EmaState:
    def __init__(self, period: int) -> None: ...

    @property
    def period(self) -> int: ...

    def update(self, value: float) -> float: ...

    def run(self, data: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], output: object) -> None: ...

    def reset(self) -> None: ...

    def snapshot(self) -> tuple[str, int, int, int, bytes]: ...

    @staticmethod
    def restore(arg: object, /) -> EmaState: ...

class MacdState:
    def __init__(self, fast: int, slow: int, signal: int) -> None: ...

    @property
    def fast(self) -> int: ...

    @property
    def slow(self) -> int: ...

    @property
    def signal(self) -> int: ...

    def update(self, value: float) -> tuple[float, float, float]: ...

    def run(self, data: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], macd_output: object, signal_output: object, hist_output: object) -> None: ...

    def reset(self) -> None: ...

    def snapshot(self) -> tuple[str, int, int, int, int, int, bytes]: ...

    @staticmethod
    def restore(arg: object, /) -> MacdState: ...

class AtrState:
    def __init__(self, period: int) -> None: ...

    @property
    def period(self) -> int: ...

    def update(self, high: float, low: float, close: float) -> float: ...

    def run(self, high: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], low: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], close: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], output: object) -> None: ...

    def reset(self) -> None: ...

    def snapshot(self) -> tuple[str, int, int, int, bytes]: ...

    @staticmethod
    def restore(arg: object, /) -> AtrState: ...

def table_sma(period: int, data: object, output: object, workers: int = 1) -> None:
    """
    Simple moving average of every symbol of a table, into `output`: per symbol the bits of quillora.indicator_sma. Up to `workers` threads share the symbols, the calling one included; the interpreter lock is released while they compute.
    """

def table_ema(period: int, data: object, output: object, workers: int = 1) -> None:
    """
    Exponential moving average of every symbol of a table, into `output`: per symbol the bits of quillora.indicator_ema. Threads and lock as table_sma.
    """

def table_macd(fast_period: int, slow_period: int, signal_period: int, data: object, macd_output: object, signal_output: object, hist_output: object, workers: int = 1) -> None:
    """
    MACD line, signal and histogram of every symbol of a table: per symbol the bits of quillora.indicator_macd. Threads and lock as table_sma.
    """

def table_atr(period: int, high: object, low: object, close: object, output: object, workers: int = 1) -> None:
    """
    Average true range of every symbol of a table of bars, into `output`: per symbol the bits of quillora.indicator_atr. Threads and lock as table_sma.
    """
