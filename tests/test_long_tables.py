"""Long tables keyed by symbol: every symbol gets the bits of the function called on its rows alone."""

import numpy as np
import pandas as pd
import polars as pl
import pytest
from test_registry import bars, bits

import quillora_series as qs
from quillora_series import _long, _native, _registry
from quillora_series._registry import Period

CASES = [
    ("sma", (4,)),
    ("ema", (4,)),
    ("macd", (3, 6, 2)),
    ("atr", (3,)),
    *[
        (indicator.name, tuple(p.minimum + 2 if isinstance(p, Period) else p.default for p in indicator.params))
        for indicator in _registry.INDICATORS.values()
    ],
]


def inputs_of(name):
    declared = _registry.INDICATORS.get(name)
    return declared.inputs if declared else (("high", "low", "close") if name == "atr" else ("x",))


def keys_for(layout, rng, rows):
    symbols = np.array(["AAPL", "MSFT", "X", "Y", "Z"])
    if layout == "sorted":
        return np.sort(rng.choice(symbols, rows))
    if layout == "interleaved":
        return rng.choice(symbols, rows)
    if layout == "bar by bar":  # every symbol once per bar, in one order
        return np.tile(symbols, rows // len(symbols))
    if layout == "runs of one length":
        return np.repeat(symbols, rows // len(symbols))
    if layout == "runs that return":  # each symbol's rows in runs, one symbol in two of them
        return np.repeat(symbols[[0, 1, 0, 2]], [20, 25, 25, rows - 70])
    return np.array([*symbols[:rows]])  # one row per symbol


@pytest.mark.parametrize(("name", "params"), CASES, ids=[case[0] for case in CASES])
@pytest.mark.parametrize(
    "layout", ["sorted", "runs of one length", "interleaved", "bar by bar", "runs that return", "single rows"]
)
def test_each_symbol_as_if_alone(name, params, layout):
    rng = np.random.default_rng(3)
    rows = 5 if layout == "single rows" else 90
    names = inputs_of(name)
    columns = bars(rng, rows, names, dirty=True)
    keys = keys_for(layout, rng, rows)
    function = getattr(qs, name)
    got = as_outputs_any(function(*columns, *params, by=keys, workers=2))
    for key in np.unique(keys):
        rows_of = keys == key
        alone = as_outputs_any(function(*(c[rows_of] for c in columns), *params))
        for mine, theirs in zip(got, alone, strict=True):
            assert bits(np.asarray(mine)[rows_of]) == bits(theirs)
    # The same through a pandas and a polars table read by column name, keys in a column.
    frame = pd.DataFrame({("close" if n == "x" else n.upper()): c for n, c in zip(names, columns)} | {"sym": keys})
    through_pandas = as_outputs_any(function(frame, **dict(zip(param_names(name), params)), by="sym"))
    through_polars = as_outputs_any(function(pl.DataFrame(frame), **dict(zip(param_names(name), params)), by=["sym"]))
    for mine, pandas_column, polars_column in zip(got, through_pandas, through_polars, strict=True):
        assert pandas_column.index.equals(frame.index)
        assert bits(pandas_column.to_numpy()) == bits(mine)
        assert bits(polars_column.fill_null(np.nan).to_numpy()) == bits(np.where(np.isnan(mine), np.nan, mine))


def as_outputs_any(result):
    return list(result) if isinstance(result, tuple) else [result]


def param_names(name):
    declared = _registry.INDICATORS.get(name) or {b.name: b for b in _registry.BUILTIN}[name]
    return [p.name for p in declared.params]


def test_several_key_columns_restart_each_session():
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(
        {
            "symbol": np.repeat(["A", "B"], 20),
            "date": np.tile(np.repeat(["d1", "d2"], 10), 2),
            "close": 100 + rng.normal(size=40).cumsum(),
        }
    )
    got = qs.ema(frame, 3, by=["symbol", "date"])
    for _, session in frame.groupby(["symbol", "date"]):
        assert bits(got[session.index]) == bits(qs.ema(session["close"].to_numpy(), 3))
    by_frame = qs.ema(frame["close"].to_numpy(), 3, by=frame[["symbol", "date"]])
    assert bits(by_frame) == bits(got)


def test_empty_long_table():
    empty = pd.DataFrame({"symbol": pd.Series([], dtype=object), "close": pd.Series([], dtype=float)})
    assert len(qs.rsi(empty, by="symbol")) == 0 if "rsi" in _registry.INDICATORS else True
    assert len(qs.sma(empty, 3, by="symbol")) == 0


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda f: qs.sma(f, 3, by="missing"), ValueError, "by names columns the table lacks"),
        (lambda f: qs.sma(f.drop(columns="close"), 3, by="sym"), ValueError, "must have close columns"),
        (lambda f: qs.sma(f["close"].to_numpy(), 3, by=np.zeros(3)), ValueError, "one key per row"),
        (lambda f: qs.sma(f["close"].to_numpy(), 3, by="sym"), TypeError, "names columns only when a DataFrame"),
        (lambda f: qs.sma(f, 3, by="sym", out=np.empty(6)), TypeError, "without out"),
        (lambda f: qs.atr(f["close"], f["close"], period=3, by=f["sym"]), TypeError, "takes high, low, close"),
    ],
)
def test_long_table_mistakes(call, error, message):
    frame = pd.DataFrame({"sym": list("aabbcc"), "close": np.arange(6.0)})
    with pytest.raises(error, match=message):
        call(frame)


