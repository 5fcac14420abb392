"""The depth-2 models on Dask collections: the same model, predictions and decomposition as
in memory."""

import pickle

import numpy as np
import pandas as pd
import pytest

from tamrel.models.xgb2.xgboost import XGB2BaggedClassifier, XGB2BaggedRegressor, XGB2Classifier, XGB2Regressor

dask = pytest.importorskip("dask", reason="the dask extra is not installed (pip install '.[dask]')")
da = pytest.importorskip("dask.array", reason="the dask extra is not installed (pip install '.[dask]')")
dd = pytest.importorskip("dask.dataframe", reason="the dask extra is not installed (pip install '.[dask]')")
pytest.importorskip("distributed", reason="the dask extra is not installed (pip install '.[dask]')")

rng = np.random.default_rng(3)
N = 600
X = rng.normal(size=(N, 4))
Y = X[:, 0] + np.sin(2 * X[:, 1]) + X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=N)
WEIGHTS = rng.uniform(0, 2, size=N) * (rng.uniform(size=N) > 0.1)
CHUNKS = (100, 250, 0, 250)  # uneven, one partition empty


def dask_rows(a):
    return da.from_array(a, chunks=(CHUNKS,) + a.shape[1:])


def dask_frame(a, columns):
    frame = pd.DataFrame(a, columns=columns)
    return dd.from_pandas(frame, npartitions=3, sort=False)


def test_training_without_client_refused():
    import distributed

    with pytest.raises(ValueError):
        distributed.default_client()  # no cluster from an earlier test
    with pytest.raises(ValueError, match="no distributed.Client is running"):
        XGB2Regressor(n_estimators=2).fit(dask_rows(X), dask_rows(Y))


@pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
@pytest.mark.parametrize("weighted", [False, True])
def test_dask_fit_matches_in_memory(dask_client, cls, weighted):
    y = Y if cls is XGB2Regressor else np.where(Y > 0.5, "yes", "no")
    w = WEIGHTS if weighted else None
    local = cls(n_estimators=20).fit(X, y, sample_weight=w)
    dist = cls(n_estimators=20).fit(dask_rows(X), dask_rows(y), sample_weight=None if w is None else dask_rows(w))
    assert type(dist.estimator_) is type(local.estimator_)
    assert dist.xgb_params_ == local.xgb_params_
    assert isinstance(dist.X_, da.Array)
    margin = local.estimator_.predict(X, output_margin=True)
    np.testing.assert_allclose(dist.estimator_.predict(X, output_margin=True), margin, rtol=1e-5, atol=1e-5)
    methods = ["predict"] + (["predict_proba", "decision_function"] if cls is XGB2Classifier else [])
    restored = pickle.loads(pickle.dumps(dist))
    for method in methods:
        lazy = getattr(dist, method)(dask_rows(X))
        assert isinstance(lazy, da.Array)
        in_memory = getattr(dist, method)(X)
        np.testing.assert_array_equal(lazy.compute(), in_memory)
        np.testing.assert_array_equal(getattr(restored, method)(X), in_memory)

    dist_view, local_view = dist.parse_model(), local.parse_model()
    assert dist.intercept_ == pytest.approx(local.intercept_, abs=1e-5)
    pd.testing.assert_frame_equal(dist_view.effect_table_[["effect", "type", "fidx"]],
                                  local_view.effect_table_[["effect", "type", "fidx"]])
    # The same model parsed in memory: the counts give the same decomposition and importances.
    dist_in_memory = pickle.loads(pickle.dumps(dist))
    dist_in_memory.X_ = dist.X_.compute()
    reference = dist_in_memory.parse_model()
    np.testing.assert_allclose(dist_view.effect_table_["importance"], reference.effect_table_["importance"],
                               rtol=1e-12, atol=1e-15)
    assert dist.intercept_ == pytest.approx(dist_in_memory.intercept_, rel=1e-12)
    total = np.full(N, dist.intercept_)
    for kind in ("1D", "2D"):
        for key, record in dist.effects_[kind].items():
            np.testing.assert_allclose(record["values"], dist_in_memory.effects_[kind][key]["values"],
                                       rtol=1e-12, atol=1e-12)
            lazy = dist.partial_dependence(record["fidx"], dask_rows(X))
            assert isinstance(lazy, da.Array)
            values = lazy.compute()
            np.testing.assert_array_equal(values, dist.partial_dependence(record["fidx"], X))
            total += values
    np.testing.assert_allclose(total, dist.estimator_.predict(X, output_margin=True), rtol=1e-5, atol=1e-5)
    lazy = dist_view.contributions(dask_rows(X))
    assert isinstance(lazy, dd.DataFrame)
    np.testing.assert_array_equal(lazy.compute().to_numpy(), dist_view.contributions(X).to_numpy())
    grid = dist_view.get_effect(dist_view.effect_table_["effect"][0])
    reference_grid = reference.get_effect(dist_view.effect_table_["effect"][0])
    for edges, expected in zip(grid["edges"], reference_grid["edges"]):
        np.testing.assert_array_equal(edges, expected)


