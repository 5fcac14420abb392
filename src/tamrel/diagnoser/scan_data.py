"""Inputs of a weak-region scan: settings, validated data and the scanned columns."""

import numbers
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ..exceptions import TamrelError
from .columns import category_codes, column_kinds, numeric_column, table_column

__all__ = ["read_data", "scanned_features", "pair_list", "Column", "read_columns", "kinds_of", "positions",
           "subsets", "split_half", "Baseline"]


@dataclass
class Baseline:
    """The baseline's predictions given to a comparison (either may be None: the baseline
    model then computes them)."""

    prediction: object = None
    prediction_proba: object = None

    def given(self, plan, model):
        """The given predictions the plan reads (probabilities where it reads them), None
        where `model` computes them; an error where neither is at hand."""
        given = self.prediction_proba if plan.needs_proba else self.prediction
        if given is None and model is None:
            what = "prediction_proba" if plan.needs_proba else "prediction"
            raise TamrelError(f"The comparison needs the baseline's {what}: pass it or a fitted baseline.")
        return given


def read_data(scan, x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight, feature_names,
              feature_types):
    """Validate the data and store it on the scan, as BaseDiagnoser.fit does for numeric x;
    train_idx/test_idx may be boolean masks over the rows."""
    if scan.task_type not in ("regression", "classification"):
        raise ValueError(f'task_type must be "regression" or "classification", got {scan.task_type!r}.')
    if not isinstance(x, pd.DataFrame):
        x = np.asarray(x)
        if x.ndim != 2:
            raise ValueError(f"x must be two-dimensional, got shape {x.shape}.")
    n_rows = x.shape[0]
    train_idx, test_idx = positions(train_idx, "train_idx", n_rows), positions(test_idx, "test_idx", n_rows)
    values = scan._read_inputs(x, x.shape, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
                               feature_names, feature_types, {})
    del values["categories"]  # the scan codes its categorical columns itself
    for name, value in values.items():
        setattr(scan, name, value)
    return x


def positions(idx, name, n_rows):
    """Row positions of a subset: integer positions as they are, a boolean mask over the rows
    as the positions where it is true."""
    if idx is None:
        raise TamrelError("train_idx and test_idx are required.")
    arr = np.asarray(idx)
    if arr.dtype == bool:
        if arr.ndim != 1 or arr.shape[0] != n_rows:
            raise ValueError(f"{name} is a boolean mask of shape {arr.shape}; a mask needs one entry per row of "
                             f"x ({n_rows}).")
        return np.flatnonzero(arr)
    return idx


def _known(name, names):
    if name not in names:
        raise TamrelError(f"Unknown feature {name!r}; available features: {names}.")
    return name


def _name_list(value, setting):
    """A list of names; anything else is refused naming the setting."""
    if isinstance(value, str):
        return [value]
    if isinstance(value, (bool, np.bool_, numbers.Number)) or not hasattr(value, "__iter__"):
        raise TypeError(f"{setting} must be a feature name or a list of names, got {value!r}.")
    return list(value)


def scanned_features(features, names):
    if features is None:
        return list(names)
    chosen = [_known(f, names) for f in _name_list(features, "features")]
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
            raise ValueError(f'pairs must be "all", None, a number of features or a list of pairs, got {pairs!r}.')
        return [(a, b) for i, a in enumerate(features) for b in features[i + 1:]]
    if isinstance(pairs, numbers.Integral) and not isinstance(pairs, (bool, np.bool_)):
        if pairs < 0:
            raise ValueError(f"pairs must not be negative, got {pairs}.")
        return None
    if isinstance(pairs, (bool, np.bool_, numbers.Number)) or not hasattr(pairs, "__iter__"):
        raise TypeError(f'pairs must be "all", None, a number of features or a list of pairs, got {pairs!r}.')
    out, seen = [], set()
    for pair in pairs:
        if isinstance(pair, str) or not hasattr(pair, "__len__") or len(pair) != 2:
            raise TypeError(f"Each entry of pairs must name two features, got {pair!r}.")
        a, b = (_known(f, names) for f in pair)
        if a == b:
            raise TamrelError(f"The pair {tuple(pair)!r} names the feature {a!r} twice.")
        if frozenset((a, b)) in seen:
            raise TamrelError(f"pairs names the pair {(a, b)!r} more than once (in either order).")
        seen.add(frozenset((a, b)))
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


def split_half(positions, seed):
    """True for the rows (by their position in x) of the finding half of a "split" scan: a
    seeded random half, each row by a hash of its position, so that in memory and on Dask
    the same rows fall in it."""
    seed = 0 if seed is None else int(seed)
    z = np.asarray(positions, dtype=np.uint64) + np.uint64(seed % 2 ** 63) * np.uint64(0x9E3779B97F4A7C15)
    with np.errstate(over="ignore"):
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return ((z ^ (z >> np.uint64(31))) & np.uint64(1)) == 0


def subsets(scan, n_rows):
    """(sliced rows, tested rows) of the scan by `use_test`: the training rows and the test
    rows, the other way round, or ("split") a seeded random half of the test rows and the
    other half."""
    if scan.use_test == "split":
        test = np.asarray(scan.test_idx)
        half = split_half(test, scan.random_state)
        return test[half], test[~half]
    if scan.use_test:
        return scan.test_idx, scan.train_idx
    return scan.train_idx, scan.test_idx
