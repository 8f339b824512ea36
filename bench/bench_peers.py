"""quillora against the libraries users pick for the same indicators: TA-Lib, pandas, polars, bottleneck.

Every library gets the same data (a seeded random walk of bars) and the same periods (14; MACD
12-26-9) and returns new arrays, as each does by default. Calls are timed in interleaved rounds and
the minimum of many is kept. Measured:

1. one series of 10**3 to 10**7 bars, ns per bar;
2. tables of 64 symbols x 2,000 and x 100,000 bars, ns per element: quillora_series on a (bars,
   symbols) NumPy table and on a pandas DataFrame, the core looped over the columns, TA-Lib looped
   over the columns, and each other library's own table API (pandas DataFrame rolling/ewm, polars
   expressions over all columns, bottleneck along an axis);
3. the cost of one call on 16 bars;
4. two threads against one on the tables, threads bound to two CPUs;
5. agreement: on the same series, where each peer's values differ from quillora's, by how much, and why.

Every library computes on one thread (polars too: POLARS_MAX_THREADS=1) except where two threads are
measured. Writes bench/results.md and bench/results.png; a peer that is not installed is skipped.
`--quick` runs a short version (fewer sizes and rounds) for trying the script out.
"""

import argparse
import datetime
import importlib
import importlib.metadata
import json
import os
import platform
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

# Before polars is imported: its thread pool is sized once, at import.
os.environ.setdefault("POLARS_MAX_THREADS", "1")

import numpy as np
from cpu_binding import bind_calling_thread, bind_quillora_threads, bind_threads, two_cpus

import quillora
import quillora_series as qs

PERIOD = 14
FAST, SLOW, SIGNAL = 12, 26, 9
SIZES = [10**3, 10**4, 10**5, 10**6, 10**7]
TABLE_SYMBOLS = 64
TABLE_BARS = [2_000, 100_000]
CALL_SIZE = 16
AGREEMENT_BARS = 100_000
GAP_RATE = 0.001
INDICATORS = ["SMA", "EMA", "MACD", "ATR"]
SAMPLE_SECONDS = 0.01  # each timed sample repeats a call until it lasts about this long
HERE = Path(__file__).resolve().parent


def rounds_for(elements):
    # Large inputs vary less between rounds and cost more per round.
    return 5 if elements >= 5_000_000 else 7 if elements >= 500_000 else 15


# --- data ----------------------------------------------------------------------------------------


