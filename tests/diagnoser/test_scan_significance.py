"""The scan's region statistics against SciPy, scikit-learn and direct computations from rows."""

import numpy as np
import pytest
import scipy.optimize
import scipy.special
import scipy.stats
from scan_sums_reference import set_sums, sums_of
from sklearn.metrics import f1_score, r2_score, roc_auc_score

from tamrel.diagnoser.scan_binary import binary_p
from tamrel.diagnoser.scan_moments import moments
from tamrel.diagnoser.scan_significance import (AucStats, Sums, auc_test, benjamini_hochberg, delong, mean_test,
                                                paired_test, quantities, score_from_sums, set_test)

RNG = np.random.default_rng(20240616)


def _split(rows, cuts):
    """Regions as slices of rows, each with its rest."""
    return [rows[a:b] for a, b in cuts], [np.concatenate([rows[:a], rows[b:]]) for a, b in cuts]


# --------------------------------------------------------------------------
# Welch's test: SciPy without weights, the textbook weighted form, frequency weights


def test_unweighted_welch_equals_scipy_and_interval_equals_rows():
    rows = RNG.standard_normal(400) ** 2
    cuts = [(0, 30), (50, 70), (100, 300), (390, 400)]
    regions, rests = _split(rows, cuts)
    for sign, alternative in ((-1, "greater"), (1, "less")):
        got = mean_test(sums_of(regions), sums_of([rows]), sign=sign, alpha=0.05)
        want = [scipy.stats.ttest_ind(r, o, equal_var=False, alternative=alternative).pvalue
                for r, o in zip(regions, rests)]
        np.testing.assert_allclose(got.p, want, rtol=1e-12, atol=1e-15)
    # the region's interval: Hall's transformation, written from the rows
    for i, x in enumerate(regions):
        n, m = x.size, x.mean()
        c = x - m
        m2, m3, m4 = (np.mean(c ** k) for k in (2, 3, 4))
        se, a = np.sqrt(m2 / (n - 1)), m3 / m2 ** 1.5 / np.sqrt(n)
        q = scipy.stats.t.ppf(0.975, np.clip(2 * n / max(m4 / m2 ** 2 - 1, 2), 1, n - 1))
        g_inv = lambda v: 3 / a * (np.cbrt(1 + a * (v - a / 6)) - 1)
        np.testing.assert_allclose([got.ci_low[i], got.ci_high[i]], [m - se * g_inv(q), m - se * g_inv(-q)],
                                   rtol=1e-10)


def test_weighted_welch_equals_textbook_formula():
    region, r_w = np.array([1.0, 2.0, 4.0, 3.5, 0.5]), np.array([1.0, 2.0, 1.0, 0.25, 3.0])
    rest, o_w = np.array([0.0, 1.0, 3.0, 5.0, 2.0, 2.5]), np.array([2.0, 1.0, 1.0, 0.5, 4.0, 1.5])

    def side(x, w):
        W, W2 = w.sum(), (w * w).sum()
        m = np.average(x, weights=w)
        var = np.sum(w * (x - m) ** 2) / (W - W2 / W)   # unbiased for reliability weights
        n_eff = W * W / W2                               # Kish
        return m, var / n_eff, n_eff

    (m1, v1, n1), (m2, v2, n2) = side(region, r_w), side(rest, o_w)
    t = (m1 - m2) / np.sqrt(v1 + v2)
    df = (v1 + v2) ** 2 / (v1 ** 2 / (n1 - 1) + v2 ** 2 / (n2 - 1))
    total = sums_of([np.r_[region, rest]], [np.r_[r_w, o_w]])
    got = mean_test(sums_of([region], [r_w]), total, sign=-1, alpha=0.05, min_rows=2)
    np.testing.assert_allclose(got.p, scipy.stats.t.sf(t, df), rtol=1e-12)
    # the same weights scaled by a power of two, with the scale given: the same test
    scaled = mean_test(sums_of([region], [r_w / 64]), sums_of([np.r_[region, rest]], [np.r_[r_w, o_w] / 64]),
                       sign=-1, alpha=0.05, min_rows=2)
    np.testing.assert_allclose(scaled.p, got.p, rtol=1e-13)
    # scores scaled by a power of two, with score_scale given: the same test, in the scores' units
    tiny = sums_of([region / 1024], [r_w]), sums_of([np.r_[region, rest] / 1024], [np.r_[r_w, o_w]])
    tiny = [Sums(**{**vars(t), "score_scale": 1024.0}) for t in tiny]
    unscaled = mean_test(*tiny, sign=-1, alpha=0.05, min_rows=2)
    for field in ("p", "ci_low", "ci_high", "ratio", "ratio_low", "ratio_high", "score"):
        np.testing.assert_allclose(getattr(unscaled, field), getattr(got, field), rtol=1e-12, err_msg=field)


