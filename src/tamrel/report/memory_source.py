"""The report's rows in memory: the arrays the scan validated, and the regions' rows by the
scan's own ``get_target_rows``."""

from dataclasses import dataclass

import numpy as np
import pandas as pd

from ..diagnoser.columns import category_codes, column_kinds, numeric_column
from ..diagnoser.scan_units import rule_mask
from ..diagnoser.utils import binary_labels, get_scoring_metric
from .regions import category_groups, category_table
from .scores import block_sums

__all__ = ["RegionRows", "MemorySource", "SurrogateRows", "surrogate_rows", "sample_rows"]


@dataclass
class RegionRows:
    """A region's rows: its rule (the scan's records, in the table's feature order), its rows
    of x (a DataFrame), outcome, predictions and weights, and which rows are test rows."""

    rule: tuple
    frame: pd.DataFrame
    y: np.ndarray
    pred: object
    proba: object
    w: object
    is_test: np.ndarray


def _rows(values, rows):
    return None if values is None else np.asarray(values)[rows]


class MemorySource:
    """Rows of in-memory data, read through a fitted FrailScan."""

    is_dask = False

    def __init__(self, x, scan):
        self.x, self.scan = x, scan
        self.names = list(scan.feature_names)
        self.kinds = column_kinds(x, scan.feature_types)
        self.n_rows = len(scan.y)
        task = scan.task_type
        self.classes = None if task == "regression" else self._classes()
        self.needs_proba = get_scoring_metric(scan.score_name).needs_proba

    def _classes(self):
        labels = binary_labels(self.scan.y)  # the package's positive-class rule, once on all rows
        y = np.asarray(self.scan.y)
        if y.size == 0:
            return None
        positive, negative = y[labels == 1], y[labels == 0]
        return [negative[0] if negative.size else None, positive[0] if positive.size else None]

    def column(self, name):
        """One column of x as a pandas Series."""
        if isinstance(self.x, pd.DataFrame):
            return self.x[name]
        return pd.Series(np.asarray(self.x)[:, self.names.index(name)])

    def columns(self, names, rows):
        """The columns ``names`` of x at ``rows`` as a DataFrame (what a rule reads)."""
        return pd.DataFrame({name: self.column(name).iloc[rows].reset_index(drop=True) for name in names},
                            index=pd.RangeIndex(len(rows)))  # as many rows when no column is named

    def frame(self, rows):
        """The rows of x as a DataFrame named by the features."""
        if isinstance(self.x, pd.DataFrame):
            out = self.x.iloc[rows]
            out.columns = self.names
            return out.reset_index(drop=True)
        return pd.DataFrame(np.asarray(self.x)[rows], columns=self.names)

    def labels(self, y):
        """y as 0/1 by the positive class of all rows."""
        return binary_labels(y, self.classes) if self.classes is not None else np.asarray(y, dtype=np.float64)

    # -- overall ----------------------------------------------------------------------
    def subset_sums(self, metrics):
        """{"train": sums, "test": sums} of scores.block_sums."""
        s = self.scan
        return {name: block_sums(s.task_type, s.y[rows], _rows(s.pred, rows), _rows(s.pred_proba, rows),
                                 _rows(s.sample_weight, rows), self.classes, metrics)
                for name, rows in (("train", s.train_idx), ("test", s.test_idx))}

    def subset(self, name):
        """(y, pred, proba, w) of the training or test rows."""
        s = self.scan
        rows = s.train_idx if name == "train" else s.test_idx
        return s.y[rows], _rows(s.pred, rows), _rows(s.pred_proba, rows), _rows(s.sample_weight, rows)

    def missing_shares(self):
        """Share of missing entries per feature."""
        if isinstance(self.x, pd.DataFrame):
            return dict(zip(self.names, self.x.isna().mean().to_numpy(dtype=np.float64).tolist()))
        arr = np.asarray(self.x)
        return {n: float(pd.isna(arr[:, j]).mean()) for j, n in enumerate(self.names)}

    # -- regions ----------------------------------------------------------------------
    def regions(self, positions, table, clock):
        """RegionRows of the table's rows at ``positions`` (the scan's get_target_rows timed
        as the analysis it is)."""
        return [self._region(int(i), table.iloc[int(i)], clock) for i in positions]

    def _region(self, i, row, clock):
        s = self.scan
        with clock.analysis():
            rows = s.get_target_rows(i)
        is_test = np.isin(rows, s.test_idx)
        return RegionRows(s.get_rule(i), self.frame(rows), s.y[rows], _rows(s.pred, rows),
                          _rows(s.pred_proba, rows), _rows(s.sample_weight, rows), is_test)

    def category_scores(self, feature, metric, within):
        """Per category of ``feature`` (missing entries as one more): its test rows that meet
        the rule ``within`` (by the scan's member rule), their share and their score."""
        rows = self.scan.test_idx
        rows = rows[rule_mask(within, self.columns([p["feature"] for p in within], rows))]
        values = self.column(feature).iloc[rows].reset_index(drop=True)
        s = self.scan
        y, pred, proba, w = s.y[rows], _rows(s.pred, rows), _rows(s.pred_proba, rows), _rows(s.sample_weight, rows)
        codes, labels = category_groups(values)
        scorer = get_scoring_metric(metric, average=True)
        given = proba if scorer.needs_proba else pred
        rows = []
        for k, label in enumerate(labels):
            at = np.flatnonzero(codes == k)
            score = scorer.scoring_func(y[at], given[at], sample_weight=None if w is None else w[at]) if at.size else None
            rows.append((label, int(at.size), score))
        return category_table(rows, len(values))

    def surrogate_rows(self, limit, random_state):
        """SurrogateRows of the training and test rows; None without predictions."""
        s = self.scan
        if s.pred is None:
            return None
        train = sample_rows(s.train_idx, limit, random_state)
        rows = np.concatenate([train, s.test_idx])
        is_test = np.arange(rows.size) >= train.size
        return surrogate_rows(self.frame(rows), self.kinds, s.pred[rows], is_test)

    def zone(self, position, row):
        """The scan's drill-down FrailZone of an interval finding, and a note (None)."""
        return self.scan.frailzone(position), None


