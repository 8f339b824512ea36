"""quillora_series._native table kernels: every column carries the bits quillora gives it alone.

The native tests sweep the arithmetic edges on every instruction set; these check the binding:
every layout (C order, Fortran order, lists of columns), threads, overlapping arguments and the
messages of refused arguments.
"""

import numpy as np
import pytest

import reference
from conftest import assert_same_bits, assert_same_bits_as_reference, run_in_threads, scatter_odd_values
from quillora_series import _native

SEED = 20261208


def random_table(rng, bars, symbols, odd_rate=0.05):
    """A random walk per symbol with NaN, infinities and signed zeros scattered in."""
    table = 100.0 + rng.normal(size=(bars, symbols)).cumsum(axis=0)
    for column in table.T:
        values = column.copy()
        scatter_odd_values(rng, values, odd_rate)
        column[:] = values
    return table


def as_layout(table, layout):
    if layout == "rows":
        return np.ascontiguousarray(table)
    if layout == "Fortran order":
        return np.asfortranarray(table)
    return [np.ascontiguousarray(c) for c in table.T]


def empty_like_layout(bars, symbols, layout):
    if layout == "columns":
        return [np.full(bars, 1234.5) for _ in range(symbols)]
    return np.full((bars, symbols), 1234.5, order="F" if layout == "Fortran order" else "C")


def columns_of(result):
    return [np.asarray(c) for c in (result.T if isinstance(result, np.ndarray) else result)]


# name: (outputs, call of the table kernel, the one-series definition's outputs for one column)
INDICATORS = {
    "sma": (1, lambda t, o, w: _native.table_sma(14, t[0], o[0], workers=w), lambda c: [reference.sma(14, c[0])]),
    "ema": (1, lambda t, o, w: _native.table_ema(9, t[0], o[0], workers=w), lambda c: [reference.ema(9, c[0])]),
    "macd": (
        3,
        lambda t, o, w: _native.table_macd(12, 26, 9, t[0], *o, workers=w),
        lambda c: reference.macd(12, 26, 9, c[0]),
    ),
    "atr": (
        1,
        lambda t, o, w: _native.table_atr(14, t[0], t[1], t[2], o[0], workers=w),
        lambda c: [reference.atr(14, c[0], c[1], c[2])],
    ),
}


def run_table(name, tables, layout, workers=1):
    outputs, table_call, _ = INDICATORS[name]
    bars, symbols = tables[0].shape
    results = [empty_like_layout(bars, symbols, layout) for _ in range(outputs)]
    inputs = [as_layout(t, layout) for t in (tables if name == "atr" else tables[2:3])]
    assert table_call(inputs, results, workers) is None
    return [columns_of(r) for r in results]


def bar_tables(rng, bars, symbols):
    close = random_table(rng, bars, symbols)
    return [close + 0.5, close - 0.5, close]


@pytest.mark.parametrize("layout", ["rows", "columns", "Fortran order"])
@pytest.mark.parametrize("name", INDICATORS)
@pytest.mark.parametrize("bars, symbols", [(0, 3), (1, 5), (40, 1), (130, 17), (300, 64)])
def test_every_column_matches_quillora(name, layout, bars, symbols):
    tables = bar_tables(np.random.default_rng(SEED + bars + symbols), bars, symbols)
    outputs, _, one_series = INDICATORS[name]
    actual = run_table(name, tables, layout)
    for i in range(symbols):
        expected = one_series([t[:, i] for t in (tables if name == "atr" else tables[2:3])])
        for k in range(outputs):
            # Markers to the bit; a NaN made from two NaN operands keeps the payload of the operand
            # the compiler put first, which lanes and the one-series loop may order differently.
            assert_same_bits_as_reference(actual[k][i], expected[k])


@pytest.mark.parametrize("layout", ["rows", "columns"])
@pytest.mark.parametrize("name", INDICATORS)
def test_threads_give_the_serial_bits(name, layout):
    tables = bar_tables(np.random.default_rng(SEED), 2000, 70)
    # Threads split the table at other columns, so a column may run in another lane width; without
    # infinities no NaN meets another in arithmetic and every bit must agree.
    for table in tables:
        table[np.isinf(table)] = np.nan
    serial = run_table(name, tables, layout, workers=1)
    results = {}

    # Several callers at once: while one holds the worker threads the others compute alone.
    def work(caller):
        results[caller] = run_table(name, tables, layout, workers=2 + caller % 3)

    run_in_threads(work, range(4))
    for threaded in results.values():
        for expected, actual in zip(serial, threaded):
            for column_expected, column_actual in zip(expected, actual):
                assert_same_bits(column_actual, column_expected)


