"""Significance and intervals of scanned regions, from per-region sums of the held-out rows.

Which test each metric gets (every one one-sided, "the region is worse"):

* MSE, MAE, LogLoss, Brier: ``mean_test``, Welch's t on weighted means (against the rest,
  or against ``threshold`` times the overall score); interval by Hall's transformation;
* ACC (0/1 hits): ``mean_test(binary=True)``, Fisher's exact test or the binomial tail at
  the rate H0 gives the region (``scan_binary``); Wilson's interval;
* AUC: ``auc_test``, DeLong's variances of two independent samples, Student's tail
  (``scan_auc``); interval on the logit scale;
* R2: ``set_test``, delta-method variances from sums, Student's tail (``scan_setstats``);
* F1: ``set_test``, through its Jaccard index, a proportion tested as ACC (``scan_f1``);
* a model against a baseline on the same rows: ``paired_test``;
* the q-values over every tested region of a scan: ``benjamini_hochberg``.

Intervals are two-sided at 1 - alpha and stay in the metric's range (``METRIC_BOUNDS``).
A region with fewer than ``min_rows`` held-out rows (or a rest with fewer) is not tested:
its p-value is NaN and does not count in the Benjamini-Hochberg step; its intervals are
NaN as well. The floor's default, ``MIN_ROWS`` = 10, comes from null simulations of whole
scans (y independent of the features, Benjamini-Hochberg over all regions): Welch's test
on two to four rows is far from its t distribution, and with a floor of 5 the share of
null scans of absolute errors that reported a region reached alpha; with 10 it stays
below alpha for every metric and weighting tried (see the tests).
"""

import numpy as np
import scipy.stats

from .scan_auc import AucStats, auc_test, delong
from .scan_binary import binary_p
from .scan_intervals import check_bounds, mean_interval, ratio_interval, wilson_interval
from .scan_moments import Sums, check_weights_kind, moments
from .scan_setstats import quantities, score_from_sums, set_test
from .scan_tested import METRIC_BOUNDS, MIN_ROWS, Tested, check_test_settings

__all__ = ["Sums", "Tested", "AucStats", "MIN_ROWS", "METRIC_BOUNDS", "benjamini_hochberg", "mean_test",
           "paired_test", "auc_test", "delong", "set_test", "quantities", "score_from_sums"]

_NULLS = ("rest", "threshold")


def benjamini_hochberg(p):
    """Benjamini-Hochberg q-values of the finite entries of ``p``, by SciPy.

    NaN stays NaN and does not count in the number of tests. Each q-value is at least its
    p-value (``p * m / m`` can round one ulp below ``p``) and at most 1.
    """
    p = np.asarray(p, dtype=np.float64)
    if p.ndim != 1:
        raise ValueError(f"p must be one-dimensional, got shape {p.shape}.")
    q = np.full(p.shape, np.nan)
    ok = np.isfinite(p)
    if ok.any():
        q[ok] = np.minimum(np.maximum(scipy.stats.false_discovery_control(p[ok], method="bh"), p[ok]), 1.0)
    return q


def _contrast(null, multiplier, share):
    """Coefficients (a, b) of the contrast a * region mean - b * rest mean that H0 bounds by 0.

    "rest": region against the rest, (1, 1). "threshold": region against ``multiplier``
    times the overall mean, which holds the region with its weight share:
    ``m_R - c (pi m_R + (1 - pi) m_r) = (1 - c pi) m_R - c (1 - pi) m_r``.
    """
    if null not in _NULLS:
        raise ValueError(f'null must be "rest" or "threshold", got {null!r}.')
    multiplier = float(multiplier)
    if not (np.isfinite(multiplier) and multiplier > 0):
        raise ValueError(f"multiplier must be a positive finite number, got {multiplier!r}.")
    if null == "rest":
        return np.ones_like(share), np.ones_like(share)
    return 1.0 - multiplier * share, multiplier * (1.0 - share)


