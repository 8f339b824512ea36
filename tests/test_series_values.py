"""quillora_series gives the core's bits for every kind of input, keeps the caller's labels, and writes out= as asked."""

import tracemalloc

import numpy as np
import pandas as pd
import polars as pl
import pytest

import quillora
import quillora_series as qs
from conftest import assert_same_bits, scatter_odd_values

CALLS = {
    "sma": (1, lambda inputs, **options: qs.sma(*inputs, 5, **options)),
    "ema": (1, lambda inputs, **options: qs.ema(*inputs, 5, **options)),
    "macd": (1, lambda inputs, **options: qs.macd(*inputs, 3, 7, 4, **options)),
    "atr": (3, lambda inputs, **options: qs.atr(*inputs, period=5, **options)),
}


def core(name, inputs):
    """The core's outputs for contiguous float64 inputs."""
    n = len(inputs[0])
    outputs = [np.empty(n) for _ in range(3 if name == "macd" else 1)]
    if name == "sma":
        quillora.indicator_sma(5, *inputs, *outputs)
    elif name == "ema":
        quillora.indicator_ema(5, *inputs, *outputs)
    elif name == "macd":
        quillora.indicator_macd(3, 7, 4, *inputs, *outputs)
    else:
        quillora.indicator_atr(5, *inputs, *outputs)
    return outputs


def outputs_of(result):
    return list(result) if isinstance(result, qs.MACD) else [result]


def bar_series(n, columns=None, seed=7):
    """high, low and close with odd values scattered in, shape (n,) or (n, columns)."""
    rng = np.random.default_rng(seed)
    shape = n if columns is None else (n, columns)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, shape), axis=0)
    series = [close + rng.uniform(0.0, 1.0, shape), close - rng.uniform(0.0, 1.0, shape), close]
    for s in series:
        scatter_odd_values(rng, s.reshape(-1), 0.03)
    return series


def assert_missing_as_null(result, expected):
    """A polars result: null exactly where the core has no value, the core's bits elsewhere."""
    missing = np.isnan(expected)
    assert result.is_null().to_numpy().tolist() == missing.tolist()
    assert_same_bits(result.to_numpy()[~missing], expected[~missing])


# Each 1-D kind: how to make it from float64 values, the float64 the core is expected to see, and
# how to check a result of that kind against the core's output.
INDEX = "abcdefghijklmnopqrstuvwxyz"


def check_array(result, expected, source):
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert_same_bits(result, expected)


def check_pandas(result, expected, source):
    assert isinstance(result, pd.Series) and result.name == source.name
    assert result.index.equals(source.index)
    assert_same_bits(result.to_numpy(), expected)


def check_polars(result, expected, source):
    assert isinstance(result, pl.Series) and result.name == source.name
    assert_missing_as_null(result, expected)


def whole(values):
    return np.nan_to_num(values, nan=0.0, posinf=0.0, neginf=0.0).astype(np.int16)


SERIES_KINDS = {
    "float64": (lambda v: v, lambda v: v, check_array),
    "reversed view": (lambda v: v[::-1].copy()[::-1], lambda v: v, check_array),
    "strided view": (lambda v: np.repeat(v, 3)[::3], lambda v: v, check_array),
    "big-endian": (lambda v: v.astype(">f8"), lambda v: v, check_array),
    "float32": (lambda v: v.astype(np.float32), lambda v: v.astype(np.float32).astype(np.float64), check_array),
    "int16": (lambda v: whole(v), lambda v: whole(v).astype(np.float64), check_array),
    "masked": (lambda v: np.ma.masked_invalid(v), lambda v: np.where(np.isfinite(v), v, np.nan), check_array),
    "list": (lambda v: [None if np.isnan(e) else e for e in v.tolist()], lambda v: v, check_array),
    "pandas": (
        lambda v: pd.Series(v, index=[f"{INDEX[i % 26]}{i}" for i in range(len(v))], name="close"),
        lambda v: v,
        check_pandas,
    ),
    "pandas Float64": (lambda v: pd.Series(v, name=("close", 1)).astype("Float64"), lambda v: v, check_pandas),
    "polars": (lambda v: pl.Series("close", v), lambda v: v, check_polars),
    "polars nulls": (lambda v: pl.Series("close", v, nan_to_null=True), lambda v: v, check_polars),
}


@pytest.mark.parametrize("kind", SERIES_KINDS)
@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("n", [0, 4, 400])
def test_series_give_the_cores_bits(name, kind, n):
    make, seen, check = SERIES_KINDS[kind]
    count, call = CALLS[name]
    values = bar_series(n)[-count:]
    inputs = [make(v) for v in values]
    results = outputs_of(call(inputs))
    expected = core(name, [np.ascontiguousarray(seen(v), dtype=np.float64) for v in values])
    assert len(results) == len(expected)
    for result, output in zip(results, expected):
        check(result, output, inputs[-1])


