"""Every declared indicator of quillora_series beside the TA-Lib function it follows.

Measured for each indicator the registry serves, with its default parameters (14 where a period has
none), on the same seeded random-walk bars (prices about 100, each bar's high and low around its
open and close, positive volume):

1. one series of 10**6 bars: quillora_series' function against TA-Lib's, both returning new arrays;
   ratio target <= 1.0. Our time per bar in ns beside it. Where our definition carries a longer
   floating-point chain from bar to bar than TA-Lib's fused one (a divide where it multiplies), the
   native bench (`bench_declared`) times our batch run and that bare chain alone, on its own bars
   without Python; the target is then batch <= 1.2x the bare chain. The last column says how far the
   two libraries agree on those bars (a check that the parameters were carried over like for like).
2. a table of 64 symbols x 2,000 bars, one worker: quillora_series' table call against TA-Lib called
   on each of the 64 columns (the column views made beforehand, the outputs left as 64 arrays); C
   order (bars, symbols) and Fortran order (one contiguous column per symbol). Ratio target <= 0.25.
3. live: one `update` of `quillora_series.stream.<NAME>` on a warm state with Python floats, against
   `update` of TA-Lib's streaming handle (`talib.stream.<NAME>`, opened on the same history) where
   this TA-Lib has one. Each call is timed inside a loop over 1,000 different bars, the loop's own
   cost included for both. Target <= 1 us.
4. a fresh interpreter, as a user's script gets it: importing the library and its first call (which
   allocates its output) against a second call, for one indicator, quillora_series and TA-Lib alike.

Single-thread numbers: the whole process (and the fresh interpreters it starts) is bound to one CPU.
Times are the calling thread's CPU time (`--wall`: the wall clock), so that time spent waiting for the
CPU on a shared machine is not counted; each is the minimum of many samples, the samples of the two
libraries interleaved so that drift hits both alike. Prints the tables and writes bench/results_indicators.md;
`--quick` runs fewer rounds, for trying the script out.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.metadata
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
import timeit
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from cpu_binding import bind_threads

import quillora_series as qs
from quillora_series import stream
from quillora_series._registry import INDICATORS, Indicator, Period

try:
    import talib
    import talib.abstract
    import talib.stream
except ImportError:
    talib = None

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results_indicators.md"

DEFAULT_PERIOD = 14
SERIES_BARS = 1_000_000
TABLE_BARS, TABLE_SYMBOLS = 2_000, 64
HISTORY_BARS = 1_000  # the warm-up history of the live states, and the bars each update loop cycles over
SERIES_TARGET = 1.0
CHAIN_TARGET = 1.2
# The native bench of batch runs and bare chains, as `make bench` builds it.
NATIVE_BENCH = HERE.parent / "build" / "bench" / "bench" / "bench_declared"
TABLE_TARGET = 0.25
UPDATE_TARGET_NS = 1000.0
SAMPLE_SECONDS = 0.005  # each timed sample repeats its call until it lasts about this long
FRESH_PROCESSES = 5
FRESH_INDICATOR = "rsi"  # the fresh-process measurement's indicator, where served; else the first served
# The clock of every timed sample; main() sets the wall clock for --wall.
clock: Callable[[], float] = time.thread_time

# Our parameter names that are not TA-Lib's after the usual spelling changes (see talib_keywords).
TALIB_NAMES = {"nbdev_down": "nbdevdn"}

type Bars = dict[str, np.ndarray]


# --- data ----------------------------------------------------------------------------------------


def make_bars(bars: int, symbols: int | None = None, seed: int = 20261214) -> Bars:
    """open, high, low, close and volume, each of shape (bars,) or (bars, symbols): a geometric random
    walk around 100 (its spread over 10**6 bars about +-20%), each bar's high and low a little beyond
    its open and close; `x` is the close."""
    shape = (bars,) if symbols is None else (bars, symbols)
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 2e-4, shape), axis=0))
    opening = np.concatenate([close[:1], close[:-1]]) * (1.0 + rng.normal(0.0, 5e-5, shape))
    high = np.maximum(opening, close) * (1.0 + rng.uniform(0.0, 1e-3, shape))
    low = np.minimum(opening, close) * (1.0 - rng.uniform(0.0, 1e-3, shape))
    volume = rng.uniform(1e3, 1e5, shape)
    return {"open": opening, "high": high, "low": low, "close": close, "x": close, "volume": volume}


def fortran(bars: Bars) -> Bars:
    return {name: np.asfortranarray(values) for name, values in bars.items()}


# --- the indicators ------------------------------------------------------------------------------


@dataclass(frozen=True)
class Case:
    indicator: Indicator
    params: tuple[Any, ...]  # ours, positional, the defaults filled in
    ours: Callable[..., Any]
    live: type
    theirs: Callable[..., Any] | None  # TA-Lib's function, None where it has none
    keywords: dict[str, Any]  # TA-Lib's parameters for ours
    their_live: type | None  # TA-Lib's streaming handle, None where it has none

    @property
    def label(self) -> str:
        shown = ", ".join(str(value) for value in self.params)
        return f"{self.indicator.name}({shown})"

    def inputs(self, bars: Bars) -> list[np.ndarray]:
        return [bars[name] for name in self.indicator.inputs]


def default_params(indicator: Indicator) -> tuple[Any, ...]:
    return tuple(DEFAULT_PERIOD if isinstance(p, Period) and p.default is None else p.default for p in indicator.params)


def talib_keywords(indicator: Indicator, params: Sequence[Any], names: Sequence[str]) -> dict[str, Any]:
    """Our parameters under TA-Lib's names (period is timeperiod, fast fastperiod, nbdev_up nbdevup);
    TA-Lib's others (the moving-average types) keep their defaults. Raises KeyError where one of ours
    has no counterpart, rather than timing TA-Lib on other parameters."""
    keywords = {}
    for parameter, value in zip(indicator.params, params, strict=True):
        bare = parameter.name.replace("_", "")
        candidates = (TALIB_NAMES.get(parameter.name), parameter.name, bare, f"time{bare}", f"{bare}period")
        name = next((c for c in candidates if c in names), None)
        if name is None:
            raise KeyError(f"TA-Lib's {indicator.talib} has no parameter for {parameter.name} (it has {names})")
        keywords[name] = value
    return keywords


def make_case(indicator: Indicator) -> Case:
    params = default_params(indicator)
    theirs, keywords, their_live = None, {}, None
    if talib is not None and hasattr(talib, indicator.talib):
        names = list(talib.abstract.Function(indicator.talib).parameters)
        try:
            keywords = talib_keywords(indicator, params, names)
        except KeyError as missing:
            print(f"   {indicator.name}: not compared, {missing.args[0]}")
        else:
            theirs = getattr(talib, indicator.talib)
            handle = getattr(talib.stream, indicator.talib, None)
            # Older TA-Lib has only functions that recompute the last value from a whole array.
            if isinstance(handle, type) and hasattr(handle, "update"):
                their_live = handle
    return Case(
        indicator,
        params,
        getattr(qs, indicator.name),
        getattr(stream, indicator.live_name),
        theirs,
        keywords,
        their_live,
    )


# --- timing --------------------------------------------------------------------------------------


def seconds(call: Callable[[], Any], number: int) -> float:
    started = clock()
    for _ in range(number):
        call()
    return clock() - started


def best_seconds(calls: dict[str, Callable[[], Any]], rounds: int) -> dict[str, float]:
    """Seconds per call of each named call: the minimum over `rounds` samples, the samples of all calls
    interleaved. Each sample repeats its call until it lasts about SAMPLE_SECONDS."""
    numbers = {}
    for name, call in calls.items():
        number = 1
        while (spent := seconds(call, number)) < SAMPLE_SECONDS and number < 1 << 20:
            number *= 2 if spent * 4 > SAMPLE_SECONDS else 8
        numbers[name] = number
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(rounds):
        for name, call in calls.items():
            best[name] = min(best[name], seconds(call, numbers[name]) / numbers[name])
    return best


def as_arrays(result: Any) -> list[np.ndarray]:
    return [np.asarray(part) for part in result] if isinstance(result, tuple | list) else [np.asarray(result)]


def agreement(ours: Any, theirs: Any) -> str:
    """'bits' where every output is the same to the bit (NaN where TA-Lib has none included); else the
    largest difference over the bars both have, relative to the output's largest magnitude, and how
    many bars only one of the two has a value at."""
    worst, lonely = 0.0, 0
    for mine, other in zip(as_arrays(ours), as_arrays(theirs), strict=True):
        if np.array_equal(mine, other, equal_nan=True):
            continue
        both = np.isfinite(mine) & np.isfinite(other)
        lonely += int(np.count_nonzero(np.isfinite(mine) != np.isfinite(other)))
        if both.any():
            scale = float(np.max(np.abs(other[both]))) or 1.0
            worst = max(worst, float(np.max(np.abs(mine[both] - other[both]))) / scale)
        else:
            worst = float("inf")
    if worst == 0.0 and lonely == 0:
        return "bits"
    return f"{worst:.0e}" + (f", {lonely} bars one-sided" if lonely else "")


@dataclass
class SeriesRow:
    label: str
    ours: float
    theirs: float | None
    agrees: str
    batch_ns: float | None = None  # the native batch run, ns per bar
    chain_ns: float | None = None  # its bare chain, where one is listed

    def held(self) -> bool | None:
        """Whether the series target holds: TA-Lib's time, or else 1.2x the bare chain."""
        r = ratio(self.ours, self.theirs)
        if r is None:
            return None
        if r <= SERIES_TARGET:
            return True
        return self.batch_ns is not None and self.chain_ns is not None and self.batch_ns <= CHAIN_TARGET * self.chain_ns


