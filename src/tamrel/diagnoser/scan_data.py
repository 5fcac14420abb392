"""Inputs of a weak-region scan: settings, validated data and the scanned columns."""

import numbers
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ..exceptions import TamrelError
from . import base
from .columns import category_codes, column_kinds, numeric_column, table_column
from .utils import get_scoring_metric

__all__ = ["Settings", "settings", "read_data", "scanned_features", "pair_list", "Column", "read_columns"]


@dataclass
class Settings:
    bins: int
    min_samples: float
    alpha: float
    multiplier: float  # threshold turned into a score multiplier
    score_name: str
    score_sign: float
    scoring_func: object
    needs_proba: bool
    additive: bool


def _number(value, name):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TamrelError(f"{name} must be a number, got {value!r}.")
    return float(value)


def settings(scan):
    """The scan's settings checked, with the metric's scoring configuration."""
    # the same rule as FrailZone's for the settings both share
    base.check_slicing_settings(scan.threshold, scan.min_samples, scan.bins)
    bins, min_samples, threshold = scan.bins.__index__(), float(scan.min_samples), float(scan.threshold)
    alpha = _number(scan.alpha, "alpha")
    if not 0 < alpha < 1:
        raise TamrelError(f"alpha must lie strictly between 0 and 1, got {scan.alpha!r}.")
    name, sign, func, needs_proba, additive = get_scoring_metric(scan.metric, average=False)
    # A higher-is-better score is weak below overall / threshold, as in FrailZone.
    multiplier = 1 / threshold if sign > 0 and threshold > 0 else threshold
    if scan.n_jobs is not None and (not isinstance(scan.n_jobs, numbers.Integral) or scan.n_jobs < 1):
        raise TamrelError(f"n_jobs must be a positive integer or None, got {scan.n_jobs!r}.")
    return Settings(bins, min_samples, alpha, multiplier, name, float(sign), func, needs_proba, additive)


def read_data(scan, x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight, feature_names,
              feature_types):
    """Validate the data and store it on the scan, as BaseDiagnoser.fit does for numeric x."""
    if scan.task_type not in ("regression", "classification"):
        raise TamrelError(f'task_type must be "regression" or "classification", got {scan.task_type!r}.')
    if not isinstance(x, pd.DataFrame):
        x = np.asarray(x)
        if x.ndim != 2:
            raise TamrelError(f"x must be two-dimensional, got shape {x.shape}.")
    values = scan._read_inputs(x, x.shape, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
                               feature_names, feature_types, {})
    del values["categories"]  # the scan codes its categorical columns itself
    for name, value in values.items():
        setattr(scan, name, value)
    return x


def _known(name, names):
    if name not in names:
        raise TamrelError(f"Unknown feature {name!r}; available features: {names}.")
    return name


def scanned_features(features, names):
    if features is None:
        return list(names)
    if isinstance(features, str):
        features = [features]
    chosen = [_known(f, names) for f in features]
    if len(set(chosen)) != len(chosen):
        raise TamrelError(f"features names a feature more than once: {chosen}.")
    if not chosen:
        raise TamrelError("features is empty: give at least one feature name.")
    return chosen


def pair_list(pairs, features, names):
    """The explicit pairs, "all" pairs of the features, or None for a number (decided later)."""
    if pairs is None:
        return []
    if isinstance(pairs, str):
        if pairs != "all":
            raise TamrelError(f'pairs must be "all", None, a number of features or a list of pairs, got {pairs!r}.')
        return [(a, b) for i, a in enumerate(features) for b in features[i + 1:]]
    if isinstance(pairs, numbers.Integral) and not isinstance(pairs, (bool, np.bool_)):
        if pairs < 0:
            raise TamrelError(f"pairs must not be negative, got {pairs}.")
        return None
    out = []
    for pair in pairs:
        if isinstance(pair, str) or len(pair) != 2:
            raise TamrelError(f"Each pair must name two features, got {pair!r}.")
        a, b = (_known(f, names) for f in pair)
        if a == b:
            raise TamrelError(f"The pair {tuple(pair)!r} names the feature {a!r} twice.")
        out.append((a, b))
    return out


@dataclass
class Column:
    """One scanned column: float64 values (NaN missing) or category codes (-1 missing)."""

    name: str
    numeric: bool
    values: np.ndarray
    categories: list = field(default_factory=list)
    position: int = -1  # column of a float64 x that `values` views, else -1


def read_columns(x, names, kinds, wanted):
    """The wanted columns of x by name, numeric or categorical by the shared column rule."""
    out = {}
    plain = isinstance(x, np.ndarray) and x.dtype == np.float64
    for name in wanted:
        j = names.index(name)
        col = table_column(x, j)
        if plain and kinds[j] == "numerical":
            out[name] = Column(name, True, col, position=j)  # a view: NaN is already missing
        elif kinds[j] == "categorical":
            codes, categories = category_codes(col)
            out[name] = Column(name, False, codes, list(categories))
        else:
            out[name] = Column(name, True, numeric_column(col, name))
    return out


def kinds_of(x, feature_types):
    return column_kinds(x, feature_types)
