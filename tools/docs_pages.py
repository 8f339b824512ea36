"""The indicator pages of the reference site, generated while MkDocs builds them (mkdocs-gen-files).

Each page joins what the registry declares (inputs, parameters and defaults, outputs, first value,
TA-Lib name, live class) with the hand-written `docs/indicators/<name>.md` (definition, first value,
missing values, differences from TA-Lib), the measured agreement with TA-Lib from
`docs/agreement.json` (written by `tools/measure_agreement.py`), and a chart drawn now on a seeded
random walk. Pages exist for the indicators whose native state is built, and for the four of the
core module; one without its hand-written file stops the build.

`python tools/docs_pages.py --readme` rewrites the README's table of indicators from the same data.
"""

from __future__ import annotations

import ast
import io
import json
import re
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

import quillora_series as qs
from quillora_series import _registry
from quillora_series._registry import Indicator, Period, X

ROOT = Path(__file__).resolve().parent.parent
FRAGMENTS = ROOT / "docs" / "indicators"
AGREEMENT = ROOT / "docs" / "agreement.json"
README = ROOT / "README.md"

# A period without a default is shown, drawn and measured with this one.
EXAMPLE_PERIOD = 20


REQUIRED_SECTIONS = ("Definition", "First value", "Missing values")
OPTIONAL_SECTIONS = ("Differences from TA-Lib",)


def documented() -> list[Indicator]:
    """Every indicator with a page: the core four and those the registry serves, by name."""
    found = {indicator.name: indicator for indicator in _registry.BUILTIN}
    found.update(_registry.INDICATORS)
    return [found[name] for name in sorted(found)]


def declared() -> list[Indicator]:
    """Every indicator there is or is to come: the core four and all the registry declares, by name."""
    found = {indicator.name: indicator for indicator in _registry.BUILTIN}
    found.update((indicator.name, indicator) for indicator in _registry.DECLARED)
    return [found[name] for name in sorted(found)]


def example_params(indicator: Indicator) -> dict[str, Any]:
    """The parameters pages show, draw and measure: the defaults, EXAMPLE_PERIOD where there is none."""
    return {p.name: EXAMPLE_PERIOD if p.default is None else p.default for p in indicator.params}


class FragmentError(Exception):
    pass


def fragment(name: str) -> dict[str, str]:
    """The hand-written sections of one indicator, by heading, in the order the page shows them."""
    path = FRAGMENTS / f"{name}.md"
    if not path.is_file():
        raise FragmentError(f"{path.relative_to(ROOT)} is missing: every indicator with a page needs one")
    # A link to another indicator's file (`var.md`) points at that indicator's generated page.
    text = re.sub(r"\]\(([a-z_]+)\.md(#[^)]*)?\)", r"](../\1/index.md\2)", path.read_text())
    parts = re.split(r"^## (.+?)\s*$", text, flags=re.MULTILINE)
    if parts[0].strip():
        raise FragmentError(f"{path.relative_to(ROOT)}: text before the first section (the page adds the title)")
    sections = {heading: body.strip() for heading, body in zip(parts[1::2], parts[2::2])}
    allowed = REQUIRED_SECTIONS + OPTIONAL_SECTIONS
    unknown = [heading for heading in sections if heading not in allowed]
    missing = [heading for heading in REQUIRED_SECTIONS if not sections.get(heading)]
    if unknown or missing:
        raise FragmentError(
            f"{path.relative_to(ROOT)}: sections must be {', '.join(allowed)} (the last optional); "
            f"missing {missing}, unexpected {unknown}"
        )
    return {heading: sections[heading] for heading in allowed if heading in sections}


# --- what the page says ------------------------------------------------------------------------------


def _value(value: Any) -> str:
    return repr(value)


def signature(indicator: Indicator) -> str:
    """The call with its defaults, as in `qs.rsi(x, period=14)`; several outputs name the tuple."""
    params = [p.name if p.default is None else f"{p.name}={_value(p.default)}" for p in indicator.params]
    call = f"qs.{indicator.name}({', '.join([*indicator.inputs, *params])})"
    if len(indicator.outputs) > 1:
        call += f" -> {indicator.tuple_name}({', '.join(indicator.outputs)})"
    return call


def live_call(indicator: Indicator) -> str:
    """The live object with its defaults: `quillora_series.stream.RSI(14)`."""
    args = [p.name if p.default is None else _value(p.default) for p in indicator.params]
    return f"quillora_series.stream.{indicator.live_name}({', '.join(args)})"