def native_times(indicator: Indicator, params: Sequence[Any]) -> tuple[float | None, float | None]:
    """The native batch run's and bare chain's ns per bar (None where not built or not listed)."""
    if not NATIVE_BENCH.exists():
        return None, None
    counts = [str(v) for p, v in zip(indicator.params, params, strict=True) if isinstance(p, Period)]
    reals = [repr(float(v)) for p, v in zip(indicator.params, params, strict=True) if not isinstance(p, Period)]
    done = subprocess.run(
        [str(NATIVE_BENCH), indicator.name, ",".join(counts) or "-", ",".join(reals) or "-"],
        capture_output=True,
        text=True,
        check=True,
    )
    fields = done.stdout.split()
    return float(fields[1]), None if fields[3] == "-" else float(fields[3])


@dataclass
class TableRow:
    label: str
    ours: dict[str, float]  # by layout
    theirs: dict[str, float | None]


@dataclass
class LiveRow:
    label: str
    ours: float  # ns per update
    theirs: float | None


def measure_series(cases: list[Case], rounds: int) -> list[SeriesRow]:
    bars = make_bars(SERIES_BARS)
    rows = []
    for case in cases:
        inputs = case.inputs(bars)
        calls = {"ours": lambda case=case, inputs=inputs: case.ours(*inputs, *case.params)}
        agrees = "-"
        if case.theirs is not None:
            calls["theirs"] = lambda case=case, inputs=inputs: case.theirs(*inputs, **case.keywords)
            agrees = agreement(calls["ours"](), calls["theirs"]())
        best = best_seconds(calls, rounds)
        batch, chain = native_times(case.indicator, case.params)
        rows.append(SeriesRow(case.label, best["ours"], best.get("theirs"), agrees, batch, chain))
        print_series_row(rows[-1])
    return rows


