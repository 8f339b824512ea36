"""PanicException: the type that exists from the first import, and the process end it causes."""

import pytest

FIND_TYPE = """
import quillora
PanicException, = [t for t in BaseException.__subclasses__()
                   if (t.__module__, t.__name__) == ("pyo3_runtime", "PanicException")]
"""

DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)

BANNERS = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\nPython stack trace below:\n"


def test_type_exists_after_import(fresh_python):
    result = fresh_python(
        FIND_TYPE
        + """
import quillora, sys
print(PanicException.__doc__ == %r, PanicException.__bases__ == (BaseException,),
      issubclass(PanicException, Exception), hasattr(quillora, "PanicException"),
      "pyo3_runtime" in sys.modules)
"""
        % DOC
    )
    assert result.stdout == "True True False False False\n", result.stderr


RAISING_CALLS = {
    "period __index__": """
class Period:
    def __index__(self):
        raise Raised("from __index__")
quillora.indicator_sma(Period(), np.zeros(3), np.zeros(3))
""",
    "output __len__": """
class Output(np.ndarray):
    def __len__(self):
        raise Raised("from __len__")
quillora.indicator_macd(1, 2, 1, np.zeros(3), np.zeros(3), np.zeros(3).view(Output), np.zeros(3))
""",
}


@pytest.mark.parametrize("call", RAISING_CALLS.values(), ids=RAISING_CALLS.keys())
def test_fetched_panic_exception_ends_the_process(fresh_python, tmp_path, call):
    script = tmp_path / "script.py"
    script.write_text(FIND_TYPE + "import numpy as np\nRaised = PanicException\n" + call + "print('after the call')\n")
    result = fresh_python(f"exec(open({str(script)!r}).read())")
    assert result.returncode == -6
    assert result.stdout == ""
    assert result.stderr.startswith(BANNERS + "Traceback (most recent call last):\n")
    message = call.split('Raised("')[1].split('")')[0]
    assert result.stderr.endswith(f"pyo3_runtime.PanicException: {message}\n")


@pytest.mark.parametrize("call", RAISING_CALLS.values(), ids=RAISING_CALLS.keys())
def test_subclass_is_an_ordinary_exception(fresh_python, call):
    result = fresh_python(
        FIND_TYPE
        + "import numpy as np\nclass Raised(PanicException): pass\n"
        + "try:\n"
        + "".join("    " + line + "\n" for line in call.strip().splitlines())
        + "except Raised as error:\n    print('caught', error)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("caught from __")