@dataclass
class SurrogateRows:
    """Numeric rows for a surrogate model: features (category codes for categories) and the
    model's predictions as its target, on training and test rows."""

    names: list
    train_x: np.ndarray
    train_target: np.ndarray
    test_x: np.ndarray
    test_target: np.ndarray


def numeric_matrix(frame, kinds):
    """The frame as float64: numbers as they are, categories as their codes, NaN missing."""
    out = np.empty(frame.shape, dtype=np.float64)
    for j, kind in enumerate(kinds):
        column = frame.iloc[:, j]
        if kind == "categorical":
            codes = category_codes(column)[0].astype(np.float64)
            out[:, j] = np.where(codes < 0, np.nan, codes)
        else:
            out[:, j] = numeric_column(column, frame.columns[j])
    return out


def sample_rows(rows, limit, random_state):
    """At most ``limit`` of the positions ``rows``: a seeded sample, in their order."""
    if len(rows) <= limit:
        return rows
    return np.sort(np.random.default_rng(random_state).choice(rows, limit, replace=False))


def _fill_missing(train, test):
    """Missing entries as a value below each column's training range, so that the
    surrogate's trees can still split them apart (depth-2 models take no NaN)."""
    for j in range(train.shape[1]):
        present = train[:, j][np.isfinite(train[:, j])]
        lo, hi = (present.min(), present.max()) if present.size else (0.0, 0.0)
        fill = lo - 0.05 * (hi - lo) if hi > lo else lo - 1.0
        for block in (train, test):
            block[~np.isfinite(block[:, j]), j] = fill


def surrogate_rows(frame, kinds, target, is_test):
    """SurrogateRows from rows in memory, missing entries filled below each column's range."""
    train, test = np.flatnonzero(~is_test), np.flatnonzero(is_test)
    target = np.asarray(target)
    train_x, test_x = numeric_matrix(frame.iloc[train], kinds), numeric_matrix(frame.iloc[test], kinds)
    _fill_missing(train_x, test_x)
    return SurrogateRows(list(frame.columns), train_x, target[train], test_x, target[test])