def measure_tables(cases: list[Case], rounds: int) -> list[TableRow]:
    layouts = {"C": make_bars(TABLE_BARS, TABLE_SYMBOLS)}
    layouts["F"] = fortran(layouts["C"])
    rows = []
    for case in cases:
        ours: dict[str, float] = {}
        theirs: dict[str, float | None] = {}
        for layout, bars in layouts.items():
            inputs = case.inputs(bars)
            calls = {"ours": lambda case=case, inputs=inputs: case.ours(*inputs, *case.params, workers=1)}
            if case.theirs is not None:
                columns = [[table[:, symbol] for table in inputs] for symbol in range(TABLE_SYMBOLS)]

                def looped(case: Case = case, columns: list[list[np.ndarray]] = columns) -> None:
                    for column in columns:
                        case.theirs(*column, **case.keywords)

                calls["theirs"] = looped
            best = best_seconds(calls, rounds)
            ours[layout], theirs[layout] = best["ours"], best.get("theirs")
        rows.append(TableRow(case.label, ours, theirs))
        print_table_row(rows[-1])
    return rows


def update_ns(update: Callable[..., Any], bars: list[tuple[float, ...]], repeats: int) -> float:
    """ns per call of `update` over `bars` in turn (a loop of positional calls, no unpacking by star)."""
    names = ", ".join(f"v{k}" for k in range(len(bars[0])))
    timer = timeit.Timer(
        f"for {names}, in bars: update({names})", timer=clock, globals={"update": update, "bars": bars}
    )
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeats, number=number)) / (number * len(bars)) * 1e9


