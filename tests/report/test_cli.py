"""The command line: exit codes, files written, one-line errors."""

import json
import os
import subprocess
import sys

import joblib
import pytest
from sklearn.linear_model import LinearRegression

import tamrel
from report_data import make_frame
from tamrel.report.cli import main, parse_fail_on

# the folder the tests import tamrel from (the source tree or the installed package)
SRC = os.path.dirname(os.path.dirname(tamrel.__file__))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    frame = make_frame(n=4000, seed=1)
    frame["c"] = frame["c"].astype(str)
    model = LinearRegression().fit(frame[["b"]], frame["y"])
    joblib.dump(model, folder / "model.joblib")
    frame[["b", "y", "pred", "test"]].to_csv(folder / "data.csv", index=False)
    frame[["b", "y"]].to_csv(folder / "model_data.csv", index=False)
    frame.to_parquet(folder / "data.parquet")
    return folder


def test_exit_codes_and_outputs(files, capsys):
    html, out = files / "r.html", files / "r.json"
    code = main([str(files / "data.parquet"), "--target", "y", "--prediction", "pred", "--split", "test",
                 "--html", str(html), "--json", str(out)])
    assert code == 1 and "FAILED" in capsys.readouterr().out  # the noisy regions fail the default gate
    assert json.loads(out.read_text())["passed"] is False and html.read_text().startswith("<!DOCTYPE html>")
    assert main([str(files / "model_data.csv"), "--target", "y", "--model", str(files / "model.joblib"),
                 "--fail-on", "test_score"]) == 0
    assert main([str(files / "data.csv"), "--target", "y", "--prediction", "pred", "--fail-on", "none"]) == 0


@pytest.mark.parametrize("args, message", [
    (["missing.csv", "--target", "y", "--prediction", "pred"], "no such file"),
    (["{d}/data.csv", "--target", "zz", "--prediction", "pred"], "no column 'zz'"),
    (["{d}/data.csv", "--target", "y", "--prediction", "pred", "--fail-on", "nope"], "unknown condition"),
    (["{d}/data.csv", "--target", "y", "--prediction", "pred", "--test-size", "2"], "--test-size"),
    (["{d}/data.csv", "--target", "y", "--model", "{d}/data.csv"], "cannot load the model"),
])
def test_bad_input_exits_2_with_one_line(files, capsys, args, message):
    assert main([a.format(d=files) for a in args]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert message in err[-1] and err[-1].startswith("tamrel report: error:")


def test_fail_on_reads_settings():
    assert parse_fail_on("all") is None
    assert parse_fail_on("weak_regions:min_rows=50;max_count=2") == {
        "weak_regions": {"min_rows": 50.0, "max_count": 2.0}, "test_score": None, "train_test_gap": None,
        "baseline": None}


def test_module_entry_point(files):
    env = dict(os.environ, PYTHONPATH=SRC)
    run = subprocess.run([sys.executable, "-m", "tamrel", "report", "--help"], capture_output=True, text=True, env=env)
    assert run.returncode == 0 and "only load model files you trust" in " ".join(run.stdout.split())
    run = subprocess.run([sys.executable, "-m", "tamrel.demos", "--help"], capture_output=True, text=True, env=env)
    assert run.returncode == 0 and run.stdout.startswith("usage: python -m tamrel.demos")
