"""quillora_series used as a hostile caller would: exits and forks mid-call, interrupts, many threads,
forged snapshots, memory off the 8-byte grid, outputs it cannot write, inputs that are not real numbers."""

import subprocess
import sys
import textwrap
import threading

import numpy as np
import pandas as pd
import pytest

import quillora_series as qs
from conftest import assert_same_bits
from quillora_series import _native, stream


def run_script(source, timeout=120):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True, timeout=timeout
    )


# --- the process around the calls ---------------------------------------------------------------

BUSY_DAEMONS = {
    "table calls": "table = np.ones((3000, 300)); work = lambda: [qs.ema(table, 5) for _ in iter(int, 1)]",
    "live chunks": "live = stream.SMA(3); x = np.ones(1 << 20); work = lambda: [live.update_many(x) for _ in iter(int, 1)]",
    "a held state": "live = stream.MACD(); work = lambda: (live, time.sleep(60))",
}


@pytest.mark.parametrize("work", BUSY_DAEMONS.values(), ids=BUSY_DAEMONS)
def test_exit_beside_a_daemon_thread_is_clean(work):
    # The daemon is inside a call without the lock, or holds a live state, when the main thread ends.
    done = run_script(f"""
        import threading, time, numpy as np, quillora_series as qs
        from quillora_series import stream
        {work}
        threading.Thread(target=work, daemon=True).start()
        time.sleep(0.3)
    """)
    assert (done.returncode, done.stderr) == (0, "")


def test_a_real_leak_is_still_reported_at_exit():
    done = run_script("""
        import ctypes
        from quillora_series import stream
        live = stream.SMA(3)
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(live._state))
    """)
    assert done.returncode == 0 and "nanobind: leaked 1 instances" in done.stderr


def test_a_child_forked_after_the_workers_started_runs_tables():
    done = run_script("""
        import os, warnings, numpy as np, quillora_series as qs
        warnings.simplefilter("ignore", DeprecationWarning)  # CPython's warning about forking beside threads
        table = np.random.default_rng(1).normal(size=(4000, 256))
        expected = qs.macd(table, workers=4).hist
        pid = os.fork()
        if pid == 0:
            os._exit(0 if np.array_equal(qs.macd(table, workers=4).hist, expected, equal_nan=True) else 1)
        print(os.waitpid(pid, 0)[1])
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "0\n", "")


def test_an_interrupt_during_long_table_calls_is_raised_promptly_and_corrupts_nothing():
    done = run_script("""
        import os, signal, threading, time, numpy as np, quillora_series as qs
        table = np.random.default_rng(2).normal(size=(3000, 500))
        expected = qs.atr(table, table - 1, table, workers=2)
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            while time.monotonic() - start < 30:
                qs.atr(table, table - 1, table, workers=2)
        except KeyboardInterrupt:
            print("interrupted" if time.monotonic() - start < 5 else "late")
        print(np.array_equal(qs.atr(table, table - 1, table, workers=2), expected, equal_nan=True))
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted\nTrue\n", "")


def test_many_threads_calling_tables_at_once_get_their_own_bits():
    rng = np.random.default_rng(3)
    tables = [rng.normal(size=(500 + 37 * k, 40 + k)) for k in range(8)]
    expected = [qs.macd(table, 3, 11, 4, workers=1) for table in tables]
    failures = []

    def work(k):
        for _ in range(10):
            got = qs.macd(tables[k], 3, 11, 4, workers=3)
            if not all(np.array_equal(a.view(np.uint64), b.view(np.uint64)) for a, b in zip(got, expected[k])):
                failures.append(k)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(tables))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads) and failures == []


# --- memory off the 8-byte grid -----------------------------------------------------------------


def off_grid(values):
    """`values` copied into memory that starts one byte past an 8-byte boundary."""
    buffer = bytearray(values.nbytes + 8)
    moved = np.frombuffer(buffer, dtype=np.float64, offset=1, count=values.size).reshape(values.shape)
    moved[...] = values
    assert not moved.flags.aligned and moved.flags.c_contiguous
    return moved