@pytest.mark.parametrize(("name", "params"), CASES[:6], ids=[case[0] for case in CASES[:6]])
@pytest.mark.parametrize("lazy", [False, True])
def test_polars_expressions_equal_the_function(name, params, lazy):
    rng = np.random.default_rng(8)
    names = inputs_of(name)
    columns = bars(rng, 80, names, dirty=True)
    keys = rng.choice(["a", "b", "c"], 80)
    frame = pl.DataFrame({("close" if n == "x" else n): c for n, c in zip(names, columns)} | {"symbol": keys})
    column_names = ["close" if n == "x" else n for n in names]
    expression = getattr(qs.polars, name)(*column_names, *params, by="symbol")
    result = (frame.lazy().select(expression).collect() if lazy else frame.select(expression)).to_series()
    expected = as_outputs_any(getattr(qs, name)(*columns, *params, by=keys))
    got = [result.struct.field(f) for f in result.struct.fields] if result.dtype == pl.Struct else [result]
    for mine, theirs in zip(got, expected, strict=True):
        assert bits(mine.fill_null(np.nan).to_numpy()) == bits(np.where(np.isnan(theirs), np.nan, theirs))


@pytest.mark.parametrize(("name", "params"), CASES[:5], ids=[case[0] for case in CASES[:5]])
@pytest.mark.parametrize("order", ["C", "F"])
def test_tables_write_into_out(name, params, order):
    """out= for tables: any layout the kernels take, the same bits as the allocating call, nothing new returned."""
    rng = np.random.default_rng(4)
    tables = [
        np.asarray(np.stack(columns, axis=1), order=order)
        for columns in zip(*(bars(rng, 50, inputs_of(name), dirty=True) for _ in range(6)))
    ]
    function = getattr(qs, name)
    fresh = as_outputs_any(function(*tables, *params))
    given = [np.empty((50, 6), order="F" if order == "C" else "C") for _ in fresh]
    written = as_outputs_any(function(*tables, *params, out=given[0] if len(given) == 1 else tuple(given)))
    for mine, theirs, target in zip(written, fresh, given, strict=True):
        assert mine is target
        assert bits(mine.ravel()) == bits(theirs.ravel())


