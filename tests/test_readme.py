"""The Python examples of the README and the documentation pages run, and print what the page shows
after them; the README's table of indicators is the registry's, and every indicator served has the
hand-written sections of its page."""

import contextlib
import importlib.util
import io
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").rglob("*.md"))]
# A Python block, and the text block right after it that shows its output, if there is one. Blocks
# marked `py` instead are signatures, shown and not run.
EXAMPLE = re.compile(r"```python\n(.*?)```\n(?:\s*```text\n(.*?)```)?", re.DOTALL)


def examples():
    found = []
    for page in PAGES:
        text = page.read_text()
        for match in EXAMPLE.finditer(text):
            if match[1].startswith("# recipe:"):
                continue  # recipes work on the caller's table; test_series_examples runs them with one
            first_line = text.count("\n", 0, match.start()) + 2
            # Blank lines in front keep the line numbers of a traceback those of the page.
            code = "\n" * (first_line - 1) + match[1]
            name = page.relative_to(ROOT)
            found.append(pytest.param(page, code, match[2], id=f"{name} line {first_line}"))
    return found


def lines(text):
    return [line.rstrip() for line in text.splitlines()]


@pytest.mark.parametrize("page, code, expected", examples())
def test_example(page, code, expected):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, str(page), "exec"), {"__name__": "readme_example"})
    if expected is not None:
        assert lines(printed.getvalue()) == lines(expected)


def _docs_pages():
    spec = importlib.util.spec_from_file_location("docs_pages", ROOT / "tools" / "docs_pages.py")
    docs_pages = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(docs_pages)
    return docs_pages


def test_readme_lists_every_indicator():
    docs_pages = _docs_pages()
    text = README.read_text()
    assert docs_pages.readme_with_table(text) == text, (
        "the README's table is stale: python tools/docs_pages.py --readme"
    )


def test_every_indicator_has_the_sections_of_its_page():
    docs_pages = _docs_pages()
    for indicator in docs_pages.documented():
        docs_pages.fragment(indicator.name)  # raises, naming the file, what `make docs` would stop on
