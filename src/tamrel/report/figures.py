"""The report's figures: drawn with matplotlib, kept as inline PNG (base64), never shown."""

import base64
import contextlib
import io

import matplotlib.pyplot as plt
import numpy as np

from .regions import number

__all__ = ["png", "no_show", "category_figure", "FIGURE_DPI"]

FIGURE_DPI = 90  # sharp on screen and in print, some tens of kB a figure
_REGION, _OTHER = "#d95f02", "#9e9e9e"


@contextlib.contextmanager
def no_show():
    """Figures drawn inside are returned, not shown: views that call ``pyplot.show`` (the
    marginal view does) would otherwise pop up in a notebook while the report is built."""
    show = plt.show
    plt.show = lambda *args, **kwargs: None
    try:
        yield
    finally:
        plt.show = show


def png(fig):
    """The figure as base64 PNG text (the figure is closed)."""
    buffer = io.BytesIO()
    try:
        fig.savefig(buffer, format="png", dpi=FIGURE_DPI, bbox_inches="tight")
    finally:
        plt.close(fig)
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def category_figure(table, feature, score_name, overall):
    """Test score of every category of ``feature`` (rows of ``table``: "category", "rows",
    "share", "score", "in_region"), the region's categories in colour, the overall score
    dashed."""
    n = len(table)
    fig, ax = plt.subplots(figsize=(6.4, 0.38 * n + 1.5), layout="constrained")
    pos = np.arange(n)
    scores = np.asarray([np.nan if v is None else v for v in table["score"]], dtype=np.float64)
    colours = [_REGION if flag else _OTHER for flag in table["in_region"]]
    ax.barh(pos, np.nan_to_num(scores), color=colours, edgecolor="black")
    for p, s, rows, share in zip(pos, scores, table["rows"], table["share"]):
        ax.annotate(f" {number(s)}  ({rows:,} rows, {100 * share:.1f}%)", (0 if np.isnan(s) else s, p),
                    va="center", fontsize=8)
    if overall is not None:
        ax.axvline(overall, color="black", linestyle="--", linewidth=1, label=f"overall {number(overall)}")
        ax.legend(fontsize=8, loc="lower right")
    ax.set_yticks(pos, labels=[str(c) for c in table["category"]])
    ax.invert_yaxis()
    finite = scores[np.isfinite(scores)]
    top = max([finite.max() if finite.size else 1.0, overall or 0.0])
    ax.set_xlim(0, 1.45 * top)  # room for the labels right of the bars
    ax.set_xlabel(f"test {score_name}")
    ax.set_ylabel(feature)
    ax.set_title(f"Test {score_name} by {feature} (the region's categories in orange)", fontsize=10)
    return fig
