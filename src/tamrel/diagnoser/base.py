"""Base class of the diagnosers: the model under test and the validated data."""

import inspect
import numbers

import numpy as np
import pandas as pd
from sklearn.base import is_classifier

from .. import settings
from ..exceptions import TamrelError
from .columns import category_codes, column_kinds, numeric_column
from .utils import check_finite

__all__ = ["BaseDiagnoser", "check_slicing_settings"]

_TASK_TYPES = ("regression", "classification")
_FEATURE_TYPES = ("numerical", "categorical")


def _data_matrix(x):
    """``x`` as a 2-D float64 array (no copy when it already is one) and the categories of
    the columns stored as category codes (a dict from column position to categories).

    An array must hold numbers (None and ``pd.NA`` read as NaN). A DataFrame may also hold
    text, category or bool columns: by the column-kind rule these are stored as their
    category codes, missing entries as NaN, so that every column stays numeric.
    """
    if isinstance(x, pd.DataFrame):
        return _frame_matrix(x)
    if getattr(x, "dtype", None) is not None and np.dtype(x.dtype).kind in "USMmc":
        raise TamrelError(f"x must be numeric, got dtype {x.dtype}.")
    try:
        arr = np.asarray(x, dtype=np.float64)
    except (TypeError, ValueError):
        arr = _object_matrix(x)
    if arr.ndim != 2:
        raise TamrelError(f"x must be two-dimensional, got shape {arr.shape}.")
    return arr, {}


def _object_matrix(x):
    """An array of numbers with missing entries (None, ``pd.NA``) as float64, NaN for missing."""
    arr = np.asarray(x, dtype=object)
    if arr.ndim != 2:
        raise TamrelError(f"x must be two-dimensional, got shape {arr.shape}.")
    frame = pd.DataFrame(arr)
    if any(kind == "categorical" for kind in column_kinds(frame)):
        raise TamrelError("x must be numeric: an array holds text; pass a pandas DataFrame to "
                          "analyse text or category columns.")
    return np.column_stack([numeric_column(frame.iloc[:, j], j) for j in range(frame.shape[1])]
                           ).reshape(frame.shape)


def _frame_matrix(frame):
    kinds = column_kinds(frame)
    if "categorical" not in kinds:
        try:
            return frame.to_numpy(dtype=np.float64, na_value=np.nan), {}
        except (TypeError, ValueError):
            pass  # object columns of numbers with None: converted column by column below
    out = np.empty(frame.shape, dtype=np.float64)
    categories = {}
    for j, kind in enumerate(kinds):
        column = frame.iloc[:, j]
        if kind == "categorical":
            codes, categories[j] = category_codes(column)
            out[:, j] = codes
            out[codes < 0, j] = np.nan
        else:
            try:
                out[:, j] = numeric_column(column, frame.columns[j])
            except TypeError as exc:
                raise TamrelError(f"x: {exc}") from None
    return out, categories


def _vector(values, name):
    """A 1-D array of ``values``; a single column (n, 1) is flattened.

    A pandas column of a nullable numeric dtype gives its NumPy dtype, NaN for ``pd.NA``.
    """
    if isinstance(values, (pd.Series, pd.Index)) and not isinstance(values.dtype, np.dtype):
        numpy_dtype = getattr(values.dtype, "numpy_dtype", None)
        if numpy_dtype is not None and np.dtype(numpy_dtype).kind in "biuf":
            missing = bool(values.isna().any())
            values = values.to_numpy(dtype=np.float64 if missing else numpy_dtype, na_value=np.nan)
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
    """Numbers as float64, labels as they are; non-finite or missing entries are refused."""
    arr = _vector(values, name)
    if arr.dtype.kind in "biuf":
        arr = arr.astype(np.float64, copy=False)
    return check_finite(_check_length(arr, name, n_rows), name)


def _target(y, task_type, n_rows):
    """The response: numbers for regression, numbers or class labels for classification."""
    arr = _check_length(_vector(y, "y"), "y", n_rows)
    kind = arr.dtype.kind
    if kind in "cmM":
        raise TypeError(f"y must hold real numbers or class labels, got dtype {arr.dtype}.")
    if kind == "O" and any(isinstance(v, (complex, np.complexfloating)) for v in arr):
        raise TypeError("y must hold real numbers or class labels, got complex numbers.")
    if task_type == "regression" and kind not in "biuf":
        # text is not parsed as numbers: only real numbers and missing entries pass
        if kind != "O" or not all(v is None or v is pd.NA or _is_real(v) for v in arr):
            raise TypeError(f"y must hold numbers for regression, got dtype {arr.dtype} with values "
                            "that are not numbers (class labels need task_type='classification').")
        arr = np.array([np.nan if v is None or v is pd.NA else float(v) for v in arr], dtype=np.float64)
    return check_finite(arr, "y")


def _is_real(value):
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _positions(idx, name, n_rows):
    """Row positions as int64 in [0, n_rows); negatives count from the end."""
    arr = _vector(idx, name)
    if arr.shape[0] == 0:
        return arr.astype(np.int64)
    kind = arr.dtype.kind
    if kind == "f":
        if not np.all(np.isfinite(arr)) or np.any(arr != np.floor(arr)):
            raise TamrelError(f"{name} must hold integer row positions, got non-integer values.")
    elif kind == "b":
        raise TamrelError(f"{name} must hold integer row positions, got a boolean mask; pass "
                          f"np.flatnonzero({name}) for the rows where it is true.")
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


