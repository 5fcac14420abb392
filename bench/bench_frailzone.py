"""FrailZone.fit (histogram, one slicing feature, MSE) on 1,000,000 x 5 rows.

Compares against (a) a straightforward NumPy formulation of the same analysis and (b) the
floor: copying the train/test rows of x, y and the predictions plus one scoring call.
Run: PYTHONPATH=src python bench/bench_frailzone.py
"""

import pandas as pd

from common import best_time, floor, make_data, report
from numpy_reference import frailzone_one_feature
from tamrel.diagnoser.frailzone import FrailZone
from tamrel.diagnoser.utils import get_scoring_metric


def main():
    x, y, pred, tr, te = make_data()
    scoring = get_scoring_metric("MSE")
    t_floor, _ = best_time(lambda: floor(x, y, pred, tr, te, scoring[2]))
    for bins in (10, 100):
        def project():
            fz = FrailZone(None, ["X1"], bins=bins, metric="MSE")
            fz.fit(x, y, tr, te, prediction=pred)
            return fz.output

        t_proj, table = best_time(project)
        t_np, (want, _, _) = best_time(
            lambda: frailzone_one_feature(x, y, pred, tr, te, 1, "X1", scoring, 1.2, bins, 20), repeat=2)
        pd.testing.assert_frame_equal(table, want, check_exact=False, rtol=1e-12, check_dtype=False)
        report(f"histogram 1-D, {bins} bins", t_proj, t_np, t_floor)
    print(f"tables equal; {len(table)} weak regions at 100 bins")


if __name__ == "__main__":
    main()
