import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.tree import DecisionTreeClassifier

from tamrel.diagnoser.base import BaseDiagnoser
from tamrel.exceptions import TamrelError

rng = np.random.default_rng(2)
N = 50
X = rng.normal(size=(N, 3))
Y = (X[:, 0] + 0.3 * rng.normal(size=N) > 0).astype(np.int64)
TRAIN, TEST = np.arange(35), np.arange(35, N)


ORDER = ("prediction", "prediction_proba", "train_idx", "test_idx", "sample_weight",
         "feature_names", "feature_types", "target_name", "predict_name")


def _fit(diag, x=X, y=Y, **kw):
    """Call fit positionally, as the facade does."""
    args = dict(dict.fromkeys(ORDER), train_idx=TRAIN, test_idx=TEST)
    args.update(kw)
    return diag.fit(x, y, *(args[name] for name in ORDER))


def test_task_type_inferred_or_checked():
    assert BaseDiagnoser(LogisticRegression(), None, 0).task_type == "classification"
    assert BaseDiagnoser(LinearRegression(), None, 0).task_type == "regression"
    assert BaseDiagnoser(None, None, 0).task_type == "regression"
    assert BaseDiagnoser(None, "classification", 3).random_state == 3
    ranking = BaseDiagnoser(None, "ranking", 0)  # constructors only store
    with pytest.raises(TamrelError, match="task_type"):
        ranking.fit(np.zeros((4, 1)), np.zeros(4), train_idx=[0, 1], test_idx=[2, 3])


class _PlainModel:
    """A model outside scikit-learn: predict only, no estimator tags."""

    def predict(self, x):
        return np.asarray(x)[:, 0] * 2


def test_model_outside_sklearn():
    diag = BaseDiagnoser(_PlainModel(), None, 0)
    assert diag.task_type == "regression"
    _fit(diag)
    np.testing.assert_array_equal(diag.pred, X[:, 0] * 2)
    assert diag.pred_proba is None
    labelled = _PlainModel()
    labelled._estimator_type = "classifier"
    assert BaseDiagnoser(labelled, None, 0).task_type == "classification"


def test_dataframe_gives_names_and_estimator_predictions():
    frame = pd.DataFrame(X, columns=["a", "b", "c"])
    model = LogisticRegression().fit(frame, Y)
    diag = BaseDiagnoser(model, None, 0)
    _fit(diag, frame)
    assert diag.feature_names == ["a", "b", "c"]
    assert diag.feature_types == ["numerical"] * 3
    assert (diag.target_name, diag.predict_name) == ("target", "prediction")
    assert diag.x.dtype == np.float64 and diag.x.shape == (N, 3)
    np.testing.assert_array_equal(diag.pred, model.predict(frame))
    np.testing.assert_array_equal(diag.pred_proba, model.predict_proba(frame)[:, 1])
    assert diag.pred.dtype == np.float64 and diag.pred_proba.ndim == 1


def test_arrays_are_stored_without_copy_and_positions_normalised():
    x = np.asfortranarray(X)
    diag = BaseDiagnoser(None, None, 0)
    _fit(diag, x, Y[:, None], train_idx=[0, -1], test_idx=np.array([], dtype=int),
         prediction=np.zeros(N), prediction_proba=np.c_[np.ones(N) * 0.3, np.ones(N) * 0.7],
         sample_weight=np.ones(N, dtype=np.int32), feature_names=["p", "q", "r"],
         feature_types=["numerical", "categorical", "numerical"])
    assert diag.x is x
    assert diag.y.shape == (N,)
    assert diag.train_idx.tolist() == [0, N - 1] and diag.train_idx.dtype == np.int64
    assert diag.test_idx.shape == (0,) and diag.test_idx.dtype == np.int64
    assert diag.sample_weight.dtype == np.float64
    assert np.all(diag.pred_proba == 0.7)
    assert diag.feature_names == ["p", "q", "r"]


def test_predictions_stay_none_without_estimator():
    diag = BaseDiagnoser(None, None, 0)
    _fit(diag)
    assert diag.pred is None and diag.pred_proba is None and diag.sample_weight is None
    assert diag.feature_names == ["X0", "X1", "X2"]
    # a multi-class classifier gives predictions but no positive-class column
    tree = DecisionTreeClassifier(max_depth=2).fit(X, np.arange(N) % 3)
    diag = BaseDiagnoser(tree, None, 0)
    _fit(diag)
    assert diag.pred is not None and diag.pred_proba is None


@pytest.mark.parametrize("kw,match", [
    (dict(x=X[:, 0]), "x must be two-dimensional"),
    (dict(x=X[None]), "x must be two-dimensional"),
    (dict(x=np.full((N, 3), "a")), "x must be numeric"),
    (dict(x=np.full((N, 3), "u", dtype=object)), "x must be numeric"),  # a DataFrame may hold text
    (dict(y=Y[:-1]), "y has 49 entries but x has 50 rows"),
    (dict(y=np.c_[Y, Y]), "y must be one-dimensional"),
    (dict(prediction=np.zeros(N - 1)), "prediction has 49 entries but x has 50 rows"),
    (dict(prediction_proba=np.ones((N, 3)) / 3), "prediction_proba"),
    (dict(train_idx=[0, N]), r"train_idx .*\[-50, 50\)"),
    (dict(test_idx=[-N - 1]), r"test_idx .*\[-50, 50\)"),
    (dict(train_idx=np.ones(N, dtype=bool)), "train_idx"),
    (dict(test_idx=[0.0, 1.5]), "test_idx"),
    (dict(train_idx=None), "train_idx"),
    (dict(sample_weight=np.ones(N + 1)), "sample_weight has 51 entries"),
    (dict(feature_names=["a", "b"]), "feature_names has 2 entries but x has 3 columns"),
    (dict(feature_names=["a", "b", "a"]), "unique"),
    (dict(feature_names="abc"), "feature_names"),
    (dict(feature_types=["numerical"] * 3 + ["categorical"]), "feature_types has 4"),
    (dict(feature_types=["numerical", "ordinal", "numerical"]), "ordinal"),
])
def test_bad_input_raises_naming_argument(kw, match):
    diag = BaseDiagnoser(None, None, 0)
    with pytest.raises(TamrelError, match=match):
        _fit(diag, **kw)
    assert not hasattr(diag, "x")  # nothing stored by a failed fit


@pytest.mark.parametrize("weights, error", [(np.r_[np.ones(N - 1), np.nan], ValueError),
                                            (np.array(["1.5"] * N), TypeError),
                                            (np.array([2] * N, dtype=object).astype(str).astype(object), TypeError)])
def test_weights_by_the_error_rule(weights, error):
    with pytest.raises(error, match="sample_weight"):
        _fit(BaseDiagnoser(None, None, 0), sample_weight=weights)


def test_float_positions_with_integer_values_are_accepted():
    diag = BaseDiagnoser(None, None, 0)
    _fit(diag, train_idx=np.array([0.0, 3.0]))
    assert diag.train_idx.tolist() == [0, 3] and diag.train_idx.dtype == np.int64
