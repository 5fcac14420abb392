"""Figures of the package's result records, so that a result can be looked at."""

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from ..exceptions import TamrelError, TamrelInfo
from .scan_figure import scan_regions

__all__ = ["render"]

_GROUP_COLUMN = "resi_type_"
_GROUP_COLOURS = ("#c0dbec", "#d95f02")  # comparison sample, weak sample
_HIST_BINS = 20


def _interactive_backend():
    try:
        from matplotlib.backends import BackendFilter, backend_registry
    except ImportError:  # matplotlib < 3.9
        from matplotlib.rcsetup import non_interactive_bk as batch
    else:
        batch = backend_registry.list_builtin(BackendFilter.NON_INTERACTIVE)
    return matplotlib.get_backend().lower() not in {b.lower() for b in batch}


def _cell(value):
    if isinstance(value, (float, np.floating)):
        return f"{value:.4g}"
    return str(value)


def _result_table(value, figsize):
    table = value["data"]
    if table is None:
        raise TamrelInfo("No weak regions detected.")
    rows, cols = table.shape
    fig = plt.figure(figsize=figsize or (max(6.0, 1.2 * cols), 0.45 * (rows + 2) + 0.6))
    ax = fig.add_subplot()
    ax.axis("off")
    cells = [[_cell(v) for v in row] for row in table.itertuples(index=False)]
    drawn = ax.table(cellText=cells, colLabels=[str(c) for c in table.columns], loc="center")
    drawn.auto_set_font_size(False)
    drawn.set_fontsize(9)
    threshold = value.get("threshold_value")
    ax.set_title(f"Weak regions (threshold value {_cell(threshold)}, method {value.get('method')})")
    return fig


def _distance_bars(value, figsize):
    features = list(value["x"])
    distances = np.asarray(value["y"], dtype=np.float64)
    fig = plt.figure(figsize=figsize or (6.0, 0.4 * len(features) + 1.5))
    ax = fig.add_subplot()
    positions = np.arange(len(features))
    bars = ax.barh(positions, distances, color=_GROUP_COLOURS[0], edgecolor="black")
    ax.bar_label(bars, fmt="%.4g", padding=2, fontsize=8)
    ax.set_yticks(positions, labels=features)
    ax.invert_yaxis()  # largest distance on top
    ax.set_xlabel(str(value.get("distance_metric", "distance")))
    ax.set_title(value["title"])
    return fig


def _groups(frame, feature):
    """(label, values) per group, in their order of appearance."""
    labels = pd.unique(frame[_GROUP_COLUMN])
    return [(label, frame.loc[frame[_GROUP_COLUMN] == label, feature]) for label in labels]


def _numerical_shift(ax, groups):
    finite = np.concatenate([np.asarray(v, dtype=np.float64) for _, v in groups])
    finite = finite[np.isfinite(finite)]
    edges = np.histogram_bin_edges(finite, bins=_HIST_BINS) if finite.size else _HIST_BINS
    for (label, values), colour in zip(groups, _GROUP_COLOURS):
        data = np.asarray(values, dtype=np.float64)
        ax.hist(data[np.isfinite(data)], bins=edges, density=True, alpha=0.6, color=colour,
                edgecolor="black", label=label)
    ax.set_ylabel("Density")


def _categorical_shift(ax, groups):
    categories = pd.unique(pd.concat([v for _, v in groups]))
    positions = np.arange(len(categories))
    width = 0.8 / max(len(groups), 1)
    for k, ((label, values), colour) in enumerate(zip(groups, _GROUP_COLOURS)):
        shares = values.value_counts(normalize=True).reindex(categories, fill_value=0.0)
        ax.bar(positions + (k - (len(groups) - 1) / 2) * width, shares.to_numpy(), width=width,
               color=colour, edgecolor="black", label=label)
    ax.set_xticks(positions, labels=[str(c) for c in categories])
    ax.set_ylabel("Share")


def _shift_distributions(value, figsize):
    feature = value["show_feature"]
    groups = [(label, v) for label, v in _groups(value["data"], feature) if len(v)]
    fig = plt.figure(figsize=figsize or (6.0, 4.0))
    ax = fig.add_subplot()
    if value.get("feature_type") == "categorical":
        _categorical_shift(ax, groups)
    else:
        _numerical_shift(ax, groups)
    ax.set_xlabel(str(feature))
    ax.set_title(value["title"])
    ax.legend(fontsize=8)
    return fig


def _marginal(result, figsize, scaler):
    # imported here: the compiled module imports this package when it loads
    from ..diagnoser.frailzone import FrailZone

    return FrailZone.plot_marginal(result, scaler=scaler, figsize=figsize or (6, 6))


_TABLES = {
    "frailzone_result": _result_table,
    "resilience_shift_histogram": _distance_bars,
    "frailzone_shift": _shift_distributions,
    "frailzone_scan": scan_regions,
}


def render(result, figsize=None, scaler=None):
    """Draw a result record as a matplotlib figure.

    Parameters
    ----------
    result : TestDataResult
        A record of the weak-region analysis: "frailzone_result" (the region table),
        "resilience_shift_histogram" (feature distances, as horizontal bars),
        "frailzone_shift" (the distribution of one feature inside and outside the weak
        regions) or "frailzone_plot" (the marginal view, drawn by
        ``FrailZone.plot_marginal``).
    figsize : tuple of float, optional
        Figure size in inches; each kind has its own default.
    scaler : transformer or mapping, optional
        Passed to ``FrailZone.plot_marginal`` for "frailzone_plot" to label the
        histogram ticks in original units.

    Returns
    -------
    matplotlib.figure.Figure
        The figure; it is shown only under an interactive backend.

    Raises
    ------
    TamrelError
        For a record of another kind.
    TamrelInfo
        When the record holds no weak region to draw.
    """
    key = getattr(result, "key", None)
    if key == "frailzone_plot":
        return _marginal(result, figsize, scaler)  # plot_marginal shows the figure itself
    draw = _TABLES.get(key)
    if draw is None:
        known = ", ".join(repr(k) for k in [*_TABLES, "frailzone_plot"])
        raise TamrelError(f"Cannot render a result with key {key!r}; known keys: {known}.")
    fig = draw(result.value, figsize)
    fig.tight_layout()
    if _interactive_backend():
        plt.show()
    return fig
