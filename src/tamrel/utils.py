"""Result record shared by the package's tests and diagnosers."""

import html
import sys

import numpy as np
import pandas as pd

__all__ = ["TestDataResult", "is_dask"]

_MAX_ITEMS = 6
_MAX_TEXT = 80


def _summary(value):
    """A short text for ``value``: large containers are described, not listed."""
    if isinstance(value, pd.DataFrame):
        return f"<DataFrame {value.shape[0]}x{value.shape[1]}>"
    if isinstance(value, pd.Series):
        return f"<Series len={value.shape[0]}>"
    if isinstance(value, np.ndarray):
        return f"<ndarray shape={value.shape} {value.dtype}>"
    if isinstance(value, dict):
        items = [f"{k!r}: {_summary(v)}" for k, v in list(value.items())[:_MAX_ITEMS]]
        if len(value) > _MAX_ITEMS:
            items.append(f"... {len(value) - _MAX_ITEMS} more")
        return "{" + ", ".join(items) + "}"
    if isinstance(value, (list, tuple)) and len(value) > _MAX_ITEMS:
        return f"<{type(value).__name__} len={len(value)}>"
    text = repr(value)
    return text if len(text) <= _MAX_TEXT else text[: _MAX_TEXT - 3] + "..."


def _frame_html(frame, title=None):
    heading = "" if title is None else f"<h5>{html.escape(str(title))}</h5>"
    return heading + frame.to_html()


def _entries_html(entries):
    rows = "".join(
        f"<tr><th>{html.escape(str(k))}</th><td>{html.escape(_summary(v))}</td></tr>"
        for k, v in entries
    )
    return f"<table>{rows}</table>" if rows else ""


class TestDataResult:
    """The result of a test or diagnosis: a ``key`` naming its kind and its ``value``.

    Parameters
    ----------
    key : str
        Kind of result, e.g. "frailzone_result".
    value : object
        The result itself, usually a dictionary.
    """

    __test__ = False  # not a pytest test class despite its name

    def __init__(self, key, value):
        self.key = key
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}(key={self.key!r}, value={_summary(self.value)})"

    def _repr_html_(self):
        parts = [f"<h4>{html.escape(str(self.key))}</h4>"]
        value = self.value
        if isinstance(value, pd.DataFrame):
            parts.append(_frame_html(value))
        elif isinstance(value, dict):
            frames = [(k, v) for k, v in value.items() if isinstance(v, pd.DataFrame)]
            others = [(k, v) for k, v in value.items() if not isinstance(v, pd.DataFrame)]
            parts.append(_entries_html(others))
            parts.extend(_frame_html(v, k) for k, v in frames)
        else:
            parts.append(f"<pre>{html.escape(_summary(value))}</pre>")
        return "<div>" + "".join(parts) + "</div>"


def is_dask(obj):
    """Whether obj is a Dask collection (False, without importing Dask, while it is not loaded)."""
    if "dask" not in sys.modules:
        return False
    import dask

    return dask.is_dask_collection(obj)