def weights_of(sample_weight, n_rows):
    if sample_weight is None:
        return None
    arr = _vector(sample_weight, "sample_weight")
    if arr.dtype.kind not in "biuf":  # text such as "1.5" is not read as a number
        raise TypeError(f"sample_weight must be numeric, got dtype {arr.dtype}.")
    arr = _check_length(arr.astype(np.float64, copy=False), "sample_weight", n_rows)
    if not np.all(np.isfinite(arr)):
        raise ValueError("sample_weight must hold finite values.")
    return arr


def without_negative_weights(positions, weights):
    """The positions whose weight is not negative: the package's rule for weights, as the
    depth-2 models leave such rows out of training (a negative weight would turn a mean
    score or a variance negative)."""
    if weights is None:
        return positions
    return positions[weights[positions] >= 0]


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


def _feature_types(feature_types, n_features, coded):
    """The declared types; columns stored as category codes are "categorical" whatever is declared."""
    if feature_types is None:
        types = ["numerical"] * n_features
    else:
        types = _name_list(feature_types, "feature_types", n_features)
        bad = sorted({str(t) for t in types if t not in _FEATURE_TYPES})
        if bad:
            raise TamrelError(f'feature_types must be "numerical" or "categorical"; got {bad}.')
    for j in coded:
        types[j] = "categorical"
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

    ``fit`` stores ``x``, ``y``, ``train_idx``, ``test_idx``, ``sample_weight``,
    ``pred``, ``pred_proba``, ``feature_names``, ``feature_types``,
    ``target_name``, ``predict_name`` and ``categories`` (the categories of the
    DataFrame columns stored as category codes, by feature name).
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
        feature names when none are given): a numeric array is stored as it is
        (no copy when it is float64 already), missing entries (None, ``pd.NA``)
        as NaN. A DataFrame may also hold text, category or bool columns; each
        is stored as its category codes (0, 1, ... in the order of
        ``categories[name]``, NaN where missing) and its feature type becomes
        "categorical". The estimator always receives ``x`` as it was given.

        ``y`` becomes a 1-D array: numbers for regression, numbers or class
        labels for classification; complex and date-time values are refused.
        The positions become int64 arrays inside the rows; rows whose weight is negative
        are left out of both subsets (as the depth-2 models leave them out of training).
        Missing predictions
        are computed with the estimator when it can. NaN, infinite or missing
        entries of ``y`` and of the predictions raise ``ValueError``; any other
        mismatch raises ``TamrelError`` (``TypeError`` for a ``y`` of the wrong
        kind).
        """
        if self.task_type not in _TASK_TYPES:
            raise TamrelError(f'task_type must be "regression" or "classification", got {self.task_type!r}.')
        data, coded = _data_matrix(x)
        values = {"x": data, **self._read_inputs(x, data.shape, y, train_idx, test_idx, prediction, prediction_proba,
                                                              sample_weight, feature_names, feature_types,
                                                              coded),
                  "target_name": "target" if target_name is None else target_name,
                  "predict_name": "prediction" if predict_name is None else predict_name}
        # stored only once everything is valid, so a failed fit changes nothing
        for name, value in values.items():
            setattr(self, name, value)
        return self

    def _read_inputs(self, x, shape, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
                     feature_names, feature_types, coded):
        """Everything fit stores but ``x`` itself, validated against ``shape``, the shape of ``x``.

        ``coded`` maps the positions of the columns stored as category codes to their
        categories; those columns are typed "categorical".
        """
        n_rows, n_features = shape
        if train_idx is None or test_idx is None:
            raise TamrelError("train_idx and test_idx are required.")
        names = _feature_names(feature_names, x, n_features)
        weights = weights_of(sample_weight, n_rows)
        return {
            "y": _target(y, self.task_type, n_rows),
            "train_idx": without_negative_weights(_positions(train_idx, "train_idx", n_rows), weights),
            "test_idx": without_negative_weights(_positions(test_idx, "test_idx", n_rows), weights),
            "sample_weight": weights,
            "feature_names": names,
            "feature_types": _feature_types(feature_types, n_features, coded),
            "categories": {names[j]: categories for j, categories in coded.items()},
            "pred": self._prediction(prediction, x, n_rows),
            "pred_proba": self._probability(prediction_proba, x, n_rows),
        }

    def __repr__(self):
        """The class name and the constructor arguments that differ from their defaults."""
        params = inspect.signature(type(self).__init__).parameters
        shown = []
        for name, param in list(params.items())[1:]:
            if param.kind in (param.VAR_POSITIONAL, param.VAR_KEYWORD) or not hasattr(self, name):
                continue
            value = getattr(self, name)
            if param.default is param.empty or repr(value) != repr(param.default):
                shown.append(f"{name}={value!r}")
        return f"{type(self).__name__}({', '.join(shown)})"

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


def check_threshold(value, name="threshold"):
    """A finite number (0 or below keeps its documented meaning); a bool is refused."""
    return settings.number(finite=True)(value, name)


def check_min_samples(value, name="min_samples"):
    """A number of at least 1; a bool is refused."""
    v = settings.number()(value, name)
    if v < 1:
        raise ValueError(f"{name} must be at least 1, got {value!r}.")
    return v


def check_bins(value, name="bins"):
    """A positive integer; a bool or None is refused."""
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise TypeError(f"{name} must be a positive integer, got {value!r}.")
    if value.__index__() < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}.")
    return value.__index__()


def check_slicing_settings(threshold, min_samples, bins=None):
    """Refuse unusable slicing settings before any work, naming the setting.

    ``threshold`` must be a finite number (0 or below keeps its documented meaning),
    ``min_samples`` a number of at least 1, and ``bins`` (None when it plays no part) a
    positive integer; a bool is refused for each.
    """
    check_threshold(threshold)
    check_min_samples(min_samples)
    if bins is not None:
        check_bins(bins)