TABLE = np.random.default_rng(4).normal(size=(100, 4))
CALLS = {
    "macd table": lambda t: qs.macd(t, 2, 5, 3),
    "sma table": lambda t: qs.sma(t, 3),
    "atr table": lambda t: qs.atr(t, t - 1, t, 5),
    "native table": lambda t: _native.table_ema(4, t, out := np.empty(t.shape), 2) or out,
    "live sma": lambda t: stream.SMA(3).update_many(t.ravel()),
    "live macd": lambda t: stream.MACD(2, 5, 3).update_many(t.ravel()),
    "live atr": lambda t: stream.ATR(5).update_many(t.ravel(), t.ravel() - 1, t.ravel()),
    "sma series": lambda t: qs.sma(t.ravel(), 3),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS)
def test_data_off_the_8_byte_grid_gives_the_aligned_bits(call):
    expected, got = call(TABLE), call(off_grid(TABLE))
    for a, b in zip(expected if isinstance(expected, tuple) else [expected], got if isinstance(got, tuple) else [got]):
        assert_same_bits(np.asarray(b), np.asarray(a))


def test_a_table_view_with_strides_off_the_grid_is_read_from_a_copy():
    packed = np.zeros(100, dtype=[("x", "f8"), ("tag", "i4")])
    packed["x"] = TABLE[:, 0]
    view = packed["x"].reshape(100, 1)
    output = np.empty((100, 1))
    _native.table_sma(3, view, output, 1)
    assert_same_bits(output, qs.sma(TABLE[:, :1].copy(), 3))


# --- live outputs -------------------------------------------------------------------------------


def _read_only(n):
    array = np.zeros(n)
    array.flags.writeable = False
    return array


BAD_OUTPUTS = [
    (lambda n: np.zeros(n, np.float32), TypeError, "output must be a 1-D float64 array, got float32 ndarray"),
    (lambda n: np.zeros(2 * n)[::2], ValueError, "output must be contiguous, with strides of 8 bytes"),
    (lambda n: off_grid(np.zeros(n)), ValueError, "output must be aligned to 8 bytes"),
    (_read_only, ValueError, "output is read-only"),
    (lambda n: np.zeros(n + 1), ValueError, "output length must match the input length"),
]


@pytest.mark.parametrize("make, error, message", BAD_OUTPUTS)
def test_a_live_run_refuses_an_output_it_cannot_write_and_stays_where_it_was(make, error, message):
    state = _native.SmaState(3)
    state.run(np.ones(4), np.empty(4))
    before = state.snapshot()
    output = make(5)
    with pytest.raises(error, match=f"^{message}$"):
        state.run(np.arange(5.0), output)
    assert state.snapshot() == before and not np.any(output)


@pytest.mark.parametrize("name", ["sma", "macd", "atr"])
def test_a_live_output_that_is_the_input_gives_the_bits_of_separate_arrays(name):
    data = np.random.default_rng(5).normal(size=40)
    make = {
        "sma": lambda: _native.SmaState(4),
        "macd": lambda: _native.MacdState(2, 5, 3),
        "atr": lambda: _native.AtrState(4),
    }[name]
    inputs = 3 if name == "atr" else 1
    outputs = 3 if name == "macd" else 1
    expected = [np.empty(40) for _ in range(outputs)]
    make().run(*[data] * inputs, *expected)
    shared = [data.copy() for _ in range(outputs)]
    make().run(*[shared[0]] * inputs, *shared)
    for got, want in zip(shared, expected):
        assert_same_bits(got, want)


def test_live_outputs_that_share_memory_are_refused():
    lines = np.empty(10)
    with pytest.raises(ValueError, match="must not share memory"):
        _native.MacdState(2, 5, 3).run(np.ones(10), lines, lines, np.empty(10))


# --- snapshots ----------------------------------------------------------------------------------

LIVE = {
    "sma": lambda: stream.SMA(4),
    "ema": lambda: stream.EMA(4),
    "macd": lambda: stream.MACD(2, 5, 3),
    "atr": lambda: stream.ATR(4),
}


def fed(name):
    live = LIVE[name]()
    x = np.arange(1.0, 11.0)
    live.update_many(x, x - 1, x) if name == "atr" else live.update_many(x)
    return live


