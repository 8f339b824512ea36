"""indicator_macd: worked values, check order and messages, length queries, and bit-exact sweeps."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import (
    ODD_VALUES,
    assert_same_bits,
    assert_same_bits_as_reference,
    bits,
    run_in_threads,
    scatter_odd_values,
)
from quillora import indicator_macd
from reference import MISSING, macd

INF = float("inf")
SENTINEL = float.fromhex("0x1.badc0ffeep+7")
MAX = 2**64 - 1

PERIODS_MESSAGE = "Periods must be greater than 0"
ORDER_MESSAGE = "Fast period must be less than slow period"
LENGTH_MESSAGE = "All output arrays must have the same length as input data"
CONTIGUITY_MESSAGES = [
    "Input array must be C-contiguous",
    "MACD output array must be C-contiguous",
    "Signal output array must be C-contiguous",
    "Histogram output array must be C-contiguous",
]


def filled(n, kind=np.ndarray):
    return np.full(n, SENTINEL).view(kind)


def assert_untouched(*outputs):
    for output in outputs:
        assert set(bits(output)) <= set(bits([SENTINEL]))


def run(fast, slow, signal, data):
    data = np.array(data, dtype=np.float64)
    outputs = [filled(len(data)) for _ in range(3)]
    assert indicator_macd(fast, slow, signal, data, *outputs) is None
    return outputs


def assert_matches_reference(fast, slow, signal, data):
    for actual, expected in zip(run(fast, slow, signal, data), macd(fast, slow, signal, data)):
        assert_same_bits_as_reference(actual, expected)


def test_worked_example():
    outputs = run(2, 3, 2, [1.0, 2.0, 4.0, 8.0, 16.0, 32.0])
    nan = float("nan")
    table = [
        [nan, nan, 0.666667, 1.166667, 2.194444, 4.300926],
        [nan, nan, nan, 1.166667, 1.851852, 3.484568],
        [nan, nan, nan, 0.0, 0.342593, 0.816358],
    ]
    for output, row in zip(outputs, table):
        np.testing.assert_allclose(output, row, rtol=0, atol=5e-7)
        assert_same_bits(output[np.isnan(output)], [MISSING] * int(np.isnan(row).sum()))
    macd_line, signal_line, hist = outputs
    # Seeds at index 2: (4 + 2) / 2 and (4 + 2 + 1) / 3, newest first; the signal starts at index 3 at the line.
    assert_same_bits(macd_line[2:3], [(-0.0 + 4.0 + 2.0) / 2.0 - (-0.0 + 4.0 + 2.0 + 1.0) / 3.0])
    assert_same_bits([signal_line[3], hist[3]], [macd_line[3], 0.0])
    assert_matches_reference(2, 3, 2, [1.0, 2.0, 4.0, 8.0, 16.0, 32.0])


def test_missing_value_after_the_signal_started_shifts_the_rest():
    with_gap = run(2, 3, 2, [1.0, 2.0, 4.0, 8.0, MISSING, 16.0, 32.0])
    without = run(2, 3, 2, [1.0, 2.0, 4.0, 8.0, 16.0, 32.0])
    for gapped, plain in zip(with_gap, without):
        assert_same_bits(gapped, np.concatenate([plain[:4], [MISSING], plain[4:]]))


@pytest.mark.parametrize(
    "periods, data",
    [
        # A missing value in the slow window when the fast window is clean: S stays NaN for good.
        ((2, 3, 2), [1.0, MISSING, 3.0, 4.0, 5.0, 6.0]),
        # Both averages infinite with the same sign: the line is inf - inf.
        ((2, 3, 2), [1.0, 2.0, INF, INF, 5.0, 6.0]),
        ((2, 4, 3), [1.0, 2.0, 3.0, -INF, 5.0, 6.0, 7.0]),
    ],
)
def test_lines_that_never_recover(periods, data):
    for output in run(*periods, data):
        assert np.isnan(output).all()
    assert_matches_reference(*periods, data)


def test_signal_period_one_follows_the_line():
    data = np.random.default_rng(3).normal(50.0, 5.0, 30)
    macd_line, signal_line, hist = run(3, 7, 1, data)
    assert_same_bits(signal_line[6:], macd_line[6:])
    assert_same_bits(hist[6:], [0.0] * 24)
    assert_same_bits(macd_line[:6], [MISSING] * 6)


def test_first_values_of_the_usual_periods():
    macd_line, signal_line, hist = run(12, 26, 9, np.linspace(10.0, 40.0, 60))
    assert np.isnan(macd_line[:25]).all() and not np.isnan(macd_line[25:]).any()
    for line in (signal_line, hist):
        assert np.isnan(line[:33]).all() and not np.isnan(line[33:]).any()


@pytest.mark.parametrize("periods", [(4, 6, 2), (2, 6, 1), (5, 9, 3)])
def test_series_shorter_than_the_slow_period_is_all_missing(periods):
    for output in run(*periods, [1.0, 2.0, 3.0, 4.0, 5.0]):
        assert_same_bits(output, [MISSING] * 5)


def test_empty_series_returns_none():
    assert indicator_macd(2, 3, 2, np.empty(0), np.empty(0), np.empty(0), np.empty(0)) is None


@pytest.mark.parametrize(
    "periods", [(2, 3, MAX), (2, 4, MAX - 1), (2, 3, MAX - 1), (1, 2, MAX), (1, MAX, 1), (MAX - 1, MAX, MAX)]
)
def test_huge_periods_never_start_early(periods):
    data = np.arange(1.0, 13.0)
    macd_line, signal_line, hist = run(*periods, data)
    assert np.isnan(signal_line).all() and np.isnan(hist).all()
    assert_matches_reference(*periods, data)


def checked_call(fast, slow, signal, data, *outputs):
    """Calls with sentinel-filled outputs and returns the ValueError's message."""
    for output in outputs:
        if output.flags.writeable:
            output[:] = SENTINEL
    with pytest.raises(ValueError) as raised:
        indicator_macd(fast, slow, signal, data, *outputs)
    assert_untouched(*outputs)
    return str(raised.value)


