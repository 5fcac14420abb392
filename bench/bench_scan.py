"""FrailScan on 1,000,000 x 20 numeric features (random 80/20 split, MSE): all 20 features
and all 190 pairs in one scan.

Prints, in one run:
- the scan against a loop of FrailZone.fit over the same features and pairs (a sample
  timed and extrapolated to all 210; the sampled outputs compared with the scan's rows);
- the scan against the floor: the subset copies plus one binning pass over the 20
  columns of the sliced subset (the project's own threaded binning);
- rows scaling: 250,000 / 500,000 / 1,000,000 rows, time per row;
- at 100,000 rows, the same scan next to sliceline on the same data binned the same way,
  when a separate environment with sliceline is given (SLICELINE_PYTHON=/path/to/python;
  it is never a dependency of the package).
Run: PYTHONPATH=src python bench/bench_scan.py
"""

import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from common import best_time, best_times
from tamrel.diagnoser import _scan
from tamrel.diagnoser.frailzone import FrailScan, FrailZone
from tamrel.diagnoser.utils import get_scoring_metric

N_FEATURES = 20
SAMPLE_SINGLES = ["X1", "X7", "X13"]
SAMPLE_PAIRS = [("X1", "X2"), ("X3", "X9"), ("X0", "X19"), ("X5", "X12")]


def make_data(n_rows, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n_rows, N_FEATURES))
    beta = rng.normal(size=N_FEATURES) / 2
    pred = x @ beta
    y = pred + rng.normal(size=n_rows) * (0.3 + 1.5 * (x[:, 1] > 1.0) + 0.8 * ((x[:, 2] < -1.2) & (x[:, 5] > 0)))
    perm = rng.permutation(n_rows)
    cut = int(0.8 * n_rows)
    return x, y, pred, perm[:cut], perm[cut:]


def scan(x, y, pred, tr, te, **kw):
    s = FrailScan(None, metric="MSE", verbose=False, **kw)
    s.fit(x, y, tr, te, prediction=pred)
    return s


def floor(x, y, pred, tr, te):
    """The subset copies (the scan's own threaded gather, both subsets), the per-sample
    scores, and one threaded binning pass (range, then codes) over the sliced columns."""
    cols = list(range(N_FEATURES))
    trx, tex = _scan._scan_take(x, cols, tr), _scan._scan_take(x, cols, te)
    scores = get_scoring_metric("MSE")[2](y, pred)
    lo, hi = trx.min(axis=0), trx.max(axis=0)
    edges = [np.linspace(a, b, 11) for a, b in zip(lo, hi)]
    return _scan._scan_codes(trx, cols, edges, lo, hi), scores, tex


def zone_loop(x, y, pred, tr, te, scanned):
    """Mean FrailZone.fit time of the sampled singles and pairs; their outputs agree with the scan."""
    times = {}
    for feats in [(f,) for f in SAMPLE_SINGLES] + SAMPLE_PAIRS:
        t0 = time.perf_counter()
        z = FrailZone(None, list(feats), method="histogram", metric="MSE")
        z.fit(x, y, tr, te, prediction=pred)
        times.setdefault(len(feats), []).append(time.perf_counter() - t0)
        got = scanned.output[scanned.output["slice_features"] == feats]
        want = 0 if z.output is None else len(z.output)
        assert len(got) == want, (feats, len(got), want)
        if want:
            np.testing.assert_allclose(np.sort(got["#Train"].to_numpy()), np.sort(z.output["#Train"].to_numpy()))
    return np.mean(times[1]), np.mean(times[2])


def sliceline_reference(x, y, pred, tr, te):
    """sliceline on the training rows, the columns binned by the scan's own edges."""
    python = os.environ.get("SLICELINE_PYTHON")
    if not python:
        return None
    xt = np.asfortranarray(x[tr])
    lo, hi = xt.min(axis=0), xt.max(axis=0)
    edges = [np.linspace(a, b, 11) for a, b in zip(lo, hi)]
    codes = _scan._scan_codes(xt, list(range(N_FEATURES)), edges, lo, hi) + 1
    errors = (y[tr] - pred[tr]) ** 2
    with tempfile.TemporaryDirectory() as tmp:
        np.save(os.path.join(tmp, "x.npy"), codes)
        np.save(os.path.join(tmp, "e.npy"), errors)
        code = ("import json,sys,time,numpy as np;from sliceline.slicefinder import Slicefinder;"
                f"x=np.load('{tmp}/x.npy');e=np.load('{tmp}/e.npy');t=time.perf_counter();"
                "Slicefinder(alpha=0.95,k=10,max_l=2,min_sup=20).fit(x,e);"
                "print(json.dumps(time.perf_counter()-t))")
        out = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    load = os.getloadavg()[0]
    print(f"cores {os.cpu_count()}, load average at start {load:.2f}")
    x, y, pred, tr, te = make_data(1_000_000)
    (t_floor, _), (t_scan, s) = best_times([lambda: floor(x, y, pred, tr, te),
                                            lambda: scan(x, y, pred, tr, te)], repeat=5)
    n_pairs = N_FEATURES * (N_FEATURES - 1) // 2
    print(f"scan of {N_FEATURES} features and {n_pairs} pairs, 1,000,000 rows: {t_scan:.2f} s, "
          f"{len(s.output)} regions, {int(s.output['significant'].sum())} significant")
    t_one, t_two = zone_loop(x, y, pred, tr, te, s)
    t_loop = N_FEATURES * t_one + n_pairs * t_two
    print(f"FrailZone loop (sampled {len(SAMPLE_SINGLES)} + {len(SAMPLE_PAIRS)}, outputs agree): "
          f"{t_one:.3f} s per feature, {t_two:.3f} s per pair -> {t_loop:.1f} s for all 210; "
          f"scan is {t_loop / t_scan:.1f}x faster (target >= 30x)")
    print(f"floor (subset copies + one binning pass over 20 columns): {t_floor:.2f} s; "
          f"scan / floor {t_scan / t_floor:.2f} (target <= 4)")
    sizes = (250_000, 500_000, 1_000_000)
    datasets = [make_data(n) for n in sizes]
    times = best_times([lambda d=d: scan(*d) for d in datasets], repeat=5)
    per_row = {}
    for n, (t, _) in zip(sizes, times):
        per_row[n] = t / n
        print(f"rows {n:>9,}: {t:.2f} s, {per_row[n] * 1e9:.0f} ns per row")
    ratio = max(per_row.values()) / min(per_row.values())
    print(f"time per row, largest / smallest: {ratio:.2f} (target <= 1.3)")
    data = make_data(100_000)
    t_small, _ = best_time(lambda: scan(*data), repeat=3)
    t_sl = sliceline_reference(*data)
    if t_sl is None:
        print(f"100,000 rows: scan {t_small:.3f} s (set SLICELINE_PYTHON for the sliceline reference)")
    else:
        print(f"100,000 rows: scan {t_small:.3f} s (features and pairs, tested) | sliceline {t_sl:.3f} s "
              f"(up to 2-way slices of the same 10-bin codes, training rows)")
    print(f"load average at end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    sys.exit(main())
