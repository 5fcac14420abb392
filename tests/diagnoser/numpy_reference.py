"""A straightforward NumPy formulation of the one-feature histogram analysis.

Per-bin boolean masks, numpy.unique and numpy.average, step by step as the analysis is
described; used as the oracle of the tests and the baseline of the benchmark.
"""

import numpy as np
import pandas as pd


def _mean(scores, weights):
    if weights is not None and weights.sum() > 0:
        return np.average(scores, weights=weights)
    return np.mean(scores)


def _slice_score(scoring, y, pred, scores, mask, w):
    additive = scoring[4]
    if additive:
        return _mean(scores[mask], None if w is None else w[mask])
    return scoring[2](y[mask], pred[mask], sample_weight=None if w is None else w[mask])


def slice_one_feature(x, y, pred, scores, w, scoring, multiplier, bins, min_samples):
    """(weak regions [(lb, ub)], rules [(lb, ub, value, count)], edges, threshold_value)."""
    avg = _mean(scores, w) if scoring[4] else scores
    threshold_value = multiplier * avg
    return slice_bins(x, y, pred, scores, w, scoring, threshold_value, bins, min_samples) + (threshold_value,)


def slice_bins(x, y, pred, scores, w, scoring, threshold_value, bins, min_samples):
    """Bins of x scored, weak bins merged and filtered: (regions, rules, edges)."""
    sign, additive = scoring[1], scoring[4]
    lbold, ubold = x.min(), x.max()
    n_bins = min(len(np.unique(x)), bins)
    edges = np.histogram(x, bins=n_bins)[1]
    rules, weak = [], []
    for lb, ub in zip(edges[:-1], edges[1:]):
        mask = (x >= lb) & ((x <= ub) if ubold == ub else (x < ub))
        count = int(mask.sum())
        value = _slice_score(scoring, y, pred, scores, mask, w) if count else np.nan
        rules.append((lb, ub, value, count))
        if count and sign * value <= sign * threshold_value:
            weak.append((lb, ub))
    if not weak or not additive:
        return weak, rules, edges
    merged = []
    for lb, ub in sorted(weak, key=lambda p: p[0]):
        if merged and lb <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(merged[-1][1], ub))
        else:
            merged.append((lb, ub))
    regions = []
    for lb, ub in merged:
        mask = (x >= lb) & ((x <= ub) if ubold == ub else (x < ub))
        if min_samples <= mask.sum():
            regions.append((max(lb, lbold), min(ub, ubold)))
    merged_rules, excluded = [], set()
    for lb, ub in regions:
        inside = [i for i, r in enumerate(rules) if r[0] >= lb and r[1] <= ub]
        if not inside:
            continue
        excluded.update(inside)
        lo, hi = min(rules[i][0] for i in inside), max(rules[i][1] for i in inside)
        mask = (x >= lo) & ((x <= hi) if ubold == hi else (x < hi))
        value = _mean(scores[mask], None if w is None else w[mask]) if mask.any() else 0
        merged_rules.append((lo, hi, value, int(mask.sum())))
    rest = [r for i, r in enumerate(rules) if i not in excluded]
    return regions, merged_rules + rest, edges


def region_table(regions, sliced_x, train, test, scoring, feature):
    """The weak-region table; train/test are (x, y, pred, w) of one column x."""
    name, additive = scoring[0], scoring[4]
    closed_at = sliced_x.max()
    rows = []
    for lb, ub in regions:
        rec = {"lb1": lb, "ub1": ub}
        stats = {}
        for prefix, (x, y, pred, w) in (("train_", train), ("test_", test)):
            mask = (x >= lb) & ((x <= ub) if ub == closed_at else (x < ub))
            stats["#" + prefix[:-1].capitalize()] = int(mask.sum())
            if not mask.any():
                stats[prefix + name] = np.nan
            elif additive:
                stats[prefix + name] = _mean(scoring[2](y[mask], pred[mask]), None if w is None else w[mask])
            else:
                stats[prefix + name] = scoring[2](y[mask], pred[mask], sample_weight=None if w is None else w[mask])
        rec.update(stats)
        rec["Gap"] = rec["test_" + name] - rec["train_" + name]
        rows.append(rec)
    if not rows:
        return None
    rows = sorted([r for r in rows if not np.isnan(r["Gap"])], key=lambda r: r["Gap"], reverse=True) + [
        r for r in rows if np.isnan(r["Gap"])
    ]
    cols = ["lb1", "ub1", "#Test", "#Train", "test_" + name, "train_" + name, "Gap"]
    return pd.DataFrame(rows)[cols].rename(columns={"lb1": "[" + feature, "ub1": feature + ")"})


def frailzone_one_feature(x, y, pred, train_idx, test_idx, fidx, feature, scoring, threshold,
                          bins=10, min_samples=20, w=None, use_test=False):
    """The whole facade analysis of one slicing feature, from the full data."""
    multiplier = 1 / threshold if scoring[1] > 0 and threshold > 0 else threshold
    parts = []
    for idx in (train_idx, test_idx):
        parts.append((x[idx], y[idx], pred[idx], None if w is None else w[idx]))
    (trx, tr_y, tr_p, tr_w), (tex, te_y, te_p, te_w) = parts
    sx, sy, sp, sw = parts[1] if use_test else parts[0]
    scores = scoring[2](sy, sp) if scoring[4] else scoring[2](sy, sp, sample_weight=sw)
    regions, rules, edges, tv = slice_one_feature(sx[:, fidx], sy, sp, scores, sw, scoring, multiplier,
                                                   bins, min_samples)
    table = region_table(regions, sx[:, fidx], (trx[:, fidx], tr_y, tr_p, tr_w),
                         (tex[:, fidx], te_y, te_p, te_w), scoring, feature)
    return table, rules, tv
