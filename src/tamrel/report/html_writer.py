"""The report as one HTML file: inline CSS, inline PNG figures, nothing fetched from anywhere.

A Content-Security-Policy in the page forbids every request but the page's own inline
images and style, so a viewer loads nothing even if a figure or text held an address.
"""

import html

from .regions import number

__all__ = ["page", "fragment"]

_CSS = """
:root { --pass: #1b7f3b; --fail: #b3261e; --skip: #6b6b6b; --line: #d9d9d9; --soft: #f5f5f3; }
body { font: 15px/1.45 -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif; color: #1f1f1f;
       margin: 0 auto; max-width: 1080px; padding: 24px 28px 60px; }
h1 { font-size: 26px; margin: 0 0 4px; } h2 { font-size: 20px; margin: 34px 0 10px; border-bottom: 2px solid var(--line);
padding-bottom: 4px; } h3 { font-size: 16px; margin: 0 0 6px; }
.meta { color: #555; margin: 0 0 14px; }
.verdict { font-size: 22px; font-weight: 700; padding: 12px 18px; border-radius: 6px; color: white; }
.verdict.pass { background: var(--pass); } .verdict.fail { background: var(--fail); }
.verdict small { font-weight: 400; font-size: 15px; margin-left: 10px; }
table { border-collapse: collapse; margin: 6px 0 12px; font-size: 13.5px; }
th, td { border-bottom: 1px solid var(--line); padding: 5px 9px; text-align: left; vertical-align: top; }
th { background: var(--soft); font-weight: 600; } td.num { text-align: right; font-variant-numeric: tabular-nums; }
.status { font-weight: 700; } .status.PASS { color: var(--pass); } .status.FAIL { color: var(--fail); }
.status.SKIP { color: var(--skip); }
.facts { display: grid; grid-template-columns: repeat(auto-fill, minmax(190px, 1fr)); gap: 8px; margin: 8px 0 14px; }
.fact { background: var(--soft); border-radius: 5px; padding: 8px 10px; }
.fact b { display: block; font-size: 18px; } .fact span { color: #555; font-size: 13px; }
.finding { border: 1px solid var(--line); border-left: 5px solid #d95f02; border-radius: 5px; padding: 12px 16px;
           margin: 14px 0; }
.sentence { font-size: 16.5px; font-weight: 600; margin: 2px 0 8px; }
.bias { margin: 0 0 8px; } .note { color: #555; font-size: 13px; }
.figures { display: flex; flex-wrap: wrap; gap: 12px; align-items: flex-start; }
figure { margin: 4px 0; } figure img { max-width: 100%; height: auto; display: block; }
figcaption { color: #555; font-size: 12.5px; margin-top: 2px; }
.bar { display: inline-block; height: 11px; min-width: 1px; background: #9ecae1; width: 0; }
.bar.region { background: #d95f02; } .bars table td:last-child { width: 180px; }
.bars { max-width: 520px; }
footer { margin-top: 40px; color: #666; font-size: 12.5px; border-top: 1px solid var(--line); padding-top: 8px; }
@media print {
  body { max-width: none; padding: 0; font-size: 11pt; }
  .finding, figure, table { break-inside: avoid; }
  h2 { break-after: avoid; }
  .verdict { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
}
"""

_CSP = "default-src 'none'; img-src data:; style-src 'unsafe-inline'"


def _e(value):
    return html.escape(str(value))


def _num(value):
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return f"{value:,}"
    return number(value)


def _table(headers, rows, numeric=()):
    head = "".join(f"<th>{_e(h)}</th>" for h in headers)
    body = []
    for row in rows:
        cells = []
        for k, cell in enumerate(row):
            css = ' class="num"' if k in numeric else ""
            cells.append(f"<td{css}>{cell}</td>")
        body.append("<tr>" + "".join(cells) + "</tr>")
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"


def _figure(figures, key, caption, alt):
    image = figures.get(key)
    if image is None:
        return ""
    return (f'<figure><img src="data:image/png;base64,{image}" alt="{_e(alt)}">'
            f"<figcaption>{_e(caption)}</figcaption></figure>")


def _verdict(doc):
    conditions = doc["conditions"]
    failed = [c for c in conditions if c["status"] == "FAIL"]
    text = "PASSED" if doc["passed"] else "FAILED"
    detail = (f"all {len(conditions)} conditions met" if not failed
              else f"{len(failed)} of {len(conditions)} conditions failed: " + ", ".join(c["name"] for c in failed))
    css = "pass" if doc["passed"] else "fail"
    return f'<div class="verdict {css}" id="verdict">{text}<small>{_e(detail)}</small></div>'


def _conditions(doc):
    rows = [(_e(c["name"]), _e(c["description"]), _e(c["limit"]), _num(c["value"]),
             f'<span class="status {c["status"]}">{c["status"]}</span>') for c in doc["conditions"]]
    return "<h2>Conditions</h2>" + _table(["condition", "what is checked", "limit", "measured", "status"], rows,
                                          numeric=(3,))


