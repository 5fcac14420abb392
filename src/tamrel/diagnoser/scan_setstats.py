"""R2 and F1 of a region from weighted sums of per-row quantities, with their tests.

``quantities(metric, y, pred)`` gives per-row arrays; the kernels sum ``w * q`` of each per
region (with the Sums fields "n", "w", "w2"), and ``score_from_sums``/``set_test`` read
those sums. F1 goes through its Jaccard index (``scan_f1``). R2 by the delta method:

R2 (``sklearn.metrics.r2_score``) is ``f(E) = 1 - E[e^2] / (E[y^2] - E[y]^2)`` of the
weighted means E of e^2, y, y^2 (e = y - pred). The sums of their products (e^4, e^2 y,
e^2 y^2, y^3, y^4) give the weighted covariance ``C`` (divisor the weight sum), the means'
covariance is ``C / (n_eff - 1)`` (``scan_moments``: Kish's size or the weight sum) and
``var R2 = g' C g / (n_eff - 1)``, g the gradient of f at E. A shift and a scale common to
all rows leave R2 unchanged: pass the same ``shift``/``scale`` for every block of rows so
that the fourth powers neither overflow nor cancel.
"""

from dataclasses import dataclass

import numpy as np
import scipy.stats

from .scan_f1 import F1_QUANTITIES, f1_from_sums, f1_quantities, f1_test
from .scan_intervals import check_bounds, transformed_interval
from .scan_moments import check_weights_kind, effective_size
from .scan_tested import METRIC_BOUNDS, MIN_ROWS, Tested, check_test_settings

__all__ = ["quantities", "score_from_sums", "score_only", "set_test", "SET_QUANTITIES"]

_BASE = ("e2", "y", "y2")
# (i, j) -> the quantity whose mean is E[q_i q_j]
_PRODUCTS = {(0, 0): "e4", (0, 1): "e2y", (0, 2): "e2y2", (1, 1): "y2", (1, 2): "y3", (2, 2): "y4"}
SET_QUANTITIES = {"R2": ("e2", "y", "y2", "e4", "e2y", "e2y2", "y3", "y4"), "F1": F1_QUANTITIES}


def _metric(metric):
    if metric not in SET_QUANTITIES:
        raise ValueError(f'metric must be "R2" or "F1", got {metric!r}.')
    return metric


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


def quantities(metric, y, pred, *, w=None, shift=0.0, scale=1.0):
    """Per-row quantities whose weighted sums give a region's R2 or F1 and its variance.

    R2: ``(y - shift) / scale`` and ``(pred - shift) / scale`` enter. F1: ``y`` and ``pred``
    are 0/1 labels (1 the positive class) and ``w`` the rows' weights as the sums take them
    (scaled; None without weights). Returns a dict name -> float array
    (``SET_QUANTITIES[metric]``).
    """
    _metric(metric)
    y, pred = _vector(y, "y"), _vector(pred, "pred")
    if y.shape != pred.shape:
        raise ValueError(f"y has {y.shape[0]} entries but pred has {pred.shape[0]}.")
    if metric == "F1":
        return f1_quantities(y, pred, None if w is None else _vector(w, "w"))
    if not (np.isfinite(scale) and scale > 0 and np.isfinite(shift)):
        raise ValueError(f"shift must be finite and scale positive and finite, got {shift!r}, {scale!r}.")
    yy, pp = (y - shift) / scale, (pred - shift) / scale
    e2, y2 = (yy - pp) ** 2, yy * yy
    return {"e2": e2, "y": yy, "y2": y2, "e4": e2 * e2, "e2y": e2 * yy, "e2y2": e2 * y2, "y3": y2 * yy, "y4": y2 * y2}


def _r2(e):
    """R2 and its gradient in (E e^2, E y, E y^2). A response without spread beyond rounding
    scores 1 for a perfect fit and 0 otherwise, as scikit-learn's r2_score does, without a
    gradient."""
    e2, y, y2 = e
    with np.errstate(divide="ignore", invalid="ignore"):
        d = y2 - y * y
        flat = d <= 1e-12 * y2
        d = np.where(flat, np.nan, d)
        score = np.where(flat, np.where(e2 == 0, 1.0, 0.0), 1.0 - e2 / d)
        return np.where(np.isfinite(y2), score, np.nan), np.stack([-1.0 / d, -2.0 * e2 * y / (d * d), e2 / (d * d)])


def score_only(metric, sums):
    """The R2 or F1 of each set of rows from its sums (of "e2", "y", "y2" with "w"; of the F1
    quantities with "n"), without the sums a variance needs."""
    if _metric(metric) == "F1":
        return f1_from_sums(sums)[0]
    with np.errstate(divide="ignore", invalid="ignore"):
        w = np.asarray(sums["w"], dtype=np.float64)
        means = [np.asarray(sums[q], dtype=np.float64) / w for q in _BASE]
    score, _ = _r2(means)
    return np.where((np.asarray(sums["n"]) >= 2) & (w > 0), score, np.nan)


@dataclass(frozen=True)
class _Side:
    """Means E (3, R), second moments S (3, 3, R), counts, effective sizes and weights."""

    mean: np.ndarray
    second: np.ndarray
    n: np.ndarray
    size: np.ndarray
    w: np.ndarray

    def cov(self):
        """Covariance of the means: (S - E E') / (size - 1)."""
        with np.errstate(divide="ignore", invalid="ignore"):
            return (self.second - self.mean[:, None] * self.mean[None, :]) / (self.size - 1.0)


