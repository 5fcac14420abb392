"""Interpretable depth-2 boosted trees on scikit-learn's diabetes and breast-cancer data."""

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes

from tamrel.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor


def explain(model, x, title, top=8):
    """Parse a fitted model, print its most important effects and check the decomposition."""
    view = model.parse_model()
    table = view.effect_table_
    print(f"\n{title}: intercept {view.intercept_:.4f}, {len(table)} effects "
          f"({(table['type'] == 'main').sum()} main, {(table['type'] == 'interaction').sum()} interactions)")
    print(table.head(top).to_string(index=False, formatters={"importance": "{:.4g}".format,
                                                            "ratio": "{:.1%}".format}))
    margin = view.intercept_ + view.contributions(x).sum(axis=1).to_numpy()
    expected = model.estimator_.predict(x, output_margin=True)
    gap = np.max(np.abs(margin - expected) / np.maximum(1.0, np.abs(expected)))
    # XGBoost adds its trees in float32, hence differences of a few float32 ulps.
    print(f"intercept + sum of effects vs. the model's margin: largest relative difference {gap:.1e}")
    return view


def run():
    diabetes = load_diabetes(as_frame=True)
    x, y = diabetes.data.to_numpy(), diabetes.target.to_numpy()
    reg = XGB2Regressor(n_estimators=200, eta=0.1, feature_names=list(diabetes.data.columns),
                        mono_increasing_list=("bmi",)).fit(x, y)
    explain(reg, x, "Diabetes progression (XGB2Regressor, bmi constrained increasing)")

    cancer = load_breast_cancer(as_frame=True)
    x, y = cancer.data.to_numpy(), cancer.target.to_numpy()
    clf = XGB2Classifier(n_estimators=100, eta=0.2, feature_names=list(cancer.data.columns)).fit(x, y)
    view = explain(clf, x, "Breast cancer (XGB2Classifier, effects on the log-odds of 'benign')")
    best = view.effect_table_["fidx"].iloc[0]
    print(f"partial dependence of {view.effect_table_['effect'].iloc[0]!r} on the first rows:",
          np.round(clf.partial_dependence(best, x[:5]), 3))


if __name__ == "__main__":
    run()
