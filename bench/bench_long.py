"""Long tables and tables as users call them: by= against polars' own .over and the core looped over
each symbol's rows; table out= and allocating calls against the core looped over columns; two
workers against the speed-up two threads copying the same bytes reach (the machine's bandwidth).

Every ratio is measured side by side in this one run, minimum of many repeats.
"""

import subprocess
import sys
import threading
import timeit

import numpy as np
import polars as pl
from cpu_binding import bind_quillora_threads, two_cpus

import quillora
import quillora_series as qs
from quillora_series import _native, _registry

SYMBOLS, BARS = 2000, 5000
TABLE_BARS, TABLE_SYMBOLS = 2000, 64


def best(function, number=1, repeat=7):
    return min(timeit.repeat(function, number=number, repeat=repeat)) / number


def long_table(interleaved):
    rng = np.random.default_rng(1)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, (SYMBOLS, BARS)), axis=1)
    spread = np.abs(rng.normal(0.0, 0.5, (SYMBOLS, BARS)))
    names = np.array([f"S{k:05d}" for k in range(SYMBOLS)])
    keys = np.repeat(names, BARS)
    columns = {"close": close.ravel(), "high": (close + spread).ravel(), "low": (close - spread).ravel()}
    if interleaved:  # bar by bar across symbols: time order kept within each symbol
        keys = np.tile(names, BARS)
        columns = {name: values.reshape(SYMBOLS, BARS).T.ravel() for name, values in columns.items()}
    return pl.DataFrame({"symbol": keys, **columns})


def core_loop_over_slices(frame, name, period):
    """The one-series routine over each symbol's slice: the core's kernel, or for indicators the core
    has not, the package's series function."""
    columns = {key: frame[key].to_numpy() for key in ("high", "low", "close")}
    output = np.empty(len(frame))
    for start in range(0, len(output), BARS):
        rows = slice(start, start + BARS)
        if name == "atr":
            quillora.indicator_atr(
                period, columns["high"][rows], columns["low"][rows], columns["close"][rows], output[rows]
            )
        elif name == "rsi":
            output[rows] = qs.rsi(columns["close"][rows], period)
        else:
            getattr(quillora, f"indicator_{name}")(period, columns["close"][rows], output[rows])
    return output


def by_symbol_section():
    print(f"\n## Long table: {SYMBOLS} symbols x {BARS} bars, string keys\n")
    print(
        "Core loop: the core's kernel over each symbol's slice (rsi, which the core has not: the package's "
        "series function). polars: its own `.over` equivalent, where it has one.\n"
    )
    print(
        "Interleaved: every symbol once per bar, in one order. With gaps: the same rows less 1% of them, "
        "chosen at random, so that the symbols no longer take regular turns.\n"
    )
    print(
        "| call | sorted ms | vs polars .over | vs core loop | interleaved ms | vs polars .over (interleaved) "
        "| with gaps ms | vs polars .over (with gaps) |"
    )
    print("|---|---|---|---|---|---|---|---|")
    sorted_frame, interleaved_frame = long_table(False), long_table(True)
    kept = np.random.default_rng(4).random(len(interleaved_frame)) >= 0.01
    gappy_frame = interleaved_frame.filter(pl.Series(kept))
    polars_over = {
        "sma": pl.col("close").rolling_mean(20).over("symbol"),
        "ema": pl.col("close").ewm_mean(span=20, adjust=False).over("symbol"),
    }
    for name, period in (("sma", 20), ("ema", 20), ("rsi", 14), ("atr", 14)):
        function = getattr(qs, name)
        core = best(lambda: core_loop_over_slices(sorted_frame, name, period), repeat=5)
        ours = best(lambda: function(sorted_frame, period=period, by="symbol"), repeat=5)
        mixed = best(lambda: function(interleaved_frame, period=period, by="symbol"), repeat=5)
        gappy = best(lambda: function(gappy_frame, period=period, by="symbol"), repeat=5)
        expression = polars_over.get(name)
        if expression is None:
            versus = versus_mixed = versus_gappy = "no equivalent"
        else:
            theirs = best(lambda: sorted_frame.select(expression), repeat=3)
            theirs_mixed = best(lambda: interleaved_frame.select(expression), repeat=3)
            theirs_gappy = best(lambda: gappy_frame.select(expression), repeat=3)
            versus = f"{theirs * 1e3:.0f} ms: {theirs / ours:.1f}x faster"
            versus_mixed = f"{theirs_mixed * 1e3:.0f} ms: {theirs_mixed / mixed:.1f}x faster"
            versus_gappy = f"{theirs_gappy * 1e3:.0f} ms: {theirs_gappy / gappy:.1f}x faster"
        print(
            f"| {name}(by=) | {ours * 1e3:.0f} | {versus} | {ours / core:.2f}x ({core * 1e3:.0f} ms) | "
            f"{mixed * 1e3:.0f} | {versus_mixed} | {gappy * 1e3:.0f} | {versus_gappy} |"
        )


