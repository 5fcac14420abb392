"""parse_model, _base_extract_rules and partial_dependence, and the exactness of the
decomposition against XGBoost's own margins."""

import numpy as np
import pytest

from tamrel.models.interpreter import FANOVAInterpreter
from tamrel.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

rng = np.random.default_rng(1)
X = rng.normal(size=(300, 4))
Y = X[:, 0] + np.sin(2 * X[:, 1]) + X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=300)
WEIGHTS = rng.uniform(0, 2, size=300) * (rng.uniform(size=300) > 0.1)


def decomposed(model, data):
    """intercept_ plus every parsed effect, evaluated through partial_dependence."""
    total = np.full(data.shape[0], model.intercept_)
    for kind in ("1D", "2D"):
        for record in model.effects_[kind].values():
            total += model.partial_dependence(record["fidx"], data)
    return total


def edge_rows(model):
    """Rows on and next to every threshold (in float64 and in float32), plus far outside."""
    rows = [rng.normal(size=(200, 4)) * 4]
    for j, thresholds in enumerate(model._base_extract_rules().values()):
        for t in thresholds:
            for v in (t, np.nextafter(t, -np.inf), np.nextafter(np.float32(t), np.float32(-np.inf)), t + 1e-9):
                row = rng.normal(size=(1, 4))
                row[0, j] = v
                rows.append(row)
    return np.vstack(rows)


@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
@pytest.mark.parametrize("max_depth", [1, 2])
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("monotone", [False, True])
def test_decomposition_reproduces_margins(cls, max_depth, weighted, monotone):
    y = Y if cls is XGB2Regressor else (Y > 0.5).astype(int)
    mono = {"mono_increasing_list": ("X0",), "mono_decreasing_list": ("X3",)} if monotone else {}
    model = cls(n_estimators=25, max_depth=max_depth, tree_method="exact" if monotone else "hist", **mono)
    model.fit(X, y, sample_weight=WEIGHTS if weighted else None)
    assert isinstance(model.parse_model(), FANOVAInterpreter)
    data = edge_rows(model)
    expected = model.estimator_.predict(data, output_margin=True)
    np.testing.assert_allclose(decomposed(model, data), expected, rtol=1e-5, atol=1e-5)
    if max_depth == 1:
        assert model.effects_["2D"] == {}


def test_parse_model_state():
    deep = XGB2Regressor(n_estimators=3, max_depth=3).fit(X, Y)
    assert deep.parse_model() == "Cannot interpret XGB with depth more than 2."
    assert not any(hasattr(deep, a) for a in ("unp_", "effects_", "intercept_"))
    model = XGB2Regressor(n_estimators=10).fit(X, Y, sample_weight=WEIGHTS)
    model.parse_model()
    assert model.effects_ is model.unp_.effects_ and model.intercept_ is model.unp_.intercept_
    assert model.unp_.purification is True and model.unp_.true_to_data is False
    assert model.unp_.feature_names == model.feature_names_
    first = model.effects_
    model.fit(X[:, :3], Y)  # a refit leaves the parsed attributes alone
    assert model.effects_ is first


def test_base_extract_rules():
    y = X[:, 0] + (X[:, 2] > 0.3)  # X1 and X3 never help
    model = XGB2Regressor(n_estimators=20, max_depth=1, feature_names=list("abcd")).fit(X, y)
    rules = model._base_extract_rules()
    assert list(rules) == ["a", "b", "c", "d"]
    frame = model.estimator_.get_booster().trees_to_dataframe()
    for name, booster_name in zip(rules, ["f0", "f1", "f2", "f3"]):
        thresholds = rules[name]
        assert np.all(np.diff(thresholds) > 0)
        np.testing.assert_array_equal(thresholds, np.unique(frame.Split[frame.Feature == booster_name]))
    assert rules["d"].size == 0
    assert model.n_splits_raw_ == sum(v.size for v in rules.values())


def test_partial_dependence_lookup():
    model = XGB2Regressor(n_estimators=20).fit(X, Y)
    for fidx in [(), (0, 1, 2)]:  # no effects_ needed to know that nothing matches
        with pytest.raises(ValueError, match="Effect not found."):
            model.partial_dependence(fidx, X)
    assert not hasattr(model, "effects_")
    model.partial_dependence((0,), X)  # parses first
    assert hasattr(model, "effects_")
    np.testing.assert_array_equal(model.partial_dependence((2,), X), model.partial_dependence([2], X))
    pair = next(iter(model.effects_["2D"].values()))["fidx"]
    forward = model.partial_dependence(pair, X)
    np.testing.assert_array_equal(forward, model.partial_dependence(pair[::-1], X))
    assert forward.shape == (300,)
    for fidx in [(1, 1), (), (0, 1, 2), (9,)]:
        with pytest.raises(ValueError, match="Effect not found."):
            model.partial_dependence(fidx, X)
    with pytest.raises(TypeError):
        model.partial_dependence(1, X)
    with pytest.raises(ValueError, match="NaN"):
        model.partial_dependence((0,), np.full((2, 4), np.nan))
    with pytest.raises(ValueError, match="Complex"):
        model.partial_dependence(pair, X.astype(complex))
