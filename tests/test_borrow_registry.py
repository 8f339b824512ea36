"""The process-wide borrow registry, seen as another extension module sees it: through the capsule's table."""

import ast
import contextlib
import ctypes
import importlib
import sys
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest

import quillora
from conftest import bits, halted_import_error, run_in_threads, run_python

NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
MULTIARRAY = "numpy._core.multiarray" if np.lib.NumpyVersion(np.__version__).major >= 2 else "numpy.core.multiarray"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
API_ERROR = "Interal borrow checking API error: "

# The table's functions run with the interpreter lock held, so they are called through PYFUNCTYPE.
Take = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
Drop = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype, capsule_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype, capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype, capsule_new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]


def multiarray():
    return importlib.import_module(MULTIARRAY)


class Cooperator:
    """A second module using the table on the multiarray module, as that module's own code would."""

    def __init__(self, capsule):
        words = (ctypes.c_uint64 * 6).from_address(capsule_pointer(capsule, capsule_name(capsule)))
        self.version, self.registry = words[0], words[1]
        self._take_shared, self._take_exclusive = Take(words[2]), Take(words[3])
        self._drop_shared, self._drop_exclusive = Drop(words[4]), Drop(words[5])

    def take_shared(self, array):
        return self._take_shared(self.registry, array)

    def take_exclusive(self, array):
        return self._take_exclusive(self.registry, array)

    def drop_shared(self, array):
        self._drop_shared(self.registry, array)

    def drop_exclusive(self, array):
        self._drop_exclusive(self.registry, array)

    @contextlib.contextmanager
    def exclusive(self, array):
        assert self.take_exclusive(array) == 0
        yield
        self.drop_exclusive(array)

    def is_free(self, array):
        """Whether nothing at all of the memory under `array` is borrowed."""
        while isinstance(array.base, np.ndarray):
            array = array.base
        code = self.take_exclusive(array)
        if code == 0:
            self.drop_exclusive(array)
        return code == 0


class ForeignTable:
    """Another module's table, installed before quillora looks: Python callbacks that log their calls.
    take_shared answers with `codes` in turn (the last one repeating), after calling `on_take`."""

    def __init__(self, codes=(0,), version=1, name=b"foreign.borrow_table", registry=0xC0FFEE, on_take=None):
        self.codes, self.log = list(codes), []
        self.names = {}  # id -> name, so the log reads as argument names

        def record(kind, registry_word, array):
            self.log.append((kind, registry_word, self.names.get(id(array), "?")))

        def take_shared(registry_word, array):
            record("take", registry_word, array)
            if on_take:
                on_take()
            return self.codes[min(sum(entry[0] == "take" for entry in self.log), len(self.codes)) - 1]

        def take_exclusive(registry_word, array):
            record("take_exclusive", registry_word, array)
            return 0

        self._functions = [
            Take(take_shared),
            Take(take_exclusive),
            Drop(lambda *args: record("drop", *args)),
            Drop(lambda *args: record("drop_exclusive", *args)),
        ]
        addresses = [ctypes.cast(f, ctypes.c_void_p).value for f in self._functions]
        self.words = (ctypes.c_uint64 * 6)(version, registry, *addresses)
        self._name = ctypes.create_string_buffer(name)
        self.capsule = capsule_new(ctypes.addressof(self.words), ctypes.addressof(self._name), None)

    def calls(self, **arrays):
        self.names = {id(a): name for name, a in arrays.items()}
        self.log.clear()
        return self.log


@pytest.fixture(scope="module")
def registry():
    quillora.indicator_sma(1, np.zeros(1), np.zeros(1))  # the first input taken settles the table
    return Cooperator(getattr(multiarray(), NAME))


def run_child(body):
    """Runs `body` in a fresh interpreter with this file's helpers; returns the value it prints."""
    prelude = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\nfrom test_borrow_registry import *\n"
    result = run_python(prelude + body)
    assert result.returncode == 0, result.stderr
    return ast.literal_eval(result.stdout)