def make_bars(shape, seed=20261212):
    """high, low and close: a geometric random walk per symbol (prices stay positive), each bar's
    range around its close."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.002, shape), axis=0))
    high = close * (1.0 + rng.uniform(0.0, 0.003, shape))
    low = close * (1.0 - rng.uniform(0.0, 0.003, shape))
    return high, low, close


# --- the libraries -------------------------------------------------------------------------------
# Each library: prepare(high, low, close) turns NumPy series (or (bars, symbols) tables) into its own
# kind once, untimed; its indicators take what prepare made and return the library's result.


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


talib = optional("talib")
pd = optional("pandas")
pl = optional("polars")
bn = optional("bottleneck")


def quillora_series_calls(workers=None):
    # workers=None on one series is the path a plain call takes; tables name their threads.
    return {
        "SMA": lambda b: qs.sma(b[2], PERIOD, workers=workers),
        "EMA": lambda b: qs.ema(b[2], PERIOD, workers=workers),
        "MACD": lambda b: qs.macd(b[2], FAST, SLOW, SIGNAL, workers=workers),
        "ATR": lambda b: qs.atr(*b, period=PERIOD, workers=workers),
    }


def quillora_out_calls():
    # Into arrays the caller allocated once: no allocation, no page faults, only the computation.
    return {
        "SMA": lambda d: qs.sma(d[0][2], PERIOD, out=d[1][0]),
        "EMA": lambda d: qs.ema(d[0][2], PERIOD, out=d[1][0]),
        "MACD": lambda d: qs.macd(d[0][2], FAST, SLOW, SIGNAL, out=tuple(d[1])),
        "ATR": lambda d: qs.atr(*d[0], period=PERIOD, out=d[1][0]),
    }


def talib_calls():
    return {
        "SMA": lambda b: talib.SMA(b[2], PERIOD),
        "EMA": lambda b: talib.EMA(b[2], PERIOD),
        "MACD": lambda b: talib.MACD(b[2], FAST, SLOW, SIGNAL),
        "ATR": lambda b: talib.ATR(*b, PERIOD),
    }


def pandas_macd(close):
    line = close.ewm(span=FAST, adjust=False).mean() - close.ewm(span=SLOW, adjust=False).mean()
    signal = line.ewm(span=SIGNAL, adjust=False).mean()
    return line, signal, line - signal


def pandas_atr(high, low, close):
    # The usual recipe: the true range as the largest of its three terms (a missing term skipped),
    # smoothed as Wilder did, with weight 1/period.
    previous = close.shift()
    true_range = np.fmax(np.fmax(high - low, (high - previous).abs()), (low - previous).abs())
    return true_range.ewm(alpha=1.0 / PERIOD, adjust=False).mean()


def pandas_calls():
    # The same calls serve a Series and a DataFrame (one column per symbol).
    return {
        "SMA": lambda b: b[2].rolling(PERIOD).mean(),
        "EMA": lambda b: b[2].ewm(span=PERIOD, adjust=False).mean(),
        "MACD": lambda b: pandas_macd(b[2]),
        "ATR": lambda b: pandas_atr(*b),
    }


def polars_macd_expression(column):
    close = pl.col(column)
    line = close.ewm_mean(span=FAST, adjust=False) - close.ewm_mean(span=SLOW, adjust=False)
    signal = line.ewm_mean(span=SIGNAL, adjust=False)
    return [line.alias(f"{column}_macd"), signal.alias(f"{column}_signal"), (line - signal).alias(f"{column}_hist")]


def polars_atr_expression(high, low, close, name):
    previous = pl.col(close).shift()
    true_range = pl.max_horizontal(
        pl.col(high) - pl.col(low), (pl.col(high) - previous).abs(), (pl.col(low) - previous).abs()
    )
    return true_range.ewm_mean(alpha=1.0 / PERIOD, adjust=False).alias(name)


def polars_prepare(high, low, close):
    """One DataFrame: columns h0.., l0.., c0.. (one per symbol), and the names of the closes."""
    high, low, close = (np.asarray(a).reshape(len(a), -1) for a in (high, low, close))
    symbols = range(close.shape[1])
    columns = {}
    for prefix, table in (("h", high), ("l", low), ("c", close)):
        columns.update({f"{prefix}{j}": table[:, j] for j in symbols})
    # polars marks a missing value as null, not NaN.
    return pl.DataFrame(columns, nan_to_null=True), [f"c{j}" for j in symbols]


def polars_calls():
    def select(expressions):
        return lambda b: b[0].select(expressions(b[1]))

    return {
        "SMA": select(lambda closes: [pl.col(c).rolling_mean(PERIOD) for c in closes]),
        "EMA": select(lambda closes: [pl.col(c).ewm_mean(span=PERIOD, adjust=False) for c in closes]),
        "MACD": select(lambda closes: [e for c in closes for e in polars_macd_expression(c)]),
        "ATR": select(
            lambda closes: [polars_atr_expression(f"h{c[1:]}", f"l{c[1:]}", c, f"atr{c[1:]}") for c in closes]
        ),
    }


def bottleneck_calls():
    return {"SMA": lambda b: bn.move_mean(b[2], PERIOD, axis=0)}


def peers():
    """(name, prepare, calls) of each installed library, quillora first; prints a line for each absent one."""
    found = [
        ("quillora", lambda *b: b, quillora_series_calls()),
        ("quillora, out=", lambda *b: (b, [np.empty(len(b[2])) for _ in range(3)]), quillora_out_calls()),
    ]
    wanted = [
        ("TA-Lib", talib, "ta-lib", lambda *b: b, talib_calls),
        ("pandas", pd, "pandas", lambda *b: tuple(pd.Series(a) for a in b), pandas_calls),
        ("polars", pl, "polars", polars_prepare, polars_calls),
        ("bottleneck", bn, "bottleneck", lambda *b: b, bottleneck_calls),
    ]
    for name, module, package, prepare, calls in wanted:
        if module is None:
            print(f"{name}: not installed, skipped (pip install {package}, or the bench extra)")
        else:
            found.append((name, prepare, calls()))
    return found


def as_arrays(result):
    """A library's result as a list of float64 NumPy arrays (one per output, column by column for tables)."""
    if pl is not None and isinstance(result, pl.DataFrame):
        return [np.asarray(column.to_numpy(), dtype=np.float64) for column in result.get_columns()]
    if isinstance(result, tuple):
        return [a for part in result for a in as_arrays(part)]
    if pd is not None and isinstance(result, pd.DataFrame | pd.Series):
        return [np.asarray(result.to_numpy(dtype=np.float64))]
    return [np.asarray(result, dtype=np.float64)]


# --- timing --------------------------------------------------------------------------------------


def seconds(call, number):
    started = time.perf_counter()
    for _ in range(number):
        call()
    return time.perf_counter() - started


def best_seconds(calls, rounds):
    """Seconds per call of each named call: the minimum over `rounds` samples, the samples of all calls
    interleaved so that drift on a shared machine hits them alike. Each sample repeats its call until
    it lasts about SAMPLE_SECONDS."""
    numbers = {}
    for name, call in calls.items():
        number = 1
        while (spent := seconds(call, number)) < SAMPLE_SECONDS and number < 1 << 20:
            number *= 2 if spent * 4 > SAMPLE_SECONDS else 8
        numbers[name] = number
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(rounds):
        for name, call in calls.items():
            best[name] = min(best[name], seconds(call, numbers[name]) / numbers[name])
    return best