def welch_p(a_mom, b_mom, ca, cb, sign):
    """One-sided p-value that ``ca * mean_a - cb * mean_b`` lies on the worse side of 0.

    ``t = -sign * D / se`` with ``D = ca m_a - cb m_b`` and ``se^2 = ca^2 v_a + cb^2 v_b``
    (v: squared standard errors of the means, ``m_2 / (n_eff - 1)``); Student's tail at the
    Welch-Satterthwaite degrees of freedom
    ``df = se^4 / (ca^4 v_a^2 / (n_a - 1) + cb^4 v_b^2 / (n_b - 1))`` (n: effective sizes).
    With ca = cb = 1 and no weights this is ``scipy.stats.ttest_ind(equal_var=False)``.
    No spread on either side: the difference itself decides (0 when worse, else 1).
    """
    va, vb = ca * ca * a_mom.var, cb * cb * b_mom.var
    with np.errstate(divide="ignore", invalid="ignore"):
        se2 = va + vb
        df = se2 * se2 / (va * va / (a_mom.size - 1.0) + vb * vb / (b_mom.size - 1.0))
        worse = -sign * (ca * a_mom.mean - cb * b_mom.mean)
        p = scipy.stats.t.sf(worse / np.sqrt(se2), df)
    return np.where(se2 == 0, np.where(worse > 0, 0.0, 1.0), p)


def _floor(mom, min_rows):
    return mom.valid & (mom.n >= min_rows)


def _overall_ratio(region, rest, share, region_ci, rest_ci):
    """Region mean over the overall mean, with the MOVER interval.

    The overall mean is ``pi m_R + (1 - pi) m_r``, so the ratio is ``1 / (pi + (1 - pi) L)``
    with ``L = m_r / m_R``, the ratio of two independent means: its MOVER interval maps to
    the ratio's interval (reversed, as the map decreases).
    """
    lam, lam_low, lam_high = ratio_interval(rest.mean, rest_ci, region.mean, region_ci)
    with np.errstate(divide="ignore", invalid="ignore"):
        overall = share * region.mean + (1.0 - share) * rest.mean
        ratio = region.mean / overall
        low = 1.0 / (share + (1.0 - share) * lam_high)
        high = 1.0 / (share + (1.0 - share) * lam_low)
    return ratio, low, high


def _intervals(mom, alpha, bounds, binary):
    if binary:
        return wilson_interval(mom.mean, mom.size, alpha, bounds)
    return mean_interval(mom, alpha, bounds)


def mean_test(region, total, *, sign, alpha, multiplier=1.0, null="rest", weights="sampling", binary=False,
              bounds=(0.0, np.inf), min_rows=MIN_ROWS):
    """Test and intervals of each region's mean per-row score on the held-out rows.

    Parameters
    ----------
    region, total : Sums
        The region's sums and the whole held-out subset's (one entry, or one per region);
        the rest is ``total`` minus ``region``.
    sign : {1, -1}
        1 when a higher score is better (ACC), -1 when lower is better (MSE, MAE, LogLoss,
        Brier).
    alpha : float
        The intervals are two-sided at 1 - alpha.
    multiplier : float, default=1.0
        With ``null="threshold"``: the factor the region must be worse by (the scan's
        threshold, or 1 / threshold for a higher-is-better score).
    null : {"rest", "threshold"}, default="rest"
        "rest": H0 "the region is no worse than the rest of the held-out rows".
        "threshold": H0 "the region is no worse than ``multiplier`` times the overall
        held-out score", so that a small p-value says what a reader of a weak region takes
        it to say. The overall score holds the region: with its weight share ``pi`` the
        hypothesis is a linear contrast of the two independent means (``welch_p``).
    weights : {"sampling", "frequency"}, default="sampling"
        How weights count: Kish's effective size, or the weight sum (see ``scan_moments``).
    binary : bool, default=False
        The scores are 0/1 (ACC hits): the exact or binomial-tail test of ``scan_binary``
        instead of Welch's, and Wilson's interval. With ``null="threshold"`` a region
        holding so much of the weight that ``1 - multiplier * pi <= 0`` gets no p-value
        (the factor can then always or never be reached).
    bounds : (float, float), default=(0, inf)
        The range of the score (``METRIC_BOUNDS``); the intervals stay inside it.
    min_rows : int, default=MIN_ROWS
        Fewest held-out rows of a tested region and of its rest.

    Returns
    -------
    Tested
        ``ci_*`` by Hall's transformation (Wilson's for 0/1 scores), ``ratio_*`` by MOVER
        (``scan_intervals``); the ratio interval needs scores bounded below by 0.
    """
    check_test_settings(alpha, sign, min_rows)
    bounds = check_bounds(bounds)
    check_weights_kind(weights)
    rest = region.rest(total)
    r_mom, o_mom = moments(region, weights, higher=not binary), moments(rest, weights, higher=not binary)
    with np.errstate(divide="ignore", invalid="ignore"):
        share = region.w / (region.w + rest.w)
    ca, cb = _contrast(null, multiplier, share)
    if binary:
        with np.errstate(divide="ignore", invalid="ignore"):
            theta = np.where(ca > 0, cb / ca, -1.0)
        p = binary_p(r_mom.mean, r_mom.size, o_mom.mean, o_mom.size, sign, theta)
    else:
        p = welch_p(r_mom, o_mom, ca, cb, sign)
    region_ok, rest_ok = _floor(r_mom, min_rows), _floor(o_mom, min_rows)
    p = np.where(region_ok & rest_ok, p, np.nan)
    low, high = _intervals(r_mom, alpha, bounds, binary)
    rest_ci = _intervals(o_mom, alpha, bounds, binary)
    ratio, r_low, r_high = _overall_ratio(r_mom, o_mom, share, (low, high), rest_ci)
    both = region_ok & rest_ok & (bounds[0] >= 0)
    return Tested(p=p, ci_low=np.where(region_ok, low, np.nan), ci_high=np.where(region_ok, high, np.nan),
                  ratio=ratio, ratio_low=np.where(both, r_low, np.nan), ratio_high=np.where(both, r_high, np.nan),
                  score=r_mom.mean)


