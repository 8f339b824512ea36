"""SMA, EMA, MACD and ATR for thousands of symbols on a Dask cluster, written to Parquet.

The input is a long table of minute bars (symbol, timestamp, high, low, close). Each symbol's bars are
a seeded geometric random walk drawn from its own generator, seeded with (SEED, symbol number), so a
symbol has the same bars however the table is partitioned and wherever it is generated. The table is
a Dask DataFrame indexed and partitioned by symbol: every partition holds whole symbols in time order,
generated on the workers themselves. Each partition computes the four indicators for all its symbols
at once (quillora_series' by= keys, no Python loop per symbol), and the result (the bars plus one
column per indicator output) is written as Parquet, one file per partition.

    python examples/dask_many_symbols.py                                  # a LocalCluster on this machine
    python examples/dask_many_symbols.py --scheduler tcp://10.0.0.5:8786  # any running scheduler
    python examples/dask_many_symbols.py --symbols 50 --bars 2000 --output /tmp/bars.parquet

The workers of a remote cluster need quillora installed, in the same version as this machine.
"""

import argparse
import itertools
import time

import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.distributed import Client, LocalCluster

import quillora_series as qs

SEED = 20261207
SMA_PERIOD, EMA_PERIOD, ATR_PERIOD = 20, 20, 14
MACD_PERIODS = (12, 26, 9)
START = np.datetime64("2026-01-05T09:30", "ns")
INDICATOR_COLUMNS = ["sma", "ema", "macd", "macd_signal", "macd_hist", "atr"]


def symbol_name(number: int) -> str:
    return f"S{number:06d}"


def symbol_bars(number: int, bars: int) -> pd.DataFrame:
    """One symbol's bars: close a random walk with 1 % steps, high and low up to 0.5 % beyond open/close."""
    rng = np.random.default_rng([SEED, number])
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, bars)))
    open_ = np.concatenate(([100.0], close[:-1]))
    high = np.maximum(open_, close) + close * rng.uniform(0.0, 0.005, bars)
    low = np.minimum(open_, close) - close * rng.uniform(0.0, 0.005, bars)
    timestamp = START + np.arange(bars) * np.timedelta64(60, "s")
    # A string dtype named outright: inferred, an empty index (Dask's meta) would hold objects.
    index = pd.Index([symbol_name(number)] * bars, dtype="string", name="symbol")
    return pd.DataFrame({"timestamp": timestamp, "high": high, "low": low, "close": close}, index=index)


def generate_partition(numbers: range, bars: int) -> pd.DataFrame:
    """The bars of symbols `numbers`, one after another; runs on a worker."""
    return pd.concat([symbol_bars(number, bars) for number in numbers])


def indicators(partition: pd.DataFrame) -> pd.DataFrame:
    """The partition's bars with the indicator columns: one call per indicator over all its symbols."""
    # by= takes the symbol column: each symbol's rows are computed in time order, as if alone.
    bars = partition.reset_index().sort_values(["symbol", "timestamp"], kind="stable", ignore_index=True)
    macd = qs.macd(bars, *MACD_PERIODS, by="symbol")
    return bars.assign(
        sma=qs.sma(bars, SMA_PERIOD, by="symbol"),
        ema=qs.ema(bars, EMA_PERIOD, by="symbol"),
        macd=macd.macd,
        macd_signal=macd.signal,
        macd_hist=macd.hist,
        atr=qs.atr(bars, period=ATR_PERIOD, by="symbol"),
    ).set_index("symbol")


def bars_table(symbols: int, bars: int, partitions: int) -> dd.DataFrame:
    """The long table as a Dask DataFrame with known divisions: partition k holds a run of whole symbols."""
    partitions = max(1, min(partitions, symbols))
    bounds = [symbols * k // partitions for k in range(partitions + 1)]
    runs = [range(start, stop) for start, stop in itertools.pairwise(bounds)]
    divisions = [symbol_name(run.start) for run in runs] + [symbol_name(symbols - 1)]
    meta = symbol_bars(0, 0)
    return dd.from_map(generate_partition, runs, bars=bars, meta=meta, divisions=divisions, enforce_metadata=False)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--symbols", type=int, default=2000)
    parser.add_argument("--bars", type=int, default=5000, help="bars per symbol")
    parser.add_argument("--partitions", type=int, default=None, help="default: about 100 symbols each")
    parser.add_argument("--output", default="dask_many_symbols.parquet", help="Parquet directory")
    parser.add_argument("--scheduler", default=None, help="address of a running scheduler; default: a LocalCluster")
    parser.add_argument("--workers", type=int, default=None, help="LocalCluster worker processes")
    args = parser.parse_args()
    partitions = args.partitions or max(1, args.symbols // 100)

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None))
    with client:
        started = time.perf_counter()
        table = bars_table(args.symbols, args.bars, partitions)
        # The result's columns and dtypes, from the function itself on an empty table.
        meta = indicators(symbol_bars(0, 0))
        table.map_partitions(indicators, meta=meta).to_parquet(args.output, write_index=True)
        seconds = time.perf_counter() - started
    print(
        f"{args.symbols} symbols x {args.bars} bars in {partitions} partitions: "
        f"{seconds:.1f} s, written to {args.output}"
    )


if __name__ == "__main__":
    main()
