"""Column kinds of a data table: numeric columns are sliced by bins, categorical ones by value.

One rule decides the kind of every column for all diagnosers: a column is categorical when
``feature_types`` says "categorical" or when its dtype holds no numbers (pandas categorical,
object, string or bool columns); every other column is numerical. Missing entries (NaN, None,
``pd.NA``) are kept as NaN in numeric columns and as code -1 in categorical ones.
"""

import numpy as np
import pandas as pd

__all__ = ["column_kinds", "table_column", "numeric_column", "category_codes", "missing_mask",
           "decode_categories"]


def table_column(x, j):
    """Column ``j`` of a DataFrame (as a Series) or of a 2-D array-like (as a 1-D array)."""
    if isinstance(x, pd.DataFrame):
        return x.iloc[:, j]
    return np.asarray(x)[:, j]


def _dtype_is_categorical(column):
    dtype = getattr(column, "dtype", None)
    if dtype is None:
        return False
    if isinstance(dtype, pd.CategoricalDtype) or pd.api.types.is_bool_dtype(dtype):
        return True
    if pd.api.types.is_string_dtype(dtype) or pd.api.types.is_object_dtype(dtype):
        # an object column of plain numbers (with None for missing) is still numeric
        values = pd.Series(np.asarray(column, dtype=object)).dropna()
        return not all(isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, bool)
                       for v in values)
    return not pd.api.types.is_numeric_dtype(dtype)


def column_kinds(x, feature_types=None):
    """"numerical" or "categorical" for every column of ``x`` (DataFrame or 2-D array-like)."""
    n_features = x.shape[1] if hasattr(x, "shape") else np.shape(x)[1]
    kinds = []
    for j in range(n_features):
        declared = None if feature_types is None else feature_types[j]
        categorical = declared == "categorical" or _dtype_is_categorical(table_column(x, j))
        kinds.append("categorical" if categorical else "numerical")
    return kinds


def missing_mask(column):
    """True where an entry is missing (NaN, None, ``pd.NA``, NaT)."""
    return np.asarray(pd.isna(pd.Series(np.asarray(column, dtype=object) if not hasattr(column, "dtype")
                                        else column)), dtype=bool)


def numeric_column(column, name):
    """A numeric column as float64, missing entries as NaN; a TypeError names a text column."""
    series = column if isinstance(column, pd.Series) else pd.Series(column)
    if isinstance(series.dtype, pd.CategoricalDtype) or pd.api.types.is_bool_dtype(series.dtype):
        raise TypeError(f"Feature {name!r} is categorical, not numeric.")
    try:
        if pd.api.types.is_object_dtype(series.dtype):
            series = pd.to_numeric(series)  # None and pd.NA among numbers: astype refuses them
        return series.astype("float64").to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        raise TypeError(f"Feature {name!r} holds values that are not numbers.") from None


def category_codes(column):
    """(codes, categories) of a categorical column: int64 codes into ``categories``, -1 where missing.

    The categories are a pandas categorical's own order, else the sorted distinct values
    (first-seen order when they do not sort, e.g. mixed types).
    """
    series = column if isinstance(column, pd.Series) else pd.Series(np.asarray(column, dtype=object))
    if isinstance(series.dtype, pd.CategoricalDtype):
        return series.cat.codes.to_numpy(dtype=np.int64), list(series.cat.categories)
    missing = missing_mask(series)
    present = series[~missing]
    try:
        categories = sorted(pd.unique(present))
    except TypeError:
        categories = list(pd.unique(present))
    codes = np.full(len(series), -1, dtype=np.int64)
    codes[~missing] = pd.Categorical(present, categories=categories).codes
    return codes, categories


def decode_categories(frame, categories):
    """``frame`` with each column named in ``categories`` turned from float category codes
    (NaN where missing) back into a pandas categorical of those categories."""
    for name, levels in categories.items():
        codes = frame[name].to_numpy(dtype=np.float64)
        codes = np.where(np.isnan(codes), -1, codes).astype(np.int64)
        frame[name] = pd.Categorical.from_codes(codes, categories=levels)
    return frame