def same(table):
    return table


TABLE_KINDS = {
    "C order": (same, same, same),
    "Fortran order": (np.asfortranarray, same, same),
    "column slice": (lambda t: np.repeat(t, 2, axis=1)[:, ::2], same, same),
    "float32": (lambda t: t.astype(np.float32), lambda t: t.astype(np.float32).astype(np.float64), same),
    "pandas": (
        lambda t: pd.DataFrame(
            t,
            columns=[f"s{j}" for j in range(t.shape[1])],
            index=pd.date_range("2026-01-01", periods=len(t), freq="min"),
        ),
        same,
        lambda r: r.to_numpy(),
    ),
    "polars": (
        lambda t: pl.DataFrame(t, schema=[f"s{j}" for j in range(t.shape[1])]),
        same,
        lambda r: r.fill_null(np.nan).to_numpy(),
    ),
}


@pytest.mark.parametrize("kind", TABLE_KINDS)
@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("workers", [1, 2, None])
def test_tables_give_each_columns_bits(name, kind, workers):
    """11 symbols of 30,000 bars: enough for threads and an uneven split between them."""
    make, seen, values_of = TABLE_KINDS[kind]
    count, call = CALLS[name]
    tables = bar_series(30_000, columns=11)[-count:]
    # No infinities: where an infinity makes a NaN that meets another, which NaN survives is the
    # compiler's choice of operand order (the native tests allow for it); every other bit must match.
    for table in tables:
        table[np.isinf(table)] = np.nan
    inputs = [make(t) for t in tables]
    results = outputs_of(call(inputs, workers=workers))
    tables = [seen(t) for t in tables]
    columns = [core(name, [np.ascontiguousarray(t[:, j]) for t in tables]) for j in range(tables[0].shape[1])]
    for k, result in enumerate(results):
        assert type(result) is type(inputs[0]) and (kind != "C order" or result.flags.c_contiguous)
        if kind == "pandas":
            assert result.index.equals(inputs[0].index) and result.columns.equals(inputs[0].columns)
        if kind == "polars":
            assert result.columns == inputs[0].columns
        values = values_of(result)
        assert values.shape == tables[0].shape
        for j, expected in enumerate(column[k] for column in columns):
            if kind == "polars":
                # Nulls come back as the one NaN polars writes.
                assert np.isnan(values[:, j]).tolist() == np.isnan(expected).tolist()
                expected = np.where(np.isnan(expected), np.nan, expected)
            assert_same_bits(values[:, j], expected)


def test_one_table_of_bars_gives_a_series_named_atr():
    high, low, close = bar_series(300)
    index = pd.RangeIndex(1000, 1300)
    frame = pd.DataFrame({"High": high, "Low": low, "close": close, "volume": 1.0}, index=index)
    expected = core("atr", [high, low, close])[0]
    from_pandas = qs.atr(frame, period=5)
    assert from_pandas.name == "atr" and from_pandas.index.equals(index)
    assert_same_bits(from_pandas.to_numpy(), expected)
    from_polars = qs.atr(pl.from_pandas(frame), period=5)
    assert from_polars.name == "atr"
    assert_missing_as_null(from_polars, expected)


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("overlap", ["apart", "same array", "shifted view"])
def test_out_is_written_as_if_no_argument_overlapped(name, overlap):
    count, call = CALLS[name]
    values = bar_series(200)[-count:]
    expected = core(name, values)
    memory = np.empty((3, 201))
    outs = [memory[k, :200] for k in range(len(expected))]
    inputs = list(values)
    if overlap != "apart":
        # The last input lives where the first output goes, or one element beside it.
        start = 0 if overlap == "same array" else 1
        memory[0, start : start + 200] = values[-1]
        inputs[-1] = memory[0, start : start + 200]
    result = call(inputs, out=tuple(outs) if name == "macd" else outs[0])
    assert all(r is o for r, o in zip(outputs_of(result), outs))
    for out, output in zip(outs, expected):
        assert_same_bits(out, output)


# Tables too, in the layouts pandas and NumPy hand over (polars allocates outside tracemalloc's view).
@pytest.mark.parametrize(
    "make",
    [
        lambda v: v,
        lambda v: pd.Series(v),
        lambda v: pl.Series(v),
        lambda v: v.reshape(8, -1).T,
        lambda v: pd.DataFrame(v.reshape(8, -1).T),
    ],
    ids=["numpy", "pandas", "polars", "Fortran table", "pandas DataFrame"],
)
def test_contiguous_float64_input_is_not_copied(make):
    x = make(np.random.default_rng(1).random(1_000_000))
    tracemalloc.start()
    try:
        qs.ema(x, 10)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    # The output's 8 MB and nothing close to a second array.
    assert 8_000_000 <= peak < 12_000_000
