"""Significance of scanned regions on the rows that did not choose them.

An additive metric is tested from sums alone: per region the weight, weighted score and
weighted squared score on the other subset, against the same sums of that subset's rest.
Any other metric is bootstrapped on the region's rows and the rest's rows.
"""

import numpy as np
import scipy.stats

__all__ = ["welch_one_sided", "bootstrap_one_sided", "benjamini_hochberg"]

_BOOTSTRAP_ROUNDS = 100
_BOOTSTRAP_MIN_ROWS = 10  # fewer rows on a side give no usable resampling


def _moments(w, ws, ws2, w2):
    """Weighted mean, variance of the mean and effective sample size."""
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = ws / w
        n_eff = w * w / w2
        var = np.maximum(ws2 / w - mean * mean, 0.0) * n_eff / (n_eff - 1.0)
        return mean, var / n_eff, n_eff


def welch_one_sided(region, total, score_sign, alpha):
    """p-values that each region scores worse than the rest, and the region's CI.

    ``region`` and ``total`` are dicts of arrays ``w``, ``ws``, ``ws2``, ``w2`` (sums of
    w, w*s, w*s^2, w^2; w = 1 without weights); the rest is total minus region. The test
    is Welch's t on the weighted means with Kish's effective sample sizes and the
    Welch-Satterthwaite degrees of freedom; the CI is the region's mean plus or minus
    the t quantile at 1 - alpha/2 times its standard error. NaN where a side has fewer
    than two effective rows.
    """
    m1, v1, n1 = _moments(region["w"], region["ws"], region["ws2"], region["w2"])
    rest = {k: total[k] - region[k] for k in ("w", "ws", "ws2", "w2")}
    m2, v2, n2 = _moments(rest["w"], rest["ws"], rest["ws2"], rest["w2"])
    with np.errstate(divide="ignore", invalid="ignore"):
        se = np.sqrt(v1 + v2)
        df = (v1 + v2) ** 2 / (v1 * v1 / (n1 - 1.0) + v2 * v2 / (n2 - 1.0))
        diff = score_sign * (m2 - m1)  # positive when the region is worse
        t = diff / se
        p = scipy.stats.t.sf(t, df)
        # no spread on either side: the difference itself decides
        flat = (se == 0) & np.isfinite(diff)
        p = np.where(flat, np.where(diff > 0, 0.0, 1.0), p)
        valid = (n1 > 1) & (n2 > 1) & np.isfinite(m1) & np.isfinite(m2)
        p = np.where(valid, p, np.nan)
        half = scipy.stats.t.ppf(1.0 - alpha / 2.0, n1 - 1.0) * np.sqrt(v1)
        half = np.where(n1 > 1, half, np.nan)
    return p, m1 - half, m1 + half


def bootstrap_one_sided(score, region_rows, rest_rows, score_sign, alpha, rng):
    """Bootstrap p-value that the region scores worse than the rest, and its CI.

    ``score(rows)`` scores a set of row positions. Both sides are resampled with
    replacement; the spread of the resampled scores gives each side's standard error,
    and the p-value is the normal tail of the scores' difference over its standard
    error (a continuous p-value, so that the Benjamini-Hochberg step can reach small
    levels with few rounds). The CI holds the region's resampled scores between the
    alpha/2 and 1 - alpha/2 quantiles. NaN when a side has fewer than ten rows.
    """
    if len(region_rows) < _BOOTSTRAP_MIN_ROWS or len(rest_rows) < _BOOTSTRAP_MIN_ROWS:
        return np.nan, np.nan, np.nan
    reg = np.array([score(rng.choice(region_rows, len(region_rows))) for _ in range(_BOOTSTRAP_ROUNDS)])
    rest = np.array([score(rng.choice(rest_rows, len(rest_rows))) for _ in range(_BOOTSTRAP_ROUNDS)])
    if np.count_nonzero(np.isfinite(reg)) < 2 or np.count_nonzero(np.isfinite(rest)) < 2:
        return np.nan, np.nan, np.nan
    diff = score_sign * (score(rest_rows) - score(region_rows))
    se = np.sqrt(np.nanvar(reg, ddof=1) + np.nanvar(rest, ddof=1))
    if se == 0:
        p = 0.0 if diff > 0 else 1.0
    else:
        p = float(scipy.stats.norm.sf(diff / se)) if np.isfinite(diff) else np.nan
    lo, hi = np.nanquantile(reg, [alpha / 2.0, 1.0 - alpha / 2.0])
    return p, lo, hi


def benjamini_hochberg(p):
    """Benjamini-Hochberg adjusted p-values; NaN stays NaN and does not count."""
    p = np.asarray(p, dtype=np.float64)
    q = np.full(p.shape, np.nan)
    ok = np.flatnonzero(np.isfinite(p))
    m = ok.size
    if m == 0:
        return q
    order = ok[np.argsort(p[ok], kind="stable")]
    ranked = p[order] * m / np.arange(1, m + 1)
    q[order] = np.minimum(np.minimum.accumulate(ranked[::-1])[::-1], 1.0)
    return q
