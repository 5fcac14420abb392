"""Two-feature histogram analysis through the facade and the slicer, checked against the
NumPy formulation; per-bin summaries, percentile positions and region membership."""

import numpy as np
import pandas as pd
import pytest
import scipy.stats

from numpy_reference_2d import _slice_second, frailzone_reference, region_members, slice_two_features
from tamrel.diagnoser.frailzone import FrailZone, HistogramSlicing
from tamrel.diagnoser.utils import get_scoring_metric


def make_data(n=3000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3))
    y = x[:, 0] + rng.normal(size=n) * (0.2 + 2.0 * (x[:, 1] > 0.8) + 1.0 * (x[:, 2] < -1.0))
    perm = rng.permutation(n)
    return x, y, x[:, 0].copy(), perm[: int(0.8 * n)], perm[int(0.8 * n):]


def assert_same_rules(got, want):
    assert len(got) == len(want)
    for rule, (lb1, ub1, lb2, ub2, value, count) in zip(got, want):
        assert list(rule) == ["splits", "values", "counts"]
        assert rule["splits"] == {"f0": {"lb": lb1, "ub": ub1}, "f1": {"lb": lb2, "ub": ub2}}
        assert rule["counts"] == count
        np.testing.assert_allclose(rule["values"], value, rtol=1e-12)


def assert_same_records(got, want):
    assert [list(r) for r in got] == [list(r) for r in want]
    for a, b in zip(got, want):
        np.testing.assert_allclose(list(a.values()), list(b.values()), rtol=1e-12)


def slicer(bins=10, min_samples=1, metric="MSE", threshold=1.2):
    s = HistogramSlicing(slice_features=["a", "b"], bins=bins, min_samples=min_samples, metric=metric,
                         threshold=threshold)
    s.feature_names = ["a", "b"]
    return s


def fit2(s, x, scores, w=None, y=None, pred=None):
    x = np.asarray(x, dtype=float)
    n = len(x)
    y = np.zeros(n) if y is None else y
    s._fit(x, y, np.zeros(n) if pred is None else pred, np.asarray(scores, float), sample_weight=w)
    return s


@pytest.mark.parametrize(
    "metric, bins, threshold, use_test, weighted",
    [
        ("MSE", 10, 1.2, False, False),
        ("MSE", 7, 1.1, True, True),
        ("MAE", 4, 1.05, False, True),
        ("AUC", 5, 1.02, False, False),
        ("R2", 3, 1.0, True, True),
    ],
)
def test_matches_numpy_formulation(metric, bins, threshold, use_test, weighted):
    x, y, pred, tr, te = make_data()
    w = np.random.default_rng(1).uniform(0.2, 2.0, len(y)) if weighted else None
    if metric == "AUC":
        y = (y > 0.5).astype(float)
        pred = 1 / (1 + np.exp(-3 * x[:, 0]))
    kwargs = {"prediction_proba": pred} if metric == "AUC" else {"prediction": pred}
    fz = FrailZone(None, ["X1", "X2"], threshold=threshold, bins=bins, metric=metric, use_test=use_test)
    fz.fit(x, y, tr, te, sample_weight=w, **kwargs)
    scoring = get_scoring_metric(metric)
    table, (regions, rules, edges, bin_stats), tv = frailzone_reference(
        x, y, pred, tr, te, [1, 2], ["X1", "X2"], scoring, threshold, bins=bins, w=w, use_test=use_test)
    assert table is not None and len(table) >= 2
    pd.testing.assert_frame_equal(fz.output, table, check_exact=False, rtol=1e-12, check_dtype=False)
    assert list(fz.output.columns)[:4] == ["[X1", "X1)", "[X2", "X2)"]
    assert_same_rules(fz.diag.rule_list, rules)
    assert_same_records(fz.diag.weak_region, regions)
    assert_same_records(fz.diag.bin_stats, bin_stats)
    np.testing.assert_array_equal(fz.diag.bins1d, edges)
    assert fz.diag.threshold_value == pytest.approx(tv, rel=1e-12)

    # get_target_idx: the rows of each region on both features, regions in table order.
    sliced = fz.diag.x[:, [1, 2]]
    ordered = [{k: rec[k] for k in ("lb1", "ub1", "lb2", "ub2")} for rec in fz.diag.weak_region_stats]
    np.testing.assert_array_equal(fz.get_target_idx(), np.concatenate(region_members(sliced, ordered, sliced)))
    assert fz.get_result().value["data"] is fz.output


