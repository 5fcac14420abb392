"""FrailScan's public methods: the scan of every feature and pair, and its drill-down views."""

import sys
from types import SimpleNamespace

import numpy as np
import pandas as pd

from ..exceptions import TamrelError
from ..utils import TestDataResult
from . import scan_data
from .scan_significance import benjamini_hochberg, bootstrap_one_sided, welch_one_sided
from .scan_units import Unit, members, pool_categories, region_row

__all__ = ["CLASS_DOC", "fit", "get_result", "get_target_rows", "frailzone"]

CLASS_DOC = """Weak-region scan of every feature and every pair of features.

Slices each scanned feature, and each pair, by histogram bins exactly as
``FrailZone(..., method="histogram")`` does, on the sliced subset (training rows, or
test rows with ``use_test=True``), and tests every weak region on the other subset,
which played no part in choosing it.

Numeric features are cut into equal-width bins; for a pair (a, b) the second feature
is binned inside each bin of the first over that bin's own range. Missing values of a
feature form a slice of their own ("kind" "missing"); interval slices use the rest, and a
pair the rows where both features are present (its first feature keeping the bins of
its own scan). The weak test compares with ``threshold`` times the score of the whole
sliced subset.
Categorical features (``feature_types`` "categorical", or pandas categorical, object,
string or bool columns) are sliced by value; values with fewer than ``min_samples``
sliced rows are pooled into one "other" slice. In a pair with a categorical feature the
other feature is binned within each category.

Significance. For an additive metric (MSE, MAE, ACC, LogLoss, Brier) each region's mean
per-sample score on the other subset is compared with the mean of the rest of that
subset by a one-sided Welch t-test on weighted means: weighted variances, Kish's
effective sample sizes (sum w)^2 / sum w^2 and Welch-Satterthwaite degrees of freedom;
"ci_low"/"ci_high" are the region's mean plus or minus the t quantile at 1 - alpha/2
times its standard error. For AUC, F1 and R2 the region's score and the rest's score are
bootstrapped (100 rounds each, seeded by ``random_state``): the p-value is the normal
tail of the difference of the two scores over the bootstrap standard error of that
difference, the interval the alpha/2 and 1 - alpha/2 quantiles of the region's
resampled score; a region or rest with fewer than ten rows there gets no p-value. "q_value" is the Benjamini-Hochberg adjustment over
every region of the scan and "significant" is q_value <= alpha.

Parameters
----------
estimator : object, default=None
    The fitted model; gives predictions that ``fit`` is not given.
features : list of str, default=None
    Names of the features to scan; None scans every column.
pairs : "all", None, int or list of pairs, default="all"
    "all": every unordered pair of the scanned features (the earlier one first);
    None: features alone; an int k: every pair among the k features whose weakest
    region scored worst; a list: these ordered pairs.
task_type : str, default=None
    "regression" or "classification"; inferred from the estimator when None.
metric : str, default=None
    Scoring metric ("MSE", "MAE", "ACC", "LogLoss", "Brier", "AUC", "F1", "R2"); None
    is "MSE".
threshold : float, default=1.2
    A slice is weak when its score is worse than the overall score of the sliced
    subset by this factor.
bins : int, default=10
    Largest number of equal-width bins per feature.
min_samples : int, default=20
    Smallest number of sliced rows of a reported region; also the smallest count of a
    category slice of its own.
use_test : bool, default=False
    Slice the test subset and test on the training subset.
alpha : float, default=0.05
    Level of the significance test and of the confidence intervals (1 - alpha).
n_jobs : int, default=None
    Worker threads of the scan; None uses every core.
random_state : int, default=0
    Seed of the bootstrap.
verbose : bool, default=True
    Show a progress bar (with tqdm, when it is installed) when a scan takes more than
    about a second and the output is a terminal or notebook.

Attributes
----------
output : pandas.DataFrame
    One row per region, sorted by "q_value" then "Gap" (descending), NaN last, with the
    columns "slice_features", "kind", "lb1", "ub1", "lb2", "ub2", "categories", "#Test",
    "#Train", "test_" + score, "train_" + score, "Gap", "p_value", "q_value",
    "significant", "ci_low", "ci_high".
threshold_value : float
    The score level of the weak test.
"""