# --- 1. one series -------------------------------------------------------------------------------


def one_series(libraries, sizes):
    """{(indicator, library): {size: ns per bar}}"""
    results = {}
    for size in sizes:
        bars = make_bars(size)
        calls = {}
        for name, prepare, library_calls in libraries:
            data = prepare(*bars)
            for indicator, call in library_calls.items():
                calls[(indicator, name)] = lambda call=call, data=data: call(data)
        best = best_seconds(calls, rounds_for(size))
        for key, spent in best.items():
            results.setdefault(key, {})[size] = spent / size * 1e9
        print(
            f"  {size:>10,} bars: "
            + "  ".join(f"{indicator} {name} {best[(indicator, name)] / size * 1e9:.2f}" for indicator, name in best)
        )
    return results


# --- 2. tables -----------------------------------------------------------------------------------


def core_loop(indicator, columns):
    """quillora's one-series core over the contiguous columns of a table, each into new arrays."""
    high, low, close = columns
    empty = np.empty
    for j in range(len(close)):
        n = len(close[j])
        if indicator == "SMA":
            quillora.indicator_sma(PERIOD, close[j], empty(n))
        elif indicator == "EMA":
            quillora.indicator_ema(PERIOD, close[j], empty(n))
        elif indicator == "MACD":
            quillora.indicator_macd(FAST, SLOW, SIGNAL, close[j], empty(n), empty(n), empty(n))
        else:
            quillora.indicator_atr(PERIOD, high[j], low[j], close[j], empty(n))


def table_calls(libraries, tables):
    """Named calls computing each indicator over a whole table, for every library."""
    columns = [[np.ascontiguousarray(t[:, j]) for j in range(TABLE_SYMBOLS)] for t in tables]
    calls = {}
    names = {name for name, _, _ in libraries}
    for indicator, call in quillora_series_calls(workers=1).items():
        calls[(indicator, "quillora")] = lambda call=call: call(tables)
    if pd is not None:
        frames = tuple(pd.DataFrame(t) for t in tables)
        for indicator, call in quillora_series_calls(workers=1).items():
            calls[(indicator, "quillora, pandas")] = lambda call=call: call(frames)
    for indicator in INDICATORS:
        calls[(indicator, "core per column")] = lambda indicator=indicator: core_loop(indicator, columns)
    if "TA-Lib" in names:
        for indicator, call in talib_calls().items():
            calls[(indicator, "TA-Lib")] = lambda call=call: [call(bar) for bar in zip(*columns)]
    if "pandas" in names:
        for indicator, call in pandas_calls().items():
            calls[(indicator, "pandas")] = lambda call=call: call(frames)
    if "polars" in names:
        data = polars_prepare(*tables)
        for indicator, call in polars_calls().items():
            calls[(indicator, "polars")] = lambda call=call: call(data)
    if "bottleneck" in names:
        calls[("SMA", "bottleneck")] = lambda: bn.move_mean(tables[2], PERIOD, axis=0)
    return calls


def table_speed(libraries, bar_counts):
    """{(indicator, library): {bars: ns per element}}"""
    results = {}
    for bars in bar_counts:
        tables = make_bars((bars, TABLE_SYMBOLS))
        elements = bars * TABLE_SYMBOLS
        best = best_seconds(table_calls(libraries, tables), rounds_for(elements))
        for key, spent in best.items():
            results.setdefault(key, {})[bars] = spent / elements * 1e9
        print(
            f"  {TABLE_SYMBOLS} x {bars:,}: "
            + "  ".join(f"{indicator} {name} {spent / elements * 1e9:.2f}" for (indicator, name), spent in best.items())
        )
    return results


# --- 3. call overhead ----------------------------------------------------------------------------


def call_overhead(libraries):
    """{(indicator, library): ns per call} on CALL_SIZE bars."""
    bars = make_bars(CALL_SIZE)
    calls = {}
    for name, prepare, library_calls in libraries:
        data = prepare(*bars)
        for indicator, call in library_calls.items():
            calls[(indicator, name)] = lambda call=call, data=data: call(data)
    best = best_seconds(calls, 15)
    return {key: spent * 1e9 for key, spent in best.items()}


# --- 4. two threads ------------------------------------------------------------------------------


def split_in_two(work, items):
    """Runs work(item) for every item, the first half on one pool thread and the rest on the other."""
    middle = len(items) // 2
    done = [POOL.submit(lambda part=part: [work(item) for item in part]) for part in (items[:middle], items[middle:])]
    for future in done:
        future.result()


POOL = None


def start_bound_pool(cpus):
    """Two Python threads, one bound to each CPU."""
    global POOL
    remaining = list(cpus)
    lock = threading.Lock()

    def bind_next():
        with lock:
            bind_calling_thread(remaining.pop(0))

    POOL = ThreadPoolExecutor(max_workers=2, initializer=bind_next)
    # Both threads start (and bind) before any timed work.
    barrier = threading.Barrier(2)
    for future in [POOL.submit(barrier.wait) for _ in range(2)]:
        future.result()