def test_first_call_installs_one_capsule_on_the_running_numpys_multiarray():
    before, capsule_type, name, version, kept = run_child("""
import numpy as np
import quillora
before = hasattr(multiarray(), NAME)
quillora.indicator_sma(2, np.ones(4), np.empty(4))
capsule = getattr(multiarray(), NAME)
quillora.indicator_macd(1, 2, 1, np.ones(4), np.empty(4), np.empty(4), np.empty(4))
quillora.indicator_atr(2, np.ones(4), np.ones(4), np.ones(4), np.empty(4))
print((before, type(capsule).__name__, capsule_name(capsule).decode(), Cooperator(capsule).version,
       getattr(multiarray(), NAME) is capsule))
""")
    assert (before, capsule_type, name, version, kept) == (False, "PyCapsule", NAME, 1, True)


@pytest.mark.parametrize(
    "first, second, code",
    [
        (lambda a: a[0::2], lambda a: a[1::2], 0),  # overlapping ranges, disjoint elements
        (lambda a: a[0:4], lambda a: a[2:6], -1),
        (lambda a: a[0:4], lambda a: a[4:8], 0),
        (lambda a: a[::-1], lambda a: a[7:8], -1),
        (lambda a: a, lambda a: a[3:4], -1),
        (lambda a: a[0:4], lambda a: a[0:4], -1),
        (lambda a: a[0:0], lambda a: a[0:0], -1),  # one empty extent, held twice
        # Stride 0 on both sides: no divisor to test, and these do share bytes 12..16.
        (lambda a: zero_stride(a, 8), lambda a: zero_stride(a, 12), -1),
        (lambda a: zero_stride(a, 8), lambda a: zero_stride(a, 16), 0),
        (lambda a: zero_stride(a, 8), lambda a: a[1::2], -1),
        (lambda a: zero_stride(a, 8), lambda a: a[0::2], 0),
        # Disjoint, but only the gcd of the strides is tested: a reported conflict, as for every module.
        (lambda a: a.reshape(2, 4)[:, :2], lambda a: a.reshape(2, 4)[:, 2:], -1),
    ],
    ids=[
        "even-odd",
        "overlap",
        "adjacent",
        "reversed",
        "whole",
        "same",
        "empty",
        "zero-zero",
        "zero-zero-apart",
        "zero-odd",
        "zero-even",
        "2d-columns",
    ],
)
def test_exclusive_borrows_of_one_owner(registry, first, second, code):
    a = np.arange(8.0)
    one, two = first(a), second(a)
    with registry.exclusive(one):
        assert registry.take_exclusive(two) == code
        if code == 0:
            registry.drop_exclusive(two)
    assert registry.is_free(a)


def zero_stride(a, offset):
    return np.ndarray(shape=(4,), dtype=np.float64, buffer=a, offset=offset, strides=(0,))


def test_read_only_array_cannot_be_borrowed_exclusively(registry):
    a = np.arange(8.0)
    view = a[2:6]
    view.flags.writeable = False
    assert registry.take_exclusive(view) == -2
    assert registry.is_free(a)


def test_shared_borrows_are_counted(registry):
    a = np.arange(8.0)
    for _ in range(3):
        assert registry.take_shared(a[1:3]) == 0
    for _ in range(3):
        assert registry.take_exclusive(a[2:4]) == -1
        registry.drop_shared(a[1:3])
    assert registry.is_free(a)


@pytest.mark.parametrize(
    "hold, drop, blocked",
    [
        # An exclusive release naming a range the caller does not hold leaves the owner's one entry.
        ("exclusive a[4:8]", "drop_exclusive a[0:4]", "a[4:8]"),
        ("shared a[4:8]", "drop_exclusive a[4:8]", "a[4:8]"),
        ("exclusive a[4:8]", "drop_shared a[4:8]", "a[4:8]"),
        ("exclusive a[4:8]", "drop_shared a[0:4]", "a[4:8]"),
        ("exclusive b", "drop_exclusive a", "b"),
        ("exclusive b", "drop_shared a", "b"),
    ],
)
def test_releasing_what_is_not_held_changes_nothing(registry, hold, drop, blocked):
    a, b = np.arange(8.0), np.arange(8.0)
    views = {"a": a, "b": b, "a[0:4]": a[0:4], "a[4:8]": a[4:8]}
    kind, held = hold.split()
    getattr(registry, f"take_{kind}")(views[held])
    operation, target = drop.split()
    getattr(registry, operation)(views[target])
    assert registry.take_exclusive(views[blocked]) == -1
    getattr(registry, f"drop_{kind}")(views[held])
    assert registry.is_free(a) and registry.is_free(b)


