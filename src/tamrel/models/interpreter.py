"""Functional-ANOVA view of a parsed model: effect importances, grids and plots."""

from collections import Counter

import numpy as np
import pandas as pd

from .utils import predict_1D_func_tree, predict_2D_func_tree
from .xgb2 import dask_support

__all__ = ["FANOVAInterpreter"]


_DENSITY_BINS = 40  # bins of the data density under a main effect


def _column_histogram(X, column, edges):
    """Counts of one column of the training data in the bins of ``edges`` (missing values
    left out; a Dask array by sums over its partitions)."""
    if dask_support.is_dask(X):
        return dask_support.column_histogram(X, column, edges)
    values = np.asarray(X, dtype=np.float64)[:, column]
    return np.histogram(values[np.isfinite(values)], bins=edges)[0].astype(np.float64)


def _effect_function(record):
    splits, values = record["split_unique_list"], record["values"]
    missing = bool(record.get("missing", False))  # a last cell per feature for NaN
    if len(record["fidx"]) == 1:
        return predict_1D_func_tree(record["fidx"], splits[0], values, True, missing)
    return predict_2D_func_tree(record["fidx"], splits[0], splits[1], values, True, missing)


def _observed(table, record):
    """The cells of observed values: a missing cell per feature, where there is one, left out."""
    if table is None or not record.get("missing", False):
        return table
    return np.asarray(table, dtype=float)[(slice(0, -1),) * len(record["fidx"])]


def _effect_names(feature_names, fidxs):
    """One distinct name per effect: feature names joined by " x ", a repeated feature name
    followed by its column index ("a[1]"), and the indices added where names still collide."""
    names = [str(n) for n in feature_names]
    counts = Counter(names)
    labels = [f"{n}[{i}]" if counts[n] > 1 else n for i, n in enumerate(names)]
    joined = [" x ".join(labels[i] for i in fidx) for fidx in fidxs]
    counts = Counter(joined)
    return [f"{name} {fidx}" if counts[name] > 1 else name for name, fidx in zip(joined, fidxs)]


def _importances(records, X):
    """Each effect's variance over the rows of X (a Dask array by sums over its partitions)."""
    if dask_support.is_dask(X):
        return dask_support.effect_variances(records, X)
    X = np.asarray(X, dtype=np.float64)
    return [float(np.var(_effect_function(record)(X))) if X.shape[0] else 0.0 for record in records]


def _edges(split_points, column):
    """Cell edges for drawing: the split points closed by the data's range (NaN left out; or
    one unit)."""
    split_points = np.asarray(split_points, dtype=float)
    column = np.asarray(column, dtype=float)
    column = column[~np.isnan(column)]
    if column.size == 0:
        column = split_points if split_points.size else np.zeros(1)
    lo = min(np.min(column), split_points[0]) if split_points.size else np.min(column)
    hi = max(np.max(column), split_points[-1]) if split_points.size else np.max(column)
    pad = 0.05 * (hi - lo) if hi > lo else 1.0
    return np.concatenate([[lo - pad], split_points, [hi + pad]])


def _draw_main(ax, grid):
    """A main effect's step curve, its band of one spread each side, its missing value."""
    edges, values, spread = grid["edges"][0], grid["values"], grid["spread"]
    if spread is not None:
        ax.stairs(values + spread, edges, baseline=values - spread, fill=True, color="C0", alpha=0.25,
                  label="\u00b1 1 sd over bags")
    ax.stairs(values, edges, baseline=None, color="C0", linewidth=1.6, label="effect")
    ax.axhline(0.0, color="0.6", linewidth=0.8)
    if grid.get("missing_share", [0.0])[0] > 0:  # off the feature's axis, behind a dotted line
        width = edges[-1] - edges[0]
        x = edges[-1] + 0.08 * width
        ax.axvline(edges[-1] + 0.04 * width, color="0.6", linewidth=0.8, linestyle=":")
        error = grid["missing_spread"] if grid["missing_spread"] is not None else 0.0
        ax.errorbar([x], [grid["missing"]], yerr=[error], fmt="o", color="C3", capsize=3,
                    label=f"missing ({100 * grid['missing_share'][0]:.1f}% of rows)")
        ax.annotate("missing", (x, grid["missing"]), textcoords="offset points", xytext=(0, 10), ha="center",
                    fontsize="small", color="C3")
    if spread is not None or grid.get("missing_share", [0.0])[0] > 0:
        ax.legend(loc="best", fontsize="small", frameon=False)


