"""The scan's rows on Dask: the block source of the scan's driver, partition by partition.

Every pass of the scan is a function of some rows whose results merge exactly (range
sketches, cell sums, totals, category counts, row fingerprints), so each partition runs the
same kernels on its own rows and the client merges the small results before the next pass:
a first pass for the sizes, categories, weights' scale, totals and the single features'
ranges; a second for the single features' cell sums on both subsets and, with the pairs
known beforehand, the pairs' ranges inside their groups (else a pass of its own); a last one
for the pairs' cell sums. AUC needs all tested rows in one score order and is refused.
"""

import math
from dataclasses import dataclass, field
from functools import reduce

import numpy as np
import pandas as pd

from ..dask_parts import aligned_partitions
from ..exceptions import TamrelError
from . import _scan, base
from .columns import category_codes, column_kinds, numeric_column, table_column
from .scan_data import Column, pair_list, scanned_features, split_half
from .scan_metrics import diff_plan, metric_plan
from .scan_run import Prepared, check_subsets, plan_of, scan
from .scan_source import fortran
from .scan_units import pooled_codes

__all__ = ["fit_partitions", "DaskSource"]

@dataclass
class _Layout:
    """What a worker needs to cut a partition into the kernels' blocks."""

    names: list
    num_names: list
    cat_names: list
    plan: object
    classes: object
    estimator: object = None
    baseline: object = None
    shift: float = 0.0  # R2's responses, less the first sliced row's
    scale: float = 1.0  # the weights' power of two
    factor: float = 1.0  # a mean plan's scores' power of two on the tested rows
    use_test: object = False
    seed: object = 0
    categories: dict = field(default_factory=dict)  # name -> category values
    pooled: dict = field(default_factory=dict)  # name -> Pooled
    bins: list = field(default_factory=list)  # (num column, edges, lo, hi) of grouping features


def _check_lengths(frame, extras):
    for name, values in extras.items():
        if len(values) != len(frame):
            raise TamrelError(f"{name} has {len(values)} entries in a partition where x has {len(frame)} rows; "
                              "give it with the partitions of x.")


def _prediction(model, frame, proba, given):
    """Given predictions, or the model's (an empty partition predicts nothing)."""
    if given is not None:
        return np.asarray(given)
    if len(frame) == 0:
        return np.empty(0)
    if proba:
        out = np.asarray(model.predict_proba(frame), dtype=np.float64)
        return out[:, 1] if out.ndim == 2 else out
    return np.asarray(model.predict(frame))


def _weights(extras):
    """The partition's weights, checked by the diagnosers' one rule (numbers, finite)."""
    w = extras.get("w")
    return None if w is None else base.weights_of(w, len(w))


def _rows(extras, positions, which, n, offset, layout, w):
    """Local positions of the sliced (0) or tested (1) rows of a partition; rows of negative
    weight are left out, as in memory."""
    if positions is not None:
        rows = positions[which]
    elif layout.use_test == "split":
        test = np.flatnonzero(np.asarray(extras["test"], dtype=bool))
        half = split_half(test + offset, layout.seed)
        rows = test[half] if which == 0 else test[~half]
    else:
        key = ("train", "test")[which ^ bool(layout.use_test)]
        rows = np.flatnonzero(np.asarray(extras[key], dtype=bool))
    return base.without_negative_weights(rows, w)


def _values(layout, frame, extras, w):
    """The plan's per-row quantities of a partition (as in memory, scan_fit.row_values)."""
    from .scan_metrics import quantities
    from .utils import binary_labels

    plan = layout.plan
    pred = _prediction(layout.estimator, frame, plan.needs_proba, extras.get("pred"))
    baseline = None
    if plan.kind == "diff":
        baseline = _prediction(layout.baseline, frame, plan.needs_proba, extras.get("base"))
    y = np.asarray(extras["y"])
    if plan.needs_proba:
        y = binary_labels(y, layout.classes)
    return quantities(plan, y, pred, classes=layout.classes, shift=layout.shift, baseline=baseline,
                      weights=None if w is None else w * layout.scale)


def _numbers(frame, layout, name):
    """A numeric column as float64 (NaN missing); a float64 column as it is."""
    column = table_column(frame, layout.names.index(name))
    if getattr(column, "dtype", None) == np.float64:
        return np.asarray(column)
    return numeric_column(column, name)