def table_section():
    print(f"\n## Table {TABLE_BARS} x {TABLE_SYMBOLS} (C order), workers=1\n")
    print(
        "Core loop: each column through the one-series kernel into a fresh array: the core's for its four, "
        "the native series entry for the others (their kernels, without the package's per-call checks).\n"
    )
    print("| indicator | out= us | allocating us | core loop into fresh arrays us | out= / core | allocating / core |")
    print("|---|---|---|---|---|---|")
    rng = np.random.default_rng(2)
    table = 100.0 + np.cumsum(rng.normal(0.0, 1.0, (TABLE_BARS, TABLE_SYMBOLS)), axis=0)
    spread = np.abs(rng.normal(0.0, 0.5, table.shape))
    high, low = table + spread, table - spread
    columns = {
        name: [np.ascontiguousarray(values[:, k]) for k in range(TABLE_SYMBOLS)]
        for name, values in (("close", table), ("high", high), ("low", low))
    }
    out = np.empty_like(table)

    def core_loop(name, period):
        if name == "atr":
            for h, lo, c in zip(columns["high"], columns["low"], columns["close"]):
                quillora.indicator_atr(period, h, lo, c, np.empty_like(c))
        elif name in ("sma", "ema"):
            kernel = getattr(quillora, f"indicator_{name}")
            for column in columns["close"]:
                kernel(period, column, np.empty_like(column))
        else:
            state = getattr(_native, _registry.INDICATORS[name].class_name)
            for column in columns["close"]:
                state.series([period], [], (column,), (np.empty_like(column),))

    for name in ("sma", "ema", "atr", "rsi", "rma"):
        function = getattr(qs, name)
        period = 20 if name != "rsi" else 14
        given = (high, low, table) if name == "atr" else (table,)
        core = best(lambda: core_loop(name, period), number=20, repeat=15)
        into = best(lambda: function(*given, period, out=out, workers=1), number=20, repeat=15)
        fresh = best(lambda: function(*given, period, workers=1), number=20, repeat=15)
        print(
            f"| {name} | {into * 1e6:.0f} | {fresh * 1e6:.0f} | {core * 1e6:.0f} | {into / core:.2f} | {fresh / core:.2f} |"
        )


def scaling_section():
    cpus = two_cpus()
    print("\n## Two workers against one (64 symbols x 200,000 bars, SMA(20), out=)\n")
    if cpus is None:
        print("one CPU only: not measured")
        return
    table = np.random.default_rng(3).normal(size=(200_000, 64))
    out = np.empty_like(table)
    qs.sma(table, 20, out=out, workers=2)  # starts the pool
    bind_quillora_threads(*cpus)
    one = best(lambda: qs.sma(table, 20, out=out, workers=1), number=3)
    two = best(lambda: qs.sma(table, 20, out=out, workers=2), number=3)
    halves = np.array_split(table.ravel(), 2)
    targets = [np.empty_like(half) for half in halves]

    def copy_with(threads):
        if threads == 1:
            for half, target in zip(halves, targets):
                np.copyto(target, half)
            return
        workers = [threading.Thread(target=np.copyto, args=(t, h)) for h, t in zip(halves, targets)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    copy_one, copy_two = best(lambda: copy_with(1), number=3), best(lambda: copy_with(2), number=3)
    ours, bound = one / two, copy_one / copy_two
    print(f"sma: one worker {one * 1e3:.1f} ms, two {two * 1e3:.1f} ms: {ours:.2f}x")
    print(f"copying the same bytes: one thread {copy_one * 1e3:.1f} ms, two {copy_two * 1e3:.1f} ms: {bound:.2f}x")
    print(f"speed-up against the copy's: {ours / bound:.2f} (target at least 0.9)")


def fresh_process_section():
    print("\n## What a script gets: a fresh process, import and one allocating call\n")
    script = (
        "import time; t=time.perf_counter(); import numpy as np, quillora_series as qs; "
        "x=np.random.default_rng(0).normal(size=(2000,64)); t1=time.perf_counter(); qs.macd(x); "
        "t2=time.perf_counter(); qs.macd(x); t3=time.perf_counter(); "
        "print(f'import {1e3*(t1-t):.0f} ms, first macd table {1e3*(t2-t1):.2f} ms, second {1e3*(t3-t2):.2f} ms')"
    )
    print(subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout.strip())


def main():
    print("# Long tables and tables as users call them")
    by_symbol_section()
    table_section()
    scaling_section()
    fresh_process_section()


if __name__ == "__main__":
    main()
