"""AUC of a region and DeLong's variance, and the test of a region's AUC against its rest.

``delong`` is the reference the kernels that compute a region's AUC and variance follow:

* ``psi(a, b) = 1`` if ``a > b``, ``1/2`` if ``a == b``, else 0 (ties get half credit);
* weighted AUC ``A = sum_i sum_j w_i w_j psi(s_i, s_j) / (W_pos W_neg)`` over positives i
  and negatives j (``sklearn.metrics.roc_auc_score(y, s, sample_weight=w)``);
* structural components: ``V10_i = sum_j w_j psi(s_i, s_j) / W_neg`` for each positive,
  ``V01_j = sum_i w_i psi(s_i, s_j) / W_pos`` for each negative; ``A`` is the w-weighted
  mean of either;
* ``S10 = sum_i w_i (V10_i - A)^2 / W_pos`` and ``S01`` likewise (divisor the weight sum),
  ``var = S10 / (n_pos - 1) + S01 / (n_neg - 1)`` with ``n`` each class's effective size:
  Kish's ``W^2 / sum w^2`` for sampling weights, ``W`` for frequency weights, the count
  without weights, where it is DeLong's ``S10 / n_pos + S01 / n_neg`` with the ddof-1
  variances S10 and S01.

``auc_test`` treats a region and its rest as two independent samples:
``t = (A_rest - A_region) / sqrt(var_region + var_rest)`` and the upper tail of Student's t
is the p-value of H0 "the region's AUC is no lower than the rest's". ``var_region`` is at
least Hanley and McNeil's variance of an AUC equal to the rest's on the region's class
counts (the variance H0 gives the region), so that a few rows ranked perfectly wrong,
whose DeLong variance is 0, are not significant by that alone. The degrees of freedom are
Welch-Satterthwaite's, each variance counting those of its smaller class less one: with a
handful of positives the variance is itself uncertain, and the normal tail made one null
scan in eight report a region. The region's interval is the
normal one on the logit scale of the AUC, inside [0, 1].
"""

from dataclasses import dataclass, fields

import numpy as np
import scipy.stats

from .scan_intervals import check_bounds, ratio_interval, transformed_interval
from .scan_moments import check_weights_kind, effective_size
from .scan_tested import MIN_ROWS, Tested, check_test_settings

__all__ = ["delong", "AucStats", "auc_test", "hanley_mcneil", "stats_from_ranks"]


def _inputs(y, score, w):
    y, score = np.asarray(y), np.asarray(score, dtype=np.float64)
    if y.ndim != 1 or score.shape != y.shape:
        raise ValueError(f"y and score must be one-dimensional of equal length, got {y.shape} and {score.shape}.")
    if y.dtype.kind not in "biuf" or not np.all((y == 0) | (y == 1)):
        raise ValueError("y must hold 0/1 labels (1 the positive class).")
    if not np.all(np.isfinite(score)):
        raise ValueError("score must hold finite values.")
    w = np.ones(y.shape[0]) if w is None else np.asarray(w, dtype=np.float64)
    if w.shape != y.shape or not np.all(np.isfinite(w)) or np.any(w < 0):
        raise ValueError("w must hold one finite, nonnegative weight per row.")
    return y.astype(bool), score, w