def test_frequency_weights_equal_repeated_rows():
    rows = RNG.exponential(size=120)
    k = RNG.integers(1, 4, size=120).astype(float)
    cuts = [(0, 25), (40, 100)]
    regions, _ = _split(rows, cuts)
    reg_w, _ = _split(k, cuts)
    for scale in (1.0, 0.25):
        got = mean_test(sums_of(regions, [w * scale for w in reg_w], scale=1 / scale),
                        sums_of([rows], [k * scale], scale=1 / scale), sign=-1, alpha=0.1, weights="frequency")
        rep = np.repeat(rows, k.astype(int))
        reg_rep = [np.repeat(r, w.astype(int)) for r, w in zip(regions, reg_w)]
        want = mean_test(sums_of(reg_rep), sums_of([rep]), sign=-1, alpha=0.1)
        for field in ("p", "ci_low", "ci_high", "ratio", "ratio_low", "ratio_high"):
            np.testing.assert_allclose(getattr(got, field), getattr(want, field), rtol=1e-10, err_msg=field)
    # as sampling weights the same rows count less: Kish's size is below the weight sum
    sampling = mean_test(sums_of(regions, reg_w), sums_of([rows], [k]), sign=-1, alpha=0.1)
    assert np.all(sampling.ci_high - sampling.ci_low > got.ci_high - got.ci_low)


def test_threshold_null_is_the_contrast_against_the_overall_mean():
    rows = RNG.standard_normal(300) ** 2
    region, rest = rows[:60] * 1.5, rows[60:]
    total = sums_of([np.r_[region, rest]])
    one = mean_test(sums_of([region]), total, sign=-1, alpha=0.05, null="threshold", multiplier=1.0)
    plain = mean_test(sums_of([region]), total, sign=-1, alpha=0.05)
    np.testing.assert_allclose(one.p, plain.p, rtol=1e-12)  # multiplier 1: the region against the rest
    # multiplier c: region mean - c * overall mean, the overall mean holding the region (share pi)
    c, pi = 1.2, 60 / 300
    a, b = 1 - c * pi, c * (1 - pi)
    v1, v2 = region.var(ddof=1) / 60, rest.var(ddof=1) / 240
    t = (a * region.mean() - b * rest.mean()) / np.sqrt(a * a * v1 + b * b * v2)
    df = (a * a * v1 + b * b * v2) ** 2 / ((a * a * v1) ** 2 / 59 + (b * b * v2) ** 2 / 239)
    got = mean_test(sums_of([region]), total, sign=-1, alpha=0.05, null="threshold", multiplier=c)
    np.testing.assert_allclose(got.p, scipy.stats.t.sf(t, df), rtol=1e-12)
    assert got.p > plain.p  # worse than 1.2 x overall is harder to show than worse than the rest


# --------------------------------------------------------------------------
# 0/1 scores: Fisher's exact test, the score test, the floor


def test_binary_small_all_miss_region_is_exact_not_welch():
    hits = (RNG.random(400) < 0.8).astype(float)
    hits[:6] = 0.0  # six misclassified rows
    region, total = sums_of([hits[:6]]), sums_of([hits])
    got = mean_test(region, total, sign=1, alpha=0.05, binary=True, bounds=(0, 1), min_rows=5)
    rest = hits[6:]
    table = [[0, 6], [int(rest.sum()), int(rest.size - rest.sum())]]
    assert got.p == pytest.approx(scipy.stats.fisher_exact(table, alternative="less").pvalue, rel=1e-10)
    assert got.p > 1e-5   # Welch's t said 1e-206
    # Wilson's interval of the hit rate: from 0, inside [0, 1]
    z = scipy.stats.norm.ppf(0.975)
    assert got.ci_low == 0.0 and got.ci_high == pytest.approx(z * z / (6 + z * z), rel=1e-12)
    # the floor: six rows are below the default of ten
    assert np.isnan(mean_test(region, total, sign=1, alpha=0.05, binary=True).p).all()
    # ACC higher is better, a 0/1 loss lower is better: the same rows, the same test
    loss = mean_test(sums_of([1 - hits[:6]]), sums_of([1 - hits]), sign=-1, alpha=0.05, binary=True, min_rows=5)
    assert loss.p == pytest.approx(got.p, rel=1e-12)