def test_rows_at_the_top_of_a_bin_stay_in_their_region():
    # First-feature bin 0 holds second-feature values 0..9, bin 1 reaches 19. The weak
    # region of bin 0 ends at 9, its own largest value: the rows at 9 belong to it.
    x0 = np.repeat([0.0, 1.0], 200)
    x1 = np.r_[np.tile(np.arange(10.0), 20), np.tile(np.arange(20.0), 10)]
    x = np.column_stack([x0, x1])
    y = np.where((x0 == 0) & (x1 >= 5), 3.0, 0.1)
    pred = np.zeros(len(y))
    train = np.arange(len(y))
    test = np.arange(0, len(y), 2)
    fz = FrailZone(None, ["X0", "X1"], bins=2, min_samples=5)
    fz.fit(x, y, train, test, prediction=pred)
    rec = fz.diag.weak_region_stats[0]
    assert (rec["lb1"], rec["ub1"], rec["lb2"], rec["ub2"]) == (0.0, 0.5, 4.5, 9.0)
    assert (rec["lb2q"], rec["ub2q"]) == (50.0, 100.0)
    inside = (x0 == 0) & (x1 >= 5)
    assert rec["#Train"] == inside.sum() and rec["#Test"] == inside[test].sum()
    assert rec["train_MSE"] == pytest.approx(np.mean((y[inside] - 0) ** 2), rel=1e-12)
    np.testing.assert_array_equal(fz.get_target_idx(), np.where(inside)[0])


class TestBins:
    def test_empty_bin_constant_feature_and_supports(self):
        x = np.r_[[[0.0, v] for v in range(5)], [[0.2, 0.0], [3.8, 0.0]], [[4.0, v] for v in range(5)]]
        scores = np.r_[np.zeros(6), np.ones(6)]
        s = fit2(slicer(bins=4, threshold=1.5), x, scores)
        assert [b["support"] for b in s.bin_stats] == [6, 0, 0, 6]
        gap = s.bin_stats[1]
        assert list(gap) == ["lb1", "ub1", "lb2", "ub2", "support"]
        assert (gap["lb1"], gap["ub1"]) == (1.0, 2.0) and np.isnan(gap["lb2"]) and np.isnan(gap["ub2"])
        assert [r["splits"]["f0"]["lb"] for r in s.rule_list] == [0.0] * 4 + [3.0]
        assert s.weak_region == [{"lb1": 3.0, "ub1": 4.0, "lb2": 0.0, "ub2": 4.0, "lb2q": 0.0, "ub2q": 100.0}]

        const = fit2(slicer(bins=10), np.column_stack([np.full(6, 2.0), np.arange(6.0)]), np.arange(6.0))
        np.testing.assert_array_equal(const.bins1d, [1.5, 2.5])
        assert const.bin_stats == [{"lb1": 2.0, "ub1": 2.0, "lb2": 0.0, "ub2": 5.0, "support": 6}]
        assert all(r["splits"]["f0"] == {"lb": 2.0, "ub": 2.0} for r in const.rule_list)

    def test_neighbouring_bins_stay_separate_and_two_values_two_slices(self):
        x = np.column_stack([np.repeat([0.0, 1.0, 2.0], 10), np.tile([0.0, 1.0], 15)])
        scores = np.where(x[:, 1] == 1.0, 5.0, 0.0)
        s = fit2(slicer(bins=10, threshold=1.2), x, scores)
        assert len(s.bin_stats) == 3 and sum(b["support"] for b in s.bin_stats) == 30
        # each bin's second feature has two values, so two slices; the weak upper one
        # is its own region in each first-feature bin
        assert [(r["lb1"], r["lb2"], r["ub2"]) for r in s.weak_region] == [
            (0.0, 0.5, 1.0), (2 / 3, 0.5, 1.0), (4 / 3, 0.5, 1.0)]
        assert all((r["lb2q"], r["ub2q"]) == (50.0, 100.0) for r in s.weak_region)
        assert len(s.rule_list) == 6

    def test_percentiles_follow_percentileofscore(self):
        rng = np.random.default_rng(5)
        x = np.column_stack([rng.integers(0, 3, 600).astype(float), np.round(rng.normal(size=600), 1)])
        scores = np.where(np.abs(x[:, 1]) > 0.9, 4.0, rng.uniform(size=600))
        s = fit2(slicer(bins=8, min_samples=3), x, scores)
        assert len(s.weak_region) >= 4
        for r in s.weak_region:
            inner = x[(x[:, 0] >= r["lb1"]) & (x[:, 0] <= r["ub1"]), 1]
            kind = "weak" if r["ub2"] == inner.max() else "strict"
            assert r["lb2q"] == scipy.stats.percentileofscore(inner, r["lb2"], kind="strict")
            assert r["ub2q"] == scipy.stats.percentileofscore(inner, r["ub2"], kind=kind)

    def test_zero_weights_in_a_merged_region_give_the_unweighted_mean(self):
        x = np.column_stack([np.zeros(40), np.repeat([0.0, 1.0, 2.0, 3.0], 10)])
        scores = np.repeat([6.0, 4.0, 1.0, 1.0], 10)
        w = np.r_[np.zeros(20), np.ones(20)]
        s = fit2(slicer(bins=4, min_samples=1), x, scores, w)
        assert s.weak_region[0]["lb2"] == 0.0 and s.weak_region[0]["ub2"] == 1.5
        assert s.rule_list[0]["values"] == 5.0 and s.rule_list[0]["counts"] == 20

    def test_non_additive_constant_second_feature(self):
        rng = np.random.default_rng(2)
        x = np.column_stack([np.repeat([0.0, 1.0], 100), np.r_[np.full(100, 3.0), rng.uniform(size=100)]])
        y = (rng.uniform(size=200) < 0.5).astype(float)
        p = np.where(x[:, 0] == 0, rng.uniform(size=200), y * 0.8 + 0.1)
        s = slicer(bins=4, metric="AUC", threshold=1.05)
        overall = s.scoring_func(y, p)
        fit2(s, x, overall, y=y, pred=p)
        regions, rules, edges, stats = slice_two_features(x, y, p, overall, None, get_scoring_metric("AUC"),
                                                          s.threshold_value, 4, 1)
        assert_same_records(s.weak_region, regions)
        assert_same_rules(s.rule_list, rules)
        # the constant bin's one slice [2.5, 3.5) is weak and holds all of the bin's rows
        assert s.weak_region[0]["lb2"] == 2.5 and (s.weak_region[0]["lb2q"], s.weak_region[0]["ub2q"]) == (0.0, 100.0)


