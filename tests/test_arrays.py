"""Which arrays the functions accept, which they call contiguous, and what happens without NumPy."""

import mmap
import sys

import numpy as np
import pytest

import quillora
from conftest import halted_import_error

TARGET = "PyArray<T, D>"
CONTIGUOUS_INPUT = "Input array must be C-contiguous and float64"
CONTIGUOUS_OUTPUT = "Output array must be C-contiguous and float64"


class Series(np.ndarray):
    """An ndarray subclass: accepted like the base class."""


REJECTED = [
    ([1.0, 2.0], "list"),
    (np.arange(4, dtype=np.int64), "ndarray"),
    (np.arange(4, dtype=np.float32), "ndarray"),
    (np.zeros((2, 2)), "ndarray"),
    (np.array(1.0), "ndarray"),
    (np.arange(4, dtype=">f8"), "ndarray"),
    (np.ma.masked_array(np.zeros((2, 2))), "MaskedArray"),
    (1.0, "float"),
]


@pytest.mark.parametrize("value, type_name", REJECTED)
@pytest.mark.parametrize("parameter", ["data", "output"])
def test_rejected_arrays_name_type_and_parameter(value, type_name, parameter):
    good, out = np.arange(4.0), np.full(4, 7.0)
    args = {"data": good, "output": out, parameter: value}
    with pytest.raises(TypeError) as caught:
        quillora.indicator_sma(2, args["data"], args["output"])
    assert str(caught.value) == f"argument '{parameter}': '{type_name}' object cannot be converted to '{TARGET}'"
    assert type(caught.value) is TypeError and caught.value.__cause__ is None
    assert (out == 7.0).all()


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.arange(5.0).view(Series),
        lambda: np.arange(5, dtype="<f8"),
        lambda: np.arange(5, dtype="=d"),
        lambda: np.arange(10.0)[2:7],
    ],
)
def test_accepted_arrays(make):
    data, out = make(), make()
    quillora.indicator_sma(1, data, out)
    assert out.tolist() == data.tolist()


NON_CONTIGUOUS = {
    "reversed": lambda: np.arange(6.0)[::-1],
    "every second": lambda: np.arange(12.0)[::2],
    "broadcast": lambda: np.broadcast_to(np.array([1.0]), (6,)),
    "packed record field": lambda: np.zeros(6, dtype=np.dtype([("a", "f8"), ("b", "i4")], align=False))["a"],
}


@pytest.mark.parametrize("make", NON_CONTIGUOUS.values(), ids=NON_CONTIGUOUS.keys())
def test_non_contiguous_arrays_fail_the_checks(make):
    view = make()
    contiguous, out = np.arange(float(len(view))), np.full(len(view), 7.0)
    with pytest.raises(ValueError, match=f"^{CONTIGUOUS_INPUT}$"):
        quillora.indicator_sma(2, view, out)
    with pytest.raises(ValueError, match=f"^{CONTIGUOUS_OUTPUT}$"):
        quillora.indicator_ema(2, contiguous, view)
    assert (out == 7.0).all()


@pytest.mark.parametrize("view", [np.arange(12.0)[::5][:1], np.arange(3.0)[::-1][:1], np.zeros(0)[::-1]])
def test_fewer_than_two_elements_pass_whatever_the_stride(view):
    out = np.full(len(view), 7.0)
    quillora.indicator_sma(1, view, out)
    assert out.tolist() == view.tolist()


def test_type_is_checked_before_contiguity():
    with pytest.raises(TypeError, match="^argument 'output': 'ndarray' object"):
        quillora.indicator_sma(2, np.arange(12.0)[::2], np.zeros(6, dtype=np.int64))


def test_lengths_must_match():
    out = np.full(6, 7.0)
    with pytest.raises(ValueError, match="^Output array length must match input$"):
        quillora.indicator_sma(2, np.arange(5.0), out)
    assert (out == 7.0).all()


