"""Simulations of the scan's region statistics: interval coverage, null rates of whole scans, power.

Seeded and vectorised over repetitions. A coverage may fall short of its nominal level by
about three Monte Carlo standard errors and exceed it by about six (a slightly wide
interval is no fault; a short one is).
"""

import numpy as np
import pytest
import scipy.stats
from scan_sums_reference import plus, set_sums, sums_rows

from tamrel.diagnoser.scan_significance import (AucStats, Sums, auc_test, benjamini_hochberg, delong, mean_test,
                                                quantities, set_test)

ALPHA = 0.05
REPS = 2000
TOL = 3 * np.sqrt(ALPHA * (1 - ALPHA) / REPS)  # 0.0146


def _losses(kind, rng, shape):
    """Per-row losses of a model, and their mean."""
    if kind == "squared":
        return rng.standard_normal(shape) ** 2, 1.0
    if kind == "absolute":
        return np.abs(rng.standard_normal(shape)), np.sqrt(2 / np.pi)
    p = rng.uniform(0.05, 0.95, shape)  # log loss of a calibrated model
    grid = np.linspace(0.05, 0.95, 100001)
    entropy = -(grid * np.log(grid) + (1 - grid) * np.log1p(-grid))
    return np.where(rng.random(shape) < p, -np.log(p), -np.log1p(-p)), entropy.mean()


def _covers(low, high, truth):
    return np.mean((low <= truth) & (truth <= high))


def _nominal(coverage, tol=TOL):
    return 1 - ALPHA - tol <= coverage <= 1 - ALPHA + 2 * tol


@pytest.mark.parametrize("kind", ["squared", "absolute", "log"])
def test_region_and_ratio_intervals_cover(kind):
    rng = np.random.default_rng(["squared", "absolute", "log"].index(kind))
    for n, weighted in ((20, False), (100, True), (500, False)):
        x, mu = _losses(kind, rng, (REPS, n))
        z, mu_rest = _losses(kind, rng, (REPS, 300))
        x *= 1.5  # the region is worse
        w = rng.uniform(0.5, 2.0, x.shape) if weighted else None
        region, rest = sums_rows(x, w), sums_rows(z, None if w is None else rng.uniform(0.5, 2.0, z.shape))
        got = mean_test(region, plus(region, rest), sign=-1, alpha=ALPHA)
        assert _nominal(_covers(got.ci_low, got.ci_high, 1.5 * mu)), (n, weighted)
        # the ratio to the overall mean, the region holding its expected weight share
        ratio = 1.5 * mu / ((n * 1.5 * mu + 300 * mu_rest) / (n + 300))
        assert _nominal(_covers(got.ratio_low, got.ratio_high, ratio)), (n, weighted)
        assert np.all(got.ci_low >= 0) and np.all(got.ratio_low >= 0)


def test_hit_rate_interval_covers():
    rng = np.random.default_rng(7)
    for n in (20, 100, 500):
        rate = rng.uniform(0.6, 0.95, (REPS, 1))  # averaged over rates, as Wilson's coverage swings with them
        hits = (rng.random((REPS, n)) < rate).astype(float)
        rest = (rng.random((REPS, 200)) < 0.8).astype(float)
        region = sums_rows(hits)
        got = mean_test(region, plus(region, sums_rows(rest)), sign=1, alpha=ALPHA, binary=True, bounds=(0, 1))
        assert _nominal(_covers(got.ci_low, got.ci_high, rate[:, 0])), n
        assert np.all((got.ci_low >= 0) & (got.ci_high <= 1))


# --------------------------------------------------------------------------
# null scans: many overlapping regions (bins of features and pairs of bins) tested together,
# Benjamini-Hochberg over them; y is independent of the features


def _regions(rng, n_rows, features=6, bins=6):
    codes = np.minimum((rng.random((n_rows, features)) * bins).astype(int), bins - 1)
    cells = [codes[:, f] == b for f in range(features) for b in range(bins)]
    cells += [(codes[:, f] == b) & (codes[:, g] == c) for f in range(features) for g in range(f + 1, features)
              for b in range(bins) for c in range(bins)]
    member = np.array(cells, dtype=np.float64)
    return member[member.sum(1) >= 2]


