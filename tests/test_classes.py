"""The compiled classes of both modules read like Python classes: signatures, method names."""

import inspect
import pydoc

import pytest

from tamrel.diagnoser import frailzone
from tamrel.models.xgb2 import xgboost

CLASSES = [frailzone.FrailZone, frailzone.BaseSlicing, frailzone.HistogramSlicing, frailzone.TreeSlicing,
           frailzone.FrailScan, frailzone.FrailCompare, xgboost.XGB2Base, xgboost.XGB2Regressor,
           xgboost.XGB2Classifier]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_signatures_and_method_names(cls):
    init = inspect.signature(cls.__init__)
    assert list(inspect.signature(cls).parameters) == list(init.parameters)[1:]
    own = {name: value for name, value in vars(cls).items() if callable(value) and not isinstance(value, type)}
    assert "__init__" in own
    for name, method in own.items():
        if isinstance(method, classmethod):
            continue
        method = getattr(cls, name)  # a static method's function
        assert (method.__name__, method.__qualname__) == (name, f"{cls.__name__}.{name}")
        assert method.__module__ == cls.__module__
        if not isinstance(vars(cls)[name], staticmethod):
            assert list(inspect.signature(method).parameters)[0] == "self"
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    assert "pybind11" not in text and f"{cls.__name__}(" in text
