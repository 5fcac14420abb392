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
  the ratio of two positive estimates from their own intervals (and their correlation),
  so that the ratio inherits the asymmetry of each interval.
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


def transformed_interval(score, var, alpha, bounds, df=None):
    """1 - alpha interval of ``score`` (variance ``var``) on a scale that respects ``bounds``.

    Normal quantile, or Student's at ``df`` degrees of freedom when given.
    """
    lo, hi = bounds
    q = scipy.stats.norm.ppf(1.0 - alpha / 2.0) if df is None else scipy.stats.t.ppf(1.0 - alpha / 2.0, df)
    sd = np.sqrt(var)
    expit = scipy.special.expit
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if np.isfinite(lo) and np.isfinite(hi):
            u = (score - lo) / (hi - lo)
            half = q * sd / ((hi - lo) * u * (1.0 - u))
            centre = np.log(u) - np.log1p(-u)
            low, high = lo + (hi - lo) * expit(centre - half), lo + (hi - lo) * expit(centre + half)
        elif np.isfinite(hi) or np.isfinite(lo):
            # distance to the one bound on the log scale
            side = 1.0 if np.isfinite(lo) else -1.0
            edge = lo if np.isfinite(lo) else hi
            d = side * (score - edge)
            f = np.exp(q * sd / d)
            low, high = (edge + d / f, edge + d * f) if side > 0 else (edge - d * f, edge - d / f)
        else:
            low, high = score - q * sd, score + q * sd
    # a score on its bound with no spread: the interval is that point
    on_bound = np.isfinite(score) & (var == 0)
    low, high = np.where(on_bound, score, low), np.where(on_bound, score, high)
    return clip_to(low, bounds), clip_to(high, bounds)


def _reach(a, b, corr):
    """sqrt(a^2 + b^2 - 2 corr a b); infinite where either reach is (an interval end at 0)."""
    with np.errstate(invalid="ignore", over="ignore"):
        inner = np.sqrt(np.maximum(a * a + b * b - 2.0 * corr * a * b, 0.0))
    return np.where(np.isinf(a) | np.isinf(b), np.inf, inner)


def ratio_interval(num, num_ci, den, den_ci, corr=0.0):
    """MOVER interval of ``num / den`` for positive estimates with their own intervals.

    On the log scale, with the reaches ``a = log num - log num_low``, ``b = log den_high -
    log den`` (and ``c``, ``d`` on the other side):
    ``low = log(num/den) - sqrt(a^2 + b^2 - 2 corr a b)``,
    ``high = log(num/den) + sqrt(c^2 + d^2 - 2 corr c d)``; ``corr`` is the correlation of
    the two estimates (0 for independent ones; -1 gives the widest interval, for an
    unknown correlation). An estimate of 0 takes the interval from its corners.
    """
    with np.errstate(divide="ignore", invalid="ignore"):
        ln, lnl, lnh = np.log(num), np.log(num_ci[0]), np.log(num_ci[1])
        ld, ldl, ldh = np.log(den), np.log(den_ci[0]), np.log(den_ci[1])
        centre = ln - ld
        a, b, c, d = ln - lnl, ldh - ld, lnh - ln, ld - ldl
        low = centre - _reach(a, b, corr)
        high = centre + _reach(c, d, corr)
        ratio = num / den
        low, high = np.exp(low), np.exp(high)
        # an estimate of 0 leaves its log undefined: take the interval's corners instead
        zero = (num == 0) | (den == 0)
        low = np.where(zero, num_ci[0] / den_ci[1], low)
        high = np.where(zero, num_ci[1] / den_ci[0], high)
    return ratio, low, high