def _scan_sums(member, scores, weights):
    """Sums of every region of every scan (scans x regions, flattened) and the totals."""
    n_scans, n_regions = scores.shape[1], member.shape[0]
    flat = lambda a: (member @ a).T.ravel()
    tot = lambda a: np.repeat(a.sum(0), n_regions)
    count = np.tile(member.sum(1).astype(np.int64), n_scans)
    powers = [weights * scores ** k for k in range(5)]
    region = Sums(count, flat(powers[0]), flat(powers[1]), flat(powers[2]), flat(weights * weights),
                  flat(powers[3]), flat(powers[4]))
    total = Sums(np.full(count.shape, scores.shape[0]), tot(powers[0]), tot(powers[1]), tot(powers[2]),
                 tot(weights * weights), tot(powers[3]), tot(powers[4]))
    return region, total


def _any_significant(p, n_scans):
    return np.mean([bool((benjamini_hochberg(row) <= ALPHA).any()) for row in p.reshape(n_scans, -1)])


@pytest.mark.parametrize("weights", ["none", "sampling", "frequency"])
def test_null_scans_of_hits_report_at_most_alpha(weights):
    # the case: hits of a model with accuracy 0.8, 80/20 split; Welch's test made
    # 34.5% of such scans report a region, almost all of them small all-miss regions
    rng = np.random.default_rng(11)
    n_rows, n_scans = 300, 150
    member = _regions(rng, n_rows)
    w = {"none": np.ones((n_rows, n_scans)), "sampling": rng.uniform(0.5, 2.0, (n_rows, n_scans)),
         "frequency": rng.integers(1, 4, (n_rows, n_scans)).astype(float)}[weights]
    if weights == "frequency":  # w rows sharing their features, each its own draw: k hits of w
        hits = rng.binomial(w.astype(int), 0.8) / w
    else:
        hits = (rng.random((n_rows, n_scans)) < 0.8).astype(float)
    region, total = _scan_sums(member, hits, w)
    kind = "frequency" if weights == "frequency" else "sampling"
    p = mean_test(region, total, sign=1, alpha=ALPHA, binary=True, bounds=(0, 1), weights=kind).p
    assert _any_significant(p, n_scans) <= ALPHA


@pytest.mark.parametrize("kind", ["squared", "absolute"])
def test_null_scans_of_losses_report_at_most_alpha(kind):
    # the floor of ten held-out rows: with five, scans of absolute errors reached alpha (Welch's
    # test on two to four rows is far from its t distribution)
    rng = np.random.default_rng(12)
    n_rows, n_scans = 300, 150
    member = _regions(rng, n_rows)
    losses, _ = _losses(kind, rng, (n_rows, n_scans))
    region, total = _scan_sums(member, losses, rng.uniform(0.5, 2.0, (n_rows, n_scans)))
    assert _any_significant(mean_test(region, total, sign=-1, alpha=ALPHA).p, n_scans) <= ALPHA
    unfloored = mean_test(region, total, sign=-1, alpha=ALPHA, min_rows=2).p
    assert _any_significant(unfloored, n_scans) > ALPHA  # what the floor is for


def test_threshold_null_holds_its_level_with_power():
    rng = np.random.default_rng(13)
    m, n, n_rest = 1.2, 60, 240
    share = n / (n + n_rest)
    for kind in ("squared", "hits"):
        rates = {}
        for planted in (1.0, 1.3):
            target = m * planted
            if kind == "hits":  # higher is better: worse by the factor is below overall / 1.2
                target = 1 / target
                rest_rate = 0.85
                rate = target * (1 - share) * rest_rate / (1 - target * share)
                x = (rng.random((REPS, n)) < rate).astype(float)
                z = (rng.random((REPS, n_rest)) < rest_rate).astype(float)
            else:
                x = target * (1 - share) / (1 - target * share) * rng.standard_normal((REPS, n)) ** 2
                z = rng.standard_normal((REPS, n_rest)) ** 2
            region = sums_rows(x)
            got = mean_test(region, plus(region, sums_rows(z)), sign=1 if kind == "hits" else -1, alpha=ALPHA,
                            null="threshold", multiplier=1 / m if kind == "hits" else m, binary=kind == "hits",
                            bounds=(0, 1) if kind == "hits" else (0, np.inf))
            rates[planted] = np.mean(got.p <= ALPHA)
        assert rates[1.0] <= ALPHA + TOL, kind    # a region exactly 1.2 x the overall: rejected at most alpha
        assert rates[1.3] >= 0.4, kind            # 1.56 x the overall on 60 rows: found about half the time


# --------------------------------------------------------------------------
# AUC, R2, F1


