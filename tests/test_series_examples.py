"""The quillora_series code of the README and the guide, and the Dask example, give the core's bits symbol by symbol."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import polars as pl
import pytest

import quillora
from conftest import assert_same_bits

ROOT = Path(__file__).resolve().parents[1]


def readme_code(first_line, page="README.md"):
    """The one Python block of `page` that starts with `first_line` (a marker that survives edits around it)."""
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / page).read_text(), re.DOTALL)
    found = [block for block in blocks if block.startswith(first_line + "\n")]
    assert len(found) == 1, f"expected one block of {page} starting with {first_line!r}"
    return found[0]


def core_indicators(high, low, close):
    """The core's outputs for one symbol, by the names the recipes and the example give them."""
    n = len(close)
    sma, ema, atr, macd, signal, hist = (np.empty(n) for _ in range(6))
    quillora.indicator_sma(20, close, sma)
    quillora.indicator_ema(20, close, ema)
    quillora.indicator_macd(12, 26, 9, close, macd, signal, hist)
    quillora.indicator_atr(14, high, low, close, atr)
    return {"sma": sma, "ema": ema, "macd": macd, "macd_signal": signal, "macd_hist": hist, "atr": atr}


def assert_symbols_match_core(table, names):
    """Every symbol's indicator columns of `table` (pandas, any row order) equal the core's on its bars."""
    for _, one in table.sort_values(["symbol", "timestamp"]).groupby("symbol"):
        expected = core_indicators(*(one[c].to_numpy(np.float64) for c in ("high", "low", "close")))
        for column, name in names.items():
            assert_same_bits(one[column].to_numpy(np.float64), expected[name])


def test_readme_quick_start_runs():
    exec(readme_code("# quick start"), {})


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_readme_recipes(library):
    rng = np.random.default_rng(3)
    symbols, bars_each = 5, 120
    close = 50.0 + np.cumsum(rng.normal(0.0, 1.0, symbols * bars_each))
    bars = pd.DataFrame(
        {
            "symbol": np.repeat([f"S{k}" for k in range(symbols)], bars_each),
            "timestamp": np.tile(pd.date_range("2026-01-05", periods=bars_each, freq="min"), symbols),
            "high": close + rng.uniform(0.0, 1.0, close.size),
            "low": close - rng.uniform(0.0, 1.0, close.size),
            "close": close,
        }
    ).sample(frac=1.0, random_state=4)  # rows in no particular order: the recipes sort them
    names = {"bars": bars if library == "pandas" else pl.from_pandas(bars)}
    exec(readme_code(f"# recipe: {library}", "docs/guide/tables.md"), names)
    result = names["bars"] if library == "pandas" else names["result"].to_pandas()
    assert len(result) == len(bars)
    assert_symbols_match_core(result, {"sma_20": "sma", "ema_20": "ema", "macd_hist": "macd_hist", "atr_14": "atr"})


def test_dask_example_matches_each_symbol_computed_alone(tmp_path):
    example = ROOT / "examples" / "dask_many_symbols.py"
    output = tmp_path / "bars.parquet"
    run = subprocess.run(
        [
            sys.executable,
            str(example),
            "--symbols",
            "50",
            "--bars",
            "2000",
            "--partitions",
            "4",
            "--workers",
            "2",
            "--output",
            str(output),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    assert "50 symbols x 2000 bars in 4 partitions" in run.stdout

    table = pd.read_parquet(output).reset_index()
    assert len(table) == 50 * 2000 and table["symbol"].nunique() == 50
    spec = importlib.util.spec_from_file_location("dask_many_symbols", example)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    for number in range(50):
        # The symbol's bars generated and computed alone, here, straight through the core.
        alone = module.symbol_bars(number, 2000)
        bars = [alone[column].to_numpy() for column in ("high", "low", "close")]
        expected = dict(zip(("high", "low", "close"), bars)) | core_indicators(*bars)
        written = table[table["symbol"] == module.symbol_name(number)].sort_values("timestamp")
        assert written["timestamp"].tolist() == alone["timestamp"].tolist()
        for column, values in expected.items():
            assert_same_bits(written[column].to_numpy(), values)