_PROGRESS_WORK = 3e7  # rows times units that take about a second


class _NoBar:
    def update(self, n=1):
        pass

    def close(self):
        pass


def _interactive():
    if "ipykernel" in sys.modules:
        return True
    stream = sys.stderr
    return hasattr(stream, "isatty") and stream.isatty()


def _progress(show, total):
    if not show or not _interactive():
        return _NoBar()
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return _NoBar()
    return tqdm(total=total, desc="FrailScan", leave=False)


def _fortran(columns, rows, dtype, extra=0):
    out = np.empty((len(rows), len(columns) + extra), dtype=dtype, order="F")
    for j, values in enumerate(columns):
        np.take(values, rows, out=out[:, j])
    return out


class _Scan:
    """One fit's state: the subsets as blocks and the units run through the kernels."""

    def __init__(self, scan, cfg, columns, sliced, other, scores, matrix, grouping):
        self.scan, self.cfg, self.columns, self.matrix = scan, cfg, columns, matrix
        self.sliced, self.other = sliced, other
        w = scan.sample_weight
        self.weights = (None if w is None else self._rows(w, sliced), None if w is None else self._rows(w, other))
        self.scores = (self._rows(scores, sliced), self._rows(scores, other))
        self.num_names = [n for n, c in columns.items() if c.numeric]
        self.pooled = {n: pool_categories(c, sliced, cfg.min_samples) for n, c in columns.items() if not c.numeric}
        self.code_names = list(self.pooled)
        # the numeric columns and their fine codes, once per subset for every pass over it
        self.num, self.fine = zip(*(self._subset(rows) for rows in (sliced, other)))
        # room for the bin codes of the numeric features that group pairs (`grouping`),
        # which the single features' sums pass writes
        self.codes = tuple(_fortran([self.pooled[n].codes for n in self.code_names], rows, np.int32,
                                    extra=len(grouping)) for rows in (sliced, other))
        self.bin_names = list(self.code_names) + list(grouping)
        self.edges = {}
        self.jobs = scan.n_jobs

    def _rows(self, values, rows):
        """values[rows] of a float64 vector, by the scan's threaded gather."""
        values = np.asarray(values, dtype=np.float64)
        return self.scan._scan_take(values[:, None], [0], rows, self.scan.n_jobs)[:, 0]

    def _subset(self, rows):
        """The numeric columns at the rows, Fortran-ordered, and their fine codes (taken in
        the same threaded pass over a float64 x)."""
        cols = [self.columns[n] for n in self.num_names]
        if self.matrix is not None and cols and all(c.position >= 0 for c in cols):
            return self.scan._scan_take(self.matrix, [c.position for c in cols], rows, self.scan.n_jobs, True)
        num = _fortran([c.values for c in cols], rows, np.float64)
        return num, self.scan._scan_fine(num, self.scan.n_jobs)

    # -- units -------------------------------------------------------------------
    def one(self, name):
        col = self.columns[name]
        if col.numeric:
            plan = (-1, 1, True, self.num_names.index(name), 0, True)
        else:
            plan = (-1, 1, False, self.code_names.index(name), len(self.pooled[name].groups), True)
        return Unit((name,), None, name, plan)

    def pair(self, a, b):
        ca, cb = self.columns[a], self.columns[b]
        group, cut = (b, a) if ca.numeric and not cb.numeric else (a, b)
        if self.columns[group].numeric:
            n_groups = len(self.edges[group][0]) - 1
            gcol = self.code_names.index(group)
        else:
            n_groups = len(self.pooled[group].groups)
            gcol = self.code_names.index(group)
        if n_groups < 1:
            return None
        if self.columns[cut].numeric:
            plan = (gcol, n_groups, True, self.num_names.index(cut), 0, False)
        else:
            plan = (gcol, n_groups, False, self.code_names.index(cut), len(self.pooled[cut].groups), False)
        return Unit((a, b), group, cut, plan)

    def add_bin_codes(self, names):
        """The bin codes of numeric features as grouping columns: the single features'
        sums pass wrote them (bin_columns)."""
        missing = [n for n in names if n not in self.code_names]
        if missing:
            raise RuntimeError(f"bin codes of {missing} were not written: scan the single features first.")

    def bin_columns(self, units):
        """Where the single features' sums pass writes the numeric features' bin codes,
        which are their code columns from then on; None for a pass over pairs."""
        if any(u.group is not None for u in units):
            return None
        self.code_names = self.bin_names
        return [self.bin_names.index(u.cut) if u.plan[2] and u.cut in self.bin_names else -1 for u in units]

    # -- passes ------------------------------------------------------------------
    def _edges(self, units, sketches):
        try:
            return self.scan._scan_edges([u.plan for u in units], sketches)
        except ValueError as exc:
            text = str(exc)
            if text.startswith("scan unit "):
                k, _, rest = text[len("scan unit "):].partition(": ")
                u = units[int(k)]
                raise ValueError(f"Feature '{u.cut}' in slice {u.features}: {rest}") from None
            raise

    def before_sums(self, units):
        """Called once the units' edges are known, before their sums pass."""

    def run(self, units, bar):
        """Regions of the units: (unit, kernel region) pairs with their statistics."""
        scan = self.scan
        numeric = [u for u in units if u.plan[2]]
        plans = [u.plan for u in numeric]
        sketches = scan._scan_ranges(self.num[0], self.codes[0], plans, self.jobs, self.fine[0]) if plans else []
        bar.update()
        for u, s in zip(numeric, sketches):
            if any(g[4] > 0 for g in s):
                raise ValueError(f"Feature '{u.cut}' holds infinite values; its histogram range is not finite.")
        for u, (edges, lo, hi) in zip(numeric, self._edges(numeric, sketches)):
            u.info = {"edges": edges, "lo": lo, "hi": hi}
        by_unit = dict(zip(map(id, numeric), sketches))
        all_sketches = [by_unit.get(id(u), []) for u in units]
        all_plans = [u.plan for u in units]
        self.before_sums(units)
        bins = self.bin_columns(units)
        extra = {} if bins is None else {"bin_columns": bins}
        sums = [scan._scan_sums(num, codes, all_plans, all_sketches, scores, w, moments, self.jobs, fine, **extra)
                for num, codes, scores, w, moments, fine in zip(self.num, self.codes, self.scores, self.weights,
                                                                (False, True), self.fine)]
        bar.update()
        found = scan._scan_regions(all_plans, all_sketches, sums[0], sums[1], self.weights[0] is not None,
                                   self.cfg.score_sign, scan.threshold_value)
        bar.update()
        return found


