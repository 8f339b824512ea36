"""Types of the quillora extension module: four indicators written in place into float64 arrays."""

from typing import SupportsIndex

import numpy as np
from numpy.typing import NDArray

__all__ = ["indicator_atr", "indicator_ema", "indicator_macd", "indicator_sma"]

def indicator_sma(period: int | SupportsIndex, data: NDArray[np.float64], output: NDArray[np.float64]) -> None:
    """Simple moving average of `data` written into `output` (same length).

    `output[i]` is the mean of the `period` samples ending at `i`; the first `period - 1` positions
    are NaN, and a period of 0 or longer than the data gives all NaN. A NaN sample makes every later
    value NaN. Computes with the interpreter lock released.
    """

def indicator_ema(period: int | SupportsIndex, data: NDArray[np.float64], output: NDArray[np.float64]) -> None:
    """Exponential moving average of `data` written into `output` (same length).

    Seeded with the mean of the first `period` consecutive finite samples (NaN before it), then
    smoothed with `2 / (period + 1)`. NaN and infinite samples are skipped: NaN at their positions,
    the average carries over them. A period of 0 or longer than the data gives all NaN. Computes with
    the interpreter lock released.
    """

def indicator_macd(
    fast_period: int | SupportsIndex,
    slow_period: int | SupportsIndex,
    signal_period: int | SupportsIndex,
    data: NDArray[np.float64],
    macd_output: NDArray[np.float64],
    signal_output: NDArray[np.float64],
    hist_output: NDArray[np.float64],
) -> None:
    """MACD line, signal line and histogram of `data`, written into the three outputs (same length).

    Needs `0 < fast_period < slow_period` and `signal_period > 0`. The line starts at index
    `slow_period - 1`; the signal line and histogram at `slow_period + signal_period - 2`, where the
    signal equals the line. A NaN sample gives NaN in all three outputs there and leaves the averages
    as they were. Computes with the interpreter lock released.
    """

def indicator_atr(
    period: int | SupportsIndex,
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    output: NDArray[np.float64],
) -> None:
    """Average true range of the bars `high`, `low`, `close`, written into `output` (all one length).

    `output[period]` is the mean of the true ranges of bars 1 to `period`, then Wilder smoothing with
    weight `1 / period`; earlier positions are NaN, and a period of 0 or at least the length gives all
    NaN. A true range takes the largest of its terms that is not NaN. Computes with the interpreter
    lock held.
    """
