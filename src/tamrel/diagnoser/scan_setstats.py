"""R2 and F1 of a region from weighted sums of per-row quantities, with delta-method variances.

A region's R2 or F1 is a smooth function ``f`` of the weighted means ``E`` of a few
per-row quantities (``quantities``); the sums of ``w * q`` per region give those means and,
through the sums of products, their covariance ``C`` (weighted, divisor the weight sum).
The means' covariance is ``C / (n_eff - 1)`` (``scan_moments``: Kish's effective size or
the weight sum) and the delta method gives ``var f = g' C g / (n_eff - 1)``, g the gradient
of f at E.

* R2 (``sklearn.metrics.r2_score``): ``1 - E[e^2] / (E[y^2] - E[y]^2)``, e = y - pred; base
  quantities e^2, y, y^2 and their products e^4, e^2 y, e^2 y^2, y^3, y^4. A shift and a
  scale common to all rows leave R2 unchanged: pass the same ``shift``/``scale`` for every
  block of rows so that the fourth powers neither overflow nor cancel.
* F1 (``sklearn.metrics.f1_score``): ``2 TP / (2 TP + FP + FN)`` from the indicators tp, fp,
  fn of 0/1 labels and predictions; they exclude each other, so their products are known.
"""

from dataclasses import dataclass

import numpy as np
import scipy.stats

from .scan_intervals import check_bounds, transformed_interval
from .scan_moments import check_weights_kind, effective_size
from .scan_tested import METRIC_BOUNDS, MIN_ROWS, Tested, check_test_settings

__all__ = ["quantities", "score_from_sums", "set_test", "SET_METRICS"]


def _r2(e):
    e2, y, y2 = e
    with np.errstate(divide="ignore", invalid="ignore"):
        d = y2 - y * y
        d = np.where(d > 0, d, np.nan)
        return 1.0 - e2 / d, [-1.0 / d, -2.0 * e2 * y / (d * d), e2 / (d * d)]


def _f1(e):
    tp, fp, fn = e
    with np.errstate(divide="ignore", invalid="ignore"):
        d = 2.0 * tp + fp + fn
        d = np.where(d > 0, d, np.nan)
        return 2.0 * tp / d, [2.0 * (fp + fn) / (d * d), -2.0 * tp / (d * d), -2.0 * tp / (d * d)]


@dataclass(frozen=True)
class _SetMetric:
    base: tuple        # names of the quantities f reads
    products: dict     # (i, j) -> name of the quantity q_i q_j; "" for a product that is q_i, None for 0
    function: object   # E -> (f, gradient)


SET_METRICS = {
    "R2": _SetMetric(("e2", "y", "y2"),
                     {(0, 0): "e4", (0, 1): "e2y", (0, 2): "e2y2", (1, 1): "y2", (1, 2): "y3", (2, 2): "y4"}, _r2),
    "F1": _SetMetric(("tp", "fp", "fn"),
                     {(0, 0): "", (1, 1): "", (2, 2): "", (0, 1): None, (0, 2): None, (1, 2): None}, _f1),
}


def _metric(metric):
    if metric not in SET_METRICS:
        raise ValueError(f'metric must be "R2" or "F1", got {metric!r}.')
    return SET_METRICS[metric]


def _vector(values, name):
    arr = np.asarray(values)
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr.ravel()
    if arr.ndim != 1 or arr.dtype.kind not in "biuf":
        raise ValueError(f"{name} must be a one-dimensional numeric array.")
    arr = arr.astype(np.float64, copy=False)
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"{name} holds non-finite values.")
    return arr


def quantities(metric, y, pred, *, shift=0.0, scale=1.0):
    """Per-row quantities whose weighted sums give a region's R2 or F1 and its variance.

    R2: ``(y - shift) / scale`` and ``(pred - shift) / scale`` enter. F1: ``y`` and ``pred``
    are 0/1 labels (1 the positive class). Returns a dict name -> float array.
    """
    spec = _metric(metric)
    y, pred = _vector(y, "y"), _vector(pred, "pred")
    if y.shape != pred.shape:
        raise ValueError(f"y has {y.shape[0]} entries but pred has {pred.shape[0]}.")
    if metric == "F1":
        if not (np.all((y == 0) | (y == 1)) and np.all((pred == 0) | (pred == 1))):
            raise ValueError("F1 needs 0/1 labels and predictions (1 the positive class).")
        return {"tp": y * pred, "fp": (1.0 - y) * pred, "fn": y * (1.0 - pred)}
    if not (np.isfinite(scale) and scale > 0 and np.isfinite(shift)):
        raise ValueError(f"shift must be finite and scale positive and finite, got {shift!r}, {scale!r}.")
    yy, pp = (y - shift) / scale, (pred - shift) / scale
    e2 = (yy - pp) ** 2
    out = {"e2": e2, "y": yy, "y2": yy * yy, "e4": e2 * e2, "e2y": e2 * yy, "e2y2": e2 * yy * yy,
           "y3": yy ** 3, "y4": yy ** 4}
    assert set(out) == set(spec.base) | {v for v in spec.products.values() if v}
    return out


def _moments(spec, sums, weights, scale):
    """Means E (k, R), second moments S (k, k, R), counts and effective sizes of each region."""
    n = np.asarray(sums["n"])
    if n.dtype.kind not in "iu":
        raise ValueError("sums['n'] must hold integer row counts.")
    w, w2 = (np.asarray(sums[k], dtype=np.float64) for k in ("w", "w2"))
    size = effective_size(n, w, w2, scale, weights)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = np.stack([np.asarray(sums[q], dtype=np.float64) / w for q in spec.base])
    k = len(spec.base)
    second = np.empty((k, k) + mean.shape[1:])
    for (i, j), name in spec.products.items():
        with np.errstate(divide="ignore", invalid="ignore"):
            value = mean[i] if name == "" else 0.0 if name is None else np.asarray(sums[name], dtype=np.float64) / w
        second[i, j] = second[j, i] = value
    return mean, second, n, size


