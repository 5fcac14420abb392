"""Tree slicing: the leaf walk, the weak leaves, and the facade's method "tree"."""

import inspect
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from numpy_reference_2d import dfs, frailzone_reference, region_members
from tamrel.diagnoser.frailzone import FrailZone, TreeSlicing
from tamrel.diagnoser.utils import get_scoring_metric
from tamrel.exceptions import TamrelError

INF = np.inf


def make_data(n=2000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3))
    y = x[:, 0] + rng.normal(size=n) * (0.2 + 2.0 * (x[:, 1] > 0.8) + 1.0 * (x[:, 2] < -1.0))
    perm = rng.permutation(n)
    return x, y, x[:, 0].copy(), perm[: int(0.8 * n)], perm[int(0.8 * n):]


def tree(feature, threshold, left, right, value=None, samples=None):
    """A tree structure with the arrays of a fitted scikit-learn tree."""
    n = len(feature)
    value = np.arange(n, dtype=float) if value is None else np.asarray(value, float)
    return SimpleNamespace(feature=np.array(feature), threshold=np.array(threshold, float),
                           children_left=np.array(left), children_right=np.array(right),
                           value=value.reshape(n, 1, 1), n_node_samples=np.arange(10, 10 + n) if samples is None
                           else np.array(samples))


# root splits f0 at 5, its left child f0 again at 2, its right child f1 at 7
DEPTH2 = tree([0, 0, -2, -2, 1, -2, -2], [5, 2, -2, -2, 7, -2, -2], [1, 2, -1, -1, 5, -1, -1],
              [4, 3, -1, -1, 6, -1, -1])


class TestLeafWalk:
    def test_leaf_order_keys_and_bound_order(self):
        rules = list(TreeSlicing()._dfs(DEPTH2, 0, {}))
        assert [list(r) for r in rules] == [["splits", "values", "counts"]] * 4
        assert [(r["values"], r["counts"]) for r in rules] == [(2.0, 12), (3.0, 13), (5.0, 15), (6.0, 16)]
        got = [[(k, list(b.items())) for k, b in r["splits"].items()] for r in rules]
        assert got == [
            [("f0", [("ub", 2.0), ("lb", -INF)])],
            [("f0", [("ub", 5.0), ("lb", 2.0)])],
            [("f0", [("lb", 5.0), ("ub", INF)]), ("f1", [("ub", 7.0), ("lb", -INF)])],
            [("f0", [("lb", 5.0), ("ub", INF)]), ("f1", [("lb", 7.0), ("ub", INF)])],
        ]
        assert rules == list(dfs(DEPTH2, 0, {}))

    def test_lazy_and_leaves_the_given_rule_alone(self):
        given = {"f1": {"lb": 0.0, "ub": 9.0}}
        it = TreeSlicing()._dfs(DEPTH2, 4, given)
        first = next(it)
        assert first["splits"] == {"f1": {"lb": 0.0, "ub": 7.0}}
        assert list(it)[0]["splits"] == {"f1": {"lb": 7.0, "ub": 9.0}}
        assert given == {"f1": {"lb": 0.0, "ub": 9.0}}
        with pytest.raises(StopIteration):
            next(it)
        # a walk that starts at a leaf hands back the given rule itself
        (leaf,) = TreeSlicing()._dfs(DEPTH2, 2, given)
        assert leaf["splits"] is given and leaf["values"] == 2.0

    def test_malformed_trees_raise_instead_of_crashing(self):
        ts = TreeSlicing()
        broken = tree([0, -2, 0], [1, -2, 3], [1, -1, 9], [2, -1, 9])  # node 2 points outside
        it = ts._dfs(broken, 0, {})
        assert next(it)["values"] == 1.0  # the walk is lazy: the fault shows when reached
        with pytest.raises(IndexError, match="outside"):
            next(it)
        cyclic = tree([0, 0], [1, 1], [1, 0], [1, 0])
        with pytest.raises(IndexError, match="cycle"):
            list(ts._dfs(cyclic, 0, {}))
        for node in (7, -1, 2**70):
            with pytest.raises(IndexError, match="out of range"):
                ts._dfs(DEPTH2, node, {})
        with pytest.raises(TypeError):
            ts._dfs(DEPTH2, 0.0, {})
        with pytest.raises(ValueError, match="one entry per node"):
            ts._dfs(tree([0, -2], [1, -2], [1, -1], [1, -1], samples=[1]), 0, {})


