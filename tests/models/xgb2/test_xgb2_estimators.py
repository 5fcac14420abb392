"""Hyper-parameters, input validation, training and prediction of the two estimators."""

import inspect
import warnings

import numpy as np
import pytest
import sklearn
import xgboost
from sklearn.base import BaseEstimator
from sklearn.exceptions import NotFittedError
from sklearn.model_selection import cross_validate

from tamrel.models.xgb2.xgboost import (XGB2Base, XGB2BaggedClassifier, XGB2BaggedRegressor, XGB2Classifier,
                                        XGB2Regressor)

rng = np.random.default_rng(0)
X = rng.normal(size=(60, 3))
Y_REG = X[:, 0] - X[:, 1] * X[:, 2]
Y_CLS = np.where(Y_REG > 0, 7, 3)
TWO_LINES = "The number of features in predict is\n" + " " * 21 + "different from the number of features in fit."
NO_WEIGHT = "Invalid sample_weight: no sample weight is greater than zero."


def small(cls, **kw):
    return cls(n_estimators=3, **kw)


def test_defaults_and_signatures():
    base, reg, clf = XGB2Base(), XGB2Regressor(), XGB2Classifier()
    assert (base.max_bin, base.reg_lambda) == (20, 1)
    for model in (reg, clf):
        assert (model.max_bin, model.reg_lambda) == (256, 0)
        assert model.mono_increasing_list == () and model.eta == 0.3
        assert set(inspect.signature(type(model)).parameters) == set(base.get_params())
    assert list(inspect.signature(XGB2Base.__init__).parameters)[:3] == ["self", "n_estimators", "eta"]
    assert XGB2Base.__doc__ is None
    assert XGB2Regressor.__doc__.startswith("Depth-2 XGBoostRegressor.")
    assert XGB2Classifier.fit.__doc__.startswith("Fit the model.")
    for cls in (XGB2Base, XGB2Regressor, XGB2Classifier):
        with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument 'foo'$"):
            cls(foo=1)
        with pytest.raises(TypeError, match=r"^__init__\(\) takes from 1 to 14 positional arguments but 15"):
            cls(*range(14))
    names = ["b", "a"]
    model = XGB2Regressor(feature_names=names, random_state=3)
    assert model.feature_names is names and vars(model)["random_state"] == 3


def test_feature_metadata_and_params():
    model = small(XGB2Regressor).fit(X, Y_REG)
    assert model.feature_names_ == ["X0", "X1", "X2"]
    assert model.feature_types_ == ["numerical"] * 3
    assert list(model.xgb_params_) == ["max_depth", "n_estimators", "eta", "gamma", "tree_method", "max_bin",
                                       "reg_lambda", "reg_alpha", "monotone_constraints", "random_state"]
    assert model.xgb_params_["eta"] == 0.3 and model.xgb_params_["max_bin"] == 256
    assert type(model.estimator_) is xgboost.XGBRegressor
    assert type(small(XGB2Classifier).fit(X, Y_CLS).estimator_) is xgboost.XGBClassifier

    names = ["a", "b", "c"]
    model = small(XGB2Regressor, feature_names=names, mono_increasing_list=("a", "c"),
                  mono_decreasing_list=("c", "b")).fit(X, Y_REG)
    assert model.xgb_params_["monotone_constraints"] == "(1, -1, 1)"
    names.append("d")
    assert model.feature_names_ == ["a", "b", "c"]
    one = small(XGB2Regressor).fit(X[:, :1], Y_REG)
    assert one.xgb_params_["monotone_constraints"] == "(0,)"


def test_feature_metadata_length_is_checked_before_training():
    for key in ("feature_names", "feature_types"):
        model = small(XGB2Regressor, **{key: ["a", "b"]})
        with pytest.raises(ValueError, match=f"{key} has 2 entries, but X has 3 columns"):
            model.fit(X, Y_REG)
        assert not hasattr(model, "estimator_")


def fit_with(tree_method):
    """The fitted regressor, and whether training ran (gpu_hist needs a GPU before XGBoost 3.1)."""
    model = small(XGB2Regressor, tree_method=tree_method)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # XGBoost 3.1+ falls back to the CPU without a GPU
        try:
            model.fit(X, Y_REG)
        except xgboost.core.XGBoostError as error:
            if tree_method != "gpu_hist" or "device" not in str(error):
                raise
            return model, False
    return model, True


