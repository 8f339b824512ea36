"""quillora demo: the four indicators side by side on a reproducible synthetic price series.

The series is a seeded geometric random walk of 500 daily bars: each close is the previous one times
exp(r), r drawn from a normal distribution with mean 0 and standard deviation 1 % (seed 20261207).
Each bar opens at the previous close; its high and low extend the open-close range outward by
random fractions (up to 0.5 %) of the close. Same seed, same numbers, on every machine.
"""

import numpy as np

import quillora

SEED = 20261207
BARS = 500


def synthetic_bars(seed=SEED, bars=BARS):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, bars)))
    open_ = np.concatenate(([100.0], close[:-1]))
    high = np.maximum(open_, close) + close * rng.uniform(0.0, 0.005, bars)
    low = np.minimum(open_, close) - close * rng.uniform(0.0, 0.005, bars)
    return high, low, close


def main():
    high, low, close = synthetic_bars()
    n = len(close)
    sma, ema, atr = np.empty(n), np.empty(n), np.empty(n)
    macd, signal, hist = np.empty(n), np.empty(n), np.empty(n)

    quillora.indicator_sma(20, close, sma)
    quillora.indicator_ema(20, close, ema)
    quillora.indicator_macd(12, 26, 9, close, macd, signal, hist)
    quillora.indicator_atr(14, high, low, close, atr)

    columns = ["bar", "close", "sma(20)", "ema(20)", "macd", "signal", "hist", "atr(14)"]
    print(f"quillora demo: {n} synthetic bars, seed {SEED}; last 10 rows\n")
    print("".join(f"{c:>10}" for c in columns))
    for i in range(n - 10, n):
        row = [close[i], sma[i], ema[i], macd[i], signal[i], hist[i], atr[i]]
        print(f"{i:>10}" + "".join(f"{v:>10.4f}" for v in row))


if __name__ == "__main__":
    main()