def test_dask_dataframe_input(dask_client):
    names = ["a", "b", "c", "d"]
    frame = dask_frame(X, names)
    target = dd.from_pandas(pd.Series(Y), npartitions=3, sort=False)
    model = XGB2Regressor(n_estimators=10).fit(frame, target)
    local = XGB2Regressor(n_estimators=10).fit(pd.DataFrame(X, columns=names), Y)
    assert list(model.feature_names_in_) == names
    np.testing.assert_allclose(model.predict(frame).compute(), local.predict(pd.DataFrame(X, columns=names)),
                               rtol=1e-5, atol=1e-5)
    with dask.config.set(scheduler="threads"):  # parsing needs no cluster
        model.parse_model()
    assert set(model.effects_["1D"]) == set(local.parse_model().model.effects_["1D"])


def test_dask_input_refused(dask_client):
    bad = X.copy()
    bad[5, 1] = np.nan
    with pytest.raises(ValueError, match="NaN or infinity"):
        XGB2Regressor(n_estimators=2).fit(dask_rows(bad), dask_rows(Y))
    with pytest.raises(ValueError, match="same partitions"):
        XGB2Regressor(n_estimators=2).fit(dask_rows(X), da.from_array(Y, chunks=300))
    with pytest.raises(ValueError, match="no sample weight is greater than zero"):
        XGB2Regressor(n_estimators=2).fit(dask_rows(X), dask_rows(Y), sample_weight=dask_rows(np.zeros(N)))
    with pytest.raises(ValueError, match="Only binary"):
        XGB2Classifier(n_estimators=2).fit(dask_rows(X), dask_rows(np.arange(N) % 3))
    huge = X.copy()
    huge[[3, 8], 2] = 1e300  # counted in the validation pass, never gathered
    with pytest.raises(ValueError, match=r"'X2' \(column 2\) holds 2 value\(s\) beyond the float32 range"):
        XGB2Regressor(n_estimators=2).fit(dask_rows(huge), dask_rows(Y))


@pytest.mark.parametrize("cls", [XGB2BaggedRegressor, XGB2BaggedClassifier])
def test_dask_bagged_decomposition_is_exact(dask_client, cls):
    x = X.copy()
    x[::6, 1] = np.nan  # missing values travel as NaN
    y = Y if cls is XGB2BaggedRegressor else Y > 0.5
    settings = dict(n_bags=2, learning_rate=0.3, max_rounds=60, early_stopping_rounds=5, interactions=2, n_jobs=1)
    dist = cls(**settings).fit(dask_rows(x), dask_rows(y))
    local = cls(**settings).fit(x, y)
    assert isinstance(dist.X_, da.Array) and len(dist.boosters_) == 2 and dist.interactions_
    assert isinstance(dist.held_out_rows_[0], da.Array)
    for model in (dist, local):
        view = model.parse_model()
        margin = model.decision_function(x) if cls is XGB2BaggedClassifier else model.predict(x)
        total = view.intercept_ + view.contributions(x).sum(axis=1).to_numpy()
        np.testing.assert_allclose(total, margin, rtol=0, atol=1e-5)
    # The same bags parsed in memory give the same decomposition.
    in_memory = pickle.loads(pickle.dumps(dist))
    in_memory.X_ = dist.X_.compute()
    in_memory.parse_model()
    assert dist.intercept_ == pytest.approx(in_memory.intercept_, rel=1e-12)
    for key, record in dist.effects_["1D"].items():
        np.testing.assert_allclose(record["values"], in_memory.effects_["1D"][key]["values"], rtol=1e-12, atol=1e-12)
    lazy = dist.predict(dask_rows(x))
    np.testing.assert_array_equal(lazy.compute(), dist.predict(x))
