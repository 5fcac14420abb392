"""Every public class states its defaults once: the signature, the docstring and the stub agree."""

import ast
import inspect
import re
from pathlib import Path

import pytest

import tamrel
from tamrel.diagnoser import frailzone
from tamrel.diagnoser.scan_settings import COMPARE, SCAN
from tamrel.models.xgb2.bagged_settings import CLASSIFIER, REGRESSOR
from tamrel.models.xgb2 import xgboost
from tamrel.settings import number, one_of

CLASSES = [frailzone.FrailZone, frailzone.FrailScan, frailzone.FrailCompare, xgboost.XGB2Regressor,
           xgboost.XGB2Classifier, xgboost.XGB2BaggedRegressor, xgboost.XGB2BaggedClassifier]
STUBS = {frailzone: "diagnoser/frailzone.pyi", xgboost: "models/xgb2/xgboost.pyi"}


def _doc_defaults(cls):
    return {m.group(1): m.group(2) for m in re.finditer(r"^ *(\w+) : [^\n]*?default=([^\n]+)$", cls.__doc__, re.M)}


def _stub_defaults(cls, module):
    tree = ast.parse((Path(tamrel.__file__).parent / STUBS[module]).read_text())
    node = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls.__name__)
    init = next(n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__init__")
    args = init.args.args[-len(init.args.defaults):] if init.args.defaults else []
    return {a.arg: ast.literal_eval(d) for a, d in zip(args, init.args.defaults)}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_signature_docstring_and_stub_agree(cls):
    signature = {n: p.default for n, p in inspect.signature(cls).parameters.items()
                 if p.default is not inspect.Parameter.empty}
    documented = _doc_defaults(cls)
    assert set(signature) <= set(documented) | {"estimator", "slice_features"}
    for name, default in signature.items():
        if name in documented:
            assert documented[name] == repr(default).replace("'", '"'), (cls.__name__, name)
    module = frailzone if cls.__module__.endswith("frailzone") else xgboost
    assert _stub_defaults(cls, module) == signature


def test_settings_tables_are_the_signatures():
    from tamrel.report import ValidationReport
    from tamrel.report.report_settings import SETTINGS

    documented = _doc_defaults(ValidationReport)
    assert all(documented[s.name] == (f'"{s.default}"' if isinstance(s.default, str) else repr(s.default))
               for s in SETTINGS)
    for cls, table in ((frailzone.FrailScan, SCAN), (frailzone.FrailCompare, COMPARE), (ValidationReport, SETTINGS),
                       (xgboost.XGB2BaggedRegressor, REGRESSOR), (xgboost.XGB2BaggedClassifier, CLASSIFIER)):
        assert [(s.name, s.default) for s in table] == [
            (n, p.default) for n, p in inspect.signature(cls).parameters.items()]


def test_checks_name_the_setting():
    with pytest.raises(TypeError, match="alpha must be a number"):
        number()("x", "alpha")
    with pytest.raises(ValueError, match=r"alpha must lie in \(0, 1\)"):
        number(0, 1, low_open=True, high_open=True)(1, "alpha")
    with pytest.raises(ValueError, match="must be one of 'a', 'b'"):
        one_of("a", "b")("c", "kind")
    assert one_of(False, True, "split")(True, "use_test") is True
