"""``python -m tamrel report``: a validation report from the command line, with an exit code for CI.

Exit codes: 0 when every condition passes, 1 when one fails, 2 on bad input (with a one-line
reason on stderr).
"""

import argparse
import os
import sys

import numpy as np

from ..exceptions import TamrelError
from .conditions import DEFAULTS
from .regions import number

__all__ = ["main", "build_parser"]

_PICKLE_WARNING = ("Loading a pickle or joblib file runs code from it: only load model files you trust.")


class _BadInput(Exception):
    """A problem with the command's input: exit code 2."""


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tamrel report",
        description="Validate a model on a data file: weak regions, their drill-downs and a pass/fail verdict. "
                    "Writes one self-contained HTML file and/or a JSON copy; exits 0 when every condition passes, "
                    "1 when one fails, 2 on bad input.",
        epilog=_PICKLE_WARNING + " An XGBoost model saved as JSON (.json, .ubj) loads without running code.")
    parser.add_argument("data", help="the data: a CSV or Parquet file")
    parser.add_argument("--target", required=True, help="the column of the outcome")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--model", help="the fitted model: a joblib/pickle file (trusted files only) or an XGBoost "
                                        "JSON/UBJSON model")
    source.add_argument("--prediction", help="the column holding the model's predictions (probabilities of the "
                                             "positive class for a probability metric)")
    split = parser.add_mutually_exclusive_group()
    split.add_argument("--split", help="a column that marks the test rows (true/1/'test') against the training rows")
    split.add_argument("--test-size", type=float, default=0.25,
                       help="share of the rows drawn at random (seeded) as test rows (default 0.25)")
    parser.add_argument("--task", choices=["regression", "classification"], help="the task (inferred from the model)")
    parser.add_argument("--metric", help="the scan's metric: MSE, MAE, R2, AUC, LogLoss, Brier, ACC or F1")
    parser.add_argument("--features", help="comma-separated features to scan (default: every other column)")
    parser.add_argument("--top", type=int, default=5, help="significant findings drilled into (default 5)")
    parser.add_argument("--html", help="write the HTML report here")
    parser.add_argument("--json", help="write the JSON report here")
    parser.add_argument("--fail-on", default="all",
                        help="conditions that decide the exit code: 'all' (default), 'none', or comma-separated "
                             f"names of {', '.join(DEFAULTS)}, each optionally with settings as "
                             "name:key=value[;key=value], e.g. 'weak_regions:min_rows=50,train_test_gap:max_factor=3'")
    parser.add_argument("--seed", type=int, default=0, help="seed of the split and of the analyses (default 0)")
    parser.add_argument("--title", help="the report's title")
    return parser


def _number(text, where):
    try:
        return float(text)
    except ValueError:
        raise _BadInput(f"--fail-on: {where} must be a number, got {text!r}.") from None


def parse_fail_on(text):
    """The ``conditions`` of a --fail-on text: the named conditions with their settings,
    every other condition left out."""
    text = text.strip()
    if text == "all":
        return None
    if text == "none":
        return {name: None for name in DEFAULTS}
    chosen = {}
    for item in filter(None, (t.strip() for t in text.split(","))):
        name, _, rest = item.partition(":")
        if name not in DEFAULTS:
            raise _BadInput(f"--fail-on: unknown condition {name!r}; known: {', '.join(DEFAULTS)}.")
        settings = {}
        for pair in filter(None, rest.split(";")):
            key, eq, value = pair.partition("=")
            if not eq:
                raise _BadInput(f"--fail-on: {pair!r} must read key=value.")
            settings[key.strip()] = value.strip() if key.strip() == "metric" else _number(value, f"{name}:{key}")
        chosen[name] = settings or True
    return {name: chosen.get(name) for name in DEFAULTS}


