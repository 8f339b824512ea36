"""Slow pure-Python definitions of the declared indicators, each step in its documented order.

Every module of this package holds one family and a `REFERENCES` dict from indicator name to a
function `f(inputs, *params) -> outputs`: `inputs` is a list of lists of floats (one per declared
input), the result a list of lists of floats (one per declared output). Python floats are IEEE
doubles and each operator is one rounding, so these give the exact bits the native states must.
"""

import importlib
import pkgutil

from reference import MISSING

__all__ = ["MISSING", "REFERENCES"]

REFERENCES = {}
for _module in pkgutil.iter_modules(__path__):
    REFERENCES.update(importlib.import_module(f"{__name__}.{_module.name}").REFERENCES)