def read_only_outputs():
    frozen = np.zeros(4)
    frozen.flags.writeable = False
    yield "flag cleared", frozen
    yield "over bytes", np.frombuffer(bytes(32), dtype=np.float64)
    memory = mmap.mmap(-1, 32, access=mmap.ACCESS_READ)
    yield "read-only map", np.frombuffer(memory, dtype=np.float64)


@pytest.mark.parametrize("label, out", list(read_only_outputs()))
@pytest.mark.parametrize("function", [quillora.indicator_sma, quillora.indicator_ema])
def test_read_only_output_is_refused(label, out, function):
    before = out.tobytes()
    with pytest.raises(ValueError) as caught:
        function(2, np.arange(4.0), out)
    assert str(caught.value) == "argument 'output': output array is read-only"
    assert out.tobytes() == before


def test_read_only_is_checked_after_the_functions_own_checks():
    frozen = np.zeros(5)
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="^Output array length must match input$"):
        quillora.indicator_sma(2, np.arange(4.0), frozen)


def test_read_only_input_is_fine():
    data = np.arange(4.0)
    data.flags.writeable = False
    out = np.empty(4)
    quillora.indicator_sma(1, data, out)
    assert out.tolist() == data.tolist()


def test_reference_counts_unchanged():
    data, out, strided = np.arange(16.0), np.empty(16), np.arange(32.0)[::2]
    period = int("100000")
    counts = [sys.getrefcount(o) for o in (data, out, strided, period)]
    for _ in range(1000):
        quillora.indicator_sma(period, data, out)
        quillora.indicator_ema(period, data, out)
        with pytest.raises(ValueError):
            quillora.indicator_sma(period, strided, out)
        with pytest.raises(TypeError):
            quillora.indicator_sma(period, data, [1.0])
    assert [sys.getrefcount(o) for o in (data, out, strided, period)] == counts


NUMPY_FAILURE_PREFIX = "Failed to access NumPy array API capsule: "


@pytest.mark.parametrize(
    "setup, cause_type, readable",
    [
        (
            "sys.modules['numpy'] = None",
            ModuleNotFoundError,
            f"PyErr {{ type: <class 'ModuleNotFoundError'>, value: {halted_import_error('numpy')}, traceback: None }}",
        ),
        (
            "import numpy; multiarray = sys.modules[numpy.__name__ + ('._core' if numpy.__version__ >= '2' else '.core')"
            " + '.multiarray']; multiarray._ARRAY_API = 12",
            TypeError,
            "PyErr { type: <class 'TypeError'>, "
            "value: TypeError(\"'int' object cannot be converted to 'PyCapsule'\"), traceback: None }",
        ),
    ],
)
def test_numpy_unreachable_is_an_import_error(fresh_python, setup, cause_type, readable):
    result = fresh_python(f"""
        import sys
        {setup}
        import quillora
        for attempt in range(2):
            try:
                quillora.indicator_sma(3, [1.0], [1.0])
            except ImportError as error:
                print(type(error).__name__, str(error), type(error.__cause__).__name__, sep="|")
    """)
    expected = f"ImportError|{NUMPY_FAILURE_PREFIX}{readable}|{cause_type.__name__}\n"
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected * 2


def test_readable_form_quotes_the_traceback(fresh_python, tmp_path):
    script = tmp_path / "broken_numpy.py"
    script.write_text(
        "import numpy.lib\n"
        "def refuse(version):\n"
        "    raise ValueError('no \"version\" here')\n"
        "numpy.lib.NumpyVersion = refuse\n"
        "import quillora\n"
        "try:\n"
        "    quillora.indicator_ema(3, [1.0], [1.0])\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    result = fresh_python(f"exec(compile(open({str(script)!r}).read(), {str(script)!r}, 'exec'))")
    assert result.stdout == (
        f"{NUMPY_FAILURE_PREFIX}PyErr {{ type: <class 'ValueError'>, "
        f'value: ValueError(\'no "version" here\'), traceback: Some("Traceback (most recent call last):\\n'
        f'  File \\"{script}\\", line 3, in refuse\\n'
        f'    raise ValueError(\'no \\"version\\" here\')\\n") }}\n'
    ), result.stderr