def _spread(v, w, mean, size):
    """Squared standard error of the w-weighted mean of v: m_2 / (size - 1)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.sum(w * (v - mean) ** 2) / np.sum(w) / (size - 1.0) if size > 1 else np.nan


def _size(w, weights):
    """Effective size of one class by the rule every test uses (weights scaled to a top of 1)."""
    top = w.max() if w.shape[0] else 0.0
    if top <= 0:
        return 0.0
    u = w / top
    return float(effective_size(np.count_nonzero(w), u.sum(), np.dot(u, u), top, weights))


def delong(y, score, w=None, *, weights="sampling"):
    """AUC of ``score`` for 0/1 labels ``y`` and DeLong's variance (formulas in the module docstring).

    O(n log n) by sorting. Returns ``(auc, variance)``; NaN where a class has no weight,
    the variance NaN where a class has an effective size of at most one.
    """
    check_weights_kind(weights)
    pos, score, w = _inputs(y, score, w)
    values, code = np.unique(score, return_inverse=True)
    w_pos = np.bincount(code[pos], weights=w[pos], minlength=values.shape[0])
    w_neg = np.bincount(code[~pos], weights=w[~pos], minlength=values.shape[0])
    total_pos, total_neg = w_pos.sum(), w_neg.sum()
    if total_pos <= 0 or total_neg <= 0:
        return np.nan, np.nan
    neg_below = np.cumsum(w_neg) - w_neg
    pos_above = total_pos - np.cumsum(w_pos)
    v10 = (neg_below + 0.5 * w_neg)[code[pos]] / total_neg
    v01 = (pos_above + 0.5 * w_pos)[code[~pos]] / total_pos
    auc = float(np.dot(w[pos], v10) / total_pos)
    var = _spread(v10, w[pos], auc, _size(w[pos], weights)) + _spread(v01, w[~pos], auc, _size(w[~pos], weights))
    return auc, float(var)


def _array(value, name, integer=False):
    arr = np.asarray(value)
    if arr.ndim != 1:
        raise ValueError(f"AucStats.{name} must be one-dimensional, got shape {arr.shape}.")
    if integer:
        if arr.dtype.kind not in "iu":
            raise ValueError(f"AucStats.{name} must hold integer counts, got dtype {arr.dtype}.")
        return arr.astype(np.int64, copy=False)
    return arr.astype(np.float64, copy=False)


@dataclass(frozen=True)
class AucStats:
    """Per region: AUC, its DeLong variance and the counts of positive and negative rows."""

    auc: np.ndarray
    var: np.ndarray
    n_pos: np.ndarray
    n_neg: np.ndarray

    def __post_init__(self):
        for f in fields(self):
            object.__setattr__(self, f.name, _array(getattr(self, f.name), f.name, f.name.startswith("n_")))
        if len({getattr(self, f.name).shape for f in fields(self)}) != 1:
            raise ValueError("AucStats fields must have equal lengths.")


def stats_from_ranks(ranks, weights="sampling", scale=1.0):
    """AucStats of sets of rows from the kernels' rank sums (``_scan_ranks``), by the formulas
    of the module docstring.

    Per set: weight sums ``w_pos``, ``w_neg`` and of squares ``w2_pos``, ``w2_neg``; for the
    positives ``c1 = sum w c`` and ``c2 = sum w c^2``, c the weight of negatives below (half
    of those tied), so that ``V10 = c / W_neg``; for the negatives ``b1``, ``b2`` of b, the
    weight of positives below (half of those tied), so that ``V01 = 1 - b / W_pos``. Then
    ``sum w (V10 - A)^2 = c2 / W_neg^2 - W_pos A^2`` and
    ``sum w (V01 - A)^2 = W_neg u^2 - 2 u b1 / W_pos + b2 / W_pos^2`` with ``u = 1 - A``.
    ``scale``: the true weight is ``w * scale`` (frequency weights).
    """
    check_weights_kind(weights)
    wp, wn = (np.asarray(ranks[k], dtype=np.float64) for k in ("w_pos", "w_neg"))
    n_pos, n_neg = np.asarray(ranks["n_pos"]), np.asarray(ranks["n_neg"])
    with np.errstate(divide="ignore", invalid="ignore"):
        auc = np.where((wp > 0) & (wn > 0), ranks["c1"] / (wp * wn), np.nan)
        s10 = np.maximum(ranks["c2"] / (wn * wn) - wp * auc * auc, 0.0) / wp
        u = 1.0 - auc
        s01 = np.maximum(wn * u * u - 2.0 * u * ranks["b1"] / wp + ranks["b2"] / (wp * wp), 0.0) / wn
        size_pos = effective_size(n_pos, wp, np.asarray(ranks["w2_pos"], dtype=np.float64), scale, weights)
        size_neg = effective_size(n_neg, wn, np.asarray(ranks["w2_neg"], dtype=np.float64), scale, weights)
        var = np.where((size_pos > 1) & (size_neg > 1), s10 / (size_pos - 1.0) + s01 / (size_neg - 1.0), np.nan)
    return AucStats(auc, var, n_pos, n_neg)


def hanley_mcneil(auc, n_pos, n_neg):
    """Variance of an AUC of ``auc`` on ``n_pos`` and ``n_neg`` rows (Hanley and McNeil's
    exponential approximation; (n_pos + n_neg + 1) / (12 n_pos n_neg) at 0.5)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        q1, q2 = auc / (2.0 - auc), 2.0 * auc * auc / (1.0 + auc)
        a2 = auc * auc
        return (auc * (1.0 - auc) + (n_pos - 1.0) * (q1 - a2) + (n_neg - 1.0) * (q2 - a2)) / (n_pos * n_neg)


