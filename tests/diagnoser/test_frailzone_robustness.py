"""Junk input to the compiled slicers raises Python errors; it never crashes the interpreter."""

import numpy as np
import pandas as pd
import pytest

from tamrel.diagnoser.frailzone import FrailZone, HistogramSlicing
from tamrel.exceptions import TamrelError


def fitted_slicer(**kw):
    s = HistogramSlicing(slice_features=["a"], **kw)
    s.feature_names = ["a"]
    s.fidx, s.threshold_value = [0], 1.0
    return s


@pytest.mark.parametrize(
    "x",
    [np.zeros((2, 2)), np.array(["a", "b"]), np.array([object(), 1], dtype=object), 3.0, [[1.0, 2.0]]],
)
def test_get_index_rejects_non_vectors(x):
    with pytest.raises((TypeError, ValueError)):
        fitted_slicer().get_index(x, 0.0, 1.0)


def test_scores_and_weights_shorter_than_rows():
    s = fitted_slicer()
    x = np.arange(10.0)
    with pytest.raises(IndexError):
        s.get_rule_list(x, None, None, np.zeros(3), 0.0, 9.0, right=True)
    with pytest.raises(IndexError):
        s.evaluate_slice(x, None, None, np.zeros(10), 0.0, 9.0, right=True, sample_weight=np.ones(2))
    with pytest.raises(ValueError, match="scores has 4 entries"):
        s._fit1d(x, None, None, np.zeros(4))


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_values_in_the_sliced_column(bad):
    s = fitted_slicer()
    x = np.arange(10.0)
    x[4] = bad
    with pytest.raises(ValueError, match="'a' holds NaN or infinite"):
        s._fit1d(x, None, None, np.zeros(10))


def test_empty_and_odd_shapes_through_the_facade():
    fz = FrailZone(None, ["X0"])
    with pytest.raises(Exception):
        fz.fit(np.zeros((0, 2)), np.zeros(0), np.zeros(0, int), np.zeros(0, int), prediction=np.zeros(0))
    with pytest.raises(Exception):
        fz.fit(np.zeros(5), np.zeros(5), [0, 1], [2], prediction=np.zeros(5))
    with pytest.raises(Exception):
        fz.fit(np.zeros((5, 2)), np.zeros(5), [0, 7], [2], prediction=np.zeros(5))


def test_large_bin_counts_and_huge_values():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(500, 1)) * 1e300
    y = rng.normal(size=500)
    for bins in (10**9, 2**64):
        fz = FrailZone(None, ["X0"], bins=bins, min_samples=1.0)
        fz.fit(x, y, np.arange(400), np.arange(400, 500), prediction=np.zeros(500))
        assert len(fz.diag.bins1d) == 401  # as many bins as distinct values


@pytest.mark.parametrize(
    "column",
    [
        np.array([-1.5e308, 1.5e308, 0.0] * 20),           # the span overflows
        np.array([1e16, 1e16 + 2.0] * 20),                  # the middle edge rounds onto the first
    ],
)
def test_ranges_numpy_cannot_bin_are_refused(column):
    # numpy.histogram (NumPy 2) refuses both with the same "Too many bins" message.
    n = len(column)
    other = np.arange(n, dtype=float)
    cases = [(column[:, None], "'a'"), (np.c_[column, other], "'a'"), (np.c_[other, column], "'b'")]
    for x, name in cases:
        s = HistogramSlicing(slice_features=["a", "b"][: x.shape[1]], bins=10, min_samples=1)
        s.feature_names = ["a", "b"][: x.shape[1]]
        with pytest.raises(ValueError, match=f"Feature {name}: Too many bins for data range"):
            s._fit(x, np.zeros(n), np.zeros(n), np.ones(n))


def test_object_fields_are_not_copied_as_bytes():
    y = np.zeros(50, dtype=[("v", "f8"), ("o", "O")])
    y["o"] = [[i] * 100 for i in range(50)]
    fz = FrailZone(None, ["X0"])
    for _ in range(3):
        with pytest.raises(Exception):
            fz.fit(np.random.default_rng(0).random((50, 2)), y, np.arange(30), np.arange(30, 50),
                   prediction=np.zeros(50))
    _ = [[0] * 100 for _ in range(1000)]
    assert sum(len(o) for o in y["o"]) == 5000