def every_second(n):
    return np.arange(2.0 * n)[::2]


@pytest.mark.parametrize(
    "periods, message",
    [
        ((0, 3, 2), PERIODS_MESSAGE),
        ((2, 0, 2), PERIODS_MESSAGE),
        ((2, 3, 0), PERIODS_MESSAGE),
        ((0, 0, 0), PERIODS_MESSAGE),
        ((5, 0, 1), PERIODS_MESSAGE),
        ((3, 2, 0), PERIODS_MESSAGE),
        ((3, 3, 2), ORDER_MESSAGE),
        ((4, 3, 2), ORDER_MESSAGE),
        ((MAX, 2, 1), ORDER_MESSAGE),
    ],
)
def test_periods_are_checked_first(periods, message):
    # Wrong output lengths and a strided input wait behind the period checks.
    assert checked_call(*periods, every_second(5), filled(4), filled(6), filled(5)) == message


@pytest.mark.parametrize("wrong", range(3))
@pytest.mark.parametrize("delta", [-1, 1])
@pytest.mark.parametrize("strided_data", [False, True])
def test_output_lengths_are_checked_before_contiguity(wrong, delta, strided_data):
    data = every_second(5) if strided_data else np.ones(5)
    outputs = [every_second(5) for _ in range(3)]
    outputs[wrong] = filled(5 + delta)
    assert checked_call(2, 3, 2, data, *outputs) == LENGTH_MESSAGE


@pytest.mark.parametrize("first", range(4))
def test_contiguity_in_order(first):
    arrays = [np.ones(5)] + [filled(5) for _ in range(3)]
    for k in range(first, 4):
        arrays[k] = np.arange(10.0)[::-2]
    assert checked_call(2, 3, 2, *arrays) == CONTIGUITY_MESSAGES[first]


