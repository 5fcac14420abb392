"""ValidationReport in memory: contents, verdict, JSON and HTML files."""

import json
import math
import re

import numpy as np
import pytest
from sklearn.linear_model import LogisticRegression

from tamrel.diagnoser.frailzone import FrailScan
from tamrel.exceptions import TamrelError
from tamrel.report import ValidationReport
from tamrel.diagnoser.scan_units import rule_mask
from tamrel.report.conditions import read_conditions
from tamrel.report.regions import describe, number

from report_data import make_frame, split

X = ["a", "b", "c"]


def _report(frame, **settings):
    train, test = split(frame)
    settings.setdefault("verbose", False)
    return ValidationReport(None, metric="MSE", **settings).fit(frame[X], frame["y"].to_numpy(), train, test,
                                                                prediction=frame["pred"].to_numpy())


@pytest.fixture(scope="module")
def frame():
    return make_frame()


@pytest.fixture(scope="module")
def report(frame):
    return _report(frame)


def _parts(rule):
    return sorted((dict(p, values=list(p["values"])) if "values" in p else dict(p) for p in rule),
                  key=lambda p: p["feature"])


def _check_words(records):
    """Each table row in words names the row's features in its order, each interval with the
    row's lower bound."""
    for r in records:
        words = r["region"].split(" and ")
        assert [w.split(" ")[0] for w in words] == list(r["slice_features"])
        for pos, w in enumerate(words, start=1):
            if w.split(" ")[1] == "in" and w.split(" ")[2].startswith("["):
                assert w.split(" ")[2] == f"[{number(r[f'lb{pos}'])},"


def _check_finding_rows(f, test_rows):
    """The drill-down read the region's own test rows: as many as the table counts, and its
    categories (within the rule's other parts) add up to them."""
    assert f["bias"]["n"] == f["test_rows"] == test_rows
    if "categories" in f:
        table = f["categories"]["table"]
        assert sum(r["rows"] for r in table if r["in_region"]) == f["test_rows"]


def test_findings_state_the_scan_in_words(report, frame):
    doc = report.to_dict()
    train, test = split(frame)
    scan = FrailScan(None, metric="MSE", verbose=False).fit(frame[X], frame["y"].to_numpy(), train, test,
                                                            prediction=frame["pred"].to_numpy())
    findings = doc["weak_regions"]["findings"]
    assert 1 <= len(findings) <= 5 and doc["weak_regions"]["n_regions"] == len(scan.output)
    overall = np.mean((frame["y"].to_numpy()[test] - frame["pred"].to_numpy()[test]) ** 2)
    seen = np.zeros(len(frame), dtype=bool)
    seen[np.r_[train, test]] = True
    for f in findings:
        row = scan.output.iloc[f["position"]]
        assert row["significant"] and f["test_rows"] == row["#Test"]
        assert f["factor"] == pytest.approx(row["test_MSE"] / overall, rel=1e-9)
        assert f"{f['test_rows']:,} test rows with {f['region']}" in f["sentence"]
        assert f["sentence"].startswith(f"Test MSE is {f['factor']:.1f}× the overall")
        # the rule given is the scan's, in the table's feature order, and selects exactly its rows
        assert _parts(f["rule"]) == _parts(scan.get_rule(f["position"]))
        assert [p["feature"] for p in f["rule"]] == f["features"]
        rows = scan.get_target_rows(f["position"])
        np.testing.assert_array_equal(np.flatnonzero(rule_mask(f["rule"], frame) & seen), rows)
        _check_finding_rows(f, int(np.isin(rows, test).sum()))
    by_region = {f["region"]: f for f in findings}
    # b < 1 with c == "w" is shifted: the model is wrong there; c == "v" and b > 8 are only noisier
    assert by_region["c = v"]["bias"]["verdict"] == "noise"
    shifted = [f for f in findings if f["region"].startswith("b in [0.") and f["region"].endswith("c = w")]
    assert len(shifted) == 1 and shifted[0]["bias"]["verdict"] == "bias" and shifted[0]["bias"]["bias"] > 3
    assert shifted[0]["categories"]["within"] + " and c = w" == shifted[0]["region"]
    # b's top bin holds b's largest value: its upper bound is closed, and read so
    top = [f for f in findings if re.fullmatch(r"b in \[8\.\d+, 10\]", f["region"])]
    assert len(top) == 1 and top[0]["rule"][0]["closed"]
    _check_words(doc["weak_regions"]["table"])
    words = [r["region"] for r in doc["weak_regions"]["table"]]
    assert all(w.count("]") == sum(p["closed"] for p in scan.get_rule(i) if p["kind"] == "interval")
               for i, w in enumerate(words))


