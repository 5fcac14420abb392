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
    fz = FrailZone(None, ["X0"], bins=10**9, min_samples=1)
    fz.fit(x, y, np.arange(400), np.arange(400, 500), prediction=np.zeros(500))
    assert len(fz.diag.bins1d) == 401  # as many bins as distinct values
    # Two distinct values one ulp-step apart: the middle edge rounds onto the first, so the
    # first bin is empty and every row still lands in exactly one bin.
    tiny = np.full((40, 1), 1e16) + 2.0 * (np.arange(40)[:, None] % 2)
    s = HistogramSlicing(slice_features=["a"], bins=7, min_samples=1)
    s.feature_names = ["a"]
    s._fit(tiny, y[:40], np.zeros(40), y[:40] ** 2)
    assert list(s.bins1d) == [1e16, 1e16, 1e16 + 2]
    assert sorted(r["counts"] for r in s.rule_list) == [0, 40]