def test_binary_weighted_test_is_the_binomial_tail_at_the_pooled_rate():
    hits = (RNG.random(300) < 0.7).astype(float)
    w = RNG.uniform(0.5, 2.0, 300)
    got = mean_test(sums_of([hits[:80]], [w[:80]]), sums_of([hits], [w]), sign=1, alpha=0.05, binary=True,
                    bounds=(0, 1))
    n1, n2 = (np.sum(v) ** 2 / np.sum(v * v) for v in (w[:80], w[80:]))  # Kish
    p1, p2 = np.average(hits[:80], weights=w[:80]), np.average(hits[80:], weights=w[80:])
    pooled = (n1 * p1 + n2 * p2) / (n1 + n2)
    f = n2 / (n1 + n2 - 1)  # Fisher's finite-population factor
    bad1 = n1 * (1 - p1) * f
    assert got.p == pytest.approx(scipy.special.betainc(bad1, n1 * f - bad1 + 1, 1 - pooled), rel=1e-10)


def test_binary_ratio_null_takes_the_restricted_rate():
    # H0 "the region's hit rate is at least theta times the rest's" (the threshold null): the
    # binomial tail of the region's misses at the rate that maximizes the likelihood under H0
    n1, x1, n2, x2, theta = 200.5, 110.3, 8.4, 7.6, 0.7
    loglik = lambda r: -(x1 * np.log(theta * r) + (n1 - x1) * np.log1p(-theta * r) + x2 * np.log(r)
                         + (n2 - x2) * np.log1p(-r))
    r1 = theta * scipy.optimize.minimize_scalar(loglik, bounds=(1e-9, 1 - 1e-9), method="bounded",
                                                options={"xatol": 1e-14}).x
    got = binary_p(np.array([x1 / n1]), np.array([n1]), np.array([x2 / n2]), np.array([n2]), 1, theta)
    assert got[0] == pytest.approx(scipy.special.betainc(n1 - x1, x1 + 1, 1 - r1), rel=1e-6)
    # a 0/1 loss (lower is better) with the same rows counted the other way: the same p-value
    args = [np.array([v]) for v in (x1 / n1, n1, x2 / n2, n2)]
    flipped = [np.array([v]) for v in (1 - x1 / n1, n1, 1 - x2 / n2, n2)]
    assert binary_p(*flipped, -1, 1.0)[0] == pytest.approx(binary_p(*args, 1, 1.0)[0], rel=1e-12)


def test_floor_and_row_counts_decide_on_counts():
    x = RNG.exponential(size=40)
    w = RNG.uniform(0.3, 3.0, 40)
    total = sums_of([x], [w])
    # a one-row rest with non-integer weights: no test, whatever the rounding of total - region
    one_rest = mean_test(sums_of([x[:39]], [w[:39]]), total, sign=-1, alpha=0.05, min_rows=2)
    assert np.isnan(one_rest.p).all() and np.isnan(one_rest.ratio_low).all()
    # one row of frequency weight 5 is five identical rows, yet one row: no spread to test
    assert not moments(Sums(n=[1], w=[5.0], ws=[2.5], ws2=[1.25], w2=[25.0]), "frequency").valid[0]
    # a rest whose squared weights are below the rounding of the total's sum has no weight
    w_tiny = np.r_[w[:38], 1e-10, 1e-10]
    lost = mean_test(sums_of([x[:38]], [w_tiny[:38]]), sums_of([x], [w_tiny]), sign=-1, alpha=0.05, min_rows=2)
    assert np.isnan(lost.p).all()
    # min_rows: 10 rows are tested, 9 are not, on either side of the region
    p = mean_test(sums_of([x[:9], x[:10], x[:30], x[:31]], [w[:9], w[:10], w[:30], w[:31]]), total, sign=-1,
                  alpha=0.05, min_rows=10).p
    assert np.isnan(p[0]) and np.isfinite(p[1]) and np.isfinite(p[2]) and np.isnan(p[3])