def inputs_and_call(function, blocked):
    """Fresh inputs, a call of `function` on them, and the input named `blocked`."""
    a, b, c = (np.arange(8.0) + k for k in range(3))
    out = [np.full(8, -0.0) for _ in range(3)]
    calls = {
        "sma": (lambda: quillora.indicator_sma(3, a, out[0]), {"data": a}),
        "ema": (lambda: quillora.indicator_ema(3, a, out[0]), {"data": a}),
        "macd": (lambda: quillora.indicator_macd(2, 3, 2, a, *out), {"data": a}),
        "atr": (lambda: quillora.indicator_atr(3, a, b, c, out[0]), {"high": a, "low": b, "close": c}),
    }
    call, inputs = calls[function]
    return call, inputs, inputs[blocked], out


REFUSALS = [("sma", "data"), ("ema", "data"), ("macd", "data"), ("atr", "high"), ("atr", "low"), ("atr", "close")]


@pytest.mark.parametrize("function, blocked", REFUSALS)
def test_input_under_a_foreign_exclusive_borrow_is_refused(registry, function, blocked):
    call, inputs, target, outputs = inputs_and_call(function, blocked)
    written = [bits(o) for o in outputs]
    held = target[2:6]
    with registry.exclusive(held):
        counts = [sys.getrefcount(x) for x in (*inputs.values(), *outputs)]
        with pytest.raises(BufferError) as caught:
            call()
        assert str(caught.value) == ALREADY_BORROWED
        assert [bits(o) for o in outputs] == written
        # Inputs taken before the refused one were released again, reference and borrow.
        assert [sys.getrefcount(x) for x in (*inputs.values(), *outputs)] == counts
        assert all(registry.is_free(x) for x in inputs.values() if x is not target)
    call()
    assert [bits(o) for o in outputs] != written
    assert all(registry.is_free(x) for x in inputs.values())


def failing_calls():
    """Calls that fail at every step after the first input is taken, with what they raise."""
    x, y, z = (np.arange(8.0) for _ in range(3))
    out, short, strided = np.zeros(8), np.zeros(7), np.zeros(16)[::2]
    frozen = np.zeros(8)
    frozen.flags.writeable = False
    cases = {}
    for name in ("sma", "ema"):
        f = getattr(quillora, f"indicator_{name}")
        cases |= {
            f"{name} output not an array": (lambda f=f: f(3, x, [0.0] * 8), TypeError),
            f"{name} input strided": (lambda f=f: f(3, x[::2], np.zeros(4)), ValueError),
            f"{name} output strided": (lambda f=f: f(3, x, strided), ValueError),
            f"{name} lengths": (lambda f=f: f(3, x, short), ValueError),
            f"{name} read-only output": (lambda f=f: f(3, x, frozen), ValueError),
            f"{name} succeeds": (lambda f=f: f(3, x, out), None),
        }
    outs = [np.zeros(8) for _ in range(3)]
    macd = quillora.indicator_macd
    cases |= {
        "macd signal output not an array": (lambda: macd(2, 3, 2, x, outs[0], None, outs[2]), TypeError),
        "macd zero period": (lambda: macd(0, 3, 2, x, *outs), ValueError),
        "macd fast not below slow": (lambda: macd(3, 3, 2, x, *outs), ValueError),
        "macd lengths": (lambda: macd(2, 3, 2, x, outs[0], short, outs[2]), ValueError),
        "macd input strided": (lambda: macd(2, 3, 2, y[::2], *(np.zeros(4) for _ in range(3))), ValueError),
        "macd hist strided": (lambda: macd(2, 3, 2, x, outs[0], outs[1], strided), ValueError),
        "macd read-only signal": (lambda: macd(2, 3, 2, x, outs[0], frozen, outs[2]), ValueError),
        "macd succeeds": (lambda: macd(2, 3, 2, x, *outs), None),
    }
    atr = quillora.indicator_atr
    cases |= {
        "atr low not an array": (lambda: atr(3, x, [0.0] * 8, z, out), TypeError),
        "atr close not an array": (lambda: atr(3, x, y, None, out), TypeError),
        "atr output not an array": (lambda: atr(3, x, y, z, "out"), TypeError),
        "atr close strided": (lambda: atr(3, x[:4], y[:4], z[::2], np.zeros(4)), ValueError),
        "atr lengths": (lambda: atr(3, x, y, z[:7], out), ValueError),
        "atr output strided": (lambda: atr(3, x, y, z, strided), ValueError),
        "atr read-only output": (lambda: atr(3, x, y, z, frozen), ValueError),
        "atr one array thrice": (lambda: atr(3, x, x, x, out), None),
        "atr one view thrice, strided": (lambda: atr(3, x[::2], x[::2], x[::2], np.zeros(4)), ValueError),
    }
    return [pytest.param(call, raised, (x, y, z), id=name) for name, (call, raised) in cases.items()]


