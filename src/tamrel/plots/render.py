"""Figures of the package's result records, so that a result can be looked at.

Every figure uses constrained layout, so a plain ``savefig`` clips no label.
"""

import math

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
_SLICED_HATCH = "//"
_CLIP_RATIO = 2.0  # a slicing feature this many times the others' largest distance is cut
_CHAR_INCH = 0.085  # width of one table character at font size 9
_ROW_INCH = 0.3


def _figure(figsize, default):
    return plt.figure(figsize=default if figsize is None else figsize, layout="constrained")


def _checked_figsize(figsize):
    if figsize is None:
        return None
    try:
        width, height = (float(v) for v in figsize)
    except (TypeError, ValueError):
        width = height = math.nan
    if not (math.isfinite(width) and math.isfinite(height) and width > 0 and height > 0):
        raise ValueError(f"figsize must be two positive numbers (width, height) in inches, got {figsize!r}.")
    return width, height


def _names(features):
    if isinstance(features, str):
        return [features]
    return [str(f) for f in features] if features is not None else []


def _metric_name(value, table=None):
    """The scoring metric of a record: its setting, else the name in the table's score columns."""
    if value.get("metric") is not None:
        return str(value["metric"])
    if table is not None:
        for column in table.columns:
            if str(column).startswith("test_"):
                return str(column)[len("test_"):]
    return "MSE"


def _sliced_on(value):
    names = _names(value.get("slice_features"))
    return f"sliced on {' x '.join(names)}" if names else ""


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
    headers = [str(c) for c in table.columns]
    cells = [[_cell(v) for v in row] for row in table.itertuples(index=False)]
    # each column as wide as its longest text, so the figure fits its content
    chars = [max([len(h)] + [len(row[j]) for row in cells]) + 2 for j, h in enumerate(headers)]
    size = (max(4.0, _CHAR_INCH * sum(chars) + 0.4), _ROW_INCH * (len(cells) + 1) + 0.9)
    fig = _figure(figsize, size)
    ax = fig.add_subplot()
    ax.axis("off")
    drawn = ax.table(cellText=cells, colLabels=headers, loc="center",
                     colWidths=[c / sum(chars) for c in chars], cellLoc="right")
    drawn.auto_set_font_size(False)
    drawn.set_fontsize(9)
    drawn.scale(1.0, 1.3)
    for j in range(len(headers)):  # headers set apart from the numbers
        header = drawn[0, j]
        header.set_facecolor("#e6e6e6")
        header.get_text().set_fontweight("bold")
        header.get_text().set_horizontalalignment("center")
    ax.set_title(f"Weak regions of {_metric_name(value, table)}, {_sliced_on(value)}\n"
                 f"threshold value {_cell(value.get('threshold_value'))}, method {value.get('method')}",
                 fontsize=10)
    return fig


def _distance_bars(value, figsize):
    features = list(value["x"])
    distances = np.asarray(value["y"], dtype=np.float64)
    sliced = np.isin(features, _names(value.get("slice_features")))
    fig = _figure(figsize, (6.5, 0.4 * len(features) + 1.8))
    ax = fig.add_subplot()
    positions = np.arange(len(features))
    colours = [_GROUP_COLOURS[1] if s else _GROUP_COLOURS[0] for s in sliced]
    bars = ax.barh(positions, distances, color=colours, edgecolor="black")
    for bar, s in zip(bars, sliced):
        if s:
            bar.set_hatch(_SLICED_HATCH)
    ax.set_yticks(positions, labels=features)
    for label, s in zip(ax.get_yticklabels(), sliced):
        if s:
            label.set_fontweight("bold")
    ax.invert_yaxis()  # largest distance on top
    _label_bars(ax, bars, distances, sliced)
    metric = str(value.get("distance_metric", "distance"))
    ax.set_xlabel(metric)
    hatched = "slicing features hatched" if sliced.sum() > 1 else "slicing feature hatched"
    ax.set_title(f"{value['title']}\n{metric} of each feature; {hatched} ({_sliced_on(value)})", fontsize=10)
    return fig


def _label_bars(ax, bars, distances, sliced):
    """Value labels; a slicing feature far above the others is cut at the axis edge so the
    other bars stay readable, its label giving the true value."""
    finite = np.isfinite(distances)
    others = distances[finite & ~sliced]
    top = others.max() if others.size else 0.0
    cut = top > 0 and np.any(distances[finite & sliced] > _CLIP_RATIO * top)
    limit = 1.35 * top if cut else None
    if cut:
        ax.set_xlim(0.0, limit)
    for bar, d in zip(bars, distances):
        if not np.isfinite(d):
            continue
        y = bar.get_y() + bar.get_height() / 2
        if limit is not None and d > limit:
            ax.annotate(f"{d:.4g} >", (limit, y), xytext=(-2, 0), textcoords="offset points",
                        ha="right", va="center", fontsize=8, fontweight="bold",
                        bbox=dict(boxstyle="round,pad=0.2", facecolor="white", edgecolor="none"))
        else:
            ax.annotate(f"{d:.4g}", (d, y), xytext=(2, 0), textcoords="offset points",
                        ha="left", va="center", fontsize=8)


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
    values = pd.concat([v for _, v in groups])
    # a categorical keeps its own order; missing entries are no category
    categories = (list(values.cat.categories) if isinstance(values.dtype, pd.CategoricalDtype)
                  else pd.unique(values.dropna()))
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
    fig = _figure(figsize, (6.0, 4.0))
    ax = fig.add_subplot()
    if value.get("feature_type") == "categorical":
        _categorical_shift(ax, groups)
    else:
        _numerical_shift(ax, groups)
    ax.set_xlabel(str(feature))
    ax.set_title(f"{value['title']}\n{feature}, weak regions of {_metric_name(value)} {_sliced_on(value)}",
                 fontsize=10)
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
        Figure size in inches, two positive numbers; each kind has its own default
        (the region table is sized to its content).
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
    ValueError
        When ``figsize`` is not two positive numbers.
    """
    figsize = _checked_figsize(figsize)
    key = getattr(result, "key", None)
    if key == "frailzone_plot":
        return _marginal(result, figsize, scaler)  # plot_marginal shows the figure itself
    draw = _TABLES.get(key)
    if draw is None:
        known = ", ".join(repr(k) for k in [*_TABLES, "frailzone_plot"])
        raise TamrelError(f"Cannot render a result with key {key!r}; known keys: {known}.")
    fig = draw(result.value, figsize)
    if _interactive_backend():
        plt.show()
    return fig