def _df(stats):
    """Degrees of freedom of a DeLong variance: those of its smaller class's components."""
    return np.maximum(np.minimum(stats.n_pos, stats.n_neg) - 1.0, 1.0)


def _usable(stats, min_rows):
    n = stats.n_pos + stats.n_neg
    return (n >= min_rows) & (stats.n_pos >= 2) & (stats.n_neg >= 2) & np.isfinite(stats.auc) & (stats.var >= 0)


def auc_test(region, rest, *, alpha, total=None, bounds=(0.0, 1.0), min_rows=MIN_ROWS):
    """One-sided DeLong test that each region's AUC is lower than its rest's, and intervals.

    ``region``, ``rest``: AucStats of the held-out rows (independent samples). ``total``:
    the AucStats of all held-out rows (one entry or one per region), for ``ratio`` = region
    AUC / overall AUC. The overall AUC is not a function of the region's and the rest's,
    so its covariance with the region's is unknown: the ratio's MOVER interval from the two
    logit intervals takes the correlation that makes it widest (-1), never narrower than
    the true one. A side with fewer than ``min_rows`` rows, or fewer than two of a
    class, is not tested.
    """
    check_test_settings(alpha, 1, min_rows)
    bounds = check_bounds(bounds)
    with np.errstate(divide="ignore", invalid="ignore"):
        # the region's variance at least the one H0 gives it (its AUC equal to the rest's):
        # a small region ranked perfectly wrong has a DeLong variance of 0
        v_r = np.fmax(region.var, hanley_mcneil(rest.auc, region.n_pos, region.n_neg))
        se2 = v_r + rest.var
        df = se2 * se2 / (v_r * v_r / _df(region) + rest.var * rest.var / _df(rest))
        worse = rest.auc - region.auc
        p = np.where(se2 > 0, scipy.stats.t.sf(worse / np.sqrt(se2), df), np.where(worse > 0, 0.0, 1.0))
    ok = _usable(region, min_rows)
    tested = ok & _usable(rest, min_rows)
    low, high = transformed_interval(region.auc, region.var, alpha, bounds)
    nan = np.full(region.auc.shape, np.nan)
    ratio, r_low, r_high = nan, nan, nan
    if total is not None:
        t_ci = transformed_interval(total.auc, total.var, alpha, bounds)
        # the correlation of the two is unknown: -1 gives the widest MOVER interval
        ratio, r_low, r_high = ratio_interval(region.auc, (low, high), total.auc, t_ci, -1.0)
        r_low, r_high = (np.where(ok & (total.var >= 0), v, np.nan) for v in (r_low, r_high))
    return Tested(p=np.where(tested, p, np.nan), ci_low=np.where(ok, low, np.nan), ci_high=np.where(ok, high, np.nan),
                  ratio=ratio, ratio_low=r_low, ratio_high=r_high, score=region.auc)
