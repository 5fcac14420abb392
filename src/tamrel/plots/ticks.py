"""Tick labels in a feature's original units."""

from collections.abc import Mapping

import numpy as np
from matplotlib.ticker import FixedFormatter, FixedLocator

from ..exceptions import TamrelError

__all__ = ["scale_plot_ticks"]


def _transformer_inverse(feature, scaler):
    """Inverse of one column of a fitted transformer, or None when it lacks the feature."""
    names = [str(n) for n in scaler.feature_names_in_]
    if feature not in names:
        return None
    column = names.index(feature)

    def inverse(ticks):
        scaled = np.zeros((ticks.shape[0], len(names)))
        scaled[:, column] = ticks
        return np.asarray(scaler.inverse_transform(scaled), dtype=np.float64)[:, column]

    return inverse


def _inverse(feature, scaler):
    if isinstance(scaler, Mapping):
        func = scaler.get(feature)
        if func is None:
            return None
        return lambda ticks: np.asarray(func(ticks), dtype=np.float64).reshape(ticks.shape)
    if hasattr(scaler, "inverse_transform") and hasattr(scaler, "feature_names_in_"):
        return _transformer_inverse(feature, scaler)
    raise TamrelError(
        "scaler must be a fitted transformer with inverse_transform and feature_names_in_, "
        "or a mapping from feature name to a function."
    )


def _label(value, scale):
    # a value that is zero up to rounding error reads as 0, not as 1e-17
    if abs(value) < 1e-9 * scale:
        value = 0.0
    return f"{value:.4g}"


def scale_plot_ticks(ax, feature, scaler, axis):
    """Label the ticks of one axis of ``ax`` in the original units of ``feature``.

    Parameters
    ----------
    ax : matplotlib.axes.Axes
        The axes; its tick positions are kept.
    feature : str
        Name of the feature plotted on that axis.
    scaler : transformer or mapping
        A fitted scikit-learn transformer with ``inverse_transform`` and
        ``feature_names_in_``, or a mapping from feature name to a function
        of the scaled values.  A feature it does not know keeps its ticks.
    axis : {0, 1}
        0 for the x axis, 1 for the y axis.

    Returns
    -------
    matplotlib.axes.Axes
        ``ax``.
    """
    if axis not in (0, 1) or isinstance(axis, bool):
        raise TamrelError(f"axis must be 0 (x) or 1 (y), got {axis!r}.")
    inverse = _inverse(feature, scaler)
    if inverse is None:
        return ax
    target = ax.xaxis if axis == 0 else ax.yaxis
    ticks = np.asarray(target.get_ticklocs(), dtype=np.float64)
    values = inverse(ticks)
    scale = float(np.max(np.abs(values))) if values.size else 0.0
    # set locator and formatter directly: Axis.set_ticks would widen the view
    target.set_major_locator(FixedLocator(ticks))
    target.set_major_formatter(FixedFormatter([_label(v, scale) for v in values]))
    return ax
