"""Every declared indicator, in every mode, against its step-by-step reference.

One property over the whole registry: the series call, every column of a table (both layouts),
live updates over random splits and a pickled state half-way all give the reference's bits, with
missing samples, infinities, -0.0 and every warm-up edge in the data. Where TA-Lib is installed,
clean data agrees with its function of the same name.
"""

import copy
import importlib
import importlib.util
import math
import pickle
import struct

import numpy as np
import pytest
from references import REFERENCES

import quillora_series as qs
from quillora_series import _registry, stream
from quillora_series._registry import Period, Real

INDICATORS = list(_registry.INDICATORS.values())
NAMES = [indicator.name for indicator in INDICATORS]


def bits(values):
    return [struct.unpack("<Q", struct.pack("<d", float(v)))[0] for v in values]


def bars(rng, length, names, dirty):
    """Inputs of one bar series: prices as a random walk around 100 (high above, low below), volumes positive."""
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, length))
    spread = np.abs(rng.normal(0.0, 1.0, length))
    columns = {
        "x": close,
        "close": close,
        "high": close + spread,
        "low": close - spread,
        "open": close + rng.uniform(-1.0, 1.0, length) * spread,
        "volume": rng.integers(1, 1000, length).astype(np.float64),
    }
    inputs = [columns[name].copy() for name in names]
    if dirty and length:
        for values in inputs:
            for _ in range(max(1, length // 12)):
                values[rng.integers(length)] = rng.choice([np.nan, np.inf, -np.inf, -0.0, 0.0])
    return inputs


def parameter_sets(indicator, rng):
    """The defaults, the smallest allowed, and small random ones that put warm-up edges inside short series."""
    sets = []
    for choice in ("default", "minimum", "random", "random"):
        values = []
        for parameter in indicator.params:
            if isinstance(parameter, Period):
                low = parameter.minimum
                if choice == "default" and parameter.default is not None:
                    values.append(parameter.default)
                elif choice == "minimum":
                    values.append(low)
                else:
                    values.append(int(rng.integers(low, low + 6)))
            else:
                default = parameter.default
                values.append(default if choice != "random" else round(float(rng.uniform(0.5, 3.0)) * default, 3))
        try:
            _checks_relation(indicator, values)
        except ValueError:
            continue
        sets.append(tuple(values))
    return sets


def _checks_relation(indicator, values):
    if indicator.relation is not None:
        indicator.relation(*values)


def call(indicator, inputs, params, **options):
    return getattr(qs, indicator.name)(*inputs, *params, **options)


def as_outputs(indicator, result):
    return list(result) if len(indicator.outputs) > 1 else [result]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("seed", [0, 1])
def test_every_mode_gives_the_reference_bits(name, seed):
    indicator = _registry.INDICATORS[name]
    reference = REFERENCES[name]
    rng = np.random.default_rng(seed)
    for params in parameter_sets(indicator, rng):
        for length in (0, 1, 7, 60):
            for dirty in (False, True):
                inputs = bars(rng, length, indicator.inputs, dirty)
                expected = [bits(column) for column in reference([list(map(float, v)) for v in inputs], *params)]
                series = as_outputs(indicator, call(indicator, inputs, params))
                assert [bits(column) for column in series] == expected, (params, length, dirty)
                live = getattr(stream, indicator.live_name)(*params)
                assert [bits(column) for column in _live_run(indicator, live, inputs, rng)] == expected
        # A table of symbols: every column is its own series, in rows (C) and columns (Fortran) layout.
        symbols = [bars(rng, 40, indicator.inputs, dirty=True) for _ in range(5)]
        tables = [np.stack([symbol[k] for symbol in symbols], axis=1) for k in range(len(indicator.inputs))]
        for order in ("C", "F"):
            laid = [np.asarray(table, order=order) for table in tables]
            result = as_outputs(indicator, call(indicator, laid, params, workers=2))
            for s, symbol in enumerate(symbols):
                one = as_outputs(indicator, call(indicator, symbol, params))
                for table_out, series_out in zip(result, one):
                    assert bits(table_out[:, s]) == bits(series_out)


def _live_run(indicator, live, inputs, rng):
    """Feeds a live state in random chunks and single updates, pickling it half-way."""
    length = len(inputs[0])
    outputs = [[] for _ in indicator.outputs]
    start = 0
    while start < length:
        size = int(rng.integers(1, 9))
        if rng.random() < 0.3:
            value = live.update(*(float(v[start]) for v in inputs))
            # Several outputs come back as the class's named tuple, after copies and pickles too.
            assert len(indicator.outputs) == 1 or type(value) is type(live)._values
            for column, got in zip(outputs, value if len(indicator.outputs) > 1 else [value]):
                column.append(got)
            start += 1
        else:
            chunk = live.update_many(*(v[start : start + size] for v in inputs))
            for column, got in zip(outputs, chunk if len(indicator.outputs) > 1 else [chunk]):
                column.extend(got.tolist())
            start += size
        if rng.random() < 0.2:
            live = pickle.loads(pickle.dumps(live)) if rng.random() < 0.5 else copy.deepcopy(live)
    return outputs


@pytest.mark.parametrize("name", NAMES)
def test_reset_and_saved_states(name):
    indicator = _registry.INDICATORS[name]
    inputs = bars(np.random.default_rng(5), 30, indicator.inputs, dirty=False)
    live = getattr(stream, indicator.live_name)() if all(p.default is not None for p in indicator.params) else None
    if live is None:
        live = getattr(stream, indicator.live_name)(*(p.minimum + 2 for p in indicator.params))
    first = as_outputs(indicator, live.update_many(*inputs))
    live.reset()
    again = as_outputs(indicator, live.update_many(*inputs))
    assert [bits(a) for a in first] == [bits(b) for b in again]
    saved = live.__getstate__()
    tag, layout, params, counts, reals = saved
    forged = [
        ("sma", layout, params, counts, reals),
        (tag, layout + 1, params, counts, reals),
        (tag, layout, params, (*counts, 1), reals),
        (tag, layout, params, counts, reals + b"\0" * 8),
        (tag, layout, params, counts, reals[:-8] if reals else b"\0" * 8),
    ]
    if counts:
        forged.append((tag, layout, params, (-1,) * len(counts), reals))
    for state in forged:
        fresh = copy.copy(live)
        with pytest.raises(ValueError, match=f"cannot restore {indicator.live_name}"):
            fresh.__setstate__(state)


@pytest.mark.parametrize("name", NAMES)
def test_parameter_errors_name_the_parameter(name):
    indicator = _registry.INDICATORS[name]
    inputs = bars(np.random.default_rng(0), 10, indicator.inputs, dirty=False)
    good = [p.default if p.default is not None else p.minimum for p in indicator.params]
    for position, parameter in enumerate(indicator.params):
        for bad, error in (("3", TypeError), (True, TypeError), (_below(parameter), ValueError)):
            if bad is None:
                continue
            values = list(good)
            values[position] = bad
            with pytest.raises(error, match=parameter.name):
                call(indicator, inputs, values)
            with pytest.raises(error, match=parameter.name):
                getattr(stream, indicator.live_name)(*values)


def _below(parameter):
    if isinstance(parameter, Period):
        return parameter.minimum - 1
    if isinstance(parameter, Real):
        return math.nan
    return None


talib = importlib.import_module("talib") if importlib.util.find_spec("talib") else None


def talib_call(indicator, inputs, params):
    """TA-Lib's function of the same name with our parameters under its names (period: timeperiod)."""
    function = importlib.import_module("talib.abstract").Function(indicator.talib)
    known = list(function.parameters)
    keywords = {}
    for parameter, value in zip(indicator.params, params):
        for candidate in (
            "timeperiod" if parameter.name == "period" else parameter.name,
            parameter.name.replace("_", ""),
            parameter.name + "period",
            "time" + parameter.name,
            parameter.name.replace("_down", "dn").replace("_", ""),
        ):
            if candidate in known:
                keywords[candidate] = value
                break
        else:
            raise AssertionError(f"no TA-Lib parameter for {parameter.name}: {known}")
    result = getattr(talib, indicator.talib)(*inputs, **keywords)
    return list(result) if isinstance(result, (tuple, list)) else [result]


@pytest.mark.skipif(talib is None, reason="TA-Lib is not installed")
@pytest.mark.parametrize("name", NAMES)
def test_agrees_with_talib_on_clean_data(name):
    indicator = _registry.INDICATORS[name]
    rng = np.random.default_rng(11)
    inputs = bars(rng, 2000, indicator.inputs, dirty=False)
    params = tuple(p.default if p.default is not None else 14 for p in indicator.params)
    ours = as_outputs(indicator, call(indicator, inputs, params))
    theirs = talib_call(indicator, inputs, params)
    first = indicator.lookback(*params)
    for mine, other in zip(ours, theirs, strict=True):
        # TA-Lib's warm-up is NaN, or 0 for a few outputs; ours is missing up to the declared first value.
        assert np.isnan(mine[:first]).all() and not np.isnan(mine[first:]).any(), "first valid position differs"
        assert not np.isnan(other[first:]).any(), "TA-Lib's first valid position differs"
        valid = np.arange(len(other)) >= first
        scale = np.maximum(np.abs(other[valid]), 1e-3 * np.max(np.abs(other[valid]), initial=1.0))
        assert np.max(np.abs(mine[valid] - other[valid]) / scale, initial=0.0) <= 1e-9
