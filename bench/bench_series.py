"""quillora_series against the bare core: per-call cost, pandas Series, and thread scaling on tables.

1. Per-call cost on 16 float64 elements: each function with contiguous float64 NumPy input, against
   the core writing into arrays allocated beforehand. Target: at most 1.5 us more per call.
2. A pandas Series of 10**6 bars against the core plus the output it must allocate (np.empty, then
   the core call). Target: at most 1.3 times that.
3. A float64 table of 16 symbols x 10**6 bars, all four indicators, 1 worker against 2. Target: 2
   workers at least 1.8 times as fast. The tables run on the native kernels' own threads. Measured
   twice: with the whole process bound to two CPUs, the pool placing its threads itself, and with
   each thread bound to a CPU of its own (the calling thread to the first, the pool's worker thread,
   found by its name, to the second): unbound threads on a small shared machine are often not run in
   parallel, which hides any scaling. C order (bars, symbols), NumPy's default, and Fortran order
   (one contiguous column per symbol, as pandas keeps a table) are both shown. Beside them, the
   memory's own limit: the table copied into a new array of its shape by 1 and by 2 threads (each
   thread a contiguous half). Where that copy does not reach the target either, no split of the
   work can, and the verdict says BOUND.

Every ratio is measured side by side in one run, as the minimum of many repeats.
"""

import os
import threading
import time
import timeit

import numpy as np
import pandas as pd
from cpu_binding import bind_quillora_threads, bind_threads, two_cpus

import quillora
import quillora_series as qs

CALL_SIZE = 16
CALL_TARGET_NS = 1500
SERIES_BARS = 1_000_000
SERIES_TARGET = 1.3
TABLE_BARS, TABLE_SYMBOLS = 1_000_000, 16
SCALING_TARGET = 1.8
REPEATS = 7
# Timings of whole series and tables vary more than per-call costs on a shared machine.
LONG_REPEATS = 15


def per_call_ns(statement, names):
    timer = timeit.Timer(statement, globals=names)
    exec(statement, names)  # no first-use lookup in a timed run
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=REPEATS, number=number)) / number * 1e9


def call_costs():
    rng = np.random.default_rng(1)
    x, high, low = rng.random(CALL_SIZE), rng.random(CALL_SIZE) + 1.0, rng.random(CALL_SIZE) - 1.0
    names = {
        "qs": qs,
        "quillora": quillora,
        "x": x,
        "high": high,
        "low": low,
        "o": np.empty(CALL_SIZE),
        "o3": tuple(np.empty(CALL_SIZE) for _ in range(3)),
    }
    pairs = [
        ("qs.sma(x, 14)", "quillora.indicator_sma(14, x, o)"),
        ("qs.ema(x, 14)", "quillora.indicator_ema(14, x, o)"),
        ("qs.macd(x)", "quillora.indicator_macd(12, 26, 9, x, *o3)"),
        ("qs.atr(high, low, x)", "quillora.indicator_atr(14, high, low, x, o)"),
        ("qs.sma(x, 14, out=o)", "quillora.indicator_sma(14, x, o)"),
    ]
    print(f"1. per-call cost on {CALL_SIZE} float64 elements (best of {REPEATS})")
    for wrapped, bare in pairs:
        cost_wrapped, cost_bare = per_call_ns(wrapped, names), per_call_ns(bare, names)
        above = cost_wrapped - cost_bare
        verdict = "OK" if above <= CALL_TARGET_NS else "SLOW"
        print(
            f"   {wrapped:<22} {cost_wrapped:7.0f} ns   core {cost_bare:6.0f} ns   "
            f"above the core {above:6.0f} ns (target <= {CALL_TARGET_NS}): {verdict}"
        )


def best_seconds(runs, number=1):
    """Seconds per call of each named callable: the minimum over LONG_REPEATS samples of `number` calls,
    the samples of all callables interleaved so that drift on a shared machine hits them alike."""
    best = dict.fromkeys(runs, float("inf"))
    for _ in range(LONG_REPEATS):
        for name, run in runs.items():
            started = time.perf_counter()
            for _ in range(number):
                run()
            best[name] = min(best[name], (time.perf_counter() - started) / number)
    return best


