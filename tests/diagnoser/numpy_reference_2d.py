"""A straightforward NumPy formulation of the two-feature histogram analysis and of the
tree analysis, step by step as they are described; the oracle of the tests and the
baseline of the benchmark.
"""

import numpy as np
import pandas as pd
import scipy.stats
from sklearn.tree import DecisionTreeRegressor

from numpy_reference import _mean, slice_bins


def _in_slice(x, lb, ub, right):
    return (x >= lb) & ((x <= ub) if right else (x < ub))


def _slice_second(x, y, pred, scores, w, scoring, threshold_value, bins, min_samples, lb1, ub1):
    """The second feature over one first-feature bin: (regions, rules) with the bin's bounds."""
    regions, rules, _ = slice_bins(x, y, pred, scores, w, scoring, threshold_value, bins, min_samples)
    return [(lb1, ub1, lb, ub) for lb, ub in regions], [(lb1, ub1) + r for r in rules]


def slice_two_features(x, y, pred, scores, w, scoring, threshold_value, bins, min_samples):
    """(regions as dicts, rules (lb1, ub1, lb2, ub2, value, count), edges, bin_stats)."""
    col0, col1 = x[:, 0], x[:, 1]
    edges = np.histogram(col0, bins=min(len(np.unique(col0)), bins))[1]
    which = np.digitize(col0, edges[1:-1], right=False)
    regions, rules, bin_stats = [], [], []
    for i in range(len(edges) - 1):
        loc = np.where(which == i)[0]
        lb1, ub1 = max(col0.min(), edges[i]), min(col0.max(), edges[i + 1])
        if len(loc) == 0:
            bin_stats.append({"lb1": lb1, "ub1": ub1, "lb2": np.nan, "ub2": np.nan, "support": 0})
            continue
        inner = col1[loc]
        bin_stats.append({"lb1": lb1, "ub1": ub1, "lb2": inner.min(), "ub2": inner.max(), "support": len(loc)})
        sub_w = None if w is None else w[loc]
        bin_scores = scores[loc] if scoring[4] else scoring[2](y[loc], pred[loc], sample_weight=sub_w)
        reg, rul = _slice_second(inner, y[loc], pred[loc], bin_scores, sub_w, scoring, threshold_value,
                                 bins, min_samples, lb1, ub1)
        rules.extend(rul)
        for r in reg:
            kind = "weak" if r[3] == inner.max() else "strict"
            regions.append(dict(zip(("lb1", "ub1", "lb2", "ub2"), r),
                                lb2q=scipy.stats.percentileofscore(inner, r[2], kind="strict"),
                                ub2q=scipy.stats.percentileofscore(inner, r[3], kind=kind)))
    return regions, rules, edges, bin_stats


def dfs(tree, node, rule):
    """The leaves below `node`, depth first, left before right, as rule records."""
    feature, threshold = tree.feature[node], tree.threshold[node]
    key = "f" + str(feature)
    if feature == -2:
        yield {"splits": rule, "values": tree.value[node].flatten()[0],
               "counts": np.asarray(tree.n_node_samples[node]).flatten()[0]}
        return
    for child, bound, start in ((tree.children_left[node], "ub", {"ub": threshold, "lb": -np.inf}),
                                (tree.children_right[node], "lb", {"lb": threshold, "ub": np.inf})):
        copy = {k: dict(v) for k, v in rule.items()}
        if key in copy:
            copy[key][bound] = (min if bound == "ub" else max)(copy[key][bound], threshold)
        else:
            copy[key] = start
        yield from dfs(tree, child, copy)


