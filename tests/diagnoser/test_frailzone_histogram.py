"""One-feature histogram analysis through the facade, checked against the NumPy formulation."""

import numpy as np
import pandas as pd
import pytest

from numpy_reference import frailzone_one_feature, slice_one_feature
from tamrel.diagnoser.frailzone import FrailZone, HistogramSlicing
from tamrel.diagnoser.utils import get_scoring_metric
from tamrel.exceptions import TamrelError


def make_data(n=3000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3))
    y = x[:, 0] + rng.normal(size=n) * (0.2 + 2.0 * (x[:, 1] > 0.8))
    pred = x[:, 0]
    perm = rng.permutation(n)
    return x, y, pred, perm[: int(0.8 * n)], perm[int(0.8 * n):]


def assert_same_table(got, want):
    if want is None:
        assert got is None
        return
    assert list(got.columns) == list(want.columns)
    pd.testing.assert_frame_equal(got.reset_index(drop=True), want.reset_index(drop=True),
                                  check_exact=False, rtol=1e-12, atol=0, check_dtype=False)


def assert_same_rules(got, want):
    assert len(got) == len(want)
    for rule, (lb, ub, value, count) in zip(got, want):
        assert list(rule) == ["splits", "values", "counts"]
        assert rule["splits"]["f0"] == {"lb": lb, "ub": ub}
        assert rule["counts"] == count
        np.testing.assert_allclose(rule["values"], value, rtol=1e-12)


@pytest.mark.parametrize(
    "metric, bins, threshold, use_test, weighted",
    [
        ("MSE", 10, 1.2, False, False),
        ("MSE", 37, 1.1, True, True),
        ("MAE", 5, 1.3, False, True),
        ("ACC", 12, 1.05, False, False),
        ("AUC", 8, 1.05, False, False),
        ("R2", 6, 1.0, True, True),
    ],
)
def test_matches_numpy_formulation(metric, bins, threshold, use_test, weighted):
    x, y, pred, tr, te = make_data()
    w = np.random.default_rng(1).uniform(0.2, 2.0, len(y)) if weighted else None
    if metric in ("ACC", "AUC"):
        y = (y > 0.5).astype(float)
        pred = 1 / (1 + np.exp(-3 * x[:, 0])) if metric == "AUC" else (x[:, 0] > 0.5).astype(float)
    kwargs = {"prediction_proba": pred} if metric == "AUC" else {"prediction": pred}
    fz = FrailZone(None, ["X1"], threshold=threshold, bins=bins, metric=metric, use_test=use_test)
    fz.fit(x, y, tr, te, sample_weight=w, **kwargs)
    scoring = get_scoring_metric(metric)
    table, rules, tv = frailzone_one_feature(x, y, pred, tr, te, 1, "X1", scoring, threshold, bins,
                                             20, w, use_test)
    assert_same_table(fz.output, table)
    assert_same_rules(fz.diag.rule_list, rules)
    assert fz.diag.threshold_value == pytest.approx(tv, rel=1e-12)
    result = fz.get_result()
    assert result.key == "frailzone_result"
    assert list(result.value) == ["slice_features", "bins", "method", "min_samples", "metric",
                                  "threshold_value", "data"]
    assert result.value["data"] is fz.output


def test_table_columns_and_region_records():
    x, y, pred, tr, te = make_data()
    fz = FrailZone(None, ["age"], metric="MSE")
    fz.fit(x, y, tr, te, prediction=pred, feature_names=["f", "age", "g"])
    assert list(fz.output.columns) == ["[age", "age)", "#Test", "#Train", "test_MSE", "train_MSE", "Gap"]
    rec = fz.diag.weak_region_stats[0]
    assert list(rec) == ["lb1", "ub1", "#Train", "#Test", "train_MSE All", "train_MSE",
                         "test_MSE All", "test_MSE", "Gap"]
    # The " All" arrays are the per-sample scores of the region's rows.
    np.testing.assert_allclose(np.mean(rec["train_MSE All"]), rec["train_MSE"], rtol=1e-12)
    assert len(rec["test_MSE All"]) == rec["#Test"]