class TestSlicer:
    def fit(self, x, scores, features=("a",), names=("a", "b"), w=None, **kw):
        ts = TreeSlicing(slice_features=list(features), **kw)
        ts.feature_names = list(names)
        x = np.asarray(x, float)
        ts._fit(x, np.zeros(len(x)), None, np.asarray(scores, float), sample_weight=w)
        return ts

    def test_constructor(self):
        assert str(inspect.signature(TreeSlicing.__init__)) == (
            "(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, max_depth=2, "
            "min_samples=30, metric=None, random_state=0)")
        ts = TreeSlicing(None, ["a"], None, 1.5, 3, 7, "MAE")
        assert (ts.max_depth, ts.min_samples, ts.threshold, ts.metric) == (3, 7, 1.5, "MAE")
        params = ts.tree_estimator.get_params()
        # seeded, so that tied split gains are broken the same way on every run
        assert (params["max_depth"], params["min_samples_leaf"], params["random_state"]) == (3, 7, 0)
        for metric in ("AUC", "F1", "R2"):
            with pytest.raises(TamrelError, match="tree slicing is incompatible with this metric."):
                TreeSlicing(metric=metric)

    def test_weak_leaves_clipped_to_the_observed_range(self):
        x = np.column_stack([np.linspace(-3, 3, 200), np.linspace(10, 20, 200)])
        scores = np.where(np.abs(x[:, 0]) > 2, 5.0, 0.1)
        ts = self.fit(x, scores, min_samples=10)
        assert ts.weak_region[0]["lb1"] == -3.0 and ts.weak_region[-1]["ub1"] == 3.0
        assert all(list(r) == ["lb1", "ub1"] for r in ts.weak_region)
        x[:, 1] = np.random.default_rng(0).permutation(x[:, 1])
        two = self.fit(x, np.where(x[:, 0] > 2, 5.0, 0.1), features=("b", "a"), min_samples=10,
                       max_depth=1)
        # the one split is on "a"; the weak leaf keeps the full observed range of "b"
        ((key, lb2, ub1, ub2),) = [list(r.items()) for r in two.weak_region]
        assert key == ("lb1", 10.0) and ub1 == ("ub1", 20.0) and ub2 == ("ub2", 3.0)
        assert lb2[0] == "lb2" and 1.9 < lb2[1] < 2.1
        assert two.fidx == [1, 0]

    def test_no_split_and_leaf_at_threshold(self):
        ts = self.fit(np.arange(50.0)[:, None], np.r_[np.zeros(25), np.full(25, 9.0)], min_samples=30)
        assert ts.rule_list == [{"splits": {}, "values": 4.5, "counts": 50}] and ts.weak_region == []
        # mean 1, multiplier 2: the leaf holding only 2.0 is exactly at the threshold value
        ts = self.fit(np.arange(40.0)[:, None], np.r_[np.zeros(20), np.full(20, 2.0)], min_samples=5,
                      threshold=2.0, max_depth=1)
        assert ts.threshold_value == 2.0
        assert ts.weak_region == [{"lb1": 19.5, "ub1": 39.0}]

    def test_feature_count_and_bad_columns(self):
        x = np.random.default_rng(0).normal(size=(100, 3))
        ts = self.fit(x, x[:, 0] ** 2, features=("a", "b", "a"), names=("a", "b", "c"))
        assert ts.fidx == [0, 1] and len(ts.tree_estimator.feature_importances_) == 2
        with pytest.raises(TamrelError, match="Only Support at most two slicing features."):
            self.fit(x, x[:, 0], features=("a", "b", "c"), names=("a", "b", "c"))
        with pytest.raises(TamrelError, match="Only Support at most two slicing features."):
            self.fit(x, x[:, 0], features=())
        with pytest.raises(ValueError, match="'z' is not in feature_names"):
            self.fit(x, x[:, 0], features=("z",))
        x[5, 1] = np.nan
        with pytest.raises(ValueError, match="'b' holds NaN"):
            self.fit(x, x[:, 0], features=("a", "b"), names=("a", "b", "c"))


