"""Live classes of every declared indicator, made from its registry line (RSI, BBANDS, ...).

Each wraps the indicator's native state, the one definition its batch function runs, so every
value `update` returns is, bit for bit, the batch value at the same position, however the series
is split into updates and chunks. States copy, pickle and reset.
"""

from __future__ import annotations

import collections
from typing import Any

import numpy as np

from . import _checks, _kinds
from ._parameters import check_parameters
from ._registry import INDICATORS, Indicator, Period

# Saved states name their indicator and this layout; any other is refused, never misread.
_SNAPSHOT_FORMAT = 2


def _camel(name: str) -> str:
    return "".join(part.capitalize() for part in name.split("_"))


class Live:
    """What every live indicator shares: a native state, its parameters, reset, copies and pickles."""

    __slots__ = ("_parameters", "_state")
    _indicator: Indicator
    _values: Any
    _series: Any
    _parameters: tuple[Any, ...]
    _state: Any

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        indicator = self._indicator
        bound = _signatures[indicator.name].bind(*args, **kwargs)
        bound.apply_defaults()
        values = tuple(bound.arguments[parameter.name] for parameter in indicator.params)
        counts, reals = check_parameters(indicator, values)
        self._parameters = _ordered(indicator, counts, reals)
        self._state = indicator.native(counts, reals, self._values)

    def reset(self) -> None:
        """Forgets every sample seen: the next update starts a new series."""
        self._state.reset()

    # copy.copy, copy.deepcopy and pickle all go through the saved state: a copy shares nothing with
    # its original, and a restored state continues with the same bits.
    def __getstate__(self) -> tuple[Any, ...]:
        counts, reals = self._state.save()
        return (self._indicator.name, _SNAPSHOT_FORMAT, self._parameters, counts, reals)

    def __setstate__(self, saved: Any) -> None:
        indicator = self._indicator
        name = indicator.live_name
        if not (isinstance(saved, tuple) and len(saved) == 5):
            raise ValueError(f"cannot restore {name}: expected the state that pickling gives")
        tag, layout, parameters, counts, reals = saved
        if tag != indicator.name:
            raise ValueError(f"cannot restore {name}: the saved state is of another indicator ({tag!r})")
        if layout != _SNAPSHOT_FORMAT or not isinstance(parameters, tuple):
            raise ValueError(f"cannot restore {name}: the saved state is damaged or from another version")
        try:
            checked_counts, checked_reals = check_parameters(indicator, parameters)
        except (TypeError, ValueError) as error:
            raise ValueError(f"cannot restore {name}: {error}") from None
        state = indicator.native(checked_counts, checked_reals, self._values)
        try:
            state.load(counts, reals)
        except ValueError:
            raise ValueError(f"cannot restore {name}: the saved state is damaged or from another version") from None
        self._parameters = _ordered(indicator, checked_counts, checked_reals)
        self._state = state

    def __repr__(self) -> str:
        listed = ", ".join(f"{p.name}={v!r}" for p, v in zip(self._indicator.params, self._parameters))
        return f"{type(self).__name__}({listed})"


def _ordered(indicator: Indicator, counts: list[int], reals: list[float]) -> tuple[Any, ...]:
    """The checked parameters back in declared order."""
    count_values, real_values = iter(counts), iter(reals)
    return tuple(next(count_values) if isinstance(p, Period) else next(real_values) for p in indicator.params)


def _checked(values: tuple[Any, ...], names: tuple[str, ...]) -> list[float]:
    return [v if type(v) is float else _checks.number(v, name) for v, name in zip(values, names)]


def _bar_update(names: tuple[str, ...]) -> Any:
    """`update` of a bar of two to four inputs, with their names as positional parameters: a star-args
    call and a check per value cost the live update several times the native step."""
    # The native state returns the bar's values as the class's named tuple itself.
    if len(names) == 2:

        def update(self: Any, a: Any, b: Any) -> Any:
            if type(a) is not float or type(b) is not float:
                a, b = _checked((a, b), names)
            return self._state.update(a, b)
    elif len(names) == 3:

        def update(self: Any, a: Any, b: Any, c: Any) -> Any:
            if type(a) is not float or type(b) is not float or type(c) is not float:
                a, b, c = _checked((a, b, c), names)
            return self._state.update(a, b, c)
    else:

        def update(self: Any, a: Any, b: Any, c: Any, d: Any) -> Any:
            if type(a) is not float or type(b) is not float or type(c) is not float or type(d) is not float:
                a, b, c, d = _checked((a, b, c, d), names)
            return self._state.update(a, b, c, d)

    return update


_signatures: dict[str, Any] = {}


def _make_class(indicator: Indicator) -> type[Live]:
    import inspect

    _signatures[indicator.name] = inspect.Signature(
        [
            inspect.Parameter(
                p.name,
                inspect.Parameter.POSITIONAL_OR_KEYWORD,
                default=inspect.Parameter.empty if p.default is None else p.default,
            )
            for p in indicator.params
        ]
    )
    several_outputs = len(indicator.outputs) > 1
    camel = _camel(indicator.name)
    values_class: Any = collections.namedtuple(f"{camel}Values", indicator.outputs) if several_outputs else None
    series_class: Any = collections.namedtuple(f"{camel}Series", indicator.outputs) if several_outputs else None
    input_names = indicator.inputs
    output_count = len(indicator.outputs)
    namespace: dict[str, Any] = {
        "__slots__": (),
        "_indicator": indicator,
        "_values": values_class,
        "_series": series_class,
    }

    if len(input_names) == 1:

        def update(self: Any, value: float) -> Any:
            return self._state.update(value if type(value) is float else _checks.number(value))
    else:
        update = _bar_update(input_names)

    update.__doc__ = f"The {indicator.name} at the new bar: the batch function's value at its position."

    def update_many(self: Any, *chunks: Any) -> Any:
        if len(chunks) != len(input_names):
            raise TypeError(f"update_many takes {', '.join(input_names)}, got {len(chunks)} arrays")
        runs = tuple(_kinds.series(chunk, name) for chunk, name in zip(chunks, input_names))
        lengths = {len(run) for run in runs}
        if len(lengths) > 1:
            raise ValueError(f"{', '.join(input_names)} must have the same length, got {[len(r) for r in runs]}")
        outputs = tuple(np.empty_like(runs[0]) for _ in range(output_count))
        self._state.run(runs, outputs)
        return series_class(*outputs) if several_outputs else outputs[0]

    update_many.__doc__ = "The values at each bar of the chunk, the same as updating bar by bar."
    namespace["update"] = update
    namespace["update_many"] = update_many
    for position, parameter in enumerate(indicator.params):
        namespace[parameter.name] = property(lambda self, k=position: self._parameters[k])
    namespace["__doc__"] = (
        f"{indicator.summary}, live: every value equals the batch `{indicator.name}` at its position."
    )
    cls = type(indicator.live_name, (Live,), namespace)
    cls.__module__ = "quillora_series.stream"
    if several_outputs:
        values_class.__module__ = series_class.__module__ = "quillora_series.stream"
    return cls


CLASSES: dict[str, Any] = {}
for _indicator in INDICATORS.values():
    _cls = _make_class(_indicator)
    CLASSES[_indicator.live_name] = _cls
    if _cls._values is not None:
        CLASSES[_cls._values.__name__] = _cls._values
        CLASSES[_cls._series.__name__] = _cls._series

globals().update(CLASSES)
__all__ = sorted(CLASSES)