def test_closed_bound_follows_the_sliced_data():
    # The region ending at the training maximum keeps the training rows at that maximum,
    # even though the test subset reaches further.
    x = np.array([[0.0], [1.0], [2.0], [3.0], [4.0], [10.0]] * 10)
    y = np.where(x[:, 0] >= 3.0, 5.0, 0.0)
    pred = np.zeros(len(y))
    test = np.where(x[:, 0] == 10.0)[0]
    train = np.where(x[:, 0] < 10.0)[0]
    fz = FrailZone(None, ["X0"], bins=4, min_samples=5)
    fz.fit(x, y, train, test, prediction=pred)
    row = fz.output.iloc[0]
    assert (row["[X0"], row["X0)"]) == (3.0, 4.0)
    assert row["#Train"] == 20 and row["#Test"] == 0
    assert np.isnan(row["Gap"])
    idx = fz.get_target_idx()
    np.testing.assert_array_equal(idx, np.where(fz.diag.x[:, 0] >= 3.0)[0])


def test_target_idx_order_and_no_region():
    x, y, pred, tr, te = make_data()
    fz = FrailZone(None, ["X1"], threshold=1.05, bins=20)
    fz.fit(x, y, tr, te, prediction=pred)
    idx = fz.get_target_idx()
    parts = []
    for rec in fz.diag.weak_region_stats:
        col = fz.diag.x[:, 1]
        closed = rec["ub1"] == col.max()
        mask = (col >= rec["lb1"]) & ((col <= rec["ub1"]) if closed else (col < rec["ub1"]))
        parts.append(np.where(mask)[0])
    np.testing.assert_array_equal(idx, np.concatenate(parts))
    assert len(parts) >= 1

    flat = FrailZone(None, ["X2"], threshold=100.0)
    flat.fit(x, y, tr, te, prediction=pred)
    assert flat.output is None and flat.diag.weak_region_stats == []
    assert flat.get_target_idx().dtype == np.int64 and flat.get_target_idx().size == 0
    assert flat.get_result().value["data"] is None


def test_nan_gaps_go_last_and_ties_keep_order():
    # Region A (x in [0, 1)) has test rows, region B ([2, 3]) has none: NaN gap goes last.
    x = np.repeat([0.0, 1.0, 2.0, 3.0], 30)[:, None]
    y = np.where((x[:, 0] == 0.0) | (x[:, 0] == 3.0), 4.0, 0.0)
    pred = np.zeros(len(y))
    train = np.arange(len(y))
    test = np.where(x[:, 0] == 0.0)[0][:10]
    fz = FrailZone(None, ["X0"], bins=4, min_samples=5)
    fz.fit(x, y, train, test, prediction=pred)
    assert list(fz.output["[X0"]) == [0.0, 2.25]
    assert np.isnan(fz.output["Gap"].iloc[1])


def test_zero_weights_give_unweighted_means():
    x, y, pred, tr, te = make_data(n=1500)
    w = np.zeros(len(y))
    fz = FrailZone(None, ["X1"], threshold=1.05)
    fz.fit(x, y, tr, te, prediction=pred, sample_weight=w)
    plain = FrailZone(None, ["X1"], threshold=1.05)
    plain.fit(x, y, tr, te, prediction=pred)
    assert_same_table(fz.output, plain.output)
    assert fz.diag.threshold_value == pytest.approx(plain.diag.threshold_value, rel=1e-12)


