"""The README's Python examples run, and print what the README shows after them."""

import contextlib
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
# A Python block, and the text block right after it that shows its output, if there is one.
EXAMPLE = re.compile(r"```python\n(.*?)```\n(?:\s*```text\n(.*?)```)?", re.DOTALL)


def examples():
    text = README.read_text()
    found = []
    for match in EXAMPLE.finditer(text):
        if match[1].startswith("# recipe:"):
            continue  # recipes work on the caller's table; test_series_examples runs them with one
        first_line = text.count("\n", 0, match.start()) + 2
        # Blank lines in front keep the line numbers of a traceback those of the README.
        code = "\n" * (first_line - 1) + match[1]
        found.append(pytest.param(code, match[2], id=f"line {first_line}"))
    return found


def lines(text):
    return [line.rstrip() for line in text.splitlines()]


@pytest.mark.parametrize("code, expected", examples())
def test_readme_example(code, expected):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, str(README), "exec"), {"__name__": "readme_example"})
    if expected is not None:
        assert lines(printed.getvalue()) == lines(expected)
