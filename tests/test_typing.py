"""The installed type stubs: mypy --strict refuses the common mistakes, each with its own error."""

import re
import subprocess
import sys
from pathlib import Path

MISTAKES = Path(__file__).parent / "typing" / "mistakes.py"


def test_mypy_flags_each_mistake_and_nothing_else(tmp_path):
    expected = {
        (number, match[1])
        for number, line in enumerate(MISTAKES.read_text().splitlines(), 1)
        if (match := re.search(r"# expected error: ([a-z-]+)$", line))
    }
    # Run away from the source tree, so that mypy sees the stubs the wheel installed.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path), MISTAKES],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    reported = {(int(m[1]), m[2]) for m in re.finditer(r"^.*?:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M)}
    assert reported == expected, result.stdout + result.stderr
