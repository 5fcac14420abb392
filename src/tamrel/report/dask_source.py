"""The report's rows on Dask input: sums over the partitions, and the regions' rows gathered.

Two passes over the partitions after the scan: one adds up the subsets' sums (the overall
scores) and the missing entries; one gathers the rows of the drilled-down regions (selected
by the scan's rule of each, ``get_rule`` read by ``scan_units.rule_mask``), the per-category
sums of the category findings, and a seeded uniform sample of all rows. A region's own
numbers (bias or noise) come from its rows; the marginal and shift views from a FrailZone
fitted in memory on the sample (at most about 100,000 rows; the note under the views says so).
"""

from functools import reduce

import numpy as np
import pandas as pd

from ..diagnoser.columns import column_kinds
from ..diagnoser.frailzone import FrailZone
from ..diagnoser.scan_units import rule_mask
from ..diagnoser.utils import binary_labels, get_scoring_metric
from ..exceptions import TamrelError
from .memory_source import RegionRows, surrogate_rows
from .regions import MISSING, category_groups, category_table, rule_key
from .scores import add_sums, block_sums

__all__ = ["DaskSource"]

_SAMPLE_ROWS = 100_000  # rows of the uniform sample the drill-down views are drawn on
_EXTRA = "__tamrel_{}__"


def _extra(name):
    return _EXTRA.format(name)


def _with_extras(x_part, extras, names, positions):
    """One partition as a pandas frame: the features by name, then the extras."""
    frame = x_part if isinstance(x_part, pd.DataFrame) else pd.DataFrame(np.asarray(x_part), columns=names)
    frame = frame.reset_index(drop=True)
    frame.columns = names
    for name, values in extras.items():
        values = np.asarray(values)
        if len(values) != len(frame):
            raise TamrelError(f"{name} has {len(values)} entries in a partition where x has {len(frame)} rows; "
                              "give it with the partitions of x.")
        frame[_extra(name)] = values
    if positions is not None:
        for name, rows in zip(("train", "test"), positions):
            flags = np.zeros(len(frame), dtype=bool)
            flags[rows] = True
            frame[_extra(name)] = flags
    return frame


def _blocks(values):
    import dask.array as da
    import dask.dataframe as dd

    if isinstance(values, dd.DataFrame):
        values = values.iloc[:, 0]
    if isinstance(values, dd.Series):
        return values.to_delayed()
    if isinstance(values, da.Array):
        return values.to_delayed().ravel()
    raise TamrelError("On Dask input, y, the predictions, weights and boolean train/test marks are Dask collections "
                      "with the partitions of x.")


