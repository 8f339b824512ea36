"""quillora_series: quillora's indicators on NumPy, pandas and polars data, batch and live.

Every value is computed by quillora's core, so results are the core's bits.
"""

from . import _declared
from ._declared import *  # noqa: F403
from ._functions import MACD, atr, ema, macd, sma

__all__ = ["MACD", "atr", "ema", "macd", "sma"]
__all__ += _declared.__all__
