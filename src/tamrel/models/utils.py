"""Prediction builders for the piecewise-constant effects of parsed tree models.

An effect on one feature with sorted split points ``s_1 < ... < s_k`` has ``k + 1``
cells: ``(-inf, s_1)``, ``[s_1, s_2)``, ..., ``[s_k, inf)``; a value ``x`` lies in the cell
whose index is the number of split points ``<= x``, which is how a tree routes it (``x <
s`` goes left). An interaction holds a table over the cells of its two features. An effect
of a model that routes missing values (``missing=True``) has one more cell per feature,
the last, where NaN lies. The
checks of split points and values and the evaluation run in the compiled core (binary
search over the split points).
"""

import operator

import numpy as np

__all__ = ["predict_1D_func_tree", "predict_2D_func_tree"]


def _kernels():
    # The compiled module imports this one when it loads, so it is looked up lazily.
    from .xgb2 import xgboost

    return xgboost


def _column(index):
    try:
        column = operator.index(index)
    except TypeError:
        raise ValueError(f"feature index must be an integer, got {index!r}") from None
    if column < 0:
        raise ValueError(f"feature index must not be negative, got {column}")
    if column > np.iinfo(np.intp).max:
        raise ValueError(f"feature index {column} is too large")
    return column


def _columns(fidx, count):
    try:
        fidx = [operator.index(fidx)]
    except TypeError:
        if isinstance(fidx, (str, bytes)) or not hasattr(fidx, "__iter__"):
            raise ValueError(f"fidx must be a feature index or a collection of {count} feature index(es), "
                             f"got {fidx!r}") from None
        fidx = list(fidx)
    columns = [_column(i) for i in fidx]
    if len(columns) != count:
        raise ValueError(f"expected {count} feature index(es), got {len(columns)}")
    return columns


class MainEffectFunction:
    """The value of a main effect for every row of a data matrix (all columns)."""

    def __init__(self, column, split_points, values, float32=True, missing=False):
        self.column = column
        self.split_points = split_points
        self.values = values
        self.float32 = float32
        self.missing = missing

    def __call__(self, X):
        return _kernels()._predict_effect_1d(X, self.column, self.split_points, self.values, self.float32,
                                             self.missing)


class InteractionFunction:
    """The value of a pairwise interaction for every row of a data matrix (all columns)."""

    def __init__(self, columns, split_points1, split_points2, values, float32=True, missing=False):
        self.columns = columns
        self.split_points1 = split_points1
        self.split_points2 = split_points2
        self.values = values
        self.float32 = float32
        self.missing = missing

    def __call__(self, X):
        return _kernels()._predict_effect_2d(X, self.columns[0], self.columns[1], self.split_points1,
                                             self.split_points2, self.values, self.float32, self.missing)


def predict_1D_func_tree(fidx, split_points, values, float32=True, missing=False):
    """Build the prediction function of a main effect.

    Parameters
    ----------
    fidx : int or collection of one int
        The column the effect reads.
    split_points : array-like of shape (k,)
        The sorted split points.
    values : array-like of shape (k + 1,), or (k + 2,) with missing
        The effect's value on each cell.
    float32 : bool, default=True
        True rounds the data to float32 before comparing it with the split points, as
        XGBoost does (it trains and predicts on float32 data, so a value just below a
        float32 threshold in float64 lands on the threshold's right); False compares the
        float64 values.
    missing : bool, default=False
        The last value belongs to missing values (NaN).

    Returns
    -------
    callable
        Maps a data matrix (n_samples, n_features) to the effect's value per row. A matrix
        that is not two-dimensional, lacks the column or holds NaN in it (without missing)
        raises ValueError.
    """
    (column,) = _columns(fidx, 1)
    (points,), table = _kernels()._check_effect((split_points,), values, bool(missing))
    return MainEffectFunction(column, points, table, bool(float32), bool(missing))


def predict_2D_func_tree(fidx, split_points1, split_points2, values, float32=True, missing=False):
    """Build the prediction function of a pairwise interaction.

    Parameters
    ----------
    fidx : collection of two distinct ints, in any order
        The columns the effect reads. The split points and the table's axes belong to the
        columns in ascending order (the layout of the interpreter's effect records), so
        (3, 0) and (0, 3) build the same function.
    split_points1, split_points2 : array-like of shape (k1,) and (k2,)
        The sorted split points of the smaller and of the larger column index.
    values : array-like of shape (k1 + 1, k2 + 1), or (k1 + 2, k2 + 2) with missing
        The effect's value on each cell.
    float32 : bool, default=True
        Float32 routing as in ``predict_1D_func_tree``.
    missing : bool, default=False
        The last row and column belong to missing values (NaN) of the two features.

    Returns
    -------
    callable
        Maps a data matrix (n_samples, n_features) to the effect's value per row.
    """
    columns = sorted(_columns(fidx, 2))
    if columns[0] == columns[1]:
        raise ValueError(f"an interaction needs two distinct features, got {tuple(fidx)}")
    (points1, points2), table = _kernels()._check_effect((split_points1, split_points2), values, bool(missing))
    return InteractionFunction(tuple(columns), points1, points2, table, bool(float32), bool(missing))
