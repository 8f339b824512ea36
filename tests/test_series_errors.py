"""quillora_series refuses wrong arguments with messages that say what to pass, before writing anything."""

import re

import numpy as np
import pandas as pd
import polars as pl
import pytest

import quillora_series as qs

X = np.linspace(1.0, 2.0, 10)
BARS = pd.DataFrame({"high": X + 1, "low": X - 1, "close": X})


class Index:
    """An integer that is not an int, as NumPy scalars are."""

    def __index__(self):
        return 3


ERRORS = [
    (lambda: qs.sma(X, 0), ValueError, "period must be a positive integer, got 0"),
    (lambda: qs.ema(X, -3), ValueError, "period must be a positive integer, got -3"),
    (lambda: qs.atr(X, X, X, period=14.0), TypeError, "period must be an integer, got float 14.0"),
    (lambda: qs.sma(X, True), TypeError, "period must be an integer, got bool True"),
    (lambda: qs.sma(X, 2**64), ValueError, "period must be at most 2**64 - 1, got 18446744073709551616"),
    (lambda: qs.macd(X, 26, 12), ValueError, "fast (26) must be less than slow (12)"),
    (lambda: qs.macd(X, signal=0), ValueError, "signal must be a positive integer, got 0"),
    (
        lambda: qs.sma(np.zeros((2, 3, 4)), 3),
        ValueError,
        "expected a 1-D series or a 2-D table, got an array of shape (2, 3, 4)",
    ),
    (lambda: qs.sma(np.array(1.0), 3), ValueError, "expected a 1-D series or a 2-D table, got an array of shape ()"),
    (lambda: qs.sma(np.float64(1.0), 3), TypeError, "expected a 1-D series or a 2-D table, got float64"),
    (lambda: qs.sma(1.5, 3), TypeError, "expected a 1-D series or a 2-D table, got float"),
    (lambda: qs.sma("1.5", 3), TypeError, "expected a 1-D series or a 2-D table, got str"),
    (lambda: qs.sma(X + 1j, 3), TypeError, "expected real numbers, got an array of dtype complex128"),
    (lambda: qs.sma(["1.5", "2"], 3), TypeError, "expected real numbers, got an array of dtype <U3"),
    (lambda: qs.sma([1.0, "a"], 3), TypeError, "expected real numbers, got an array of dtype <U32"),
    (lambda: qs.sma([1.0, {}], 3), TypeError, "expected real numbers, got list of object values"),
    (
        lambda: qs.sma(pd.Series(pd.date_range("2026-01-01", periods=3)), 3),
        TypeError,
        re.compile(r"expected real numbers, got a pandas Series of dtype datetime64\[\w+\]$"),
    ),
    (
        lambda: qs.sma(pd.DataFrame({"a": X, "b": "x"}), 3),
        TypeError,
        re.compile(r"expected real numbers, got column 'b'"),
    ),
    (lambda: qs.sma(pl.Series("s", ["a"]), 3), TypeError, "expected real numbers, got a polars Series of dtype String"),
    (
        lambda: qs.ema(pl.DataFrame({"a": [1.0], "t": ["x"]}), 3),
        TypeError,
        "expected real numbers, got column 't' of dtype String",
    ),
    (lambda: qs.atr(X, X, X[1:]), ValueError, "high, low and close must have the same length, got 10, 10 and 9"),
    (
        lambda: qs.atr(np.ones((10, 2)), np.ones((10, 2)), np.ones((9, 2))),
        ValueError,
        "high, low and close must have the same shape, got (10, 2), (10, 2) and (9, 2)",
    ),
    (
        lambda: qs.atr(pd.Series(X), pd.Series(X, index=range(1, 11)), X),
        ValueError,
        "high, low and close must have the same index and columns",
    ),
    (
        lambda: qs.atr(BARS, pd.DataFrame(BARS.to_numpy(), columns=["a", "b", "c"]), BARS),
        ValueError,
        "high, low and close must have the same index and columns",
    ),
    (lambda: qs.atr(BARS, 14), TypeError, "pass the period by keyword: atr(bars, period=14)"),
    (
        lambda: qs.atr(X, X),
        TypeError,
        "atr takes high, low and close, or one table of bars with high, low and close columns",
    ),
    (
        lambda: qs.atr(X),
        TypeError,
        "atr takes high, low and close, or one pandas or polars DataFrame with high, "
        "low and close columns, got ndarray",
    ),
    (
        lambda: qs.atr(BARS[["high", "low"]]),
        ValueError,
        "bars must have high, low and close columns, got columns ['high', 'low']",
    ),
    (
        lambda: qs.atr(pl.DataFrame({"HIGH": X, "High": X, "low": X, "close": X}), period=3),
        ValueError,
        "bars must have high, low and close columns, got columns ['HIGH', 'High', 'low', 'close']",
    ),
    (lambda: qs.sma(np.ones((300, 2)), 3, workers=0), ValueError, "workers must be a positive integer, got 0"),
    (lambda: qs.sma(X, 3, workers=1.0), TypeError, "workers must be an integer, got float 1.0"),
    (
        lambda: qs.sma(np.ones((3, 2)), 3, out=np.empty(3)),
        TypeError,
        "out must be a 2-D float64 NumPy array for a table, got an array of dtype float64 and shape (3,)",
    ),
    (
        lambda: qs.macd(np.ones((3, 2)), out=np.empty((3, 2))),
        TypeError,
        "out must be a tuple of 3 float64 tables (macd, signal, hist), got an array of dtype float64 and shape (3, 2)",
    ),
    (
        lambda: qs.rma(np.ones((3, 2)), 2, out=np.empty((2, 3))),
        ValueError,
        "out must have the table's shape (3, 2), got (2, 3)",
    ),
    (lambda: qs.ema(X, 3, out=[0.0] * 10), TypeError, "out must be a 1-D float64 NumPy array, got list"),
    (
        lambda: qs.atr(X, X, X, out=np.empty(10, np.float32)),
        TypeError,
        "out must be a 1-D float64 NumPy array, got an array of dtype float32 and shape (10,)",
    ),
    (
        lambda: qs.macd(X, out=np.empty(10)),
        TypeError,
        "out must be a tuple of three 1-D float64 NumPy arrays "
        "(macd, signal, hist), got an array of dtype float64 and shape (10,)",
    ),
    (
        lambda: qs.macd(X, out=(np.empty(10),) * 3),
        ValueError,
        "out arrays must not share memory: the MACD line, signal and histogram are all kept",
    ),
    # Contiguity, length and writeability of out are the core's own checks and messages.
    (lambda: qs.sma(X, 3, out=np.empty(20)[::2]), ValueError, "Output array must be C-contiguous and float64"),
    (lambda: qs.ema(list(X), 3, out=np.empty(9)), ValueError, "Output array length must match input"),
    (
        lambda: qs.macd(X, out=(np.empty(10), np.empty(10), np.empty(9))),
        ValueError,
        "All output arrays must have the same length as input data",
    ),
    (lambda: qs.atr(X, X, X, out=np.empty(10)[::-1]), ValueError, "Output array must be C-contiguous and float64"),
]


@pytest.mark.parametrize("call, error, message", ERRORS)
def test_error_messages(call, error, message):
    with pytest.raises(error) as raised:
        call()
    if isinstance(message, str):
        assert str(raised.value) == message
    else:
        assert message.match(str(raised.value))


@pytest.mark.parametrize("period", [Index(), np.int64(3), np.uint8(3)])
def test_integer_like_periods_are_accepted(period):
    assert np.array_equal(qs.sma(X, period), qs.sma(X, 3), equal_nan=True)


@pytest.mark.parametrize("period", [11, 2**64 - 1])
def test_a_period_longer_than_the_data_gives_all_missing(period):
    assert np.isnan(qs.sma(X, period)).all() and np.isnan(qs.atr(X, X, X, period=period)).all()


@pytest.mark.parametrize(
    "call",
    [
        lambda out: qs.sma(X, 0, out=out),
        lambda out: qs.atr(X, X, X[1:], out=out),
        lambda out: qs.macd(X, 5, 3, out=(out, np.empty(10), np.empty(10))),
    ],
)
def test_nothing_is_written_when_a_check_fails(call):
    out = np.full(10, 7.0)
    with pytest.raises(ValueError):
        call(out)
    assert (out == 7.0).all()