@pytest.mark.parametrize("call, raised, inputs", failing_calls())
def test_no_borrow_outlives_its_call(registry, call, raised, inputs):
    if raised is None:
        call()
    else:
        with pytest.raises(raised):
            call()
    assert [registry.is_free(x) for x in inputs] == [True] * len(inputs)


class Resizing(np.ndarray):
    """An output whose length query changes the input `data` (the attribute) before answering."""

    data, change = None, None

    def __len__(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            self.change(self.data)
        return self.shape[0]


@pytest.mark.parametrize(
    "view, change, restore",
    [
        (True, lambda data: setattr(data, "strides", (16,)), lambda data: setattr(data, "strides", (8,))),
        (False, lambda data: data.resize(2, refcheck=False), lambda data: None),
        (True, lambda data: setattr(data, "dtype", np.int64), lambda data: setattr(data, "dtype", np.float64)),
    ],
    ids=["strides", "resized", "dtype"],
)
def test_input_changed_during_the_call_leaves_no_borrow(registry, view, change, restore):
    owner = np.zeros(8)
    data = owner[:4] if view else owner
    outputs = [np.zeros(len(data)).view(Resizing) for _ in range(3)]
    outputs[0].data, outputs[0].change = data, change
    with pytest.raises((ValueError, TypeError)):
        quillora.indicator_macd(1, 2, 1, data, *outputs)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        restore(data)
    assert registry.is_free(owner)


def test_concurrent_calls_leave_the_registry_empty(registry):
    high, low, close = np.linspace(2, 3, 64), np.linspace(0, 1, 64), np.linspace(1, 2, 64)
    start, failures = threading.Barrier(8), []

    def work(_):
        out = [np.empty(64) for _ in range(3)]
        start.wait()
        try:
            for _ in range(300):
                quillora.indicator_sma(5, close, out[0])
                quillora.indicator_ema(5, close[::-1][::-1], out[1])
                quillora.indicator_macd(3, 6, 4, close, *out)
                quillora.indicator_atr(5, high, low, close, out[0])
                quillora.indicator_atr(5, close, close, close, out[1])
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    run_in_threads(work, range(8))
    assert failures == []
    assert [registry.is_free(x) for x in (high, low, close)] == [True] * 3


FOREIGN_CALLS = """
import numpy as np
import quillora
a, b, c, out = np.arange(8.0), np.arange(8.0) + 1, np.arange(8.0) + 2, np.full(8, -0.0)
before = bits(out)
"""


@pytest.mark.parametrize(
    "codes, call, arrays, raised, log",
    [
        ((0,), "quillora.indicator_sma(3, a, out)", "data=a", None, ["take data", "drop data"]),
        (
            (0,),
            "quillora.indicator_macd(1, 2, 1, a, out, np.zeros(8), np.zeros(8))",
            "data=a",
            None,
            ["take data", "drop data"],
        ),
        (
            (0,),
            "quillora.indicator_atr(3, a, b, c, out)",
            "high=a, low=b, close=c",
            None,
            ["take high", "take low", "take close", "drop close", "drop low", "drop high"],
        ),
        ((0,), "quillora.indicator_atr(3, a, a, a, out)", "x=a", None, ["take x"] * 3 + ["drop x"] * 3),
        (
            (0,),
            "quillora.indicator_sma(3, a, [1.0])",
            "data=a",
            "TypeError: argument 'output': 'list' object cannot be converted to 'PyArray<T, D>'",
            ["take data", "drop data"],
        ),
        ((-1,), "quillora.indicator_sma(3, a, out)", "data=a", f"BufferError: {ALREADY_BORROWED}", ["take data"]),
        (
            (0, 0, -1),
            "quillora.indicator_atr(3, a, b, c, out)",
            "high=a, low=b, close=c",
            f"BufferError: {ALREADY_BORROWED}",
            ["take high", "take low", "take close", "drop low", "drop high"],
        ),
        (
            (0, 7),
            "quillora.indicator_atr(3, a, b, c, out)",
            "high=a, low=b, close=c",
            "RuntimeError: Unexpected return code 7 from borrow checking API",
            ["take high", "take low", "drop high"],
        ),
        (
            (-2,),
            "quillora.indicator_ema(3, a, out)",
            "data=a",
            "RuntimeError: Unexpected return code -2 from borrow checking API",
            ["take data"],
        ),
    ],
    ids=["sma", "macd", "atr", "atr one array", "conversion fails", "refused", "third refused", "code 7", "code -2"],
)
def test_foreign_table_found_first_is_the_one_used(codes, call, arrays, raised, log):
    result = run_child(
        FOREIGN_CALLS
        + f"""
foreign = ForeignTable(codes={codes!r})
setattr(multiarray(), NAME, foreign.capsule)
calls = foreign.calls({arrays})
try:
    {call}
    raised = None
except Exception as error:
    raised = f"{{type(error).__name__}}: {{error}}"
print((raised, calls, getattr(multiarray(), NAME) is foreign.capsule, bits(out) == before))
"""
    )
    got_raised, calls, kept, untouched = result
    assert got_raised == raised
    # Every call passes the foreign registry word back; the order of releases is not part of the protocol.
    assert {entry[1] for entry in calls} == {0xC0FFEE}
    assert sorted(f"{kind} {name}" for kind, _, name in calls) == sorted(log)
    assert kept
    assert untouched == (raised is not None)


def setattr_error():
    """The error of storing the capsule on an object that takes no attributes."""
    try:
        setattr(object(), NAME, None)
    except AttributeError as error:
        return repr(error)


@pytest.mark.parametrize(
    "setup, mend, readable",
    [
        (
            "foreign = ForeignTable(version=0); setattr(multiarray(), NAME, foreign.capsule)",
            "foreign.words[0] = 1",
            "PyErr { type: <class 'TypeError'>, value: TypeError('Version 0 of borrow checking API is not supported "
            "by this version of rust-numpy'), traceback: None }",
        ),
        (
            "setattr(multiarray(), NAME, 42)",
            "delattr(multiarray(), NAME)",
            "PyErr { type: <class 'TypeError'>, value: TypeError(\"'int' object cannot be converted to 'PyCapsule'\"), "
            "traceback: None }",
        ),
        (
            "module = multiarray(); sys.modules[MULTIARRAY] = None",
            "sys.modules[MULTIARRAY] = module",
            f"PyErr {{ type: <class 'ModuleNotFoundError'>, value: {halted_import_error(MULTIARRAY)}, traceback: None }}",
        ),
        # The store of a new capsule fails: the capsule is freed again and nothing is kept.
        (
            "module = multiarray(); sys.modules[MULTIARRAY] = object()",
            "sys.modules[MULTIARRAY] = module",
            f"PyErr {{ type: <class 'AttributeError'>, value: {setattr_error()}, traceback: None }}",
        ),
    ],
    ids=["version 0", "not a capsule", "no multiarray", "store fails"],
)
def test_unusable_table_is_a_runtime_error_until_mended(setup, mend, readable):
    result = run_child(
        FOREIGN_CALLS
        + f"""
try:
    quillora.indicator_sma(3, [1.0], out)  # settles NumPy's API table, takes no input
except TypeError:
    pass
{setup}
outcomes = []
for attempt in range(2):
    try:
        quillora.indicator_sma(3, a, out)
    except RuntimeError as error:
        outcomes.append((str(error), type(error.__cause__).__name__, sys.getrefcount(a)))
{mend}
quillora.indicator_sma(3, a, out)
print((outcomes, bits(out) != before, capsule_name(getattr(multiarray(), NAME)).decode()))
"""
    )
    outcomes, written, table_used = result
    cause = readable.split("<class '")[1].split("'")[0]
    assert [(message, cause_type) for message, cause_type, _ in outcomes] == [(API_ERROR + readable, cause)] * 2
    assert outcomes[0][2] == outcomes[1][2]
    # Nothing was kept from the failures: once mended, the next call finds or installs a table.
    assert written
    assert table_used == ("foreign.borrow_table" if "ForeignTable" in setup else NAME)
