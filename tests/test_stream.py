"""quillora_series.stream: live values against the core's batch run, bit for bit, however they are fed."""

import copy
import os
import pickle
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import quillora
from conftest import assert_same_bits
from quillora_series import stream
from reference import MISSING

HUGE = 2**64 - 1
# `make fuzz` raises this to run the identity property for a long time.
EXAMPLES = int(os.environ.get("QUILLORA_FUZZ_EXAMPLES", "150"))
OTHER_NAN = np.array([0xFFF8000000000123], dtype=np.uint64).view(np.float64)[0]
NICE = st.floats(-1e3, 1e3) | st.integers(-4, 4).map(float)
ODD = st.sampled_from([MISSING, OTHER_NAN, float("inf"), float("-inf"), -0.0, 0.0, 1e308]) | st.floats(width=64)
LIVE = {"sma": stream.SMA, "ema": stream.EMA, "macd": stream.MACD, "atr": stream.ATR}


def batch(name, periods, high, low, close):
    """The core's outputs over the whole series, as a list of arrays."""
    outputs = [np.empty(len(close)) for _ in range(3 if name == "macd" else 1)]
    if name == "macd":
        quillora.indicator_macd(*periods, close, *outputs)
    elif name == "atr":
        quillora.indicator_atr(*periods, high, low, close, *outputs)
    else:
        getattr(quillora, f"indicator_{name}")(*periods, close, *outputs)
    return outputs


def feed(live, name, high, low, close, how):
    """Feeds one chunk; returns the outputs as a list of arrays."""
    bars = (high, low, close) if name == "atr" else (close,)
    if how == "one by one":
        rows = [live.update(*bar) for bar in zip(*bars)]
        width = 3 if name == "macd" else 1
        columns = zip(*rows) if name == "macd" else [rows]
        return [np.array(column, dtype=np.float64) for column in columns] if rows else [np.empty(0)] * width
    if how == "strided":
        bars = tuple(np.repeat(series, 2)[::2] for series in bars)
    result = live.update_many(*bars)
    return list(result) if name == "macd" else [result]


CARRY = {
    "keep": lambda live: live,
    "pickle": lambda live: pickle.loads(pickle.dumps(live)),
    "text pickle": lambda live: pickle.loads(pickle.dumps(live, protocol=0)),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


@st.composite
def series(draw, n):
    """Mostly plain numbers; NaN, infinities, signed zeros and extremes at a few places."""
    values = draw(st.lists(NICE, min_size=n, max_size=n))
    for position, value in draw(st.lists(st.tuples(st.integers(0, n), ODD), max_size=n // 3)):
        values[position % n] = value
    return np.array(values, dtype=np.float64)


@st.composite
def plans(draw, name):
    n = draw(st.integers(0, 50))
    close = draw(series(n))
    high, low = (draw(series(n)), draw(series(n))) if name == "atr" else (close, close)

    def period(shortest):  # now and then one that no series reaches
        return HUGE if draw(st.integers(0, 9)) == 0 else draw(st.integers(shortest, shortest + n + 2))

    if name == "macd":
        fast = draw(st.integers(1, n + 2))
        periods = (fast, period(fast + 1), period(1))
    else:
        periods = (period(1),)
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=10)))
    chunks = [
        (
            start,
            stop,
            draw(st.sampled_from(["many", "one by one", "strided"])),
            draw(st.sampled_from(["keep", *CARRY])),
        )  # mostly kept as it is
        for start, stop in zip([0, *cuts], [*cuts, n])
    ]
    return periods, high, low, close, chunks


@pytest.mark.parametrize("name", LIVE)
@settings(max_examples=EXAMPLES, deadline=None)
@given(data=st.data())
def test_any_split_gives_the_batch_bits(name, data):
    periods, high, low, close, chunks = data.draw(plans(name))
    live = LIVE[name](*periods)
    pieces = []
    for start, stop, how, then in chunks:
        pieces.append(feed(live, name, high[start:stop], low[start:stop], close[start:stop], how))
        live = CARRY[then](live)
    for column, expected in enumerate(batch(name, periods, high, low, close)):
        assert_same_bits(np.concatenate([piece[column] for piece in pieces]), expected)


def random_bars(n, seed=5):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(size=n))
    return close + rng.random(n), close - rng.random(n), close


