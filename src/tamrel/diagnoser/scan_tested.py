"""What every region test returns, and the settings every test checks the same way."""

from dataclasses import dataclass

import numpy as np

__all__ = ["Tested", "MIN_ROWS", "METRIC_BOUNDS", "check_test_settings"]

MIN_ROWS = 10
"""Fewest held-out rows of a tested region (and of its rest)."""

METRIC_BOUNDS = {
    "MSE": (0.0, np.inf), "MAE": (0.0, np.inf), "LogLoss": (0.0, np.inf), "Brier": (0.0, np.inf),
    "ACC": (0.0, 1.0), "AUC": (0.0, 1.0), "F1": (0.0, 1.0), "R2": (-np.inf, 1.0),
}
"""The range of each metric's score: every interval stays inside it."""


@dataclass(frozen=True)
class Tested:
    """Test results of each region (arrays, one entry a region).

    ``p``: one-sided p-value that the region is worse (NaN: not tested). ``ci_low``,
    ``ci_high``: interval of the region's held-out score. ``ratio``: region score over the
    overall held-out score, with its interval ``ratio_low``, ``ratio_high``. ``score``: the
    region's held-out score.
    """

    p: np.ndarray
    ci_low: np.ndarray
    ci_high: np.ndarray
    ratio: np.ndarray
    ratio_low: np.ndarray
    ratio_high: np.ndarray
    score: np.ndarray


def check_test_settings(alpha, sign, min_rows):
    if not 0 < alpha < 1:
        raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha!r}.")
    if sign not in (-1, 1):
        raise ValueError(f"sign must be 1 (higher is better) or -1 (lower is better), got {sign!r}.")
    if isinstance(min_rows, bool) or not isinstance(min_rows, (int, np.integer)) or min_rows < 2:
        raise ValueError(f"min_rows must be an integer of at least 2, got {min_rows!r}.")
