"""A validation report of the diabetes model: report.html and report.json."""

import os

from tamrel.demos.frailzone_demo import load_split
from tamrel.demos.scan_demo import model_for, tabular
from tamrel.report import ValidationReport


def run(out_dir="tamrel_demo_output"):
    """Report on the scan demo's model, with a depth-2 surrogate; writes report.html and report.json."""
    _, x, y, train_idx, test_idx = load_split()
    frame = tabular(x)
    model = model_for(frame, y, train_idx)
    report = ValidationReport(model, metric="MSE", surrogate=True, title="Validation of the diabetes model",
                              verbose=False)
    report.fit(frame, y, train_idx, test_idx)
    os.makedirs(out_dir, exist_ok=True)
    html = report.save_html(os.path.join(out_dir, "report.html"))
    data = report.save_json(os.path.join(out_dir, "report.json"))
    print(f"\n== Validation report: {'PASSED' if report.passed else 'FAILED'} ==")
    print(report.conditions_[["name", "limit", "value", "status"]].to_string(index=False))
    print(f"\nReport written:\n  {os.path.abspath(html)}\n  {os.path.abspath(data)}")
    return report
