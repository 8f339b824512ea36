"""quillora demo: the four indicators side by side on a reproducible synthetic price series.

The series is a seeded geometric random walk of 500 daily bars: each close is the previous one times
exp(r), r drawn from a normal distribution with mean 0 and standard deviation 1 % (seed 20261207).
Each bar opens at the previous close; its high and low extend the open-close range outward by
random fractions (up to 0.5 %) of the close. Same seed, same numbers, on every machine.

Prints the last rows as a table and draws all four indicators into demo.png (needs matplotlib, the
package's `demo` extra: `pip install "quillora[demo]"`).
"""

from pathlib import Path
from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

import quillora

SEED = 20261207
BARS = 500
CHART = Path("demo.png")

Series = NDArray[np.float64]


class Bars(NamedTuple):
    high: Series
    low: Series
    close: Series


class Indicators(NamedTuple):
    sma: Series
    ema: Series
    macd: Series
    signal: Series
    hist: Series
    atr: Series


def synthetic_bars(seed: int = SEED, bars: int = BARS) -> Bars:
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, bars)))
    open_ = np.concatenate(([100.0], close[:-1]))
    high = np.maximum(open_, close) + close * rng.uniform(0.0, 0.005, bars)
    low = np.minimum(open_, close) - close * rng.uniform(0.0, 0.005, bars)
    return Bars(high, low, close)


def compute(bars: Bars) -> Indicators:
    """Each output is allocated once here; quillora writes into it in place."""
    sma, ema, macd, signal, hist, atr = (np.empty_like(bars.close) for _ in range(6))
    quillora.indicator_sma(20, bars.close, sma)
    quillora.indicator_ema(20, bars.close, ema)
    quillora.indicator_macd(12, 26, 9, bars.close, macd, signal, hist)
    quillora.indicator_atr(14, bars.high, bars.low, bars.close, atr)
    return Indicators(sma, ema, macd, signal, hist, atr)


def print_table(bars: Bars, values: Indicators, rows: int = 10) -> None:
    columns = ["bar", "close", "sma(20)", "ema(20)", "macd", "signal", "hist", "atr(14)"]
    print(f"quillora demo: {len(bars.close)} synthetic bars, seed {SEED}; last {rows} rows\n")
    print("".join(f"{c:>10}" for c in columns))
    for i in range(len(bars.close) - rows, len(bars.close)):
        row = [bars.close[i], values.sma[i], values.ema[i], values.macd[i], values.signal[i], values.hist[i]]
        print(f"{i:>10}" + "".join(f"{v:>10.4f}" for v in [*row, values.atr[i]]))


def true_range(bars: Bars) -> Series:
    """What ATR averages, drawn beside it: the largest of high - low and the two gaps to the last close."""
    previous = np.concatenate(([np.nan], bars.close[:-1]))
    gaps = np.stack([bars.high - bars.low, np.abs(bars.high - previous), np.abs(bars.low - previous)])
    return np.max(gaps, axis=0)


def draw_chart(bars: Bars, values: Indicators, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")  # a file, no window
    import matplotlib.pyplot as plt

    x = np.arange(len(bars.close))
    figure, (price, macd, atr) = plt.subplots(
        3, 1, figsize=(13, 9.5), sharex=True, height_ratios=[3, 2, 1.6], layout="constrained"
    )
    figure.suptitle(f"quillora: SMA, EMA, MACD and ATR on {len(x)} synthetic daily bars (seed {SEED})", fontsize=14)
    legend = {"loc": "upper left", "bbox_to_anchor": (1.01, 1.0), "frameon": False}

    price.fill_between(x, bars.low, bars.high, color="0.85", label="high-low range")
    price.plot(x, bars.close, color="0.2", linewidth=0.9, label="close")
    price.plot(x, values.sma, color="tab:blue", linewidth=1.8, label="SMA(20)")
    price.plot(x, values.ema, color="tab:orange", linewidth=1.8, label="EMA(20)")
    price.set_title(
        "Moving averages smooth the close: SMA(20) is the mean of the last 20 closes, EMA(20) weights recent "
        "ones more and turns sooner",
        loc="left",
        fontsize=10,
    )
    price.set_ylabel("price")
    price.legend(**legend)

    colours = np.where(values.hist >= 0, "tab:green", "tab:red")
    macd.bar(x, values.hist, width=1.0, color=colours, alpha=0.45, label="histogram\n(line - signal)")
    macd.plot(x, values.macd, color="tab:blue", linewidth=1.4, label="MACD line\nEMA(12) - EMA(26)")
    macd.plot(x, values.signal, color="tab:orange", linewidth=1.4, label="signal\nEMA(9) of the line")
    macd.axhline(0.0, color="0.5", linewidth=0.8)
    macd.set_title(
        "MACD(12, 26, 9) measures momentum: the histogram changes sign where the line crosses its signal",
        loc="left",
        fontsize=10,
    )
    macd.set_ylabel("price difference")
    macd.legend(**legend)

    atr.bar(x, true_range(bars), width=1.0, color="0.82", label="true range")
    atr.plot(x, values.atr, color="tab:purple", linewidth=2.0, label="ATR(14)")
    atr.set_title(
        "ATR(14) is the typical size of one bar's move, gaps included: the true range smoothed by Wilder's method",
        loc="left",
        fontsize=10,
    )
    atr.set_ylabel("price")
    atr.set_xlabel("bar (trading day); each indicator stays missing until its warm-up is over")
    atr.legend(**legend)
    for axes in (price, macd, atr):
        axes.grid(axis="y", color="0.92")
        axes.set_xlim(0, len(x) - 1)

    figure.savefig(path, dpi=110)
    plt.close(figure)


def main() -> None:
    bars = synthetic_bars()
    values = compute(bars)
    print_table(bars, values)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print('\nNo chart: matplotlib is not installed (pip install "quillora[demo]").')
        return
    print("\nDrawing the chart with matplotlib (a few seconds; the first run also builds its font cache)", flush=True)
    draw_chart(bars, values, CHART)
    print(f"Chart written to {CHART.resolve()}")


if __name__ == "__main__":
    main()
