"""Shared helpers: bit-level comparison of float64 results and fresh-interpreter runs."""

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from reference import MISSING

MISSING_BITS = 0x7FF8000000000000
# Samples that the indicators treat specially: the missing marker, both infinities, both zeros.
ODD_VALUES = [MISSING, float("inf"), float("-inf"), -0.0, 0.0]

# Set by `make sanitize`, which runs the suite with AddressSanitizer's runtime preloaded.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# Variables that change what a child writes on standard error or how it ends.
NOISY_VARIABLES = ("PYTHONFAULTHANDLER", "PYTHONDEVMODE", "PYTHONUNBUFFERED", "RUST_BACKTRACE", "PYTHONWARNINGS")


def bits(values):
    """The IEEE-754 bit patterns of a float64 sequence, as a list of ints."""
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def assert_same_bits(actual, expected):
    actual_bits, expected_bits = bits(actual), bits(expected)
    assert len(actual_bits) == len(expected_bits)
    mismatches = [(i, f"{a:#018x}", f"{e:#018x}") for i, (a, e) in enumerate(zip(actual_bits, expected_bits)) if a != e]
    assert not mismatches, f"{len(mismatches)} positions differ (index, actual, expected): {mismatches[:8]}"


def assert_same_bits_as_reference(actual, expected):
    """assert_same_bits against a result of tests/reference.py. Where the reference wrote the marker
    (MISSING itself) the bits must match; any other NaN came from arithmetic, and when both operands
    were NaN the payload that survives depends on the operand order the compiler picked, so any NaN
    matches there."""
    actual = np.asarray(actual, dtype=np.float64).tolist()
    assert len(actual) == len(expected)
    chosen = [a if e != e and e is not MISSING and a != a else e for a, e in zip(actual, expected)]
    assert_same_bits(actual, chosen)


def scatter_odd_values(rng, series, rate):
    """Replaces a random share `rate` of `series` in place with odd values."""
    gaps = rng.random(len(series)) < rate
    series[gaps] = rng.choice(ODD_VALUES, gaps.sum())


def child_environment(**overrides):
    env = {k: v for k, v in os.environ.items() if k not in NOISY_VARIABLES}
    env.update(overrides)
    return env


def run_python(code, *, env=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text mode)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=child_environment(**(env or {})),
        timeout=timeout,
    )


def halted_import_error(name):
    """repr() of the error this interpreter raises importing `name` while sys.modules maps it to
    None: its wording changes between Python versions, so tests read it rather than copy it."""
    saved = sys.modules.get(name)
    sys.modules[name] = None
    try:
        __import__(name)
    except ImportError as error:
        return repr(error)
    finally:
        if saved is None:
            del sys.modules[name]
        else:
            sys.modules[name] = saved
    raise AssertionError(f"importing {name} did not fail")


def run_in_threads(work, arguments):
    """Runs work(argument) on one thread per argument, all at once, and waits for every one."""
    threads = [threading.Thread(target=work, args=(argument,)) for argument in arguments]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


@pytest.fixture
def fresh_python():
    return run_python