def polars_table_seconds(bars, threads, rounds):
    """Best seconds of each polars table indicator, measured in a fresh process whose polars has
    `threads` threads (polars sizes its pool once, at import)."""
    env = dict(os.environ, POLARS_MAX_THREADS=str(threads))
    child = subprocess.run(
        [sys.executable, __file__, "--polars-child", str(bars), str(rounds)],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    return json.loads(child.stdout)


def polars_child(bars, rounds):
    first, second = two_cpus()
    bind_threads({first, second})
    data = polars_prepare(*make_bars((bars, TABLE_SYMBOLS)))
    best = best_seconds({indicator: lambda call=call: call(data) for indicator, call in polars_calls().items()}, rounds)
    print(json.dumps(best))


def two_threads(libraries, bar_counts):
    """{(indicator, library): {bars: (1-thread seconds, 2-thread seconds)}}, threads bound to two CPUs."""
    cpus = two_cpus()
    if cpus is None:
        print("  skipped: this process may use only one CPU")
        return {}
    first, second = cpus
    everywhere = os.sched_getaffinity(0)
    start_bound_pool(cpus)
    names = {name for name, _, _ in libraries}
    results = {}
    try:
        for bars in bar_counts:
            tables = make_bars((bars, TABLE_SYMBOLS))
            rounds = rounds_for(bars * TABLE_SYMBOLS)
            columns = list(zip(*[[np.ascontiguousarray(t[:, j]) for j in range(TABLE_SYMBOLS)] for t in tables]))
            calls = {}
            qs.sma(tables[2], PERIOD, workers=2)  # the pool's worker thread exists before it is bound
            for threads in (1, 2):
                for indicator, call in quillora_series_calls(workers=threads).items():
                    calls[(indicator, "quillora", threads)] = lambda call=call, tables=tables: call(tables)
            # Libraries without threads of their own: the columns on one thread, then on two.
            for name, library_calls in (("TA-Lib", talib_calls), ("pandas", pandas_calls)):
                if name not in names:
                    continue
                prepare = (lambda *b: b) if name == "TA-Lib" else (lambda *b: tuple(pd.Series(a) for a in b))
                prepared = [prepare(*bar) for bar in columns]
                for indicator, call in library_calls().items():
                    calls[(indicator, name, 1)] = lambda call=call, prepared=prepared: [call(b) for b in prepared]
                    calls[(indicator, name, 2)] = lambda call=call, prepared=prepared: split_in_two(call, prepared)
            if not bind_quillora_threads(first, second):
                print("  skipped: the table kernels' worker thread could not be bound")
                return {}
            best = best_seconds(calls, rounds)
            bind_threads(everywhere)
            if "polars" in names:
                # Child processes in turn, one polars thread and two, so that drift hits both alike.
                for _ in range(2):
                    for threads in (1, 2):
                        for indicator, spent in polars_table_seconds(bars, threads, max(2, rounds // 2)).items():
                            key = (indicator, "polars", threads)
                            best[key] = min(best.get(key, float("inf")), spent)
            for (indicator, name, threads), spent in best.items():
                results.setdefault((indicator, name), {}).setdefault(bars, [None, None])[threads - 1] = spent
            print(
                f"  {TABLE_SYMBOLS} x {bars:,}: "
                + "  ".join(
                    f"{indicator} {name} {pair[0] / pair[1]:.2f}"
                    for (indicator, name), by_bars in results.items()
                    for b, pair in by_bars.items()
                    if b == bars
                )
            )
    finally:
        bind_threads(everywhere)
    return results


# --- 5. agreement --------------------------------------------------------------------------------

OUTPUTS = {"SMA": ["SMA"], "EMA": ["EMA"], "MACD": ["MACD line", "MACD signal", "MACD histogram"], "ATR": ["ATR"]}

# Why each peer's values differ from quillora's; the measured columns beside each say by how much.
WHY = {
    ("TA-Lib", "SMA"): "same window; each library carries its running sum with its own rounding, so they drift "
    "a few hundred ulps apart over 100,000 bars. A NaN leaves both without values from there on",
    ("TA-Lib", "EMA"): "same seed (mean of the first 14) and factor 2/15; TA-Lib steps as e + k(x - e) with a "
    "fused multiply-add, quillora as e(1 - k) + xk: a few ulps apart. After a NaN TA-Lib has "
    "no values; quillora skips the sample",
    ("TA-Lib", "MACD line"): "TA-Lib writes the line only from the bar where its signal starts (33), quillora "
    "from bar 25; fused multiply-add in TA-Lib's steps: last-bit differences. After a "
    "NaN TA-Lib has no values; quillora skips the sample",
    ("TA-Lib", "MACD signal"): "TA-Lib seeds the signal with the mean of the first 9 MACD values, quillora with "
    "the MACD value of bar 33 itself: they differ from there and converge (factor 0.8 "
    "per bar)",
    ("TA-Lib", "MACD histogram"): "line minus signal: follows the signal",
    ("TA-Lib", "ATR"): "same first value (mean of the first 14 true ranges, at bar 14); TA-Lib's Wilder step "
    "uses a fused multiply-add, quillora's is A + (TR - A)(1/14) unfused: a few ulps apart",
    ("pandas", "SMA"): "same window; pandas' running sum is compensated (more exact than a carried sum), so the "
    "two drift a few hundred ulps apart. After a NaN pandas has values again once it has left "
    "the window; quillora's sum stays NaN",
    ("pandas", "EMA"): "ewm(adjust=False) starts at the first sample (values from bar 0), not at the mean of the "
    "first 14; it steps as e(1 - k) + xk like quillora: identical bits once the start has "
    "decayed (13/15 per bar). At a NaN pandas repeats the last value, quillora writes NaN",
    ("pandas", "MACD line"): "two ewm(adjust=False) averages started at the first sample: values from bar 0, "
    "identical bits once the start has decayed",
    ("pandas", "MACD signal"): "ewm of the line from bar 0, not from bar 33: identical bits once the start has decayed",
    ("pandas", "MACD histogram"): "line minus signal: follows the signal",
    ("pandas", "ATR"): "the usual recipe starts at bar 0 (true range high - low) and steps as A(1 - a) + TR a "
    "with a = 1/14; quillora starts at bar 14 with the mean of 14 true ranges and steps as "
    "A + (TR - A)a: a few ulps apart once the start has decayed (13/14 per bar). After a "
    "NaN quillora has no values",
    ("polars", "SMA"): "same window and the same values as pandas (a compensated running sum): a few hundred "
    "ulps from quillora's carried sum. After a null polars has values again once it has left "
    "the window",
    ("polars", "EMA"): "ewm_mean(adjust=False) starts at the first sample (values from bar 0) and steps as "
    "e + k(x - e): a few ulps apart from quillora's e(1 - k) + xk once the start has decayed",
    ("polars", "MACD line"): "two ewm_mean averages started at the first sample: values from bar 0, last-bit "
    "differences once the start has decayed",
    ("polars", "MACD signal"): "ewm_mean of the line from bar 0, not from bar 33: differences that decay to the "
    "last bits",
    ("polars", "MACD histogram"): "line minus signal: follows the signal",
    ("polars", "ATR"): "the usual recipe starts at bar 0; its step A + (TR - A)a is quillora's: identical bits "
    "once the start has decayed (13/14 per bar). After a missing bar quillora has no values",
    ("bottleneck", "SMA"): "identical bits: the same running sum. move_mean has values again once a NaN has "
    "left the window; quillora's sum stays NaN",
}


def first_value(valid):
    return int(np.argmax(valid)) if valid.any() else None


def ulps(a, b):
    """Units in the last place between doubles of one sign."""
    return np.abs(a.view(np.int64) - b.view(np.int64))


def compare(ours, theirs):
    mine, peer = ~np.isnan(ours), ~np.isnan(theirs)
    both = mine & peer
    difference = np.abs(ours - theirs)
    late = both.copy()
    late[: len(late) // 2] = False
    return {
        "first": (first_value(mine), first_value(peer)),
        "only": (int((mine & ~peer).sum()), int((peer & ~mine).sum())),
        "identical": float((ours[both].view(np.int64) == theirs[both].view(np.int64)).mean()) if both.any() else None,
        "max_abs": float(difference[both].max()) if both.any() else None,
        "late_abs": float(difference[late].max()) if late.any() else None,
        # In units in the last place where the output keeps one sign (prices and averages of them).
        "late_ulps": int(ulps(ours[late], theirs[late]).max()) if late.any() and (ours[both] > 0).all() else None,
    }


def with_gaps(bars, seed=5):
    """The same bars with a few missing (NaN in high, low and close at once)."""
    rng = np.random.default_rng(seed)
    gaps = rng.random(len(bars[2])) < GAP_RATE
    gaps[: 4 * SLOW] = False  # every library has started before the first gap
    copies = tuple(a.copy() for a in bars)
    for a in copies:
        a[gaps] = np.nan
    return copies


def agreement(libraries):
    """Rows (output, peer, stats on the clean series, value-only counts with gaps, why)."""
    clean = make_bars(AGREEMENT_BARS, seed=7)
    gapped = with_gaps(clean)
    results = {}
    for name, prepare, calls in libraries:
        for indicator, call in calls.items():
            results[(name, indicator)] = (as_arrays(call(prepare(*clean))), as_arrays(call(prepare(*gapped))))
    rows = []
    for name, _, calls in libraries:
        if name.startswith("quillora"):
            continue
        for indicator in calls:
            ours, theirs = results[("quillora", indicator)], results[(name, indicator)]
            for k, output in enumerate(OUTPUTS[indicator]):
                stats = compare(ours[0][k], theirs[0][k])
                stats["gaps_only"] = compare(ours[1][k], theirs[1][k])["only"]
                rows.append((output, name, stats, WHY.get((name, output), "")))
    return rows


def print_agreement(rows):
    for output, name, stats, why in rows:
        identical = "-" if stats["identical"] is None else f"{stats['identical']:.1%}"
        print(
            f"  {output:<15} {name:<10} first {stats['first'][0]}/{stats['first'][1]}  "
            f"only one has a value {stats['only'][0]}/{stats['only'][1]} "
            f"(with gaps {stats['gaps_only'][0]}/{stats['gaps_only'][1]})  identical {identical}  "
            f"max |diff| {fmt(stats['max_abs'])}  second half {fmt(stats['late_abs'])}"
            + ("" if stats["late_ulps"] is None else f" ({stats['late_ulps']} ulp)")
        )
        print(f"      {why}")


def fmt(value):
    return "-" if value is None else "0" if value == 0 else f"{value:.1e}"


# --- the report ----------------------------------------------------------------------------------


def machine():
    model, flags, memory = "unknown CPU", set(), ""
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name") and model == "unknown CPU":
                    model = line.split(":", 1)[1].strip()
                elif line.startswith("flags") and not flags:
                    flags = set(line.split(":", 1)[1].split())
        with open("/proc/meminfo") as info:
            kb = int(next(line.split()[1] for line in info if line.startswith("MemTotal")))
            memory = f", {kb / 2**20:.0f} GiB memory"
    except (OSError, StopIteration, ValueError):
        pass
    vectors = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "SSE2"
    return (
        f"{model} ({vectors}), {len(os.sched_getaffinity(0))} CPUs usable{memory}; "
        f"{platform.system()} {platform.release()}"
    )


def versions():
    found = [
        f"Python {platform.python_version()}",
        f"NumPy {np.__version__}",
        f"quillora {importlib.metadata.version('quillora')}",
    ]
    if talib is not None:
        library = talib.__ta_version__.decode().split()[0]
        found.append(f"TA-Lib {talib.__version__} (C library {library})")
    for name, module in (("pandas", pd), ("polars", pl), ("bottleneck", bn)):
        if module is not None:
            found.append(f"{name} {module.__version__}")
    return ", ".join(found)


def size_label(n):
    return f"10^{len(str(n)) - 1}" if str(n).strip("0") == "1" else f"{n:,}"


def summary(series, tables, names):
    """The main rows, by library: one series of 10**6 bars, then the tables (one thread)."""
    size = 10**6 if any(10**6 in v for v in series.values()) else max(max(v) for v in series.values())
    bar_counts = sorted({b for v in tables.values() for b in v})
    lines = [
        "## Main rows",
        "",
        f"One series of {size:,} bars, ns per bar:",
        "",
        "| library | " + " | ".join(INDICATORS) + " |",
        "|---|" + "---:|" * len(INDICATORS),
    ]
    for name in names:
        cells = [f"{series[(i, name)][size]:.2f}" if (i, name) in series else "-" for i in INDICATORS]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    shapes = " / ".join(f"{b:,}" for b in bar_counts)
    lines += [
        "",
        f"Tables of {TABLE_SYMBOLS} symbols x {shapes} bars, ns per element, one thread:",
        "",
        "| library | " + " | ".join(INDICATORS) + " |",
        "|---|" + "---:|" * len(INDICATORS),
    ]
    for name in [
        "quillora",
        "quillora, pandas",
        "core per column",
        *(n for n in names if not n.startswith("quillora")),
    ]:
        if not any((i, name) in tables for i in INDICATORS):
            continue
        cells = [
            " / ".join(f"{tables[(i, name)][b]:.2f}" for b in bar_counts) if (i, name) in tables else "-"
            for i in INDICATORS
        ]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return [*lines, ""]


def write_markdown(path, context, series, tables, overhead, scaling, rows, libraries):
    names = [name for name, _, _ in libraries]
    lines = [
        "# quillora against TA-Lib, pandas, polars and bottleneck",
        "",
        f"Generated by `make bench` (`bench/bench_peers.py`) on {context['date']}.",
        "",
        f"- Machine: {context['machine']}",
        f"- Versions: {context['versions']}",
        f"- Load average (1, 5, 15 min): {context['load_before']} before, {context['load_after']} after",
    ]
    if context["note"]:
        lines.append(f"- Note: {context['note']}")
    lines += [
        f"- Method: the same seeded random-walk bars for every library; periods {PERIOD}, MACD "
        f"{FAST}-{SLOW}-{SIGNAL}; each call returns new arrays, as each library does by default (`quillora, "
        "out=` writes into arrays allocated once: the computation alone); calls "
        "timed in interleaved rounds, minimum kept; one thread per library (polars with "
        "POLARS_MAX_THREADS=1) except in the two-thread table.",
        "",
        *summary(series, tables, names),
        "## One series: ns per bar",
        "",
    ]
    sizes = sorted({size for by_size in series.values() for size in by_size})
    reference = max(sizes)
    middle = 10**6 if 10**6 in sizes else reference
    lines.append(
        "| indicator | library | "
        + " | ".join(size_label(s) for s in sizes)
        + f" | x quillora at {size_label(middle)} |"
    )
    lines.append("|---|---|" + "---:|" * (len(sizes) + 1))
    for indicator in INDICATORS:
        ours = series.get((indicator, "quillora"), {}).get(middle)
        for name in names:
            by_size = series.get((indicator, name))
            if by_size is None:
                continue
            ratio = by_size[middle] / ours if ours else float("nan")
            cells = " | ".join(f"{by_size[s]:.2f}" for s in sizes)
            lines.append(f"| {indicator} | {name} | {cells} | {ratio:.2f} |")
    bar_counts = sorted({b for by_bars in tables.values() for b in by_bars})
    lines += [
        "",
        f"## Tables of {TABLE_SYMBOLS} symbols: ns per element",
        "",
        "quillora: `quillora_series` on a (bars, symbols) NumPy table and on a pandas DataFrame, one "
        "worker; core per column: `quillora.indicator_*` over each column (the one-series routine); "
        "TA-Lib over each column; pandas and polars with their table APIs (DataFrame rolling/ewm, "
        "expressions over all columns); bottleneck along the bars axis.",
        "",
        "| indicator | library | " + " | ".join(f"{TABLE_SYMBOLS} x {b:,}" for b in bar_counts) + " | x quillora |",
        "|---|---|" + "---:|" * (len(bar_counts) + 1),
    ]
    table_names = [
        "quillora",
        "quillora, pandas",
        "core per column",
        *(n for n in names if not n.startswith("quillora")),
    ]
    for indicator in INDICATORS:
        ours = tables.get((indicator, "quillora"), {})
        for name in table_names:
            by_bars = tables.get((indicator, name))
            if by_bars is None:
                continue
            cells = " | ".join(f"{by_bars[b]:.3f}" for b in bar_counts)
            ratios = " / ".join(f"{by_bars[b] / ours[b]:.1f}" for b in bar_counts)
            lines.append(f"| {indicator} | {name} | {cells} | {ratios} |")
    lines += [
        "",
        f"## One call on {CALL_SIZE} bars: ns per call",
        "",
        "| library | " + " | ".join(INDICATORS) + " |",
        "|---|" + "---:|" * len(INDICATORS),
    ]
    for name in names:
        cells = " | ".join(f"{overhead[(i, name)]:.0f}" if (i, name) in overhead else "-" for i in INDICATORS)
        lines.append(f"| {name} | {cells} |")
    if scaling:
        cpus = two_cpus()
        lines += [
            "",
            f"## Two threads against one, {TABLE_SYMBOLS} symbols, threads bound to CPUs "
            f"{cpus[0]} and {cpus[1]}: speed-up",
            "",
            "quillora: `workers=1` against `workers=2` (the calling thread and the table kernels' "
            "worker thread, each bound to its CPU); TA-Lib and pandas: the columns on one Python thread "
            "against two; polars: POLARS_MAX_THREADS=1 against 2 (separate processes, in turn).",
            "",
            "| indicator | library | " + " | ".join(f"{TABLE_SYMBOLS} x {b:,}" for b in bar_counts) + " |",
            "|---|---|" + "---:|" * len(bar_counts),
        ]
        for indicator in INDICATORS:
            for name in names:
                by_bars = scaling.get((indicator, name))
                if by_bars is None:
                    continue
                cells = " | ".join(f"{by_bars[b][0] / by_bars[b][1]:.2f}" if b in by_bars else "-" for b in bar_counts)
                lines.append(f"| {indicator} | {name} | {cells} |")
    lines += [
        "",
        f"## Agreement with quillora on one series of {AGREEMENT_BARS:,} bars",
        "",
        "First value: the first bar with a value (quillora / peer). Only one has a value: bars where "
        f"quillora has a value and the peer none / the other way round, on the clean series and on the "
        f"same bars with {GAP_RATE:.1%} of them missing (NaN). The differences are over the bars where "
        "both have a value; the second half is where seeding differences have died away.",
        "",
        "| output | peer | first value | only one has a value (with gaps) | identical bits | max abs diff "
        "| second half: max abs diff (ulps) | why |",
        "|---|---|---|---|---:|---:|---:|---|",
    ]
    for output, name, stats, why in rows:
        identical = "-" if stats["identical"] is None else f"{stats['identical']:.1%}"
        lines.append(
            f"| {output} | {name} | {stats['first'][0]} / {stats['first'][1]} | {stats['only'][0]} / "
            f"{stats['only'][1]} ({stats['gaps_only'][0]} / {stats['gaps_only'][1]}) | {identical} | "
            f"{fmt(stats['max_abs'])} | {fmt(stats['late_abs'])}"
            + ("" if stats["late_ulps"] is None else f" ({stats['late_ulps']})")
            + f" | {why} |"
        )
    path.write_text("\n".join(lines) + "\n")


COLOURS = {
    "quillora": "#1b6ca8",
    "quillora, out=": "#6fa8dc",
    "quillora, pandas": "#6fa8dc",
    "core per column": "#9e9e9e",
    "TA-Lib": "#e69138",
    "pandas": "#6aa84f",
    "polars": "#a64d79",
    "bottleneck": "#cc0000",
}


def write_chart(path, series, tables, libraries):
    """Panels of ns per element on a log scale, one thread: one series of 10**6 bars, then each table."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib: not installed, no chart (pip install matplotlib, or the bench extra)")
        return
    names = [name for name, _, _ in libraries]
    size = 10**6 if any(10**6 in v for v in series.values()) else max(max(v) for v in series.values())
    table_names = ["quillora", "core per column", *(n for n in names if not n.startswith("quillora"))]
    panels = [(f"one series, {size:,} bars", series, size, names)]
    panels += [
        (f"table, {TABLE_SYMBOLS} symbols x {bars:,} bars", tables, bars, table_names)
        for bars in sorted({b for v in tables.values() for b in v})
    ]
    figure, axes = plt.subplots(1, len(panels), figsize=(6.2 * len(panels), 4.8), sharey=True, squeeze=False)
    axes = axes[0]
    for axis, (title, results, key, shown) in zip(axes, panels):
        shown = [n for n in shown if any((i, n) in results for i in INDICATORS)]
        width = 0.84 / len(shown)
        for k, name in enumerate(shown):
            xs, heights = [], []
            for x, indicator in enumerate(INDICATORS):
                if (indicator, name) in results:
                    xs.append(x - 0.42 + width * (k + 0.5))
                    heights.append(results[(indicator, name)][key])
            drawn = axis.bar(xs, heights, width, label=name, color=COLOURS.get(name))
            axis.bar_label(drawn, labels=[f"{h:.2g}" for h in heights], fontsize=6, padding=1)
        axis.set_yscale("log")
        axis.set_xticks(range(len(INDICATORS)), INDICATORS)
        axis.set_title(title, fontsize=10)
        axis.grid(axis="y", which="both", alpha=0.3)
        axis.legend(fontsize=7, ncols=2)
    axes[0].set_ylabel("ns per element (lower is faster, log scale)")
    figure.suptitle(f"quillora and its peers, one thread: periods {PERIOD}, MACD {FAST}-{SLOW}-{SIGNAL}", fontsize=11)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


# --- main ----------------------------------------------------------------------------------------


def load_average():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes and rounds, to try the script out")
    parser.add_argument("--note", default="", help="a line for results.md (where and how it was measured)")
    parser.add_argument("--output", type=Path, default=HERE, help="folder for results.md and results.png")
    parser.add_argument("--polars-child", nargs=2, type=int, help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.polars_child:
        polars_child(*arguments.polars_child)
        return
    global SAMPLE_SECONDS
    sizes, bar_counts = SIZES, TABLE_BARS
    if arguments.quick:
        sizes, bar_counts, SAMPLE_SECONDS = [10**3, 10**5], [2_000], 0.002

    context = {
        "date": datetime.date.today().isoformat(),
        "machine": machine(),
        "versions": versions(),
        "load_before": load_average(),
        "note": arguments.note,
    }
    print(f"peers on {context['machine']}\n  {context['versions']}\n  load average {context['load_before']}")
    libraries = peers()
    print("1. one series, ns per bar")
    series = one_series(libraries, sizes)
    print(f"2. tables of {TABLE_SYMBOLS} symbols, ns per element")
    tables = table_speed(libraries, bar_counts)
    print(f"3. one call on {CALL_SIZE} bars, ns")
    overhead = call_overhead(libraries)
    for name, _, calls in libraries:
        print(f"  {name:<10} " + "  ".join(f"{i} {overhead[(i, name)]:.0f}" for i in calls))
    print("4. two threads against one, speed-up")
    scaling = two_threads(libraries, bar_counts)
    print(f"5. agreement with quillora on {AGREEMENT_BARS:,} bars")
    rows = agreement(libraries)
    print_agreement(rows)
    context["load_after"] = load_average()
    print(f"  load average {context['load_after']}")

    arguments.output.mkdir(parents=True, exist_ok=True)
    write_markdown(arguments.output / "results.md", context, series, tables, overhead, scaling, rows, libraries)
    write_chart(arguments.output / "results.png", series, tables, libraries)
    print(f"wrote {arguments.output / 'results.md'} and {arguments.output / 'results.png'}")


if __name__ == "__main__":
    main()