def _merge_found(found_list):
    keys = found_list[0][1].keys()
    units, offsets = [], 0
    parts = {k: [] for k in keys}
    for unit_list, found in found_list:
        for k in keys:
            values = found[k]
            parts[k].append(values + offsets if k == "unit" else values)
        offsets += len(unit_list)
        units += unit_list
    return units, {k: np.concatenate(v) for k, v in parts.items()}


def _top_features(units, found, features, k, sign):
    worst = {}
    for u_index, score in zip(found["unit"], found["sliced_score"]):
        name = units[u_index].features[0]
        worst[name] = min(worst.get(name, np.inf), sign * score)
    ranked = sorted(features, key=lambda f: (worst.get(f, np.inf), features.index(f)))
    top = set(ranked[:k])
    return [f for f in features if f in top]


def _additive(self, cfg, x, columns, features, pairs, sliced, other, pred):
    scores = np.asarray(cfg.scoring_func(self.y, pred), dtype=np.float64)
    matrix = x if isinstance(x, np.ndarray) and x.dtype == np.float64 else None
    state = _Scan(self, cfg, columns, sliced, other, scores, matrix, _grouping(columns, pairs))
    self.threshold_value = cfg.multiplier * self._scan_mean(state.scores[0], state.weights[0])
    w_other, s_other = state.weights[1], state.scores[1]
    ones = np.ones_like(s_other) if w_other is None else w_other
    # plain (pairwise) sums, not BLAS dot products: a threaded BLAS keeps its threads
    # spinning for a while after a call, taking the cores from the scan's kernels
    ws = ones * s_other
    total = {"w": ones.sum(), "ws": ws.sum(), "ws2": (ws * s_other).sum(), "w2": (ones * ones).sum()}
    found = scan_units(self, cfg, state, columns, features, pairs, total, len(sliced))
    # the tested subset's score is its mean score (unweighted when the weights sum to 0)
    self._scan_overall = float(total["ws"] / total["w"] if total["w"] != 0 else s_other.mean())
    return found


