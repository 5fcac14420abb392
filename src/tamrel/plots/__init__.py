"""Plotting helpers of the package."""

from .render import render
from .ticks import scale_plot_ticks

__all__ = ["render", "scale_plot_ticks"]
