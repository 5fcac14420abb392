"""Overall scores of a subset of rows, from sums that add up over blocks of rows.

The same sums serve rows in memory (one block) and Dask partitions (one block each, added on
the client), so both give the same numbers. Regression: MSE, MAE and R2; classification:
LogLoss, Brier and ACC, and AUC where all rows are at hand (it ranks the rows, so it is no sum).
"""

import math

import numpy as np

from ..diagnoser.utils import binary_labels, get_scoring_metric
from .bias import Reference

__all__ = ["TASK_METRICS", "block_sums", "add_sums", "scores_of", "set_score", "residual_reference",
           "metrics_of"]

TASK_METRICS = {"regression": ("MSE", "MAE", "R2"), "classification": ("AUC", "LogLoss", "Brier", "ACC")}
_ADDITIVE = {"MSE", "MAE", "ACC", "LogLoss", "Brier"}
_SPREADS = ("spread", "residual")  # (weight, mean, sum w (v - mean)^2) of y and of the residuals


def _weights(w, n):
    return np.ones(n) if w is None else np.asarray(w, dtype=np.float64)


def metrics_of(task, extra=None):
    """The task's metrics, and ``extra`` (the scan's metric) when it is another one."""
    names = list(TASK_METRICS[task])
    return names + [extra] if extra is not None and extra not in names else names


def block_sums(task, y, pred=None, proba=None, w=None, classes=None, metrics=None):
    """Sums of one block of rows: the weight, and per additive metric the weighted sum of
    its per-row score; for R2 the spread of y; the spread of the residuals. ``classes``
    fixes the positive class of labels (the second entry), so that every block reads the
    labels alike."""
    n = len(y)
    ones = _weights(w, n)
    sums = {"n": float(n), "w": float(ones.sum())}
    for name in metrics or TASK_METRICS[task]:
        if name not in _ADDITIVE:
            continue
        scoring = get_scoring_metric(name)
        given = proba if scoring.needs_proba else pred
        if given is None or n == 0:
            continue
        target = binary_labels(y, classes) if scoring.needs_proba and classes is not None else y
        sums[name] = float(np.dot(ones, scoring.scoring_func(target, given)))
    if task == "regression":
        sums["spread"] = _spread(ones, np.asarray(y, dtype=np.float64))
    elif classes is not None and n:
        sums["positive"] = float(np.dot(ones, binary_labels(y, classes)))
    given = pred if task == "regression" else proba
    if given is not None and n:
        target = np.asarray(y, dtype=np.float64) if task == "regression" else binary_labels(y, classes)
        sums["residual"] = _spread(ones, target - np.asarray(given, dtype=np.float64))
    return sums


def _spread(w, values):
    total = float(w.sum())
    mean = float(np.dot(w, values) / total) if total > 0 else 0.0
    return (total, mean, float(np.dot(w, (values - mean) ** 2)))


def _merge_spread(a, b):
    """(weight, mean, sum w (y - mean)^2) of two blocks together (Chan et al.'s update):
    no difference of large sums, so a large mean loses no digits of the spread."""
    wa, ma, sa = a
    wb, mb, sb = b
    w = wa + wb
    if w == 0:
        return (0.0, 0.0, 0.0)
    delta = mb - ma
    return (w, ma + delta * wb / w, sa + sb + delta * delta * wa * wb / w)


def add_sums(a, b):
    """The sums of two blocks together; a sum that one block lacks is lacking."""
    out = {k: math.fsum((a[k], b[k])) for k in a if k in b and k not in _SPREADS}
    for k in _SPREADS:
        if k in a and k in b:
            out[k] = _merge_spread(a[k], b[k])
    return out


def residual_reference(sums):
    """The residuals (y - prediction, or y - probability) of a subset: their weighted standard
    deviation and mean square; None without residuals."""
    w, mean, m2 = sums.get("residual", (0.0, 0.0, 0.0))
    if not w > 0:
        return None
    return Reference(math.sqrt(m2 / w), m2 / w + mean * mean)


def scores_of(sums, task, metrics=None):
    """{metric: score} from a subset's sums; None where the subset has no rows or the score
    is undefined or no sum (AUC, F1). R2 is 1 - sum w (y - pred)^2 / sum w (y - mean y)^2."""
    metrics = metrics or TASK_METRICS[task]
    out = {name: None for name in metrics}
    w = sums.get("w", 0.0)
    for name in metrics:
        if name in _ADDITIVE:
            out[name] = sums[name] / w if name in sums and w > 0 else None
    if "R2" in metrics and task == "regression":
        total = sums["spread"][2] if "spread" in sums else 0.0
        out["R2"] = 1.0 - sums["MSE"] / total if "MSE" in sums and total > 0 else None
    return out


def set_score(name, y, pred, proba, w=None):
    """A score that is no sum of per-row terms (AUC, F1, R2), from all of a subset's rows in
    memory; None when it is undefined there."""
    _, _, func, needs_proba, _ = get_scoring_metric(name)
    given = proba if needs_proba else pred
    if given is None or len(y) == 0:
        return None
    value = func(y, given, sample_weight=w)
    return float(value) if np.isfinite(value) else None
