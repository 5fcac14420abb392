"""Declarative settings: one table per class gives each setting's name, kind, range and
default once; the constructor's signature line, the docstring's parameter list and the check
in ``fit`` all follow from it.

Checks follow the package's error rule: ``TypeError`` for the wrong kind of value (text
where a number is due, a bool where a number is due), ``ValueError`` for the right kind with
a wrong value (out of its range, not one of the choices); every message names the setting.
"""

import inspect
import math
import numbers
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any, Callable, Optional

import numpy as np

__all__ = ["Setting", "number", "integer", "flag", "one_of", "anything", "signature", "signature_line",
           "parameters_doc", "store", "check", "text_or_none"]


@dataclass(frozen=True)
class Setting:
    """One constructor argument: `kind` and `doc` are its docstring entry; `check` turns a
    value into the checked one or raises (None: taken as it is)."""

    name: str
    default: Any
    kind: str
    doc: str
    check: Optional[Callable[[Any, str], Any]] = None
    keyword_only: bool = False


def _real(value, name):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}.")
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"{name} must be a number, got NaN.")
    return value


def number(low=-math.inf, high=math.inf, low_open=False, high_open=False, finite=False):
    """A real number in [low, high] (open ends where asked); finite ones only with finite."""
    def check(value, name):
        v = _real(value, name)
        if finite and not math.isfinite(v):
            raise ValueError(f"{name} must be a finite number, got {value!r}.")
        if v < low or v > high or (low_open and v == low) or (high_open and v == high):
            raise ValueError(f"{name} must lie in {'(' if low_open else '['}{low:g}, {high:g}"
                             f"{')' if high_open else ']'}, got {value!r}.")
        return v
    return check


def integer(low=None, none=False):
    """An integer of at least `low` (None allowed where `none`)."""
    def check(value, name):
        if value is None and none:
            return None
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            allowed = " or None" if none else ""
            raise TypeError(f"{name} must be an integer{allowed}, got {value!r}.")
        if low is not None and value < low:
            raise ValueError(f"{name} must be at least {low}, got {value!r}.")
        return int(value)
    return check


def flag(value, name):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {value!r}.")
    return bool(value)


def one_of(*choices):
    """One of the given values (compared with ==, types kept)."""
    def check(value, name):
        for choice in choices:
            if type(value) is type(choice) and value == choice:
                return value
        shown = ", ".join(repr(c) for c in choices)
        if not any(isinstance(value, type(c)) for c in choices if c is not None):
            raise TypeError(f"{name} must be one of {shown}, got {value!r}.")
        raise ValueError(f"{name} must be one of {shown}, got {value!r}.")
    return check


def anything(value, name):
    return value


def text_or_none(value, name):
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be a text or None, got {value!r}.")
    return value


def signature_line(function, table):
    """The docstring's first line of a constructor built from the table: ``name(self, a=1, ...)``."""
    return f"{function}{signature(table)}"


def parameters_doc(table):
    """The docstring's parameter list of the table (numpydoc)."""
    lines = ["Parameters", "----------"]
    for s in table:
        default = f'"{s.default}"' if isinstance(s.default, str) else repr(s.default)
        lines.append(f"{s.name} : {s.kind}, default={default}")
        lines.extend("    " + line for line in s.doc.splitlines())
    return "\n".join(lines)


def signature(table):
    """The constructor's signature of the table (with ``self``)."""
    kind = inspect.Parameter
    return inspect.Signature([kind("self", kind.POSITIONAL_OR_KEYWORD)] +
                             [kind(s.name, kind.KEYWORD_ONLY if s.keyword_only else kind.POSITIONAL_OR_KEYWORD,
                                   default=s.default) for s in table])


def store(obj, table, args, kwargs):
    """Bind the constructor's arguments as its signature does and store each by name (the
    scikit-learn rule: nothing is checked before fit)."""
    bound = signature(table).bind(obj, *args, **kwargs)
    bound.apply_defaults()
    for s in table:
        setattr(obj, s.name, bound.arguments[s.name])


def check(obj, table):
    """The object's settings checked by the table, as attributes of a namespace."""
    out = {}
    for s in table:
        value = getattr(obj, s.name)
        out[s.name] = value if s.check is None else s.check(value, s.name)
    return SimpleNamespace(**out)
