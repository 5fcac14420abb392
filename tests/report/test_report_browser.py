"""The report opened in headless Chromium: no request, no console error, every figure decoded,
the verdict and the first finding visible, the page printable.

Needs the Playwright driver and a Chromium (the system's, e.g. Debian's "chromium"); without
them the test is skipped, unless TAMREL_REQUIRE_BROWSER=1 (set by .ci/run) makes that a failure.
"""

import os
import shutil

import pytest

from report_data import make_frame, split
from tamrel.report import ValidationReport

_BROWSERS = ("chromium", "chromium-browser", "google-chrome")


def _browser():
    why = None
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        why = "the Playwright driver is not installed (pip install '.[test]')"
        sync_playwright = None
    path = os.environ.get("TAMREL_CHROMIUM") or next(filter(None, map(shutil.which, _BROWSERS)), None)
    if why is None and path is None:
        why = "no Chromium found (apt-get install chromium)"
    if why is not None:
        if os.environ.get("TAMREL_REQUIRE_BROWSER") == "1":
            pytest.fail(f"TAMREL_REQUIRE_BROWSER=1 but {why}")
        pytest.skip(why)
    return sync_playwright, path


def test_report_in_a_real_browser(tmp_path):
    sync_playwright, executable = _browser()
    frame = make_frame()
    train, test = split(frame)
    x = frame[["a", "b", "c"]]
    report = ValidationReport(None, metric="MSE", verbose=False).fit(x, frame["y"].to_numpy(), train, test,
                                                                    prediction=frame["pred"].to_numpy())
    path = report.save_html(tmp_path / "report.html")
    first = report.to_dict()["weak_regions"]["findings"][0]["sentence"]
    url = path.resolve().as_uri()
    requests, errors = [], []
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        try:
            page = browser.new_page(viewport={"width": 1200, "height": 900})
            page.on("console", lambda m: errors.append(m.text) if m.type == "error" else None)
            page.on("pageerror", lambda e: errors.append(str(e)))

            def route(r):  # record every request; only the file itself may load
                requests.append(r.request.url)
                r.continue_() if r.request.url == url else r.abort()

            page.route("**/*", route)
            page.goto(url, wait_until="load")
            sizes = page.eval_on_selector_all("img", "imgs => imgs.map(i => [i.complete, i.naturalWidth])")
            assert sizes and all(done and width > 0 for done, width in sizes)
            assert page.locator("#verdict").is_visible()
            assert page.locator("#verdict").inner_text().startswith("FAILED")
            assert page.get_by_text(first, exact=True).is_visible()
            page.screenshot(path=str(tmp_path / "report.png"), full_page=True)
            pdf = page.pdf(format="A4")
        finally:
            browser.close()
    assert [u for u in requests if u != url] == [] and requests.count(url) == 1
    assert errors == []
    assert pdf[:5] == b"%PDF-" and len(pdf) > 10_000
    assert (tmp_path / "report.png").stat().st_size > 10_000
