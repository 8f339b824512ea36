"""indicator_atr: worked values, check order and messages, and bit-exact sweeps against the reference."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import ODD_VALUES, assert_same_bits, assert_same_bits_as_reference, bits, scatter_odd_values
from quillora import indicator_atr
from reference import MISSING, atr

INF = float("inf")
SENTINEL = float.fromhex("0x1.badc0ffeep+7")
MAX = 2**64 - 1
# The NaN this machine's arithmetic makes from inf - inf, as distinct from the marker.
COMPUTED_NAN = INF - INF

HIGH = [10.0, 11.0, 12.0, 11.5, 13.0]
LOW = [9.0, 10.0, 10.5, 10.0, 11.0]
CLOSE = [9.5, 10.5, 11.0, 11.0, 12.5]

LENGTH_MESSAGE = "All arrays must have the same length"
CONTIGUITY_MESSAGES = [
    "High array must be C-contiguous and float64",
    "Low array must be C-contiguous and float64",
    "Close array must be C-contiguous and float64",
    "Output array must be C-contiguous and float64",
]


def filled(n):
    return np.full(n, SENTINEL)


def assert_untouched(output):
    assert set(bits(output)) <= set(bits([SENTINEL]))


def run(period, high, low, close):
    arrays = [np.array(series, dtype=np.float64) for series in (high, low, close)]
    output = filled(len(close))
    assert indicator_atr(period, *arrays, output) is None
    return output


def changed(series, index, value):
    series = list(series)
    series[index] = value
    return series


WORKED = [
    (2, HIGH, LOW, CLOSE, [MISSING, MISSING, 1.5, 1.5, 1.75]),
    (4, HIGH, LOW, CLOSE, [MISSING] * 4 + [1.625]),
    # A NaN high leaves only the low gap of bar 1.
    (2, changed(HIGH, 1, MISSING), LOW, CLOSE, [MISSING, MISSING, 1.0, 1.25, 1.625]),
    # A NaN previous close leaves only the range of bar 2.
    (1, [5.0, 6.0, 7.0], [4.0, 5.0, 6.0], [1.0, MISSING, 1.0], [MISSING, 5.0, 1.0]),
    # Bar 0's high and low and the last close never enter.
    (2, changed(HIGH, 0, MISSING), changed(LOW, 0, INF), changed(CLOSE, 4, -INF), [MISSING, MISSING, 1.5, 1.5, 1.75]),
    # All three terms NaN among the first bars: nothing ever recovers.
    (2, changed(HIGH, 2, MISSING), changed(LOW, 2, MISSING), CLOSE, [MISSING] * 5),
    # An infinite true range: infinite at its own index, then inf - inf.
    (2, changed(HIGH, 3, INF), LOW, CLOSE, [MISSING, MISSING, 1.5, INF, COMPUTED_NAN]),
    (2, changed(HIGH, 1, INF), LOW, CLOSE, [MISSING, MISSING, INF, COMPUTED_NAN, COMPUTED_NAN]),
    # A true range of -0.0 (a tie keeps the range) still averages to +0.0: the sum starts at +0.0.
    (1, [1.0, -0.0, -0.0], [1.0, 0.0, 0.0], [-0.0, -0.0, -0.0], [MISSING, 0.0, 0.0]),
    (0, HIGH, LOW, CLOSE, [MISSING] * 5),
    (5, HIGH, LOW, CLOSE, [MISSING] * 5),
    (MAX, HIGH, LOW, CLOSE, [MISSING] * 5),
    (1, [3.0], [1.0], [2.0], [MISSING]),
]


@pytest.mark.parametrize("compute", [run, atr], ids=["native", "reference"])
@pytest.mark.parametrize("period, high, low, close, expected", WORKED)
def test_worked_values(compute, period, high, low, close, expected):
    assert_same_bits(compute(period, high, low, close), expected)


@pytest.mark.parametrize("period", [0, 1, MAX])
def test_empty_series_returns_none(period):
    assert indicator_atr(period, np.empty(0), np.empty(0), np.empty(0), np.empty(0)) is None


def test_one_array_as_high_low_and_close():
    prices = np.random.default_rng(5).normal(100.0, 3.0, 200)
    output = filled(200)
    indicator_atr(14, prices, prices, prices, output)
    assert_same_bits(output, atr(14, prices, prices, prices))
    assert not np.isnan(output[14:]).any()


def every_second(n):
    return np.arange(2.0 * n)[::2]


def checked_call(period, *arrays):
    """Calls with a sentinel-filled output and returns the ValueError's message."""
    output = arrays[-1]
    if output.flags.writeable:
        output[:] = SENTINEL
    with pytest.raises(ValueError) as raised:
        indicator_atr(period, *arrays)
    assert_untouched(output)
    return str(raised.value)


