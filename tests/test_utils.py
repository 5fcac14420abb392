import numpy as np
import pandas as pd

from tamrel.utils import TestDataResult

TABLE = pd.DataFrame({"[x": [0.0, 1.0, 2.0], "x)": [1.0, 2.0, 3.0], "Gap": [0.1, 0.2, np.nan]})


def test_keeps_key_and_value_object():
    value = {"data": TABLE, "bins": 10}
    result = TestDataResult(key="frailzone_result", value=value)
    assert result.key == "frailzone_result" and result.value is value


def test_repr_summarises_large_entries():
    value = {"data": TABLE, "x": np.zeros((4, 2)), "names": list("abcdefgh"), "bins": 10,
             "title": "t" * 200, "none": None}
    text = repr(TestDataResult(key="k", value=value))
    assert text.startswith("TestDataResult(key='k', value={")
    assert "'data': <DataFrame 3x3>" in text
    assert "'x': <ndarray shape=(4, 2) float64>" in text
    assert "'names': <list len=8>" in text and "'bins': 10" in text and "'none': None" in text
    assert len(text) < 400
    assert repr(TestDataResult(key="k", value=TABLE)) == "TestDataResult(key='k', value=<DataFrame 3x3>)"


def test_html_shows_every_table_and_escapes_text():
    value = {"data": TABLE, "other": TABLE.iloc[:1], "title": "<a & b>", "bins": 10}
    page = TestDataResult(key="frailzone_result", value=value)._repr_html_()
    assert "<h4>frailzone_result</h4>" in page
    assert page.count("<table border=\"1\" class=\"dataframe\">") == 2
    assert "&lt;a &amp; b&gt;" in page and "<a & b>" not in page
    assert "<table" in TestDataResult(key="k", value=TABLE)._repr_html_()
    assert "[1, 2]" in TestDataResult(key="k", value=[1, 2])._repr_html_()