def test_auc_interval_covers_and_null_scans_hold():
    rng = np.random.default_rng(14)
    reps = 1200
    for shift, n_pos, n_neg in ((0.8, 15, 45), (1.5, 60, 60)):
        truth = scipy.stats.norm.cdf(shift / np.sqrt(2))
        stats = np.array([delong(np.r_[np.ones(n_pos), np.zeros(n_neg)],
                                 np.r_[rng.standard_normal(n_pos) + shift, rng.standard_normal(n_neg)])
                          for _ in range(reps)])
        region = AucStats(stats[:, 0], stats[:, 1], np.full(reps, n_pos), np.full(reps, n_neg))
        got = auc_test(region, region, alpha=ALPHA)
        tol = 3 * np.sqrt(ALPHA * (1 - ALPHA) / reps)
        assert _nominal(_covers(got.ci_low, got.ci_high, truth), tol)
    # null scans: 4 to 40 positives per region; the normal tail made one scan in eight report one
    n_rows, n_scans = 300, 40
    member = _regions(rng, n_rows, features=4, bins=5).astype(bool)
    hits = 0
    for _ in range(n_scans):
        y = (rng.random(n_rows) < 0.4).astype(float)
        score = y + rng.standard_normal(n_rows)
        sides = [[delong(y[m], score[m]) + (int(y[m].sum()), int((1 - y[m]).sum())) for m in member],
                 [delong(y[~m], score[~m]) + (int(y[~m].sum()), int((1 - y[~m]).sum())) for m in member]]
        region, rest = (AucStats(*np.array(s, dtype=object).T.tolist()) for s in sides)
        hits += bool((benjamini_hochberg(auc_test(region, rest, alpha=ALPHA).p) <= ALPHA).any())
    assert hits / n_scans <= ALPHA


def _r2_rows(rng, shape):
    x = rng.standard_normal(shape)
    return 3.0 + x + 0.8 * rng.standard_normal(shape), 3.0 + 0.9 * x, 1 - (0.1 ** 2 + 0.64) / 1.64


def _f1_rows(rng, shape):
    y = rng.random(shape) < 0.3
    pred = np.where(y, rng.random(shape) < 0.7, rng.random(shape) < 0.15)
    tp, fp, fn = 0.3 * 0.7, 0.7 * 0.15, 0.3 * 0.3
    return y.astype(float), pred.astype(float), 2 * tp / (2 * tp + fp + fn)


@pytest.mark.parametrize("metric", ["R2", "F1"])
def test_set_metric_intervals_cover_and_null_holds(metric):
    rng = np.random.default_rng(15)
    rows = _r2_rows if metric == "R2" else _f1_rows
    for n, weighted in ((20, False), (60, True), (400, False)):
        def sums(count):
            y, pred, truth = rows(rng, (REPS, count))
            w = rng.uniform(0.5, 2.0, y.shape) if weighted else None
            q = quantities(metric, y.ravel(), pred.ravel(), **({"w": w.ravel()} if metric == "F1" and weighted else {}))
            return set_sums({k: v.reshape(REPS, count) for k, v in q.items()}, w), truth
        (region, truth), (rest, _) = sums(n), sums(400)
        got = set_test(metric, region, rest, alpha=ALPHA)
        assert _nominal(_covers(got.ci_low, got.ci_high, truth), TOL + 0.005), (n, weighted)
        if metric == "F1" or n > 20:  # R2's ratio covers 93% on 20 rows
            assert _nominal(_covers(got.ratio_low, got.ratio_high, 1.0), TOL + 0.005), (n, weighted)
        assert np.mean(got.p <= ALPHA) <= ALPHA + TOL  # region and rest alike: H0 holds
    # null scans of small regions (10 to 20 rows): the normal tail made one in nine report one
    n_rows, n_scans = 300, 150
    member = _regions(rng, n_rows)
    y, pred, _ = rows(rng, (n_rows, n_scans))
    q = quantities(metric, y.T.ravel(), pred.T.ravel())
    region = {k: (member @ v.reshape(n_scans, n_rows).T).T.ravel() for k, v in q.items()}
    region.update(n=np.tile(member.sum(1).astype(np.int64), n_scans), w=np.tile(member.sum(1), n_scans))
    region["w2"] = region["w"]
    rest = {k: np.repeat(v.reshape(n_scans, n_rows).sum(1), member.shape[0]) - region[k] for k, v in q.items()}
    rest.update(n=n_rows - region["n"], w=n_rows - region["w"], w2=n_rows - region["w2"])
    assert _any_significant(set_test(metric, region, rest, alpha=ALPHA).p, n_scans) <= ALPHA