def slice_tree(x, scores, w, threshold_value, sign, max_depth, min_samples, tree=None):
    """(regions as dicts, rules) of the tree analysis of the slicing columns x; `tree`, when
    given, is that fitted estimator (the fit is not seeded, so ties may split differently)."""
    if tree is None:
        tree = DecisionTreeRegressor(max_depth=max_depth, min_samples_leaf=min_samples)
        tree.fit(x, scores, sample_weight=w)
    rules = list(dfs(tree.tree_, 0, {}))
    lo, hi = x.min(axis=0), x.max(axis=0)
    regions = []
    for rule in rules:
        if not rule["splits"] or not sign * rule["values"] <= sign * threshold_value:
            continue
        lb, ub = list(lo), list(hi)
        for k in range(x.shape[1]):
            if "f%d" % k in rule["splits"]:
                lb[k] = max(lo[k], rule["splits"]["f%d" % k]["lb"])
                ub[k] = min(hi[k], rule["splits"]["f%d" % k]["ub"])
        keys = ("lb1", "ub1") if x.shape[1] == 1 else ("lb1", "lb2", "ub1", "ub2")
        regions.append(dict(zip(keys, (lb[0], ub[0]) if x.shape[1] == 1 else (lb[0], lb[1], ub[0], ub[1]))))
    return regions, rules


def region_members(x, regions, sliced):
    """Rows of x (slicing columns) in each region; upper bounds closed where the sliced
    data reaches them (the second feature over the sliced rows meeting the first bound)."""
    out = []
    for r in regions:
        closed1 = r["ub1"] == sliced[:, 0].max()
        mask = _in_slice(x[:, 0], r["lb1"], r["ub1"], closed1)
        if "lb2" in r:
            top = sliced[_in_slice(sliced[:, 0], r["lb1"], r["ub1"], closed1), 1]
            closed2 = top.size > 0 and r["ub2"] == top.max()
            mask &= _in_slice(x[:, 1], r["lb2"], r["ub2"], closed2)
        out.append(np.where(mask)[0])
    return out


def region_table(regions, sliced, train, test, scoring, names):
    """The weak-region table; sliced, train[0], test[0] hold the slicing columns."""
    name, additive = scoring[0], scoring[4]
    rows = []
    for r, tr_rows, te_rows in zip(regions, region_members(train[0], regions, sliced),
                                   region_members(test[0], regions, sliced)):
        rec = dict(r)
        for prefix, (x, y, pred, w), idx in (("train_", train, tr_rows), ("test_", test, te_rows)):
            rec["#" + prefix[:-1].capitalize()] = len(idx)
            if not len(idx):
                rec[prefix + name] = np.nan
            elif additive:
                rec[prefix + name] = _mean(scoring[2](y[idx], pred[idx]), None if w is None else w[idx])
            else:
                rec[prefix + name] = scoring[2](y[idx], pred[idx], sample_weight=None if w is None else w[idx])
        rec["Gap"] = rec["test_" + name] - rec["train_" + name]
        rows.append(rec)
    if not rows:
        return None
    rows = (sorted([r for r in rows if not np.isnan(r["Gap"])], key=lambda r: r["Gap"], reverse=True)
            + [r for r in rows if np.isnan(r["Gap"])])
    bounds = ["lb1", "ub1", "lb2", "ub2"][: 2 * len(names)]
    rename = {}
    for k, f in enumerate(names):
        rename.update({"lb%d" % (k + 1): "[" + f, "ub%d" % (k + 1): f + ")"})
    cols = bounds + ["#Test", "#Train", "test_" + name, "train_" + name, "Gap"]
    return pd.DataFrame(rows)[cols].rename(columns=rename)


def frailzone_reference(x, y, pred, train_idx, test_idx, fidx, names, scoring, threshold, method="histogram",
                        bins=10, max_depth=2, min_samples=20, w=None, use_test=False, tree=None):
    """The whole facade analysis on the slicing columns fidx: (table, slicer results, threshold value)."""
    multiplier = 1 / threshold if scoring[1] > 0 and threshold > 0 else threshold
    parts = [(x[idx][:, fidx], y[idx], pred[idx], None if w is None else w[idx]) for idx in (train_idx, test_idx)]
    sx, sy, sp, sw = parts[1] if use_test else parts[0]
    scores = scoring[2](sy, sp) if scoring[4] else scoring[2](sy, sp, sample_weight=sw)
    threshold_value = multiplier * (_mean(scores, sw) if scoring[4] else scores)
    if method == "tree":
        result = slice_tree(sx, scores, sw, threshold_value, scoring[1], max_depth, min_samples, tree)
    else:
        result = slice_two_features(sx, sy, sp, scores, sw, scoring, threshold_value, bins, min_samples)
    table = region_table(result[0], sx, parts[0], parts[1], scoring, names)
    return table, result, threshold_value
