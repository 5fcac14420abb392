"""Base class of the diagnosers: the model under test and the validated data."""

import numpy as np
from sklearn.base import is_classifier

from ..exceptions import TamrelError

__all__ = ["BaseDiagnoser"]

_TASK_TYPES = ("regression", "classification")
_FEATURE_TYPES = ("numerical", "categorical")


def _data_matrix(x):
    """``x`` as a 2-D float64 array; no copy when it already is one."""
    if getattr(x, "dtype", None) is not None and np.dtype(x.dtype).kind in "USMmc":
        raise TamrelError(f"x must be numeric, got dtype {x.dtype}.")
    try:
        arr = np.asarray(x, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TamrelError(f"x must be numeric: {exc}") from None
    if arr.ndim != 2:
        raise TamrelError(f"x must be two-dimensional, got shape {arr.shape}.")
    return arr


def _vector(values, name):
    """A 1-D array of ``values``; a single column (n, 1) is flattened."""
    arr = np.asarray(values)
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr.ravel()
    if arr.ndim != 1:
        raise TamrelError(f"{name} must be one-dimensional, got shape {arr.shape}.")
    return arr


def _check_length(arr, name, n_rows):
    if arr.shape[0] != n_rows:
        raise TamrelError(f"{name} has {arr.shape[0]} entries but x has {n_rows} rows.")
    return arr


def _float_vector(values, name, n_rows):
    arr = _vector(values, name)
    if arr.dtype.kind in "biuf":
        arr = arr.astype(np.float64, copy=False)
    return _check_length(arr, name, n_rows)


def _positions(idx, name, n_rows):
    """Row positions as int64 in [0, n_rows); negatives count from the end."""
    arr = _vector(idx, name)
    if arr.shape[0] == 0:
        return arr.astype(np.int64)
    kind = arr.dtype.kind
    if kind == "f":
        if not np.all(np.isfinite(arr)) or np.any(arr != np.floor(arr)):
            raise TamrelError(f"{name} must hold integer row positions, got non-integer values.")
    elif kind not in "iu":
        raise TamrelError(f"{name} must hold integer row positions, got dtype {arr.dtype}.")
    low, high = arr.min(), arr.max()
    if low < -n_rows or high >= n_rows:
        raise TamrelError(
            f"{name} holds positions from {low} to {high}, outside [{-n_rows}, {n_rows}) "
            f"for x with {n_rows} rows."
        )
    arr = arr.astype(np.int64, copy=False)
    return arr + n_rows * (arr < 0) if low < 0 else arr


def _weights(sample_weight, n_rows):
    if sample_weight is None:
        return None
    arr = _vector(sample_weight, "sample_weight")
    if arr.dtype.kind not in "biuf":
        raise TamrelError(f"sample_weight must be numeric, got dtype {arr.dtype}.")
    arr = _check_length(arr.astype(np.float64, copy=False), "sample_weight", n_rows)
    if not np.all(np.isfinite(arr)):
        raise TamrelError("sample_weight must hold finite values.")
    return arr


def _name_list(names, name, n_features):
    if isinstance(names, str) or not hasattr(names, "__len__"):
        raise TamrelError(f"{name} must be a list with one entry per column of x.")
    names = list(names)
    if len(names) != n_features:
        raise TamrelError(f"{name} has {len(names)} entries but x has {n_features} columns.")
    return names


def _feature_names(feature_names, x, n_features):
    if feature_names is None:
        columns = getattr(x, "columns", None)
        if columns is None:
            return [f"X{i}" for i in range(n_features)]
        feature_names = columns
    names = [str(n) for n in _name_list(feature_names, "feature_names", n_features)]
    if len(set(names)) != len(names):
        repeated = sorted({n for n in names if names.count(n) > 1})
        raise TamrelError(f"feature_names must be unique; repeated: {repeated}.")
    return names


def _feature_types(feature_types, n_features):
    if feature_types is None:
        return ["numerical"] * n_features
    types = _name_list(feature_types, "feature_types", n_features)
    bad = sorted({str(t) for t in types if t not in _FEATURE_TYPES})
    if bad:
        raise TamrelError(f'feature_types must be "numerical" or "categorical"; got {bad}.')
    return types


def _positive_column(proba, name, n_rows):
    """The positive-class probabilities: column 1 of a two-column matrix."""
    arr = np.asarray(proba)
    if arr.ndim == 2 and arr.shape[1] == 2:
        arr = arr[:, 1]
    elif arr.ndim == 2 and arr.shape[1] != 1:
        raise TamrelError(
            f"{name} must be one probability per row or a two-column matrix, got shape {arr.shape}."
        )
    arr = _float_vector(arr, name, n_rows)
    if arr.dtype != np.float64:
        raise TamrelError(f"{name} must be numeric, got dtype {arr.dtype}.")
    return arr


def _infer_task_type(estimator):
    """"classification" for a scikit-learn classifier, else "regression"."""
    if estimator is None:
        return "regression"
    try:
        classifier = is_classifier(estimator)
    except AttributeError:
        # recent scikit-learn reads tags that models outside it may lack
        classifier = getattr(estimator, "_estimator_type", None) == "classifier"
    return "classification" if classifier else "regression"


def _is_binary_classifier(estimator):
    classes = getattr(estimator, "classes_", None)
    return classes is None or len(classes) == 2


class BaseDiagnoser:
    """Base of the diagnosers: stores the model, the task and validated data.

    Parameters
    ----------
    estimator : object or None
        The fitted model under diagnosis; its ``predict`` / ``predict_proba``
        supply predictions that ``fit`` is not given.
    task_type : {"regression", "classification"} or None
        None infers "classification" for a scikit-learn classifier, else
        "regression".
    random_state : int or None
        Seed of the diagnoser.
    """

    def __init__(self, estimator, task_type=None, random_state=None):
        # Constructors only store; an unknown task type is refused by fit.
        self.estimator = estimator
        self.task_type = _infer_task_type(estimator) if task_type is None else task_type
        self.random_state = random_state

    def fit(self, x, y, prediction=None, prediction_proba=None, train_idx=None, test_idx=None,
            sample_weight=None, feature_names=None, feature_types=None, target_name=None,
            predict_name=None):
        """Validate and store the data, positions, predictions and metadata.

        ``x`` becomes a 2-D float64 array (a DataFrame's columns give the
        feature names when none are given), ``y`` a 1-D array, the positions
        int64 arrays inside the rows.  Missing predictions are computed with
        the estimator when it can.  Every mismatch raises ``TamrelError``.
        """
        if self.task_type not in _TASK_TYPES:
            raise TamrelError(f'task_type must be "regression" or "classification", got {self.task_type!r}.')
        data = _data_matrix(x)
        n_rows, n_features = data.shape
        if train_idx is None or test_idx is None:
            raise TamrelError("train_idx and test_idx are required.")
        values = {
            "x": data,
            "y": _check_length(_vector(y, "y"), "y", n_rows),
            "train_idx": _positions(train_idx, "train_idx", n_rows),
            "test_idx": _positions(test_idx, "test_idx", n_rows),
            "sample_weight": _weights(sample_weight, n_rows),
            "feature_names": _feature_names(feature_names, x, n_features),
            "feature_types": _feature_types(feature_types, n_features),
            "target_name": "target" if target_name is None else target_name,
            "predict_name": "prediction" if predict_name is None else predict_name,
        }
        values["pred"] = self._prediction(prediction, x, n_rows)
        values["pred_proba"] = self._probability(prediction_proba, x, n_rows)
        # stored only once everything is valid, so a failed fit changes nothing
        for name, value in values.items():
            setattr(self, name, value)
        return self

    def _prediction(self, prediction, x, n_rows):
        if prediction is None:
            if not hasattr(self.estimator, "predict"):
                return None
            prediction = self.estimator.predict(x)
        return _float_vector(prediction, "prediction", n_rows)

    def _probability(self, prediction_proba, x, n_rows):
        if prediction_proba is None:
            estimator = self.estimator
            if not hasattr(estimator, "predict_proba") or not _is_binary_classifier(estimator):
                return None
            prediction_proba = estimator.predict_proba(x)
            if np.ndim(prediction_proba) == 2 and np.shape(prediction_proba)[1] > 2:
                return None
        return _positive_column(prediction_proba, "prediction_proba", n_rows)
