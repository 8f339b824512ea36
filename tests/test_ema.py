"""indicator_ema: worked values, check order and messages, and bit-exact sweeps against the reference."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import ODD_VALUES, assert_same_bits, bits, run_in_threads, scatter_odd_values
from quillora import indicator_ema
from reference import MISSING, ema

INF = float("inf")
SENTINEL = float.fromhex("0x1.badc0ffeep+7")


def filled(n):
    return np.full(n, SENTINEL)


def assert_untouched(*outputs):
    for output in outputs:
        assert set(bits(output)) <= set(bits([SENTINEL]))


def run(period, data):
    output = filled(len(data))
    assert indicator_ema(period, np.array(data, dtype=np.float64), output) is None
    return output


WORKED = [
    (3, [1.0, 2.0, 3.0, 4.0, 5.0], [MISSING, MISSING, 2.0, 3.0, 4.0]),
    # A true division for the seed: 5.0 / 3, not 5.0 times the rounded reciprocal.
    (3, [1.0, 2.0, 2.0], [MISSING, MISSING, 1.6666666666666667]),
    # e * (1 - a) + x * a, not e + a * (x - e) (which gives 2.333333333333333).
    (2, [1.0, 1.0, 3.0], [MISSING, 1.0, 2.3333333333333335]),
    (3, [1.0, 2.0, MISSING, 4.0, 5.0, 6.0, 7.0, 8.0], [MISSING] * 5 + [5.0, 6.0, 7.0]),
    (2, [1.0, INF, 2.0, 3.0, INF, 4.0, MISSING, 5.0], [MISSING, MISSING, MISSING, 2.5, MISSING, 3.5, MISSING, 4.5]),
    (1, [3.0, MISSING, -0.0, 5.0], [3.0, MISSING, 0.0, 5.0]),
    (2, [-0.0, -0.0, 1.0], [MISSING, -0.0, 2.0 / 3.0]),
    (4, [1.0, 2.0, 4.0, 8.0], [MISSING] * 3 + [3.75]),
    (4, [1.0, 2.0, -INF, 8.0], [MISSING] * 4),
    (2, [1.0, MISSING, 2.0, INF, 3.0], [MISSING] * 5),
    (0, [1.0, 2.0], [MISSING] * 2),
    (3, [1.0, 2.0], [MISSING] * 2),
    (2**64 - 1, [1.0, 2.0], [MISSING] * 2),
]


@pytest.mark.parametrize("compute", [run, ema], ids=["native", "reference"])
@pytest.mark.parametrize("period, data, expected", WORKED)
def test_worked_values(compute, period, data, expected):
    assert_same_bits(compute(period, data), expected)


@pytest.mark.parametrize("period", [0, 1, 5, 2**64 - 1])
def test_empty_series_returns_none(period):
    assert indicator_ema(period, np.empty(0), np.empty(0)) is None


def every_second(n):
    return np.arange(2.0 * n)[::2]


def reversed_view(n):
    return np.arange(float(n))[::-1]


def packed_field(n):
    return np.zeros(n, dtype=[("tag", "i4"), ("value", "f8")])["value"]


def broadcast(n):
    return np.broadcast_to(np.float64(1.0), (n,))


NOT_CONTIGUOUS = [every_second, reversed_view, packed_field, broadcast]
INPUT_MESSAGE = "Input array must be C-contiguous and float64"
OUTPUT_MESSAGE = "Output array must be C-contiguous and float64"
LENGTH_MESSAGE = "Output array length must match input"


@pytest.mark.parametrize("make", NOT_CONTIGUOUS)
@pytest.mark.parametrize("output_length", [4, 5])
def test_data_contiguity_checked_before_lengths(make, output_length):
    output = filled(output_length)
    with pytest.raises(ValueError, match=f"^{INPUT_MESSAGE}$"):
        indicator_ema(2, make(4), output)
    assert_untouched(output)


@pytest.mark.parametrize("make", [every_second, reversed_view, packed_field])
@pytest.mark.parametrize("data_length", [4, 5])
def test_output_contiguity_checked_before_lengths(make, data_length):
    output = make(4)
    output[:] = SENTINEL
    with pytest.raises(ValueError, match=f"^{OUTPUT_MESSAGE}$"):
        indicator_ema(2, np.ones(data_length), output)
    assert_untouched(output)


@pytest.mark.parametrize("output_length", [0, 3, 5])
def test_length_mismatch(output_length):
    output = filled(output_length)
    with pytest.raises(ValueError, match=f"^{LENGTH_MESSAGE}$"):
        indicator_ema(2, np.ones(4), output)
    assert_untouched(output)


@pytest.mark.parametrize("make", NOT_CONTIGUOUS)
@pytest.mark.parametrize("length", [0, 1])
def test_short_views_count_as_contiguous(make, length):
    data, output = make(length), filled(length)
    indicator_ema(1, data, output)
    assert_same_bits(output, ema(1, data))
    if make is not broadcast:  # a broadcast view cannot be written
        output = make(length)
        indicator_ema(1, np.full(length, 2.0), output)
        assert_same_bits(output, [2.0] * length)


def test_type_check_of_output_comes_before_contiguity():
    with pytest.raises(
        TypeError, match=r"^argument 'output': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"
    ):
        indicator_ema(2, every_second(4), np.zeros(4, dtype=np.int64))


def test_read_only_output_is_refused_after_the_checks():
    output = filled(4)
    output.flags.writeable = False
    with pytest.raises(ValueError, match=f"^{LENGTH_MESSAGE}$"):
        indicator_ema(2, np.ones(5), output)
    with pytest.raises(ValueError, match=r"^argument 'output': output array is read-only$"):
        indicator_ema(2, np.ones(4), output)
    assert_untouched(output)


def test_keywords_in_any_order_bind_like_positions():
    data = np.array([1.0, 5.0, 2.0, 8.0])
    output = filled(4)
    indicator_ema(output=output, data=data, period=2)
    assert_same_bits(output, ema(2, data))


VALUES = st.one_of(st.sampled_from(ODD_VALUES), st.floats(width=64, allow_nan=False))


@st.composite
def period_and_series(draw):
    data = draw(st.lists(VALUES, max_size=40))
    n = len(data)
    edges = [0, 1, max(n - 1, 0), n, n + 1, 2**64 - 1]
    period = draw(st.sampled_from(edges) | st.integers(1, n + 1))
    return period, data


@settings(max_examples=200, deadline=None)
@given(period_and_series())
def test_matches_reference_on_generated_series(case):
    period, data = case
    assert_same_bits(run(period, data), ema(period, data))


@pytest.mark.parametrize("seed", range(6))
def test_matches_reference_on_long_series(seed):
    rng = np.random.default_rng(seed)
    n = 600
    data = rng.normal(100.0, 15.0, n)
    scatter_odd_values(rng, data, 0.02 * seed)
    for period in [1, 2, 12, 50, n - 1, n]:
        assert_same_bits(run(period, data), ema(period, data))


def test_reference_counts_unchanged_after_calls():
    data, output, short = np.arange(10.0), np.empty(10), np.empty(9)
    period = int("100000")
    held = [data, output, short, period]
    before = [sys.getrefcount(obj) for obj in held]
    for _ in range(1000):
        indicator_ema(period, data, output)
        with pytest.raises(ValueError):
            indicator_ema(period, data, short)
        with pytest.raises(TypeError):
            indicator_ema(period, data, [0.0] * 10)
    assert [sys.getrefcount(obj) for obj in held] == before


def test_concurrent_calls_give_the_reference_results():
    rng = np.random.default_rng(11)
    series = [rng.normal(size=20_000) for _ in range(8)]
    expected = [ema(30, data) for data in series]
    failures = []

    def work(k):
        for _ in range(20):
            output = np.empty(len(series[k]))
            indicator_ema(30, series[k], output)
            if bits(output) != bits(expected[k]):
                failures.append(k)

    run_in_threads(work, range(len(series)))
    assert failures == []
