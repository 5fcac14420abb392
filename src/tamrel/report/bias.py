"""Bias or noise: does the model miss the outcome's level in a region, or is the outcome
only harder to predict there?

On a region's test rows, r = y - prediction (regression) or r = y - probability of the
positive class (classification, y as 0/1). The mean residual (the bias) is tested against 0:

* Regression: a one-sample t-test of the weighted mean residual,
  t = mean_w(r) / (s / sqrt(n_eff)), with s^2 = n_eff / (n_eff - 1) * sum w (r - mean_w r)^2 / sum w,
  Kish's effective size n_eff = (sum w)^2 / sum w^2 and n_eff - 1 degrees of freedom;
  two-sided. Unweighted, this is ``scipy.stats.ttest_1samp(r, 0)``.
* Classification: under the null every outcome is a Bernoulli draw with the model's
  probability p, so sum w (y - p) has variance sum w^2 p (1 - p) and
  z = sum w (y - p) / sqrt(sum w^2 p (1 - p)) is compared with the normal distribution,
  two-sided (with equal p and unit weights: the binomial score test). The variance comes
  from the null, so a small region whose every outcome is 1 is not declared biased from a
  variance of 0.

Null hypothesis: on the region's test rows the mean outcome equals the mean prediction
(mean probability). The interval of the bias is mean_w(r) plus or minus the t (regression)
or normal (classification) quantile at 1 - alpha/2 times the standard error from the
residuals' spread, s / sqrt(n_eff).

The verdict: "noise" when the bias is not significant (the model is right on average; the
outcome varies more), "bias" when it is and the squared bias makes at least half of the
region's excess mean squared residual (MSE, or the Brier score, here minus on all test
rows; the whole mean squared residual where there is no excess), "bias and noise" otherwise.
"""

from dataclasses import asdict, dataclass

import numpy as np
import scipy.stats

__all__ = ["BiasCheck", "Reference", "bias_check", "BIAS_SHARE"]

BIAS_SHARE = 0.5  # squared bias share of the mean squared residual that makes a weakness "bias"


@dataclass
class BiasCheck:
    """The comparison of outcome and prediction on a region's test rows."""

    n: int
    mean_outcome: float
    mean_prediction: float
    bias: float  # mean outcome minus mean prediction
    ci_low: float
    ci_high: float
    statistic: float
    p_value: float
    bias_share: float  # bias^2 / the region's excess mean squared residual
    spread_ratio: float  # residual standard deviation here / on all test rows
    verdict: str

    def as_dict(self):
        return asdict(self)


def _moments(r, w):
    sw = w.sum()
    mean = float(np.dot(w, r) / sw)
    centred = np.dot(w, (r - mean) ** 2) / sw
    n_eff = sw * sw / np.dot(w, w)
    return mean, float(centred), float(n_eff)


@dataclass
class Reference:
    """The residuals on all test rows: their standard deviation and mean square."""

    spread: float
    mean_square: float


def bias_check(y, pred, w=None, classification=False, alpha=0.05, reference=None):
    """The bias/noise comparison on one region's test rows (see the module's docstring).

    Parameters
    ----------
    y : array of float
        Outcomes (0/1 for a classifier).
    pred : array of float
        Predictions (probabilities of the positive class for a classifier).
    w : array of float, optional
        Row weights.
    classification : bool
        Test by the Bernoulli null instead of the t-test.
    alpha : float
        Level of the interval.
    reference : Reference, optional
        The residuals on all test rows; gives ``spread_ratio`` and the excess of ``bias_share``.

    Returns
    -------
    BiasCheck
        With NaN statistics where fewer than two rows (or no variance under the null) leave
        the test undefined.
    """
    y, pred = np.asarray(y, dtype=np.float64), np.asarray(pred, dtype=np.float64)
    w = np.ones_like(y) if w is None else np.asarray(w, dtype=np.float64)
    keep = w > 0
    y, pred, w = y[keep], pred[keep], w[keep]
    nan = float("nan")
    if y.size == 0:
        return BiasCheck(0, nan, nan, nan, nan, nan, nan, nan, nan, nan, "noise")
    w = w / w.max()  # the tests do not depend on the weights' scale; their squares must not underflow
    r = y - pred
    bias, centred, n_eff = _moments(r, w)
    sw = w.sum()
    mean_y, mean_p = float(np.dot(w, y) / sw), float(np.dot(w, pred) / sw)
    spread = np.sqrt(centred)
    se = np.sqrt(centred * n_eff / (n_eff - 1) / n_eff) if n_eff > 1 else nan
    if classification:
        null_sd = np.sqrt(np.dot(w * w, pred * (1 - pred)))
        stat = float(np.dot(w, r) / null_sd) if null_sd > 0 else nan
        p = float(2 * scipy.stats.norm.sf(abs(stat))) if np.isfinite(stat) else nan
        q = scipy.stats.norm.ppf(1 - alpha / 2)
    else:
        stat = float(bias / se) if n_eff > 1 and se > 0 else nan
        p = float(2 * scipy.stats.t.sf(abs(stat), n_eff - 1)) if np.isfinite(stat) else nan
        q = scipy.stats.t.ppf(1 - alpha / 2, n_eff - 1) if n_eff > 1 else nan
    half = q * se
    mean_square = bias * bias + centred
    excess = mean_square - reference.mean_square if reference is not None else 0.0
    base = excess if excess > 0 else mean_square
    share = float(bias * bias / base) if base > 0 else nan
    ratio = float(spread / reference.spread) if reference is not None and reference.spread > 0 else nan
    return BiasCheck(int(y.size), mean_y, mean_p, bias, bias - half, bias + half, stat, p, share, ratio,
                     _verdict(p, share, alpha))


def _verdict(p, share, alpha):
    if not p <= alpha:  # NaN: nothing shown to be biased
        return "noise"
    return "bias" if share >= BIAS_SHARE else "bias and noise"