def test_zero_and_extreme_weights():
    x = RNG.standard_normal(60) ** 2
    w = np.r_[np.zeros(20), RNG.uniform(0.5, 1.0, 40)]
    total = sums_of([x], [w])
    zero = mean_test(sums_of([x[:20], x[:30]], [w[:20], w[:30]]), total, sign=-1, alpha=0.05)
    assert np.isnan(zero.p[0]) and np.isnan(zero.ci_low[0])  # no weight: no effective rows, no exception
    plain = mean_test(sums_of([x[:30]]), sums_of([x]), sign=-1, alpha=0.05)
    for factor in (1e-310, 2.0 ** 1000 * 1e-300, 1e-300):  # subnormal, and weights whose squares underflow
        tiny = mean_test(sums_of([x[:30]], [np.full(30, factor)]), sums_of([x], [np.full(60, factor)]), sign=-1,
                         alpha=0.05)
        for field in ("p", "ci_low", "ci_high", "ratio"):
            np.testing.assert_allclose(getattr(tiny, field), getattr(plain, field), rtol=1e-6, err_msg=field)


def test_intervals_stay_in_the_metric_range():
    # two held-out rows of squared errors: the t interval reached -120,000
    region = np.array([0.0, 4.0e5])
    total = np.r_[region, RNG.exponential(size=50)]
    got = mean_test(sums_of([region]), sums_of([total]), sign=-1, alpha=0.05, min_rows=2)
    assert got.ci_low[0] >= 0 and got.ci_high[0] > 2.0e5 and got.ratio_low[0] >= 0
    hits = np.r_[np.ones(12), np.zeros(30)]
    acc = mean_test(sums_of([hits[:12], hits[12:]]), sums_of([hits]), sign=1, alpha=0.05, binary=True,
                    bounds=(0, 1))
    assert acc.ci_high[0] == 1.0 and acc.ci_low[1] == 0.0 and np.all(acc.ci_low <= acc.ci_high)


def test_bad_inputs_name_the_argument():
    good = sums_of([np.ones(12)])
    cases = [
        (lambda: Sums(n=[1.0], w=[1.0], ws=[1.0], ws2=[1.0], w2=[1.0]), "Sums.n"),
        (lambda: Sums(n=[1, 2], w=[1.0], ws=[1.0], ws2=[1.0], w2=[1.0]), "Sums.w"),
        (lambda: Sums(n=[1], w=[-1.0], ws=[1.0], ws2=[1.0], w2=[1.0]), "negative"),
        (lambda: Sums(n=[1], w=[np.inf], ws=[1.0], ws2=[1.0], w2=[1.0]), "Sums.w"),
        (lambda: mean_test(good, good, sign=0, alpha=0.05), "sign"),
        (lambda: mean_test(good, good, sign=1, alpha=1.5), "alpha"),
        (lambda: mean_test(good, good, sign=1, alpha=0.05, null="other"), "null"),
        (lambda: mean_test(good, good, sign=1, alpha=0.05, weights="counts"), "weights"),
        (lambda: mean_test(good, good, sign=1, alpha=0.05, bounds=(1, 0)), "bounds"),
        (lambda: mean_test(good, good, sign=1, alpha=0.05, min_rows=1), "min_rows"),
        (lambda: mean_test(good, good, sign=1, alpha=0.05, null="threshold", multiplier=-1), "multiplier"),
        (lambda: mean_test(Sums(n=[3], w=[3.0], ws=[1.0], ws2=[1.0], w2=[3.0]), good, sign=1, alpha=0.05), "ws3"),
    ]
    for call, word in cases:
        with pytest.raises(ValueError, match=word):
            call()


# --------------------------------------------------------------------------
# Benjamini-Hochberg and the paired test


def _bh_brute(p):
    """q_i = min over p_j >= p_i of min(1, p_j m / rank_j), rank over the finite p-values."""
    ok = np.isfinite(p)
    m = ok.sum()
    q = np.full(p.shape, np.nan)
    ranks = scipy.stats.rankdata(p[ok], method="max")
    raw = np.minimum(p[ok] * m / ranks, 1.0)
    q[ok] = [raw[p[ok] >= v].min() for v in p[ok]]
    return q