@pytest.mark.parametrize("length", [0, 1])
def test_short_strided_views_are_accepted(length):
    data, outputs = every_second(length), [every_second(length) for _ in range(3)]
    indicator_macd(1, 2, 1, data, *outputs)
    for output, expected in zip(outputs, macd(1, 2, 1, data)):
        assert_same_bits(output, expected)


class QueriedLength(np.ndarray):
    """Logs each length query; answers `claimed` (by default its element count) or raises `error`."""

    log, name, claimed, error = None, None, None, None

    def __len__(self):
        if self.log is not None:
            self.log.append(self.name)
        if self.error is not None:
            raise self.error
        return self.shape[0] if self.claimed is None else self.claimed


def queried(n, **attributes):
    output = filled(n, QueriedLength)
    for name, value in attributes.items():
        setattr(output, name, value)
    return output


NAMES = ["macd_output", "signal_output", "hist_output"]


@pytest.mark.parametrize("held, claimed", [(4, 5), (6, 5), (5, 4), (5, 6), (0, 5)])
@pytest.mark.parametrize("position", range(3))
def test_length_query_and_element_count_must_both_match(held, claimed, position):
    outputs = [filled(5) for _ in range(3)]
    outputs[position] = queried(held, claimed=claimed)
    # The element count is compared before the strided input is looked at.
    assert checked_call(2, 3, 2, every_second(5), *outputs) == LENGTH_MESSAGE


def test_length_queries_run_in_parameter_order():
    log = []
    outputs = [queried(5, log=log, name=name) for name in NAMES]
    indicator_macd(2, 3, 2, np.arange(5.0), *outputs)
    assert log == NAMES
    for output, expected in zip(outputs, macd(2, 3, 2, np.arange(5.0))):
        assert_same_bits(output, expected)


@pytest.mark.parametrize("failing", range(3))
@pytest.mark.parametrize("kind", [KeyError, OverflowError, TypeError])
def test_failing_length_query_propagates_unchanged(failing, kind):
    error, log = kind("from __len__"), []
    outputs = [queried(5, log=log, name=name, error=error if k == failing else None) for k, name in enumerate(NAMES)]
    # All queries come before any comparison, so a short first output does not pre-empt a failing query.
    if failing > 0:
        outputs[0] = queried(4, log=log, name=NAMES[0], claimed=5)
    with pytest.raises(kind) as raised:
        indicator_macd(2, 3, 2, np.arange(5.0), *outputs)
    assert raised.value is error
    assert log == NAMES[: failing + 1]
    assert_untouched(*outputs)


def test_no_length_query_when_the_periods_fail():
    log = []
    outputs = [queried(5, log=log, name=name, error=RuntimeError("queried")) for name in NAMES]
    assert checked_call(0, 3, 2, np.arange(5.0), *outputs) == PERIODS_MESSAGE
    assert log == []


@pytest.mark.parametrize("resized", ["output", "data"])
def test_length_query_that_resizes_an_array_cannot_redirect_the_pass(fresh_python, resized):
    # The query runs Python code; element counts and data pointers must be read after it.
    result = fresh_python(f"""
        import numpy as np, quillora
        n = 4096
        data = np.arange(float(n))
        class Resizing(np.ndarray):
            def __len__(self):
                ({resized}).resize(0, refcheck=False)
                return n
        output = np.ndarray.__new__(Resizing, (n,), dtype=np.float64)
        try:
            quillora.indicator_macd(2, 3, 2, data, output, np.empty(n), np.empty(n))
        except ValueError as error:
            print(error)
    """)
    assert (result.returncode, result.stdout) == (0, LENGTH_MESSAGE + "\n"), result.stderr


@pytest.mark.parametrize("read_only", [[0], [1], [2], [1, 2], [0, 1, 2]])
def test_read_only_outputs_are_refused_after_the_checks(read_only):
    outputs = [filled(5) for _ in range(3)]
    for k in read_only:
        outputs[k].flags.writeable = False
    assert checked_call(2, 3, 0, np.ones(5), *outputs) == PERIODS_MESSAGE
    assert checked_call(2, 3, 2, every_second(5), *outputs) == CONTIGUITY_MESSAGES[0]
    assert checked_call(2, 3, 2, np.ones(5), *outputs) == f"argument '{NAMES[read_only[0]]}': output array is read-only"