class FANOVAInterpreter:
    """The functional-ANOVA view of a model parsed into main effects and interactions.

    The model's prediction (on the margin scale) is ``intercept_`` plus the sum of its
    effects. An effect's importance is its variance over the model's training data
    ``X_``; its ratio is its share of the summed importances.

    Parameters
    ----------
    model : object
        A parsed model with ``effects_`` ({"1D": {...}, "2D": {...}} of records with
        "fidx", "split_unique_list" and "values"), ``intercept_``, ``X_`` and
        ``feature_names_``.

    Attributes
    ----------
    intercept_ : float
        The model's intercept.
    effect_table_ : pandas.DataFrame
        One row per effect, most important first, with the columns "effect" (its name),
        "type" ("main" or "interaction"), "fidx", "importance" and "ratio".
    """

    def __init__(self, model):
        self.model = model
        self.intercept_ = model.intercept_
        records = [(label, record) for kind, label in (("1D", "main"), ("2D", "interaction"))
                   for record in model.effects_[kind].values()]
        fidxs = [tuple(int(i) for i in record["fidx"]) for _, record in records]
        names = _effect_names(model.feature_names_, fidxs)
        importances = _importances([record for _, record in records], model.X_)
        rows = [{"effect": name, "type": label, "fidx": fidx, "importance": importance}
                for name, (label, record), fidx, importance in zip(names, records, fidxs, importances)]
        order = sorted(range(len(rows)), key=lambda k: -rows[k]["importance"])  # stable
        # (name, record) in the order of effect_table_.
        self._effects = [(names[k], records[k][1]) for k in order]
        table = pd.DataFrame([rows[k] for k in order], columns=["effect", "type", "fidx", "importance"])
        total = table["importance"].sum()
        table["ratio"] = table["importance"] / total if total > 0 else 0.0
        self.effect_table_ = table

    def __repr__(self):
        kinds = self.effect_table_["type"]
        return (f"FANOVAInterpreter({type(self.model).__name__}: {int((kinds == 'main').sum())} main effect(s), "
                f"{int((kinds == 'interaction').sum())} interaction(s), intercept_={self.intercept_:.6g})")

    def _position(self, feature):
        """The column of a feature given by index or by name."""
        if not isinstance(feature, str):
            return feature
        names = list(self.model.feature_names_)
        if names.count(feature) != 1:
            where = "is not a feature name" if feature not in names else "names several columns"
            raise ValueError(f"Effect not found: {feature!r} {where}")
        return names.index(feature)

    def _find(self, effect):
        """The record of an effect given by its name, by feature names or by feature indices
        (an interaction in either order)."""
        if isinstance(effect, str):
            for name, record in self._effects:
                if name == effect:
                    return name, record
            effect = (effect,)  # a feature name: its main effect
        wanted = [self._position(f) for f in np.atleast_1d(np.asarray(effect, dtype=object)).tolist()]
        for name, record in self._effects:
            if set(record["fidx"]) == set(wanted) and len(record["fidx"]) == len(wanted):
                return name, record
        raise ValueError(f"Effect not found: {effect!r}")

    def contributions(self, X):
        """Each effect's value on every row of X, columns in the order of ``effect_table_``.

        ``intercept_`` plus the row sums gives the model's margin; a model without effects
        gives one row per row of X and no columns.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Data features, all columns in training order.

        Returns
        -------
        pandas.DataFrame
            One column per effect, named as in ``effect_table_`` (a Dask DataFrame of the
            same partitions for Dask input).
        """
        shape = np.shape(X)
        if len(shape) != 2:
            raise ValueError(f"X must be two-dimensional, got {len(shape)} dimension(s)")
        names = [name for name, _ in self._effects]
        functions = [_effect_function(record) for _, record in self._effects]
        if dask_support.is_dask(X):  # a Dask DataFrame, computed partition by partition
            return dask_support.effect_columns(functions, names, X)
        return pd.DataFrame({name: f(X) for name, f in zip(names, functions)}, index=pd.RangeIndex(shape[0]))

    def get_effect(self, effect):
        """An effect's values on its grid, for plotting.

        Parameters
        ----------
        effect : str or tuple of int or str
            The effect's name (e.g. "X0" or "X0 x X2"), or its features as indices or
            names (an interaction in either order).

        Returns
        -------
        dict
            "name", "fidx", "split_points" (one array per feature), "edges" (the cell
            edges per feature, closed by the training data's range), "values" (k + 1
            values, or the (k1 + 1, k2 + 1) table with rows along the first feature) and
            "spread" (the values' spread over the bags of a bagged model, else None). An
            effect of a model that routes missing values also has "missing": the value of a
            missing feature (a main effect), or the full table whose last row and column
            hold the cells of missing values (an interaction); and "missing_spread" alike.
            "missing_share" is the share of training rows missing the feature (one per
            feature).
        """
        name, record = self._find(effect)
        fidx = tuple(int(i) for i in record["fidx"])
        X = self.model.X_
        if dask_support.is_dask(X):  # only the range of each column is needed
            columns = [dask_support.column_range(X, i) for i in fidx]
            shares = [dask_support.missing_share(X, i) for i in fidx]
        else:
            X = np.asarray(X, dtype=np.float64)
            columns = [X[:, i] for i in fidx]
            shares = [float(np.isnan(c).mean()) if c.size else 0.0 for c in columns]
        splits = [np.asarray(s, dtype=float) for s in record["split_unique_list"][:len(fidx)]]
        spread = record.get("spread")
        grid = {"name": name, "fidx": fidx, "split_points": splits,
                "edges": [_edges(s, c) for s, c in zip(splits, columns)],
                "values": _observed(np.asarray(record["values"], dtype=float), record),
                "spread": None if spread is None else _observed(np.asarray(spread, dtype=float), record)}
        if record.get("missing", False):
            full, full_spread = np.asarray(record["values"], dtype=float), spread
            grid["missing"] = float(full[-1]) if len(fidx) == 1 else full
            grid["missing_spread"] = (None if full_spread is None else
                                      float(np.asarray(full_spread)[-1]) if len(fidx) == 1 else np.asarray(full_spread))
            grid["missing_share"] = shares
        return grid

    def plot_effect(self, effect, ax=None):
        """Draw an effect; returns the figure (``savefig`` works on it directly).

        Parameters
        ----------
        effect : str or tuple of int or str
            The effect's name ("a" or "a x b"), or its features as indices or names; an
            interaction may be given in either order.
        ax : matplotlib.axes.Axes, optional
            The axes to draw on; by default a new figure with constrained layout, so that
            a plain ``savefig`` clips no label.

        A main effect is a step curve over its cells, above the density of the training
        data along the feature (grey), so that a step where few rows lie reads as such; for a
        bagged model a shaded band of one spread (standard deviation over the bags) lies on
        each side, and, where training rows miss the feature, the missing value's effect is a
        point with its spread right of the curve. An interaction is a heat map over the cells
        of its two features, coloured by a diverging map centred on zero, with a labelled
        colour bar. The title names the effect; for a classifier the labels name the class
        whose log-odds the effect adds to.
        """
        import matplotlib.pyplot as plt
        from matplotlib.colors import TwoSlopeNorm

        grid = self.get_effect(effect)
        names = [self.model.feature_names_[i] for i in grid["fidx"]]
        if ax is None:
            _, ax = plt.subplots(figsize=(5.5, 3.8), layout="constrained")
        scale = self._scale_label()
        if len(grid["fidx"]) == 1:
            self._density(ax, grid["fidx"][0], grid["edges"][0])
            _draw_main(ax, grid)
            ax.set_xlabel(names[0])
            ax.set_ylabel(f"effect on {scale}")
        else:
            bound = float(np.abs(grid["values"]).max()) or 1.0
            mesh = ax.pcolormesh(grid["edges"][0], grid["edges"][1], grid["values"].T, cmap="RdBu_r",
                                 norm=TwoSlopeNorm(0.0, -bound, bound), shading="flat")
            ax.figure.colorbar(mesh, ax=ax, label=f"interaction effect on {scale}")
            ax.set_xlabel(names[0])
            ax.set_ylabel(names[1])
        ax.set_title(grid["name"])
        return ax.figure

    def _scale_label(self):
        """What the effects add to: the margin, or the log-odds of a classifier's positive class."""
        classes = getattr(self.model, "classes_", None)
        if classes is not None and len(classes) == 2:
            positive = classes[1].item() if isinstance(classes[1], np.generic) else classes[1]
            return f"the log-odds of class {positive!r}"
        return "the prediction (margin)"

    def _density(self, ax, column, edges):
        """The training rows' density along a feature, grey, in the lower part of the axes."""
        counts = _column_histogram(self.model.X_, column, np.linspace(edges[0], edges[-1], _DENSITY_BINS + 1))
        if counts.sum() == 0:
            return
        twin = ax.twinx()
        twin.stairs(counts / counts.max(), np.linspace(edges[0], edges[-1], _DENSITY_BINS + 1), fill=True,
                    color="0.85", label="data density")
        twin.set_ylim(0, 4)  # the density takes the lower quarter
        twin.set_yticks([])
        ax.set_zorder(twin.get_zorder() + 1)  # the curve above the density
        ax.patch.set_visible(False)
