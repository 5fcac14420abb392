"""FrailZone.fit with two slicing features (histogram, 10 x 10 and 30 x 30 bins) and with
the depth-2 tree (one and two features), MSE, on 1,000,000 x 5 rows, 80/20 split.

Compares against (a) the straightforward NumPy formulation of the same steps and (b) the
floor: the subset copies plus one scoring call, and for the tree also scikit-learn's fit
of the same tree on the same data. Outputs are checked equal.
Run: PYTHONPATH=src python bench/bench_frailzone_2d.py
"""

import pandas as pd
from sklearn.tree import DecisionTreeRegressor

from common import best_time, floor, make_data, report
from numpy_reference_2d import frailzone_reference
from tamrel.diagnoser.frailzone import FrailZone
from tamrel.diagnoser.utils import get_scoring_metric

FEATURES = ["X1", "X2"]
MIN_SAMPLES = 20


def tree_floor(x, y, pred, tr, te, scoring_func, fidx):
    scores, trx, *_ = floor(x, y, pred, tr, te, scoring_func)
    DecisionTreeRegressor(max_depth=2, min_samples_leaf=MIN_SAMPLES).fit(trx[:, fidx], scores)


def assert_same(table, want):
    pd.testing.assert_frame_equal(table, want, check_exact=False, rtol=1e-12, check_dtype=False)


def main():
    x, y, pred, tr, te = make_data()
    scoring = get_scoring_metric("MSE")
    t_floor, _ = best_time(lambda: floor(x, y, pred, tr, te, scoring[2]))

    for bins in (10, 30):
        def project():
            fz = FrailZone(None, FEATURES, bins=bins, metric="MSE", min_samples=MIN_SAMPLES)
            fz.fit(x, y, tr, te, prediction=pred)
            return fz

        t_proj, fz = best_time(project)
        t_np, (want, _, _) = best_time(lambda: frailzone_reference(
            x, y, pred, tr, te, [1, 2], FEATURES, scoring, 1.2, bins=bins, min_samples=MIN_SAMPLES), repeat=1)
        assert_same(fz.output, want)
        report(f"histogram 2-D, {bins} x {bins} bins", t_proj, t_np, t_floor)
        print(f"{'':<34} {len(want)} weak regions, tables equal")

    for feats in (FEATURES, FEATURES[:1]):
        fidx = [int(f[1:]) for f in feats]
        t_tfloor, _ = best_time(lambda: tree_floor(x, y, pred, tr, te, scoring[2], fidx), repeat=3)

        def project():
            fz = FrailZone(None, feats, method="tree", metric="MSE", min_samples=MIN_SAMPLES)
            fz.fit(x, y, tr, te, prediction=pred)
            return fz

        t_proj, fz = best_time(project, repeat=3)
        t_np, _ = best_time(lambda: frailzone_reference(
            x, y, pred, tr, te, fidx, feats, scoring, 1.2, method="tree", min_samples=MIN_SAMPLES), repeat=1)
        # Outputs compared on the project's own tree: the fit is not seeded, so ties may differ.
        check, _, _ = frailzone_reference(x, y, pred, tr, te, fidx, feats, scoring, 1.2, method="tree",
                                          min_samples=MIN_SAMPLES, tree=fz.diag.tree_estimator)
        assert_same(fz.output, check)
        report(f"tree depth 2, {len(feats)} feature(s)", t_proj, t_np, t_tfloor)
        print(f"{'':<34} {len(check)} weak regions, tables equal")


if __name__ == "__main__":
    main()