def test_benjamini_hochberg():
    p = np.r_[RNG.random(40) ** 3, [np.nan, 0.01, 0.01, 1.0, np.nan]]
    q = benjamini_hochberg(p)
    np.testing.assert_allclose(q, _bh_brute(p), rtol=1e-15)
    assert np.array_equal(np.isnan(q), np.isnan(p))
    order = np.argsort(p[np.isfinite(p)])
    assert np.all(np.diff(q[np.isfinite(p)][order]) >= 0)
    # p * m / m rounding one ulp below p: q never falls below p
    m = 3
    value = next(v for v in np.linspace(0.5, 0.9, 1000) if v * m / m < v)
    q = benjamini_hochberg(np.array([value / 10, value / 5, value]))
    assert np.all(q >= np.array([value / 10, value / 5, value])) and q[-1] == value
    assert np.isnan(benjamini_hochberg(np.array([np.nan, np.nan]))).all()


def test_paired_test_equals_scipy_one_sample():
    d = RNG.standard_normal(200) + 0.1
    cuts = [(0, 20), (20, 120), (0, 200)]
    regions = [d[a:b] for a, b in cuts]
    got = paired_test(sums_of(regions), alpha=0.1)
    for i, r in enumerate(regions):
        ref = scipy.stats.ttest_1samp(r, 0.0, alternative="greater")
        assert got.p[i] == pytest.approx(ref.pvalue, rel=1e-12)
        ci = scipy.stats.ttest_1samp(r, 0.0).confidence_interval(0.9)
        np.testing.assert_allclose([got.ci_low[i], got.ci_high[i]], [ci.low, ci.high], rtol=1e-12)
    # differences of hits: the exact sign test on the rows that differ (McNemar)
    flips = np.r_[np.ones(9), -np.ones(2), np.zeros(30)]
    sign = paired_test(sums_of([flips]), alpha=0.05, binary=True)
    assert sign.p[0] == pytest.approx(scipy.stats.binomtest(9, 11, 0.5, alternative="greater").pvalue, rel=1e-12)
    all_worse = paired_test(sums_of([np.ones(12)]), alpha=0.05, binary=True)
    assert all_worse.p[0] == pytest.approx(0.5 ** 12)  # no spread, yet not 0


# --------------------------------------------------------------------------
# AUC: DeLong against the O(n^2) definition and scikit-learn


def _delong_brute(y, s, w):
    pos, neg = np.flatnonzero(y == 1), np.flatnonzero(y == 0)
    psi = (s[pos][:, None] > s[neg][None, :]) + 0.5 * (s[pos][:, None] == s[neg][None, :])
    v10, v01 = psi @ w[neg] / w[neg].sum(), w[pos] @ psi / w[pos].sum()
    auc = np.average(v10, weights=w[pos])

    def part(v, ww):  # weighted variance of the components over Kish's size minus one
        kish = ww.sum() ** 2 / np.sum(ww * ww)
        return np.average((v - auc) ** 2, weights=ww) / (kish - 1)
    return auc, part(v10, w[pos]) + part(v01, w[neg])


def test_delong_against_brute_force_and_sklearn():
    for trial in range(6):
        n = 25 + 7 * trial
        y = RNG.integers(0, 2, n)
        s = RNG.integers(0, 6, n).astype(float) if trial % 2 else RNG.standard_normal(n)  # ties, then none
        w = RNG.uniform(0.1, 3.0, n)
        auc, var = delong(y, s, w)
        want = _delong_brute(y, s, w)
        assert auc == pytest.approx(want[0], rel=1e-12) and var == pytest.approx(want[1], rel=1e-10)
        assert auc == pytest.approx(roc_auc_score(y, s, sample_weight=w), rel=1e-12)
        # unweighted: DeLong's S10 / m + S01 / n with ddof-1 variances
        auc, var = delong(y, s)
        pos, neg = y == 1, y == 0
        psi = (s[pos][:, None] > s[neg][None, :]) + 0.5 * (s[pos][:, None] == s[neg][None, :])
        classic = psi.mean(1).var(ddof=1) / pos.sum() + psi.mean(0).var(ddof=1) / neg.sum()
        assert auc == pytest.approx(roc_auc_score(y, s), rel=1e-12) and var == pytest.approx(classic, rel=1e-10)
    assert np.isnan(delong(np.ones(5), np.arange(5.0))[0])
    with pytest.raises(ValueError, match="0/1"):
        delong(np.array([0, 2]), np.array([0.1, 0.2]))