class TestSlicerEdgeCases:
    def slicer(self, **kw):
        s = HistogramSlicing(slice_features=["a"], **kw)
        s.feature_names = ["a"]
        return s

    def fit1(self, s, values, scores, w=None):
        values = np.asarray(values, dtype=float)
        s._fit(values[:, None], np.zeros(len(values)), np.zeros(len(values)), np.asarray(scores, float),
               sample_weight=w)
        return s

    def test_constant_feature_single_half_open_bin(self):
        s = self.fit1(self.slicer(min_samples=1, threshold=1.0), [2.0] * 5, [1.0] * 5)
        np.testing.assert_array_equal(s.bins1d, [1.5, 2.5])
        assert s.rule_list == [{"splits": {"f0": {"lb": 1.5, "ub": 2.5}}, "values": 1.0, "counts": 5}]
        # The one bin scores the overall score, weak at threshold 1; the region is clipped
        # to [2, 2], so the bin rule is not inside it and stays as it is.
        assert s.weak_region == [{"lb1": 2.0, "ub1": 2.0}]

    def test_few_distinct_values_and_closed_last_bin(self):
        s = self.fit1(self.slicer(bins=10), [0, 1, 2, 2, 2], [0, 0, 1, 1, 1])
        np.testing.assert_array_equal(s.bins1d, np.histogram([0, 1, 2], bins=3)[1])
        assert [r["counts"] for r in s.rule_list] == [1, 1, 3]

    def test_min_samples_boundary_and_rule_order(self):
        values = np.r_[np.zeros(30), np.ones(29), np.full(40, 2.0), np.full(30, 3.0)]
        scores = np.r_[np.full(30, 9.0), np.full(29, 9.0), np.zeros(40), np.zeros(30)]
        s = self.fit1(self.slicer(bins=4, min_samples=59), values, scores)
        assert s.weak_region == [{"lb1": 0.0, "ub1": 1.5}]
        assert s.rule_list[0] == {"splits": {"f0": {"lb": 0.0, "ub": 1.5}}, "values": 9.0, "counts": 59}
        assert [r["splits"]["f0"]["lb"] for r in s.rule_list[1:]] == [1.5, 2.25]
        s = self.fit1(self.slicer(bins=4, min_samples=60), values, scores)
        assert s.weak_region == []
        # The bins of the dropped run keep their own rules, in bin order.
        assert [r["counts"] for r in s.rule_list] == [30, 29, 40, 30]

    def test_separate_runs_and_duplicate_slice_feature(self):
        values = np.repeat([0.0, 1.0, 2.0, 3.0, 4.0], 10)
        scores = np.repeat([5.0, 0.0, 0.0, 0.0, 5.0], 10)
        s = HistogramSlicing(slice_features=["a", "a"], bins=5, min_samples=1)
        s.feature_names = ["a"]
        self.fit1(s, values, scores)
        assert s.fidx == [0]
        assert s.weak_region == [{"lb1": 0.0, "ub1": 0.8}, {"lb1": 3.2, "ub1": 4.0}]

    def test_zero_weight_region_falls_back_to_unweighted(self):
        values = np.repeat([0.0, 1.0, 2.0], 10)
        scores = np.repeat([6.0, 1.0, 1.0], 10)
        w = np.r_[np.zeros(10), np.ones(20)]
        s = self.fit1(self.slicer(bins=3, min_samples=1), values, scores, w)
        assert s.rule_list[0]["values"] == 6.0

    def test_non_additive_metric_keeps_bins_unmerged(self):
        s = HistogramSlicing(slice_features=["a"], bins=4, metric="AUC", min_samples=10**6)
        s.feature_names = ["a"]
        rng = np.random.default_rng(3)
        values = rng.uniform(size=400)
        y = (rng.uniform(size=400) < 0.5).astype(float)
        p = np.where(values < 0.5, y * 0.8 + 0.1, rng.uniform(size=400))
        overall = s.scoring_func(y, p)
        s._fit(values[:, None], y, p, overall)
        regions, rules, edges, tv = slice_one_feature(values, y, p, overall, None, get_scoring_metric("AUC"),
                                                      s.threshold, 4, 10**6)
        assert s.weak_region == [{"lb1": lb, "ub1": ub} for lb, ub in regions]
        assert len(s.rule_list) == 4 and len(regions) == 2


