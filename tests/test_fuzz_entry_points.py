"""Hostile inputs at the entry points that keep state or release the interpreter lock: crafted saved
states handed to every live class, and tables of any shape, layout, dtype and offset. Each is either
refused with a clear ValueError or TypeError or behaves as the plain path does. `make fuzz` runs
these with many more examples (QUILLORA_FUZZ_EXAMPLES)."""

import os
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quillora_series as qs
from conftest import assert_same_bits
from quillora_series import stream
from reference import MISSING

EXAMPLES = int(os.environ.get("QUILLORA_FUZZ_EXAMPLES", "60"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
REFUSED = (ValueError, TypeError)

LIVE = {
    stream.SMA: st.tuples(st.integers(1, 40)),
    stream.EMA: st.tuples(st.integers(1, 40)),
    stream.MACD: st.integers(1, 20).flatmap(
        lambda fast: st.tuples(st.just(fast), st.integers(fast + 1, fast + 20), st.integers(1, 20))
    ),
    stream.ATR: st.tuples(st.integers(1, 40)),
}
SAMPLES = st.floats(-1e3, 1e3) | st.sampled_from([MISSING, float("inf"), float("-inf"), -0.0, 0.0])
EDGE_INTS = st.sampled_from([0, 1, -1, 2, 2**31, 2**32 - 1, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63)])
ODD_FIELDS = st.sampled_from([None, 1.5, float("nan"), "1", b"", (), [], True])
DOUBLE_BITS = st.sampled_from(
    [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000000, 0x8000000000000000, 0x7FEFFFFFFFFFFFFF, 1]
)


def feed(live, samples):
    """`samples` one by one; returns the outputs as a list of floats (every output, MACD's three)."""
    out = []
    for x in samples:
        result = live.update(x + 1.0, x - 1.0, x) if isinstance(live, stream.ATR) else live.update(x)
        out.extend(result if isinstance(live, stream.MACD) else [result])
    return out


def feed_many(live, samples):
    """The same samples in one chunk, outputs in the same order as feed()."""
    data = np.array(samples, dtype=np.float64)
    if isinstance(live, stream.ATR):
        return live.update_many(data + 1.0, data - 1.0, data).tolist()
    result = live.update_many(data)
    return np.column_stack(result).ravel().tolist() if isinstance(live, stream.MACD) else result.tolist()


def restored(cls, saved):
    live = object.__new__(cls)
    live.__setstate__(saved)
    return live


@st.composite
def mutated(draw, saved):
    """A saved state with a few fields replaced, the packed doubles cut, grown or altered, or fields
    dropped or added: what a damaged file or a crafted pickle hands back."""
    fields = list(saved)
    for _ in range(draw(st.integers(0, 3))):
        where = draw(st.integers(0, max(len(fields) - 1, 0)))
        action = draw(st.sampled_from(["int", "odd", "bytes", "drop", "add"]))
        if action == "int" and fields:
            fields[where] = draw(EDGE_INTS | st.integers(-5, 100))
        elif action == "odd" and fields:
            fields[where] = draw(ODD_FIELDS)
        elif action == "bytes":
            packed = [i for i, f in enumerate(fields) if isinstance(f, bytes)]
            if packed:
                i = packed[0]
                data = bytearray(fields[i])
                how = draw(st.sampled_from(["cut", "grow", "set"]))
                if how == "cut":
                    del data[draw(st.integers(0, len(data))) :]
                elif how == "grow":
                    data += struct.pack("<Q", draw(DOUBLE_BITS)) * draw(st.integers(1, 3))
                elif len(data) >= 8:
                    at = draw(st.integers(0, len(data) // 8 - 1)) * 8
                    data[at : at + 8] = struct.pack("<Q", draw(DOUBLE_BITS))
                fields[i] = bytes(data)
        elif action == "drop" and fields:
            del fields[where]
        elif action == "add":
            fields.insert(where, draw(EDGE_INTS))
    return tuple(fields)


@FUZZ
@given(data=st.data())
def test_a_crafted_saved_state_is_refused_or_goes_on_like_a_live_one(data):
    source = data.draw(st.sampled_from(list(LIVE)))
    live = source(*data.draw(LIVE[source]))
    feed_many(live, data.draw(st.lists(SAMPLES, max_size=60)))
    saved = data.draw(mutated(live.__getstate__()))
    target = data.draw(st.sampled_from(list(LIVE)))
    try:
        state = restored(target, saved)
    except REFUSED:
        return
    # A state saved by one kind of indicator is never another's.
    assert target is source, f"{target.__name__} took the saved state of a {source.__name__}"
    # What was taken is a state a live object can hold: it saves and restores as itself, and goes on
    # with the same bits whether fed one sample at a time or in one chunk.
    again = state.__getstate__()
    assert restored(target, again).__getstate__() == again
    more = data.draw(st.lists(SAMPLES, max_size=40))
    twin = restored(target, again)
    assert_same_bits(feed(state, more), feed_many(twin, more))
    assert state.__getstate__() == twin.__getstate__()


TABLE_CALLS = {
    "sma": lambda tables, periods, **kw: [qs.sma(tables[0], periods[0], **kw)],
    "ema": lambda tables, periods, **kw: [qs.ema(tables[0], periods[0], **kw)],
    "macd": lambda tables, periods, **kw: list(qs.macd(tables[0], *periods, **kw)),
    "atr": lambda tables, periods, **kw: [qs.atr(*tables, periods[0], **kw)],
}
DTYPES = ["float64", ">f8", "float32", "int64", "int32", "uint8", "bool", "complex128", "float16"]
# The markers and finite numbers only: where two NaN operands meet, lanes and the one-series loop
# may keep either payload, and the marker's is the same for both.
TABLE_VALUES = st.floats(-1e6, 1e6, width=32) | st.sampled_from([MISSING, -0.0, 0.0])


@st.composite
def laid_out(draw, values, dtype):
    """`values` (bars, symbols) converted to `dtype` and laid out as some caller might hand it:
    C or Fortran order, every other row or column, reversed, or at an odd byte offset in a buffer."""
    table = values.astype(dtype) if dtype != "bool" else values > 0
    layout = draw(st.sampled_from(["C", "F", "rows apart", "columns apart", "reversed", "offset"]))
    if layout == "F":
        return np.asfortranarray(table)
    if layout == "rows apart":
        return np.repeat(table, 2, axis=0)[::2]
    if layout == "columns apart":
        return np.repeat(table, 2, axis=1)[:, ::2]
    if layout == "reversed":
        return table[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "offset":
        offset = draw(st.integers(1, table.itemsize - 1)) if table.itemsize > 1 else 0
        buffer = bytearray(table.nbytes + offset)
        placed = np.frombuffer(buffer, dtype=table.dtype, count=table.size, offset=offset).reshape(table.shape)
        placed[...] = table
        return placed
    return np.ascontiguousarray(table)


@FUZZ
@given(data=st.data())
def test_any_table_is_refused_or_gives_each_column_its_series_bits(data):
    name = data.draw(st.sampled_from(list(TABLE_CALLS)))
    bars, symbols = data.draw(st.integers(0, 40)), data.draw(st.integers(0, 12))
    if name == "macd":
        fast = data.draw(st.integers(1, 8))
        periods = (fast, data.draw(st.integers(fast + 1, 20)), data.draw(st.integers(1, 8)))
    else:
        periods = (data.draw(st.integers(1, 45)),)
    dtype = data.draw(st.sampled_from(DTYPES))
    values = np.array(data.draw(st.lists(TABLE_VALUES, min_size=bars * symbols, max_size=bars * symbols)))
    values = values.reshape(bars, symbols)
    inputs = [values + 1.0, values - 1.0, values] if name == "atr" else [values]
    tables = [data.draw(laid_out(table, dtype)) for table in inputs]
    workers = data.draw(st.sampled_from([None, 1, 2, 3, 4, 64]) | st.sampled_from([0, -1, 2**70, 1.5, "2"]))
    try:
        results = TABLE_CALLS[name](tables, periods, workers=workers)
    except REFUSED:
        return
    for result in results:
        assert np.asarray(result).shape == (bars, symbols)
    for i in range(symbols):
        expected = TABLE_CALLS[name]([table[:, i] for table in tables], periods)
        for result, column in zip(results, expected):
            assert_same_bits(np.asarray(result)[:, i], column)


@pytest.mark.parametrize("cls", list(LIVE))
def test_every_class_restores_its_own_saved_state(cls):
    # The property above only means something if untouched states are taken back.
    live = cls(*(3, 5, 2) if cls is stream.MACD else (3,))
    feed_many(live, [1.0, 2.0, 4.0, 8.0])
    assert restored(cls, live.__getstate__()).__getstate__() == live.__getstate__()
