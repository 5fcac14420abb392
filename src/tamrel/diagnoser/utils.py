"""Scoring metrics and distribution distances used by the diagnosers.

``get_scoring_metric`` turns a metric name into a scoring function and its
properties; ``calculate_distance`` measures how far apart two samples of one
feature are.  Both are called on many small slices of the data, so an
undefined score or distance is NaN rather than an exception.
"""

import math
from typing import Callable, NamedTuple

import numpy as np
import pandas as pd
import scipy.stats
from sklearn.metrics import f1_score, r2_score, roc_auc_score

from ..exceptions import TamrelError
from . import _scan

__all__ = ["ScoringMetric", "get_scoring_metric", "calculate_distance", "category_distance", "check_finite",
           "binary_labels"]

_LOGLOSS_EPS = 1e-15
_PSI_BUCKETS = 10
_PSI_FLOOR = 1e-4


# --------------------------------------------------------------------------
# input handling shared by the scoring functions


def _flat(values, name):
    """A 1-D view of ``values``; a column vector (n, 1) is flattened."""
    arr = np.asarray(values)
    if arr.ndim == 2 and arr.shape[1] == 1 or arr.ndim == 0:
        return arr.ravel()
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional or a single column, got shape {arr.shape}.")
    return arr


def _pair(y, pred):
    y, pred = _flat(y, "y"), _flat(pred, "pred")
    if y.shape[0] != pred.shape[0]:
        raise ValueError(f"y has {y.shape[0]} entries but pred has {pred.shape[0]}.")
    return check_finite(y, "y"), check_finite(pred, "pred")


def check_finite(values, name):
    """``values`` unchanged; a ValueError names ``name`` and counts its NaN, infinite or missing entries.

    Missing entries are NaN, None, ``pd.NA`` and NaT (also inside object arrays); text and
    other labels count as finite.
    """
    arr = np.asarray(values)
    kind = arr.dtype.kind
    if kind in "fc":
        bad = arr.size - int(np.count_nonzero(np.isfinite(arr)))
    elif kind in "mM":
        bad = int(np.count_nonzero(np.isnat(arr)))
    elif kind == "O":
        bad = sum(1 for v in arr.ravel() if _missing_or_infinite(v))
    else:
        bad = 0
    if bad:
        raise ValueError(f"{name} holds {bad} non-finite value{'s' if bad > 1 else ''} "
                         f"(NaN, infinite or missing) out of {arr.size}.")
    return values


def _missing_or_infinite(v):
    if isinstance(v, (float, np.floating)):
        return not math.isfinite(v)
    return v is None or v is pd.NA or v is pd.NaT


def _weights(sample_weight, n):
    """The weights to use, scaled by the package's power of two (weight_scale), or None for an
    unweighted score.

    Weights that do not sum to more than 0 give the unweighted score, so that a
    slice whose rows all carry zero weight still has a score. Scaling first keeps the
    sums finite for huge weights; weighted means do not depend on the scale.
    """
    if sample_weight is None:
        return None
    w = _flat(sample_weight, "sample_weight").astype(np.float64, copy=False)
    if w.shape[0] != n:
        raise ValueError(f"sample_weight has {w.shape[0]} entries but y has {n}.")
    if not np.all(np.isfinite(w)):
        raise ValueError("sample_weight must hold finite values.")
    top = w.max() if w.shape[0] else 0.0
    if top <= 0:
        return None
    w = w * _scan._weight_scale(float(np.max(np.abs(w))))
    return w if w.sum() > 0 else None


def binary_labels(y, classes=None):
    """``y`` as float 0/1 for a probability metric: 1 where ``y`` is the positive class.

    Parameters
    ----------
    y : array-like
        Class labels of a binary task.
    classes : sequence of two labels, optional
        The estimator's ``classes_``; its second entry is the positive class. Without
        it, labels that are already the numbers 0 and 1 are kept, and otherwise the
        larger of the two labels in sorted order is the positive class.

    Raises
    ------
    ValueError
        When ``y`` holds more than two labels, or labels that are not in ``classes``.
    """
    arr = _flat(y, "y")
    if classes is None and arr.dtype.kind in "biuf":
        as_float = arr.astype(np.float64, copy=False)
        if np.all((as_float == 0.0) | (as_float == 1.0)):
            return as_float
    labels = _labels(arr)
    if classes is None:
        if len(labels) != 2:
            raise ValueError("A probability metric needs y with two class labels (the larger one "
                             f"positive), got {len(labels)}: {_label_list(labels)}.")
        positive = labels[1]
    else:
        classes = list(classes)
        unknown = [v for v in labels if not any(v == c for c in classes)]
        if len(classes) != 2 or unknown:
            raise ValueError(f"A probability metric needs y with the estimator's two classes "
                             f"{_label_list(classes)}; y holds {_label_list(labels)}.")
        positive = classes[1]
    return np.asarray(arr == positive, dtype=np.float64)