@pytest.mark.parametrize("features, weighted, use_test, depth", [
    (["X1", "X2"], False, False, 2),
    (["X2", "X1"], True, True, 3),
    (["X1"], True, False, 2),
])
def test_facade_matches_numpy_formulation(features, weighted, use_test, depth):
    x, y, pred, tr, te = make_data()
    w = np.random.default_rng(1).uniform(0.2, 2.0, len(y)) if weighted else None
    fz = FrailZone(None, features, method="tree", max_depth=depth, metric="MSE", use_test=use_test, bins=99)
    fz.fit(x, y, tr, te, prediction=pred, sample_weight=w)
    fidx = [int(f[1:]) for f in features]
    # the fit is not seeded, so the formulation reads the project's own fitted tree
    table, (regions, rules), tv = frailzone_reference(
        x, y, pred, tr, te, fidx, features, get_scoring_metric("MSE"), 1.2, method="tree", max_depth=depth,
        w=w, use_test=use_test, tree=fz.diag.tree_estimator)
    assert table is not None and len(table) >= 2
    pd.testing.assert_frame_equal(fz.output, table, check_exact=False, rtol=1e-12, check_dtype=False)
    assert fz.diag.rule_list == rules and fz.diag.weak_region == regions
    assert fz.diag.threshold_value == pytest.approx(tv, rel=1e-12)
    assert fz.get_result().value["bins"] == 99

    sliced = fz.diag.x[:, fidx]
    ordered = [{k: rec[k] for k in ("lb1", "ub1", "lb2", "ub2") if k in rec} for rec in fz.diag.weak_region_stats]
    np.testing.assert_array_equal(fz.get_target_idx(), np.concatenate(region_members(sliced, ordered, sliced)))


def test_malformed_shapes_of_tree_refused():
    # each node the left and right child of the one before: 2**39 leaves from 40 nodes before
    n = 40
    shared = tree([0] * (n - 1) + [-2], [0] * n, list(range(1, n)) + [-1], list(range(1, n)) + [-1])
    with pytest.raises(IndexError, match="node 39 is reached twice"):
        list(TreeSlicing()._dfs(shared, 0, {}))
    fractional = tree([0, -2, -2], [1, -2, -2], [1.5, -1, -1], [2, -1, -1])
    with pytest.raises(TypeError, match="tree.children_left must be an integer array"):
        TreeSlicing()._dfs(fractional, 0, {})


def test_tree_method_checks_in_our_words():
    x, y, pred, tr, te = make_data(600)
    base = FrailZone(None, ["X1"], method="tree", min_samples=2, metric="MSE")
    base.fit(x, y, tr, te, prediction=pred)
    for min_samples in (1, 1.5):  # a leaf holds whole rows: 1.5 asks for 2
        fz = FrailZone(None, ["X1"], method="tree", min_samples=min_samples, metric="MSE")
        fz.fit(x, y, tr, te, prediction=pred)
        assert fz.diag.tree_estimator.get_params()["min_samples_leaf"] == (2 if min_samples == 1.5 else 1)
    # all-zero weights: unweighted, as the histogram method reads them
    fz = FrailZone(None, ["X1"], method="tree", min_samples=2, metric="MSE")
    fz.fit(x, y, tr, te, prediction=pred, sample_weight=np.zeros(len(y)))
    assert fz.diag.rule_list == base.diag.rule_list
    wide = x.copy()
    wide[3, 1] = 1e39
    with pytest.raises(ValueError, match="Feature 'X1' holds values beyond the float32 range"):
        FrailZone(None, ["X1"], method="tree").fit(wide, y, tr, te, prediction=pred)
    ts = TreeSlicing(slice_features=["a"])
    ts.feature_names = ["a"]
    for bad, message in [(np.r_[np.nan, np.ones(9)], "scores must hold finite values"),
                         (np.ones(9), "scores has 9 entries but x has 10")]:
        with pytest.raises(ValueError, match=message):
            ts._fit(np.arange(10.0)[:, None], np.zeros(10), None, bad)