def test_inputs_shared_with_outputs_are_read_before_they_are_written():
    rng = np.random.default_rng(SEED)
    table = random_table(rng, 200, 9)
    expected = np.empty_like(table)
    _native.table_sma(5, table, expected)
    in_place = table.copy()
    _native.table_sma(5, in_place, in_place)
    assert_same_bits(in_place.ravel(), expected.ravel())

    high, low, close = table + 1.0, table - 1.0, [np.ascontiguousarray(c) for c in table.T]
    expected = [np.empty(200) for _ in range(9)]
    _native.table_atr(3, high, low, close, expected)
    _native.table_atr(3, high, low, close, close)
    for actual, wanted in zip(close, expected):
        assert_same_bits(actual, wanted)


TABLE = np.zeros((10, 4))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: _native.table_sma(3, TABLE.astype(np.float32), np.empty((10, 4))),
            TypeError,
            "data must have dtype float64, got float32 ndarray",
        ),
        (
            lambda: _native.table_sma(3, "prices", np.empty((10, 4))),
            TypeError,
            "data must be a float64 array or a list of float64 columns, got str",
        ),
        (
            lambda: _native.table_ema(3, [np.zeros(10), 7], [np.empty(10)] * 2),
            TypeError,
            "data[1] must be a float64 array, got int",
        ),
        (
            lambda: _native.table_sma(3, np.zeros(10), np.empty(10)),
            ValueError,
            "data must be 2-D (bars, symbols), got 1-D",
        ),
        (
            lambda: _native.table_sma(3, TABLE[:, ::2], np.empty((10, 2))),
            ValueError,
            "data must have contiguous rows (C order) or columns (Fortran order), got strides (32, 16) bytes",
        ),
        (
            lambda: _native.table_ema(3, [np.zeros(10), np.zeros(9)], np.empty((10, 2))),
            ValueError,
            "data[1] has 9 bars, data[0] has 10",
        ),
        (
            lambda: _native.table_sma(3, [np.zeros(20)[::2]], np.empty((10, 1))),
            ValueError,
            "data[0] must be contiguous",
        ),
        (lambda: _native.table_sma(3, TABLE, np.empty((11, 4))), ValueError, "output has 11 bars, data has 10"),
        (
            lambda: _native.table_atr(3, TABLE, TABLE, TABLE[:, :3], np.empty((10, 4))),
            ValueError,
            "close has 3 symbols, high has 4",
        ),
        (
            lambda: _native.table_sma(3, TABLE, np.empty((10, 4)), workers=0),
            ValueError,
            "workers must be at least 1, got 0",
        ),
        (
            lambda: _native.table_macd(0, 26, 9, TABLE, *(np.empty((10, 4)) for _ in range(3))),
            ValueError,
            "Periods must be greater than 0",
        ),
        (
            lambda: _native.table_macd(26, 26, 9, TABLE, *(np.empty((10, 4)) for _ in range(3))),
            ValueError,
            "Fast period must be less than slow period",
        ),
    ],
)
def test_refused_arguments(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


def test_refused_outputs_are_left_untouched():
    read_only = np.full((10, 4), 7.0)
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="^output is read-only$"):
        _native.table_sma(3, TABLE, read_only)
    shared = np.full((10, 4), 7.0)
    with pytest.raises(ValueError, match=r"^(macd|hist)_output and (macd|hist)_output overlap$"):
        _native.table_macd(2, 3, 1, TABLE, shared, np.full((10, 4), 7.0), shared)
    # One array listed twice: both series would be written into it.
    column = np.full(10, 7.0)
    with pytest.raises(ValueError, match=r"^output\[\d\] and output\[\d\] overlap$"):
        _native.table_ema(3, TABLE[:, :2].copy(), [column, column])
    assert (shared == 7.0).all() and (read_only == 7.0).all() and (column == 7.0).all()