def measure_live(cases: list[Case], repeats: int) -> list[LiveRow]:
    bars = make_bars(2 * HISTORY_BARS)
    rows = []
    for case in cases:
        inputs = case.inputs(bars)
        history = [values[:HISTORY_BARS] for values in inputs]
        feed = list(zip(*(values[HISTORY_BARS:].tolist() for values in inputs)))
        live = case.live(*case.params)
        live.update_many(*history)
        ours = update_ns(live.update, feed, repeats)
        theirs = None
        if case.their_live is not None:
            handle = case.their_live(*history, **case.keywords)
            theirs = update_ns(handle.update, feed, repeats)
        rows.append(LiveRow(case.label, ours, theirs))
        print_live_row(rows[-1])
    return rows


# --- a fresh interpreter -------------------------------------------------------------------------

CHILD = """
import json, sys, time
marks = [(time.perf_counter(), time.process_time())]
import numpy as np
marks.append((time.perf_counter(), time.process_time()))
{imports}
marks.append((time.perf_counter(), time.process_time()))
inputs = [np.load(path) for path in sys.argv[1:]]
marks.append((time.perf_counter(), time.process_time()))
{call}
marks.append((time.perf_counter(), time.process_time()))
{call}
marks.append((time.perf_counter(), time.process_time()))
print(json.dumps(marks))
"""
# The phases between the child's marks; the third (loading the bars) is not shown.
PHASES = ("numpy", "import", None, "first", "second")