def _lookback_lambdas() -> dict[str, ast.Lambda]:
    """The lookback expression of every declaration, read from the registry's source."""
    found: dict[str, ast.Lambda] = {}
    for node in ast.walk(ast.parse(Path(_registry.__file__).read_text())):
        if (
            isinstance(node, ast.Call)
            and isinstance(node.func, ast.Name)
            and node.func.id == "Indicator"
            and len(node.args) >= 5
            and isinstance(node.args[0], ast.Constant)
            and isinstance(node.args[4], ast.Lambda)
        ):
            found[node.args[0].value] = node.args[4]
    return found


_LAMBDAS: dict[str, ast.Lambda] | None = None


def lookback_formula(indicator: Indicator) -> str | None:
    """The first valid position in the parameters' names (`2 * (period - 1)`), when the source has it."""
    global _LAMBDAS
    if _LAMBDAS is None:
        _LAMBDAS = _lookback_lambdas()
    function = _LAMBDAS.get(indicator.name)
    if function is None:
        return None
    names = {arg.arg: p.name for arg, p in zip(function.args.args, indicator.params)}

    class Rename(ast.NodeTransformer):
        def visit_Name(self, node: ast.Name) -> ast.Name:
            return ast.Name(names.get(node.id, node.id), node.ctx)

    return ast.unparse(Rename().visit(ast.parse(ast.unparse(function.body), mode="eval")).body)


def _parameter_rows(indicator: Indicator) -> Iterator[str]:
    for p in indicator.params:
        if isinstance(p, Period):
            kind = f"whole number ≥ {p.minimum}"
        else:
            kind = "finite real" if p.minimum is None else f"finite real ≥ {_value(p.minimum)}"
        default = "required" if p.default is None else f"`{_value(p.default)}`"
        yield f"| `{p.name}` | {kind} | {default} |"


def _inputs_text(indicator: Indicator) -> str:
    names = ", ".join(f"`{name}`" for name in indicator.inputs)
    if indicator.inputs == X:
        return "`x`: one series (NumPy array, list, pandas or polars Series) or a table of one symbol per column"
    return f"{names}: series or tables of one shape, or one pandas or polars DataFrame with those columns alone"


def _outputs_text(indicator: Indicator) -> str:
    if len(indicator.outputs) == 1:
        return f"`{indicator.outputs[0]}`: one result of the kind of `{indicator.inputs[0]}`"
    fields = ", ".join(indicator.outputs)
    return (
        f"the named tuple `{indicator.tuple_name}({fields})`, each field a result of the kind of "
        f"`{indicator.inputs[0]}`"
    )


def agreement_text(indicator: Indicator, agreement: dict[str, Any]) -> str:
    entry = agreement.get(indicator.name)
    if entry is None:
        return "not measured"
    params = ", ".join(f"{name}={_value(value)}" for name, value in example_params(indicator).items())
    text = (
        f"largest relative difference **{entry['max_rel_error']:.2g}** from TA-Lib {entry['talib']} on a "
        f"random walk of 100,000 bars ({params or 'no parameters'}), measured by `tools/measure_agreement.py`"
    )
    if entry["max_rel_error"] > 1e-9:
        text += " (see [Differences from TA-Lib](#differences-from-ta-lib))"
    return text


def page(indicator: Indicator, agreement: dict[str, Any]) -> str:
    sections = fragment(indicator.name)
    params = example_params(indicator)
    formula = lookback_formula(indicator)
    first = f"position {indicator.lookback(*params.values())}"
    if formula is not None and indicator.params:
        first += f" with {', '.join(f'{k}={_value(v)}' for k, v in params.items())}; in general `{formula}`"
    lines = [
        f"# {indicator.name}: {indicator.summary}",
        "",
        "```py",
        signature(indicator),
        "```",
        "",
        f"- **Inputs:** {_inputs_text(indicator)}",
        f"- **Outputs:** {_outputs_text(indicator)}",
        f"- **First value:** {first} (0-based, on data without missing values)",
        f"- **Live:** `{live_call(indicator)}`",
        f"- **TA-Lib:** `{indicator.talib}`, {agreement_text(indicator, agreement)}",
        "",
    ]
    if indicator.params:
        lines += ["| parameter | values | default |", "|---|---|---|", *_parameter_rows(indicator), ""]
    for heading, body in sections.items():
        lines += [f"## {heading}", "", body, ""]
    lines += [
        "## Chart",
        "",
        f"![{indicator.name} on a random walk of {CHART_BARS} bars]({indicator.name}.png)",
        "",
        f"{_chart_caption(indicator)}",
        "",
    ]
    return "\n".join(lines)