def test_odd_numbers_get_clear_errors():
    s = fitted_slicer()
    x = np.arange(5.0)
    with pytest.raises(TypeError, match="lb1 must be a number"):
        s.get_index(x, "1", 3)
    with pytest.raises(TypeError, match="must be numeric"):
        s.get_index(x.astype(complex), 0, 3)
    s.threshold_value = None
    with pytest.raises(TypeError, match="threshold_value must be a number"):
        s.evaluate_slice(x, None, None, np.zeros(5), 0.0, 3.0)
    fz = FrailZone(None, [0])
    with pytest.raises(ValueError, match=r"Slicing feature 0 is not in feature_names \['X0'"):
        fz.fit(np.zeros((10, 1)), np.zeros(10), np.arange(5), np.arange(5, 10), prediction=np.zeros(10))


def weak_data(n=800, seed=5):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3))
    y = x[:, 0] + rng.normal(size=n) * (0.3 + 2.0 * (x[:, 1] > 0.5))
    return x, y, x[:, 0], np.arange(0, n, 2), np.arange(1, n, 2), rng.uniform(0.2, 3.0, n)


@pytest.mark.parametrize("method, features", [("histogram", ["X1"]), ("histogram", ["X1", "X2"]),
                                              ("tree", ["X1", "X2"])])
def test_weighted_means_do_not_depend_on_the_weight_scale(method, features):
    # 1e306 overflowed the weight sum, which then fell back to unweighted means
    x, y, pred, tr, te, w = weak_data()
    fits = []
    for scale in (1.0, 1e306, 1e-300):
        fz = FrailZone(None, features, method=method, min_samples=10, metric="MSE")
        fz.fit(x, y, tr, te, prediction=pred, sample_weight=w * scale)
        fits.append(fz)
    assert fits[0].output is not None
    for other in fits[1:]:
        pd.testing.assert_frame_equal(other.output, fits[0].output, check_exact=False, rtol=1e-12)
        assert other.diag.threshold_value == pytest.approx(fits[0].diag.threshold_value, rel=1e-12)
    s = fitted_slicer()
    with pytest.raises(ValueError, match="sample_weight must hold finite values"):
        s._fit(np.arange(10.0)[:, None], np.zeros(10), np.zeros(10), np.ones(10),
               sample_weight=np.r_[np.nan, np.ones(9)])


def test_slicing_features_counted_and_named_before_any_work():
    x, y, pred, tr, te, _ = weak_data()
    for method in ("histogram", "tree"):
        # a plain string is one feature name, not its letters
        fz = FrailZone(None, "X1", method=method, min_samples=10)
        fz.fit(x, y, tr, te, prediction=pred)
        assert fz.diag.fidx == [1] and fz.output is not None
        fz = FrailZone(None, ["X0", "X1", "X2"], method=method)
        with pytest.raises(TamrelError, match="Only Support at most two slicing features."):
            fz.fit(x, y, tr, te, prediction=pred)
    # refused before the metric runs: the predictions are never read
    s = HistogramSlicing(slice_features=["a", "b", "c"])
    with pytest.raises(TamrelError, match="Only Support at most two slicing features."):
        s.fit(x, y, x, y, train_pred=None, test_pred=None, feature_names=["a", "b", "c"])


def test_non_additive_paths_name_the_argument():
    rng = np.random.default_rng(0)
    p = rng.random(50)
    yb = (rng.random(50) > 0.5).astype(float)
    s = HistogramSlicing(slice_features=["a"], metric="AUC")
    s.feature_names, s.fidx, s.threshold_value = ["a", "b"], [0], 0.5
    with pytest.raises(ValueError, match="_fit2d slices two features, but fidx names 1"):
        s._fit2d(np.c_[p, p], yb, p, None)  # was KeyError: 'lb2'
    with pytest.raises(ValueError, match="y has 10 entries but x has 50"):
        s._fit1d(p, yb[:10], p, None)
    s.fidx = [0, 1]
    with pytest.raises(ValueError, match="preds has 7 entries but x has 50"):
        s._fit2d(np.c_[p, p], yb, p[:7], None)
    with pytest.raises(ValueError, match="sample_weight must hold finite values"):
        s._fit2d(np.c_[p, p], yb, p, None, sample_weight=np.r_[np.nan, np.ones(49)])