def fresh_process(case: Case) -> dict[str, dict[str, tuple[float, float]]]:
    """Each library's import and first two calls in new interpreters, as (wall, CPU) seconds, best of
    FRESH_PROCESSES; 'process' is the whole run as the parent sees it (start-up, imports, loading the
    bars, two calls, exit) in wall time and the child's CPU time."""
    bars = make_bars(SERIES_BARS)
    params = ", ".join(repr(value) for value in case.params)
    children = {"quillora_series": ("import quillora_series as qs", f"qs.{case.indicator.name}(*inputs, {params})")}
    if case.theirs is not None:
        keywords = ", ".join(f"{name}={value!r}" for name, value in case.keywords.items())
        children["TA-Lib"] = ("import talib", f"talib.{case.indicator.talib}(*inputs, {keywords})")
    best: dict[str, dict[str, tuple[float, float]]] = {}
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for name in case.indicator.inputs:
            paths.append(os.path.join(folder, f"{name}.npy"))
            np.save(paths[-1], bars[name])
        for _ in range(FRESH_PROCESSES):
            for library, (imports, call) in children.items():
                code = CHILD.format(imports=imports, call=call)
                before = os.times()
                started = time.perf_counter()
                done = subprocess.run([sys.executable, "-c", code, *paths], capture_output=True, text=True, check=True)
                whole = time.perf_counter() - started
                after = os.times()
                child_cpu = after.children_user + after.children_system - before.children_user - before.children_system
                marks = json.loads(done.stdout)
                times = {
                    phase: (end[0] - begin[0], end[1] - begin[1])
                    for phase, begin, end in zip(PHASES, marks, marks[1:])
                    if phase is not None
                }
                times["process"] = (whole, child_cpu)
                kept = best.setdefault(library, times)
                for phase, (wall, cpu) in times.items():
                    kept[phase] = (min(kept[phase][0], wall), min(kept[phase][1], cpu))
    return best


# --- the report ----------------------------------------------------------------------------------


def ms(value: float | None) -> str:
    return "-" if value is None else f"{value * 1e3:.3f}"


def us(value: float | None) -> str:
    return "-" if value is None else f"{value * 1e6:.1f}"


def ratio(ours: float, theirs: float | None) -> float | None:
    return None if theirs is None else ours / theirs


def verdict(value: float | None, target: float) -> str:
    return "-" if value is None else "OK" if value <= target else "SLOW"


def fmt_ratio(value: float | None) -> str:
    return "-" if value is None else f"{value:.2f}x"


def held_word(held: bool | None) -> str:
    return "-" if held is None else "OK" if held else "SLOW"


def chain_cell(row: SeriesRow) -> str:
    if row.batch_ns is None or row.chain_ns is None:
        return "-"
    return f"{row.batch_ns:.2f} / {row.chain_ns:.2f} = {row.batch_ns / row.chain_ns:.2f}x"


def print_series_row(row: SeriesRow) -> None:
    r = ratio(row.ours, row.theirs)
    print(
        f"   {row.label:<34} ours {ms(row.ours):>8} ms  TA-Lib {ms(row.theirs):>8} ms  {fmt_ratio(r):>6} "
        f"{held_word(row.held()):<4}  {row.ours / SERIES_BARS * 1e9:6.2f} ns/bar  chain {chain_cell(row)}  "
        f"agree {row.agrees}"
    )


def print_table_row(row: TableRow) -> None:
    parts = []
    for layout in ("C", "F"):
        r = ratio(row.ours[layout], row.theirs[layout])
        parts.append(
            f"{layout}: ours {us(row.ours[layout]):>7} us  TA-Lib x{TABLE_SYMBOLS} {us(row.theirs[layout]):>7} us  "
            f"{fmt_ratio(r):>6} {verdict(r, TABLE_TARGET):<4}"
        )
    print(f"   {row.label:<34} " + "   ".join(parts))


def print_live_row(row: LiveRow) -> None:
    theirs = "-" if row.theirs is None else f"{row.theirs:7.0f}"
    print(
        f"   {row.label:<34} ours {row.ours:7.0f} ns {verdict(row.ours, UPDATE_TARGET_NS):<4}  "
        f"TA-Lib handle {theirs:>7} ns  {fmt_ratio(ratio(row.ours, row.theirs)):>6}"
    )


def machine() -> str:
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, {os.cpu_count()} CPUs; {platform.system()} {platform.release()}"


def versions() -> str:
    found = [
        f"Python {platform.python_version()}",
        f"NumPy {np.__version__}",
        f"quillora {importlib.metadata.version('quillora')}",
    ]
    if talib is not None:
        found.append(f"TA-Lib {talib.__version__} (C library {talib.__ta_version__.decode().split()[0]})")
    return ", ".join(found)


