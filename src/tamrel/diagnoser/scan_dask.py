"""FrailScan on Dask collections: the scan's passes as map-reduces over partitions.

Every pass of the in-memory scan is a function of some rows whose results merge exactly
(range sketches, cell sums), so each partition runs the same kernels on its own rows and
the client merges the small results before the next pass: a first pass for the
categories, the subsets' sizes and score sums and the one-feature ranges; a second for the
one-feature cell sums on both subsets and, when the pairs are known beforehand, the
pairs' ranges inside their groups (else a pass of its own); a last one for the pairs'
cell sums. Only additive metrics qualify, since their per-row scores add up.
"""

import math
from dataclasses import dataclass, field
from functools import reduce

import numpy as np
import pandas as pd

from ..exceptions import TamrelError
from . import base, scan_data
from .columns import category_codes, column_kinds, numeric_column, table_column
from .scan_data import Column
from .scan_fit import _fortran, _Scan, _table, pair_units_of, scan_units
from .scan_units import Pooled, pool_counts, pooled_codes

__all__ = ["fit"]

_EXTRA = "__tamrel_{}__"


@dataclass
class _Layout:
    """What a worker needs to cut a partition into the kernels' blocks."""

    names: list
    num_names: list
    cat_names: list
    kernels: object  # a FrailScan carrying the settings the kernels read
    scoring_func: object
    needs_proba: bool
    estimator: object = None
    categories: dict = field(default_factory=dict)  # name -> category values
    mapping: dict = field(default_factory=dict)  # name -> raw code to pooled code
    bins: list = field(default_factory=list)  # (num column, edges, lo, hi) of grouping features


# -- partitions -------------------------------------------------------------------------

def _split_frame(part, columns, names):
    return part[columns], {n: part[_EXTRA.format(n)].to_numpy() for n in names}


def _split_arrays(block, extras):
    return block, {n: np.asarray(v) for n, v in extras.items()}


def _partitions(x, extras):
    """Delayed (rows of x, {name: values}) per partition, the extras cut alongside x."""
    import dask
    import dask.array as da
    import dask.dataframe as dd

    extras = {k: v for k, v in extras.items() if v is not None}
    if isinstance(x, dd.DataFrame):
        columns = {}
        for name, v in extras.items():
            if isinstance(v, dd.DataFrame) and len(v.columns) == 1:
                v = v.iloc[:, 0]
            if not isinstance(v, dd.Series):
                raise TamrelError(f"{name} must be a Dask Series with the partitions of x (a Dask DataFrame).")
            columns[_EXTRA.format(name)] = v
        # One frame, so that every partition holds the same rows of x and of the extras.
        frame = x.assign(**columns) if columns else x
        return [dask.delayed(_split_frame)(p, list(x.columns), list(extras)) for p in frame.to_delayed()]
    if not isinstance(x, da.Array) or x.ndim != 2:
        raise TamrelError("x must be a two-dimensional Dask array or a Dask DataFrame.")
    x = x.rechunk({1: -1})
    blocks = {}
    for name, v in extras.items():
        if not isinstance(v, da.Array) or v.numblocks[0] != x.numblocks[0]:
            raise TamrelError(f"{name} must be a Dask array with the row partitions of x.")
        blocks[name] = v.to_delayed().ravel()
    xs = x.to_delayed().ravel()
    return [dask.delayed(_split_arrays)(xs[i], {n: b[i] for n, b in blocks.items()}) for i in range(len(xs))]


def _subset_rows(extras, positions, which):
    """Local positions of the sliced (0) or other (1) rows of a partition."""
    if positions is not None:
        return positions[which]
    mask = np.asarray(extras["sliced" if which == 0 else "other"], dtype=bool)
    return np.flatnonzero(mask)


def _predictions(layout, frame, extras):
    if "pred" in extras:
        return np.asarray(extras["pred"], dtype=np.float64)
    if layout.needs_proba:
        return np.asarray(layout.estimator.predict_proba(frame), dtype=np.float64)[:, 1]
    return np.asarray(layout.estimator.predict(frame), dtype=np.float64)


def _check_lengths(frame, extras):
    for name, values in extras.items():
        if len(values) != len(frame):
            raise TamrelError(f"{name} has {len(values)} entries in a partition where x has {len(frame)} rows; "
                              "give it with the partitions of x.")


