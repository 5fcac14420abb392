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


def _part(ctx, name, lb, ub, hi, code):
    """One feature of a region: the interval [lb, ub) (closed when ub is the range's top
    hi) of a numeric feature, or the pooled category ``code`` of a categorical one."""
    if ctx.columns[name].numeric:
        return name, (lb, ub), None, _interval(name, lb, ub, ub == hi)
    pooled = ctx.pooled[name]
    return name, None, tuple(pooled.groups[code]), ("codes", name, tuple(pooled.raw[code]))


def region_row(unit, region, ctx):
    """(row fields, member conditions) of one region of a unit.

    ``region`` holds the kernel's kind, group, lb, ub and category; ``ctx`` gives per
    feature its column, pooled categories and one-feature edges and range, and the
    unit's per-group ranges.
    """
    kind, g, lb, ub, cat = region
    nan = np.nan
    row = {"slice_features": unit.features, "kind": "interval", "lb1": nan, "ub1": nan, "lb2": nan, "ub2": nan,
           "categories": None}
    if kind == 1:
        row["kind"] = "missing"
        return row, [("missing", unit.cut)]
    parts = []  # (feature, bounds or None, category values or None, condition)
    if unit.group is not None:
        if ctx.columns[unit.group].numeric:
            edges, lo, hi = ctx.edges[unit.group]
            parts.append(_part(ctx, unit.group, max(lo, edges[g]), min(hi, edges[g + 1]), hi, None))
        else:
            parts.append(_part(ctx, unit.group, None, None, None, g))
    group_hi = unit.info["hi"][g] if ctx.columns[unit.cut].numeric else None
    parts.append(_part(ctx, unit.cut, lb, ub, group_hi, cat))
    conds = [cond for *_, cond in parts]
    bounds = {name: b for name, b, _, _ in parts if b is not None}
    cats = {name: c for name, _, c, _ in parts if c is not None}
    # bounds go to the columns of their feature's place in the slice
    for pos, name in enumerate(unit.features):
        if name in bounds:
            row[f"lb{pos + 1}"], row[f"ub{pos + 1}"] = (float(v) for v in bounds[name])
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