def _raw_codes(frame, layout, name):
    """Codes of a categorical column into the categories of the whole data, -1 where missing."""
    column = table_column(frame, layout.names.index(name))
    series = column if isinstance(column, pd.Series) else pd.Series(np.asarray(column, dtype=object))
    missing = series.isna().to_numpy()
    codes = np.full(len(series), -1, dtype=np.int64)
    codes[~missing] = pd.Categorical(series[~missing], categories=layout.categories[name]).codes
    return codes


@dataclass
class _Part:
    """One partition cut for the kernels: per subset its rows, numbers, codes, values, weights."""

    frame: object
    rows: tuple
    num: list
    codes: list
    values: list
    weights: list


def _cut(part, layout, positions, offset, with_codes=True):
    from .scan_metrics import scaled, scales_scores

    frame, extras = part
    _check_lengths(frame, extras)
    w = _weights(extras)
    rows = tuple(_rows(extras, positions, k, len(frame), offset, layout, w) for k in (0, 1))
    values = _values(layout, frame, extras, w)
    numbers = [_numbers(frame, layout, n) for n in layout.num_names]
    cats = [pooled_codes(_raw_codes(frame, layout, n), layout.pooled[n]) for n in layout.cat_names] \
        if with_codes else []
    out = _Part(frame, rows, [], [], [], [])
    for k, r in enumerate(rows):
        num = fortran(numbers, r, np.float64)
        codes = fortran(cats, r, np.int32, extra=len(layout.bins) if with_codes else 0)
        if with_codes and layout.bins:
            cols, edges, lo, hi = zip(*layout.bins)
            codes[:, len(cats):] = _scan._scan_codes(num, list(cols), list(edges), list(lo), list(hi), 1)
        out.num.append(num)
        out.codes.append(codes)
        vals = {name: np.ascontiguousarray(v[r]) for name, v in values.items()}
        if k == 1 and scales_scores(layout.plan):
            vals = scaled(vals, layout.factor)
        out.values.append(vals)
        out.weights.append(None if w is None else w[r] * layout.scale)
    return out


# -- passes (run on the workers) ---------------------------------------------------------

def _first_pass(part, layout, positions, offset, single_units, bins):
    """Sizes, category values and sliced counts, the largest weight and tested score, the
    totals (weights and scores scaled by the partition's own powers of two) and the single
    features' ranges of a partition."""
    frame, extras = part
    p = _cut(part, layout, positions, offset, with_codes=False)
    w = _weights(extras)
    used = np.concatenate(p.rows)
    top = float(np.max(np.abs(w[used]))) if w is not None and used.size else 0.0
    tested = p.values[1].get("s")  # scaled by layout.factor, 1 in this pass
    top_score = float(np.max(np.abs(tested))) if tested is not None and tested.size else 0.0
    own, own_factor = _scan._weight_scale(top), _scan._weight_scale(top_score)
    totals = _own_totals(p, layout, own, own_factor)
    cats = {}
    for name in layout.cat_names:
        column = table_column(frame, layout.names.index(name))
        series = column if isinstance(column, pd.Series) else pd.Series(np.asarray(column, dtype=object))
        if isinstance(series.dtype, pd.CategoricalDtype):
            values = list(series.cat.categories)
        else:
            values = list(pd.unique(series[series.notna()]))
        counts = series.iloc[p.rows[0]].value_counts(dropna=True)
        cats[name] = (values, {k: int(v) for k, v in counts.items() if v > 0})
    ranges = _scan._scan_ranges(p.num[0], p.codes[0], single_units, bins, 1) if single_units else None
    first_y = float(extras["y"][p.rows[0].min()]) if layout.plan.kind == "r2" and p.rows[0].size else None
    return {"sizes": tuple(len(r) for r in p.rows), "length": len(frame), "top": top, "scale": own,
            "top_score": top_score, "factor": own_factor, "totals": totals, "categories": cats, "ranges": ranges,
            "first_y": first_y}


def _own_totals(p, layout, own, own_factor):
    """Both subsets' totals of a cut partition, its weights scaled by `own` and a mean plan's
    tested scores by `own_factor` (the partition's own powers of two, merged exactly later)."""
    from .scan_metrics import scaled, scales_scores

    out = []
    for k, (vals, wt) in enumerate(zip(p.values, p.weights)):
        if k == 1 and scales_scores(layout.plan):
            vals = scaled(vals, own_factor / layout.factor)
        w = None if wt is None else wt / layout.scale * own
        out.append({name: _scan._scan_totals(v, w).cells(0) for name, v in vals.items()})
    return out