def read_data(path):
    import pandas as pd

    if not os.path.exists(path):
        raise _BadInput(f"{path}: no such file.")
    lower = path.lower()
    try:
        if lower.endswith((".parquet", ".pq")):
            return pd.read_parquet(path)
        if lower.endswith((".csv", ".csv.gz", ".txt")):
            return pd.read_csv(path)
    except Exception as exc:  # the reader's own reason, on one line
        raise _BadInput(f"{path}: cannot be read ({type(exc).__name__}: {exc}).") from None
    raise _BadInput(f"{path}: the data must be a .csv or .parquet file.")


def load_model(path):
    """A model from a joblib/pickle file (runs code: trusted files only) or an XGBoost JSON/UBJSON file."""
    if not os.path.exists(path):
        raise _BadInput(f"{path}: no such file.")
    lower = path.lower()
    try:
        if lower.endswith((".json", ".ubj")):
            return _xgboost_model(path)
        import joblib

        return joblib.load(path)
    except _BadInput:
        raise
    except Exception as exc:
        raise _BadInput(f"{path}: cannot load the model ({type(exc).__name__}: {exc}).") from None


def _xgboost_model(path):
    import xgboost

    booster = xgboost.Booster()
    booster.load_model(path)
    objective = booster.save_config()
    model = xgboost.XGBClassifier() if '"binary:' in objective else xgboost.XGBRegressor()
    model.load_model(path)
    return model


def _split(frame, args):
    n = len(frame)
    if args.split is not None:
        if args.split not in frame.columns:
            raise _BadInput(f"--split: no column {args.split!r} in the data.")
        marks = frame[args.split]
        text = marks.astype(str).str.strip().str.lower()
        test = text.isin(["1", "true", "test", "1.0", "yes"]).to_numpy()
        return np.flatnonzero(~test), np.flatnonzero(test)
    if not 0 < args.test_size < 1:
        raise _BadInput(f"--test-size must lie strictly between 0 and 1, got {args.test_size}.")
    order = np.random.default_rng(args.seed).permutation(n)
    n_test = int(round(args.test_size * n))
    return np.sort(order[n_test:]), np.sort(order[:n_test])


def _run(args):
    from .validation_report import ValidationReport

    frame = read_data(args.data)
    for column, flag in ((args.target, "--target"), (args.prediction, "--prediction")):
        if column is not None and column not in frame.columns:
            raise _BadInput(f"{flag}: no column {column!r} in the data.")
    train, test = _split(frame, args)
    dropped = [c for c in (args.target, args.prediction, args.split) if c is not None]
    x = frame.drop(columns=dropped)
    features = None if args.features is None else [f.strip() for f in args.features.split(",") if f.strip()]
    model = load_model(args.model) if args.model is not None else None
    given = {}
    if args.prediction is not None:
        from ..diagnoser.utils import get_scoring_metric

        needs_proba = args.metric is not None and get_scoring_metric(args.metric).needs_proba
        given["prediction_proba" if needs_proba else "prediction"] = frame[args.prediction]
    if not args.html and not args.json:
        print("tamrel report: no --html or --json given; only the verdict is printed.", file=sys.stderr)
    report = ValidationReport(model, task_type=args.task, metric=args.metric, features=features, top=args.top,
                              conditions=parse_fail_on(args.fail_on), title=args.title, random_state=args.seed,
                              verbose=sys.stderr.isatty())
    report.fit(x, frame[args.target].to_numpy(), train, test, **given)
    if args.html:
        report.save_html(args.html)
    if args.json:
        report.save_json(args.json)
    return report


def main(argv=None):
    """Run the command; returns the exit code (0 pass, 1 fail, 2 bad input)."""
    args = build_parser().parse_args(argv)
    try:
        report = _run(args)
    except (_BadInput, TamrelError, ValueError, TypeError, KeyError, OSError) as exc:
        text = " ".join(str(exc).split()) or type(exc).__name__
        print(f"tamrel report: error: {text}", file=sys.stderr)
        return 2
    for row in report.conditions_.itertuples(index=False):
        print(f"{row.status:4}  {row.name}: {row.description} (limit {row.limit}, measured {number(row.value)})")
    print("PASSED" if report.passed else "FAILED")
    return 0 if report.passed else 1