@pytest.mark.parametrize("name, periods", [("sma", (5,)), ("ema", (5,)), ("macd", (3, 7, 4)), ("atr", (5,))])
def test_copies_and_resets_share_nothing(name, periods):
    high, low, close = random_bars(40)
    live = LIVE[name](*periods)
    feed(live, name, high[:20], low[:20], close[:20], "many")
    twin = copy.copy(live)
    feed(twin, name, high[::-1], low[::-1], close[::-1], "many")
    rest = feed(live, name, high[20:], low[20:], close[20:], "many")
    for column, expected in enumerate(batch(name, periods, high, low, close)):
        assert_same_bits(rest[column], expected[20:])
    live.reset()
    again = feed(live, name, high, low, close, "many")
    for column, expected in enumerate(batch(name, periods, high, low, close)):
        assert_same_bits(again[column], expected)


@pytest.mark.parametrize(
    "huge, small",
    [
        (lambda: stream.SMA(HUGE), lambda: stream.SMA(10)),
        (lambda: stream.MACD(1, HUGE, HUGE), lambda: stream.MACD(3, 10, 4)),
    ],
)
def test_memory_is_bounded_by_the_window_not_the_updates(huge, small):
    # A huge window allocates nothing up front; a small one keeps as many samples however long it runs.
    assert np.isnan(huge().update_many(np.ones(1000))).all()
    live = small()
    live.update_many(np.ones(100))
    kept = len(live.__getstate__()[-1])
    live.update_many(np.ones(100_000))
    assert len(live.__getstate__()[-1]) == kept


CALLS = [
    (lambda: stream.SMA(0), ValueError, "period must be a positive integer, got 0"),
    (lambda: stream.EMA(2.0), TypeError, "period must be an integer, got float 2.0"),
    (lambda: stream.ATR(True), TypeError, "period must be an integer, got bool True"),
    (lambda: stream.SMA(2**64), ValueError, "period must be at most 2**64 - 1, got 18446744073709551616"),
    (lambda: stream.MACD(26, 12), ValueError, "fast (26) must be less than slow (12)"),
    (lambda: stream.MACD(signal=0), ValueError, "signal must be a positive integer, got 0"),
    (lambda: stream.SMA(3).update("1.5"), TypeError, "value must be a number, got str '1.5'"),
    (lambda: stream.MACD().update(None), TypeError, "value must be a number, got NoneType None"),
    (lambda: stream.ATR().update(1.0, [2.0], 3.0), TypeError, "low must be a number, got list [2.0]"),
    (lambda: stream.EMA(3).update_many([[1.0]]), ValueError, "values must be one-dimensional, got 2 dimensions"),
    (lambda: stream.ATR().update_many([1.0], 2.0, [3.0]), ValueError, "low must be one-dimensional, got 0 dimensions"),
    (
        lambda: stream.ATR().update_many([1.0], [2.0], [3.0, 4.0]),
        ValueError,
        "high, low and close must have the same length, got 1, 1 and 2",
    ),
    (
        lambda: stream.SMA(3).__setstate__((2, 3, 0, b"\0" * 8)),
        ValueError,
        "cannot restore SmaState: the saved state is damaged or from another version",
    ),
    (
        lambda: stream.SMA(3).__setstate__((1, 3, 5, b"\0" * 16)),
        ValueError,
        "cannot restore SmaState: the saved state is damaged or from another version",
    ),
    (
        lambda: stream.MACD().__setstate__((1, 12, 26, 9, 0, b"\0" * 20)),
        ValueError,
        "cannot restore MacdState: the saved state is damaged or from another version",
    ),
]


@pytest.mark.parametrize("call, error, message", CALLS)
def test_wrong_arguments_are_refused_with_a_clear_message(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


def test_numbers_of_every_kind_are_taken():
    live = stream.SMA(1)
    assert [live.update(v) for v in (2, np.float32(0.5), np.int64(3), True)] == [2.0, 0.5, 3.0, 1.0]
    with pytest.raises(OverflowError):
        live.update(10**400)


def test_a_long_chunk_runs_without_the_lock_and_refuses_other_threads_meanwhile():
    data = np.arange(2.0**21)  # long enough that the other thread gets a turn during the chunk
    expected = batch("macd", (12, 26, 9), None, None, data)[2].view(np.uint64)
    refusals = []
    for _ in range(20):  # until the other thread has come in during a chunk
        live = stream.MACD()
        started, done = threading.Event(), threading.Event()

        def meddle(live=live, started=started, done=done):
            # Copies read the state without changing the series, so the chunk's values stay checkable.
            started.set()
            while not done.is_set():
                try:
                    copy.copy(live)
                except RuntimeError as error:
                    refusals.append(str(error))

        thread = threading.Thread(target=meddle)
        thread.start()
        started.wait()
        try:
            assert np.array_equal(live.update_many(data).hist.view(np.uint64), expected)
        finally:
            done.set()
            thread.join()
        if refusals:
            break
    assert set(refusals) == {"this indicator is being updated on another thread"}