def _delta(spec, mean, second, size):
    """Score and delta-method variance ``g' (S - E E') g / (size - 1)``."""
    score, grad = spec.function(mean)
    g = np.stack(grad)
    cov = second - mean[:, None] * mean[None, :]
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        spread = np.maximum(np.einsum("i...,ij...,j...->...", g, cov, g), 0.0)
        return score, spread / (size - 1.0), g, cov


def score_from_sums(metric, sums, *, weights="sampling", scale=1.0):
    """``(score, variance)`` of each region from ``sums``: a dict of arrays "n" (int counts),
    "w", "w2" and each quantity's sum of ``w * q``; ``scale`` is the weights' scale (true
    weight = w * scale) for frequency weights."""
    spec = _metric(metric)
    check_weights_kind(weights)
    mean, second, n, size = _moments(spec, sums, weights, scale)
    score, var, _, _ = _delta(spec, mean, second, size)
    return score, np.where((n >= 2) & (size > 1), var, np.nan)


def set_test(metric, region_sums, rest_sums, *, alpha, bounds=None, weights="sampling", scale=1.0,
             min_rows=MIN_ROWS):
    """One-sided test that each region's R2 or F1 is lower than its rest's, and intervals.

    ``z = (f_rest - f_region) / sqrt(v_region + v_rest)``, normal upper tail (H0: the region
    scores no lower than the rest). The region's variance is the larger of its own
    delta-method variance and the one the pooled rows (the overall estimate, which H0 makes
    the region's) give at the region's effective size: an estimate on the edge of the
    range (F1 of 0 or 1) has no spread of its own and would otherwise make a few rows
    significant. The region's interval is the normal one on the logit (F1) or log(1 - R2)
    scale (``scan_intervals.transformed_interval``) with its own variance. ``ratio``:
    region score over the overall score (the pooled sums), its interval by the delta method
    on the log scale where the score is nonnegative (F1), else on the ratio itself.
    """
    spec = _metric(metric)
    check_test_settings(alpha, 1, min_rows)
    check_weights_kind(weights)
    bounds = check_bounds(METRIC_BOUNDS[metric] if bounds is None else bounds)
    e_r, s_r, n_r, size_r = _moments(spec, region_sums, weights, scale)
    e_o, s_o, n_o, size_o = _moments(spec, rest_sums, weights, scale)
    w_r, w_o = np.asarray(region_sums["w"], dtype=np.float64), np.asarray(rest_sums["w"], dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        share = w_r / (w_r + w_o)
    e_t, s_t = share * e_r + (1.0 - share) * e_o, share * s_r + (1.0 - share) * s_o
    f_r, v_r, g_r, _ = _delta(spec, e_r, s_r, size_r)
    f_o, v_o, _, _ = _delta(spec, e_o, s_o, size_o)
    f_t, v_pooled, g_t, cov_t = _delta(spec, e_t, s_t, size_r)
    with np.errstate(divide="ignore", invalid="ignore"):
        worse = f_o - f_r
        se2 = np.fmax(v_r, v_pooled) + v_o
        p = np.where(se2 > 0, scipy.stats.norm.sf(worse / np.sqrt(se2)), np.where(worse > 0, 0.0, 1.0))
    region_ok = (n_r >= min_rows) & (size_r > 1) & np.isfinite(f_r) & np.isfinite(v_r)
    rest_ok = (n_o >= min_rows) & (size_o > 1) & np.isfinite(f_o) & np.isfinite(v_o)
    low, high = transformed_interval(f_r, v_r, alpha, bounds)
    ratio, r_low, r_high = _ratio(spec, f_r, g_r, s_r, e_r, size_r, f_t, g_t, e_o, s_o, size_o, share, alpha, bounds)
    both = region_ok & rest_ok
    return Tested(p=np.where(both, p, np.nan), ci_low=np.where(region_ok, low, np.nan),
                  ci_high=np.where(region_ok, high, np.nan), ratio=ratio, ratio_low=np.where(both, r_low, np.nan),
                  ratio_high=np.where(both, r_high, np.nan), score=f_r)


def _ratio(spec, f_r, g_r, s_r, e_r, size_r, f_t, g_t, e_o, s_o, size_o, share, alpha, bounds):
    """Region score over overall score; the overall means are share * E_region + (1 - share) * E_rest."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        ratio = f_r / f_t
        a = g_r / f_r - share * g_t / f_t        # d log ratio / d E_region
        b = -(1.0 - share) * g_t / f_t          # d log ratio / d E_rest
        cov_r = s_r - e_r[:, None] * e_r[None, :]
        cov_o = s_o - e_o[:, None] * e_o[None, :]
        var_log = (np.einsum("i...,ij...,j...->...", a, cov_r, a) / (size_r - 1.0)
                   + np.einsum("i...,ij...,j...->...", b, cov_o, b) / (size_o - 1.0))
        z = scipy.stats.norm.ppf(1.0 - alpha / 2.0)
        sd = np.sqrt(np.maximum(var_log, 0.0))
        if bounds[0] >= 0:
            return ratio, ratio * np.exp(-z * sd), ratio * np.exp(z * sd)
        half = z * sd * np.abs(ratio)
        return ratio, ratio - half, ratio + half
