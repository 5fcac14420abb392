"""Depth-2 boosted trees on awkward input: models without splits, values XGBoost cannot
store, bad weights, DataFrames and feature names, memory layouts of the kernels, and the
decomposition checked directly on hand-made trees."""

import numpy as np
import pandas as pd
import pytest

from tamrel.models.utils import predict_1D_func_tree, predict_2D_func_tree
from tamrel.models.xgb2 import xgboost as ext
from tamrel.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

rng = np.random.default_rng(5)
X = rng.normal(size=(200, 3))
Y = X[:, 0] + X[:, 1] * X[:, 2]


def margin_gap(model, data):
    view = model.parse_model()
    total = view.intercept_ + view.contributions(data).sum(axis=1).to_numpy()
    return np.abs(total - model.estimator_.predict(data, output_margin=True)).max()


@pytest.mark.parametrize("model, y", [(XGB2Classifier(n_estimators=0), Y > 0), (XGB2Regressor(n_estimators=0), Y),
                                      (XGB2Regressor(n_estimators=3), np.ones(200)),
                                      (XGB2Classifier(n_estimators=3), Y > 0)])
def test_intercept_plus_effects_is_the_margin(model, y):
    model.fit(X, y)
    assert margin_gap(model, X) < 1e-5


def test_fit_refusals():
    big = X.copy()
    big[3, 2] = 1e39
    with pytest.raises(ValueError, match=r"Feature 'c' \(column 2\) holds 1 value\(s\) beyond the float32 range"):
        XGB2Regressor(n_estimators=2, feature_names=["a", "b", "c"]).fit(big, Y)
    big[3, 2] = 3.4e38  # still a float32
    XGB2Regressor(n_estimators=2).fit(big, Y)
    for weights in ([1.0, np.nan, 1.0, 1.0], [np.nan] * 4, [0, 0, np.nan, 1]):
        with pytest.raises(ValueError) as info:
            XGB2Regressor(n_estimators=2).fit(X[:4], Y[:4], sample_weight=weights)
        assert str(info.value) == "Invalid sample_weight"
    for text in (np.array(["1.5"] * 4), np.array(["2"] * 4, dtype=object)):  # not read as numbers
        with pytest.raises(ValueError, match="sample_weight must"):
            XGB2Regressor(n_estimators=2).fit(X[:4], Y[:4], sample_weight=text)
    model = XGB2Regressor(n_estimators=2).fit(X, Y, sample_weight=np.full(200, 2.0))
    assert not np.shares_memory(model.X_, X)
    with pytest.raises(ValueError, match="fidx must be a feature index"):
        predict_1D_func_tree(1.0, [0.0], [1.0, 2.0])


def test_dataframe_names_in_partial_dependence_and_plots():
    frame = pd.DataFrame(X, columns=["age", "income", "debt"])
    model = XGB2Regressor(n_estimators=20).fit(frame, Y)
    assert model.feature_names_ == ["age", "income", "debt"]
    assert XGB2Regressor(n_estimators=2, feature_names=list("abc")).fit(frame, Y).feature_names_ == list("abc")
    assert XGB2Regressor(n_estimators=2).fit(frame, Y).fit(X, Y).feature_names_ == ["X0", "X1", "X2"]
    main = model.partial_dependence(("age",), X)  # parses first
    assert hasattr(model, "effects_")
    np.testing.assert_array_equal(main, model.partial_dependence((0,), X))
    np.testing.assert_array_equal(main, model.partial_dependence("age", X))
    pair = model.partial_dependence(("debt", "income"), X)
    np.testing.assert_array_equal(pair, model.partial_dependence((1, 2), X))
    np.testing.assert_array_equal(pair, model.partial_dependence(("income", 2), X))
    for fidx in (("zz",), ("age", "zz")):
        with pytest.raises(ValueError, match="'zz' is not in feature_names_"):
            model.partial_dependence(fidx, X)
    view = model.parse_model()
    assert view.get_effect(("debt", "income"))["fidx"] == (1, 2) and view.get_effect("age")["fidx"] == (0,)
    ax = view.plot_effect(("debt", "income")).axes[0]
    assert ax.collections[0].norm.vcenter == 0 and ax.figure.axes[1].get_ylabel()
    assert repr(view).startswith("FANOVAInterpreter(XGB2Regressor: ")
    deep = XGB2Regressor(n_estimators=2, max_depth=3).fit(X, Y)
    with pytest.raises(ValueError, match="Cannot interpret XGB with depth more than 2."):
        deep.partial_dependence((0,), X)


