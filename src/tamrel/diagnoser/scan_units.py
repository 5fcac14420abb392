"""The slicing units of a scan and the regions they yield, as table rows.

A unit slices one feature alone, or one feature inside the groups of another (the bins
of a numeric feature, or the values of a categorical one). The kernels see a unit as a
``_ScanUnit`` (group column, groups, cut is numeric, cut column, categories, missing
cell); this module builds them, pools rare categories, and turns the kernels' regions
into rows with the conditions that select their members.
"""

from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from . import _scan as _kernels

__all__ = ["Pooled", "pool_counts", "pooled_codes", "Unit", "Condition", "region_row", "members", "closed_at",
           "public_rule", "rule_mask"]

OUTSIDE = np.iinfo(np.int32).max  # a code in no slice


@dataclass
class Pooled:
    """Categories of one column pooled on the sliced rows: values with fewer than
    min_samples rows there share the slice "other"."""

    mapping: np.ndarray  # raw code -> pooled code, one extra entry; OUTSIDE for unseen values
    groups: list  # per pooled code, the category values it holds
    raw: list  # per pooled code, the raw codes it holds


def pool_counts(counts, categories, min_samples):
    """The pooling of a categorical column from the sliced rows' count of each category: a
    value with at least min_samples rows is a slice of its own, the rarer ones that occur
    share one slice, unseen ones fall in none."""
    n_cat = len(categories)
    counts = np.asarray(counts)
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
    return Pooled(mapping, groups, raws)


def pooled_codes(raw, pooled):
    """The pooled code of every raw code (-1 stays missing) as int32."""
    n_cat = len(pooled.mapping) - 1
    return np.where(raw >= 0, pooled.mapping[np.where(raw >= 0, raw, n_cat)], -1).astype(np.int32)


@dataclass
class Unit:
    """One slicing: `features` as reported; `group` and `cut` the grouping and cut features
    (group None for a feature alone); `kernel` the kernels' _ScanUnit; `order` its place in
    the scan (single features first, then pairs), which orders its regions in the table."""

    features: tuple
    group: object
    cut: str
    kernel: object
    order: int = 0
    info: dict = field(default_factory=dict)


@dataclass(frozen=True)
class Condition:
    """What a member row meets on one feature: "interval" [lb, ub) (closed at ub when
    `closed`), "missing" (no value), or "codes" (one of the raw category codes)."""

    kind: str
    feature: str
    lb: float = np.nan
    ub: float = np.nan
    closed: bool = False
    codes: tuple = ()


def closed_at(ub, top):
    """A region's interval is closed on the right when ub is the largest value of its
    feature on the rows it was cut from (the group's range)."""
    return bool(ub == top)


_BOUNDS = (("lb1", "ub1"), ("lb2", "ub2"))


@dataclass
class RegionContext:
    """What region rows read per feature: columns (numeric or not), pooled categories, the
    single features' edges and range (grouping bins), and a cache of unit shapes."""

    columns: dict
    pooled: dict
    edges: dict
    shapes: dict = field(default_factory=dict)


def _shape(unit, ctx):
    """What every region of a unit shares: per part (group first), its feature, the row
    keys of its bounds, and whether it is numeric; the group's edges as floats."""
    shape = ctx.shapes.get(id(unit))
    if shape is None:
        names = ([unit.group] if unit.group is not None else []) + [unit.cut]
        parts = [(name, _BOUNDS[unit.features.index(name)], ctx.columns[name].numeric) for name in names]
        edges = None
        if unit.group is not None and parts[0][2]:
            e, lo, hi = ctx.edges[unit.group]
            edges = ([float(v) for v in e], float(lo), float(hi))
        shape = (parts, edges)
        ctx.shapes[id(unit)] = shape
    return shape


