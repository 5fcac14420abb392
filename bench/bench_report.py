"""ValidationReport on 1,000,000 x 20 numeric features (all 190 pairs, 5 drill-downs, HTML and
JSON written), against the analyses it calls, in one run.

Prints:
- the report's total time, the time in the analyses it calls (the scan, the drill-down
  FrailZones and their views) and its own work (collecting, figures, writing), with the
  own share (target: below a third);
- the HTML and JSON sizes at 10,000 and at 1,000,000 rows (the HTML must stay about the same:
  it embeds no data);
- as a baseline doing the analyses' work alone: the same FrailScan fit on its own.
Run: PYTHONPATH=src python bench/bench_report.py [n_rows]
"""

import os
import sys
import tempfile
import time

import numpy as np

from tamrel.diagnoser.frailzone import FrailScan
from tamrel.report import ValidationReport

N_FEATURES = 20


def make_data(n_rows, seed=0):
    """n_rows x 20 numeric features, a model worse for large X1 and small X2, random 80/20 split."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n_rows, N_FEATURES))
    pred = x[:, :5] @ np.array([1.0, -0.5, 0.3, 0.0, 0.2])
    y = pred + rng.normal(size=n_rows) * (0.3 + 1.5 * (x[:, 1] > 1.0) + 0.8 * (x[:, 2] < -1.2))
    perm = rng.permutation(n_rows)
    cut = int(0.8 * n_rows)
    return x, y, pred, perm[:cut], perm[cut:]


def report_once(n_rows, folder):
    x, y, pred, train, test = make_data(n_rows)
    start = time.perf_counter()
    report = ValidationReport(None, metric="MSE", pairs="all", top=5, verbose=False)
    report.fit(x, y, train, test, prediction=pred)
    html = report.save_html(os.path.join(folder, f"report_{n_rows}.html"))
    data = report.save_json(os.path.join(folder, f"report_{n_rows}.json"))
    total = time.perf_counter() - start
    scan_start = time.perf_counter()
    FrailScan(None, metric="MSE", pairs="all", verbose=False).fit(x, y, train, test, prediction=pred)
    scan_alone = time.perf_counter() - scan_start
    return report, total, scan_alone, os.path.getsize(html), os.path.getsize(data)


def main():
    big = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as folder:
        rows = []
        for n in (10_000, big):
            report, total, scan_alone, html, data = report_once(n, folder)
            t = report.timings_
            rows.append((n, total, t, scan_alone, html, data))
            print(f"{n:>9,} rows x {N_FEATURES} features, all pairs, {len(report.to_dict()['weak_regions']['findings'])} "
                  f"drill-downs: total {total:.2f} s = analyses {t['analyses_s']:.2f} s + report {t['report_s']:.2f} s "
                  f"(collecting {t.get('collecting_s', 0):.2f}, figures {t.get('figures_s', 0):.2f}, writing "
                  f"{t.get('writing_s', 0):.2f}); own share {100 * t['report_share']:.1f}% (target < 33.3%); "
                  f"the scan alone {scan_alone:.2f} s", flush=True)
        (n0, *_, html0, json0), (n1, *_, html1, json1) = rows
        print(f"HTML size: {html0 / 1e3:.0f} kB at {n0:,} rows, {html1 / 1e3:.0f} kB at {n1:,} rows "
              f"(ratio {html1 / html0:.2f}); JSON: {json0 / 1e3:.0f} kB and {json1 / 1e3:.0f} kB")


if __name__ == "__main__":
    main()
