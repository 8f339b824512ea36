"""The functions of every declared indicator, made from its registry line.

Each function takes a series of any kind (NumPy, list, pandas, polars) or a table of symbols in
columns, checks its parameters, and runs the indicator's native state: `series` for one series,
`table` for a table. Several outputs come back as a named tuple of the input's kind.
"""

from __future__ import annotations

import collections
import inspect
from collections.abc import Callable
from typing import Any

import numpy as np

from . import _checks, _kinds, _tables
from ._long import LongForm, long_call
from ._parameters import check_parameters
from ._registry import INDICATORS, Indicator, Parameter

_ndarray = np.ndarray
_empty = np.empty
_FLOAT64 = np.dtype(np.float64)


def _plain_arrays(inputs: list[Any]) -> list[Any] | None:
    """The inputs as they are when each is a float64 NumPy array that every check would pass through
    unchanged (1-D contiguous and aligned, or 2-D), all of one shape; else None, for the checks.
    A small call costs a few microseconds less than through the conversions of every kind."""
    shape = getattr(inputs[0], "shape", None)
    for value in inputs:
        if type(value) is not _ndarray or value.dtype is not _FLOAT64 or value.shape != shape:
            return None
        if len(shape) == 1:
            flags = value.flags
            if not (flags.c_contiguous and flags.aligned):
                return None
        elif len(shape) != 2:
            return None
    return inputs


def _tuple_class(indicator: Indicator) -> Any:
    """The named tuple of an indicator's several outputs; subscripting it (BBANDS[pd.Series]) is for types."""
    cls: Any = collections.namedtuple(indicator.tuple_name, indicator.outputs)
    cls.__module__ = "quillora_series"
    cls.__doc__ = f"{indicator.summary}: {', '.join(indicator.outputs)}, each of the input's kind."
    cls.__class_getitem__ = classmethod(lambda klass, _item: klass)
    return cls


def _parameter_default(parameter: Parameter) -> Any:
    return inspect.Parameter.empty if parameter.default is None else parameter.default


def signature(indicator: Indicator) -> inspect.Signature:
    """`rsi(x, period=14, *, out=None, workers=None)`; inputs after the first are optional when several,
    as one DataFrame with those columns may be passed alone."""
    positional = inspect.Parameter.POSITIONAL_OR_KEYWORD
    parameters = [inspect.Parameter(indicator.inputs[0], positional)]
    parameters += [inspect.Parameter(name, positional, default=None) for name in indicator.inputs[1:]]
    parameters += [
        inspect.Parameter(parameter.name, positional, default=_parameter_default(parameter))
        for parameter in indicator.params
    ]
    keyword = inspect.Parameter.KEYWORD_ONLY
    parameters += [inspect.Parameter(name, keyword, default=None) for name in ("out", "workers", "by", "on")]
    return inspect.Signature(parameters)


def _make_function(indicator: Indicator, result_tuple: Any) -> Callable[..., Any]:
    native = LongForm(indicator.native, indicator.inputs, len(indicator.outputs))
    series_entry = native.kernel.series
    table_entry = native.kernel.table
    signature_ = signature(indicator)
    several_inputs = len(indicator.inputs) > 1
    several_outputs = len(indicator.outputs) > 1
    input_names = indicator.inputs
    output_count = len(indicator.outputs)

    def call(inputs: list[Any], settings: list[Any], out: Any, workers: Any, by: Any, on: Any) -> Any:
        counts, reals = check_parameters(indicator, settings)
        workers = _checks.workers(workers)
        if by is not None or on is not None:
            _checks.no_long_out(out)
            return long_call(indicator.name, native, counts, reals, inputs, by, on, workers, result_tuple)
        plain = _plain_arrays(inputs)
        if plain is not None:
            values, wrap = plain, _kinds._unchanged
        else:
            if several_inputs and all(value is None for value in inputs[1:]):
                converted = _kinds.named_columns(inputs[0], input_names, indicator.name)
            else:
                if several_inputs:
                    _checks.all_inputs(indicator.name, input_names, inputs)
                converted = tuple(_kinds.convert(value) for value in inputs)
            values = [data.values for data in converted]
            wrap = converted[0].wrap
            _checks.same_named_shapes(input_names, [value.shape for value in values])
            _checks.same_named_labels(input_names, [data.labels for data in converted])
        if values[0].ndim == 2 or not all(isinstance(value, _ndarray) for value in values):
            given_out = _checks.table_outputs(out, indicator.outputs, values[0].shape)
            tables = _tables.run_declared(table_entry, counts, reals, values, output_count, workers, given_out)
            results = tables if given_out else [wrap(table) for table in tables]
        elif out is None:
            length = values[0].shape[0]
            outputs = tuple(_empty(length) for _ in range(output_count))
            series_entry(counts, reals, tuple(values), outputs)
            results = [wrap(output) for output in outputs]
        else:
            outputs = _checks.outputs(out, indicator.outputs)
            series_entry(counts, reals, tuple(values), outputs)
            results = list(outputs)
        return result_tuple(*results) if several_outputs else results[0]

    function = _with_signature(indicator, signature_, call)
    function.__module__ = "quillora_series"
    function.__signature__ = signature_  # type: ignore[attr-defined]
    function.__doc__ = _docstring(indicator)
    return function


