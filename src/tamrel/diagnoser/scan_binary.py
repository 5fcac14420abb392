"""One-sided tests of a region's proportion of 0/1 scores (hits for ACC) against the rest.

Welch's t is not valid here: a small region whose held-out rows are all misses has no
spread, its standard error comes from the rest alone and the p-value falls to 1e-200.
Both tests below take the region's spread from the null hypothesis instead.

* Exact: when the effective counts are whole numbers (no weights, equal weights, integer
  frequency weights) and the null is "the region is no worse than the rest", Fisher's
  one-sided test: with ``N`` rows of which ``K`` are bad (misses for a higher-is-better
  score), the p-value is ``P(X >= bad rows of the region)`` for ``X`` hypergeometric
  (``N``, ``K``, region rows).
* Otherwise (sampling weights with Kish's effective sizes, or the null "the region's
  proportion is at least theta times the rest's"), the binomial tail of the region's
  effective count of bad rows at the rate H0 gives the region,
  ``P(Bin(n1 f, bad rate) >= bad1 f)``, by the regularized incomplete beta function
  (which takes effective, non-whole counts). The rate is the restricted maximum
  likelihood estimate of Farrington and Manning's score test of a ratio of two
  independent proportions: under H0 ``p1 = theta p2`` it is ``theta r``, r the smaller
  root of ``N theta r^2 - (n1 theta + x1 + n2 + x2 theta) r + (x1 + x2) = 0``
  (x: effective counts of ones, n: effective sizes, N = n1 + n2); at ``theta = 1`` the
  pooled rate. There the factor ``f = (N - n1) / (N - 1)`` gives the count the variance
  of Fisher's hypergeometric one (the region drawn from the pooled rows); otherwise
  ``f = 1``. The score test's normal tail is far too thin for a few rows that are all
  bad (5 rows of misses at a miss rate of 0.2: 1e-5 against the exact 3e-4, and one
  null scan in three reported a region); the binomial tail is exact there.
"""

import numpy as np
import scipy.special
import scipy.stats

__all__ = ["binary_p"]

_WHOLE = 1e-9  # relative distance from an integer that still counts as a whole count


def _whole(x):
    return np.abs(x - np.rint(x)) <= _WHOLE * np.maximum(np.abs(x), 1.0)


def _fisher(n1, x1, n2, x2):
    """P(X >= x1) for X hypergeometric: x1 + x2 marked rows among n1 + n2, n1 drawn."""
    n1, x1, n2, x2 = (np.rint(np.nan_to_num(v)) for v in (n1, x1, n2, x2))
    return scipy.stats.hypergeom.sf(x1 - 1.0, n1 + n2, x1 + x2, n1)


def _restricted_rate(p1, n1, p2, n2, theta):
    """The region's rate under H0 ``p1 = theta p2`` by maximum likelihood (Farrington-Manning)."""
    x1, x2 = p1 * n1, p2 * n2
    with np.errstate(divide="ignore", invalid="ignore"):
        a = (n1 + n2) * theta
        b = -(n1 * theta + x1 + n2 + x2 * theta)
        c = x1 + x2
        disc = np.sqrt(np.maximum(b * b - 4.0 * a * c, 0.0))
        # the smaller root, written so that it does not cancel
        return theta * np.where(b < 0, 2.0 * c / (-b + disc), (-b - disc) / (2.0 * a))


def _binomial_tail(bad, size, rate):
    """P(X >= bad) for X ~ Bin(size, rate), continuous in bad and size: I_rate(bad, size - bad + 1)."""
    with np.errstate(invalid="ignore"):
        tail = scipy.special.betainc(np.maximum(bad, 1e-300), np.maximum(size - bad + 1.0, 1e-300),
                                     np.clip(rate, 0.0, 1.0))
    return np.where(bad > 0, tail, 1.0)


def binary_p(p1, n1, p2, n2, sign, theta=1.0):
    """One-sided p-value that the region (proportion p1 on n1 effective rows) is worse.

    ``sign`` is 1 when a proportion of ones is good (hits), -1 when it is bad. H0 is
    ``sign * (p1 - theta * p2) >= 0``; ``theta`` is 1 (no worse than the rest) or the
    ratio that the threshold null sets between the region and the rest.
    """
    theta = np.broadcast_to(np.asarray(theta, dtype=np.float64), np.shape(p1))
    rate1 = _restricted_rate(p1, n1, p2, n2, theta)
    bad1, bad2 = (n1 * (1.0 - p1), n2 * (1.0 - p2)) if sign > 0 else (n1 * p1, n2 * p2)
    with np.errstate(divide="ignore", invalid="ignore"):
        f = np.where(theta == 1.0, np.clip((n2 + 0.0) / (n1 + n2 - 1.0), 0.0, 1.0), 1.0)
        p = _binomial_tail(bad1 * f, n1 * f, 1.0 - rate1 if sign > 0 else rate1)
    p = np.where(np.isfinite(rate1) & np.isfinite(bad1), p, np.nan)
    # Fisher's exact test where the counts are whole and the null is "no worse than the rest"
    exact = (theta == 1.0) & _whole(n1) & _whole(n2) & _whole(bad1) & _whole(bad2)
    if np.any(exact):
        p = np.where(exact, _fisher(np.where(exact, n1, 0), np.where(exact, bad1, 0),
                                    np.where(exact, n2, 0), np.where(exact, bad2, 0)), p)
    return np.where(theta > 0, p, np.nan)
