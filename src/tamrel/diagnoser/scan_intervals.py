"""Confidence intervals of region scores, each kept inside the metric's range.

* ``mean_interval``: the mean of skewed per-row losses (squared or absolute errors, log
  loss). The t interval under-covers there (about 89% for 95% with 20 squared normal
  errors), because a sample that misses the long tail has both a low mean and a low
  spread. Hall's (1992) transformation removes the skewness of the studentised mean:
  with ``T = (m - mu) / se`` and ``a = skew / sqrt(n_eff)``,
  ``g(T) = T + a T^2 / 3 + a^2 T^3 / 27 + a / 6`` is monotone, and the interval is
  ``[m - se g^-1(q), m - se g^-1(-q)]``. The spread's own uncertainty, large for
  heavy-tailed losses, is in the quantile: ``q`` is Student's at ``1 - alpha/2`` with
  ``df = 2 n_eff / (kurt - 1)`` (the degrees of freedom of a variance estimate whose
  relative variance is ``(kurt - 1) / n``; ``n`` for normal scores), at most
  ``n_eff - 1``. Without skewness and excess kurtosis this is the t interval.
* ``wilson_interval``: a proportion (0/1 scores): Wilson's score interval with the
  effective size, which holds 0 and 1 in its range and keeps its coverage on small and
  all-miss regions.
* ``transformed_interval``: a score with a bounded range and a delta-method variance
  (AUC, F1): the normal interval on the logit scale of its position within the range;
  with one bound (R2 <= 1) on the log scale of its distance to that bound.
* ``ratio_interval``: MOVER (Zou and Donner's method of variance estimates recovery) for
  the ratio of two independent positive means from their own intervals.
"""

import numpy as np
import scipy.special
import scipy.stats

__all__ = ["mean_interval", "wilson_interval", "transformed_interval", "ratio_interval", "clip_to", "check_bounds"]


def check_bounds(bounds):
    try:
        lo, hi = (float(v) for v in bounds)
    except (TypeError, ValueError):
        raise ValueError(f"bounds must be a pair (low, high) of numbers, got {bounds!r}.") from None
    if not lo < hi or np.isnan(lo) or np.isnan(hi):
        raise ValueError(f"bounds must satisfy low < high, got {bounds!r}.")
    return lo, hi


def clip_to(values, bounds):
    lo, hi = bounds
    return np.clip(values, lo, hi)


def _hall_inverse(x, a):
    """g^-1(x) for Hall's g with skewness term a: (3/a) (cbrt(1 + a (x - a/6)) - 1)."""
    u = a * (x - a / 6.0)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        small = np.abs(u) < 0.5
        root = np.where(small, np.expm1(np.log1p(np.where(small, u, 0.0)) / 3.0), np.cbrt(1.0 + u) - 1.0)
        out = 3.0 * root / a
    return np.where(a == 0, x, out)


def mean_interval(mom, alpha, bounds):
    """Two-sided 1 - alpha interval of each region's mean (Hall's transformation, see above)."""
    size = mom.size
    with np.errstate(divide="ignore", invalid="ignore"):
        df = np.clip(2.0 * size / np.maximum(mom.kurt - 1.0, 2.0), 1.0, size - 1.0)
        q = scipy.stats.t.ppf(1.0 - alpha / 2.0, df)
        a = mom.skew / np.sqrt(size)
    se = np.sqrt(mom.var)
    low = mom.mean - se * _hall_inverse(q, a)
    high = mom.mean - se * _hall_inverse(-q, a)
    low, high = np.where(mom.valid, low, np.nan), np.where(mom.valid, high, np.nan)
    return clip_to(low, bounds), clip_to(high, bounds)


def wilson_interval(p, size, alpha, bounds=(0.0, 1.0)):
    """Wilson's 1 - alpha interval of a proportion ``p`` observed on ``size`` effective rows."""
    z = scipy.stats.norm.ppf(1.0 - alpha / 2.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        z2n = z * z / size
        centre = (p + z2n / 2.0) / (1.0 + z2n)
        half = z / (1.0 + z2n) * np.sqrt(p * (1.0 - p) / size + z2n / (4.0 * size))
    return clip_to(centre - half, bounds), clip_to(centre + half, bounds)


def transformed_interval(score, var, alpha, bounds):
    """Normal 1 - alpha interval of ``score`` (variance ``var``) on a scale that respects ``bounds``."""
    lo, hi = bounds
    z = scipy.stats.norm.ppf(1.0 - alpha / 2.0)
    sd = np.sqrt(var)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if np.isfinite(lo) and np.isfinite(hi):
            u = (score - lo) / (hi - lo)
            half = z * sd / ((hi - lo) * u * (1.0 - u))
            centre = np.log(u) - np.log1p(-u)
            low, high = lo + (hi - lo) * scipy.special.expit(centre - half), lo + (hi - lo) * scipy.special.expit(centre + half)
        elif np.isfinite(hi) or np.isfinite(lo):
            # distance to the one bound on the log scale
            side = 1.0 if np.isfinite(lo) else -1.0
            edge = lo if np.isfinite(lo) else hi
            d = side * (score - edge)
            f = np.exp(z * sd / d)
            low, high = (edge + d / f, edge + d * f) if side > 0 else (edge - d * f, edge - d / f)
        else:
            low, high = score - z * sd, score + z * sd
    # a score on its bound with no spread: the interval is that point
    on_bound = np.isfinite(score) & (var == 0)
    low, high = np.where(on_bound, score, low), np.where(on_bound, score, high)
    return clip_to(low, bounds), clip_to(high, bounds)


def ratio_interval(num, num_ci, den, den_ci):
    """MOVER interval of ``num / den`` for independent positive estimates with their own intervals.

    On the log scale, ``log(num/den)`` minus the root sum of squares of the lower reach of
    ``num`` and the upper reach of ``den``, plus that of the other two reaches. An estimate
    of 0 (or an interval end at 0) takes the ratio to 0 or infinity.
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        ln, lnl, lnh = np.log(num), np.log(num_ci[0]), np.log(num_ci[1])
        ld, ldl, ldh = np.log(den), np.log(den_ci[0]), np.log(den_ci[1])
        centre = ln - ld
        low = centre - np.hypot(ln - lnl, ldh - ld)
        high = centre + np.hypot(lnh - ln, ld - ldl)
        ratio = num / den
        low, high = np.exp(low), np.exp(high)
        # an estimate of 0 leaves its log undefined: take the interval's corners instead
        zero = (num == 0) | (den == 0)
        low = np.where(zero, num_ci[0] / den_ci[1], low)
        high = np.where(zero, num_ci[1] / den_ci[0], high)
    return ratio, low, high