def _with_signature(indicator: Indicator, signature_: inspect.Signature, call: Callable[..., Any]) -> Any:
    """A function with the declared signature itself, so that the interpreter binds the arguments
    (binding through `inspect` costs more than a small call's whole native run)."""
    defaults = {f"_default_{k}": p.default for k, p in enumerate(signature_.parameters.values())}
    spelled = []
    for k, parameter in enumerate(signature_.parameters.values()):
        if parameter.kind is inspect.Parameter.KEYWORD_ONLY and "*" not in spelled:
            spelled.append("*")
        default = "" if parameter.default is inspect.Parameter.empty else f"=_default_{k}"
        spelled.append(parameter.name + default)
    inputs = ", ".join(indicator.inputs)
    values = ", ".join(parameter.name for parameter in indicator.params)
    source = (
        f"def {indicator.name}({', '.join(spelled)}):\n    return _call([{inputs}], [{values}], out, workers, by, on)\n"
    )
    namespace: dict[str, Any] = {"_call": call, **defaults}
    exec(source, namespace)  # the source is made of the registry's own names
    return namespace[indicator.name]


def _docstring(indicator: Indicator) -> str:
    outputs = (
        f"Returns {indicator.tuple_name}({', '.join(indicator.outputs)}), each of the kind of `{indicator.inputs[0]}`."
        if len(indicator.outputs) > 1
        else f"Returns a series (or table) of the kind of `{indicator.inputs[0]}`."
    )
    inputs = (
        f"`{'`, `'.join(indicator.inputs)}` are series (or tables of symbols in columns) of one shape; one "
        f"pandas or polars DataFrame with {', '.join(indicator.inputs)} columns may be passed alone."
        if len(indicator.inputs) > 1
        else "`x` is a series (1-D NumPy array, list, pandas or polars Series) or a table with one symbol per column."
    )
    return (
        f"{indicator.summary} (TA-Lib {indicator.talib}).\n\n{inputs} {outputs} `out` takes 1-D float64 arrays "
        "to write into (a tuple of them for several outputs). Tables run on `workers` threads (None: one per CPU).\n\n"
        "`by` makes the input a long table: rows that share a key are one symbol (the key column names, "
        "one or several, of a DataFrame passed alone, or one key per row), each computed on its rows alone; "
        "`on` names the column a one-input indicator reads from such a DataFrame (default: close)."
    )


TUPLES: dict[str, Any] = {}
FUNCTIONS: dict[str, Callable[..., Any]] = {}
for _indicator in INDICATORS.values():
    _result = _tuple_class(_indicator) if len(_indicator.outputs) > 1 else None
    if _result is not None:
        TUPLES[_indicator.tuple_name] = _result
    FUNCTIONS[_indicator.name] = _make_function(_indicator, _result)

globals().update(FUNCTIONS)
globals().update(TUPLES)
__all__ = sorted([*FUNCTIONS, *TUPLES])