def _fact(value, label):
    return f'<div class="fact"><b>{value}</b><span>{_e(label)}</span></div>'


def _summary(doc):
    data, model, scores = doc["summary"]["data"], doc["summary"]["model"], doc["summary"]["scores"]
    facts = [
        _fact(f"{data['rows']:,}", f"rows ({data['train_rows']:,} train, {data['test_rows']:,} test)"),
        _fact(f"{data['features']}", f"features ({data['numerical']} numerical, {data['categorical']} categorical)"),
        _fact(f"{100 * data['missing_share']:.1f}%", "of the entries missing"),
        _fact(_e(model["class"]), f"{model['task']} model" + (f" ({model['library']})" if model["library"] else "")),
    ]
    rows = [(_e(m), _num(scores["train"].get(m)), _num(scores["test"].get(m))) for m in scores["metrics"]]
    missing = ""
    if data["most_missing"]:
        missing = "<p class=note>Most missing: " + ", ".join(
            f"{_e(m['feature'])} {100 * m['share']:.1f}%" for m in data["most_missing"]) + ".</p>"
    return ("<h2>Summary</h2><div class=facts>" + "".join(facts) + "</div>" + missing
            + "<h3>Overall scores</h3>" + _table(["metric", "train", "test"], rows, numeric=(1, 2)))


def _region_table(weak):
    metric = weak["metric"]
    rows = []
    for r in weak["table"][:15]:
        rows.append((_e(r["region"]), _num(r["#Test"]), _num(r["test_" + metric]), _num(r["factor"]),
                     f"[{_num(r['ci_low'])}, {_num(r['ci_high'])}]", _num(r["q_value"]),
                     "yes" if r["significant"] else "no"))
    return _table(["region", "test rows", f"test {metric}", "× worse", "interval", "q-value", "significant"], rows,
                  numeric=(1, 2, 3, 5))


def _bar(value, top, css=""):
    width = 0.0 if value is None or not top else max(0.0, min(1.0, value / top)) * 100
    return f'<span class="bar{css}" style="width:{width:.1f}%"></span>'


def _distance(f):
    """The shift of the inputs as a ranked bar table (features by PSI)."""
    rows = f.get("distance")
    if not rows:
        return ""
    top = max((r["distance"] for r in rows if r["distance"] is not None), default=0.0)
    body = [(_e(r["feature"]), _num(r["distance"]), _bar(r["distance"], top)) for r in rows[:12]]
    return ('<figure class="bars"><figcaption>Shift of the inputs: how far each feature\'s distribution in the '
            "weak rows lies from the rest (PSI), largest first.</figcaption>"
            + _table(["feature", "PSI", ""], body, numeric=(1,)) + "</figure>")


def _categories(f, metric):
    """Test score and share of every category of the finding's categorical feature."""
    cats = f.get("categories")
    if not cats:
        return ""
    rows = cats["table"]
    top = max((r["score"] for r in rows if r["score"] is not None), default=0.0)
    body = [(("<b>" + _e(r["category"]) + "</b>") if r["in_region"] else _e(r["category"]), _num(r["rows"]),
             f"{100 * r['share']:.1f}%", _num(r["score"]), _bar(r["score"], top, " region" if r["in_region"] else ""))
            for r in rows]
    within = f" where {_e(cats['within'])}" if cats.get("within") else ""
    return (f'<figure class="bars"><figcaption>Test {_e(metric)} by {_e(cats["feature"])}{within}; the region\'s '
            f"categories in bold and orange (overall {_num(f['overall_test_score'])}).</figcaption>"
            + _table(["category", "test rows", "share", f"test {metric}", ""], body, numeric=(1, 2, 3))
            + "</figure>")


def _finding(k, f, figures, metric):
    parts = [f'<article class="finding" id="finding-{k}"><h3>{k + 1}. {_e(f["region"])}</h3>',
             f'<p class="sentence">{_e(f["sentence"])}</p>']
    if f.get("bias"):
        parts.append(f'<p class="bias">{_e(f["bias"]["sentence"])}</p>')
    shown = [
        _figure(figures, f"finding_{k}_marginal", "Marginal view: the score along the region's features, "
                "the threshold dashed, with the data's histograms.", f"marginal view of finding {k + 1}"),
    ]
    parts.append('<div class="figures">' + "".join(shown) + _distance(f) + _categories(f, metric) + "</div>")
    for note in f["notes"]:
        parts.append(f'<p class="note">{_e(note)}</p>')
    parts.append("</article>")
    return "".join(parts)


