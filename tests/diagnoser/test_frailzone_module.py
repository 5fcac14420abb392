"""The module surface of tamrel.diagnoser.frailzone: names, classes, signatures, pickling."""

import copy
import inspect
import pickle

import numpy as np
import pandas as pd
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
    assert classes == ["BaseSlicing", "HistogramSlicing", "TreeSlicing", "FrailZone", "FrailScan", "FrailCompare"]
    assert fzm.copy is copy.copy and fzm.np is np
    assert fzm.plt.__name__ == "matplotlib.pylab"


def test_classes_and_docstrings():
    assert fzm.FrailZone.__mro__[1] is BaseDiagnoser
    assert fzm.HistogramSlicing.__mro__[1] is fzm.BaseSlicing
    assert fzm.FrailZone.__doc__.startswith("Frailzone Test")
    # the defaults that take effect
    assert "max_depth : int, default=2" in fzm.FrailZone.__doc__
    assert 'method : str, default="histogram"' in fzm.FrailZone.__doc__
    assert fzm.BaseSlicing.__doc__.startswith("Base slice class for analyzing 1D or 2D numerical features.")
    assert fzm.HistogramSlicing.__doc__ == "Histogram based slicing for analyzing 1D or 2D numerical features."
    assert fzm.TreeSlicing.__doc__ == "Tree based slicing for analyzing 1D or 2D features."
    # the summary lines; fit and get_target_idx then describe their arguments and positions
    assert inspect.getdoc(fzm.FrailZone.fit).splitlines()[0] == "Fit frailzone diagnoser"
    assert inspect.getdoc(fzm.FrailZone.get_target_idx).splitlines()[0] == "Get sample index in Weak region"
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


def _regression_data(n=300, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 2))
    return x, x[:, 0] + rng.normal(size=n), np.arange(n * 2 // 3), np.arange(n * 2 // 3, n)


def _with_missing(values, position, missing):
    out = np.asarray(values, dtype=object).copy()
    out[position] = missing
    return out


X_R, Y_R, TR, TE = _regression_data()
XO = X_R.astype(object)
XO[5, 0] = pd.NA


@pytest.mark.parametrize("settings, data, error, match", [
    # non-finite or missing responses and predictions, counted
    ({}, dict(y=np.r_[Y_R[:-2], np.nan, np.inf]), ValueError, r"^y holds 2 non-finite values"),
    ({}, dict(y=_with_missing(Y_R, 3, None)), ValueError, r"^y holds 1 non-finite value"),
    ({}, dict(y=pd.Series(Y_R, dtype="Float64").mask(np.arange(300) == 7)), ValueError, r"^y holds 1 "),
    ({}, dict(prediction=np.r_[np.nan, X_R[1:, 0]]), ValueError, r"^prediction holds 1 non-finite"),
    ({"metric": "LogLoss", "task_type": "classification"},
     dict(y=(Y_R > 0).astype(int), prediction_proba=np.r_[-np.inf, np.full(299, 0.5)]),
     ValueError, r"^prediction_proba holds 1"),
    # an overflowing score is an error, not a NaN threshold
    ({}, dict(y=Y_R * 1e200, prediction=X_R[:, 0] * 1e200 + 1e200), ValueError, "MSE per-sample scores overflow"),
    ({"metric": "AUC", "task_type": "classification"},
     dict(y=np.r_[np.ones(200), Y_R[200:] > 0].astype(int), prediction_proba=np.full(300, 0.5)),
     ValueError, "overall AUC of the sliced subset is nan"),
    # the response's kind
    ({}, dict(y=Y_R + 1j), TypeError, "complex"),
    ({}, dict(y=Y_R.astype(str)), TypeError, "y must hold numbers for regression"),
    ({}, dict(y=np.arange(300).astype("datetime64[s]")), TypeError, "datetime64"),
    ({"task_type": "classification"}, dict(y=np.arange(300).astype("timedelta64[s]")), TypeError, "timedelta64"),
    # settings, refused before any work
    ({"threshold": np.nan}, {}, ValueError, "^threshold"),
    ({"threshold": "1.2"}, {}, TypeError, "^threshold"),
    ({"threshold": None}, {}, TypeError, "^threshold"),
    ({"threshold": np.inf}, {}, ValueError, "^threshold"),
    ({"min_samples": np.nan}, {}, ValueError, "^min_samples"),
    ({"min_samples": 0}, {}, ValueError, "^min_samples"),
    ({"bins": True}, {}, TypeError, "^bins"),
    ({"bins": 0}, {}, ValueError, "^bins"),
    # pd.NA in x reads as missing; in a slicing column the feature is named
    ({}, dict(x=XO), ValueError, "Feature 'X0' holds NaN"),
])
def test_bad_input_refused_with_named_argument(settings, data, error, match):
    fz = fzm.FrailZone(None, ["X0"], **settings)
    args = dict(x=X_R, y=Y_R, train_idx=TR, test_idx=TE, prediction=X_R[:, 0])
    args.update(data)
    with pytest.raises(error, match=match):
        fz.fit(**args)
    assert fz.output is None


def test_settings_that_keep_their_meaning():
    # a threshold of 0 or below keeps its documented meaning; bins plays no part for trees
    for settings in ({"threshold": 0}, {"threshold": -1.0, "metric": "R2"}, {"method": "tree", "bins": None}):
        fz = fzm.FrailZone(None, ["X0"], **settings)
        fz.fit(X_R, Y_R, TR, TE, prediction=X_R[:, 0])
        assert np.isfinite(fz.diag.threshold_value)
    # pd.NA outside the slicing columns is a missing value
    frame = pd.DataFrame(X_R, columns=["a", "b"]).astype("Float64")
    frame.iloc[4, 1] = pd.NA
    fz = fzm.FrailZone(None, ["a"], threshold=1.05)
    fz.fit(frame, Y_R, TR, TE, prediction=X_R[:, 0])
    assert np.isnan(fz.x[4, 1]) and fz.x.dtype == np.float64


@pytest.mark.parametrize("method", ["get_result", "get_target_idx", "get_target_rows", "get_distance",
                                    "get_shift", "get_marginal"])
def test_results_before_fit_raise_not_fitted(method):
    from sklearn.exceptions import NotFittedError

    with pytest.raises(NotFittedError, match="call 'fit' before"):
        getattr(fzm.FrailZone(None, ["X0"]), method)()


def test_repr_shows_non_default_settings():
    fz = fzm.FrailZone(None, ["X0"], task_type="regression", threshold=1.5, method="tree")
    assert repr(fz) == "FrailZone(estimator=None, slice_features=['X0'], task_type='regression', " \
                       "threshold=1.5, method='tree')"
