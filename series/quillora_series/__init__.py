"""quillora_series: quillora's indicators on NumPy, pandas and polars data, batch and live.

Every value is computed by quillora's core, so results are the core's bits.
"""

from . import _declared
from ._declared import *  # noqa: F403
from ._functions import MACD, atr, ema, macd, sma

__all__ = ["MACD", "atr", "ema", "macd", "sma"]
__all__ += _declared.__all__


def __getattr__(name: str) -> object:
    # quillora_series.polars imports polars: loaded on first use, as `qs.polars.rsi(...)`.
    if name == "polars":
        import importlib

        return importlib.import_module(".polars", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
