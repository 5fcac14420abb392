"""Plotting helpers of the package."""

from .ticks import scale_plot_ticks

__all__ = ["scale_plot_ticks"]