@pytest.mark.parametrize(
    "case", ["keys sharing a hash", "periods too long for a state per symbol at once", "rows of several tiles"]
)
def test_interleaved_symbols_other_ways(monkeypatch, case):
    """Interleaved polars keys are numbered from their hashes and stepped row by row; where two keys
    share a hash, or a state per symbol would hold too much, the other ways give the same bits."""
    rng = np.random.default_rng(5)
    rows = 200_000 if case == "rows of several tiles" else 90
    keys = keys_for("interleaved", rng, rows)
    (close,) = bars(rng, rows, ("x",), dirty=True)
    period = 3
    if case == "keys sharing a hash":
        real_hash_codes = _native.hash_codes

        # The keys' hashes all collide; integer codes numbered afterwards are exact as ever.
        def one_code_for_all(hashes, codes, first_rows):
            monkeypatch.setattr(_native, "hash_codes", real_hash_codes)
            codes[:], first_rows[:] = 0, 0
            return 1

        monkeypatch.setattr(_native, "hash_codes", one_code_for_all)
    elif case.startswith("periods"):
        period = 2**23
    got = qs.rsi(pl.DataFrame({"close": close, "sym": keys}), period, by="sym").fill_null(np.nan).to_numpy()
    for key in np.unique(keys):
        alone = qs.rsi(close[keys == key], period)
        assert bits(got[keys == key]) == bits(np.where(np.isnan(alone), np.nan, alone))


@pytest.mark.parametrize(
    "keys",
    [
        np.array([-3, 7, -3, 127, 7, -128], dtype=np.int8),
        np.array([2**64 - 1, 0, 2**63, 2**64 - 1, 2**63, 1], dtype=np.uint64),
        np.array([2**63 - 1, -(2**63), 0, -1, -(2**63), 2**63 - 1]),
        np.array(["2026-01-02", "NaT", "2026-01-02", "1970-01-01", "NaT", "NaT"], dtype="datetime64[D]"),
        np.array([True, False, False, True, True, False]),
    ],
    ids=["int8", "uint64 extremes", "int64 extremes", "dates with NaT", "bool"],
)
def test_integer_keys_number_exactly(keys):
    """Integer keys are numbered by their own bits: the symbols are the distinct keys, as string
    keys of the same values give them, extremes and NaT included."""
    rows = 6 * 15
    keys = np.tile(keys, 15)
    (close,) = bars(np.random.default_rng(8), rows, ("x",), dirty=False)
    got = qs.ema(close, 2, by=keys)
    assert bits(got) == bits(qs.ema(close, 2, by=keys.astype(str)))
    for key in np.unique(keys.astype(str)):
        rows_of = keys.astype(str) == key
        assert bits(got[rows_of]) == bits(qs.ema(close[rows_of], 2))


@pytest.mark.parametrize("kind", ["numpy", "objects", "polars"])
@pytest.mark.parametrize(
    ("case", "is_table"),
    [
        ("bar by bar", True),
        ("runs of one length", True),
        ("a key twice a bar", False),
        ("a last bar cut short", False),
        ("turns broken late", False),
    ],
)
def test_symbols_that_form_a_table_run_as_one(kind, case, is_table):
    """Rows holding every symbol once per bar in one order, or every symbol's rows together in runs
    of one length, are computed as a table; rows that only nearly do so are grouped as any others,
    with the same bits per symbol either way."""
    names = np.array(["AAPL", "MSFT", "X", "Y", "Z"])
    keys = np.tile(names if case != "a key twice a bar" else names[[0, 1, 1, 2, 3]], 30_000)
    if case == "runs of one length":
        keys = np.repeat(names, 30_000)
    elif case == "a last bar cut short":
        keys = keys[:-2]
    elif case == "turns broken late":  # past the rows a first look samples
        keys[-7], keys[-6] = keys[-6], keys[-7]
    (close,) = bars(np.random.default_rng(9), len(keys), ("x",), dirty=True)
    given = pl.Series(keys) if kind == "polars" else keys.astype(object) if kind == "objects" else keys
    assert isinstance(_long.groups(given, None, len(keys)), _long.Panel) is is_table
    got = qs.ema(close, 3, by=given)
    for key in np.unique(keys):
        assert bits(got[keys == key]) == bits(qs.ema(close[keys == key], 3))
