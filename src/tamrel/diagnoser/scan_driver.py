"""The scan's one driver: every feature and pair through a block source's passes.

The driver builds the units (each feature alone, then the pairs), asks the source (in
memory or Dask: scan_source, scan_dask) for the passes, finds the weak regions of every
unit by the kernels' one weak test, and reads each region's sums on both subsets. It knows
nothing of where the rows live.
"""

from dataclasses import dataclass

import numpy as np

from ..exceptions import TamrelError
from . import _scan
from .scan_metrics import score_of
from .scan_units import RegionContext, Unit, pool_counts, region_row

__all__ = ["Settings", "Weak", "Found", "run", "top_features", "grouping_of", "check_overall", "mean_of",
           "weighted_fields", "PASS_STEPS"]

PASS_STEPS = 6  # progress steps of a scan: ranges, sums and regions of the features, then of the pairs


@dataclass(frozen=True)
class Settings:
    bins: int
    min_samples: float
    n_pairs: int  # pairs among the n_pairs weakest features (when pairs is a number)


@dataclass(frozen=True)
class Weak:
    """The one weak test's inputs: the user's threshold, the score's sign, the overall score
    of the n_total sliced rows (a cell of all of them is judged on it)."""

    threshold: float
    sign: float
    overall: float
    n_total: int


@dataclass
class Found:
    """The regions of a scan: their table rows and member conditions, their place in the
    scan, their counts and scores on the sliced rows, and the fields the tests read on the
    tested rows (per quantity; AUC: rank sums of the regions and of their rests)."""

    rows: list
    conditions: list
    order: np.ndarray  # per region: unit order, group, first cell
    n_sliced: np.ndarray
    sliced_score: np.ndarray
    inside: dict
    rest: dict
    passes: list  # per pass: (units, sketches, regions found)
    place: np.ndarray  # per region: (pass, position among the pass's regions)

    def cells(self, positions):
        """The regions at `positions` grouped by pass: (units, sketches, {unit, first_cell,
        last_cell}, their positions)."""
        out = []
        for k, (units, sketches, found) in enumerate(self.passes):
            at = [i for i in positions if self.place[i, 0] == k]
            if at:
                sel = self.place[at, 1]
                out.append((units, sketches, {n: found[n][sel] for n in ("unit", "first_cell", "last_cell")}, at))
        return out


def mean_of(fields, weighted):
    """The mean scores of sets from their sums fields, by the core's rule (weighted when the
    set's weights sum to more than 0)."""
    return _scan._slice_means(fields["n"], fields["s"], fields["w"], fields["ws"], weighted)


def weighted_fields(fields, weighted):
    """Sums fields with the weights' sums filled in: without weights every weight is 1, so
    sum w is the count and sum w*s the plain sum (the kernels keep only those then, unless
    asked for moments)."""
    if weighted:
        return fields
    out = dict(fields)
    out["w"] = fields["n"].astype(np.float64)
    out["ws"] = fields["s"]
    out["w2"] = out["w"]
    return out


def grouping_of(columns, pairs):
    """The numeric features whose bin codes group pairs: each feature a of a numeric pair
    (a, b), every numeric feature while the pairs are still to be chosen (pairs None)."""
    numeric = [n for n, c in columns.items() if c.numeric]
    if pairs is None:
        return numeric
    need = {a for a, b in pairs if columns[a].numeric and columns[b].numeric}
    return [n for n in numeric if n in need]


def top_features(names, scores, features, k, sign):
    """The k features whose weakest region scores worst (in the score's direction), in the
    scan's feature order; ties by feature order."""
    worst = {}
    for name, score in zip(names, scores):
        if np.isfinite(score):
            worst[name] = min(worst.get(name, np.inf), sign * score)
    ranked = sorted(features, key=lambda f: (worst.get(f, np.inf), features.index(f)))
    top = set(ranked[:k])
    return [f for f in features if f in top]


def check_overall(score, name, what):
    """A NaN overall score would find nothing without a word: refuse it as FrailZone does."""
    if not np.isfinite(score):
        raise TamrelError(f"The overall {name} of the {what} rows is not a number ({score}): the metric is "
                          "undefined there (e.g. AUC with one class, R2 with a constant response), so no region "
                          "can be weak against it.")


