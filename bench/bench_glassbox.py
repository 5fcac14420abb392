"""Depth-2 models against the glass-box models users compare them with: test score and fit time.

Environment (the peer is never a dependency of the package; it lives in this venv only):

    python3 -m venv --system-site-packages /work/venvs/glassbox
    /work/venvs/glassbox/bin/pip install interpret-core statsmodels
    scripts/dev_build.sh build/dev
    PYTHONPATH=src /work/venvs/glassbox/bin/python bench/bench_glassbox.py [--seeds 0 1 2] [--threads 2]
        [--datasets diabetes fair ...] [--models ...] [--peer-cache FILE]

Data: scikit-learn's diabetes and breast cancer, statsmodels' fair (affairs > 0), randhie
(mdvis) and anes96 (vote); each seed draws a 75/25 split (stratified for classification).
Scores: test MSE (lower is better) or AUC (higher is better). Every model runs with the
same number of threads. Reported per dataset: the mean over seeds of each model's score and
fit time, the bagged model's score against the explainable boosting machine's and its fit
time as a share of it. --peer-cache keeps the peers' results (interpret's EBM, XGBoost depth
6, HistGradientBoosting and the default XGB2 models) in a JSON file between runs, so that
settings of the bagged models can be compared without refitting the slow peers.
"""

import argparse
import json
import os
import time

import numpy as np

REGRESSION = {"diabetes", "randhie"}
DATASETS = ["diabetes", "breast_cancer", "fair", "randhie", "anes96"]
MODELS = ["XGB2 default", "XGB2 bagged", "EBM", "XGBoost depth 6", "HistGradientBoosting", "Mean"]
PEERS = {"XGB2 default", "EBM", "XGBoost depth 6", "HistGradientBoosting", "Mean"}


def load(name):
    """(X as float64, y) of a dataset."""
    if name == "diabetes":
        from sklearn.datasets import load_diabetes

        X, y = load_diabetes(return_X_y=True)
        return X, y
    if name == "breast_cancer":
        from sklearn.datasets import load_breast_cancer

        X, y = load_breast_cancer(return_X_y=True)
        return X, y
    import statsmodels.api as sm

    frame = getattr(sm.datasets, name).load_pandas().data
    target = {"fair": "affairs", "randhie": "mdvis", "anes96": "vote"}[name]
    y = frame[target].to_numpy(dtype=np.float64)
    if name == "fair":
        y = (y > 0).astype(np.float64)
    X = frame.drop(columns=[target]).to_numpy(dtype=np.float64)
    return X, y


def split(X, y, seed, classify):
    from sklearn.model_selection import train_test_split

    return train_test_split(X, y, test_size=0.25, random_state=seed, stratify=y if classify else None)


def make(model, classify, threads, seed):
    if model == "Mean":
        # The training mean (class prior): a model worse than it on a seed's test rows is a fault.
        from sklearn.dummy import DummyClassifier, DummyRegressor

        return DummyClassifier(strategy="prior") if classify else DummyRegressor()
    if model == "EBM":
        from interpret.glassbox import ExplainableBoostingClassifier, ExplainableBoostingRegressor

        cls = ExplainableBoostingClassifier if classify else ExplainableBoostingRegressor
        return cls(n_jobs=threads, random_state=seed)
    if model == "XGBoost depth 6":
        import xgboost

        cls = xgboost.XGBClassifier if classify else xgboost.XGBRegressor
        return cls(n_jobs=threads, random_state=seed)
    if model == "HistGradientBoosting":
        from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor

        # Its threads come from OpenMP: OMP_NUM_THREADS is set for the whole run.
        cls = HistGradientBoostingClassifier if classify else HistGradientBoostingRegressor
        return cls(random_state=seed)
    from tamrel.models.xgb2.xgboost import (XGB2BaggedClassifier, XGB2BaggedRegressor, XGB2Classifier,
                                            XGB2Regressor)

    if model == "XGB2 default":
        # No thread setting: XGBoost's default (all cores) is what OMP_NUM_THREADS bounds.
        return (XGB2Classifier if classify else XGB2Regressor)(random_state=seed)
    return (XGB2BaggedClassifier if classify else XGB2BaggedRegressor)(n_jobs=threads, random_state=seed)