@pytest.mark.parametrize("tree_method", ["exact", "hist", "approx", "auto", "gpu_hist"])
def test_tree_methods_train(tree_method):
    model, trained = fit_with(tree_method)
    params = model.xgb_params_  # set before training, also where training needs a missing GPU
    major, minor = (int(p) for p in xgboost.__version__.split(".")[:2])
    if tree_method == "gpu_hist" and (major, minor) >= (3, 1):
        assert (params["tree_method"], params["device"]) == ("hist", "cuda") and len(params) == 11
    else:
        assert params["tree_method"] == tree_method and len(params) == 10
    if trained:
        assert model.predict(X).shape == (60,)


def test_sample_weights():
    model = XGB2Regressor()
    x4, y4 = X[:4], Y_REG[:4]
    x, y, w = model._validate_input(x4, y4, np.array([0, 1, 1, 2]))
    np.testing.assert_allclose(w, [0.75, 0.75, 1.5])
    np.testing.assert_array_equal(x, x4[1:])
    _, _, w = model._validate_input(x4, y4, np.array([-1.0, 2, 0, 3]))
    np.testing.assert_allclose(w, [0.8, 1.2])
    np.testing.assert_array_equal(model._validate_input(x4, y4, None)[2], np.ones(4))
    _, _, w = model._validate_input(x4[:2], y4[:2], [1e308, 1e308])
    np.testing.assert_allclose(w, [1.0, 1.0])
    cases = [([0, 0, 0, 0], NO_WEIGHT), ([-1, 0, np.nan, 0], "Invalid sample_weight"),
             ([1, np.inf, 1, 1], "Invalid sample_weight"),
             ([1, -np.inf, 1, 1], "Invalid sample_weight"), (np.ones(5), "sample_weight shape mismatches the input"),
             (np.ones((4, 2)), "sample_weight shape mismatches the input"),
             (1.0, "sample_weight shape mismatches the input"), ([0, 0, 3, 0], "n_samples=1")]
    for weights, message in cases:
        with pytest.raises(ValueError) as info:
            model._validate_input(x4, y4, weights)
        assert str(info.value) == message
    with pytest.raises(ValueError, match="n_samples=1"):
        model.fit(X[:1], Y_REG[:1])
    weights = np.ones(60)
    weights[:10] = 0
    fitted = small(XGB2Classifier).fit(X, Y_CLS, sample_weight=weights)
    np.testing.assert_array_equal(fitted.X_, X[10:])


def test_classifier_labels_and_predictions():
    clf = small(XGB2Classifier)
    _, target, _ = clf._validate_input(X, Y_CLS, None)
    np.testing.assert_array_equal(clf.classes_, [3, 7])
    np.testing.assert_array_equal(target, (Y_CLS == 7).astype(float))
    clf.fit(X, Y_CLS)
    assert set(clf.predict(X)) <= {3, 7} and clf.predict_proba(X).shape == (60, 2)
    clf.predict_proba = lambda _: np.array([[0.5, 0.5], [0.0, 1.0], [1.0, 0.0]])
    np.testing.assert_array_equal(clf.predict(X[:3]), [3, 7, 3])
    np.testing.assert_allclose(clf.decision_function(X[:3]), [0.0, 16.1180956, -16.1180956], atol=1e-6)
    labels = np.where(Y_CLS == 7, "yes", "no")
    assert set(small(XGB2Classifier).fit(X, labels).predict(X)) <= {"no", "yes"}
    with pytest.raises(ValueError) as info:
        clf.fit(X, np.arange(60) % 3)
    assert str(info.value) == "multi-classification not supported. Only binary classification is supported."
    with pytest.raises(ValueError, match="only one class is present"):
        clf.fit(X, np.ones(60))