class _Units:
    """The units of one scan over its columns, with the kernels' column positions."""

    def __init__(self, source, columns, pooled):
        self.source, self.columns, self.pooled = source, columns, pooled
        self.num_names = [n for n, c in columns.items() if c.numeric]
        self.edges = {}
        self.count = 0

    def _unit(self, features, group, cut, **kernel):
        self.count += 1
        return Unit(features, group, cut, _scan._ScanUnit(**kernel), order=self.count)

    def _cut(self, cut, missing_cell):
        if self.columns[cut].numeric:
            return {"numeric": True, "cut_col": self.num_names.index(cut), "missing_cell": missing_cell}
        return {"numeric": False, "cut_col": self.source.code_column(cut), "n_cat": len(self.pooled[cut].groups),
                "missing_cell": missing_cell}

    def one(self, name):
        return self._unit((name,), None, name, **self._cut(name, True))

    def pair(self, a, b):
        """The unit of a pair: a numeric feature binned inside the groups of the other; for
        two numeric features the first groups by its own bins."""
        group, cut = (b, a) if self.columns[a].numeric and not self.columns[b].numeric else (a, b)
        if self.columns[group].numeric:
            n_groups = len(self.edges[group][0]) - 1
        else:
            n_groups = len(self.pooled[group].groups)
        if n_groups < 1:
            return None
        return self._unit((a, b), group, cut, group_col=self.source.code_column(group), n_groups=n_groups,
                          **self._cut(cut, False))


def _edges(units, sketches, bins):
    try:
        return _scan._scan_edges([u.kernel for u in units], sketches, bins)
    except ValueError as exc:
        text = str(exc)
        if not text.startswith("scan unit "):
            raise
        k, _, rest = text[len("scan unit "):].partition(": ")
        u = units[int(k)]
        if rest == "infinite values.":
            raise ValueError(f"Feature '{u.cut}' holds infinite values; its histogram range is not finite.") from None
        raise ValueError(f"Feature '{u.cut}' in slice {u.features}: {rest}") from None


class _Pass:
    """One pass of units over both subsets: their sketches, their cells' sums (or rank
    sums) and the regions the one weak test finds in them."""

    def __init__(self, run, units, sketches=None):
        self.run, self.units = run, units
        bins = run.cfg.bins
        self.sketches = sketches if sketches is not None else run.source.ranges(units, bins)
        for u, (edges, lo, hi) in zip(units, _edges(units, self.sketches, bins)):
            if u.kernel.numeric:
                u.info = {"edges": edges, "lo": lo, "hi": hi}

    def take_cells(self, write_bins=False, then=None):
        """The cells' statistics on both subsets; `then`: units whose sketches the source may
        read in the same pass over the rows (returned, or None)."""
        run = self.run
        if run.plan.rank:
            if write_bins and run.grouping:
                run.source.write_bin_codes(run.grouping, run.units.edges)
            self.stats = run.source.ranks(self.units, self.sketches, run.cfg.bins)
            return None
        self.stats, then_sketches = run.source.sums(self.units, self.sketches, run.cfg.bins, run.quantities,
                                                    write_bins=write_bins, then=then)
        return then_sketches

    def _cells(self, k):
        plan = self.run.plan
        if plan.rank:
            fields = self.stats[k]
        elif plan.merge:
            return self.stats[0]["s"].means(k, self.run.weighted)
        else:
            fields = {name: weighted_fields(s.cells(k), self.run.weighted) for name, s in self.stats[0].items()}
        return score_of(plan, fields), _count(plan, fields)

    def regions(self):
        run, w = self.run, self.run.weak
        self.cells = [self._cells(k) for k in range(len(self.units))]
        return _scan._scan_regions([u.kernel for u in self.units], self.sketches, run.cfg.bins, self.cells,
                                   run.plan.merge, w.threshold, w.sign, w.overall, w.n_total, run.cfg.min_samples)

    def sliced(self, found):
        """(counts, scores) of the regions on the sliced rows."""
        run, plan = self.run, self.run.plan
        if plan.rank or not plan.merge:  # every region is one cell
            count = np.asarray([self.cells[u][1][c] for u, c in zip(found["unit"], found["first_cell"])],
                               dtype=np.int64)
            score = np.asarray([self.cells[u][0][c] for u, c in zip(found["unit"], found["first_cell"])],
                               dtype=np.float64)
            return count, score
        s = self.stats[0]["s"].regions(found["unit"], found["first_cell"], found["last_cell"])
        return s["n"], mean_of(s, run.weighted)

    def tested(self, found):
        """The regions' fields on the tested rows (and, for AUC, their rests')."""
        run = self.run
        if run.plan.rank:
            return run.source.ranks(self.units, self.sketches, run.cfg.bins, regions=found, which=1)
        return {name: weighted_fields(s.regions(found["unit"], found["first_cell"], found["last_cell"]),
                                      run.weighted) for name, s in self.stats[1].items()}, None


