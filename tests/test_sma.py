"""indicator_sma: worked values and bit-exact sweeps against the step-by-step reference."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import assert_same_bits, assert_same_bits_as_reference
from quillora import indicator_sma
from reference import MISSING, sma

INF = float("inf")
SENTINEL = float.fromhex("0x1.badc0ffeep+7")


def run(period, data):
    output = np.full(len(data), SENTINEL)
    assert indicator_sma(period, np.array(data, dtype=np.float64), output) is None
    return output


WORKED = [
    (3, [1.0, 2.0, 3.0, 4.0, 5.0], [MISSING, MISSING, 2.0, 3.0, 4.0]),
    # The mean is the sum times the rounded reciprocal, not the sum divided by the period.
    (3, [1.0, 2.0, 2.0], [MISSING, MISSING, 1.6666666666666665]),
    # The window sum is slid, never recomputed: 1e16 + (1.0 - 1e16) is 0.0 in doubles.
    (1, [1e16, 1.0], [1e16, 0.0]),
    # An infinity leaving the window leaves inf - inf behind.
    (2, [1.0, INF, 2.0, 3.0, 4.0], [MISSING, INF, INF, float("nan"), float("nan")]),
    (3, [-0.0, -0.0, -0.0, 1.0], [MISSING, MISSING, -0.0, 1.0 / 3.0]),
    (4, [1.0, 2.0, 3.0, 4.0], [MISSING, MISSING, MISSING, 2.5]),
    (0, [1.0, 2.0], [MISSING, MISSING]),
    (3, [1.0, 2.0], [MISSING, MISSING]),
    (2**64 - 1, [1.0, 2.0], [MISSING, MISSING]),
]


@pytest.mark.parametrize("compute", [run, sma], ids=["native", "reference"])
@pytest.mark.parametrize("period, data, expected", WORKED)
def test_worked_values(compute, period, data, expected):
    result = compute(period, data)
    if any(np.isnan(expected[i]) and expected[i] is not MISSING for i in range(len(expected))):
        # inf - inf: the hardware's NaN, whatever its sign; compare the rest by bits.
        computed_nan = [i for i, v in enumerate(expected) if v != v and v is not MISSING]
        assert all(np.isnan(result[i]) for i in computed_nan)
        keep = [i for i in range(len(expected)) if i not in computed_nan]
        result, expected = [result[i] for i in keep], [expected[i] for i in keep]
    assert_same_bits(result, expected)


@pytest.mark.parametrize("nan_at, period", [(0, 3), (4, 3), (1, 5), (7, 2)])
def test_nan_spoils_everything_from_its_window_on(nan_at, period):
    data = np.arange(1.0, 11.0)
    data[nan_at] = np.nan
    result = run(period, data)
    start = max(nan_at, period - 1)
    assert np.isnan(result[start:]).all()
    assert not np.isnan(result[period - 1 : start]).any()


@pytest.mark.parametrize("period", [0, 1, 3, 2**64 - 1])
def test_empty_series(period):
    assert indicator_sma(period, np.empty(0), np.empty(0)) is None


ODD = st.sampled_from([MISSING, INF, -INF, -0.0, 0.0, 1e308, -1e308, 5e-324])
SAMPLES = st.one_of(st.floats(allow_nan=False, allow_infinity=False, width=64), ODD)


@settings(max_examples=300, deadline=None)
@given(data=st.lists(SAMPLES, max_size=40), period=st.integers(0, 45) | st.just(2**64 - 1))
def test_matches_reference_bit_for_bit(data, period):
    assert_same_bits_as_reference(run(period, data), sma(period, data))


@pytest.mark.parametrize("period", [1, 2, 14, 200, 999, 1000, 1001])
def test_long_series_match_reference(period):
    rng = np.random.default_rng(period)
    data = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, 1000)))
    assert_same_bits_as_reference(run(period, data), sma(period, data.tolist()))