def _blocks(part, layout, positions, with_codes=True, subsets=(0, 1), scores_only=()):
    """Per subset (0 sliced, 1 other): num (float64), codes (int32), scores and weights; num
    and codes None for the subsets in scores_only."""
    frame, extras = part
    _check_lengths(frame, extras)
    scores = np.asarray(layout.scoring_func(np.asarray(extras["y"]), _predictions(layout, frame, extras)),
                        dtype=np.float64)
    w = extras.get("w")
    if w is not None:
        w = np.asarray(w, dtype=np.float64)
        if not np.all(np.isfinite(w)):
            raise TamrelError("sample_weight must hold finite values.")
    numbers = [_numbers(frame, layout, name) for name in layout.num_names]
    cats = [pooled_codes(_raw_codes(frame, layout, n), layout.mapping[n]) for n in layout.cat_names] \
        if with_codes else []
    out = []
    for which in subsets:
        rows = _subset_rows(extras, positions, which)
        if which in scores_only:
            out.append((None, None, scores[rows], None if w is None else w[rows]))
            continue
        n_bins = len(layout.bins) if with_codes else 0
        num, codes = _fortran(numbers, rows, np.float64), _fortran(cats, rows, np.int32, extra=n_bins)
        if n_bins:
            cols, edges, lo, hi = zip(*layout.bins)
            codes[:, len(cats):] = layout.kernels._scan_codes(num, list(cols), list(edges), list(lo), list(hi), 1)
        out.append((num, codes, scores[rows], None if w is None else w[rows]))
    return out


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


# -- passes (run on the workers) ---------------------------------------------------------

def _fsums(values):
    """A partition's sum (pairwise: relative error near log2(n) ulp); the client adds the
    partitions' sums with math.fsum."""
    return float(np.sum(values))


def _first_pass(part, layout, positions, plans):
    """Sizes, score sums, category counts and the one-feature range sketches of a partition."""
    frame, extras = part
    blocks = _blocks(part, layout, positions, with_codes=False, scores_only=(1,))
    (num, codes, s, w), (_, _, s_o, w_o) = blocks
    ones, ones_o = (np.ones_like(s) if w is None else w), (np.ones_like(s_o) if w_o is None else w_o)
    sliced_rows = _subset_rows(extras, positions, 0)
    cats = {}
    for name in layout.cat_names:
        column = table_column(frame, layout.names.index(name))
        series = column if isinstance(column, pd.Series) else pd.Series(np.asarray(column, dtype=object))
        present = series[series.notna()]
        cats[name] = (list(pd.unique(present)), series.iloc[sliced_rows].value_counts(dropna=True).to_dict())
    return {
        "sizes": (len(s), len(s_o)),
        "sliced": (_fsums(ones * s), _fsums(ones)),
        "other": {"w": _fsums(ones_o), "ws": _fsums(ones_o * s_o), "ws2": _fsums(ones_o * s_o * s_o),
                  "w2": _fsums(ones_o * ones_o)},
        "categories": cats,
        "ranges": layout.kernels._scan_ranges(num, codes, plans, 1) if plans else [],
    }


def _ranges_pass(part, layout, positions, plans):
    num, codes, _, _ = _blocks(part, layout, positions, subsets=(0,))[0]
    return layout.kernels._scan_ranges(num, codes, plans, 1)


def _sums_pass(part, layout, positions, plans, sketches, range_plans):
    """Both subsets' cell sums of the units, and the sliced rows' range sketches of
    range_plans (the next units' ranges, read in the same pass), if any."""
    kernels = layout.kernels
    blocks = _blocks(part, layout, positions)
    fine = [kernels._scan_fine(num, 1) for num, *_ in blocks]  # once per subset for both passes
    sums = [kernels._scan_sums(num, codes, plans, sketches, s, w, moments, 1, f)
            for (num, codes, s, w), moments, f in zip(blocks, (False, True), fine)]
    num, codes, _, _ = blocks[0]
    return sums, (kernels._scan_ranges(num, codes, range_plans, 1, fine[0]) if range_plans else None)


# -- the client side ---------------------------------------------------------------------