def test_kernels_read_any_memory_layout():
    f = predict_2D_func_tree((0, 2), [-0.5, 0.5], [0.0], np.arange(6.0).reshape(3, 2))
    expected = f(X)
    raw = np.zeros(X.size * 8 + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float64).reshape(X.shape)
    unaligned[:] = X
    assert not unaligned.flags.aligned
    for view in (unaligned, X.astype(">f8"), X.astype(np.float32).astype(np.float64), X.astype(object)):
        np.testing.assert_array_equal(f(view), f(np.asarray(view, dtype=np.float64)))
    np.testing.assert_array_equal(f(X.astype(">f8")), expected)
    for bad, message in ((np.array([[1.0, None, 2.0]], dtype=object), "found None"),
                         (X.astype("datetime64[s]"), "numeric")):
        with pytest.raises(ValueError, match=message):
            f(bad)


def walk(trees, row):
    """The sum of the leaves that float32(row) reaches in hand-made depth-2 trees."""
    total = 0.0
    for tree in trees:
        node = 0
        while tree[node][0] >= 0:
            left, right, feature, threshold = tree[node]
            node = left if np.float32(row[feature]) < threshold else right
        total += tree[node][3]
    return total


def test_decomposition_of_hand_made_trees_at_split_values():
    thresholds = [np.float32(t) for t in (-0.3, 0.2, 0.7, 1.1)]
    trees = [[(1, 2, 0, thresholds[0]), (3, 4, 1, thresholds[1]), (5, 6, 0, thresholds[2]), (-1, -1, 0, 1.5),
              (-1, -1, 0, -2.0), (-1, -1, 0, 0.25), (-1, -1, 0, 3.0)],
             [(1, 2, 2, thresholds[3]), (-1, -1, 0, -1.0), (3, 4, 1, thresholds[0]), (-1, -1, 0, 0.5),
              (-1, -1, 0, 2.0)],
             [(-1, -1, 0, 0.125)]]
    sizes = [len(t) for t in trees]
    nodes = np.array([n for t in trees for n in t], dtype=np.float64)
    offsets = np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)
    data = rng.normal(size=(300, 3))
    rows = [data]
    for t in thresholds:  # on every split value and one float32 step below it, in every column
        below = float(np.nextafter(t, np.float32(-np.inf)))
        rows += [np.full((1, 3), float(t)), np.full((1, 3), below)]
    rows = np.vstack(rows)
    expected = np.array([walk(trees, r) for r in rows])
    for purification in (False, True):
        intercept, mains, pairs = ext._parse_ensemble(offsets, *(nodes[:, k].astype(np.int64) for k in range(3)),
                                                      nodes[:, 3], 3, data, purification, False)
        total = np.full(rows.shape[0], intercept)
        for f, t, v in mains:
            total += predict_1D_func_tree((f,), t, v)(rows)
        for a, b, t1, t2, v in pairs:
            total += predict_2D_func_tree((a, b), t1, t2, v)(rows)
        np.testing.assert_allclose(total, expected, rtol=0, atol=1e-12)
        if purification:  # each main effect averages to zero under its bin frequencies in data
            for f, t, v in mains:
                cells = np.searchsorted(t, data[:, f].astype(np.float32), side="right")
                assert abs(v[cells].mean()) < 1e-12
    with pytest.raises(ValueError, match="integer array"):
        ext._parse_ensemble(offsets, nodes[:, 0], *(nodes[:, k].astype(np.int64) for k in (1, 2)), nodes[:, 3], 3,
                            data, False, False)