def _labels(arr):
    try:
        return list(np.unique(arr))
    except TypeError:  # labels of several types do not sort
        return list(pd.unique(pd.Series(arr, dtype=object)))


def _label_list(labels):
    shown = ", ".join(repr(v.item() if isinstance(v, np.generic) else v) for v in labels[:5])
    return "[" + shown + (", ..." if len(labels) > 5 else "") + "]"


def _float(values):
    return np.asarray(values, dtype=np.float64)


# --------------------------------------------------------------------------
# per-sample losses of the additive metrics (float64 arrays, one per row)


def _squared_error(y, pred):
    diff = _float(y) - _float(pred)
    return np.multiply(diff, diff, out=diff)


def _absolute_error(y, pred):
    diff = _float(y) - _float(pred)
    return np.abs(diff, out=diff)


def _hit(y, pred):
    return np.equal(y, pred).astype(np.float64)


def _log_loss(y, proba):
    y = binary_labels(y)
    p = np.clip(_float(proba), _LOGLOSS_EPS, 1.0 - _LOGLOSS_EPS)
    loss = y * np.log(p)
    loss += (1.0 - y) * np.log1p(-p)
    return np.negative(loss, out=loss)


def _brier(y, proba):
    return _squared_error(binary_labels(y), proba)


# --------------------------------------------------------------------------
# whole-set scores of the other metrics; NaN where the metric is undefined


def _auc(y, proba, w):
    present = y if w is None else y[w > 0]
    if np.unique(present).shape[0] < 2:
        return np.nan
    return float(roc_auc_score(binary_labels(y), _float(proba), sample_weight=w))


def _f1(y, pred, w):
    if y.shape[0] == 0:
        return np.nan
    return float(f1_score(y, pred, sample_weight=w, zero_division=np.nan))


def _r2(y, pred, w):
    if y.shape[0] < 2:
        return np.nan
    y, pred = _float(y), _float(pred)
    # R2 does not depend on the scale: dividing first keeps the squares finite
    scale = max(np.max(np.abs(y)), np.max(np.abs(pred)))
    if scale > 0:
        y, pred = y / scale, pred / scale
    return float(r2_score(y, pred, sample_weight=w))


# --------------------------------------------------------------------------
# scoring functions


class _PerSample:
    """Default of ``sample_weight``: asks an additive metric for per-sample scores."""

    def __repr__(self):
        return "<per-sample>"


_PER_SAMPLE = _PerSample()


class _AdditiveScorer:
    """Scoring function of an additive metric.

    ``scorer(y, pred)`` gives the per-sample scores (their mean with
    ``average=True``); ``scorer(y, pred, sample_weight=w)`` gives the weighted
    mean, unweighted when ``w`` is None or sums to 0, NaN on no rows.
    """

    def __init__(self, name, loss, average):
        self.name, self.loss, self.average = name, loss, average

    def __call__(self, y, pred, sample_weight=_PER_SAMPLE):
        y, pred = _pair(y, pred)
        if sample_weight is _PER_SAMPLE and not self.average:
            return self._scores(y, pred)
        w = None if sample_weight is _PER_SAMPLE else _weights(sample_weight, y.shape[0])
        if y.shape[0] == 0:
            return np.nan
        scores = self._scores(y, pred)
        mean = float(scores.mean()) if w is None else float(np.dot(scores, w) / w.sum())
        return self._finite(mean, "mean score")

    def _scores(self, y, pred):
        with np.errstate(over="ignore", invalid="ignore"):
            return self._finite(self.loss(y, pred), "per-sample scores")

    def _finite(self, scores, what):
        """Finite inputs can still overflow (a squared error of 1e200): refuse, never return NaN."""
        bad = np.size(scores) - int(np.count_nonzero(np.isfinite(scores)))
        if bad:
            raise ValueError(f"The {self.name} {what} overflow ({bad} not finite) although y and "
                             "pred are finite; rescale the target and the predictions.")
        return scores

    def __repr__(self):
        return f"<{self.name} per-sample scorer>"