# --- the chart ---------------------------------------------------------------------------------------

CHART_SEED = 20261208
CHART_BARS = 300

# Indicators whose outputs are prices, drawn over the close; the others get a panel of their own.
ON_PRICE = {
    "sma", "ema", "rma", "wma", "dema", "tema", "kama", "trima", "zlema", "hma", "bbands", "kc", "donchian",
    "supertrend", "sar", "midprice", "midpoint", "max", "min", "linearreg", "linearreg_intercept", "tsf", "vwap",
}  # fmt: skip
# Outputs of a price indicator that are not prices themselves.
OFF_PRICE = {("supertrend", "trend")}


@dataclass(frozen=True)
class Bars:
    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    volume: np.ndarray

    def input(self, name: str) -> np.ndarray:
        return self.close if name == "x" else getattr(self, name)


def random_walk(bars: int, seed: int) -> Bars:
    """Daily bars of a geometric random walk (1 % a day); each opens at the last close."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, bars)))
    open_ = np.concatenate(([100.0], close[:-1]))
    high = np.maximum(open_, close) + close * rng.uniform(0.0, 0.005, bars)
    low = np.minimum(open_, close) - close * rng.uniform(0.0, 0.005, bars)
    volume = np.round(rng.lognormal(13.0, 0.4, bars))
    return Bars(open_, high, low, close, volume)


def compute(indicator: Indicator, bars: Bars) -> dict[str, np.ndarray]:
    """The indicator's outputs on `bars` with the example parameters, by output name."""
    function: Callable[..., Any] = getattr(qs, indicator.name)
    result = function(*(bars.input(name) for name in indicator.inputs), **example_params(indicator))
    values = result if len(indicator.outputs) > 1 else (result,)
    return {name: np.asarray(value, dtype=np.float64) for name, value in zip(indicator.outputs, values)}


def _chart_caption(indicator: Indicator) -> str:
    params = ", ".join(f"{k}={_value(v)}" for k, v in example_params(indicator).items())
    return (
        f"`{indicator.name}({params})` on {CHART_BARS} daily bars of a seeded random walk (seed {CHART_SEED}), "
        "drawn when the site is built."
    )


def chart(indicator: Indicator, bars: Bars) -> bytes:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    outputs = compute(indicator, bars)
    on_price = {
        name: values
        for name, values in outputs.items()
        if indicator.name in ON_PRICE and (indicator.name, name) not in OFF_PRICE
    }
    below = {name: values for name, values in outputs.items() if name not in on_price}
    x = np.arange(len(bars.close))
    if below:
        figure, (price, panel) = plt.subplots(
            2, 1, figsize=(8.0, 4.2), sharex=True, height_ratios=[1.4, 1.0], layout="constrained"
        )
    else:
        figure, price = plt.subplots(figsize=(8.0, 3.2), layout="constrained")
        panel = None
    price.fill_between(x, bars.low, bars.high, color="0.88", linewidth=0, label="high-low")
    price.plot(x, bars.close, color="0.35", linewidth=0.8, label="close")
    colours = iter(["tab:blue", "tab:orange", "tab:green", "tab:purple", "tab:red"])
    for name, values in on_price.items():
        price.plot(x, values, color=next(colours), linewidth=1.4, label=name)
    price.set_ylabel("price")
    legend = {"loc": "upper left", "bbox_to_anchor": (1.01, 1.0), "frameon": False, "fontsize": 8}
    price.legend(**legend)
    for axes in (price, panel):
        if axes is not None:
            axes.grid(axis="y", color="0.92")
            axes.set_xlim(0, len(x) - 1)
            axes.tick_params(labelsize=8)
    if panel is not None:
        for name, values in below.items():
            if name == "hist":  # a histogram, as it is usually drawn: one area, not a bar per position
                for side, colour in ((values >= 0, "tab:green"), (values < 0, "tab:red")):
                    panel.fill_between(x, 0.0, values, where=side, step="mid", color=colour, alpha=0.45, linewidth=0)
                panel.plot([], [], color="tab:green", alpha=0.45, linewidth=6, label=name)
            else:
                panel.plot(x, values, color=next(colours), linewidth=1.2, label=name)
        panel.legend(**legend)
        panel.set_xlabel("bar", fontsize=8)
    else:
        price.set_xlabel("bar", fontsize=8)
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=100)
    plt.close(figure)
    return buffer.getvalue()