def region_row(unit, region, ctx):
    """(row fields, member conditions) of one region of a unit.

    ``region`` holds the kernel's kind, group, lb, ub and category. A numeric part is the
    interval [lb, ub), closed when ub is the top of its range (closed_at); a categorical one
    the pooled category of its code; a missing region has no value of its cut feature.
    """
    kind, g, lb, ub, cat = region
    nan = np.nan
    row = {"slice_features": unit.features, "kind": "interval", "lb1": nan, "ub1": nan, "lb2": nan, "ub2": nan,
           "categories": None}
    if kind == 1:
        row["kind"] = "missing"
        return row, (Condition("missing", unit.cut),)
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
            conds.append(Condition("interval", name, float(b0), float(b1), closed_at(b1, hi)))
        else:
            code = g if is_group else cat
            pooled = ctx.pooled[name]
            cats[name] = tuple(pooled.groups[code])
            conds.append(Condition("codes", name, codes=tuple(pooled.raw[code])))
    if cats:
        row["kind"] = "category"
        row["categories"] = {name: cats[name] for name in unit.features if name in cats}
    return row, tuple(conds)


def members(conds, columns, rows=None):
    """Mask of the rows meeting every condition (over ``rows``, or every row): numeric values
    by the core's interval rule, a missing value as NaN (numeric) or code -1 (categorical)."""
    mask = None
    for cond in conds:
        column = columns[cond.feature]
        values = column.values if rows is None else column.values[rows]
        if cond.kind == "missing":
            inside = np.isnan(values) if column.numeric else values < 0
        elif cond.kind == "codes":
            inside = np.isin(values, cond.codes)
        else:
            inside = _kernels._interval_members(values, cond.lb, cond.ub, cond.closed)
        mask = inside if mask is None else mask & inside
    if mask is None:
        mask = np.ones(len(next(iter(columns.values())).values) if rows is None else len(rows), dtype=bool)
    return mask


def public_rule(conds, columns, features=None):
    """A region's member conditions as plain records, in the order of `features` (the table's
    "slice_features") when given: per feature, "kind" "interval" (with "lb", "ub" and
    "closed"), "missing", or "categories" (with the category "values")."""
    out = []
    if features is not None:
        conds = sorted(conds, key=lambda c: list(features).index(c.feature))
    for cond in conds:
        record = {"feature": cond.feature, "kind": cond.kind if cond.kind != "codes" else "categories"}
        if cond.kind == "interval":
            record.update(lb=cond.lb, ub=cond.ub, closed=cond.closed)
        elif cond.kind == "codes":
            categories = columns[cond.feature].categories
            record["values"] = tuple(categories[c] for c in cond.codes)
        out.append(record)
    return tuple(out)


def rule_mask(rule, frame):
    """Mask of the rows of a DataFrame that meet a region's rule (``public_rule``), by the
    scan's member rule (``members``): the frame's columns read as the scan reads them,
    numbers as float64 (NaN missing), categories as codes (-1 missing)."""
    from .columns import numeric_column

    columns, conds = {}, []
    for part in rule:
        name, kind = part["feature"], part["kind"]
        column = frame[name]
        if kind == "categories":  # codes into the rule's values: a member holds one of them
            values = list(part["values"])
            codes = pd.Index(values, dtype=object).get_indexer(column.astype(object))  # -1 for any other value
            columns[name] = _Column(False, codes.astype(np.int64))
            conds.append(Condition("codes", name, codes=tuple(range(len(values)))))
        elif kind == "missing":
            numeric = pd.api.types.is_numeric_dtype(column.dtype) and not pd.api.types.is_bool_dtype(column.dtype)
            values = numeric_column(column, name) if numeric else np.where(column.isna().to_numpy(), -1, 0)
            columns[name] = _Column(numeric, values)
            conds.append(Condition("missing", name))
        else:
            columns[name] = _Column(True, numeric_column(column, name))
            conds.append(Condition("interval", name, part["lb"], part["ub"], bool(part["closed"])))
    return members(tuple(conds), columns) if conds else np.ones(len(frame), dtype=bool)


@dataclass
class _Column:
    """A frame's column as ``members`` reads it."""

    numeric: bool
    values: np.ndarray