class _Kernels:
    """The scan's kernel methods with the row passes run over the partitions: a pass's
    per-partition results are merged before the next one."""

    def __init__(self, scan, layout, parts, positions):
        self.scan, self.layout, self.parts, self.positions = scan, layout, parts, positions
        self.cached_ranges = {}
        self.pending_sums = None
        self.next_ranges = None  # plans whose ranges the next sums pass reads as well

    def __getattr__(self, name):  # _scan_edges, _scan_regions, threshold_value
        return getattr(self.scan, name)

    def _map(self, func, *args):
        import dask

        tasks = [dask.delayed(func)(p, self.layout, None if self.positions is None else self.positions[i], *args)
                 for i, p in enumerate(self.parts)]
        return dask.compute(*tasks)

    def _scan_ranges(self, num, codes, plans, n_jobs, fine=None):
        key = repr(plans)
        if key not in self.cached_ranges:
            self.cached_ranges[key] = reduce(self.scan._scan_merge_ranges, self._map(_ranges_pass, plans))
        return self.cached_ranges[key]

    def _scan_sums(self, num, codes, plans, sketches, scores, weights, moments, n_jobs, fine=None):
        if num == 1 and self.pending_sums is not None:  # computed with the sliced rows' sums
            out, self.pending_sums = self.pending_sums, None
            return out
        range_plans, self.next_ranges = self.next_ranges, None
        results = self._map(_sums_pass, plans, sketches, range_plans)
        merged = [reduce(self.scan._scan_merge_sums, [r[0][k] for r in results]) for k in (0, 1)]
        if range_plans:
            self.cached_ranges[repr(range_plans)] = reduce(self.scan._scan_merge_ranges, [r[1] for r in results])
        self.pending_sums = merged[1]
        return merged[0]


class _PartitionState(_Scan):
    """The in-memory scan's state with the subsets standing for the partitions' rows.
    With the pairs known beforehand, their ranges are read in the pass of the single
    features' sums, which saves a pass over the data."""

    def __init__(self, kernels, cfg, columns, pooled, weighted, pairs):
        self.scan, self.cfg, self.columns = kernels, cfg, columns
        self.sliced = self.other = None
        self.weights = (0, 1) if weighted else (None, None)
        self.scores = (0, 1)
        self.num_names = list(kernels.layout.num_names)
        self.pooled = pooled
        self.code_names = list(pooled)
        self.num, self.codes, self.fine = (0, 1), (0, 1), (None, None)
        self.edges = {}
        self.jobs = 1
        self.pairs = pairs

    def before_sums(self, units):
        if self.pairs and all(u.group is None for u in units):
            plans = [u.plan for u in pair_units_of(self, units, self.pairs) if u.plan[2]]
            self.scan.next_ranges = plans or None

    def bin_columns(self, units):  # the partitions bin their rows with _scan_codes
        return None

    def add_bin_codes(self, names):
        for name in (n for n in names if n not in self.code_names):
            edges, lo, hi = self.edges[name]
            self.scan.layout.bins.append((self.num_names.index(name), np.asarray(edges), lo, hi))
            self.code_names.append(name)


def _categories(name, meta, found):
    """The categories of a column as the in-memory scan orders them."""
    dtype = meta.dtype
    if isinstance(dtype, pd.CategoricalDtype) and "__UNKNOWN_CATEGORIES__" not in list(dtype.categories):
        return list(dtype.categories)
    seen = list(dict.fromkeys(v for values, _ in found for v in values))
    return category_codes(pd.Series(seen, dtype=object))[1]


def _positions(train_idx, test_idx, parts, use_test):
    """Per partition, the local positions of its sliced and other rows, from global positions."""
    import dask

    lengths = np.asarray(dask.compute(*[dask.delayed(lambda p: len(p[0]))(p) for p in parts]), dtype=np.int64)
    n_rows = int(lengths.sum())
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    subsets = []
    for idx, name in ((test_idx, "test_idx"), (train_idx, "train_idx")) if use_test else (
            (train_idx, "train_idx"), (test_idx, "test_idx")):
        rows = base._positions(idx, name, n_rows)
        rows = np.where(rows < 0, rows + n_rows, rows)
        part = np.searchsorted(offsets, rows, side="right") - 1
        subsets.append([rows[part == k] - offsets[k] for k in range(len(parts))])
    return [(subsets[0][k], subsets[1][k]) for k in range(len(parts))]


def _settings(scan):
    cfg = scan_data.settings(scan)
    if not cfg.additive:
        raise TamrelError(f"The metric {cfg.score_name} cannot run on Dask input: the partitions' results are "
                          "merged from sums of per-row scores, and this metric is not a mean of per-row "
                          "scores (use MSE, MAE, ACC, LogLoss or Brier).")
    if scan.task_type not in ("regression", "classification"):
        raise TamrelError(f'task_type must be "regression" or "classification", got {scan.task_type!r}.')
    return cfg