def _totals_pass(part, layout, positions, offset):
    """The totals of a partition alone (weights scaled by its own power of two)."""
    p = _cut(part, layout, positions, offset, with_codes=False)
    w = _weights(part[1])
    used = np.concatenate(p.rows)
    top = float(np.max(np.abs(w[used]))) if w is not None and used.size else 0.0
    own = _scan._weight_scale(top)
    return {"top": top, "scale": own, "factor": 1.0, "totals": _own_totals(p, layout, own, 1.0)}


def _ranges_pass(part, layout, positions, offset, units, bins):
    p = _cut(part, layout, positions, offset)
    return _scan._scan_ranges(p.num[0], p.codes[0], units, bins, 1)


def _sums_pass(part, layout, positions, offset, units, sketches, bins, quantities, then):
    """Both subsets' cell sums of the units per quantity (to its order of moments), and the
    sliced rows' sketches of `then` (the next units' ranges, read in the same pass), if any."""
    p = _cut(part, layout, positions, offset)
    out = []
    for k, wanted in enumerate(quantities):
        fine = _scan._scan_fine(p.num[k], 1)
        out.append({name: _scan._scan_sums(p.num[k], p.codes[k], units, sketches, bins, p.values[k][name],
                                           p.weights[k], order >= 2, 1, fine, fourth=order == 4)
                    for name, order in wanted.items()})
    ranges = _scan._scan_ranges(p.num[0], p.codes[0], then, bins, 1) if then else None
    return out, ranges


def _fingerprint_pass(part, layout, positions, offset, units, sketches, bins, regions, index):
    """Per region, the sum of its rows' keys over both subsets of the partition (mod 2**64)."""
    p = _cut(part, layout, positions, offset)
    keys = row_keys(index, len(p.frame))
    total = np.zeros(len(regions["unit"]), dtype=np.uint64)
    for k, r in enumerate(p.rows):
        total += _scan._scan_fingerprints(p.num[k], p.codes[k], units, sketches, bins, keys[r], regions, 1)
    return total


def row_keys(index, n):
    """Random 64-bit keys of the rows of partition `index` (splitmix64 of its position)."""
    z = (np.arange(n, dtype=np.uint64) + np.uint64(index) * np.uint64(0x100000000)) + np.uint64(0x9E3779B97F4A7C15)
    with np.errstate(over="ignore"):
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


# -- the client side ---------------------------------------------------------------------

class DaskSource:
    """The scan's passes over Dask partitions, merged on the client (see the module docstring)."""

    def __init__(self, layout, parts, positions, offsets):
        self.layout, self.parts, self.positions, self.offsets = layout, parts, positions, offsets
        self.singles = None  # the first pass's sketches of the numeric single features

    def _map(self, func, *args):
        import dask

        tasks = [dask.delayed(func)(p, self.layout, None if self.positions is None else self.positions[i],
                                    self.offsets[i], *args) for i, p in enumerate(self.parts)]
        return dask.compute(*tasks)

    def prepare(self, pooled, grouping):
        self.layout.pooled = pooled
        self.code_names = list(self.layout.cat_names)
        self.grouping = list(grouping)

    def code_column(self, name):
        if name in self.code_names:
            return self.code_names.index(name)
        return len(self.code_names) + self.grouping.index(name)

    def set_bin_edges(self, edges):
        """The grouping features' edges: from now on every partition bins them."""
        self.layout.bins = [(self.layout.num_names.index(n), np.asarray(edges[n][0]), edges[n][1], edges[n][2])
                            for n in self.grouping]

    def ranges(self, units, bins):
        if self.singles is not None and all(u.group is None for u in units):
            # the single features' sketches came with the first pass (numeric cuts only)
            state = iter(self.singles.__getstate__())
            self.singles = None
            return _sketches([next(state) if u.kernel.numeric else [] for u in units])
        kernels = [u.kernel for u in units]
        return reduce(lambda a, b: a.merge(b), self._map(_ranges_pass, kernels, bins))

    def sums(self, units, sketches, bins, quantities, write_bins=False, then=None):
        kernels = [u.kernel for u in units]
        then_kernels = [u.kernel for u in then] if then else None
        results = self._map(_sums_pass, kernels, sketches, bins, quantities, then_kernels)
        merged = [{name: reduce(lambda a, b: a.merge(b), [r[0][k][name] for r in results]) for name in wanted}
                  for k, wanted in enumerate(quantities)]
        then_sketches = reduce(lambda a, b: a.merge(b), [r[1] for r in results]) if then else None
        return merged, then_sketches

    def fingerprints(self, units, sketches, regions):
        import dask

        kernels = [u.kernel for u in units]
        tasks = [dask.delayed(_fingerprint_pass)(p, self.layout, None if self.positions is None else
                                                 self.positions[i], self.offsets[i], kernels, sketches,
                                                 self.bins, regions, i)
                 for i, p in enumerate(self.parts)]
        total = np.zeros(len(regions["unit"]), dtype=np.uint64)
        for part in dask.compute(*tasks):
            total += part
        return [int(v) for v in total]