def test_keywords_in_any_order_bind_like_positions():
    data = np.arange(1.0, 9.0) ** 2
    outputs = [filled(8) for _ in range(3)]
    indicator_macd(
        hist_output=outputs[2],
        data=data,
        signal_period=2,
        macd_output=outputs[0],
        slow_period=4,
        signal_output=outputs[1],
        fast_period=2,
    )
    for output, expected in zip(outputs, macd(2, 4, 2, data)):
        assert_same_bits(output, expected)


def test_binding_failure_names_the_argument():
    outputs = [filled(3) for _ in range(3)]
    with pytest.raises(
        TypeError, match=r"^argument 'signal_output': 'list' object cannot be converted to 'PyArray<T, D>'$"
    ):
        indicator_macd(0, 3, 2, np.ones(3), outputs[0], [0.0] * 3, outputs[2])
    assert_untouched(*outputs)


VALUES = st.one_of(st.sampled_from(ODD_VALUES), st.floats(width=64, allow_nan=False))


@st.composite
def periods_and_series(draw):
    data = draw(st.lists(VALUES, max_size=40))
    n = len(data)
    fast = draw(st.sampled_from([1, 2, max(n - 1, 1), n + 1, MAX - 1]) | st.integers(1, n + 1))
    slow = draw(
        st.sampled_from([fast + 1, n, n + 1, MAX]).filter(lambda p: fast < p <= MAX)
        | st.integers(fast + 1, min(fast + n + 2, MAX))
    )
    signal = draw(st.sampled_from([1, 2, max(n - 1, 1), max(n, 1), n + 1, MAX - 1, MAX]) | st.integers(1, n + 1))
    return fast, slow, signal, data


@settings(max_examples=200, deadline=None)
@given(periods_and_series())
def test_matches_reference_on_generated_series(case):
    assert_matches_reference(*case)


@pytest.mark.parametrize("seed", range(6))
def test_matches_reference_on_long_series(seed):
    rng = np.random.default_rng(seed)
    n = 500
    data = rng.normal(100.0, 15.0, n)
    scatter_odd_values(rng, data, 0.02 * seed)
    for periods in [(1, 2, 1), (12, 26, 9), (3, 50, 20), (n - 2, n - 1, 1), (5, n, 1), (1, n + 1, 3)]:
        assert_matches_reference(*periods, data)


def test_reference_counts_unchanged_after_calls():
    data, short = np.arange(10.0), np.empty(9)
    outputs = [np.empty(10) for _ in range(3)]
    fast, slow, signal = int("100000"), int("100001"), int("100002")
    held = [data, short, *outputs, fast, slow, signal]
    before = [sys.getrefcount(obj) for obj in held]
    for _ in range(1000):
        indicator_macd(fast, slow, signal, data, *outputs)
        with pytest.raises(ValueError):
            indicator_macd(fast, slow, signal, data, outputs[0], short, outputs[2])
        with pytest.raises(ValueError):
            indicator_macd(slow, fast, signal, data, *outputs)
        with pytest.raises(TypeError):
            indicator_macd(fast, slow, signal, data, outputs[0], outputs[1], None)
    assert [sys.getrefcount(obj) for obj in held] == before


def test_concurrent_calls_give_the_reference_results():
    rng = np.random.default_rng(12)
    series = [rng.normal(size=10_000) for _ in range(6)]
    expected = [[bits(line) for line in macd(12, 26, 9, data)] for data in series]
    failures = []

    def work(k):
        for _ in range(10):
            outputs = [np.empty(len(series[k])) for _ in range(3)]
            indicator_macd(12, 26, 9, series[k], *outputs)
            if [bits(output) for output in outputs] != expected[k]:
                failures.append(k)

    run_in_threads(work, range(len(series)))
    assert failures == []