def test_prediction_checks():
    for model in (small(XGB2Regressor).fit(X, Y_REG), small(XGB2Classifier).fit(X, Y_CLS)):
        with pytest.raises(ValueError) as info:
            model.predict(X[:, :2])
        assert str(info.value) == (f"{TWO_LINES} X has 2 features, but {type(model).__name__} "
                                   "is expecting 3 features as input.")
        with pytest.raises(ValueError):
            model.predict(X[0])
    with pytest.raises(NotFittedError):
        XGB2Regressor().predict(X)
    # fits that fail in validation, after n_features_in_ was set: one row; one class
    for model, x, y in ((small(XGB2Regressor), X[:1], Y_REG[:1]), (small(XGB2Classifier), X, np.ones(60))):
        with pytest.raises(ValueError):
            model.fit(x, y)
        assert hasattr(model, "n_features_in_")
        for method in ("predict", "predict_proba", "decision_function"):
            if hasattr(model, method):
                with pytest.raises(NotFittedError):
                    getattr(model, method)(X)
    with pytest.raises(AttributeError):
        XGB2Base().fit(X, Y_REG)


def test_tags():
    reason = ("zero sample_weight is not equivalent to removing samples",)
    assert XGB2Regressor()._more_tags() == {"_xfail_checks": {"check_sample_weights_invariance": reason}}
    tags = XGB2Classifier()._more_tags()
    assert list(tags) == ["binary_only", "_xfail_checks"] and tags["binary_only"] is True
    if hasattr(XGB2Classifier, "__sklearn_tags__"):
        assert XGB2Classifier().__sklearn_tags__().classifier_tags.multi_class is False
        assert XGB2Regressor().__sklearn_tags__().estimator_type == "regressor"


def test_fit_returns_self_and_refits():
    model = small(XGB2Regressor)
    assert model.fit(X, Y_REG) is model and model.is_fitted_ is True
    first = model.estimator_
    model.fit(X[:, :2], Y_REG)
    assert model.estimator_ is not first and model.n_features_in_ == 2 and model.X_.shape == (60, 2)


@pytest.mark.skipif(not hasattr(BaseEstimator, "get_metadata_routing"), reason="no metadata routing")
def test_metadata_routing_of_sample_weight():
    weights = np.ones(60)
    weights[::4] = 0  # rows with zero weight are dropped from X_, which shows the weights arrived
    for cls, y in ((XGB2Regressor, Y_REG), (XGB2Classifier, Y_CLS)):
        assert cls().get_metadata_routing().fit.requests == {"sample_weight": None}
        with sklearn.config_context(enable_metadata_routing=True):
            model = small(cls).set_fit_request(sample_weight=True).set_score_request(sample_weight=False)
            assert model.get_metadata_routing().fit.requests == {"sample_weight": True}
            if "params" not in inspect.signature(cross_validate).parameters:
                continue  # cross_validate routes metadata from scikit-learn 1.4 on
            result = cross_validate(model, X, y, params={"sample_weight": weights}, cv=2, return_estimator=True)
        assert sum(m.X_.shape[0] for m in result["estimator"]) == 45  # each row trains in one fold


@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier, XGB2BaggedRegressor, XGB2BaggedClassifier])
def test_misuse_gets_a_clear_error(cls):
    bagged = cls in (XGB2BaggedRegressor, XGB2BaggedClassifier)
    settings = dict(n_bags=2, max_rounds=5) if bagged else dict(n_estimators=3)
    y = Y_REG if cls in (XGB2Regressor, XGB2BaggedRegressor) else Y_CLS
    # A monotone list naming no feature would leave its feature unconstrained without a word.
    for key in ("mono_increasing_list", "mono_decreasing_list"):
        with pytest.raises(ValueError, match=f"^{key} names 'x1', which is not a feature: the features are "
                                             r"\['X0', 'X1', 'X2'\]\.$"):
            cls(**settings, **{key: ("X0", "x1")}).fit(X, y)
    model = cls(**settings)
    for method, args in (("parse_model", ()), ("partial_dependence", ((0,), X))):
        with pytest.raises(NotFittedError):
            getattr(model, method)(*args)
    if cls in (XGB2Regressor, XGB2BaggedRegressor):  # text targets of a regressor
        for text in (np.where(Y_REG > 0, "high", "low"), np.array(["1.5"] * 60)):
            with pytest.raises(ValueError, match="^y must hold numbers for a regressor, got an array of dtype <U"):
                cls(**settings).fit(X, text)