def test_region_in_words():
    age = {"feature": "age", "kind": "interval", "lb": 61.0, "ub": 70.0, "closed": False}
    income = {"feature": "income", "kind": "missing"}
    assert describe((age, income)) == "age in [61, 70) and income missing"
    assert describe((dict(age, ub=1234.5, closed=True),)) == "age in [61, 1,234]"
    assert describe(({"feature": "c", "kind": "categories", "values": ("x", "y")},)) == "c in {x, y}"


def test_a_missing_region_is_found_and_drilled_into():
    frame = make_frame(seed=6)
    missing = frame["a"].isna().to_numpy()
    frame["y"] = frame["pred"] + np.random.default_rng(7).normal(size=len(frame)) * (1 + 3 * missing)
    findings = _report(frame).to_dict()["weak_regions"]["findings"]
    found = [f for f in findings if f["region"] == "a missing"]
    assert len(found) == 1 and found[0]["rule"] == [{"feature": "a", "kind": "missing"}]
    _check_finding_rows(found[0], int(missing[split(frame)[1]].sum()))


def test_verdict_and_conditions(frame, report):
    assert not report.passed
    cond = report.conditions_.set_index("name")
    assert list(cond.columns) == ["description", "limit", "value", "status"]
    assert cond.loc["weak_regions", "status"] == "FAIL" and cond.loc["weak_regions", "value"] >= 1
    assert cond.loc["test_score", "status"] == "PASS"
    # a healthy model passes every default: the outcome is the prediction plus even noise
    healthy = make_frame(seed=3)
    healthy["y"] = healthy["pred"] + np.random.default_rng(4).normal(size=len(healthy))
    assert _report(healthy).passed
    # limits move the verdict; a condition left out is not measured
    lenient = _report(frame, conditions={"weak_regions": {"max_count": 1000}})
    assert lenient.passed
    only = _report(frame, conditions={"weak_regions": None, "train_test_gap": None, "test_score": {"min": 0.99}})
    assert list(only.conditions_["name"]) == ["test_score"] and not only.passed


@pytest.mark.parametrize("conditions, message", [
    ({"nope": 1}, "Unknown condition"), ({"test_score": {"low": 1}}, "Unknown setting"),
    ({"weak_regions": "x"}, "must be a number"), ({"test_score": {"metric": "XYZ"}}, "must be one of"),
    ([1], "must be a dict"), ({"weak_regions": -1}, "must not be negative"),
])
def test_bad_conditions(conditions, message):
    with pytest.raises(TamrelError, match=message):
        read_conditions(conditions)


@pytest.mark.parametrize("settings, error, message", [({"top": -1}, ValueError, "top"),
                                                      ({"title": 3}, TypeError, "title"),
                                                      ({"surrogate": "yes"}, TypeError, "surrogate"),
                                                      ({"use_test": "half"}, ValueError, "use_test")])
def test_bad_settings_and_the_scans_own_errors(frame, settings, error, message):
    with pytest.raises(error, match=message):
        _report(frame, **settings)
    train, test = split(frame)
    with pytest.raises(TamrelError, match="train_idx"):  # the data are checked as the scan checks them
        ValidationReport(None, verbose=False).fit(frame[X], frame["y"], [len(frame) + 5], test,
                                                  prediction=frame["pred"])
    with pytest.raises(TamrelError, match="not fitted"):
        ValidationReport().to_dict()


def test_json_is_strict_and_complete(report, tmp_path):
    path = report.save_json(tmp_path / "r.json")
    text = path.read_text()
    assert "NaN" not in text and "Infinity" not in text
    doc = json.loads(text)
    assert doc["schema"] == "tamrel.validation_report" and doc["schema_version"] == 1
    assert doc["passed"] is False and len(doc["conditions"]) == 3
    assert doc["weak_regions"]["table"][0]["slice_features"]  # every row of the table
    assert doc["summary"]["scores"]["test"]["MSE"] > 0
    assert any(r["lb2"] is None for r in doc["weak_regions"]["table"])  # NaN bounds as null


