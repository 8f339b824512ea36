"""quillora_series as a package: optional libraries stay unloaded, and its types hold under mypy --strict."""

import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def test_pandas_and_polars_are_imported_only_with_their_objects(fresh_python):
    child = fresh_python("""
        import sys
        import numpy as np
        import quillora_series as qs
        x = np.linspace(1.0, 2.0, 50)
        qs.sma(x, 3), qs.ema(list(x), 3), qs.macd(np.c_[x, x], workers=2), qs.atr(x, x, x, period=3)
        for wrong in (lambda: qs.atr(x), lambda: qs.sma("x", 3), lambda: qs.sma(x + 1j, 3)):
            try:
                wrong()
            except TypeError:
                pass
        print(sorted({"pandas", "polars", "dask", "pyarrow"} & set(sys.modules)))
    """)
    assert (child.returncode, child.stdout, child.stderr) == (0, "[]\n", "")


USAGE = """
    from typing import assert_type

    import numpy as np
    import numpy.typing as npt
    import pandas as pd
    import polars as pl

    import quillora_series as qs

    def usage(x: npt.NDArray[np.float64], series: "pd.Series[float]", frame: pd.DataFrame,
              polars_series: pl.Series, polars_frame: pl.DataFrame) -> None:
        assert_type(qs.sma(x, 3), npt.NDArray[np.float64])
        assert_type(qs.sma([1.0, 2.0], 3), npt.NDArray[np.float64])
        assert_type(qs.sma(series, 3), "pd.Series[float]")
        assert_type(qs.sma(series, 3, out=x), npt.NDArray[np.float64])
        assert_type(qs.ema(frame, 3, workers=2), pd.DataFrame)
        assert_type(qs.ema(polars_series, 3), pl.Series)
        assert_type(qs.sma(polars_frame, 3), pl.DataFrame)
        assert_type(qs.macd(series), "qs.MACD[pd.Series[float]]")
        assert_type(qs.macd(x, out=(x, x, x)).hist, npt.NDArray[np.float64])
        assert_type(qs.atr(frame, period=14), "pd.Series[float]")
        assert_type(qs.atr(polars_frame, period=14), pl.Series)
        assert_type(qs.atr(x, x, x), npt.NDArray[np.float64])
        assert_type(qs.atr(frame, frame, frame), pd.DataFrame)
        assert_type(qs.atr(series, x, x), "pd.Series[float]")
"""


def test_strict_types_and_a_series_in_gives_a_series_out(tmp_path):
    import quillora_series

    assert (Path(quillora_series.__file__).parent / "py.typed").is_file()
    usage = tmp_path / "usage.py"
    usage.write_text(textwrap.dedent(USAGE))
    checked = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(ROOT / "build" / "mypy-cache"),
            str(ROOT / "series" / "quillora_series"),
            str(usage),
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr
