"""The veltrane command line, in-process against the simulated host, and the
package's import conventions in processes where no bridge can be imported."""

import json
import os
import re
import subprocess
import sys

import pytest

import veltrane_computer
import veltrane_sim
from veltrane_computer.cli import main

# Makes `clr` and `pythoncom` unimportable in the child, whatever this machine has installed.
NO_BRIDGE = "import sys; sys.modules['clr'] = None; sys.modules['pythoncom'] = None\n"


def run_without_bridge(code, *argv):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run(
        [sys.executable, "-c", NO_BRIDGE + code, *argv], capture_output=True, text=True, env=environment, timeout=120
    )


@pytest.fixture
def simulated(tmp_path):
    return ["--simulated", str(tmp_path / "sim")]


@pytest.fixture
def models(tmp_path):
    paths = []
    for kind, name in (("piping", "Line1"), ("structure", "Rack")):
        (tmp_path / name).mkdir()
        paths.append(veltrane_sim.write_tessel(str(tmp_path / name / f"{name}.tessel"), kind))
    return paths


def test_version_help_and_the_noted_import_error_without_a_bridge():
    version = run_without_bridge(
        "import runpy; runpy.run_module('veltrane_computer', run_name='__main__')", "--version"
    )
    assert (version.returncode, version.stdout) == (0, f"veltrane {veltrane_computer.__version__}\n")
    probe = run_without_bridge(
        "import veltrane_computer, sys\n"
        "from veltrane_computer.cli import main\n"
        "assert 'veltrane_computer.veltrane_core' not in sys.modules\n"
        "try:\n"
        "    from veltrane_computer import veltrane_core\n"
        "except ModuleNotFoundError as error:\n"
        "    print(error.name, error.__notes__[0])\n"
        "main(['solve', '--help'])\n"
    )
    assert probe.returncode == 0, probe.stderr
    first, rest = probe.stdout.split("\n", 1)
    assert first.startswith("clr ") and "pip install veltrane_computer" in first and "veltrane_sim.activate()" in first
    assert rest.startswith("usage: veltrane solve") and "--in-place" in rest


def test_package_names_are_lazy_but_complete(core):
    assert veltrane_computer.solve is core.solve and veltrane_computer._VazerSolve is core._VazerSolve
    assert {"solve", "VeltraneModule", "Session", "veltrane_core", "__version__"} <= set(dir(veltrane_computer))
    from veltrane_computer import SolveError, VeltraneModule  # noqa: F401

    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        veltrane_computer.nothing  # noqa: B018


def test_check_reports_what_setup_finds(simulated, tmp_path, capsys):
    assert main([*simulated, "check"]) == 0
    report = capsys.readouterr().out
    assert "setup would succeed" in report and "Vazer solver" in report and "VazerSolver.exe" in report
    assert main(["check", str(tmp_path / "nowhere")]) == 1
    report = capsys.readouterr().out
    assert f"the installation directory '{tmp_path / 'nowhere'}' does not exist" in report
    assert report.rstrip().endswith("setup would fail")


def test_solve_reports_each_model_and_a_summary(simulated, models, tmp_path, capsys):
    assert main([*simulated, "solve", *models, "--solver", "DiroZiziva", "--output", str(tmp_path / "out")]) == 0
    out = capsys.readouterr().out
    assert "[1/2] " in out and "[2/2] " in out and "2 of 2 solved" in out
    assert sorted(os.listdir(tmp_path / "out")) == ["Line1", "Rack"]
    assert os.listdir(tmp_path / "out" / "Rack") == ["Rack.vres"]  # structure models are solved with Vazer
    missing = str(tmp_path / "Nope.tessel")
    assert main([*simulated, "solve", models[0], missing, "--in-place"]) == 1
    out = capsys.readouterr().out
    assert f"[2/2] {missing}: failed: model: '{missing}' does not exist" in out
    assert re.search(r"\nNope\.tessel +Vazer +missing-model +- +-\n1 of 2 solved\n$", out)


def test_inspect_prints_the_class_json(simulated, capsys):
    assert main([*simulated, "inspect", "Veltrane.Tubrolis.Core.Layer"]) == 0
    assert json.loads(capsys.readouterr().out)["Name"] == "Layer"


@pytest.mark.parametrize(
    "argv,message",
    [
        (["solve", "m.tessel", "--solver", "vazer"], "argument --solver: invalid choice: 'vazer'"),
        (["solve", "m.tessel"], "veltrane solve: error: --installation is required (or --simulated DIR)"),
        (["check"], "veltrane check: error: INSTALLATION is required"),
        (["SIM", "inspect", "NoSuchClass"], "veltrane inspect: error: CLASS: no assembly of "),
        (["SIM", "solve", "m.tessel", "--installation", "x"], "error: --installation x: not with --simulated"),
        (["solve", "m.tessel", "--installation", "nowhere"], "error: the installation directory '"),
        (["--simulated"], "argument --simulated: expected one argument"),
    ],
)
def test_bad_input_is_an_error_line(argv, message, simulated, capsys):
    argv = [*simulated, *argv[1:]] if argv[0] == "SIM" else argv
    with pytest.raises(SystemExit) as exited:
        main(argv)
    error = capsys.readouterr().err
    assert exited.value.code == 2 and message in error and "Traceback" not in error