class _SetScorer:
    """Scoring function of a metric that is not additive: one score per call."""

    def __init__(self, name, score):
        self.name, self.score = name, score

    def __call__(self, y, pred, sample_weight=None):
        y, pred = _pair(y, pred)
        return self.score(y, pred, _weights(sample_weight, y.shape[0]))

    def __repr__(self):
        return f"<{self.name} scorer>"


# name: (score_sign, needs_proba, additive, per-sample loss or set score)
_METRICS = {
    "MSE": (-1, False, True, _squared_error),
    "MAE": (-1, False, True, _absolute_error),
    "ACC": (1, False, True, _hit),
    "LogLoss": (-1, True, True, _log_loss),
    "Brier": (-1, True, True, _brier),
    "AUC": (1, True, False, _auc),
    "F1": (1, False, False, _f1),
    "R2": (1, False, False, _r2),
}
_METRIC_BY_LOWER = {name.lower(): name for name in _METRICS}


class ScoringMetric(NamedTuple):
    """What get_scoring_metric returns (a tuple, its fields also by name)."""

    score_name: str
    score_sign: int
    scoring_func: Callable
    needs_proba: bool
    is_metric_additive: bool


def get_scoring_metric(metric, average=False):
    """Scoring configuration of a metric.

    Parameters
    ----------
    metric : str or None
        One of "MSE", "MAE", "ACC", "LogLoss", "Brier", "AUC", "F1", "R2"
        (any letter case); None means "MSE".
    average : bool, default=False
        For an additive metric, make ``scoring_func(y, pred)`` return the mean
        score instead of one score per sample.

    Returns
    -------
    A ``ScoringMetric``, a tuple of:

    score_name : str
        The metric's name.
    score_sign : int
        1 when a higher score is better, -1 when a lower score is better.
    scoring_func : callable
        ``scoring_func(y, pred)`` and ``scoring_func(y, pred, sample_weight=w)``.
    needs_proba : bool
        True when ``pred`` must be the probability of the positive class.
    is_metric_additive : bool
        True when the score of a set of rows is the mean of per-sample scores.
    """
    key = "mse" if metric is None else metric.lower() if isinstance(metric, str) else None
    if key not in _METRIC_BY_LOWER:
        valid = ", ".join(f'"{name}"' for name in _METRICS)
        raise TamrelError(f"Unsupported metric {metric!r}; valid metrics are {valid}.")
    name = _METRIC_BY_LOWER[key]
    sign, needs_proba, additive, func = _METRICS[name]
    scorer = _AdditiveScorer(name, func, bool(average)) if additive else _SetScorer(name, func)
    return ScoringMetric(name, sign, scorer, needs_proba, additive)


# --------------------------------------------------------------------------
# distances between two samples


def _psi_shares(values, boundaries):
    """Share of ``values`` in each bucket; values outside the range fall in the end buckets."""
    bucket = np.searchsorted(boundaries, values, side="right")
    counts = np.bincount(bucket, minlength=boundaries.shape[0] + 1)
    return counts / values.shape[0]


def _at_value_shares(values, value):
    share = np.count_nonzero(values == value) / values.shape[0]
    return np.array([share, 1.0 - share])


def _psi(a, b, buckettype):
    # edges come from the finite values; infinite ones count in the end buckets
    finite = a[np.isfinite(a)]
    if finite.shape[0] == 0:
        return np.nan
    lo, hi = finite.min(), finite.max()
    if lo == hi:
        # a single value: compare the share at that value with the rest
        share_a, share_b = _at_value_shares(a, lo), _at_value_shares(b, lo)
    else:
        if buckettype == "uniform":
            edges = lo + np.arange(_PSI_BUCKETS + 1) * ((hi - lo) / _PSI_BUCKETS)
        else:
            edges = np.unique(np.quantile(finite, np.linspace(0.0, 1.0, _PSI_BUCKETS + 1)))
        # buckets are [e_i, e_i+1), the last one closed: only the inner edges decide
        inner = edges[1:-1]
        share_a, share_b = _psi_shares(a, inner), _psi_shares(b, inner)
    return _psi_of_shares(share_a, share_b)