def fit(scan, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, sample_weight=None,
        feature_names=None, feature_types=None):
    """FrailScan.fit for a Dask DataFrame or array x; the other inputs are Dask collections
    of the same partitions, train_idx/test_idx either boolean ones or global positions."""
    import dask.dataframe as dd

    from .. import utils

    cfg = _settings(scan)
    meta = x._meta if isinstance(x, dd.DataFrame) else np.empty((0, x.shape[1]), dtype=x.dtype)
    n_features = meta.shape[1]
    names = base._feature_names(feature_names, meta, n_features)
    types = base._feature_types(feature_types, n_features, {})
    features = scan_data.scanned_features(scan.features, names)
    pairs = scan_data.pair_list(scan.pairs, features, names)
    wanted = list(dict.fromkeys(features + [f for p in (pairs or []) for f in p]))
    # a non-empty stand-in, so that text columns show as categorical
    kinds = column_kinds(x._meta_nonempty if isinstance(x, dd.DataFrame) else meta, types)
    pred = prediction_proba if cfg.needs_proba else prediction
    if pred is None and scan.estimator is None:
        what = "prediction_proba" if cfg.needs_proba else "prediction"
        raise TamrelError(f"The metric {cfg.score_name} needs {what}: pass it or an estimator that gives it.")
    boolean = utils.is_dask(train_idx) and utils.is_dask(test_idx)
    sliced, other = (test_idx, train_idx) if scan.use_test else (train_idx, test_idx)
    parts = _partitions(x, {"y": y, "pred": pred, "w": sample_weight, "sliced": sliced if boolean else None,
                            "other": other if boolean else None})
    positions = None if boolean else _positions(train_idx, test_idx, parts, scan.use_test)

    layout = _Layout(names, [n for n in wanted if kinds[names.index(n)] != "categorical"],
                     [n for n in wanted if kinds[names.index(n)] == "categorical"],
                     type(scan)(bins=scan.bins), cfg.scoring_func, cfg.needs_proba,
                     None if pred is not None else scan.estimator)
    kernels = _Kernels(scan, layout, parts, positions)
    single_specs = [(-1, 1, True, j, 0, True) for j in range(len(layout.num_names))]
    first = kernels._map(_first_pass, single_specs)
    n_sliced, n_other = (sum(f["sizes"][k] for f in first) for k in (0, 1))
    for label, n in (("sliced", n_sliced), ("other", n_other)):
        if n == 0:
            which = "test" if (label == "sliced") == bool(scan.use_test) else "train"
            raise TamrelError(f"The {which} subset is empty: the scan needs rows to slice and rows to test on.")
    if single_specs:
        kernels.cached_ranges[repr(single_specs)] = reduce(scan._scan_merge_ranges, [f["ranges"] for f in first])

    columns, pooled = {}, {}
    for name in wanted:
        if name in layout.cat_names:
            found = [f["categories"][name] for f in first]
            categories = _categories(name, table_column(meta, names.index(name)), found)
            counts = np.zeros(len(categories))
            at = {v: k for k, v in enumerate(categories)}
            for _, seen in found:
                for value, count in seen.items():
                    counts[at[value]] += count
            layout.categories[name] = categories
            mapping, groups, raws = pool_counts(counts, categories, cfg.min_samples)
            layout.mapping[name] = mapping
            pooled[name] = Pooled(None, groups, raws)
            columns[name] = Column(name, False, None, categories)
        else:
            columns[name] = Column(name, True, None)

    ws, w = math.fsum(f["sliced"][0] for f in first), math.fsum(f["sliced"][1] for f in first)
    scan.threshold_value = cfg.multiplier * (ws / w)
    total = {k: math.fsum(f["other"][k] for f in first) for k in ("w", "ws", "ws2", "w2")}
    state = _PartitionState(kernels, cfg, columns, pooled, sample_weight is not None, pairs)
    rows, conds, stats = scan_units(scan, cfg, state, columns, features, pairs, total, n_sliced)

    scan.score_name = cfg.score_name
    scan.feature_names, scan.feature_types = names, types
    scan.y = scan.pred = scan.pred_proba = scan.sample_weight = None
    scan.train_idx = scan.test_idx = None
    scan._scan_overall = total["ws"] / total["w"]
    scan._scan_columns = None
    scan.output = _table(scan, cfg, rows, conds, stats)
    return scan