# --- the site and the README -------------------------------------------------------------------------


def load_agreement() -> dict[str, Any]:
    return json.loads(AGREEMENT.read_text()) if AGREEMENT.is_file() else {}


def overview(indicators: list[Indicator]) -> str:
    lines = [
        "# Indicators",
        "",
        "Every indicator of `quillora_series` (`import quillora_series as qs`), with its parameters' defaults "
        "and the TA-Lib function whose classic definition it follows. Each page gives the definition with its "
        "order of operations, the first value, what missing values do, the live class and the measured "
        "agreement with TA-Lib.",
        "",
        "| indicator | call | TA-Lib |",
        "|---|---|---|",
    ]
    for indicator in indicators:
        call = signature(indicator).split(" -> ")[0]
        lines.append(
            f"| [{indicator.name}]({indicator.name}/index.md): {indicator.summary} | `{call}` | `{indicator.talib}` |"
        )
    return "\n".join([*lines, ""])


def build_site() -> None:
    import mkdocs_gen_files
    from mkdocs.structure.files import InclusionLevel

    try:
        indicators = documented()
        agreement = load_agreement()
        bars = random_walk(CHART_BARS, CHART_SEED)
        nav = ["* [Overview](index.md)"]
        with mkdocs_gen_files.open("indicators/index.md", "w") as out:
            out.write(overview(indicators))
        for indicator in indicators:
            with mkdocs_gen_files.open(f"indicators/{indicator.name}/index.md", "w") as out:
                out.write(page(indicator, agreement))
            mkdocs_gen_files.set_edit_path(f"indicators/{indicator.name}/index.md", f"indicators/{indicator.name}.md")
            with mkdocs_gen_files.open(f"indicators/{indicator.name}/{indicator.name}.png", "wb") as out:
                out.write(chart(indicator, bars))
            nav.append(f"* [{indicator.name}]({indicator.name}/index.md)")
        with mkdocs_gen_files.open("indicators/SUMMARY.md", "w") as out:
            out.write("\n".join([*nav, ""]))
        # literate-nav reads the section's navigation from it; it is no page of its own.
        summary = mkdocs_gen_files.FilesEditor.current().files.get_file_from_path("indicators/SUMMARY.md")
        summary.inclusion = InclusionLevel.EXCLUDED
        # The benchmark's own report and chart, which the performance page links to.
        with mkdocs_gen_files.open("guide/bench-results.md", "w") as out:
            out.write((ROOT / "bench" / "results.md").read_text())
        with mkdocs_gen_files.open("guide/results.png", "wb") as out:
            out.write((ROOT / "bench" / "results.png").read_bytes())
    except FragmentError as error:
        sys.exit(str(error))


README_START = "<!-- indicators: written by `python tools/docs_pages.py --readme` -->"
README_END = "<!-- /indicators -->"


def readme_table() -> str:
    """The README's table of every declared indicator: name, summary and TA-Lib name, linked to its page's source."""
    lines = [README_START, "", "| indicator | what it computes | TA-Lib |", "|---|---|---|"]
    for indicator in declared():
        link = f"[`{indicator.name}`](docs/indicators/{indicator.name}.md)"
        lines.append(f"| {link} | {indicator.summary} | `{indicator.talib}` |")
    return "\n".join([*lines, "", README_END])


def readme_with_table(text: str) -> str:
    pattern = re.compile(re.escape(README_START) + ".*?" + re.escape(README_END), re.DOTALL)
    if not pattern.search(text):
        raise SystemExit(f"README.md has no table between {README_START!r} and {README_END!r}")
    return pattern.sub(lambda _: readme_table(), text)


if __name__ == "<run_path>":  # run by mkdocs-gen-files during `mkdocs build`
    build_site()
elif __name__ == "__main__":
    if sys.argv[1:] != ["--readme"]:
        raise SystemExit("usage: python tools/docs_pages.py --readme")
    README.write_text(readme_with_table(README.read_text()))