def _psi_of_shares(share_a, share_b):
    share_a = np.maximum(share_a, _PSI_FLOOR)
    share_b = np.maximum(share_b, _PSI_FLOOR)
    return float(np.sum((share_a - share_b) * np.log(share_a / share_b)))


def _ks(a, b):
    a, b = np.sort(a), np.sort(b)
    both = np.concatenate([a, b])
    cdf_a = np.searchsorted(a, both, side="right") / a.shape[0]
    cdf_b = np.searchsorted(b, both, side="right") / b.shape[0]
    return float(np.max(np.abs(cdf_a - cdf_b)))


def _wd1(a, b):
    return float(scipy.stats.wasserstein_distance(a, b))


_DISTANCES = {"WD1": _wd1, "KS": _ks}
_BUCKETTYPES = ("uniform", "quantile")


def _choose(value, valid, what):
    lookup = {v.lower(): v for v in valid}
    if not isinstance(value, str) or value.lower() not in lookup:
        names = ", ".join(f'"{v}"' for v in valid)
        raise TamrelError(f"Unsupported {what} {value!r}; valid values are {names}.")
    return lookup[value.lower()]


def _sample(values, name):
    arr = np.asarray(values, dtype=np.float64)
    if arr.ndim > 1 and arr.size != max(arr.shape):
        raise ValueError(f"{name} must be one-dimensional, got shape {arr.shape}.")
    arr = arr.ravel()
    return arr[~np.isnan(arr)]


def calculate_distance(a, b, buckettype="uniform", method="PSI"):
    """Distance between two one-dimensional samples.

    Parameters
    ----------
    a, b : array-like
        The reference sample and the compared sample; NaNs are dropped.
    buckettype : {"uniform", "quantile"}, default="uniform"
        PSI buckets: 10 of equal width over the range of ``a``, or of equal
        frequency in ``a``; values of ``b`` outside that range fall in the
        end buckets.
    method : {"PSI", "WD1", "KS"}, default="PSI"
        Population stability index (bucket shares floored at 1e-4),
        Wasserstein-1 distance, or the two-sample Kolmogorov-Smirnov statistic.

    Returns
    -------
    float
        The distance; NaN when either sample holds no value.
    """
    buckettype = _choose(buckettype, _BUCKETTYPES, "buckettype")
    method = _choose(method, ("PSI", *_DISTANCES), "distance method")
    a, b = _sample(a, "a"), _sample(b, "b")
    if a.shape[0] == 0 or b.shape[0] == 0:
        return np.nan
    if method == "PSI":
        return _psi(a, b, buckettype)
    return _DISTANCES[method](a, b)


def category_distance(a, b, method="PSI"):
    """Distance between two samples of a categorical feature, by their category shares.

    Parameters
    ----------
    a, b : array-like
        The reference sample and the compared sample (labels or category codes);
        missing entries (NaN, None, ``pd.NA``) are dropped.
    method : {"PSI", "WD1", "KS"}, default="PSI"
        "PSI" compares the shares of every category found in either sample (shares
        floored at 1e-4, as for numeric samples). "WD1" and "KS" need ordered values
        and do not apply to categories.

    Returns
    -------
    float or None
        The PSI; NaN when either sample holds no value; None for "WD1" and "KS".
    """
    method = _choose(method, ("PSI", *_DISTANCES), "distance method")
    if method != "PSI":
        return None
    a, b = (pd.Series(np.asarray(v, dtype=object).ravel()).dropna() for v in (a, b))
    if a.shape[0] == 0 or b.shape[0] == 0:
        return np.nan
    categories = pd.unique(pd.concat([a, b], ignore_index=True))
    share_a, share_b = (v.value_counts(normalize=True).reindex(categories, fill_value=0.0)
                        .to_numpy(dtype=np.float64) for v in (a, b))
    return _psi_of_shares(share_a, share_b)