def _count(plan, fields):
    if plan.rank:
        return fields["n_pos"] + fields["n_neg"]
    return fields[plan.quantity_names[0]]["n"]


@dataclass
class _Run:
    source: object
    plan: object
    cfg: Settings
    columns: dict
    weighted: bool
    quantities: dict
    weak: Weak
    grouping: list = None
    units: object = None


def run(source, plan, cfg, columns, features, pairs, category_counts, quantities, weighted, weak, step=None):
    """The regions of every feature and pair of `columns` through `source`'s passes.

    `category_counts` are the sliced rows' counts per category (for the pooling),
    `quantities` the per-row quantities the sums passes add up, `weak` the one weak test's
    inputs; pairs None picks the pairs among the cfg.n_pairs weakest features; `step()` is
    called after each of the PASS_STEPS steps (a progress bar's update).
    """
    step = step or (lambda: None)
    pooled = {n: pool_counts(category_counts[n], c.categories, cfg.min_samples)
              for n, c in columns.items() if not c.numeric}
    r = _Run(source, plan, cfg, columns, weighted, quantities, weak, grouping=grouping_of(columns, pairs))
    source.prepare(pooled, r.grouping)
    r.units = units = _Units(source, columns, pooled)
    first = _Pass(r, [units.one(n) for n in columns])
    step()
    for u in first.units:
        if u.kernel.numeric:
            units.edges[u.cut] = (u.info["edges"][0], u.info["lo"][0], u.info["hi"][0]) if u.info["edges"][0].size \
                else (np.empty(0), np.nan, np.nan)
    source.set_bin_edges(units.edges)
    pair_units = _pair_units(units, pairs) if pairs is not None else None
    then_sketches = first.take_cells(write_bins=True, then=pair_units)
    step()
    found1 = first.regions()
    step()
    keep = np.isin(found1["unit"], [i for i, u in enumerate(first.units) if u.cut in features])
    found1 = {k: v[keep] for k, v in found1.items()}
    if pairs is None:
        pairs = _top_pairs(first, found1, features, cfg.n_pairs, plan.sign)
        pair_units = _pair_units(units, pairs)
    passes = [(first, found1)]
    if pair_units:
        second = _Pass(r, pair_units, then_sketches)
        step()
        second.take_cells()
        step()
        passes.append((second, second.regions()))
    step()
    return _collect(r, passes)


def _pair_units(units, pairs):
    return [u for u in (units.pair(a, b) for a, b in pairs) if u is not None]


def _top_pairs(first, found, features, k, sign):
    """The pairs among the k features whose weakest region scores worst on the sliced rows."""
    names = [first.units[u].cut for u in found["unit"]]
    top = top_features(names, first.sliced(found)[1], features, k, sign)
    return [(a, b) for i, a in enumerate(features) for b in features[i + 1:] if a in top and b in top]


def _collect(r, passes):
    """Table rows, conditions and statistics of every region of the passes."""
    ctx = RegionContext(columns=r.columns, pooled=r.units.pooled, edges=r.units.edges)
    rows, conds, order, n_sliced, sliced_score, inside, rest, place = [], [], [], [], [], [], [], []
    for k, (p, found) in enumerate(passes):
        place.extend((k, i) for i in range(len(found["unit"])))
        fields = (found[k].tolist() for k in ("kind", "group", "lb", "ub", "category"))
        for u, region, first in zip(found["unit"].tolist(), zip(*fields), found["first_cell"].tolist()):
            row, cond = region_row(p.units[u], region, ctx)
            rows.append(row)
            conds.append(cond)
            order.append((p.units[u].order, region[1], first))
        n, score = p.sliced(found)
        n_sliced.append(n)
        sliced_score.append(score)
        ins, out = p.tested(found)
        inside.append(ins)
        rest.append(out)
    return Found(rows, conds, np.asarray(order, dtype=np.float64).reshape(-1, 3),
                 np.concatenate(n_sliced).astype(np.int64), np.concatenate(sliced_score).astype(np.float64),
                 _merge_fields(inside), _merge_fields(rest) if rest[0] is not None else None,
                 [(p.units, p.sketches, found) for p, found in passes],
                 np.asarray(place, dtype=np.int64).reshape(-1, 2))


def _merge_fields(dicts):
    """Field dicts (nested one level per quantity, or flat) of several passes, concatenated."""
    first = dicts[0]
    if all(isinstance(v, dict) for v in first.values()):
        return {k: _merge_fields([d[k] for d in dicts]) for k in first}
    return {k: np.concatenate([d[k] for d in dicts]) for k in first}
