"""Arrays changed by Python code after they were accepted: refused as their new state deserves, nothing written.

Python code runs inside a call at three places: an output's __len__ (MACD's length queries), the
import hook during the first call's borrow-table lookup, and a foreign borrow table's callbacks."""

import ast
import functools
from pathlib import Path

import pytest

from conftest import run_python

ARRAYS = {  # (inputs, outputs) of each function, in parameter order
    "sma": (["data"], ["output"]),
    "ema": (["data"], ["output"]),
    "macd": (["data"], ["macd_output", "signal_output", "hist_output"]),
    "atr": (["high", "low", "close"], ["output"]),
}

# Runs the cases of one way in one fresh interpreter; an import hook sees only a process's first call,
# so that way runs one case per interpreter.
CHILD = """
import builtins, sys, warnings
sys.path.insert(0, {tests!r})
warnings.simplefilter("ignore", DeprecationWarning)  # setting dtype is deprecated in NumPy 2.5
import numpy as np, quillora
from test_borrow_registry import ForeignTable, multiarray, NAME
from test_changed_arrays import ARRAYS

SENTINEL = 0x4060BADC0FFEE000
n = 8
pending = []


def run_pending():
    if pending:
        pending.pop()()


class Lengthy(np.ndarray):
    def __len__(self):
        run_pending()
        return n


def run(function, way, mutation, target):
    inputs, outputs = ARRAYS[function]

    def output():
        array = np.ndarray.__new__(Lengthy if way == "len" else np.ndarray, (n,))  # owns its memory
        array.view(np.uint64)[:] = SENTINEL
        return array

    arrays = {{name: np.arange(1.0, n + 1) for name in inputs}} | {{name: output() for name in outputs}}

    def change():
        array = arrays[target]
        if mutation == "resize":
            array.resize((), refcheck=False)
        elif mutation == "dtype":
            array.dtype = np.int64
        else:
            array.flags.writeable = False

    pending.append(change)
    try:
        getattr(quillora, "indicator_" + function)(*((1, 2, 1) if function == "macd" else (3,)), *arrays.values())
        outcome = None
    except Exception as error:
        outcome = (type(error).__name__, str(error))
    untouched = all(set(np.frombuffer(arrays[name].tobytes(), np.uint64)) == {{SENTINEL}} for name in outputs)
    return outcome, not pending, untouched


cases = {cases!r}
way = cases[0][1]
if way == "import":
    try:
        quillora.indicator_sma(3, [1.0], np.zeros(1))  # NumPy's table settled; no input taken yet
    except TypeError:
        pass
    original_import = builtins.__import__
    builtins.__import__ = lambda *args, **kwargs: (run_pending(), original_import(*args, **kwargs))[1]
elif way == "foreign":
    foreign = ForeignTable(on_take=run_pending)
    setattr(multiarray(), NAME, foreign.capsule)
print([run(*case) for case in cases])
"""


def cases():
    for function, (inputs, outputs) in ARRAYS.items():
        for way in ["import", "foreign"] + (["len"] if function == "macd" else []):
            yield function, way, "resize", inputs[0]
            yield function, way, "dtype", inputs[0]
            yield function, way, "read-only", outputs[0]
    yield "macd", "len", "resize", "signal_output"
    yield "macd", "len", "dtype", "signal_output"


@functools.cache
def outcomes(cases):
    result = run_python(CHILD.format(tests=str(Path(__file__).parent), cases=cases))
    assert result.returncode == 0, result.stderr
    return dict(zip(cases, ast.literal_eval(result.stdout)))


CASES = list(cases())


@pytest.mark.parametrize("case", CASES, ids="-".join)
def test_array_changed_after_acceptance_is_refused(case):
    function, way, mutation, target = case
    batch = (case,) if way == "import" else tuple(c for c in CASES if c[1] == way)
    outcome, changed, untouched = outcomes(batch)[case]
    if mutation == "read-only":
        expected = ("ValueError", f"argument '{target}': output array is read-only")
    else:
        type_name = "Lengthy" if way == "len" and target in ARRAYS[function][1] else "ndarray"
        expected = ("TypeError", f"argument '{target}': '{type_name}' object cannot be converted to 'PyArray<T, D>'")
    assert (outcome, changed, untouched) == (expected, True, True)
