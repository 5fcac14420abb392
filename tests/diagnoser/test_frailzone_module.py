"""The module surface of tamrel.diagnoser.frailzone: names, classes, signatures, pickling."""

import copy
import inspect
import pickle

import numpy as np
import pytest

import tamrel.diagnoser.frailzone as fzm
from tamrel.diagnoser.base import BaseDiagnoser


def test_module_names_in_order():
    names = [n for n in vars(fzm) if not n.startswith("__")]
    expected = ["scipy", "np", "pd", "copy", "plt", "LinearSegmentedColormap", "DecisionTreeRegressor",
                "BaseDiagnoser", "get_scoring_metric", "calculate_distance", "TestDataResult",
                "scale_plot_ticks", "TamrelWarning", "TamrelInfo", "TamrelError"]
    assert names[: len(expected)] == expected
    classes = [n for n in names[len(expected):] if isinstance(getattr(fzm, n), type)]
    assert classes == ["BaseSlicing", "HistogramSlicing", "TreeSlicing", "FrailZone", "FrailScan"]
    assert fzm.copy is copy.copy and fzm.np is np
    assert fzm.plt.__name__ == "matplotlib.pylab"


def test_classes_and_docstrings():
    assert fzm.FrailZone.__mro__[1] is BaseDiagnoser
    assert fzm.HistogramSlicing.__mro__[1] is fzm.BaseSlicing
    assert fzm.FrailZone.__doc__.startswith("Frailzone Test")
    assert "default=3" in fzm.FrailZone.__doc__
    assert fzm.BaseSlicing.__doc__.startswith("Base slice class for analyzing 1D or 2D numerical features.")
    assert fzm.HistogramSlicing.__doc__ == "Histogram based slicing for analyzing 1D or 2D numerical features."
    assert fzm.TreeSlicing.__doc__ == "Tree based slicing for analyzing 1D or 2D features."
    assert inspect.getdoc(fzm.FrailZone.fit) == "Fit frailzone diagnoser"
    assert inspect.getdoc(fzm.FrailZone.get_target_idx) == "Get sample index in Weak region"
    assert inspect.getdoc(fzm.FrailZone.get_result) == "Get frailzone result"


@pytest.mark.parametrize(
    "method, text",
    [
        (fzm.FrailZone.__init__, "(self, estimator, slice_features, task_type=None, threshold=1.2, "
                                 "method='histogram', bins=10, max_depth=2, min_samples=20, metric=None, "
                                 "use_test=False, random_state=0)"),
        (fzm.FrailZone.fit, "(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, "
                            "sample_weight=None, feature_names=None, feature_types=None, target_name=None, "
                            "predict_name=None)"),
        (fzm.BaseSlicing.__init__, "(self, estimator=None, slice_features=None, task_type=None, "
                                   "threshold=1.2, min_samples=30, metric=None)"),
        (fzm.BaseSlicing.get_rule_list, "(self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, "
                                        "right=False, sample_weight=None)"),
        (fzm.BaseSlicing.fit, "(self, train_x, train_y, test_x, test_y, train_pred=None, test_pred=None, "
                              "feature_names=None, use_test=True, train_sample_weight=None, "
                              "test_sample_weight=None)"),
        (fzm.HistogramSlicing.__init__, "(self, estimator=None, slice_features=None, task_type=None, "
                                        "threshold=1.2, min_samples=30, bins=10, metric=None)"),
        (fzm.HistogramSlicing._fit1d, "(self, x, y, preds, scores, lb1=None, ub1=None, lb2=None, "
                                      "ub2=None, sample_weight=None)"),
    ],
)
def test_signatures(method, text):
    assert str(inspect.signature(method)) == text


def test_constructor_stores_and_arguments_are_checked():
    fz = fzm.FrailZone("model", ["a"], threshold=1.5, method="tree", random_state=3)
    assert (fz.estimator, fz.slice_features, fz.threshold, fz.method, fz.random_state) == (
        "model", ["a"], 1.5, "tree", 3)
    assert fz.diag is None and fz.output is None and fz.task_type == "regression"
    with pytest.raises(TypeError):
        fzm.FrailZone("model")
    with pytest.raises(TypeError):
        fzm.FrailZone("model", ["a"], nonsense=1)


def test_fitted_facade_pickles_and_refits():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(600, 2))
    y = x[:, 0] + rng.normal(size=600) * (x[:, 1] > 0.5)
    fz = fzm.FrailZone(None, ["X1"], threshold=1.05)
    fz.fit(x, y, np.arange(400), np.arange(400, 600), prediction=x[:, 0])
    clone = pickle.loads(pickle.dumps(fz))
    assert clone.output.equals(fz.output)
    np.testing.assert_array_equal(clone.get_target_idx(), fz.get_target_idx())
    first = fz.diag
    fz.fit(x[:300], y[:300], np.arange(200), np.arange(200, 300), prediction=x[:300, 0])
    assert fz.diag is not first and fz.x.shape == (300, 2)
