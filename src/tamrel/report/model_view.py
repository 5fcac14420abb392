"""The model's own view: the effects of a depth-2 model, or of a depth-2 surrogate of any other."""

import numpy as np

from ..models.xgb2.xgboost import XGB2Classifier, XGB2Regressor
from .figures import png
from .scores import set_score

__all__ = ["model_view"]

_EFFECTS_DRAWN = 3
_EFFECTS_LISTED = 10
_SURROGATE_ROWS = 200_000  # training rows a surrogate is fitted on, at most (a seeded sample)
_SURROGATE_TREES = 200


def _is_xgb2(estimator):
    return isinstance(estimator, (XGB2Regressor, XGB2Classifier))


def _effects(view, ctx, figures):
    table = view.effect_table_
    for k, effect in enumerate(table["effect"].head(_EFFECTS_DRAWN)):
        with ctx.clock.part("figures"):
            figures[f"effect_{k}"] = png(view.plot_effect(effect))
    shown = table.head(_EFFECTS_LISTED).copy()
    shown["fidx"] = [list(map(int, f)) for f in shown["fidx"]]
    return {"intercept": float(view.intercept_), "effects": shown, "n_effects": len(table)}


def model_view(ctx, estimator, surrogate):
    """({"kind": "xgb2" | "surrogate" | None, ...}, figures)."""
    figures = {}
    if _is_xgb2(estimator):
        with ctx.clock.analysis():
            view = estimator.parse_model()
        return {"kind": "xgb2", **_effects(view, ctx, figures)}, figures
    if not surrogate:
        return {"kind": None}, figures
    with ctx.clock.analysis():
        data = ctx.source.surrogate_rows(_SURROGATE_ROWS, ctx.random_state)
        if data is None:
            return {"kind": None, "note": "The model gives no predictions to fit a surrogate on."}, figures
        classification = ctx.task == "classification"
        model = (XGB2Classifier if classification else XGB2Regressor)(
            n_estimators=_SURROGATE_TREES, feature_names=data.names, random_state=ctx.random_state)
        target = data.train_target
        if classification and len(np.unique(target)) < 2:
            return {"kind": None, "note": "The model predicts one class only: no surrogate to fit."}, figures
        model.fit(data.train_x, target)
        if classification:
            fidelity_name = "AUC"
            fidelity = set_score("AUC", data.test_target, None, model.predict_proba(data.test_x)[:, 1])
        else:
            fidelity_name = "R2"
            fidelity = set_score("R2", data.test_target, model.predict(data.test_x), None)
        view = model.parse_model()
    out = {"kind": "surrogate", "surrogate": type(model).__name__, "fidelity_metric": fidelity_name,
           "fidelity": fidelity, "rows": int(len(target)), **_effects(view, ctx, figures)}
    return out, figures