class DaskSource:
    """Rows of Dask collections, read in passes over their partitions."""

    is_dask = True

    def __init__(self, data, scan, estimator):
        import dask

        self.scan, self.estimator = scan, estimator
        self.names = list(scan.feature_names)
        x = data.x
        meta = x._meta_nonempty if hasattr(x, "_meta_nonempty") else np.zeros((1, len(self.names)), dtype=x.dtype)
        self.kinds = column_kinds(meta, scan.feature_types)
        self.needs_proba = get_scoring_metric(scan.score_name).needs_proba
        extras = {"y": data.y, "pred": data.prediction, "proba": data.prediction_proba, "w": data.sample_weight}
        from ..utils import is_dask

        boolean = is_dask(data.train_idx) and is_dask(data.test_idx)
        if boolean:
            extras.update(train=data.train_idx, test=data.test_idx)
        extras = {k: v for k, v in extras.items() if v is not None}
        if hasattr(x, "to_delayed") and hasattr(x, "columns"):
            xs = x.to_delayed()
        else:
            xs = x.rechunk({1: -1}).to_delayed().ravel()
        blocks = {k: _blocks(v) for k, v in extras.items()}
        for name, b in blocks.items():
            if len(b) != len(xs):
                raise TamrelError(f"{name} has {len(b)} partitions but x has {len(xs)}.")
        positions = None if boolean else self._positions(xs, data.train_idx, data.test_idx)
        self.parts = [dask.delayed(_with_extras)(xs[i], {k: b[i] for k, b in blocks.items()}, self.names,
                                                 None if positions is None else positions[i])
                      for i in range(len(xs))]
        self.classes = self._classes() if scan.task_type == "classification" else None
        self._first = None

    # -- plumbing -----------------------------------------------------------------------
    def _positions(self, xs, train_idx, test_idx):
        import dask

        from ..diagnoser.base import _positions

        lengths = np.asarray(dask.compute(*[dask.delayed(len)(p) for p in xs]), dtype=np.int64)
        offsets = np.concatenate([[0], np.cumsum(lengths)])
        n = int(offsets[-1])
        out = [[None, None] for _ in xs]
        for k, (idx, name) in enumerate(((train_idx, "train_idx"), (test_idx, "test_idx"))):
            rows = _positions(idx, name, n)
            part = np.searchsorted(offsets, rows, side="right") - 1
            for i in range(len(xs)):
                out[i][k] = rows[part == i] - offsets[i]
        return out

    def _map(self, func, *args):
        import dask

        return dask.compute(*[dask.delayed(func)(p, i, *args) for i, p in enumerate(self.parts)])

    def _classes(self):
        found = self._map(lambda p, i: list(pd.unique(p[_extra("y")])))
        labels = sorted({v for part in found for v in part})
        if len(labels) > 2:
            raise TamrelError(f"y holds {len(labels)} classes; the report's classification metrics need two.")
        if all(v in (0, 1) for v in labels):
            return [0, 1]
        ones = binary_labels(np.asarray(labels, dtype=object))
        return [labels[int(np.argmin(ones))], labels[int(np.argmax(ones))]] if len(labels) == 2 else None

    def _given(self, frame):
        """(pred, proba) of a partition: given, or from the estimator."""
        pred = frame[_extra("pred")].to_numpy() if _extra("pred") in frame else None
        proba = frame[_extra("proba")].to_numpy(dtype=np.float64) if _extra("proba") in frame else None
        if self.estimator is not None and len(frame):
            x = frame[self.names]
            if pred is None and hasattr(self.estimator, "predict"):
                pred = np.asarray(self.estimator.predict(x))
            if proba is None and self.scan.task_type == "classification" and hasattr(self.estimator, "predict_proba"):
                proba = np.asarray(self.estimator.predict_proba(x), dtype=np.float64)[:, 1]
        return pred, proba

    def _subset(self, frame, name):
        return frame[_extra(name)].to_numpy(dtype=bool)

    # -- overall ------------------------------------------------------------------------
    def subset_sums(self, metrics):
        def first(frame, i, metrics):
            pred, proba = self._given(frame)
            w = frame[_extra("w")].to_numpy(dtype=np.float64) if _extra("w") in frame else None
            y = frame[_extra("y")].to_numpy()
            out = {"missing": frame[self.names].isna().sum().to_numpy(dtype=np.float64), "rows": float(len(frame))}
            for name in ("train", "test"):
                at = self._subset(frame, name)
                out[name] = block_sums(self.scan.task_type, y[at], None if pred is None else pred[at],
                                       None if proba is None else proba[at], None if w is None else w[at],
                                       self.classes, metrics)
            return out

        parts = self._map(first, metrics)
        self._first = {"missing": sum(p["missing"] for p in parts), "rows": sum(p["rows"] for p in parts)}
        self.n_rows = int(self._first["rows"])
        return {name: reduce(add_sums, [p[name] for p in parts]) for name in ("train", "test")}

    def missing_shares(self):
        rows = max(self._first["rows"], 1.0)
        return {n: float(m / rows) for n, m in zip(self.names, self._first["missing"])}

    def labels(self, y):
        return binary_labels(y, self.classes) if self.classes is not None else np.asarray(y, dtype=np.float64)

    # -- regions ------------------------------------------------------------------------
    def regions(self, positions, table, clock):
        """RegionRows of the table's rows at ``positions``, gathered in one pass with the
        sample and the category sums (read by ``zone`` and ``category_scores``)."""
        rules = [self.scan.get_rule(int(i)) for i in positions]
        # per category finding: its feature and the rule's other parts, whose test rows the categories split
        splits = {}
        for rule in rules:
            cat = next((p for p in rule if p["kind"] == "categories"), None)
            if cat is not None:
                within = tuple(p for p in rule if p is not cat)
                splits[(cat["feature"], rule_key(within))] = within
        rate = min(1.0, _SAMPLE_ROWS / max(self.n_rows, 1))
        seed = int(self.scan.random_state or 0)
        metric = get_scoring_metric(self.scan.score_name)

        def gather(frame, i):
            pred, proba = self._given(frame)
            frame = frame.assign(**{_extra("pred"): pred} if pred is not None else {},
                                 **{_extra("proba"): proba} if proba is not None else {})
            seen = self._subset(frame, "train") | self._subset(frame, "test")
            found = [frame[rule_mask(rule, frame) & seen] for rule in rules]
            keep = np.random.default_rng([seed, i]).random(len(frame)) < rate
            test = self._subset(frame, "test")
            given = proba if metric.needs_proba else pred
            scores = metric.scoring_func(frame[_extra("y")].to_numpy()[test], given[test]) if given is not None and \
                metric.is_metric_additive and test.any() else np.zeros(0)
            w = frame[_extra("w")].to_numpy(dtype=np.float64)[test] if _extra("w") in frame else np.ones(test.sum())
            cats = {}
            for key, within in splits.items():
                at = rule_mask(within, frame[test])
                values = frame[key[0]][test][at]
                cats[key] = pd.DataFrame(
                    {"v": values.astype(object).where(values.notna(), None), "w": w[at],
                     "ws": w[at] * scores[at] if len(scores) else np.nan}).groupby(
                    "v", dropna=False).agg(rows=("w", "size"), w=("w", "sum"), ws=("ws", "sum"))
            return found, frame[keep], cats

        parts = self._map(gather)
        self._sample = pd.concat([p[1] for p in parts], ignore_index=True)
        self._rate = rate
        self._cats = {key: reduce(lambda a, b: a.add(b, fill_value=0), [p[2][key] for p in parts])
                      for key in splits}
        return [self._region_rows(rule, pd.concat([p[0][k] for p in parts], ignore_index=True))
                for k, rule in enumerate(rules)]

    def _region_rows(self, rule, rows):
        get = lambda name: rows[_extra(name)].to_numpy() if _extra(name) in rows else None  # noqa: E731
        return RegionRows(rule, rows[self.names].reset_index(drop=True), get("y"), get("pred"),
                          None if get("proba") is None else get("proba").astype(np.float64),
                          None if get("w") is None else get("w").astype(np.float64),
                          rows[_extra("test")].to_numpy(dtype=bool))

    def category_scores(self, feature, metric, within):
        """Per category of ``feature``: the gathered sums of its test rows meeting ``within``
        (by the scan's member rule, in the pass of ``regions``)."""
        sums = self._cats[(feature, rule_key(within))]
        labels = [v for v in sums.index if v is not None and not (isinstance(v, float) and np.isnan(v))]
        codes, ordered = category_groups(pd.Series(labels, dtype=object))
        rows = [(label, int(sums.loc[label, "rows"]), float(sums.loc[label, "ws"] / sums.loc[label, "w"])
                 if sums.loc[label, "w"] > 0 else None) for label in ordered]
        missing = [v for v in sums.index if v not in labels]
        rows += [(MISSING, int(sums.loc[v, "rows"]), float(sums.loc[v, "ws"] / sums.loc[v, "w"])) for v in missing]
        return category_table(rows, int(sums["rows"].sum()))

    def zone(self, position, row):
        """A FrailZone fitted in memory on the sample's rows where the finding's features are
        present (as the scan's own drill-down), with the scan's settings."""
        features = list(row["slice_features"])
        rows = self._sample[self._sample[features].notna().all(axis=1).to_numpy()].reset_index(drop=True)
        weight = rows[_extra("w")].to_numpy(dtype=np.float64) if _extra("w") in rows else None
        train, test = np.flatnonzero(self._subset(rows, "train")), np.flatnonzero(self._subset(rows, "test"))
        zone = FrailZone(None, features, task_type=self.scan.task_type, threshold=self.scan.threshold,
                         bins=self.scan.bins, min_samples=self.scan.min_samples, metric=self.scan.score_name,
                         random_state=self.scan.random_state)
        zone.fit(rows[self.names], rows[_extra("y")].to_numpy(), train, test,
                 prediction=rows[_extra("pred")].to_numpy() if _extra("pred") in rows else None,
                 prediction_proba=rows[_extra("proba")].to_numpy() if _extra("proba") in rows else None,
                 sample_weight=weight)
        note = (f"Drawn from a seeded uniform sample of {len(rows):,} rows of the Dask data."
                if self._rate < 1 else None)
        return zone, note

    def surrogate_rows(self, limit, random_state):
        sample = self._sample
        if _extra("pred") not in sample:
            return None
        is_test = self._subset(sample, "test")
        keep = is_test | self._subset(sample, "train")
        sample = sample[keep]
        return surrogate_rows(sample[self.names], self.kinds, sample[_extra("pred")].to_numpy(),
                              self._subset(sample, "test"))
