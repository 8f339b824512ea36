"""Every indicator of quillora_series, declared once: its inputs, parameters, outputs and warm-up.

The functions, the table and long-table forms, the live classes, the type stubs and the reference
pages all follow from these lines. Each indicator's arithmetic is its state in the native library
(`<Name>State` in `_native`), the one definition every mode runs.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from . import _native


@dataclass(frozen=True)
class Period:
    """A whole-number parameter (a window or smoothing length); None as default: it must be passed."""

    name: str
    default: int | None
    minimum: int = 1


@dataclass(frozen=True)
class Real:
    """A finite real parameter (a number of deviations, a factor)."""

    name: str
    default: float
    minimum: float | None = None  # the smallest value allowed, inclusive


type Parameter = Period | Real


@dataclass(frozen=True)
class Indicator:
    name: str
    inputs: tuple[str, ...]
    params: tuple[Parameter, ...]
    outputs: tuple[str, ...]
    # The first position with a value on data without missing samples, from the parameters.
    lookback: Callable[..., int]
    talib: str  # the TA-Lib function whose classic definition this one follows
    summary: str
    # Checks across parameters beyond each one's own (fast below slow); raises ValueError.
    relation: Callable[..., None] | None = None

    @property
    def native(self) -> Any:
        return getattr(_native, self.class_name)

    @property
    def class_name(self) -> str:
        return "".join(part.capitalize() for part in self.name.split("_")) + "State"

    @property
    def live_name(self) -> str:
        """The live class in `quillora_series.stream`: RSI, LINEARREG_SLOPE."""
        return self.name.upper()

    @property
    def tuple_name(self) -> str:
        """The named tuple of several outputs: BBANDS(upper, middle, lower)."""
        return self.name.upper()


def _fast_below_slow(fast: int, slow: int, *_: Any) -> None:
    if fast >= slow:
        raise ValueError(f"fast ({fast}) must be less than slow ({slow})")


X = ("x",)
HLC = ("high", "low", "close")
HL = ("high", "low")
HLCV = ("high", "low", "close", "volume")


def _p(name: str, default: int | None, minimum: int = 1) -> Period:
    return Period(name, default, minimum)


DECLARED: tuple[Indicator, ...] = (
    # --- recursive averages, RSI, bar measures ----------------------------------------------------
    Indicator("rma", X, (_p("period", None),), ("rma",), lambda p: p - 1, "RMA", "Wilder's moving average"),
    Indicator("wma", X, (_p("period", None),), ("wma",), lambda p: p - 1, "WMA", "Linearly weighted moving average"),
    Indicator(
        "dema", X, (_p("period", None),), ("dema",), lambda p: 2 * (p - 1), "DEMA", "Double exponential moving average"
    ),
    Indicator(
        "tema", X, (_p("period", None),), ("tema",), lambda p: 3 * (p - 1), "TEMA", "Triple exponential moving average"
    ),
    Indicator("rsi", X, (_p("period", 14),), ("rsi",), lambda p: p, "RSI", "Relative strength index"),
    Indicator("trange", HLC, (), ("trange",), lambda: 1, "TRANGE", "True range"),
    Indicator("natr", HLC, (_p("period", 14),), ("natr",), lambda p: p, "NATR", "Normalized average true range"),
    Indicator("obv", ("close", "volume"), (), ("obv",), lambda: 0, "OBV", "On-balance volume"),
    # --- trailing-window statistics and oscillators ----------------------------------------------
    Indicator("var", X, (_p("period", 5),), ("var",), lambda p: p - 1, "VAR", "Population variance over a window"),
    Indicator(
        "stddev",
        X,
        (_p("period", 5), Real("nbdev", 1.0)),
        ("stddev",),
        lambda p, d: p - 1,
        "STDDEV",
        "Population standard deviation over a window, times nbdev",
    ),
    Indicator(
        "bbands",
        X,
        (_p("period", 20), Real("nbdev_up", 2.0), Real("nbdev_down", 2.0)),
        ("upper", "middle", "lower"),
        lambda p, u, d: p - 1,
        "BBANDS",
        "Bollinger bands around the simple moving average",
    ),
    Indicator("roc", X, (_p("period", 10),), ("roc",), lambda p: p, "ROC", "Rate of change in percent"),
    Indicator("rocp", X, (_p("period", 10),), ("rocp",), lambda p: p, "ROCP", "Rate of change as a fraction"),
    Indicator("rocr", X, (_p("period", 10),), ("rocr",), lambda p: p, "ROCR", "Rate of change as a ratio"),
    Indicator("mom", X, (_p("period", 10),), ("mom",), lambda p: p, "MOM", "Momentum: the change over the period"),
    Indicator(
        "stoch",
        HLC,
        (_p("fastk_period", 5), _p("slowk_period", 3), _p("slowd_period", 3)),
        ("slowk", "slowd"),
        lambda k, s, d: k - 1 + s - 1 + d - 1,
        "STOCH",
        "Slow stochastic oscillator",
    ),
    Indicator(
        "stochf",
        HLC,
        (_p("fastk_period", 5), _p("fastd_period", 3)),
        ("fastk", "fastd"),
        lambda k, d: k - 1 + d - 1,
        "STOCHF",
        "Fast stochastic oscillator",
    ),
    Indicator("willr", HLC, (_p("period", 14),), ("willr",), lambda p: p - 1, "WILLR", "Williams' %R"),
    Indicator("cci", HLC, (_p("period", 14),), ("cci",), lambda p: p - 1, "CCI", "Commodity channel index"),
    # --- directional movement, SAR, money flow, Aroon ---------------------------------------------
    Indicator(
        "adx", HLC, (_p("period", 14),), ("adx",), lambda p: 2 * p - 1, "ADX", "Average directional movement index"
    ),
    Indicator(
        "adxr",
        HLC,
        (_p("period", 14),),
        ("adxr",),
        lambda p: 3 * p - 2,
        "ADXR",
        "ADX rating: mean of ADX now and period - 1 bars ago",
    ),
    Indicator("plus_di", HLC, (_p("period", 14),), ("plus_di",), lambda p: p, "PLUS_DI", "Plus directional indicator"),
    Indicator(
        "minus_di", HLC, (_p("period", 14),), ("minus_di",), lambda p: p, "MINUS_DI", "Minus directional indicator"
    ),
    Indicator(
        "sar",
        HL,
        (Real("acceleration", 0.02, 0.0), Real("maximum", 0.2, 0.0)),
        ("sar",),
        lambda a, m: 1,
        "SAR",
        "Parabolic stop and reverse",
    ),
    Indicator("mfi", HLCV, (_p("period", 14),), ("mfi",), lambda p: p, "MFI", "Money flow index"),
    Indicator(
        "ultosc",
        HLC,
        (_p("period1", 7), _p("period2", 14), _p("period3", 28)),
        ("ultosc",),
        lambda a, b, c: max(a, b, c),
        "ULTOSC",
        "Ultimate oscillator",
    ),
    Indicator("aroon", HL, (_p("period", 14),), ("aroondown", "aroonup"), lambda p: p, "AROON", "Aroon down and up"),
    Indicator(
        "aroonosc", HL, (_p("period", 14),), ("aroonosc",), lambda p: p, "AROONOSC", "Aroon oscillator: up minus down"
    ),
    # --- adaptive and compound averages ------------------------------------------------------------
    Indicator("kama", X, (_p("period", 30),), ("kama",), lambda p: p, "KAMA", "Kaufman adaptive moving average"),
    Indicator(
        "trix",
        X,
        (_p("period", 30),),
        ("trix",),
        lambda p: 3 * (p - 1) + 1,
        "TRIX",
        "One-bar rate of change of a triple EMA",
    ),
    Indicator(
        "zlema",
        X,
        (_p("period", 30),),
        ("zlema",),
        lambda p: (p - 1) // 2 + p - 1,
        "ZLEMA",
        "Zero-lag exponential moving average",
    ),
    Indicator(
        "hma", X, (_p("period", 20),), ("hma",), lambda p: p - 1 + max(int(p**0.5), 1) - 1, "HMA", "Hull moving average"
    ),
    Indicator("trima", X, (_p("period", 30),), ("trima",), lambda p: p - 1, "TRIMA", "Triangular moving average"),
    Indicator(
        "stochrsi",
        X,
        (_p("period", 14), _p("fastk_period", 5), _p("fastd_period", 3)),
        ("fastk", "fastd"),
        lambda p, k, d: p + k - 1 + d - 1,
        "STOCHRSI",
        "Stochastic RSI",
    ),
    Indicator(
        "ppo",
        X,
        (_p("fast", 12), _p("slow", 26)),
        ("ppo",),
        lambda f, s: s - 1,
        "PPO",
        "Percentage price oscillator (EMA)",
        _fast_below_slow,
    ),
    Indicator(
        "apo",
        X,
        (_p("fast", 12), _p("slow", 26)),
        ("apo",),
        lambda f, s: s - 1,
        "APO",
        "Absolute price oscillator (EMA)",
        _fast_below_slow,
    ),
    Indicator("cmo", X, (_p("period", 14),), ("cmo",), lambda p: p, "CMO", "Chande momentum oscillator"),
    # --- volume flows, regression, channels, window extremes ---------------------------------------
    Indicator("ad", HLCV, (), ("ad",), lambda: 0, "AD", "Chaikin accumulation/distribution line"),
    Indicator(
        "adosc",
        HLCV,
        (_p("fast", 3), _p("slow", 10)),
        ("adosc",),
        lambda f, s: s - 1,
        "ADOSC",
        "Chaikin A/D oscillator",
        _fast_below_slow,
    ),
    Indicator("cmf", HLCV, (_p("period", 20),), ("cmf",), lambda p: p - 1, "CMF", "Chaikin money flow"),
    Indicator("vwap", HLCV, (), ("vwap",), lambda: 0, "VWAP", "Cumulative volume-weighted average price"),
    Indicator(
        "kc",
        HLC,
        (_p("period", 20), _p("atr_period", 10), Real("nbdev", 2.0)),
        ("upper", "middle", "lower"),
        lambda p, a, d: max(p - 1, a),
        "KC",
        "Keltner channels",
    ),
    Indicator(
        "donchian",
        HL,
        (_p("period", 20),),
        ("upper", "middle", "lower"),
        lambda p: p - 1,
        "DONCHIAN",
        "Donchian channels",
    ),
    Indicator(
        "supertrend",
        HLC,
        (_p("period", 10), Real("multiplier", 3.0)),
        ("supertrend", "trend"),
        lambda p, m: p,
        "SUPERTREND",
        "Supertrend line and its direction",
    ),
    Indicator("bop", ("open", "high", "low", "close"), (), ("bop",), lambda: 0, "BOP", "Balance of power"),
    Indicator(
        "midprice",
        HL,
        (_p("period", 14),),
        ("midprice",),
        lambda p: p - 1,
        "MIDPRICE",
        "Midpoint of the window's high and low",
    ),
    Indicator(
        "midpoint",
        X,
        (_p("period", 14),),
        ("midpoint",),
        lambda p: p - 1,
        "MIDPOINT",
        "Midpoint of the window's extremes",
    ),
    Indicator("max", X, (_p("period", 30),), ("max",), lambda p: p - 1, "MAX", "Highest value over a window"),
    Indicator("min", X, (_p("period", 30),), ("min",), lambda p: p - 1, "MIN", "Lowest value over a window"),
    Indicator("sum", X, (_p("period", 30),), ("sum",), lambda p: p - 1, "SUM", "Sum over a window"),
    Indicator(
        "linearreg",
        X,
        (_p("period", 14),),
        ("linearreg",),
        lambda p: p - 1,
        "LINEARREG",
        "Least-squares line's value at the last bar",
    ),
    Indicator(
        "linearreg_slope",
        X,
        (_p("period", 14),),
        ("linearreg_slope",),
        lambda p: p - 1,
        "LINEARREG_SLOPE",
        "Least-squares line's slope",
    ),
    Indicator(
        "linearreg_intercept",
        X,
        (_p("period", 14),),
        ("linearreg_intercept",),
        lambda p: p - 1,
        "LINEARREG_INTERCEPT",
        "Least-squares line's value at the first bar",
    ),
    Indicator(
        "linearreg_angle",
        X,
        (_p("period", 14),),
        ("linearreg_angle",),
        lambda p: p - 1,
        "LINEARREG_ANGLE",
        "Least-squares line's slope as an angle in degrees",
    ),
    Indicator(
        "tsf", X, (_p("period", 14),), ("tsf",), lambda p: p - 1, "TSF", "Time series forecast: the line one bar ahead"
    ),
)

# The four indicators of the core, with functions and live classes of their own over the core's
# kernels (lanes included); declared here for what follows from the line alone: docs and long tables.
BUILTIN: tuple[Indicator, ...] = (
    Indicator("sma", X, (_p("period", None),), ("sma",), lambda p: p - 1, "SMA", "Simple moving average"),
    Indicator("ema", X, (_p("period", None),), ("ema",), lambda p: p - 1, "EMA", "Exponential moving average"),
    Indicator(
        "macd",
        X,
        (_p("fast", 12), _p("slow", 26), _p("signal", 9)),
        ("macd", "signal", "hist"),
        lambda f, s, g: s + g - 2,
        "MACD",
        "Moving average convergence/divergence",
        _fast_below_slow,
    ),
    Indicator("atr", HLC, (_p("period", 14),), ("atr",), lambda p: p, "ATR", "Average true range"),
)

# Only indicators whose native state is built are served: an indicator is declared before its
# state lands, and the registry test says which are missing.
INDICATORS: dict[str, Indicator] = {
    indicator.name: indicator for indicator in DECLARED if hasattr(_native, indicator.class_name)
}
