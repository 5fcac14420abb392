"""Junk input to the compiled slicers raises Python errors; it never crashes the interpreter."""

import numpy as np
import pytest

from tamrel.diagnoser.frailzone import FrailZone, HistogramSlicing


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