def test_auc_test_and_perfectly_wrong_small_region():
    region = AucStats(auc=[0.6, 0.0], var=[0.004, 0.0], n_pos=[40, 4], n_neg=[60, 8])
    rest = AucStats(auc=[0.8, 0.8], var=[0.001, 0.001], n_pos=[400, 400], n_neg=[600, 600])
    got = auc_test(region, rest, alpha=0.05, total=AucStats([0.78] * 2, [0.0009] * 2, [440] * 2, [660] * 2))
    df = 0.005 ** 2 / (0.004 ** 2 / 39 + 0.001 ** 2 / 399)  # Welch-Satterthwaite, smaller class less one
    assert got.p[0] == pytest.approx(scipy.stats.t.sf(0.2 / np.sqrt(0.005), df), rel=1e-12)
    assert 0 <= got.ci_low[0] < 0.6 < got.ci_high[0] <= 1
    assert got.ratio[0] == pytest.approx(0.6 / 0.78) and got.ratio_low[0] < got.ratio[0] < got.ratio_high[0]
    # 4 positives all ranked below 8 negatives: DeLong's variance is 0, the null's is not
    assert got.p[1] > 1e-4 and got.ci_low[1] == 0.0


# --------------------------------------------------------------------------
# R2 and F1 from sums


def test_set_scores_equal_sklearn():
    y = RNG.standard_normal(80) * 4 + 1e3
    pred = y + RNG.standard_normal(80)
    w = RNG.uniform(0.2, 2.0, 80)
    q = quantities("R2", y, pred, shift=1e3, scale=8.0)
    for weights in (None, w):
        score, var = score_from_sums("R2", set_sums(q, weights))
        assert score == pytest.approx(r2_score(y, pred, sample_weight=weights), rel=1e-12) and var > 0
    yb, pb = RNG.integers(0, 2, 80), RNG.integers(0, 2, 80)
    for weights in (None, w):
        score, var = score_from_sums("F1", set_sums(quantities("F1", yb, pb), weights))
        assert score == pytest.approx(f1_score(yb, pb, sample_weight=weights), rel=1e-12) and var > 0


def test_r2_variance_is_the_delta_method_from_rows():
    y = 3.0 + RNG.standard_normal(60)
    pred = 3.0 + 0.7 * (y - 3.0) + 0.5 * RNG.standard_normal(60)
    score, var = score_from_sums("R2", set_sums(quantities("R2", y, pred)))
    q = np.stack([(y - pred) ** 2, y, y * y])
    f = lambda e: 1 - e[0] / (e[2] - e[1] ** 2)
    mean, step = q.mean(1), 1e-6
    grad = np.array([(f(mean + step * d) - f(mean - step * d)) / (2 * step) for d in np.eye(3)])
    assert score == pytest.approx(r2_score(y, pred), rel=1e-12)
    assert var == pytest.approx(grad @ np.cov(q, ddof=1) @ grad / 60, rel=1e-6)
    # the test of a region (20 rows) against its rest (40 rows): Welch-Satterthwaite on the two
    parts = [set_sums(quantities("R2", y[a:b], pred[a:b])) for a, b in ((0, 20), (20, 60))]
    (f1, v1), (f2, v2) = (score_from_sums("R2", part) for part in parts)
    df = (v1 + v2) ** 2 / (v1 ** 2 / 19 + v2 ** 2 / 39)
    got = set_test("R2", *parts, alpha=0.05)
    assert got.p == pytest.approx(scipy.stats.t.sf((f2 - f1) / np.sqrt(v1 + v2), df), rel=1e-10)


def test_set_test_small_f1_region_without_hits_is_not_significant_alone():
    # 12 rows, none a true positive: the region's own delta variance is 0
    y, p = np.r_[np.ones(4), np.zeros(8)], np.zeros(12)
    yr = (RNG.random(500) < 0.4).astype(float)
    pr = np.where(yr == 1, RNG.random(500) < 0.8, RNG.random(500) < 0.1).astype(float)
    got = set_test("F1", set_sums(quantities("F1", y, p)), set_sums(quantities("F1", yr, pr)), alpha=0.05)
    assert got.score == 0.0 and got.p > 1e-4 and got.ci_low == 0.0
    with pytest.raises(ValueError, match="0/1"):
        quantities("F1", np.array([0, 2]), np.array([0, 1]))
