"""The report's figures: drawn with matplotlib, kept as inline PNG (base64), never shown."""

import base64
import contextlib
import io

import matplotlib.pyplot as plt
__all__ = ["png", "no_show", "FIGURE_DPI"]

FIGURE_DPI = 90  # sharp on screen and in print, some tens of kB a figure


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
        # the figures lay themselves out (constrained or tight layout): no second drawing to crop
        fig.savefig(buffer, format="png", dpi=FIGURE_DPI)
    finally:
        plt.close(fig)
    return base64.b64encode(buffer.getvalue()).decode("ascii")

