"""FrailZone.get_marginal: the record behind the marginal plot, sharing the slicer's objects."""

import numpy as np
import pytest

from tamrel.diagnoser.frailzone import FrailZone

KEYS = ["slice_features", "bins", "method", "min_samples", "metric", "weak_region_stats", "fidx",
        "rule_list", "x", "y", "threshold_value", "score_name", "_sign", "scores", "use_test",
        "is_metric_additive", "feature_names"]
FROM_SLICER = {"weak_region_stats": "weak_region_stats", "fidx": "fidx", "rule_list": "rule_list", "x": "x",
               "y": "y", "threshold_value": "threshold_value", "score_name": "score_name", "_sign": "score_sign",
               "scores": "scores", "use_test": "use_test", "is_metric_additive": "is_metric_additive"}


def fitted(features=("X0",), method="histogram", metric="MSE", threshold=1.2, use_test=False):
    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, (800, 3))
    y = (x[:, 0] + rng.normal(size=800) * (0.1 + (x[:, 0] > 0.4)) > 0).astype(float)
    pred = 1 / (1 + np.exp(-4 * x[:, 0]))
    perm = rng.permutation(800)
    fz = FrailZone(None, list(features), method=method, metric=metric, threshold=threshold,
                   use_test=use_test, min_samples=15)
    fz.fit(x, y, perm[:600], perm[600:], prediction=pred, prediction_proba=pred)
    return fz


@pytest.mark.parametrize("features, method, metric, use_test", [
    (["X0"], "histogram", "MSE", False), (["X0", "X1"], "histogram", "AUC", True),
    (["X0", "X1"], "tree", "LogLoss", False)])
def test_record_shares_the_slicer_objects(features, method, metric, use_test):
    fz = fitted(features, method, metric, use_test=use_test)
    result = fz.get_marginal()
    assert result.key == "frailzone_plot"
    v = result.value
    assert list(v) == KEYS
    for key, attr in FROM_SLICER.items():
        assert v[key] is getattr(fz.diag, attr), key
    for key in ["slice_features", "bins", "method", "min_samples", "metric", "feature_names"]:
        assert v[key] is getattr(fz, key), key
    assert v["threshold_value"] != fz.threshold  # the slicer's absolute threshold, not the setting
    assert v["_sign"] == (1 if metric == "AUC" else -1)


def test_no_weak_region_and_no_rule_list():
    fz = fitted(threshold=100.0)
    assert fz.get_marginal().value["weak_region_stats"] == []

    class Unreadable:
        @property
        def rule_list(self):
            raise RuntimeError("not readable")

    fz = fitted()
    del fz.diag.rule_list
    assert fz.get_marginal().value["rule_list"] is None
    slicer = Unreadable()
    for attr in FROM_SLICER.values():
        if attr != "rule_list":
            setattr(slicer, attr, getattr(fz.diag, attr))
    fz.diag = slicer
    assert fz.get_marginal().value["rule_list"] is None
    with pytest.raises(AttributeError):
        FrailZone(None, ["X0"]).get_marginal()