def _sketches(state):
    """Range sketches from their plain form (a list per unit of sketch arrays)."""
    out = _scan._RangeSketches.__new__(_scan._RangeSketches)
    out.__setstate__(state)
    return out


def _categories(meta_column, found):
    """The categories of a column as the in-memory scan orders them: the dtype's own when the
    metadata knows them, else those the partitions hold (their dtype's, or their values)."""
    dtype = getattr(meta_column, "dtype", None)
    if isinstance(dtype, pd.CategoricalDtype) and "__UNKNOWN_CATEGORIES__" not in list(dtype.categories):
        return list(dtype.categories)
    seen = list(dict.fromkeys(v for values, _ in found for v in values))
    if isinstance(dtype, pd.CategoricalDtype):
        return seen
    return category_codes(pd.Series(seen, dtype=object))[1]


def _positions(train_idx, test_idx, lengths, offsets):
    """Per partition, the local positions of its training and test rows, from global positions."""
    n_rows = int(lengths.sum())
    subsets = []
    for idx, name in ((train_idx, "train_idx"), (test_idx, "test_idx")):
        rows = base._positions(idx, name, n_rows)
        part = np.searchsorted(offsets, rows, side="right") - 1
        subsets.append([rows[part == k] - offsets[k] for k in range(len(lengths))])
    return subsets


def _local_subsets(subsets, use_test, seed, offsets):
    """Per partition, (sliced, tested) local positions from the training and test ones."""
    out = []
    for k in range(len(offsets) - 1):
        train, test = subsets[0][k], subsets[1][k]
        if use_test == "split":
            half = split_half(test + offsets[k], seed)
            out.append((test[half], test[~half]))
        else:
            out.append((test, train) if use_test else (train, test))
    return out


def _lengths(parts):
    import dask

    return np.asarray(dask.compute(*[dask.delayed(lambda p: len(p[0]))(p) for p in parts]), dtype=np.int64)


def _merge_totals(first, scale, factor, plan):
    """Both subsets' totals: each partition's sums rescaled from its own powers of two (of the
    weights; of a mean plan's tested scores) to the global ones, exactly, and added exactly
    (math.fsum). A field holds the weights' scale to the power 0 (s), 1 (w, ws, ws2, ws3,
    ws4) or 2 (w2), and a scaled score's factor to the power of the score in it."""
    from .scan_metrics import scales_scores

    out = []
    for which in (0, 1):
        per = {}
        for name in first[0]["totals"][which]:
            d = 1 if which == 1 and name == "s" and scales_scores(plan) else 0
            fields = [(f["totals"][which][name], scale / f["scale"], factor / f["factor"]) for f in first]
            per[name] = {"n": np.asarray([sum(int(t["n"][0]) for t, _, _ in fields)], dtype=np.int64)}
            for k, power, degree in (("s", 0, d), ("w", 1, 0), ("ws", 1, d), ("ws2", 1, 2 * d), ("w2", 2, 0),
                                     ("ws3", 1, 3 * d), ("ws4", 1, 4 * d)):
                per[name][k] = np.asarray([math.fsum(float(t[k][0]) * r ** power * g ** degree
                                                     for t, r, g in fields)])
        out.append(per)
    return tuple(out)