def _grouping(columns, pairs):
    """The numeric features whose bin codes group pairs: each feature a of a numeric pair
    (a, b), every numeric feature while the pairs are still to be chosen (pairs None)."""
    numeric = [n for n, c in columns.items() if c.numeric]
    if pairs is None:
        return numeric
    need = {a for a, b in pairs if columns[a].numeric and columns[b].numeric}
    return [n for n in numeric if n in need]


def pair_units_of(state, singles, pairs):
    """The units of the pairs, once the single features' edges are known (their bin codes
    become grouping codes); the same units every time it is called."""
    columns = state.columns
    for u in singles:
        if u.info:
            state.edges[u.cut] = (u.info["edges"][0], u.info["lo"][0], u.info["hi"][0])
        elif columns[u.cut].numeric:
            state.edges[u.cut] = (np.empty(0), np.nan, np.nan)
    grouping = [a if columns[a].numeric and columns[b].numeric else None for a, b in pairs]
    state.add_bin_codes(list(dict.fromkeys(g for g in grouping if g is not None)))
    return [u for u in (state.pair(a, b) for a, b in pairs) if u is not None]


def scan_units(self, cfg, state, columns, features, pairs, total, n_sliced):
    """Regions of every feature and pair through `state`'s passes, with their statistics;
    `total` holds the other subset's sums of w, w*s, w*s^2 and w^2."""
    n_units = len(columns) + (len(pairs) if pairs is not None else len(features) ** 2 // 2)
    show = bool(self.verbose) and n_sliced * n_units > _PROGRESS_WORK
    bar = _progress(show, 7)
    try:
        singles = [state.one(n) for n in columns]
        found1 = state.run(singles, bar)
        if pairs is None:
            pairs_all = [(a, b) for i, a in enumerate(features) for b in features[i + 1:]]
            top = _top_features(singles, found1, features, int(self.pairs), cfg.score_sign)
            pairs = [(a, b) for a, b in pairs_all if a in top and b in top]
        pair_units = pair_units_of(state, singles, pairs)
        bar.update()
        found2 = state.run(pair_units, bar) if pair_units else None
    finally:
        bar.close()
    keep = [i for i, u in enumerate(singles) if u.cut in features]
    found1 = {k: v for k, v in found1.items()}
    mask = np.isin(found1["unit"], keep)
    found1 = {k: v[mask] for k, v in found1.items()}
    parts = [(singles, found1)] + ([(pair_units, found2)] if found2 is not None else [])
    units, found = _merge_found(parts)
    ctx = SimpleNamespace(columns=columns, pooled=state.pooled, edges=state.edges, shapes={})
    rows, conds = [], []
    fields = (found[k].tolist() for k in ("kind", "group", "lb", "ub", "category"))  # Python numbers
    for u, region in zip(found["unit"].tolist(), zip(*fields)):
        row, cond = region_row(units[u], region, ctx)
        rows.append(row)
        conds.append(cond)
    region = {"w": found["other_w"], "ws": found["other_ws"], "ws2": found["other_ws2"], "w2": found["other_w2"]}
    p, lo, hi = welch_one_sided(region, total, cfg.score_sign, cfg.alpha)
    stats = {"n_sliced": found["n_sliced"], "n_other": found["n_other"], "sliced_score": found["sliced_score"],
             "other_score": found["other_score"], "p": p, "ci_low": lo, "ci_high": hi}
    return rows, conds, stats


def _table(self, cfg, rows, conds, stats):
    name = cfg.score_name
    train_first = not bool(self.use_test)
    n_train, n_test = (stats["n_sliced"], stats["n_other"]) if train_first else (stats["n_other"], stats["n_sliced"])
    s_train, s_test = ((stats["sliced_score"], stats["other_score"]) if train_first
                       else (stats["other_score"], stats["sliced_score"]))
    keys = ["slice_features", "kind", "lb1", "ub1", "lb2", "ub2", "categories"]
    columns = {k: [r[k] for r in rows] for k in keys}
    columns["slice_features"] = _objects(columns["slice_features"])
    columns["categories"] = _objects(columns["categories"])
    columns["kind"] = np.asarray(columns["kind"], dtype=object)
    for k in ("lb1", "ub1", "lb2", "ub2"):
        columns[k] = np.asarray(columns[k], dtype=np.float64)
    columns["#Test"] = np.asarray(n_test, dtype=np.int64)
    columns["#Train"] = np.asarray(n_train, dtype=np.int64)
    columns["test_" + name] = test = np.asarray(s_test, dtype=np.float64)
    columns["train_" + name] = np.asarray(s_train, dtype=np.float64)
    columns["Gap"] = gap = test - columns["train_" + name]
    columns["p_value"] = np.asarray(stats["p"], dtype=np.float64)
    columns["q_value"] = q = benjamini_hochberg(columns["p_value"])
    columns["significant"] = q <= cfg.alpha
    columns["ci_low"] = np.asarray(stats["ci_low"], dtype=np.float64)
    columns["ci_high"] = np.asarray(stats["ci_high"], dtype=np.float64)
    # by q-value ascending, then Gap descending, NaN last in both; ties keep their order
    order = np.lexsort((-gap, q))
    self._scan_conditions = [conds[i] for i in order]
    frame = {k: v[order] for k, v in columns.items()}
    # the dtype pandas gives strings, also when there are none: one schema for every table
    frame["kind"] = pd.Series(frame["kind"], dtype=pd.Series(["interval"]).dtype)
    return pd.DataFrame(frame)


def _objects(values):
    """A list as an object array (tuples and dicts kept whole)."""
    out = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        out[i] = v
    return out


def fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, sample_weight=None,
        feature_names=None, feature_types=None):
    """fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, sample_weight=None,
    feature_names=None, feature_types=None)

    Scan the features and pairs; the table of weak regions becomes ``output``.

    Parameters
    ----------
    x : numpy.ndarray or pandas.DataFrame
        The data, columns of any type (numeric or categorical, with missing values). A
        Dask DataFrame or array is scanned partition by partition, with the same table as
        in memory: y, the predictions and the weights are then Dask collections of its
        partitions, train_idx/test_idx boolean ones or row positions, and the metric
        additive (MSE, MAE, ACC, LogLoss, Brier).
    y : array-like
        The response, one entry per row.
    train_idx, test_idx : array-like of int
        Row positions of the training and test subsets.
    prediction, prediction_proba : array-like, default=None
        The model's predictions / positive-class probabilities; computed with the
        estimator when not given and the metric needs them.
    sample_weight : array-like, default=None
        Row weights for every score, mean and test.
    feature_names : list of str, default=None
        Column names; a DataFrame's own names, else "X0", "X1", ...
    feature_types : list of str, default=None
        "numerical" or "categorical" per column; by the column dtype when None.

    Returns
    -------
    self
    """
    from ..utils import is_dask

    if is_dask(x):
        from .scan_dask import fit as fit_partitions

        return fit_partitions(self, x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
                              feature_names, feature_types)
    cfg = scan_data.settings(self)
    x = scan_data.read_data(self, x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
                            feature_names, feature_types)
    names = self.feature_names
    features = scan_data.scanned_features(self.features, names)
    pairs = scan_data.pair_list(self.pairs, features, names)
    wanted = list(dict.fromkeys(features + [f for p in (pairs or []) for f in p]))
    kinds = scan_data.kinds_of(x, self.feature_types)
    columns = scan_data.read_columns(x, names, kinds, wanted)
    sliced, other = (self.test_idx, self.train_idx) if self.use_test else (self.train_idx, self.test_idx)
    for label, rows in (("sliced", sliced), ("other", other)):
        if len(rows) == 0:
            which = "test" if (label == "sliced") == bool(self.use_test) else "train"
            raise TamrelError(f"The {which} subset is empty: the scan needs rows to slice and rows to test on.")
    pred = self.pred_proba if cfg.needs_proba else self.pred
    if pred is None:
        what = "prediction_proba" if cfg.needs_proba else "prediction"
        raise TamrelError(f"The metric {cfg.score_name} needs {what}: pass it or an estimator that gives it.")
    if cfg.additive:
        rows, conds, stats = _additive(self, cfg, x, columns, features, pairs, sliced, other, pred)
    else:
        from .scan_scored import scored_regions

        rows, conds, stats = scored_regions(self, cfg, columns, features, pairs, sliced, other, pred)
        w = self.sample_weight
        self._scan_overall = float(cfg.scoring_func(self.y[other], pred[other],
                                                    sample_weight=None if w is None else w[other]))
    self.score_name = cfg.score_name
    self._scan_columns = columns
    self.output = _table(self, cfg, rows, conds, stats)
    return self