@pytest.mark.parametrize("saved", LIVE)
@pytest.mark.parametrize("restored", LIVE)
def test_a_snapshot_names_its_indicator_and_restores_as_no_other(saved, restored):
    snapshot = fed(saved).__getstate__()
    assert snapshot[0] == saved
    if saved == restored:
        LIVE[restored]().__setstate__(snapshot)
    else:
        with pytest.raises(ValueError, match=f"is of another indicator \\('{saved}', not '{restored}'\\)"):
            LIVE[restored]().__setstate__(snapshot)


HUGE_WINDOW = 2**62  # as many samples as a forged count claims: 32 EiB if they were allocated
FORGED = [
    ("sma", ("sma", 2, 4, 2**64 - 1, b"\0" * 40)),  # a count that wraps on the next sample
    ("sma", ("sma", 2, 4, 3, b"\0" * 40)),  # a window larger than the samples seen
    ("sma", ("sma", 2, 2**64 - 1, HUGE_WINDOW, b"\0" * 8)),  # a window it would have to allocate
    ("sma", ("sma", 2, 0, 0, b"\0" * 8)),  # a period no live state has
    ("sma", ("sma", 2, 4, True, b"\0" * 8)),
    ("sma", ("sma", 2, 4, 0, "text")),
    ("sma", ("sma", 2, 4, 0)),
    ("ema", ("ema", 2, 4, 5, b"\0" * 16)),  # a seed run longer than the period
    ("macd", ("macd", 2, 5, 2, 3, 0, b"\0" * 24)),
    ("macd", ("macd", 2, 2, 2**64 - 1, 3, HUGE_WINDOW, b"\0" * 24)),
    ("atr", ("atr", 2, 4, 2**63, b"\0" * 24)),
    ("atr", ("atr", 3, 4, 1, b"\0" * 24)),
    ("atr", (1, 4, 1, b"\0" * 24)),  # format 1 named no indicator: this could be an SMA's too
]


@pytest.mark.parametrize("name, snapshot", FORGED)
def test_a_snapshot_no_live_state_could_reach_is_refused(name, snapshot):
    with pytest.raises(ValueError, match="^cannot restore "):
        LIVE[name]().__setstate__(snapshot)


def test_a_macd_snapshot_of_the_untagged_format_still_restores():
    live = fed("macd")
    _, _, *fields = live.__getstate__()
    restored = stream.MACD()
    restored.__setstate__((1, *fields))
    assert restored.update(7.5) == live.update(7.5)


@pytest.mark.parametrize("name", LIVE)
def test_periods_past_2_to_the_63_grow_their_window_with_the_samples(name):
    big = 2**63 + 5
    live = {"sma": stream.SMA, "ema": stream.EMA, "atr": stream.ATR}.get(name, lambda p: stream.MACD(2**63, p, p))(big)
    x = np.ones(1000)
    values = live.update_many(x, x, x) if name == "atr" else live.update_many(x)
    assert np.isnan(np.asarray(values)).all()
    again = type(live).__new__(type(live))
    again.__setstate__(live.__getstate__())
    assert again.__getstate__() == live.__getstate__()


# --- inputs that are not real numbers -----------------------------------------------------------

NOT_REAL = {
    "complex array": np.array([1.0, 2.0 + 1j]),
    "str array": np.array(["1.5", "2"]),
    "object array of str": np.array([1.5, "2"], dtype=object),
    "object array of complex": np.array([1.5, np.complex64(2)], dtype=object),
    "pandas object Series": pd.Series([1.5, "2"], dtype=object),
    "pandas string Series": pd.Series(["1.5", "2"], dtype="string"),
    "list with text": [1.5, "2"],
}
ENTRY_POINTS = {
    "batch": lambda x: qs.ema(x, 2),
    "table": lambda x: qs.ema(pd.DataFrame({"a": x, "b": x}) if isinstance(x, pd.Series) else np.stack([x, x], 1), 2),
    "live": lambda x: stream.EMA(2).update_many(x),
    "live one by one": lambda x: [stream.EMA(2).update(v) for v in np.asarray(x, dtype=object)],
}


@pytest.mark.parametrize("values", NOT_REAL.values(), ids=NOT_REAL)
@pytest.mark.parametrize("entry", ENTRY_POINTS.values(), ids=ENTRY_POINTS)
def test_every_entry_point_refuses_what_is_not_a_real_number(entry, values):
    with pytest.raises(TypeError, match="(expected real numbers, got|must be a (real )?number, got) "):
        entry(values)
