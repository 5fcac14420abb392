"""Scan for metrics that are not additive (AUC, F1, R2): the slicer's own scoring per
slice, regions measured on their member rows and bootstrapped on the other subset."""

from types import SimpleNamespace

import numpy as np

from .scan_significance import bootstrap_one_sided
from .scan_units import Unit, members, pool_categories, region_row

__all__ = ["scored_regions"]


class _Scorer:
    def __init__(self, scan, cfg, pred):
        self.y, self.pred, self.w, self.func = scan.y, pred, scan.sample_weight, cfg.scoring_func

    def __call__(self, rows):
        w = None if self.w is None else self.w[rows]
        return float(self.func(self.y[rows], self.pred[rows], sample_weight=w))


def _slicer(scan, names, threshold_value):
    from .frailzone import HistogramSlicing

    s = HistogramSlicing(slice_features=names, threshold=scan.threshold, min_samples=scan.min_samples,
                         bins=scan.bins, metric=scan.metric)
    s.feature_names = list(names)
    s.fidx = list(range(len(names)))
    s.threshold_value = threshold_value
    return s


def _units(columns, pooled, features, pairs):
    units = [Unit((f,), None, f, ()) for f in features]
    for a, b in pairs:
        group, cut = (b, a) if columns[a].numeric and not columns[b].numeric else (a, b)
        units.append(Unit((a, b), group, cut, ()))
    return units


def _groups(unit, columns, pooled, rows):
    """(group index, rows of the group) of a unit; numeric pairs are one group here."""
    if unit.group is None or columns[unit.group].numeric:
        return [(0, rows)]
    codes = pooled[unit.group].codes[rows]
    return [(g, rows[codes == g]) for g in range(len(pooled[unit.group].groups))]


def _unit_regions(scan, unit, columns, pooled, sliced, thr, score, sign, floor):
    """(region tuple, ctx additions) of one unit, as the kernels would give them."""
    out = []
    cut = columns[unit.cut]
    weak = lambda s: np.isfinite(s) and sign * s <= sign * thr  # noqa: E731
    if unit.group is not None and columns[unit.group].numeric and cut.numeric:
        a, b = columns[unit.group].values, cut.values
        rows = sliced[~np.isnan(a[sliced]) & ~np.isnan(b[sliced])]
        if rows.size == 0:
            return out
        slicer = _slicer(scan, [unit.group, unit.cut], thr)
        x2 = np.column_stack([a[rows], b[rows]])
        w = None if scan.sample_weight is None else scan.sample_weight[rows]
        regions, _, edges = slicer._fit2d(x2, scan.y[rows], score.pred[rows], None, sample_weight=w)
        unit.info = {"pair_edges": (edges, x2[:, 0].min(), x2[:, 0].max()), "regions2": regions,
                     "x2": x2}
        for r in regions:
            out.append(("pair", r))
        return out
    for g, rows in _groups(unit, columns, pooled, sliced):
        if cut.numeric:
            present = rows[~np.isnan(cut.values[rows])]
            if present.size:
                slicer = _slicer(scan, [unit.cut], thr)
                w = None if scan.sample_weight is None else scan.sample_weight[present]
                regions, _, _ = slicer._fit1d(cut.values[present], scan.y[present], score.pred[present], None,
                                              sample_weight=w)
                hi = cut.values[present].max()
                for r in regions:
                    out.append(((0, g, r["lb1"], r["ub1"], -1), hi))
        else:
            codes = pooled[unit.cut].codes[rows]
            for c in range(len(pooled[unit.cut].groups)):
                members_ = rows[codes == c]
                if members_.size >= floor and weak(score(members_)):
                    out.append(((2, g, np.nan, np.nan, c), None))
    if unit.group is None:
        missing = sliced[np.isnan(cut.values[sliced])] if cut.numeric else sliced[pooled[unit.cut].codes[sliced] < 0]
        if missing.size >= floor and weak(score(missing)):
            out.append(((1, 0, np.nan, np.nan, -1), None))
    return out


def _pair_row(unit, record, x2):
    """Row and conditions of a two-feature region of the slicer (bounds as it gives them)."""
    a, b = unit.features
    row = {"slice_features": unit.features, "kind": "interval", "lb1": float(record["lb1"]),
           "ub1": float(record["ub1"]), "lb2": float(record["lb2"]), "ub2": float(record["ub2"]), "categories": None}
    closed1 = record["ub1"] == x2[:, 0].max()
    inside = (x2[:, 0] >= record["lb1"]) & ((x2[:, 0] <= record["ub1"]) if closed1 else (x2[:, 0] < record["ub1"]))
    closed2 = inside.any() and record["ub2"] == x2[inside, 1].max()
    conds = [("interval", a, row["lb1"], row["ub1"], bool(closed1)),
             ("interval", b, row["lb2"], row["ub2"], bool(closed2))]
    return row, conds


def _rows_of(scan, units, columns, pooled, sliced, score, cfg):
    ctx = SimpleNamespace(columns=columns, pooled=pooled, edges={})
    rows, conds = [], []
    for unit in units:
        for region, extra in _unit_regions(scan, unit, columns, pooled, sliced, scan.threshold_value, score,
                                           cfg.score_sign, cfg.min_samples):
            if region == "pair":
                row, cond = _pair_row(unit, extra, unit.info["x2"])
            else:
                unit.info = {"hi": {region[1]: extra}}
                row, cond = region_row(unit, region, ctx)
            rows.append(row)
            conds.append(cond)
    return rows, conds


def _top(rows, conds, columns, sliced, score, sign, features, k):
    worst = {}
    for row, cond in zip(rows, conds):
        inside = sliced[members(cond, columns, sliced)]
        if inside.size:
            f = row["slice_features"][0]
            worst[f] = min(worst.get(f, np.inf), sign * score(inside))
    top = set(sorted(features, key=lambda f: (worst.get(f, np.inf), features.index(f)))[:k])
    return [(a, b) for i, a in enumerate(features) for b in features[i + 1:] if a in top and b in top]


def scored_regions(scan, cfg, columns, features, pairs, sliced, other, pred):
    score = _Scorer(scan, cfg, pred)
    scan.threshold_value = cfg.multiplier * score(sliced)
    pooled = {n: pool_categories(c, sliced, cfg.min_samples) for n, c in columns.items() if not c.numeric}
    rows, conds = _rows_of(scan, _units(columns, pooled, features, []), columns, pooled, sliced, score, cfg)
    if pairs is None:
        pairs = _top(rows, conds, columns, sliced, score, cfg.score_sign, features, int(scan.pairs))
    more_rows, more_conds = _rows_of(scan, _units(columns, pooled, [], pairs), columns, pooled, sliced, score, cfg)
    rows, conds = rows + more_rows, conds + more_conds
    rng = np.random.default_rng(scan.random_state)
    stats = {k: [] for k in ("n_sliced", "n_other", "sliced_score", "other_score", "p", "ci_low", "ci_high")}
    for cond in conds:
        in_s = sliced[members(cond, columns, sliced)]
        mask = members(cond, columns, other)
        in_o, rest = other[mask], other[~mask]
        stats["n_sliced"].append(in_s.size)
        stats["n_other"].append(in_o.size)
        stats["sliced_score"].append(score(in_s) if in_s.size else np.nan)
        stats["other_score"].append(score(in_o) if in_o.size else np.nan)
        p, lo, hi = bootstrap_one_sided(score, in_o, rest, cfg.score_sign, cfg.alpha, rng)
        stats["p"].append(p)
        stats["ci_low"].append(lo)
        stats["ci_high"].append(hi)
    return rows, conds, stats
