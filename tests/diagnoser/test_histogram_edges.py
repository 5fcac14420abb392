"""Rows lying exactly on bin edges: per-bin counts and region membership as numpy.histogram
bins them (random continuous data never puts a row on an inner edge)."""

import numpy as np
import pandas as pd
import pytest

from numpy_reference import frailzone_one_feature
from numpy_reference_2d import frailzone_reference
from tamrel.diagnoser.frailzone import FrailZone, HistogramSlicing
from tamrel.diagnoser.utils import get_scoring_metric

# (low, high, bins): ranges whose edges i * step + low round awkwardly
RANGES = [(0.0, 99.0, 7), (0.1, 0.7, 3), (1e12 + 0.1, 1e12 + 99.3, 7), (-3.3e-7, 4.1e-7, 9)]


def edge_column(low, high, bins, rng, n=700):
    """Values between low and high, a third of them exactly on NumPy's edges."""
    edges = np.histogram_bin_edges([low, high], bins)
    values = np.r_[rng.uniform(low, high, n - 3 * len(edges)), np.repeat(edges, 3)]
    return rng.permutation(values)


def weak_target(x, y_noise, edges, weak_bins):
    """Predictions off by more inside the given NumPy bins (masks on the actual edges)."""
    inside = np.zeros(len(x), bool)
    for b in weak_bins:
        last = b == len(edges) - 2
        inside |= (x >= edges[b]) & ((x <= edges[b + 1]) if last else (x < edges[b + 1]))
    return y_noise * np.where(inside, 4.0, 0.5)


@pytest.mark.parametrize("low, high, bins", RANGES)
def test_one_feature_counts_and_membership(low, high, bins):
    rng = np.random.default_rng(3)
    x = edge_column(low, high, bins, rng)
    counts, edges = np.histogram(x, bins=bins)
    s = HistogramSlicing(slice_features=["a"], bins=bins, metric="MSE")
    s.feature_names, s.fidx, s.threshold_value = ["a"], [0], np.inf  # no bin is weak
    _, rules, got_edges = s._fit1d(x, None, None, np.zeros(len(x)))
    np.testing.assert_array_equal(got_edges, edges)
    assert [r["counts"] for r in rules] == counts.tolist()

    y = weak_target(x, rng.normal(size=len(x)), edges, [1, bins - 1])
    xm = np.column_stack([rng.normal(size=len(x)), x])
    train, test = np.arange(0, len(x), 2), np.arange(1, len(x), 2)
    fz = FrailZone(None, ["X1"], bins=bins, min_samples=5, metric="MSE")
    fz.fit(xm, y, train, test, prediction=np.zeros(len(x)))
    table, _, _ = frailzone_one_feature(xm, y, np.zeros(len(x)), train, test, 1, "X1",
                                        get_scoring_metric("MSE"), 1.2, bins=bins, min_samples=5)
    assert table is not None
    pd.testing.assert_frame_equal(fz.output, table, check_exact=False, rtol=1e-12, check_dtype=False)
    sliced = xm[train, 1]
    closed = sliced.max()
    want = [np.flatnonzero((sliced >= r["lb1"]) & ((sliced <= r["ub1"]) if r["ub1"] == closed else (sliced < r["ub1"])))
            for r in fz.diag.weak_region_stats]
    np.testing.assert_array_equal(fz.get_target_idx(), np.concatenate(want))


@pytest.mark.parametrize("first, second", [(RANGES[0], RANGES[1]), (RANGES[2], RANGES[3])])
def test_two_features_counts_and_membership(first, second):
    rng = np.random.default_rng(4)
    x0 = edge_column(*first, rng)
    x1 = edge_column(*second, rng, n=len(x0))
    e0 = np.histogram_bin_edges(x0, first[2])
    y = weak_target(x0, rng.normal(size=len(x0)), e0, [0, 2])
    x = np.column_stack([x0, x1])
    train, test = np.arange(len(x0)), np.arange(0, len(x0), 3)
    fz = FrailZone(None, ["X0", "X1"], bins=first[2], min_samples=3, metric="MSE")
    fz.fit(x, y, train, test, prediction=np.zeros(len(x0)))
    table, (regions, rules, edges, bin_stats), _ = frailzone_reference(
        x, y, np.zeros(len(x0)), train, test, [0, 1], ["X0", "X1"], get_scoring_metric("MSE"), 1.2,
        bins=first[2], min_samples=3)
    assert table is not None
    pd.testing.assert_frame_equal(fz.output, table, check_exact=False, rtol=1e-12, check_dtype=False)
    assert [b["support"] for b in fz.diag.bin_stats] == np.histogram(x0, bins=first[2])[0].tolist()
    assert [b["support"] for b in fz.diag.bin_stats] == [b["support"] for b in bin_stats]
    assert [r["counts"] for r in fz.diag.rule_list] == [r[-1] for r in rules]
