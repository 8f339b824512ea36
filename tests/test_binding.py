"""Argument binding and integer conversion: the messages callers see when a call is malformed."""

import sys

import numpy as np
import pytest

import quillora


def arrays(n=4):
    return np.arange(n, dtype=np.float64), np.zeros(n)


def raises_type_error(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    return caught.value


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda x, y: quillora.indicator_sma(),
            "indicator_sma() missing 3 required positional arguments: 'period', 'data', and 'output'",
        ),
        (lambda x, y: quillora.indicator_sma(5, x), "indicator_sma() missing 1 required positional argument: 'output'"),
        (
            lambda x, y: quillora.indicator_ema(5),
            "indicator_ema() missing 2 required positional arguments: 'data' and 'output'",
        ),
        (
            lambda x, y: quillora.indicator_macd(1, 2),
            "indicator_macd() missing 5 required positional arguments: 'signal_period', 'data', 'macd_output', "
            "'signal_output', and 'hist_output'",
        ),
        (
            lambda x, y: quillora.indicator_atr(1, high=x, output=y),
            "indicator_atr() missing 2 required positional arguments: 'low' and 'close'",
        ),
        (
            lambda x, y: quillora.indicator_atr(output=y, close=x, low=x, high=x),
            "indicator_atr() missing 1 required positional argument: 'period'",
        ),
        (
            lambda x, y: quillora.indicator_sma(5, x, y, x),
            "indicator_sma() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda x, y: quillora.indicator_sma(5, x, y, x, foo=1),
            "indicator_sma() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda x, y: quillora.indicator_macd(1, 2, 3, x, y, y, y, y),
            "indicator_macd() takes 7 positional arguments but 8 were given",
        ),
        (
            lambda x, y: quillora.indicator_sma(5, x, y, period=5),
            "indicator_sma() got multiple values for argument 'period'",
        ),
        (
            lambda x, y: quillora.indicator_atr(5, x, x, x, y, high=x),
            "indicator_atr() got multiple values for argument 'high'",
        ),
        (
            lambda x, y: quillora.indicator_sma(5, x, y, foo=1),
            "indicator_sma() got an unexpected keyword argument 'foo'",
        ),
        # An unknown keyword is reported before anything missing.
        (lambda x, y: quillora.indicator_sma(5, foo=1), "indicator_sma() got an unexpected keyword argument 'foo'"),
        (
            lambda x, y: quillora.indicator_sma(**{"\udcff": 1}),
            "indicator_sma() got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
        ),
    ],
)
def test_binding_messages(call, message):
    x, y = arrays()
    before = y.copy()
    error = raises_type_error(lambda: call(x, y), message)
    assert type(error) is TypeError and error.__cause__ is None
    assert np.array_equal(y, before)


def test_keywords_bind_in_any_order():
    x, y = arrays(6)
    by_position, by_keyword = np.empty(6), np.empty(6)
    quillora.indicator_atr(2, x, x, x, by_position)
    quillora.indicator_atr(output=by_keyword, close=x, low=x, high=x, period=2)
    assert by_position.tobytes() == by_keyword.tobytes()


class UnprintableName(str):
    def __str__(self):
        raise RuntimeError("no text")


def test_unprintable_keyword_name_is_reported_as_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    x, y = arrays()
    raises_type_error(
        lambda: quillora.indicator_sma(3, x, y, **{UnprintableName("bad"): 1}),
        "indicator_sma() got an unexpected keyword argument '<unprintable UnprintableName object>'",
    )
    assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)


class Index:
    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __index__(self):
        return self.behaviour()


def raise_(error):
    raise error


class TypeErrorSubclass(TypeError):
    pass


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class IntWithIndex(int):
    def __index__(self):
        raise AssertionError("an int is converted without __index__")


@pytest.mark.parametrize(
    "period, expected",
    [
        (True, 1),
        (np.int64(3), 3),
        (np.uint64(2**64 - 1), 2**64 - 1),
        (Index(lambda: 4), 4),
        (IntWithIndex(5), 5),
        (2**64 - 1, 2**64 - 1),
    ],
)
def test_accepted_periods(period, expected):
    data, out, reference = np.arange(8.0), np.empty(8), np.empty(8)
    quillora.indicator_sma(period, data, out)
    quillora.indicator_sma(expected, data, reference)
    assert out.tobytes() == reference.tobytes()


@pytest.mark.parametrize(
    "period, message",
    [
        (-1, "can't convert negative int to unsigned"),
        (2**64, "int too big to convert"),
        (Index(lambda: -5), "can't convert negative int to unsigned"),
    ],
)
def test_out_of_range_periods_keep_the_interpreters_overflow_error(period, message):
    x, y = arrays()
    with pytest.raises(OverflowError) as caught:
        quillora.indicator_sma(period, x, y)
    assert str(caught.value) == message


@pytest.mark.parametrize("period, type_name", [(3.0, "float"), ("3", "str"), (None, "NoneType")])
def test_non_integers_are_named_after_the_argument(period, type_name):
    x, y = arrays()
    error = raises_type_error(
        lambda: quillora.indicator_sma(period, x, y),
        f"argument 'period': '{type_name}' object cannot be interpreted as an integer",
    )
    assert error.__cause__ is None


@pytest.mark.parametrize("position, name", [(0, "fast_period"), (1, "slow_period"), (2, "signal_period")])
def test_each_period_is_named(position, name):
    x, y = arrays()
    periods = [1, 2, 3]
    periods[position] = 1.5
    raises_type_error(
        lambda: quillora.indicator_macd(*periods, x, y, y, y),
        f"argument '{name}': 'float' object cannot be interpreted as an integer",
    )


def test_type_error_subclass_passes_unchanged():
    original = TypeErrorSubclass("mine")
    x, y = arrays()
    with pytest.raises(TypeErrorSubclass) as caught:
        quillora.indicator_sma(Index(lambda: raise_(original)), x, y)
    assert caught.value is original


def test_renamed_type_error_keeps_the_original_cause():
    root = KeyError("root")

    def chained():
        try:
            raise root
        except KeyError as error:
            raise TypeError("inner") from error

    x, y = arrays()
    error = raises_type_error(lambda: quillora.indicator_ema(Index(chained), x, y), "argument 'period': inner")
    assert error.__cause__ is root


def test_unprintable_type_error_message(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda hook_args: None)
    x, y = arrays()
    raises_type_error(
        lambda: quillora.indicator_sma(Index(lambda: raise_(TypeError(Unprintable()))), x, y),
        "argument 'period': <unprintable TypeError object>",
    )


def test_other_exceptions_from_index_pass_unchanged():
    original = ZeroDivisionError("boom")
    x, y = arrays()
    with pytest.raises(ZeroDivisionError) as caught:
        quillora.indicator_atr(Index(lambda: raise_(original)), x, x, x, y)
    assert caught.value is original


def test_reference_counts_survive_failed_bindings():
    x, y = arrays()
    period = int("100000")
    counts = [sys.getrefcount(o) for o in (x, y, period)]
    for _ in range(1000):
        with pytest.raises(TypeError):
            quillora.indicator_sma(period, x, y, x)
        with pytest.raises(TypeError):
            quillora.indicator_sma(period, x, output=y, data=x)
        with pytest.raises(TypeError):
            quillora.indicator_sma(period, x, [1.0])
    assert [sys.getrefcount(o) for o in (x, y, period)] == counts
