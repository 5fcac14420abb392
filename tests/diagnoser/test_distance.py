import numpy as np
import pytest
import scipy.stats

from tamrel.diagnoser.utils import calculate_distance, category_distance
from tamrel.exceptions import TamrelError

rng = np.random.default_rng(1)
A = rng.normal(size=400)
B = rng.normal(0.5, 1.5, size=150)


def _psi_reference(a, b, edges):
    """PSI over buckets [e_i, e_i+1) (last closed), b clipped into a's range."""
    share_a = np.histogram(a, edges)[0] / a.size
    share_b = np.histogram(np.clip(b, edges[0], edges[-1]), edges)[0] / b.size
    share_a, share_b = np.maximum(share_a, 1e-4), np.maximum(share_b, 1e-4)
    return np.sum((share_a - share_b) * np.log(share_a / share_b))


def test_psi_matches_histogram_formulation():
    uniform = np.linspace(A.min(), A.max(), 11)
    quantile = np.quantile(A, np.linspace(0, 1, 11))
    assert calculate_distance(A, B) == pytest.approx(_psi_reference(A, B, uniform), rel=1e-12)
    assert calculate_distance(A, B, buckettype="quantile") == pytest.approx(
        _psi_reference(A, B, quantile), rel=1e-12)
    assert calculate_distance(A, A) == 0.0


def test_psi_quantile_drops_duplicate_edges():
    a = np.r_[np.zeros(60), np.arange(1.0, 41.0)]
    b = np.r_[np.zeros(10), np.arange(1.0, 91.0) / 2.25]
    edges = np.unique(np.quantile(a, np.linspace(0, 1, 11)))
    got = calculate_distance(a, b, buckettype="quantile")
    assert np.isfinite(got) and got == pytest.approx(_psi_reference(a, b, edges), rel=1e-12)


def test_wd1_and_ks_match_scipy():
    assert calculate_distance(A, B, method="WD1") == pytest.approx(
        scipy.stats.wasserstein_distance(A, B), rel=1e-12)
    ties_a, ties_b = np.round(A), np.round(B)
    for a, b in ((A, B), (ties_a, ties_b)):
        assert calculate_distance(a, b, method="KS") == pytest.approx(
            scipy.stats.ks_2samp(a, b).statistic, rel=1e-12)


def test_nan_and_empty_samples():
    with_nan = np.r_[A, np.nan, np.nan]
    for method in ("PSI", "WD1", "KS"):
        assert calculate_distance(with_nan, B, method=method) == calculate_distance(A, B, method=method)
        assert np.isnan(calculate_distance([], B, method=method))
        assert np.isnan(calculate_distance(A, [np.nan], method=method))


def test_psi_constant_reference_compares_share_at_value():
    share = 0.25
    expected = (1 - share) * np.log(1 / share) + (1e-4 - (1 - share)) * np.log(1e-4 / (1 - share))
    assert calculate_distance(np.full(5, 3.0), [3.0, 1.0, 7.0, 9.0]) == pytest.approx(expected)
    assert calculate_distance(np.full(5, 3.0), [3.0, 3.0], buckettype="quantile") == 0.0


def test_infinite_reference_values_fall_in_end_buckets():
    a = np.r_[A, np.inf]
    assert np.isfinite(calculate_distance(a, B))


def test_unknown_settings_raise():
    with pytest.raises(TamrelError, match='"quantile"'):
        calculate_distance(A, B, buckettype="equal")
    with pytest.raises(TamrelError, match='"WD1"'):
        calculate_distance(A, B, method="JS")


def test_category_distance_by_shares():
    a = np.array(["x", "y", "x", "y", None], dtype=object)  # the missing entry is dropped
    b = np.array(["x", "x", "z"], dtype=object)
    share_a, share_b = np.array([0.5, 0.5, 1e-4]), np.array([2 / 3, 1e-4, 1 / 3])
    expected = np.sum((share_a - share_b) * np.log(share_a / share_b))
    assert category_distance(a, b) == pytest.approx(expected, rel=1e-12)
    assert category_distance(a, b, method="wd1") is None and category_distance(a, b, method="KS") is None
    assert np.isnan(category_distance(a, np.array([None], dtype=object)))
    with pytest.raises(TamrelError, match="distance method"):
        category_distance(a, b, method="L2")
