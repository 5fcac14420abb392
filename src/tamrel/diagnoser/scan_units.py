"""The slicing units of a scan and the regions they yield, as table rows.

A unit slices one feature alone, or one feature inside the groups of another (the bins
of a numeric feature, or the values of a categorical one). The kernels see a unit as
(group column, groups, cut is numeric, cut column, categories, missing cell); this
module builds those tuples, pools rare categories, and turns the kernels' regions into
rows with the conditions that select their members.
"""

from dataclasses import dataclass, field

import numpy as np

__all__ = ["Pooled", "pool_categories", "pool_counts", "pooled_codes", "Unit", "region_row", "members"]

OUTSIDE = np.iinfo(np.int32).max  # a code in no slice


@dataclass
class Pooled:
    """Categories of one column pooled on the sliced rows: values with fewer than
    min_samples rows there share the slice "other"."""

    codes: np.ndarray  # int32 per row: pooled code, -1 missing, OUTSIDE for unseen values
    groups: list  # per pooled code, the category values it holds
    raw: list  # per pooled code, the raw codes it holds


def pool_categories(column, sliced, min_samples):
    raw = column.values
    seen = raw[sliced]
    mapping, groups, raws = pool_counts(np.bincount(seen[seen >= 0], minlength=len(column.categories)),
                                        column.categories, min_samples)
    return Pooled(pooled_codes(raw, mapping), groups, raws)


def pooled_codes(raw, mapping):
    """The pooled code of every raw code (-1 stays missing)."""
    n_cat = len(mapping) - 1
    return np.where(raw >= 0, mapping[np.where(raw >= 0, raw, n_cat)], -1).astype(np.int32)


def pool_counts(counts, categories, min_samples):
    """(mapping of raw codes to pooled codes, with one extra entry; category values and raw
    codes per pooled code) from the sliced rows' count of each category."""
    n_cat = len(categories)
    keep = np.flatnonzero(counts >= min_samples)
    rare = np.flatnonzero((counts > 0) & (counts < min_samples))
    mapping = np.full(n_cat + 1, OUTSIDE, dtype=np.int64)
    mapping[keep] = np.arange(keep.size)
    groups = [[categories[k]] for k in keep]
    raws = [[int(k)] for k in keep]
    if rare.size:
        mapping[rare] = keep.size
        groups.append([categories[k] for k in rare])
        raws.append([int(k) for k in rare])
    return mapping, groups, raws


@dataclass
class Unit:
    """One slicing: `features` as reported; `group` and `cut` the grouping and cut features
    (group None for a feature alone); `plan` the kernels' tuple."""

    features: tuple
    group: object
    cut: str
    plan: tuple
    first_is_group: bool = True
    info: dict = field(default_factory=dict)


def _interval(name, lb, ub, closed):
    return ("interval", name, float(lb), float(ub), bool(closed))


_BOUNDS = (("lb1", "ub1"), ("lb2", "ub2"))


def _shape(unit, ctx):
    """What every region of a unit shares: per part (group first), its feature, the row
    keys of its bounds, and whether it is numeric; the group's edges as floats."""
    shapes = getattr(ctx, "shapes", None)
    shape = None if shapes is None else shapes.get(id(unit))
    if shape is None:
        names = ([unit.group] if unit.group is not None else []) + [unit.cut]
        parts = [(name, _BOUNDS[unit.features.index(name)], ctx.columns[name].numeric) for name in names]
        edges = None
        if unit.group is not None and parts[0][2]:
            e, lo, hi = ctx.edges[unit.group]
            edges = ([float(v) for v in e], float(lo), float(hi))
        shape = (parts, edges)
        if shapes is not None:
            shapes[id(unit)] = shape
    return shape


def region_row(unit, region, ctx):
    """(row fields, member conditions) of one region of a unit.

    ``region`` holds the kernel's kind, group, lb, ub and category; ``ctx`` gives per
    feature its column, pooled categories and one-feature edges and range, and the
    unit's per-group ranges (and may cache what a unit's regions share in ``shapes``).
    A numeric part is the interval [lb, ub), closed when ub is the top of its range; a
    categorical one the pooled category of its code.
    """
    kind, g, lb, ub, cat = region
    nan = np.nan
    row = {"slice_features": unit.features, "kind": "interval", "lb1": nan, "ub1": nan, "lb2": nan, "ub2": nan,
           "categories": None}
    if kind == 1:
        row["kind"] = "missing"
        return row, [("missing", unit.cut)]
    parts, edges = _shape(unit, ctx)
    conds, cats = [], {}
    for k, (name, keys, numeric) in enumerate(parts):
        is_group = k + 1 < len(parts)
        if numeric:
            if is_group:
                e, lo, hi = edges
                b0, b1 = max(lo, e[g]), min(hi, e[g + 1])
            else:
                b0, b1, hi = lb, ub, unit.info["hi"][g]
            row[keys[0]], row[keys[1]] = float(b0), float(b1)
            conds.append(_interval(name, b0, b1, b1 == hi))
        else:
            code = g if is_group else cat
            pooled = ctx.pooled[name]
            cats[name] = tuple(pooled.groups[code])
            conds.append(("codes", name, tuple(pooled.raw[code])))
    if cats:
        row["kind"] = "category"
        row["categories"] = {name: cats[name] for name in unit.features if name in cats}
    return row, conds


def members(conds, columns, rows):
    """Mask over ``rows`` of the rows meeting every condition."""
    mask = np.ones(len(rows), dtype=bool)
    for cond in conds:
        values = columns[cond[1]].values[rows]
        if cond[0] == "missing":
            mask &= np.isnan(values)
        elif cond[0] == "codes":
            mask &= np.isin(values, cond[2])
        else:
            _, _, lb, ub, closed = cond
            with np.errstate(invalid="ignore"):
                mask &= (values >= lb) & ((values <= ub) if closed else (values < ub))
    return mask
