"""The report's own statistics against reference implementations."""

import numpy as np
import pytest
import scipy.stats
from sklearn.metrics import mean_absolute_error, mean_squared_error, r2_score, log_loss, brier_score_loss

from tamrel.report.bias import Reference, bias_check
from tamrel.report.scores import add_sums, block_sums, scores_of

RNG = np.random.default_rng(7)


def test_regression_bias_is_the_one_sample_t_test():
    y = RNG.normal(size=40)
    pred = y - 0.3 + RNG.normal(scale=0.5, size=40)
    check = bias_check(y, pred, alpha=0.1)
    ref = scipy.stats.ttest_1samp(y - pred, 0.0)
    assert check.statistic == pytest.approx(ref.statistic, rel=1e-12)
    assert check.p_value == pytest.approx(ref.pvalue, rel=1e-10)
    ci = ref.confidence_interval(0.9)
    assert (check.ci_low, check.ci_high) == (pytest.approx(ci.low, rel=1e-10), pytest.approx(ci.high, rel=1e-10))
    assert check.mean_outcome - check.mean_prediction == pytest.approx(check.bias, rel=1e-12)


def test_weighted_bias_by_kish_size():
    # integer weights: the weighted mean equals the repeated rows'; the effective size is (sum w)^2 / sum w^2
    r = np.array([1.0, -0.5, 2.0, 0.25, 1.5])
    w = np.array([1.0, 2.0, 1.0, 3.0, 1.0])
    check = bias_check(r, np.zeros(5), w)
    mean = np.sum(w * r) / w.sum()
    n_eff = w.sum() ** 2 / np.sum(w * w)
    s2 = n_eff / (n_eff - 1) * np.sum(w * (r - mean) ** 2) / w.sum()
    t = mean / np.sqrt(s2 / n_eff)
    assert check.bias == pytest.approx(mean, rel=1e-14) and check.statistic == pytest.approx(t, rel=1e-12)
    assert check.p_value == pytest.approx(2 * scipy.stats.t.sf(abs(t), n_eff - 1), rel=1e-12)
    # the scale of the weights changes nothing
    assert bias_check(r, np.zeros(5), w * 1e-200).p_value == pytest.approx(check.p_value, rel=1e-12)


def test_classifier_bias_is_the_binomial_score_test():
    # equal probabilities and unit weights: z = (k - n p) / sqrt(n p (1 - p)), close to the exact binomial test
    n, p = 4000, 0.3
    y = np.zeros(n)
    y[:1290] = 1.0
    check = bias_check(y, np.full(n, p), classification=True)
    z = (1290 - n * p) / np.sqrt(n * p * (1 - p))
    assert check.statistic == pytest.approx(z, rel=1e-12)
    exact = scipy.stats.binomtest(1290, n, p).pvalue
    assert check.p_value == pytest.approx(exact, rel=0.1)
    # weighted: sum w (y - p) over the null's standard deviation sqrt(sum w^2 p (1 - p))
    w = RNG.uniform(0.5, 3.0, n)
    proba = RNG.uniform(0.1, 0.9, n)
    z = np.sum(w * (y - proba)) / np.sqrt(np.sum(w * w * proba * (1 - proba)))
    assert bias_check(y, proba, w, classification=True).statistic == pytest.approx(z, rel=1e-12)
    # all outcomes 1 in a small region: the variance is the null's, not 0
    small = bias_check(np.ones(3), np.full(3, 0.6), classification=True)
    assert 0.1 < small.p_value < 0.5 and small.verdict == "noise"


def test_classifier_bias_holds_its_level_under_the_null():
    proba = RNG.uniform(0.05, 0.95, 60)
    rejected = sum(bias_check((RNG.random(60) < proba).astype(float), proba, classification=True).p_value <= 0.05
                   for _ in range(2000))
    assert rejected / 2000 <= 0.065


@pytest.mark.parametrize("shift, spread, verdict", [(0.0, 3.0, "noise"), (2.0, 1.0, "bias"),
                                                   (0.4, 3.0, "bias and noise")])
def test_verdicts(shift, spread, verdict):
    y = RNG.normal(size=3000) * spread
    pred = y - shift - RNG.normal(size=3000) * 0.0
    noise = RNG.normal(size=3000) * spread
    check = bias_check(pred + shift + noise, pred, reference=Reference(1.0, 1.0))
    assert check.verdict == verdict
    assert check.spread_ratio == pytest.approx(spread, rel=0.1)


def test_summary_scores_match_scikit_learn_over_blocks():
    y = RNG.normal(loc=1e6, size=500)  # a large mean: the spread of y must keep its digits
    pred = y + RNG.normal(size=500)
    w = RNG.uniform(0.1, 3.0, 500)
    parts = [block_sums("regression", y[a:b], pred[a:b], None, w[a:b]) for a, b in ((0, 7), (7, 300), (300, 500))]
    total = parts[0]
    for part in parts[1:]:
        total = add_sums(total, part)
    scores = scores_of(total, "regression")
    assert scores["MSE"] == pytest.approx(mean_squared_error(y, pred, sample_weight=w), rel=1e-12)
    assert scores["MAE"] == pytest.approx(mean_absolute_error(y, pred, sample_weight=w), rel=1e-12)
    assert scores["R2"] == pytest.approx(r2_score(y, pred, sample_weight=w), rel=1e-9)

    labels = np.where(RNG.random(500) < 0.4, "yes", "no")
    proba = RNG.uniform(0.01, 0.99, 500)
    sums = block_sums("classification", labels, np.where(proba > 0.5, "yes", "no"), proba, None, ["no", "yes"])
    scores = scores_of(sums, "classification")
    truth = (labels == "yes").astype(float)
    assert scores["LogLoss"] == pytest.approx(log_loss(truth, proba), rel=1e-12)
    assert scores["Brier"] == pytest.approx(brier_score_loss(truth, proba), rel=1e-12)
    assert scores["ACC"] == pytest.approx(np.mean(labels == np.where(proba > 0.5, "yes", "no")), rel=1e-12)
    assert scores["AUC"] is None  # no sums for a ranking
