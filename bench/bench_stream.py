"""Live indicators: the cost of one update, and update_many on a long chunk against the core's batch call.

One update should cost at most a microsecond. update_many on a million samples runs the batch
routine's own kernel and should stay within 1.5 times the core over the same samples. update_many
returns new arrays, so the like-for-like batch call allocates its outputs too (np.empty, then the
core call); the core call alone, into outputs allocated once, is shown beside it. Fresh multi-megabyte
arrays cost page faults whoever allocates them: that is most of the gap for MACD's three outputs.
All three are timed in turn, best of many repeats.
"""

import time
import timeit

import numpy as np

import quillora
from quillora_series import stream

UPDATE_TARGET_NS = 1000.0
CHUNK = 1_000_000
CHUNK_TARGET_RATIO = 1.5
REPEATS = 30


def per_call_ns(statement, names):
    timer = timeit.Timer(statement, globals=names)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=7, number=number)) / number * 1e9


def best_seconds(*calls):
    """Best time of each call, run in turn so that all see the same machine state."""
    best = [float("inf")] * len(calls)
    for _ in range(REPEATS):
        for slot, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[slot] = min(best[slot], time.perf_counter() - start)
    return best


def main():
    rng = np.random.default_rng(7)
    close = 100.0 + np.cumsum(rng.normal(size=CHUNK))
    high, low = close + rng.random(CHUNK), close - rng.random(CHUNK)

    live = {
        "SMA(14)": stream.SMA(14),
        "EMA(14)": stream.EMA(14),
        "MACD(12, 26, 9)": stream.MACD(),
        "ATR(14)": stream.ATR(14),
    }
    chunks = {label: (high, low, close) if label.startswith("ATR") else (close,) for label in live}
    for label, indicator in live.items():  # past the warm-up, so the steady path is what gets timed
        indicator.update_many(*(series[:100] for series in chunks[label]))
    names = {"live": live}
    statements = {label: f"live[{label!r}].update(101.5)" for label in live}
    statements["ATR(14)"] = "live['ATR(14)'].update(102.0, 101.0, 101.5)"
    print(f"one update (best of 7), target <= {UPDATE_TARGET_NS:.0f} ns")
    for label, statement in statements.items():
        cost = per_call_ns(statement, names)
        print(f"  {label:<16} {cost:8.1f} ns  {'OK' if cost <= UPDATE_TARGET_NS else 'SLOW'}")

    outputs = [np.empty(CHUNK) for _ in range(3)]
    cores = {
        "SMA(14)": lambda *out: quillora.indicator_sma(14, close, *out),
        "EMA(14)": lambda *out: quillora.indicator_ema(14, close, *out),
        "MACD(12, 26, 9)": lambda *out: quillora.indicator_macd(12, 26, 9, close, *out),
        "ATR(14)": lambda *out: quillora.indicator_atr(14, high, low, close, *out),
    }
    print(
        f"update_many on {CHUNK:,} samples against the batch core (best of {REPEATS}), "
        f"target ratio <= {CHUNK_TARGET_RATIO}"
    )
    print(f"  {'':<16} {'core ms':>9} {'+ np.empty':>11} {'live ms':>9} {'ratio':>7} {'vs core alone':>14}")
    for label, core in cores.items():
        count = 3 if label.startswith("MACD") else 1
        core_alone, core_allocating, live_seconds = best_seconds(
            lambda core=core, count=count: core(*outputs[:count]),
            lambda core=core, count=count: core(*(np.empty(CHUNK) for _ in range(count))),
            lambda label=label: live[label].update_many(*chunks[label]),
        )
        ratio = live_seconds / core_allocating
        print(
            f"  {label:<16} {core_alone * 1e3:9.3f} {core_allocating * 1e3:11.3f} {live_seconds * 1e3:9.3f} "
            f"{ratio:7.3f} {live_seconds / core_alone:14.3f}  {'OK' if ratio <= CHUNK_TARGET_RATIO else 'SLOW'}"
        )


if __name__ == "__main__":
    main()