def test_fit1d_two_feature_mode_matches_the_grouped_pass():
    # _fit1d on one first-feature bin's rows gives that bin's part of _fit2d's results.
    rng = np.random.default_rng(4)
    x = np.column_stack([rng.uniform(size=500), np.round(rng.normal(size=500), 2)])
    scores = np.where(x[:, 1] > 0.7, 3.0, rng.uniform(size=500))
    w = np.where(x[:, 1] > 1.2, 0.0, rng.uniform(0.5, 1.5, 500))
    s = fit2(slicer(bins=6, min_samples=4), x, scores, w)
    first = x[:, 0] < s.bins1d[1]
    regions, rules, _ = s._fit1d(x[first, 1], None, None, scores[first], lb1=s.bin_stats[0]["lb1"],
                                 ub1=s.bin_stats[0]["ub1"], sample_weight=w[first])
    want_regions, want_rules = _slice_second(x[first, 1], None, None, scores[first], w[first],
                                             get_scoring_metric("MSE"), s.threshold_value, 6, 4,
                                             s.bin_stats[0]["lb1"], s.bin_stats[0]["ub1"])
    assert [tuple(r.values()) for r in regions] == want_regions and len(regions) >= 1
    assert_same_rules(rules, want_rules)
    assert_same_rules(s.rule_list[: len(rules)], want_rules)
    assert [{k: r[k] for k in ("lb1", "ub1", "lb2", "ub2")} for r in s.weak_region[: len(regions)]] == regions


class TestBadInput:
    def test_non_finite_columns_name_the_feature(self):
        x, y, pred, tr, te = make_data(n=400)
        bad = x.copy()
        bad[tr[0], 2] = np.inf
        with pytest.raises(ValueError, match="'X2'"):
            FrailZone(None, ["X1", "X2"]).fit(bad, y, tr, te, prediction=pred)
        bad = x.copy()
        bad[tr[0], 1] = np.nan
        with pytest.raises(ValueError, match="'X1'"):
            FrailZone(None, ["X1", "X2"]).fit(bad, y, tr, te, prediction=pred)

    def test_shapes_and_lengths(self):
        s = slicer()
        s.fidx, s.threshold_value = [0, 1], 1.0
        with pytest.raises(IndexError, match="column 1"):
            s._fit2d(np.zeros((4, 1)), np.zeros(4), np.zeros(4), np.zeros(4))
        with pytest.raises(ValueError, match="scores has 3 entries"):
            s._fit2d(np.zeros((4, 2)), np.zeros(4), np.zeros(4), np.zeros(3))
        with pytest.raises(ValueError, match="empty"):
            s._fit2d(np.zeros((0, 2)), np.zeros(0), np.zeros(0), np.zeros(0))

    def test_read_only_integer_input(self):
        x, y, pred, tr, te = make_data(n=1500)
        xi = np.round(x * 4).astype(np.int32)
        base = FrailZone(None, ["X1", "X2"], threshold=1.05)
        base.fit(xi.astype(float), y, tr, te, prediction=pred)
        xi.flags.writeable = False
        other = FrailZone(None, ["X1", "X2"], threshold=1.05)
        other.fit(np.asfortranarray(xi), y, tr, te, prediction=pred)
        pd.testing.assert_frame_equal(other.output, base.output)
        assert other.diag.bin_stats == base.diag.bin_stats
