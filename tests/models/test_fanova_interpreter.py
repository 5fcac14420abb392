"""FANOVAInterpreter: importances, contributions, grids and plots of a parsed model."""

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pytest

from tamrel.models.xgb2.xgboost import XGB2Regressor

rng = np.random.default_rng(4)
X = rng.normal(size=(300, 3))
MODEL = XGB2Regressor(n_estimators=20, feature_names=["a", "b", "c"]).fit(X, 2 * X[:, 0] + X[:, 1] * X[:, 2])
VIEW = MODEL.parse_model()


def test_importance_table():
    table = VIEW.effect_table_
    assert list(table.columns) == ["effect", "type", "fidx", "importance", "ratio"]
    assert table["effect"].iloc[0] == "a" and np.all(np.diff(table["importance"]) <= 0)
    assert abs(table["ratio"].sum() - 1) < 1e-12
    parts = VIEW.contributions(X)
    assert list(parts.columns) == list(table["effect"])
    np.testing.assert_allclose(parts.var(ddof=0).to_numpy(), table["importance"].to_numpy(), rtol=1e-12)
    np.testing.assert_allclose(VIEW.intercept_ + parts.sum(axis=1), MODEL.estimator_.predict(X, output_margin=True),
                               atol=1e-5)


def test_effect_grids_and_plots():
    main = VIEW.get_effect("a")
    assert main["fidx"] == (0,) and main["edges"][0].size == main["values"].size + 1
    pair = VIEW.get_effect((2, 1))
    assert pair["name"] == "b x c"
    assert pair["values"].shape == (pair["edges"][0].size - 1, pair["edges"][1].size - 1)
    fig = VIEW.plot_effect("a")  # a figure, so that savefig works on what it returns
    curve, density = fig.axes
    assert curve.get_title() == "a" and "margin" in curve.get_ylabel()
    assert density.patches and density.get_ylim() == (0, 4)  # the data's density, in the lower quarter
    assert VIEW.plot_effect((1, 2)).axes[0].get_xlabel() == "b"
    for missing in ("zz", (0, 0), (5,)):
        with pytest.raises(ValueError, match="Effect not found"):
            VIEW.get_effect(missing)


def test_repeated_feature_names_keep_every_effect():
    model = XGB2Regressor(n_estimators=20, feature_names=["a", "a", "b"]).fit(X, 2 * X[:, 0] + X[:, 1] * X[:, 2])
    view = model.parse_model()
    parts = view.contributions(X)
    n_effects = len(model.effects_["1D"]) + len(model.effects_["2D"])
    assert parts.shape == (300, n_effects) and parts.columns.is_unique
    assert {"a[0]", "a[1]"} <= set(view.effect_table_["effect"])
    np.testing.assert_allclose(view.intercept_ + parts.sum(axis=1), model.estimator_.predict(X, output_margin=True),
                               atol=1e-5)
    assert view.get_effect("a[1]")["fidx"] == (1,)


def test_model_without_effects():
    flat = XGB2Regressor(n_estimators=3).fit(X, np.ones(300))
    view = flat.parse_model()
    assert view.effect_table_.shape == (0, 5)
    parts = view.contributions(X[:7])
    assert parts.shape == (7, 0)
    np.testing.assert_allclose(view.intercept_ + parts.sum(axis=1), flat.estimator_.predict(X[:7], output_margin=True))
    with pytest.raises(ValueError, match="two-dimensional"):
        view.contributions(X[0])


def test_classifier_effect_names_its_class():
    from tamrel.models.xgb2.xgboost import XGB2Classifier

    labels = np.where(X[:, 0] + X[:, 1] > 0, "yes", "no")
    view = XGB2Classifier(n_estimators=10, feature_names=["a", "b", "c"]).fit(X, labels).parse_model()
    assert "log-odds of class 'yes'" in view.plot_effect("a").axes[0].get_ylabel()
