"""Fatal reports on standard error, driven through the native probe: every run ends in SIGABRT."""

import os
import re
import signal
import subprocess
from pathlib import Path

import pytest

from conftest import SANITIZED, child_environment

ROOT = Path(__file__).resolve().parent.parent
PROBE_SOURCE = ROOT / "tests" / "native" / "panic_probe.cpp"

NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"
BRIEF_NOTE = "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace.\n"
NESTED = "thread panicked while processing panic. aborting.\n"


PROBE = Path(os.environ.get("QUILLORA_NATIVE_BUILD", ROOT / "build" / "native")) / "tests" / "native" / "panic_probe"

if not PROBE.is_file():
    # `make test` and CI require the probe; a plain `pytest` after `make demo` has none to run.
    reason = (
        f"panic probe not built at {PROBE}: `make test-native` builds it (or point QUILLORA_NATIVE_BUILD "
        "at a CMake build with -DQUILLORA_NATIVE_TESTS=ON)"
    )
    if os.environ.get("QUILLORA_REQUIRE_PROBE") == "1":
        pytest.fail(reason, pytrace=False)
    pytest.skip(reason, allow_module_level=True)


def probe_path():
    return PROBE


def run_probe(*args, backtrace=None):
    env = child_environment(**({} if backtrace is None else {"RUST_BACKTRACE": backtrace}))
    result = subprocess.run([probe_path(), *args], env=env, capture_output=True, timeout=60)
    assert result.returncode == -signal.SIGABRT, result.stderr.decode(errors="replace")
    return result.stderr.decode()


def panic_site(argument):
    """Where the probe's `quillora::panic(argument)` call stands, as a report names it."""
    call = f"quillora::panic({argument})"
    [(line, text)] = [(n, t) for n, t in enumerate(PROBE_SOURCE.read_text().splitlines(), 1) if call in t]
    # g++ places a call's column at its opening parenthesis.
    column = text.index(call) + len("quillora::panic(")
    return f"tests/native/panic_probe.cpp:{line}:{column}"


def report(message, site="message"):
    return f"\nthread '<unnamed>' panicked at {panic_site(site)}:\n{message}\n"


def message_for_report_of(length):
    return "m" * (length - len(report("")))


@pytest.mark.parametrize("backtrace", [None, "0"])
@pytest.mark.parametrize(
    "message",
    [
        "index out of range",
        "",
        "two\nlines, ünïcode ✓",
        # Around the 512-byte buffer: one write up to it, pieces beyond.
        message_for_report_of(511),
        message_for_report_of(512),
        message_for_report_of(513),
        "a long message " * 200,
    ],
    ids=["plain", "empty", "multiline", "511", "512", "513", "3000"],
)
def test_report_without_backtrace_is_exact(message, backtrace):
    assert run_probe("panic", message, backtrace=backtrace) == report(message) + NOTE


def frames_of(stderr, message):
    head = report(message) + "stack backtrace:\n"
    assert stderr.startswith(head)
    return stderr[len(head) :].splitlines()


@pytest.mark.parametrize("backtrace", ["1", "short", ""])
def test_brief_trace_starts_at_the_caller_and_shows_names(backtrace):
    *frames, note = frames_of(run_probe("panic", "boom", backtrace=backtrace), "boom")
    assert note + "\n" == BRIEF_NOTE
    for index, frame in enumerate(frames):
        assert frame.startswith(f"{index:>4}: "), frame
    names = [frame[6:] for frame in frames]
    # The report machinery is left out; the probe's names come demangled.
    assert names[:2] == ["probe::plain_panic(char const*)", "main"]


def test_full_trace_shows_every_frame_with_address_and_object():
    stderr = run_probe("panic", "boom", backtrace="full")
    lines = frames_of(stderr, "boom")
    assert NOTE not in stderr and BRIEF_NOTE not in stderr
    frames = []
    for line in lines:
        if at := re.fullmatch(r" {16}at (\S.*)", line):
            frames[-1]["object"] = at[1]
            continue
        match = re.fullmatch(f"{len(frames):>4}:     0x[0-9a-f]+ - (.+)", line)
        assert match, line
        frames.append({"name": match[1]})
    probe = str(probe_path().resolve())
    caller = next(i for i, f in enumerate(frames) if f["name"].startswith("probe::plain_panic(char const*)+"))
    assert caller > 0, "the full form keeps the frames of the report machinery"
    assert os.path.realpath(frames[caller]["object"]) == probe
    for frame in frames:
        if frame["name"] == "<unknown>" and "object" in frame:
            assert re.search(r"\+0x[0-9a-f]+$", frame["object"]), frame


@pytest.mark.parametrize("backtrace", [None, "full"])
def test_panic_while_reporting_aborts_with_one_line(backtrace):
    stderr = run_probe("nested", "first", "second", backtrace=backtrace)
    assert stderr == report("first") + f"panicked at {panic_site('nested_message')}:\nsecond\n" + NESTED


@pytest.mark.parametrize("hold", [True, False], ids=["both-written", "abort-after-first"])
def test_concurrent_reports_do_not_interleave(hold):
    # The first report ends in abort() once the report lock is free again, so the other thread's
    # report may be lost; its text is one write, so it is whole if it shows at all. "hold" delays
    # the end until it is written. Either way the note belongs to the first report alone.
    stderr = run_probe("concurrent", *(["hold"] if hold else []))
    threads = ["from the first thread", "from the second thread"]
    expected = set()
    for first, second in (threads, threads[::-1]):
        whole = report(first, "thread_message") + NOTE
        expected.add(whole + report(second, "thread_message"))
        if not hold:
            expected.add(whole)
    assert stderr in expected


@pytest.mark.parametrize("backtrace", [None, "full"])
@pytest.mark.parametrize(
    "args, size",
    [
        (("allocation-failed", "0"), 0),
        (("allocation-failed", str(2**64 - 1)), 2**64 - 1),
        pytest.param(
            ("new", str(2**62)),
            2**62,
            marks=pytest.mark.skipif(
                SANITIZED, reason="AddressSanitizer's allocator reports an impossible size itself, returning no null"
            ),
        ),
    ],
    ids=["zero", "largest", "operator-new"],
)
def test_allocation_failure_is_one_line(args, size, backtrace):
    assert run_probe(*args, backtrace=backtrace) == f"memory allocation of {size} bytes failed\n"