def pandas_series():
    values = np.random.default_rng(2).random(SERIES_BARS)
    series = pd.Series(values, index=pd.date_range("2026-01-05", periods=SERIES_BARS, freq="s"), name="close")
    print(f"2. pandas Series of {SERIES_BARS:,} bars against the core plus its output allocation")

    def core_sma():
        quillora.indicator_sma(20, values, np.empty(SERIES_BARS))

    def core_ema():
        quillora.indicator_ema(20, values, np.empty(SERIES_BARS))

    best = best_seconds(
        {
            "qs.sma(series, 20)": lambda: qs.sma(series, 20),
            "sma core": core_sma,
            "qs.ema(series, 20)": lambda: qs.ema(series, 20),
            "ema core": core_ema,
        },
        number=20,
    )
    for name in ("sma", "ema"):
        wrapped, bare = best[f"qs.{name}(series, 20)"], best[f"{name} core"]
        ratio = wrapped / bare
        verdict = "OK" if ratio <= SERIES_TARGET else "SLOW"
        print(
            f"   qs.{name}(series, 20) {wrapped * 1e3:6.2f} ms   np.empty + core {bare * 1e3:6.2f} ms   "
            f"ratio {ratio:.2f} (target <= {SERIES_TARGET}): {verdict}"
        )


def copy_call(data, threads, cpus):
    """A call that copies `data` into a new array of its layout on `threads` threads bound to `cpus`,
    each copying a contiguous part of the memory (NumPy releases the lock for the copy)."""
    flat = data.reshape(-1, order="F" if data.flags.f_contiguous and not data.flags.c_contiguous else "C")
    halves = np.array_split(np.arange(flat.size), threads)

    def copy():
        out = np.empty_like(flat)
        spans = [(int(h[0]), int(h[-1]) + 1) for h in halves]
        workers = [
            threading.Thread(target=copy_span, args=(flat, out, span, cpu)) for span, cpu in zip(spans[1:], cpus[1:])
        ]
        for worker in workers:
            worker.start()
        copy_span(flat, out, spans[0], None)
        for worker in workers:
            worker.join()

    return copy


def copy_span(source, target, span, cpu):
    if cpu is not None:
        os.sched_setaffinity(0, {cpu})
    target[span[0] : span[1]] = source[span[0] : span[1]]


def table_scaling():
    cpus = two_cpus()
    if cpus is None:
        print("3. table scaling: skipped, this process may use only one CPU")
        return
    first, second = cpus
    everywhere = os.sched_getaffinity(0)
    table = np.random.default_rng(3).random((TABLE_BARS, TABLE_SYMBOLS))
    layouts = {"C order": table, "Fortran order": np.asfortranarray(table)}
    calls = {
        "sma": lambda t, w: qs.sma(t, 20, workers=w),
        "ema": lambda t, w: qs.ema(t, 20, workers=w),
        "macd": lambda t, w: qs.macd(t, workers=w),
        "atr": lambda t, w: qs.atr(t, t, t, workers=w),
    }
    qs.sma(table, 20, workers=2)  # starts the pool's worker thread
    bindings = {
        f"process on CPUs {first},{second}": lambda: bind_threads({first, second}),
        f"threads on CPU {first} | {second}": lambda: bind_quillora_threads(first, second),
    }
    print(f"3. table of {TABLE_SYMBOLS} symbols x {TABLE_BARS:,} bars, 1 worker against 2 (best of {LONG_REPEATS})")
    try:
        for binding, bind in bindings.items():
            if not bind():
                print(f"   {binding}: skipped, threads could not be bound")
                continue
            for layout, data in layouts.items():
                copies = best_seconds({"1": copy_call(data, 1, cpus), "2": copy_call(data, 2, cpus)})
                copy_one, copy_two = copies["1"], copies["2"]
                copy_speedup = copy_one / copy_two
                print(
                    f"   {binding:<22} {layout:<13} copy  1 thread  {copy_one * 1e3:7.1f} ms   "
                    f"2 threads {copy_two * 1e3:7.1f} ms   speedup {copy_speedup:.2f} (the memory's limit)"
                )
                for name, call in calls.items():
                    best = best_seconds(
                        {
                            "1": lambda data=data, call=call: call(data, 1),
                            "2": lambda data=data, call=call: call(data, 2),
                        }
                    )
                    speedup = best["1"] / best["2"]
                    verdict = "OK" if speedup >= SCALING_TARGET else "SLOW"
                    if verdict == "SLOW" and copy_speedup < SCALING_TARGET and speedup >= 0.9 * copy_speedup:
                        verdict = f"BOUND (a copy scales {copy_speedup:.2f})"
                    print(
                        f"   {binding:<22} {layout:<13} {name:<4}  1 worker {best['1'] * 1e3:7.1f} ms   "
                        f"2 workers {best['2'] * 1e3:7.1f} ms   speedup {speedup:.2f} "
                        f"(target >= {SCALING_TARGET}): {verdict}"
                    )
    finally:
        bind_threads(everywhere)


def main():
    call_costs()
    pandas_series()
    table_scaling()


if __name__ == "__main__":
    main()