def fit_partitions(obj, s, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, sample_weight=None,
                   feature_names=None, feature_types=None, baseline=None):
    """The scan's fit for a Dask DataFrame or array x; the other inputs are Dask collections
    of the same partitions, train_idx/test_idx either boolean ones or global positions."""
    import dask.dataframe as dd

    from .. import utils

    if obj.task_type not in ("regression", "classification"):
        raise ValueError(f'task_type must be "regression" or "classification", got {obj.task_type!r}.')
    meta = x._meta if isinstance(x, dd.DataFrame) else np.empty((0, x.shape[1]), dtype=x.dtype)
    n_features = meta.shape[1]
    names = base._feature_names(feature_names, meta, n_features)
    types = base._feature_types(feature_types, n_features, {})
    features = scanned_features(s.features, names)
    pairs = pair_list(s.pairs, features, names)
    wanted = list(dict.fromkeys(features + [f for p in (pairs or []) for f in p]))
    kinds = column_kinds(x._meta_nonempty if isinstance(x, dd.DataFrame) else meta, types)
    has_proba = prediction_proba is not None or hasattr(obj.estimator, "predict_proba")
    plan = plan_of(obj, s, has_proba, make=diff_plan if baseline is not None else metric_plan)
    if plan.rank:
        raise TamrelError(f"The metric {plan.name} cannot run on Dask input: it ranks all tested rows by their "
                          "score at once, and the partitions are scanned one by one (use any other metric).")
    pred = prediction_proba if plan.needs_proba else prediction
    if pred is None and obj.estimator is None:
        what = "prediction_proba" if plan.needs_proba else "prediction"
        raise TamrelError(f"The metric {plan.name} needs {what}: pass it or an estimator that gives it.")
    base_pred = None
    if baseline is not None:
        base_pred = baseline.given(plan, obj.baseline)
    boolean = utils.is_dask(train_idx) and utils.is_dask(test_idx)
    parts = aligned_partitions(x, {"y": y, "pred": pred, "base": base_pred, "w": sample_weight,
                                   "train": train_idx if boolean else None, "test": test_idx if boolean else None},
                               refuse=TamrelError)
    lengths = _lengths(parts)
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    positions = None
    if not boolean:
        positions = _local_subsets(_positions(train_idx, test_idx, lengths, offsets), s.use_test, s.random_state,
                                   offsets)
    classes = getattr(obj.estimator, "classes_", None)
    layout = _Layout(names, [n for n in wanted if kinds[names.index(n)] != "categorical"],
                     [n for n in wanted if kinds[names.index(n)] == "categorical"], plan, classes,
                     None if pred is not None else obj.estimator, getattr(obj, "baseline", None),
                     use_test=s.use_test, seed=s.random_state)
    source = DaskSource(layout, parts, positions, offsets)
    singles = [_scan._ScanUnit(cut_col=j, missing_cell=True) for j in range(len(layout.num_names))]
    first = source._map(_first_pass, singles, int(s.bins))
    sizes = tuple(sum(f["sizes"][k] for f in first) for k in (0, 1))
    check_subsets(sizes, s.use_test)
    layout.scale = _scan._weight_scale(max(f["top"] for f in first))
    if plan.kind == "mean" and not plan.binary:
        layout.factor = _scan._weight_scale(max(f["top_score"] for f in first))
    counted = first
    if plan.kind in ("r2", "f1"):  # their quantities read the shift or the scaled weights: totals of their own
        if plan.kind == "r2":
            layout.shift = next(f["first_y"] for f in first if f["first_y"] is not None)
        counted = source._map(_totals_pass)
    totals = _merge_totals(counted, layout.scale, layout.factor, plan)
    columns, counts = {}, {}
    for name in wanted:
        if name in layout.cat_names:
            found = [f["categories"][name] for f in first]
            categories = _categories(table_column(meta, names.index(name)), found)
            at = {v: k for k, v in enumerate(categories)}
            counts[name] = np.zeros(len(categories))
            for _, seen in found:
                for value, count in seen.items():
                    counts[name][at[value]] += count
            layout.categories[name] = categories
            columns[name] = Column(name, False, None, categories)
        else:
            columns[name] = Column(name, True, None)
    if singles:
        source.singles = reduce(lambda a, b: a.merge(b), [f["ranges"] for f in first])
    prep = Prepared(columns, features, pairs, counts, totals, sizes, sample_weight is not None, 1.0 / layout.scale,
                    1.0 / layout.factor)
    obj.score_name = plan.name
    obj.feature_names, obj.feature_types = names, types
    obj.y = obj.pred = obj.pred_proba = obj.sample_weight = None
    obj.train_idx = obj.test_idx = None
    source.bins = int(s.bins)
    obj.output, obj._scan_conditions = scan(obj, s, plan, source, prep, source.fingerprints)
    obj._scan_columns = None  # the rows stay on the cluster
    obj._scan_categories = columns

