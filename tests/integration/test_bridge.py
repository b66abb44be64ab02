"""The module through the real bridge, and the same scenarios through
veltrane_sim: what a caller sees must not differ."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time

import pytest
from conftest import child_command, child_environment, run_scenarios
from scenarios import ALL


@pytest.fixture(scope="session")
def real(stand_ins, tmp_path_factory):
    root = tmp_path_factory.mktemp("real")
    return root, run_scenarios(root, "real", ALL, stand_ins)


@pytest.fixture(scope="session")
def simulated(bridge, tmp_path_factory):
    return run_scenarios(tmp_path_factory.mktemp("sim"), "sim", ALL)


@pytest.mark.parametrize("scenario", ALL)
def test_both_hosts_look_the_same(real, simulated, scenario):
    assert real[1][scenario] == simulated[scenario]


def seen(value=None, printed=(), **raised):
    return {**raised, "printed": list(printed)} if raised else {"value": value, "printed": list(printed)}


ROOT = "<root>"  # paths as the module answers them, with the platform's separator
HOST_ERROR = {"host": True, "args0 is Message": True, "str adds a trace": True}
MODEL = {"host object": "Model"}
SOLUTION = {"host object": "Solution"}

# What the real bridge must show, scenario by scenario.
EXPECTED = {
    "setup": [
        ("setup, relative", seen(True, ["Veltrane.SDK.dll loaded", "Veltrane.Tubrolis.Core.dll loaded"])),
        ("exe path", os.path.join("inst", "Tubrolis 2025.1")),
        ("load_dll, relative", seen(None, ["Veltrane.Helper.dll loaded"])),
        ("setup, absolute", seen(True)),
        ("setup, missing",
         seen(raised="FileNotFoundError", message=f"The directory '{os.path.join(ROOT, 'missing')}' does not exist.")),
        ("setup, no Extensions", seen(False)),
        ("application", {"host object": "VeltraneApplication"}),
    ],
    "assemblies": [
        ("load_dll, loaded before", seen(None)),
        ("load_dll, missing", seen(raised="FileNotFoundError", message="DLL 'Missing.dll' not found.")),
        ("load_dll, not an assembly", seen(raised="BadImageFormatException", **HOST_ERROR)),
        ("refused name not recorded", False),
        ("import after load", seen({"host class": "VazerSolver"})),
    ],
    "models": [
        ("piping layers", ["0"]),
        ("piping code", {"host object": "PipingCode"}),
        ("structure code", {"host object": "StructureCode"}),
        ("files after saving", ["Pipe1.tessel", "conception.fre"]),
        ("loadTessel", seen(["0"])),
        ("loadTessel, not a model", seen(None)),
        ("getTessel", seen(os.path.join(ROOT, "models", "pipe", "Pipe1.tessel"))),
    ],
    "fre_writer": [
        ("own file written", True),
        ("writeFreFile, no library",
         seen(raised="OSError", message="Invalid setup! Veltrane.DiroZiziva.lib not found!")),
    ],
    "commands": [
        ("flags", [False, False]),
        ("controller model is the tessel", False),
        ("controller model equals the tessel", True),
        ("layers after", ["0", "Layer 1"]),
        ("file unchanged", ["0"]),
        ("layers of each", [["0", "Layer 1"], ["0", "Layer 1"]]),
        ("createCommand, unknown", seen(raised="ArgumentException", **HOST_ERROR)),
    ],
    "solving": [
        ("solve, Vazer", seen(SOLUTION)),
        ("Vazer result", "Pipe1.vres"),
        ("solve, DiroZiziva", seen(SOLUTION, ["Veltrane.DiroZiziva.Core.dll loaded"])),
        ("DiroZiziva result", "conception.dres"),
        ("solve, structure with DiroZiziva", seen("Frame.vres")),
        ("solve, not a model", seen(None, ["Invalid tessel"])),
        ("solvePipingModel, structure", seen(raised="OSError", message="The tessel is not a piping model.")),
        ("solve, nothing to build", seen(None)),
        ("solve, from a thread", seen([SOLUTION, True, "Pipe1.vres"])),
    ],
    "sandbox": [
        ("solve in a sandbox", seen("Pipe1.vres")),
        ("sandbox", [os.path.join("<tmp>", "<uuid>"), ["Pipe1.tessel", "Pipe1.vres", "conception.fre"]]),
        ("caller's folder untouched", True),
        ("first sandbox gone", [False, True]),
        ("second sandbox gone", False),
    ],
    "lifetime": [
        ("disposed", [True, True]),
        ("result of a disposed solution", seen(raised="ObjectDisposedException", **HOST_ERROR)),
    ],
    "bridge": [
        ("host exception", seen(raised="FileNotFoundException", **HOST_ERROR)),
        ("int as object", seen("PyInt")),
        ("Point before the project types", seen(
            raised="ImportError", message="cannot import name 'Point' from 'System.Windows' (unknown location)")),
        ("relative path names a file", True),
        ("AddReference, relative path", seen(raised="FileNotFoundException", **HOST_ERROR)),
    ],
    "projects": [
        ("addPipingProject", seen(os.path.join(ROOT, "projects", "Plant"), ["Veltrane.Tubrolis.Project.dll loaded"])),
        ("project files", ["Plant.project"]),
        ("Point after the project types", seen(1.0)),
        ("addPipingProject, existing", seen("")),
        ("addPipingStudy", seen({"host object": "StudyModel"})),
        ("addPipingStudy, existing", seen(None)),
        ("studies", [True, False, True, False]),
        ("removed", False),
    ],
    "introspection": [
        ("inspectClass, object", seen(["VeltraneApplication", False, False])),
        ("inspectClass, class", seen(["Model", True, True])),
        ("findNameSpaceAndAssembly", seen(["Veltrane.Tubrolis.Project", "Veltrane.Tubrolis.Project.dll"])),
        ("findNameSpaceAndAssembly, unknown", seen([None, None])),
    ],
}


@pytest.mark.parametrize("scenario", ALL)
def test_real_bridge(real, scenario):
    observed = dict(real[1][scenario])
    assert "unexpected error" not in observed, observed.get("unexpected error")
    assert {label: observed.get(label) for label, _ in EXPECTED[scenario]} == dict(EXPECTED[scenario])


def test_files_written_by_the_stand_ins(real):
    pipe = real[0] / "models" / "pipe"
    fre = (pipe / "conception.fre").read_text().splitlines()
    # The installation's defaults: 80, Degrees, restraints and INDI inline, DLCS not, metric.
    assert fre[2:9] == ["maxFieldLength 80", "rotationUnits 1", "includeComments False", "imperialNotation False",
                        "inlineRestraints True", "inlineDlcs False", "inlineIndi True"]
    # The run on the worker thread formats numbers the way setup chose.
    assert "culture en-US" in (pipe / "Pipe1.vres").read_text().splitlines()


# Ctrl-C as each system delivers it: SIGINT; on Windows the console's
# CTRL_C_EVENT to the processes attached to it. There the child gets a
# console of its own, and a helper attaches to it and sends the event
# (ignoring it itself), as pressing Ctrl-C in the child's window would.
SEND_CTRL_C = """
import ctypes, sys
kernel32 = ctypes.windll.kernel32
kernel32.FreeConsole()
sent = (kernel32.AttachConsole(int(sys.argv[1])) and kernel32.SetConsoleCtrlHandler(None, True)
        and kernel32.GenerateConsoleCtrlEvent(0, 0))
