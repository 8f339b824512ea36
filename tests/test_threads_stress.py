"""Many Python threads at once on the parts that release the interpreter lock: table calls sharing
the worker pool, and live states fed long chunks. `make tsan` runs this file under ThreadSanitizer
with more rounds (QUILLORA_STRESS_ROUNDS); the suite runs it briefly."""

import os
import threading

import numpy as np
import pytest

import quillora_series as qs
from conftest import assert_same_bits
from quillora_series import stream

ROUNDS = int(os.environ.get("QUILLORA_STRESS_ROUNDS", "2"))
CALLERS = 4
# Past the length at which a live chunk runs without the interpreter lock.
LONG_CHUNK = 1 << 14
BUSY = "this indicator is being updated on another thread"


def bar_table(rng, bars, symbols):
    close = 100.0 + np.cumsum(rng.normal(size=(bars, symbols)), axis=0)
    return close + rng.random((bars, symbols)), close - rng.random((bars, symbols)), close


TABLE_CALLS = {
    "sma": lambda high, low, close, **kw: [qs.sma(close, 14, **kw)],
    "ema": lambda high, low, close, **kw: [qs.ema(close, 9, **kw)],
    "macd": lambda high, low, close, **kw: list(qs.macd(close, 12, 26, 9, **kw)),
    "atr": lambda high, low, close, **kw: [qs.atr(high, low, close, 14, **kw)],
}


def one_series_at_a_time(name, high, low, close):
    columns = [TABLE_CALLS[name](high[:, i], low[:, i], close[:, i]) for i in range(close.shape[1])]
    return [np.stack([column[k] for column in columns], axis=1) for k in range(len(columns[0]))]


def run_all(work, count):
    """Runs work(caller) on `count` threads at once; re-raises the first failure of any."""
    failures = []
    start = threading.Barrier(count)

    def guarded(caller):
        try:
            start.wait()
            work(caller)
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            failures.append(error)

    threads = [threading.Thread(target=guarded, args=(caller,)) for caller in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


def test_table_calls_from_many_threads_give_each_series_its_own_bits():
    rng = np.random.default_rng(18)
    bars = bar_table(rng, 1500, 40)
    tables = {order: [np.asarray(t, order=order) for t in bars] for order in "CF"}
    expected = {name: one_series_at_a_time(name, *tables["C"]) for name in TABLE_CALLS}

    # Every caller runs every indicator with its own worker count, so calls of different kinds
    # contend for the pool, and a caller that finds it taken computes with fewer threads.
    def work(caller):
        for round_ in range(ROUNDS):
            for name in TABLE_CALLS:
                order = "CF"[(caller + round_) % 2]
                results = TABLE_CALLS[name](*tables[order], workers=2 + (caller + round_) % 3)
                for result, wanted in zip(results, expected[name]):
                    assert_same_bits(np.asarray(result).ravel(), wanted.ravel())

    run_all(work, CALLERS)


LIVE = {
    "sma": lambda: stream.SMA(5),
    "ema": lambda: stream.EMA(5),
    "macd": lambda: stream.MACD(3, 7, 4),
    "atr": lambda: stream.ATR(5),
}


def feed(live, name, chunk):
    """One update_many of `chunk`, as a list of output arrays."""
    if name == "atr":
        return [live.update_many(chunk + 1.0, chunk - 1.0, chunk)]
    result = live.update_many(chunk)
    return list(result) if name == "macd" else [result]


def feed_one(live, name, value):
    """One update with `value`, as a list of one-element output arrays."""
    result = live.update(value + 1.0, value - 1.0, value) if name == "atr" else live.update(value)
    return [np.array([x]) for x in (result if name == "macd" else [result])]


@pytest.mark.parametrize("name", LIVE)
def test_one_live_state_fed_from_many_threads_takes_whole_chunks_or_refuses(name):
    # Every sample is the same, so the outputs do not depend on which caller wins: a state that
    # took whole calls one after another is the state of one series of that many samples.
    live = LIVE[name]()
    outputs = [[] for _ in range(CALLERS)]

    def work(caller):
        for _ in range(4 * ROUNDS):
            for call in (lambda: feed(live, name, np.full(LONG_CHUNK, 7.0)), lambda: feed_one(live, name, 7.0)):
                try:
                    outputs[caller].append(call())
                except RuntimeError as error:
                    assert str(error) == BUSY

    run_all(work, CALLERS)
    taken = [piece for out in outputs for piece in out]
    alone = LIVE[name]()
    whole = feed(alone, name, np.full(sum(len(piece[0]) for piece in taken), 7.0))
    assert live.__getstate__() == alone.__getstate__()
    # The warm-up's markers came out once, in whichever calls were first; every other output is
    # the settled value.
    for k, column in enumerate(whole):
        got = np.concatenate([piece[k] for piece in taken])
        assert np.isnan(got).sum() == np.isnan(column).sum()
        assert_same_bits(got[~np.isnan(got)], column[~np.isnan(column)])


@pytest.mark.parametrize("name", LIVE)
def test_live_states_of_their_own_on_many_threads_give_the_series_bits(name):
    make = LIVE[name]
    rng = np.random.default_rng(19)
    data = 100.0 + np.cumsum(rng.normal(size=(CALLERS, 3 * LONG_CHUNK + 5)), axis=1)
    expected = [feed(make(), name, series) for series in data]
    results = [None] * CALLERS

    def work(caller):
        for _ in range(ROUNDS):
            live = make()
            pieces = [
                feed(live, name, data[caller, i : i + LONG_CHUNK + 1]) for i in range(0, data.shape[1], LONG_CHUNK + 1)
            ]
            results[caller] = [np.concatenate(column) for column in zip(*pieces)]
            for got, wanted in zip(results[caller], expected[caller]):
                assert_same_bits(got, wanted)

    run_all(work, CALLERS)