def count(values: list[float | None], target: float) -> str:
    measured = [value for value in values if value is not None]
    held = sum(value <= target for value in measured)
    return f"{held} of {len(measured)}"


def wall_cpu(times: tuple[float, float]) -> str:
    return f"{times[0] * 1e3:.1f} ({times[1] * 1e3:.1f})"


def write_markdown(
    context: dict[str, str],
    series: list[SeriesRow],
    tables: list[TableRow],
    live: list[LiveRow],
    fresh: tuple[str, dict[str, dict[str, tuple[float, float]]]],
) -> None:
    lines = [
        "# Every declared indicator beside TA-Lib",
        "",
        f"Generated by `make bench` (`bench/bench_indicators.py`) on {context['date']}.",
        "",
        f"- Machine: {context['machine']}",
        f"- Versions: {context['versions']}",
        f"- Bound to CPU {context['cpu']}; load average (1, 5, 15 min): {context['load_before']} before, "
        f"{context['load_after']} after",
    ]
    if context["note"]:
        lines.append(f"- Note: {context['note']}")
    lines += [
        "- Method: default parameters (period 14 where a period has none), the same seeded random-walk bars "
        "for both libraries, each call returning new arrays; calls timed by "
        f"{context['clock']} in interleaved samples, minimum of {context['rounds']} kept; one thread.",
        "",
        f"## 1. One series of {SERIES_BARS:,} bars",
        "",
        f"Target: ratio <= {SERIES_TARGET:.2f}x, or, where our definition's chain from bar to bar is longer than "
        f"TA-Lib's, our native batch run <= {CHAIN_TARGET:.1f}x that bare chain ('chain': batch / bare chain ns "
        "per bar, both native, same bars, same run). Held by "
        f"{sum(bool(r.held()) for r in series)} of {sum(r.held() is not None for r in series)}. "
        "'agree': `bits` where both give the same bits, else the largest difference relative to the output's "
        "largest magnitude, and the bars where only one of the two has a value.",
        "",
        "| indicator | ours ms | TA-Lib ms | ratio | target | ours ns/bar | chain | agree |",
        "|---|---:|---:|---:|---|---:|---|---|",
    ]
    for row in series:
        r = ratio(row.ours, row.theirs)
        lines.append(
            f"| {row.label} | {ms(row.ours)} | {ms(row.theirs)} | {fmt_ratio(r)} | {held_word(row.held())} | "
            f"{row.ours / SERIES_BARS * 1e9:.2f} | {chain_cell(row)} | {row.agrees} |"
        )
    held = {
        layout: count([ratio(r.ours[layout], r.theirs[layout]) for r in tables], TABLE_TARGET) for layout in ("C", "F")
    }
    lines += [
        "",
        f"## 2. A table of {TABLE_SYMBOLS} symbols x {TABLE_BARS:,} bars, one worker",
        "",
        f"Our table call against TA-Lib called on each of the {TABLE_SYMBOLS} columns (column views made "
        f"beforehand). Ratio target <= {TABLE_TARGET:.2f}x; held by {held['C']} in C order, {held['F']} in "
        "Fortran order.",
        "",
        "| indicator | C: ours us | C: TA-Lib us | C: ratio | F: ours us | F: TA-Lib us | F: ratio |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for row in tables:
        cells = []
        for layout in ("C", "F"):
            r = ratio(row.ours[layout], row.theirs[layout])
            cells += [us(row.ours[layout]), us(row.theirs[layout]), f"{fmt_ratio(r)} {verdict(r, TABLE_TARGET)}"]
        lines.append(f"| {row.label} | " + " | ".join(cells) + " |")
    lines += [
        "",
        "## 3. Live: one update on a warm state",
        "",
        f"ns per `update` with Python floats, in a loop over {HISTORY_BARS:,} bars (the loop's cost included "
        f"for both). Target <= {UPDATE_TARGET_NS:.0f} ns; held by "
        f"{count([r.ours for r in live], UPDATE_TARGET_NS)}. TA-Lib: `talib.stream.<NAME>` opened on the same "
        "history, where this TA-Lib has the handle.",
        "",
        "| indicator | ours ns | TA-Lib handle ns | ratio |",
        "|---|---:|---:|---:|",
    ]
    for row in live:
        theirs = "-" if row.theirs is None else f"{row.theirs:.0f}"
        lines.append(
            f"| {row.label} | {row.ours:.0f} {verdict(row.ours, UPDATE_TARGET_NS)} | {theirs} | "
            f"{fmt_ratio(ratio(row.ours, row.theirs))} |"
        )
    label, runs = fresh
    lines += [
        "",
        f"## 4. A fresh interpreter: {label} on {SERIES_BARS:,} bars",
        "",
        "New `python -c` processes, each importing NumPy and one library, loading the bars and calling twice; "
        f"best of {FRESH_PROCESSES} processes, wall time (CPU time of the process in brackets) in ms. 'whole "
        "process' is the run as its parent sees it: start-up, imports, loading the bars, both calls, exit.",
        "",
        "| library | import NumPy | import library | first call | second call | whole process |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for library, times in runs.items():
        phases = " | ".join(wall_cpu(times[phase]) for phase in ("numpy", "import", "first", "second", "process"))
        lines.append(f"| {library} | {phases} |")
    RESULTS.write_text("\n".join(lines) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, to try the script out")
    parser.add_argument("--note", default="", help="a line for the results file: where and how it was measured")
    parser.add_argument("--cpu", type=int, default=None, help="the CPU to run on (default: the last one allowed)")
    parser.add_argument("--wall", action="store_true", help="time by the wall clock, not the thread's CPU time")
    args = parser.parse_args()
    global clock
    if args.wall:
        clock = time.perf_counter
    rounds = 3 if args.quick else 15
    repeats = 3 if args.quick else 7

    cpu = args.cpu if args.cpu is not None else max(os.sched_getaffinity(0))
    bind_threads({cpu})
    if talib is None:
        print("TA-Lib is not installed: only quillora_series is measured")
    cases = [make_case(indicator) for indicator in INDICATORS.values()]
    context = {
        "date": datetime.date.today().isoformat(),
        "machine": machine(),
        "versions": versions(),
        "cpu": str(cpu),
        "note": args.note,
        "rounds": str(rounds),
        "clock": "the wall clock" if args.wall else "the calling thread's CPU time",
        "load_before": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }
    print(f"{len(cases)} indicators served; {context['versions']}; bound to CPU {cpu}")
    print(f"1. one series of {SERIES_BARS:,} bars (best of {rounds}), target ratio <= {SERIES_TARGET}")
    series = measure_series(cases, rounds)
    print(
        f"2. table of {TABLE_SYMBOLS} symbols x {TABLE_BARS:,} bars, workers=1 (best of {rounds}), target <= {TABLE_TARGET}"
    )
    tables = measure_tables(cases, rounds)
    print(f"3. live update on a warm state (best of {repeats}), target <= {UPDATE_TARGET_NS:.0f} ns")
    live = measure_live(cases, repeats)
    chosen = next((c for c in cases if c.indicator.name == FRESH_INDICATOR), cases[0])
    print(f"4. a fresh interpreter: {chosen.label} on {SERIES_BARS:,} bars (best of {FRESH_PROCESSES} processes)")
    runs = fresh_process(chosen)
    for library, times in runs.items():
        phases = "  ".join(
            f"{label} {wall_cpu(times[phase])}"
            for label, phase in (
                ("import NumPy", "numpy"),
                ("import", "import"),
                ("first call", "first"),
                ("second", "second"),
                ("whole process", "process"),
            )
        )
        print(f"   {library:<16} {phases} ms, wall (CPU)")
    context["load_after"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    write_markdown(context, series, tables, live, (chosen.label, runs))
    print(f"wrote {RESULTS.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
