"""XGBInterpreter: tree decomposition, purification and input checks."""

import numpy as np
import pytest
import xgboost

from tamrel.models.utils import predict_1D_func_tree, predict_2D_func_tree
from tamrel.models.xgb2 import xgboost as ext
from tamrel.models.xgb2.interpret import XGBInterpreter

rng = np.random.default_rng(2)
X = np.column_stack([rng.normal(size=400), rng.integers(0, 5, 400), rng.normal(size=400)])
X[:, 2] += 0.8 * X[:, 0]  # correlated, so joint and product weights differ
Y = X[:, 0] * X[:, 1] - X[:, 2] ** 2
MODEL = xgboost.XGBRegressor(n_estimators=30, max_depth=2, eta=0.3).fit(X, Y)


def interpreter(**kw):
    return XGBInterpreter(MODEL, **kw).fit(X)


def total(it, data):
    out = np.full(data.shape[0], it.intercept_)
    for r in it.effects_["1D"].values():
        out += predict_1D_func_tree(r["fidx"], r["split_unique_list"][0], r["values"])(data)
    for r in it.effects_["2D"].values():
        out += predict_2D_func_tree(r["fidx"], *r["split_unique_list"], r["values"])(data)
    return out


def frequencies(column, thresholds):
    cells = np.searchsorted(thresholds, column.astype(np.float32), side="right")
    return np.bincount(cells, minlength=len(thresholds) + 1) / column.size, cells


def test_records_layout():
    it = interpreter(purification=False)
    assert list(it.effects_["1D"]) == sorted(it.effects_["1D"]) and list(it.effects_["2D"])
    for f, r in it.effects_["1D"].items():
        assert r["fidx"] == (f,) and r["name"] == f"X{f}"
        (t,) = r["split_unique_list"]
        assert np.all(np.diff(t) > 0) and r["values"].shape == (t.size + 1,)
    for (a, b), r in it.effects_["2D"].items():
        assert a < b and r["fidx"] == (a, b)
        t1, t2 = r["split_unique_list"]
        assert r["values"].shape == (t1.size + 1, t2.size + 1)


@pytest.mark.parametrize("true_to_data", [False, True])
def test_purification_keeps_the_sum_and_centres(true_to_data):
    raw, pure = interpreter(purification=False), interpreter(true_to_data=true_to_data)
    data = rng.normal(size=(500, 3)) * 3
    np.testing.assert_allclose(total(pure, data), total(raw, data), rtol=1e-10, atol=1e-10)
    np.testing.assert_allclose(total(pure, data), MODEL.predict(data, output_margin=True), atol=1e-5)
    for f, r in pure.effects_["1D"].items():
        thresholds = r["split_unique_list"][0]
        for (a, b), q in pure.effects_["2D"].items():
            if f in (a, b):
                assert set(q["split_unique_list"][(a, b).index(f)]) <= set(thresholds)
        p, _ = frequencies(X[:, f], thresholds)
        assert abs(p @ r["values"]) < 1e-10
    for (a, b), r in pure.effects_["2D"].items():
        (p1, c1), (p2, c2) = (frequencies(X[:, j], t) for j, t in zip((a, b), r["split_unique_list"]))
        table = r["values"]
        if true_to_data:
            w = np.zeros_like(table)
            np.add.at(w, (c1, c2), 1.0)
            rows, cols = w.sum(1) > 0, w.sum(0) > 0
            assert np.abs((w * table).sum(1)[rows] / w.sum(1)[rows]).max() < 1e-9
            assert np.abs((w * table).sum(0)[cols] / w.sum(0)[cols]).max() < 1e-9
        else:
            assert np.abs(table @ p2).max() < 1e-10 and np.abs(p1 @ table).max() < 1e-10


def parse(trees, n_features=3, data=None, **kw):
    """_parse_ensemble on hand-made trees: lists of (left, right, feature, value) per node."""
    sizes = [len(t) for t in trees]
    nodes = np.array([n for t in trees for n in t], dtype=float).reshape(-1, 4)
    offsets = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)
    data = np.zeros((1, n_features)) if data is None else data
    return ext._parse_ensemble(offsets, nodes[:, 0].astype(np.int64), nodes[:, 1].astype(np.int64),
                               nodes[:, 2].astype(np.int64), nodes[:, 3], n_features, data,
                               kw.get("purification", False), kw.get("true_to_data", False))


def test_three_feature_tree_and_repeated_feature():
    # root x0 < 0.5; left: x1 < 1 -> 1 | 2; right: x2 < 2 -> 3 | 4
    three = [(1, 2, 0, 0.5), (3, 4, 1, 1.0), (5, 6, 2, 2.0), (-1, -1, 0, 1), (-1, -1, 0, 2), (-1, -1, 0, 3),
             (-1, -1, 0, 4)]
    # root x0 < 0 ; left leaf 10; right x0 < 1 -> 20 | 30 ; and a lone leaf 0.25
    same = [(1, 2, 0, 0.0), (-1, -1, 0, 10), (3, 4, 0, 1.0), (-1, -1, 0, 20), (-1, -1, 0, 30)]
    intercept, mains, pairs = parse([three, same, [(-1, -1, 0, 0.25)]])
    assert intercept == 0.25
    assert [(a, b) for a, b, *_ in pairs] == [(0, 1), (0, 2)]
    np.testing.assert_array_equal(pairs[0][4], [[1, 2], [0, 0]])
    np.testing.assert_array_equal(pairs[1][4], [[0, 0], [3, 4]])
    assert [m[0] for m in mains] == [0, 1, 2]
    np.testing.assert_array_equal(mains[0][1], [0.0, 1.0])
    np.testing.assert_array_equal(mains[0][2], [10, 20, 30])
    assert mains[1][1].size == 0 and list(mains[1][2]) == [0.0]


def test_malformed_trees_raise():
    deep = [(1, 2, 0, 0.5), (3, 4, 1, 1.0), (-1, -1, 0, 1), (5, 6, 1, 2.0), (-1, -1, 0, 1), (-1, -1, 0, 1),
            (-1, -1, 0, 1)]
    for trees, message in [([deep], "deeper than 2"), ([[(1, 9, 0, 0.5), (-1, -1, 0, 1)]], "out of range"),
                           ([[(1, 2, 7, 0.5), (-1, -1, 0, 1), (-1, -1, 0, 1)]], "feature out of range")]:
        with pytest.raises(ValueError, match=message):
            parse(trees)
    with pytest.raises(ValueError, match="NaN"):
        parse([[(1, 2, 0, 0.5), (-1, -1, 0, 1), (-1, -1, 0, 2)]], data=np.full((2, 3), np.nan), purification=True)


def test_bad_input():
    cases = [(X[:, :2], "columns"), (X[0], "two-dimensional"), (X[:0], "no rows"),
             (np.where(X > 2, np.nan, X), "NaN"), (np.full((2, 3), "a"), "numeric")]
    for data, message in cases:
        with pytest.raises(ValueError, match=message):
            XGBInterpreter(MODEL).fit(data)
    with pytest.raises(ValueError, match="feature_names has 2 entries"):
        XGBInterpreter(MODEL, feature_names=["a", "b"]).fit(X)
    it = XGBInterpreter(MODEL, feature_names=["a", "b", "c"]).fit(X)
    assert {r["name"] for r in it.effects_["2D"].values()} <= {"a x b", "a x c", "b x c"}