def _side(sums, weights, scale):
    n = np.asarray(sums["n"])
    if n.dtype.kind not in "iu":
        raise ValueError("sums['n'] must hold integer row counts.")
    w, w2 = (np.asarray(sums[k], dtype=np.float64) for k in ("w", "w2"))
    size = effective_size(n, w, w2, scale, weights)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = np.stack([np.asarray(sums[q], dtype=np.float64) / w for q in _BASE])
        second = np.empty((3, 3) + mean.shape[1:])
        for (i, j), name in _PRODUCTS.items():
            second[i, j] = second[j, i] = np.asarray(sums[name], dtype=np.float64) / w
    return _Side(mean, second, n, size, w)


def _form(g, cov, h=None):
    """g' cov h (h = g by default), over the leading axes."""
    with np.errstate(invalid="ignore", over="ignore"):
        return np.einsum("i...,ij...,j...->...", g, cov, g if h is None else h)


def score_from_sums(metric, sums, *, weights="sampling", scale=1.0):
    """``(score, variance)`` of each region from ``sums``: a dict of arrays "n" (int counts),
    "w", "w2" and each quantity's sum of ``w * q``; ``scale`` is the weights' scale (true
    weight = w * scale) for frequency weights."""
    check_weights_kind(weights)
    if _metric(metric) == "F1":
        return f1_from_sums(sums, weights, scale)
    side = _side(sums, weights, scale)
    score, grad = _r2(side.mean)
    var = np.maximum(_form(grad, side.cov()), 0.0)
    return score, np.where((side.n >= 2) & (side.size > 1), var, np.nan)


def set_test(metric, region_sums, rest_sums, *, alpha, bounds=None, weights="sampling", scale=1.0,
             min_rows=MIN_ROWS):
    """One-sided test that each region's R2 or F1 is lower than its rest's, and intervals.

    F1: ``scan_f1.f1_test``. R2: ``t = (f_rest - f_region) / sqrt(v_region + v_rest)`` with
    the delta-method variances, upper tail of Student's t at the Welch-Satterthwaite
    degrees of freedom (n_eff - 1 for each variance) (H0: the region scores no lower than
    the rest). The normal tail made one null scan in nine report a region of 10 to 20 rows.

    The R2 interval is the normal one on the scale of log(1 - R2), with Student's quantile
    at n_eff - 1 degrees of freedom, centred on R2 with the variance of y taken with divisor
    n - 1 (the sample mean of y makes 1 - R2 about n / (n - 1) too large; the plain delta
    interval covers 91% for 95% on 20 rows). ``ratio`` = region R2 / overall R2 (the pooled
    sums), by the delta method on the ratio itself (R2 can be negative), centred likewise.
    """
    if _metric(metric) == "F1":
        return f1_test(region_sums, rest_sums, alpha=alpha, bounds=bounds, weights=weights, scale=scale,
                       min_rows=min_rows)
    check_test_settings(alpha, 1, min_rows)
    check_weights_kind(weights)
    bounds = check_bounds(METRIC_BOUNDS[metric] if bounds is None else bounds)
    reg, rest = _side(region_sums, weights, scale), _side(rest_sums, weights, scale)
    with np.errstate(divide="ignore", invalid="ignore"):
        share = reg.w / (reg.w + rest.w)
    overall = share * reg.mean + (1.0 - share) * rest.mean
    (f_r, g_r), (f_o, g_o), (f_t, g_t) = _r2(reg.mean), _r2(rest.mean), _r2(overall)
    cov_r, cov_o = reg.cov(), rest.cov()
    v_r, v_o = np.maximum(_form(g_r, cov_r), 0.0), np.maximum(_form(g_o, cov_o), 0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        worse = f_o - f_r
        se2 = v_r + v_o
        df_test = se2 * se2 / (v_r * v_r / (reg.size - 1.0) + v_o * v_o / (rest.size - 1.0))
        p = np.where(se2 > 0, scipy.stats.t.sf(worse / np.sqrt(se2), df_test), np.where(worse > 0, 0.0, 1.0))
        centre, df = _unbiased(f_r, reg.size), reg.size - 1.0
    region_ok = (reg.n >= min_rows) & (reg.size > 1) & np.isfinite(f_r) & np.isfinite(v_r)
    both = region_ok & (rest.n >= min_rows) & (rest.size > 1) & np.isfinite(f_o) & np.isfinite(v_o)
    low, high = transformed_interval(centre, v_r, alpha, bounds, df)
    # the overall estimate: its variance and its covariance with the region's
    v_t = np.maximum(_form(g_t, share * share * cov_r + (1.0 - share) ** 2 * cov_o), 0.0)
    _, r_low, r_high = _delta_ratio(centre, v_r, _unbiased(f_t, reg.size + rest.size), v_t,
                                    share * _form(g_r, cov_r, g_t), alpha, df)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = f_r / f_t
    return Tested(p=np.where(both, p, np.nan), ci_low=np.where(region_ok, low, np.nan),
                  ci_high=np.where(region_ok, high, np.nan), ratio=ratio, ratio_low=np.where(both, r_low, np.nan),
                  ratio_high=np.where(both, r_high, np.nan), score=f_r)


def _unbiased(r2, size):
    """R2 with the variance of y taken with divisor n - 1 instead of n."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return 1.0 - (1.0 - r2) * (size - 1.0) / size


def _delta_ratio(f_r, v_r, f_t, v_t, cov_rt, alpha, df):
    """f_r / f_t with the delta-method interval (Student's quantile at df)."""
    z = scipy.stats.t.ppf(1.0 - alpha / 2.0, df)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = f_r / f_t
        var = (v_r - 2.0 * ratio * cov_rt + ratio * ratio * v_t) / (f_t * f_t)
        half = z * np.sqrt(np.maximum(var, 0.0))
    return ratio, ratio - half, ratio + half