def score(model, X, y, classify):
    from sklearn.metrics import mean_squared_error, roc_auc_score

    if classify:
        return float(roc_auc_score(y, model.predict_proba(X)[:, 1]))
    return float(mean_squared_error(y, model.predict(X)))


def run_one(dataset, model, seed, threads):
    X, y = load(dataset)
    classify = dataset not in REGRESSION
    X_train, X_test, y_train, y_test = split(X, y, seed, classify)
    estimator = make(model, classify, threads, seed)
    start = time.perf_counter()
    estimator.fit(X_train, y_train)
    seconds = time.perf_counter() - start
    return {"score": score(estimator, X_test, y_test, classify), "seconds": seconds}


def table(results, datasets, models, seeds):
    lines = [f"seeds {seeds}; scores: test MSE (diabetes, randhie; lower is better) or AUC (higher is better); "
             "fit seconds; means over seeds", ""]
    header = f"{'dataset':<14}" + "".join(f"{m:>24}" for m in models)
    lines += [header, "-" * len(header)]
    for dataset in datasets:
        row = results.get(dataset, {})
        cells = []
        for m in models:
            runs = [row[m][str(s)] for s in seeds if m in row and str(s) in row[m]]
            if not runs:
                cells.append(f"{'-':>24}")
                continue
            cells.append(f"{np.mean([r['score'] for r in runs]):>13.4f} {np.mean([r['seconds'] for r in runs]):>8.2f}s ")
        lines.append(f"{dataset:<14}" + "".join(cells))
    lines += ["", "bagged against EBM (means over seeds):"]
    for dataset in datasets:
        row = results.get(dataset, {})
        if "XGB2 bagged" not in row or "EBM" not in row:
            continue
        mean = {m: {k: np.mean([row[m][str(s)][k] for s in seeds if str(s) in row[m]]) for k in ("score", "seconds")}
                for m in ("XGB2 bagged", "EBM")}
        ours, peer = mean["XGB2 bagged"]["score"], mean["EBM"]["score"]
        better = ours <= peer if dataset in REGRESSION else ours >= peer
        change = (ours - peer) / abs(peer) * 100
        ratio = mean["XGB2 bagged"]["seconds"] / mean["EBM"]["seconds"]
        lines.append(f"  {dataset:<14} score {ours:.4f} vs {peer:.4f} ({change:+.2f}%, "
                     f"{'at least as good' if better else 'worse'}); fit time {ratio:.4f} of EBM's "
                     f"(1/{1 / ratio:.0f}; target at most 1/20)")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--datasets", nargs="+", default=DATASETS, choices=DATASETS)
    parser.add_argument("--models", nargs="+", default=MODELS, choices=MODELS)
    parser.add_argument("--peer-cache", default=None, help="JSON file that keeps the peers' results between runs")
    args = parser.parse_args()
    os.environ["OMP_NUM_THREADS"] = str(args.threads)  # before any OpenMP runtime starts
    from threadpoolctl import threadpool_limits

    with threadpool_limits(limits=args.threads):
        run(args)


def run(args):
    results = {}
    if args.peer_cache and os.path.exists(args.peer_cache):
        with open(args.peer_cache) as f:
            results = json.load(f)
    for dataset in args.datasets:
        for model in args.models:
            for seed in args.seeds:
                known = results.get(dataset, {}).get(model, {})
                if model in PEERS and args.peer_cache and str(seed) in known:
                    continue
                result = run_one(dataset, model, seed, args.threads)
                results.setdefault(dataset, {}).setdefault(model, {})[str(seed)] = result
                print(f"{dataset:<14} {model:<22} seed {seed}: score {result['score']:.4f}, "
                      f"fit {result['seconds']:.2f} s", flush=True)
                if args.peer_cache:
                    peers = {d: {m: r for m, r in row.items() if m in PEERS} for d, row in results.items()}
                    with open(args.peer_cache, "w") as f:
                        json.dump(peers, f, indent=1)
    print()
    print(table(results, args.datasets, args.models, args.seeds))


if __name__ == "__main__":
    main()