def _row(self, i):
    if self.output is None:
        raise TamrelError("FrailScan is not fitted: call fit first.")
    if self._scan_columns is None:
        raise TamrelError("The scan ran on Dask partitions, whose rows stay on the cluster: drill down by "
                          "selecting a region's rows from the Dask data with its bounds in output.")
    n = len(self.output)
    if not isinstance(i, (int, np.integer)) or isinstance(i, bool) or not -n <= i < n:
        raise TamrelError(f"Region {i!r} is not a position in the table of {n} regions.")
    return int(i) % n


def get_target_rows(self, i):
    """get_target_rows(self, i)

    Positions into the ``x`` given to ``fit`` of the training and test rows inside
    region ``i`` (a position in ``output``), ascending.
    """
    i = _row(self, i)
    rows = np.union1d(self.train_idx, self.test_idx)
    return rows[members(self._scan_conditions[i], self._scan_columns, rows)]


def frailzone(self, i):
    """frailzone(self, i)

    A ``FrailZone`` (method "histogram") fitted with the scan's settings on the
    features of interval region ``i``, on the rows where those features are present,
    so that its marginal, shift and distance views open on the finding. Without missing
    values its regions are the scan's rows of those features; with them, its bins and
    threshold come from the present rows alone.
    """
    from .frailzone import FrailZone

    i = _row(self, i)
    row = self.output.iloc[i]
    if row["kind"] != "interval":
        raise TamrelError(f'Region {i} is a "{row["kind"]}" region; FrailZone slices intervals only.')
    features = list(row["slice_features"])
    x = np.column_stack([self._scan_columns[f].values for f in features])
    keep = ~np.isnan(x).any(axis=1)
    new_pos = np.cumsum(keep) - 1
    train = new_pos[self.train_idx[keep[self.train_idx]]]
    test = new_pos[self.test_idx[keep[self.test_idx]]]

    def rows(values):
        return None if values is None else values[keep]

    zone = FrailZone(self.estimator, features, task_type=self.task_type, threshold=self.threshold,
                     method="histogram", bins=self.bins, min_samples=self.min_samples, metric=self.metric,
                     use_test=self.use_test, random_state=self.random_state)
    zone.fit(x[keep], self.y[keep], train, test, prediction=rows(self.pred),
             prediction_proba=rows(self.pred_proba), sample_weight=rows(self.sample_weight),
             feature_names=features)
    return zone


def get_result(self):
    """get_result(self)

    The scan as a ``TestDataResult`` with key "frailzone_scan": the settings, the
    threshold value, the overall score of the subset the regions were tested on, and
    the table under "data".
    """
    if self.output is None:
        raise TamrelError("FrailScan is not fitted: call fit first.")
    tested = "train" if self.use_test else "test"
    value = {key: getattr(self, key) for key in ("features", "pairs", "bins", "min_samples", "metric", "threshold",
                                                  "use_test", "alpha")}
    value["score_name"] = self.score_name
    value["threshold_value"] = self.threshold_value
    value["tested_on"] = tested
    value["overall_score"] = self._scan_overall
    value["data"] = self.output
    return TestDataResult(key="frailzone_scan", value=value)