@pytest.mark.parametrize("first", range(3))
@pytest.mark.parametrize(
    "make", [every_second, lambda n: np.arange(float(n))[::-1], lambda n: np.broadcast_to(np.float64(1.0), (n,))]
)
@pytest.mark.parametrize("output_length", [5, 6])
def test_input_contiguity_checked_in_order_before_lengths(first, make, output_length):
    arrays = [np.ones(5), np.ones(5), np.ones(5), filled(output_length)]
    for k in range(first, 3):
        arrays[k] = make(5 if k == first else 4)
    assert checked_call(2, *arrays) == CONTIGUITY_MESSAGES[first]


@pytest.mark.parametrize(
    "lengths", [(5, 5, 5, 4), (5, 5, 5, 6), (4, 5, 5, 5), (5, 6, 5, 5), (5, 5, 4, 5), (0, 5, 5, 5)]
)
@pytest.mark.parametrize("strided_output", [False, True])
def test_lengths_checked_before_output_contiguity(lengths, strided_output):
    *inputs, output = [np.ones(n) for n in lengths]
    if strided_output:
        output = every_second(lengths[-1])
    assert checked_call(MAX, *inputs, output) == LENGTH_MESSAGE


def test_output_contiguity():
    assert checked_call(2, np.ones(5), np.ones(5), np.ones(5), every_second(5)) == CONTIGUITY_MESSAGES[3]


@pytest.mark.parametrize("length", [0, 1])
def test_short_strided_views_are_accepted(length):
    inputs = [every_second(length) for _ in range(3)]
    output = every_second(length)
    indicator_atr(1, *inputs, output)
    assert_same_bits(output, [MISSING] * length)


def test_read_only_output_is_refused_after_the_checks():
    output = filled(5)
    output.flags.writeable = False
    assert checked_call(2, every_second(5), np.ones(5), np.ones(5), output) == CONTIGUITY_MESSAGES[0]
    assert checked_call(2, np.ones(5), np.ones(4), np.ones(5), output) == LENGTH_MESSAGE
    assert checked_call(2, np.ones(5), np.ones(5), np.ones(5), output) == "argument 'output': output array is read-only"


def test_keywords_in_any_order_bind_like_positions():
    high, low, close = (np.array(series) for series in (HIGH, LOW, CLOSE))
    output = filled(5)
    indicator_atr(output=output, close=close, low=low, high=high, period=2)
    assert_same_bits(output, [MISSING, MISSING, 1.5, 1.5, 1.75])


def test_binding_failure_names_the_argument():
    output = filled(5)
    with pytest.raises(TypeError, match=r"^argument 'low': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        indicator_atr(2, np.ones(5), np.ones(5, dtype=np.float32), every_second(5), output)
    assert_untouched(output)


VALUES = st.one_of(st.sampled_from(ODD_VALUES), st.floats(width=64, allow_nan=False))


@st.composite
def period_and_bars(draw):
    n = draw(st.integers(0, 30))
    high, low, close = (draw(st.lists(VALUES, min_size=n, max_size=n)) for _ in range(3))
    period = draw(st.sampled_from([0, 1, max(n - 1, 0), n, n + 1, MAX]) | st.integers(1, n + 1))
    return period, high, low, close


@settings(max_examples=200, deadline=None)
@given(period_and_bars())
def test_matches_reference_on_generated_bars(case):
    assert_same_bits_as_reference(run(*case), atr(*case))


@pytest.mark.parametrize("seed", range(6))
def test_matches_reference_on_long_series(seed):
    rng = np.random.default_rng(seed)
    n = 600
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    high = close + rng.exponential(1.0, n)
    low = close - rng.exponential(1.0, n)
    for series in (high, low, close):
        scatter_odd_values(rng, series, 0.005 * seed)
    for period in [1, 2, 14, 100, n - 1]:
        assert_same_bits_as_reference(run(period, high, low, close), atr(period, high, low, close))


def test_reference_counts_unchanged_after_calls():
    high, low, close, output, short = np.ones(10), np.ones(10), np.ones(10), np.empty(10), np.empty(9)
    period = int("100000")
    held = [high, low, close, output, short, period]
    before = [sys.getrefcount(obj) for obj in held]
    for _ in range(1000):
        indicator_atr(period, high, low, close, output)
        with pytest.raises(ValueError):
            indicator_atr(period, high, low, close, short)
        with pytest.raises(TypeError):
            indicator_atr(period, high, low, [0.0] * 10, output)
    assert [sys.getrefcount(obj) for obj in held] == before