def _weak(doc, figures):
    weak = doc["weak_regions"]
    found_on = weak.get("found_on", "training rows")
    tested_on = {"training rows": "test rows", "test rows": "training rows"}.get(found_on, "other half")
    head = (f"<h2>Weak regions</h2><p>{weak['n_regions']:,} regions where the {_e(weak['metric'])} of the "
            f"{_e(found_on)} is {weak['threshold']:g}× worse than overall; {weak['n_significant']:,} of them "
            f"significant on the {_e(tested_on)} (q ≤ {doc['settings']['alpha']:g}).</p>")
    head += "".join(f'<p class="note">{_e(text)}</p>' for text in weak.get("warnings", []))
    body = [head, _figure(figures, "scan", "The top regions ranked, each test score with its interval.",
                          "ranking of the weak regions")]
    if weak["table"]:
        body.append(_region_table(weak))
    findings = weak["findings"]
    if findings:
        body.append(f"<h3>The {len(findings)} most significant findings</h3>")
        body.extend(_finding(k, f, figures, weak["metric"]) for k, f in enumerate(findings))
    else:
        body.append("<p>No significant weak region.</p>")
    return "".join(body)


def _model(doc, figures):
    view = doc["model_view"]
    if not view or view.get("kind") is None:
        note = view.get("note") if view else None
        return "" if not note else f"<h2>Model</h2><p class=note>{_e(note)}</p>"
    if view["kind"] == "surrogate":
        intro = (f"<p>A depth-2 surrogate ({_e(view['surrogate'])}) fitted to the model's predictions on "
                 f"{view['rows']:,} training rows; its fidelity on the test rows: {_e(view['fidelity_metric'])} "
                 f"{_num(view['fidelity'])} against the model's own predictions.</p>")
    else:
        intro = f"<p>The model's {view['n_effects']} effects (main effects and pairwise interactions).</p>"
    rows = [(_e(r["effect"]), _e(r["type"]), _num(r["importance"]), f"{100 * r['ratio']:.1f}%")
            for r in view["effects"]]
    drawn = "".join(_figure(figures, f"effect_{k}", "Effect (line) over the data's density (grey).",
                            f"effect {k + 1}") for k in range(len(view["effects"])))
    return ("<h2>Model</h2>" + intro + _table(["effect", "type", "importance", "share"], rows, numeric=(2, 3))
            + f'<div class="figures">{drawn}</div>')


def _comparison(doc, figures):
    comp = doc.get("comparison")
    if not comp:
        return ""
    scores = comp["scores"]
    rows = [(_e(m), _num(scores["model"].get(m)), _num(scores["baseline"].get(m))) for m in comp["metrics"]]
    metric = comp["metric"]
    regions = [(_e(r["region"]), _num(r["#Test"]), _num(r["test_" + metric]), _num(r["test_baseline_" + metric]),
                _num(r["diff"]), f"[{_num(r['ci_low'])}, {_num(r['ci_high'])}]", _num(r["q_value"]))
               for r in comp["table"][:15]]
    table = (_table(["region", "test rows", f"model {metric}", f"baseline {metric}", "difference", "interval",
                     "q-value"], regions, numeric=(1, 2, 3, 4, 6)) if regions else
             "<p>No region where the model scores worse than the baseline.</p>")
    return ("<h2>Comparison with the baseline</h2><h3>Overall test scores</h3>"
            + _table(["metric", "model", "baseline"], rows, numeric=(1, 2))
            + f"<h3>Regions where the model is worse than the baseline</h3><p>{comp['n_significant']:,} significant "
            f"of {comp['n_regions']:,} (paired test of the per-row {_e(metric)} difference, q ≤ "
            f"{doc['settings']['alpha']:g}).</p>"
            + _figure(figures, "comparison", "Regions ranked by the difference, with intervals.",
                      "comparison ranking") + table)


def fragment(doc, figures):
    """The report's body (for a notebook, and inside the page)."""
    settings = doc["settings"]
    meta = (f"{_e(doc['created'])} · tamrel {_e(doc['tamrel_version'])} · metric {_e(settings['metric'])}, "
            f"threshold {settings['threshold']:g}, alpha {settings['alpha']:g}")
    return "".join([
        f"<header><h1>{_e(doc['title'])}</h1><p class=meta>{meta}</p>{_verdict(doc)}</header>",
        _conditions(doc), _summary(doc), _weak(doc, figures), _model(doc, figures), _comparison(doc, figures),
        "<footer>Regions are found on the training rows and tested on the test rows; q-values are "
        "Benjamini-Hochberg adjusted over the whole scan. Bias or noise: the region's mean outcome against its "
        "mean prediction on its test rows. Made by tamrel's ValidationReport.</footer>",
    ])


def page(doc, figures):
    """The whole self-contained HTML page."""
    return (f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
            f'<meta http-equiv="Content-Security-Policy" content="{_CSP}">'
            f'<meta name="viewport" content="width=device-width, initial-scale=1">'
            f"<title>{_e(doc['title'])}</title><style>{_CSS}</style></head>"
            f"<body>{fragment(doc, figures)}</body></html>\n")