def _sign_test(mom, diff):
    """p-value of H0 "mean d <= 0" for d in {-1, 0, 1}: the exact sign test on whole counts,
    else the score test with the variance under H0 (mean d = 0): ``se^2 = (sum w d^2 / w) / n_eff``."""
    with np.errstate(divide="ignore", invalid="ignore"):
        per_w = mom.size / diff.w  # effective rows per unit of weight
        worse, better = (diff.ws2 + diff.ws) / 2.0 * per_w, (diff.ws2 - diff.ws) / 2.0 * per_w
        z = mom.mean / np.sqrt(diff.ws2 * diff.score_scale ** 2 / diff.w / mom.size)
    p = np.where(diff.ws2 > 0, scipy.stats.norm.sf(z), 1.0)
    whole = (np.abs(worse - np.rint(worse)) <= 1e-9 * np.maximum(worse, 1.0)) & \
            (np.abs(better - np.rint(better)) <= 1e-9 * np.maximum(better, 1.0))
    k, m = np.rint(np.nan_to_num(worse)), np.rint(np.nan_to_num(worse + better))
    exact = scipy.stats.binom.sf(k - 1.0, m, 0.5)
    exact = np.where(m > 0, exact, 1.0)
    return np.where(whole, exact, p)


def paired_test(diff, *, alpha, weights="sampling", binary=False, bounds=(-np.inf, np.inf), min_rows=MIN_ROWS):
    """One-sided test that a model is worse than a baseline on each region's held-out rows.

    ``diff`` holds the sums of the per-row difference ``d`` (model score minus baseline
    score, oriented so that positive means the model is worse). H0 "the weighted mean of d
    is at most 0": a one-sample t-test, ``t = mean / se`` with ``se^2 = m_2 / (n_eff - 1)``
    and ``n_eff - 1`` degrees of freedom (``scipy.stats.ttest_1samp(d, 0,
    alternative="greater")`` without weights). ``ci_*`` is the two-sided t interval of the
    mean of d. With ``binary=True`` (d in {-1, 0, 1}: hits or 0/1 losses) the test is the
    exact sign test on the rows that differ (McNemar's), or its score form where the
    effective counts are not whole. The ratio fields are NaN.
    """
    check_test_settings(alpha, 1, min_rows)
    bounds = check_bounds(bounds)
    check_weights_kind(weights)
    mom = moments(diff, weights)
    se = np.sqrt(mom.var)
    with np.errstate(divide="ignore", invalid="ignore"):
        df = mom.size - 1.0
        if binary:
            p = _sign_test(mom, diff)
        else:
            p = np.where(se > 0, scipy.stats.t.sf(mom.mean / se, df), np.where(mom.mean > 0, 0.0, 1.0))
        half = scipy.stats.t.ppf(1.0 - alpha / 2.0, df) * se
    ok = _floor(mom, min_rows)
    nan = np.full(mom.mean.shape, np.nan)
    return Tested(p=np.where(ok, p, np.nan), ci_low=np.where(ok, np.clip(mom.mean - half, *bounds), np.nan),
                  ci_high=np.where(ok, np.clip(mom.mean + half, *bounds), np.nan), ratio=nan, ratio_low=nan,
                  ratio_high=nan, score=mom.mean)