class TestBaseSlicing:
    def test_multiplier_follows_the_score_sense(self):
        assert HistogramSlicing(metric="ACC").threshold == pytest.approx(1 / 1.2)
        assert HistogramSlicing(metric="MSE").threshold == 1.2
        assert HistogramSlicing(metric="ACC", threshold=-2).threshold == -2

    def test_get_index_bounds_and_modes(self):
        s = HistogramSlicing(slice_features=["a"])
        s.fidx = [0]
        x = np.array([0.0, 1.0, 2.0, 3.0])
        np.testing.assert_array_equal(s.get_index(x, 1.0, 3.0), [1, 2])
        np.testing.assert_array_equal(s.get_index(x, 1.0, 3.0, right=True), [1, 2, 3])
        s.fidx = [0, 1]
        np.testing.assert_array_equal(s.get_index(x, 100, 200, 0.0, 1.0), [0])
        with pytest.raises(TypeError, match="lb2 and ub2"):
            s.get_index(x, 0.0, 1.0)

    def test_rule_list_and_evaluate_slice(self):
        s = HistogramSlicing(slice_features=["a"])
        s.fidx, s.threshold_value = [0], 1.0
        x = np.array([0.0, 1.0, 2.0, 3.0])
        scores = np.array([1.0, 3.0, 0.0, 0.0])
        empty = s.get_rule_list(x, None, None, scores, 5.0, 6.0)
        assert empty[0]["counts"] == 0 and np.isnan(empty[0]["values"])
        assert s.get_rule_list(x, None, None, scores, 0.0, 2.0, sample_weight=np.zeros(4))[0]["values"] == 2.0
        assert s.evaluate_slice(x, None, None, scores, 0.0, 2.0) == [{"lb1": 0.0, "ub1": 2.0}]
        assert s.evaluate_slice(x, None, None, scores, 2.0, 3.0, right=True) == []
        assert s.evaluate_slice(x, None, None, scores, 5.0, 6.0) == []


class TestBadInput:
    def test_non_finite_slicing_column_names_the_feature(self):
        x, y, pred, tr, te = make_data(n=500)
        x[tr[3], 1] = np.nan
        with pytest.raises(ValueError, match="'X1'"):
            FrailZone(None, ["X1"]).fit(x, y, tr, te, prediction=pred)

    def test_missing_feature_empty_subset_and_bad_method(self):
        x, y, pred, tr, te = make_data(n=500)
        with pytest.raises(ValueError, match="'nope' is not in feature_names"):
            FrailZone(None, ["nope"]).fit(x, y, tr, te, prediction=pred)
        with pytest.raises(ValueError, match="empty"):
            FrailZone(None, ["X1"]).fit(x, y, tr[:0], te, prediction=pred)
        fz = FrailZone(None, ["X1"], method="Histogram")
        with pytest.raises(TamrelError, match="frailzone method should be either histogram or tree."):
            fz.fit(x, y, tr, te, prediction=pred)
        assert fz.diag is None and fz.output is None
        with pytest.raises(ValueError, match="bins must be a positive integer"):
            FrailZone(None, ["X1"], bins=0).fit(x, y, tr, te, prediction=pred)

    def test_missing_predictions_and_mismatched_lengths(self):
        x, y, pred, tr, te = make_data(n=500)
        with pytest.raises(TamrelError, match="train_pred is None"):
            FrailZone(None, ["X1"]).fit(x, y, tr, te)
        with pytest.raises(TamrelError, match="prediction"):
            FrailZone(None, ["X1"]).fit(x, y, tr, te, prediction=pred[:-1])
        s = HistogramSlicing(slice_features=["a"])
        s.feature_names = ["a"]
        with pytest.raises(ValueError, match="sample_weight has 3 entries"):
            s._fit(np.zeros((4, 1)), np.zeros(4), np.zeros(4), np.zeros(4), sample_weight=np.ones(3))


def test_read_only_and_fortran_inputs_match():
    x, y, pred, tr, te = make_data(n=1200)
    base = FrailZone(None, ["X1"], threshold=1.05)
    base.fit(x, y, tr, te, prediction=pred)
    xf = np.asfortranarray(x)
    xf.flags.writeable = False
    y.flags.writeable = False
    other = FrailZone(None, ["X1"], threshold=1.05)
    other.fit(xf, y, tr.astype(np.int32), te, prediction=pred)
    assert_same_table(other.output, base.output)
    ints = FrailZone(None, ["X1"], threshold=1.05)
    ints.fit(np.round(x * 10).astype(np.int16), y, tr, te, prediction=pred)
    assert ints.output is not None
