"""The API pages' view of the declared indicators: a griffe extension that mkdocstrings loads.

The functions of `quillora_series`, the live classes of `quillora_series.stream` and the expressions
of `quillora_series.polars` that follow from the registry are made when the package is imported, so
reading the source finds none of them. This adds each to its module as griffe read it, with the
docstring it has at run time and the signature its registry line gives, so the API pages list them
beside the hand-written ones.
"""

from __future__ import annotations

import importlib
import importlib.util
import inspect
from typing import Any

import griffe


def _parameters(signature: inspect.Signature, skip_first: bool = False) -> griffe.Parameters:
    parameters = list(signature.parameters.values())[1 if skip_first else 0 :]
    return griffe.Parameters(
        *(
            griffe.Parameter(
                parameter.name,
                kind=griffe.ParameterKind(parameter.kind.description),
                default=None if parameter.default is inspect.Parameter.empty else repr(parameter.default),
            )
            for parameter in parameters
        )
    )


def _function(name: str, obj: Any, *, method: bool = False) -> griffe.Function:
    function = griffe.Function(name, parameters=_parameters(inspect.signature(obj), skip_first=method))
    if obj.__doc__:
        function.docstring = griffe.Docstring(inspect.cleandoc(obj.__doc__), parent=function)
    return function


def _class(name: str, obj: Any) -> griffe.Class:
    cls = griffe.Class(name)
    if obj.__doc__:
        cls.docstring = griffe.Docstring(inspect.cleandoc(obj.__doc__), parent=cls)
    return cls


def _live_class(name: str, obj: Any, indicator: Any) -> griffe.Class:
    """A live class: constructed with the indicator's parameters, updated with its inputs."""
    cls = _class(name, obj)
    made_with = inspect.Signature(
        [
            inspect.Parameter(
                p.name,
                inspect.Parameter.POSITIONAL_OR_KEYWORD,
                default=inspect.Parameter.empty if p.default is None else p.default,
            )
            for p in indicator.params
        ]
    )
    init = griffe.Function("__init__", parameters=_parameters(made_with))
    cls.set_member("__init__", init)
    inputs = inspect.Signature([inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY) for n in indicator.inputs])
    for method in ("update", "update_many", "reset"):
        member = _function(method, getattr(obj, method), method=True)
        if method != "reset":
            member.parameters = _parameters(inputs)
        cls.set_member(method, member)
    for parameter in indicator.params:
        attribute = griffe.Attribute(parameter.name)
        attribute.labels.add("property")
        attribute.docstring = griffe.Docstring(f"The `{parameter.name}` it was made with.", parent=attribute)
        cls.set_member(parameter.name, attribute)
    return cls


def _expression(name: str, obj: Any, indicator: Any) -> griffe.Function:
    """A polars expression: its input columns by name (the indicator's own by default), then its parameters."""
    positional, keyword = inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY
    columns = [inspect.Parameter(n, positional, default="close" if n == "x" else n) for n in indicator.inputs]
    params = [
        inspect.Parameter(p.name, positional, default=inspect.Parameter.empty if p.default is None else p.default)
        for p in indicator.params
    ]
    if any(p.default is inspect.Parameter.empty for p in params):
        # A parameter without a default follows the columns' defaults: only by keyword, as Python has it.
        params = [p.replace(kind=keyword) for p in params]
    options = [inspect.Parameter(n, keyword, default=None) for n in ("by", "workers")]
    function = _function(name, obj)
    function.parameters = _parameters(inspect.Signature([*columns, *params, *options]))
    return function


class DeclaredIndicators(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, **kwargs: Any) -> None:
        if pkg.path != "quillora_series":
            return
        registry = importlib.import_module("quillora_series._registry")
        declared = importlib.import_module("quillora_series._declared")
        live = importlib.import_module("quillora_series._live")
        by_live_name = {indicator.live_name: indicator for indicator in registry.INDICATORS.values()}
        for name in declared.__all__:
            obj = getattr(declared, name)
            pkg.set_member(name, _class(name, obj) if inspect.isclass(obj) else _function(name, obj))
        stream = pkg.get_member("stream")
        for name in live.__all__:
            obj = getattr(live, name)
            indicator = by_live_name.get(name)
            stream.set_member(name, _live_class(name, obj, indicator) if indicator else _class(name, obj))
        polars_names: list[str] = []
        if "polars" in pkg.members and importlib.util.find_spec("polars") is not None:
            expressions = importlib.import_module("quillora_series.polars")
            polars_module = pkg.get_member("polars")
            by_name = {i.name: i for i in (*registry.BUILTIN, *registry.INDICATORS.values())}
            polars_names = [name for name in expressions.__all__ if name in by_name]
            for name in polars_names:
                polars_module.set_member(name, _expression(name, getattr(expressions, name), by_name[name]))
        listed = [(pkg, declared.__all__), (stream, live.__all__)]
        if polars_names:
            listed.append((pkg.get_member("polars"), polars_names))
        for module, names in listed:
            if isinstance(module.exports, list):
                module.exports = [*module.exports, *(n for n in names if n not in module.exports)]