sys.exit(0 if sent else 1)
"""
OWN_CONSOLE = subprocess.CREATE_NEW_CONSOLE if sys.platform == "win32" else 0


def press_ctrl_c(child: subprocess.Popen) -> None:
    if sys.platform != "win32":
        child.send_signal(signal.SIGINT)
        return
    subprocess.run([sys.executable, "-c", SEND_CTRL_C, str(child.pid)], stdin=subprocess.DEVNULL, check=True,
                   timeout=60)


def printed_line(log, line: str, child: subprocess.Popen, seconds: float) -> bool:
    """Whether the child printed `line` into the file `log` within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and child.poll() is None:
        if line in log.read_text(encoding="utf-8", errors="replace").splitlines():
            return True
        time.sleep(0.05)
    return False


@pytest.mark.timeout(300)
def test_ctrl_c_during_a_solve_ends_cleanly(stand_ins, tmp_path):
    out, log = str(tmp_path / "observations.json"), tmp_path / "child.log"
    with open(log, "w", encoding="utf-8") as printed:  # a file: a pipe could be held open by what the child starts
        child = subprocess.Popen(
            child_command("real", str(tmp_path), out, ["interrupt"], stand_ins, delay_ms=3000), cwd=tmp_path,
            env=child_environment(), stdin=subprocess.DEVNULL, stdout=printed, stderr=subprocess.STDOUT,
            creationflags=OWN_CONSOLE)
        try:
            assert printed_line(log, "solving", child, 120), log.read_text()
            time.sleep(1)  # well inside the run, which takes three seconds
            press_ctrl_c(child)
            child.wait(timeout=120)
        finally:
            child.kill()
    stdout = log.read_text(encoding="utf-8", errors="replace")
    assert child.returncode == 0, stdout
    assert "fatal" not in stdout.lower() and "ThreadAbortException" not in stdout, stdout
    with open(out, encoding="utf-8") as f:
        assert json.load(f)["interrupt"] == [["interrupted", True], ["no current solution", True]]
    assert "no current solution at exit: True" in stdout.splitlines()
