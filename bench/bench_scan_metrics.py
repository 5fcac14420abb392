"""FrailScan with each metric on 100,000 x 20 numeric features, all 20 features and 190
pairs (random 80/20 split): the set metrics (AUC, F1, R2) against an additive metric of the
same task doing the same slicing, timed in turn in one run.

Target: the AUC scan within 5x the LogLoss scan (AUC ranks every row by its score, per
cell on the sliced rows and per region on the tested rows, with DeLong's variance).
Run: PYTHONPATH=src python bench/bench_scan_metrics.py
"""

import os
import sys
import warnings

import numpy as np

from common import best_times
from tamrel.diagnoser.frailzone import FrailScan

N_ROWS, N_FEATURES = 100_000, 20


def make_data(seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(N_ROWS, N_FEATURES))
    beta = rng.normal(size=N_FEATURES) / 2
    margin = x @ beta
    noisy = margin + rng.normal(size=N_ROWS) * (0.3 + 1.5 * (x[:, 1] > 1.0))
    label = (noisy > 0).astype(float)
    proba = 1 / (1 + np.exp(-margin))
    perm = rng.permutation(N_ROWS)
    cut = int(0.8 * N_ROWS)
    return x, noisy, margin, label, proba, perm[:cut], perm[cut:]


def scan(metric, x, target, fit_kw, tr, te):
    s = FrailScan(None, metric=metric, verbose=False,
                  task_type="classification" if metric in ("AUC", "F1", "LogLoss", "ACC") else "regression")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        s.fit(x, target, tr, te, **fit_kw)
    return s


def main():
    print(f"cores {os.cpu_count()}, load average at start {os.getloadavg()[0]:.2f}")
    x, noisy, margin, label, proba, tr, te = make_data()
    runs = {
        "LogLoss": (label, {"prediction_proba": proba}),
        "AUC": (label, {"prediction_proba": proba}),
        "ACC": (label, {"prediction": (proba > 0.5).astype(float)}),
        "F1": (label, {"prediction": (proba > 0.5).astype(float)}),
        "MSE": (noisy, {"prediction": margin}),
        "R2": (noisy, {"prediction": margin}),
    }
    names = list(runs)
    times = best_times([lambda m=m: scan(m, x, runs[m][0], runs[m][1], tr, te) for m in names], repeat=3)
    t = {m: tt for m, (tt, _) in zip(names, times)}
    for m, (tt, s) in zip(names, times):
        print(f"{m:<8} {tt:6.3f} s, {len(s.output):5d} regions, {int(s.output['significant'].sum()):4d} significant")
    print(f"AUC / LogLoss {t['AUC'] / t['LogLoss']:.2f} (target <= 5); F1 / ACC {t['F1'] / t['ACC']:.2f}; "
          f"R2 / MSE {t['R2'] / t['MSE']:.2f}")
    print(f"load average at end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    sys.exit(main())