def test_html_is_self_contained_and_does_not_grow_with_rows(tmp_path):
    sizes = []
    for n in (4000, 40000):
        path = _report(make_frame(n=n)).save_html(tmp_path / f"r{n}.html")
        text = path.read_text()
        sizes.append(len(text))
        assert not re.search(r"(src|href)=\"(?!data:)", text)  # nothing but inline images
        assert "default-src 'none'; img-src data:; style-src 'unsafe-inline'" in text and text.count("<img") >= 2
    assert sizes[1] < 1.5 * sizes[0] and sizes[1] < 3_000_000


def test_notebook_view(report):
    text = report._repr_html_()
    assert "FAILED" in text and "<img" in text
    assert "not fitted" in ValidationReport()._repr_html_()


def test_classifier_with_labels_and_a_surrogate():
    frame = make_frame(n=5000, seed=5)
    labels = np.where(frame["y"] > 5, "high", "low")
    train, test = split(frame)
    model = LogisticRegression().fit(frame[["b"]].iloc[train], labels[train])
    x = frame[["b"]].assign(a=frame["a"].fillna(0))
    model = LogisticRegression().fit(x.iloc[train], labels[train])
    report = ValidationReport(model, metric="LogLoss", surrogate=True, top=2, verbose=False).fit(x, labels, train,
                                                                                                  test)
    doc = report.to_dict()
    assert doc["summary"]["model"]["task"] == "classification"
    assert set(doc["summary"]["scores"]["test"]) >= {"AUC", "LogLoss", "Brier", "ACC"}
    view = doc["model_view"]
    assert view["kind"] == "surrogate" and view["fidelity_metric"] == "AUC" and view["fidelity"] > 0.9
    cond = report.conditions_.set_index("name")
    assert cond.loc["test_score", "description"].startswith("Overall test AUC")
    for f in doc["weak_regions"]["findings"]:
        assert "observed rate" in f["bias"]["sentence"]


def test_depth2_model_shows_its_effects(frame):
    from tamrel.models.xgb2.xgboost import XGB2Regressor

    train, test = split(frame)
    x = frame[["b"]].assign(a=frame["a"].fillna(0))
    model = XGB2Regressor(n_estimators=30).fit(x.iloc[train], frame["y"].to_numpy()[train])
    report = ValidationReport(model, top=1, verbose=False).fit(x, frame["y"].to_numpy(), train, test)
    view = report.to_dict()["model_view"]
    assert view["kind"] == "xgb2" and view["effects"][0]["effect"] == "b"
    assert "effect_0" in report._figures


def test_timings_split_the_analyses_from_the_report(report):
    t = report.timings_
    assert t["analyses_s"] > 0 and t["report_s"] > 0
    assert math.isclose(t["report_share"], t["report_s"] / (t["report_s"] + t["analyses_s"]))


def test_comparison_with_a_baseline(frame):
    from tamrel.diagnoser.frailzone import FrailCompare

    train, test = split(frame)
    y, pred = frame["y"].to_numpy(), frame["pred"].to_numpy()
    worse = pred + 2.0 * (frame["b"].to_numpy() > 8)  # the challenger regresses where b > 8
    report = ValidationReport(None, metric="MSE", verbose=False).fit(frame[X], y, train, test, prediction=worse,
                                                                    baseline=pred)
    comp = report.to_dict()["comparison"]
    assert comp["scores"]["model"]["MSE"] == pytest.approx(np.mean((y[test] - worse[test]) ** 2), rel=1e-12)
    assert comp["scores"]["baseline"]["MSE"] == pytest.approx(np.mean((y[test] - pred[test]) ** 2), rel=1e-12)
    direct = FrailCompare(None, None, metric="MSE", verbose=False).fit(
        frame[X], y, train, test, prediction=worse, baseline_prediction=pred).output
    assert comp["n_regions"] == len(direct) and comp["n_significant"] == int(direct["significant"].sum()) > 0
    _check_words(comp["table"])
    # the regressed region b > 8, read from the comparison's own rule (closed at b's largest value)
    assert any(re.fullmatch(r"b in \[[78](\.\d+)?, (10|9\.\d+)\]", r["region"]) for r in comp["table"][:3])
    cond = report.conditions_.set_index("name")
    assert cond.loc["baseline", "status"] == "FAIL" and cond.loc["baseline", "value"] == comp["n_significant"]
    assert "Comparison with the baseline" in report._repr_html_()
    same = ValidationReport(None, metric="MSE", conditions={"weak_regions": None}, verbose=False).fit(
        frame[X], y, train, test, prediction=pred, baseline=pred)
    assert same.conditions_.set_index("name").loc["baseline", "status"] == "PASS"
