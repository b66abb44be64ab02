"""No reference leaks: every exported function, called a few thousand times
on its success path and on each of its error paths (guard refusal, bad
arguments, host failures), leaves the interpreter's count of live memory
blocks where it found it and the reference counts of its arguments unchanged.

A leaked reference keeps an object alive, so a per-call leak grows the count
by at least one block per call; a window of n calls may grow by n / 2 at
most. The interpreter and the simulated host fill caches of their own while a
path warms up, so a window that grew more is measured again (up to four
windows) before the path counts as leaking: a real leak grows every window
alike. A leaked reference to an argument shows in the argument's count.
"""

import _ctypes
import gc
import importlib
import json
import os
import shutil
import sys
import tempfile
import threading
import tracemalloc
import types

import pytest
from _catalog import GUARDED

import veltrane_sim
from veltrane_computer import veltrane_core

# Calls per measured window, by the cost of one call.
FAST = 2000
MEDIUM = 400
SLOW = 120
SOLVE = 80

# Windows measured before a path counts as leaking. Traced blocks (see
# live_blocks) include the interpreter's own buffers, which settle more
# slowly than its small objects, so a traced run allows more.
WINDOWS = 4
TRACED_WINDOWS = 8


# ---------------------------------------------------------------- measuring


def live_blocks():
    """Live allocations: the small-object allocator's block count, or, when the
    interpreter runs on the system allocator (PYTHONMALLOC=malloc, as in the
    sanitizer run, where that count is always 0), the number of blocks traced
    by tracemalloc, which this module starts for itself then."""
    blocks = sys.getallocatedblocks()
    if blocks:
        return blocks
    return len(tracemalloc.take_snapshot().traces)


@pytest.fixture(scope="module", autouse=True)
def traced_when_needed():
    started = False
    if sys.getallocatedblocks() == 0 and not tracemalloc.is_tracing():
        tracemalloc.start()
        started = True
    yield
    if started:
        tracemalloc.stop()


def attempt(action):
    try:
        action()
    except Exception:
        pass


def settle():
    veltrane_sim.journal.clear()
    gc.collect()


# The interpreter's attribute cache keeps a reference to each name looked up
# through it until its slot is taken, so a name made afresh per call (one read
# from a file) stays alive. Emptied as a window starts, that growth shows in
# every window, whatever ran before.
clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def watchable(value):
    """Arguments whose reference count the test owns: not the shared singletons
    and small numbers whose counts move with everything else."""
    return not (value is None or isinstance(value, (bool, int, float)))


def assert_no_leak(action, calls, watched=(), cold_cache=False):
    watched = tuple(value for value in watched if watchable(value))
    for _ in range(calls):
        attempt(action)
    bound = max(calls // 2, 10)
    history = []
    for _ in range(WINDOWS if sys.getallocatedblocks() else TRACED_WINDOWS):
        settle()
        if cold_cache:
            clear_type_cache()
        counts = [sys.getrefcount(value) for value in watched]
        start = live_blocks()
        for _ in range(calls):
            attempt(action)
        settle()
        growth = live_blocks() - start
        now = [sys.getrefcount(value) for value in watched]
        moved = [after - before for after, before in zip(now, counts, strict=True)]
        history.append((growth, moved))
        if growth <= bound and not any(moved):
            return
    pytest.fail(f"{calls} calls per window: (block growth, argument reference count changes) = {history}")


def outcome(action):
    try:
        return action()
    except Exception as error:
        return error


def check_expected(result, expected):
    if isinstance(expected, type) and issubclass(expected, BaseException):
        assert isinstance(result, expected), f"expected {expected.__name__}, got {result!r}"
    elif callable(expected):
        assert not isinstance(result, BaseException), f"raised {result!r}"
        assert expected(result), f"unexpected result {result!r}"
    else:
        assert result == expected


# ---------------------------------------------------------------- the world


def quiet(*values, **options):
    pass


class LightSolver:
    """A solver stand-in that keeps nothing: the host's own run allocates and
    caches enough to drown a one-block leak, and the module's handling of the
    objects it is given does not depend on what the host does with them."""

    built = 1
    ran = 0

    def __init__(self, *args):
        self.IgnoreWarnings = False

    def BuildAnalysisModel(self, keepDistantModels):
        return self.built

    def Run(self):
        return self.ran

    def GetAnalysisModel(self):
        return self

    def Dispose(self):
        pass


class LightSolution:
    def __init__(self, model, solver):
        self.solver = solver

    def Dispose(self):
        pass


class Disposable:
    def __init__(self, error=None):
        self.error = error

    def Dispose(self):
        if self.error is not None:
            raise self.error


DLLS = [
    "Veltrane.SDK.dll",
    "Veltrane.Helper.dll",
    "Veltrane.Tubrolis.Core.dll",
    "Veltrane.Vazer.Core.dll",
    "Veltrane.DiroZiziva.Core.dll",
    "Veltrane.Tubrolis.Project.dll",
]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """The files every scenario works on, made once: an installation, sample
    models, a project. The scenarios leave them as they found them."""
    root = tmp_path_factory.mktemp("leaks")
    f = types.SimpleNamespace(tmp=root)
    f.installation = veltrane_sim.make_installation(root / "installation")
    f.models = str(root / "models")
    os.mkdir(f.models)
    f.pipe = veltrane_sim.write_tessel(os.path.join(f.models, "pipe.tessel"), "piping")
    f.frame_dir = str(root / "frame")
    os.mkdir(f.frame_dir)
    f.frame = veltrane_sim.write_tessel(os.path.join(f.frame_dir, "frame.tessel"), "structure")
    f.bad = str(root / "bad.tessel")
    with open(f.bad, "w", encoding="utf-8") as file:
        file.write("not a model")
    f.empty = str(root / "empty")
    os.mkdir(f.empty)
    f.missing = str(root / "missing")
    f.temp = str(root / "temp")
    os.mkdir(f.temp)
    f.projects = str(root / "projects")
    os.mkdir(f.projects)
    f.project = os.path.join(f.projects, "Plant")
    os.mkdir(f.project)
    f.settings = f.installation.settings()
    with open(f.installation.data_sources_path, encoding="utf-8-sig") as file:
        f.sources = json.load(file)
    return f


@pytest.fixture
def world(files, core, monkeypatch):
    """Set up against the simulated installation, every assembly already
    loaded, output and thread reports silenced."""
    w = types.SimpleNamespace(core=core, **vars(files))
    veltrane_sim.use_installation(files.installation)
    files.installation.bind(core)
    core.print = quiet
    assert core.setup_veltrane_computer(files.installation.directory, core.VeltraneModule.Tubrolis)
    for name in DLLS:
        core.load_dll(name)
    monkeypatch.setattr(tempfile, "tempdir", files.temp)
    monkeypatch.setattr(threading, "excepthook", lambda arguments: None)
    if not os.path.exists(veltrane_sim.project_file_for(files.project)):
        from Veltrane.Tubrolis.Project import ProjectViewModel
        from System.Windows import Point

        ProjectViewModel(None).CreateNewProject(files.project, Point(0.0, 0.0), "", "S1",
                                                 sys.modules["Veltrane.SDK"].VeltraneModule.Tubrolis)
    w.piping = core.loadTessel(files.pipe)
    w.structure = core.loadTessel(files.frame)
    w.Tubrolis = sys.modules["Veltrane.SDK"].VeltraneModule.Tubrolis
    w.switches = veltrane_sim.switches
    w.monkeypatch = monkeypatch
    veltrane_sim.journal.clear()
    return w


def light_host(w, **outcomes):
    """Solver runs with stand-ins that keep nothing (see LightSolver)."""
    solver = type("LightSolver", (LightSolver,), outcomes)
    w.monkeypatch.setattr(importlib.import_module("Veltrane.Vazer.Core"), "VazerSolver", solver)
    w.monkeypatch.setattr(importlib.import_module("Veltrane.DiroZiziva.Core"), "DiroZizivaSolver", solver)
    w.monkeypatch.setattr(importlib.import_module("Veltrane.Tubrolis.Core"), "Solution", LightSolution)


def fail(op):
    def prepare(w):
        w.switches.fail(op)

    return prepare


def nonempty_text(result):
    return isinstance(result, str) and result != ""


# ---------------------------------------------------------------- scenarios
#
# Each scenario: id, calls per window, expected outcome, build and prepare.
# build(w) gives (function name, arguments) or (function name, arguments,
# step run before every call); prepare(w), if any, runs once before (host
# failures, stand-ins, globals). The expected outcome is an exception class,
# a predicate on the result, or the result itself.


def fresh_dlls(w):
    w.core._dlls_ = []


def remake_folder(path):
    def prepare(w):
        os.makedirs(path(w), exist_ok=True)

    return prepare


def scenario(id, calls, expected, build, prepare=None):
    return pytest.param(calls, expected, build, prepare, id=id)


SCENARIOS = [
    # setup_veltrane_computer
    scenario("setup-ok", MEDIUM, True,
             lambda w: ("setup_veltrane_computer", (w.installation.directory, w.core.VeltraneModule.Tubrolis))),
    scenario("setup-no-extensions", MEDIUM, False,
             lambda w: ("setup_veltrane_computer", (w.models, w.core.VeltraneModule.All))),
    scenario("setup-missing-directory", FAST, FileNotFoundError,
             lambda w: ("setup_veltrane_computer", (w.missing, 0))),
    scenario("setup-bad-settings", MEDIUM, ValueError,
             lambda w: ("setup_veltrane_computer", (w.installation.directory, 0)),
             lambda w: setattr(w.core, "_settingsPath_", w.bad)),
    scenario("setup-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("setup_veltrane_computer", (w.installation.directory, 0)), fail("CommandController.ctor")),
    scenario("setup-bad-argument", FAST, TypeError, lambda w: ("setup_veltrane_computer", (None, 0))),
    # load_dll, load_dll_c
    scenario("load_dll-loaded", FAST, None, lambda w: ("load_dll", ("Veltrane.SDK.dll",))),
    scenario("load_dll-loads", MEDIUM, None, lambda w: ("load_dll", ("Veltrane.SDK.dll",), fresh_dlls)),
    scenario("load_dll-not-found", FAST, FileNotFoundError, lambda w: ("load_dll", ("Nothing.dll",))),
    scenario("load_dll-bridge-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("load_dll", ("Veltrane.SDK.dll",), fresh_dlls), fail("clr.AddReference")),
    scenario("load_dll-bad-argument", FAST, TypeError, lambda w: ("load_dll", (None,))),
    scenario("load_dll_c-loads", MEDIUM, None, lambda w: ("load_dll_c", (_ctypes.__file__,), fresh_dlls)),
    scenario("load_dll_c-refused", MEDIUM, OSError, lambda w: ("load_dll_c", (w.pipe,), fresh_dlls)),
    # settings readers
    scenario("FindSolverPaths-ok", FAST, lambda r: r[0] is not None and r[1] is not None,
             lambda w: ("FindSolverPaths", (w.settings,))),
    scenario("FindSolverPaths-missing-key", FAST, KeyError, lambda w: ("FindSolverPaths", ({"Families": [{}]},))),
    scenario("FindSolverPaths-bad-argument", FAST, TypeError, lambda w: ("FindSolverPaths", (5,))),
    scenario("FindDataProjectPaths-ok", FAST, lambda r: len(r) == 2, lambda w: ("FindDataProjectPaths", (w.sources,))),
    scenario("FindDataProjectPaths-missing-key", FAST, KeyError,
             lambda w: ("FindDataProjectPaths", ({"CurrentDatasDirectory": "d"},))),
    # model files
    scenario("loadTessel-ok", MEDIUM, lambda r: r is not None, lambda w: ("loadTessel", (w.pipe,))),
    scenario("loadTessel-missing", FAST, None, lambda w: ("loadTessel", (w.missing,))),
    scenario("loadTessel-unreadable", MEDIUM, None, lambda w: ("loadTessel", (w.bad,))),
    scenario("loadTessel-host-failure", MEDIUM, None, lambda w: ("loadTessel", (w.pipe,)), fail("Model.LoadFromFile")),
    scenario("loadTessel-no-model", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("loadTessel", (w.pipe,)), fail("Model.ctor")),
    scenario("loadTessel-bad-argument", FAST, TypeError, lambda w: ("loadTessel", (None,))),
    scenario("saveTessel-ok", SLOW, None, lambda w: ("saveTessel", (w.piping, w.pipe))),
    scenario("saveTessel-none", FAST, None, lambda w: ("saveTessel", (None, w.pipe))),
    scenario("saveTessel-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("saveTessel", (w.piping, w.pipe)), fail("Model.SaveToFile")),
    scenario("saveTessel-no-library", MEDIUM, OSError, lambda w: ("saveTessel", (w.piping, w.pipe)),
             lambda w: setattr(w.core, "_dllPath_", w.empty)),
    scenario("getTessel-ok", FAST, nonempty_text, lambda w: ("getTessel", (w.models,))),
    scenario("getTessel-none", FAST, "", lambda w: ("getTessel", (w.empty,))),
    scenario("getTessel-missing", FAST, FileNotFoundError, lambda w: ("getTessel", (w.missing,))),
    # model creation
    scenario("createTessel-ok", MEDIUM, lambda r: r is not None, lambda w: ("createTessel", (w.Tubrolis,))),
    scenario("createTessel-bad-kind", FAST, TypeError, lambda w: ("createTessel", (5,))),
    scenario("createTessel-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("createTessel", (w.Tubrolis,)), fail("LayerCollection.Add")),
    scenario("createPipingTessel-ok", MEDIUM, lambda r: r is not None, lambda w: ("createPipingTessel", ())),
    scenario("createPipingTessel-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("createPipingTessel", ()), fail("Layer.ctor")),
    scenario("createStructureTessel-ok", MEDIUM, lambda r: r is not None, lambda w: ("createStructureTessel", ())),
    scenario("createStructureTessel-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("createStructureTessel", ()), fail("Model.ctor")),
    # solving
    scenario("solve-in-place", SOLVE, lambda r: isinstance(r, LightSolution),
             lambda w: ("solve", (w.pipe, "Vazer", False)), light_host),
    scenario("solve-sandbox", SOLVE, lambda r: isinstance(r, LightSolution),
             lambda w: ("solve", (w.pipe, "DiroZiziva", True)), light_host),
    scenario("solve-structure", SOLVE, lambda r: isinstance(r, LightSolution),
             lambda w: ("solve", (w.frame, "any", False)), light_host),
    scenario("solve-invalid-filename", FAST, None, lambda w: ("solve", (w.missing, "Vazer", False))),
    scenario("solve-invalid-tessel", MEDIUM, None, lambda w: ("solve", (w.bad, "Vazer", False))),
    scenario("solve-run-fails", SOLVE, None, lambda w: ("solve", (w.pipe, "Vazer", False)),
             lambda w: light_host(w, ran=2)),
    scenario("solve-build-fails", SOLVE, None, lambda w: ("solve", (w.pipe, "Vazer", False)),
             lambda w: light_host(w, built=-3)),
    scenario("solve-worker-fails", SOLVE, None, lambda w: ("solve", (w.pipe, "Vazer", False)),
             fail("VazerSolver.ctor")),
    scenario("solve-bad-sandbox", FAST, ZeroDivisionError, lambda w: ("solve", (w.pipe, "Vazer", Unreliable()))),
    scenario("disposeSolution-nothing", FAST, None, lambda w: ("disposeSolution", ())),
    scenario("disposeSolution-disposes", FAST, None, lambda w: ("disposeSolution", ()),
             lambda w: setattr(w.core, "_Solution_", Disposable())),
    scenario("disposeSolution-dispose-fails", FAST, ValueError, lambda w: ("disposeSolution", ()),
             lambda w: setattr(w.core, "_Solution_", Disposable(ValueError("no")))),
    scenario("disposeSolution-deletes-sandbox", MEDIUM, None, lambda w: ("disposeSolution", ()),
             lambda w: (os.makedirs(os.path.join(str(w.tmp), "sandbox"), exist_ok=True),
                        setattr(w.core, "_tempDirectory_", os.path.join(str(w.tmp), "sandbox")))),
    scenario("disposeSolution-cannot-delete", FAST, None, lambda w: ("disposeSolution", ()),
             lambda w: (setattr(w.core, "_tempDirectory_", w.models),
                        setattr(w.core, "shutil", types.SimpleNamespace(rmtree=refuse)))),
    scenario("solvePipingModel-Vazer", SOLVE, lambda r: isinstance(r, LightSolution),
             lambda w: ("solvePipingModel", (w.piping, w.pipe, "Vazer", w.models)), light_host),
    scenario("solvePipingModel-DiroZiziva", SOLVE, lambda r: isinstance(r, LightSolution),
             lambda w: ("solvePipingModel", (w.piping, w.pipe, "DiroZiziva", w.models)), light_host),
    scenario("solvePipingModel-no-tessel", FAST, OSError,
             lambda w: ("solvePipingModel", (None, w.pipe, "Vazer", w.models))),
    scenario("solvePipingModel-not-piping", FAST, OSError,
             lambda w: ("solvePipingModel", (w.structure, w.frame, "Vazer", w.frame_dir))),
    scenario("solvePipingModel-bad-solver-name", FAST, None,
             lambda w: ("solvePipingModel", (w.piping, w.pipe, "vazer", w.models))),
    scenario("solvePipingModel-no-solver-path", FAST, None,
             lambda w: ("solvePipingModel", (w.piping, w.pipe, "DiroZiziva", w.models)),
             lambda w: setattr(w.core, "_DiroZiziva_", None)),
    scenario("solvePipingModel-worker-fails", SOLVE, None,
             lambda w: ("solvePipingModel", (w.piping, w.pipe, "DiroZiziva", w.models)), fail("DiroZizivaSolver.ctor")),
    scenario("solveStructureModel-ok", SOLVE, lambda r: isinstance(r, LightSolution),
             lambda w: ("solveStructureModel", (w.structure, w.frame, w.frame_dir)), light_host),
    scenario("solveStructureModel-not-structure", FAST, OSError,
             lambda w: ("solveStructureModel", (w.piping, w.pipe, w.models))),
    scenario("_DiroZizivaSolve-ok", MEDIUM, None,
             lambda w: ("_DiroZizivaSolve", (w.piping, w.pipe, w.models)), light_host),
    scenario("_DiroZizivaSolve-run-fails", SLOW, None, lambda w: ("_DiroZizivaSolve", (w.piping, w.pipe, w.models)),
             lambda w: setattr(w.switches, "diroziziva_run_result", 1)),
    scenario("_DiroZizivaSolve-no-com", FAST, veltrane_sim.InvalidOperationException,
             lambda w: ("_DiroZizivaSolve", (w.piping, w.pipe, w.models)), fail("pythoncom.CoInitialize")),
    scenario("_DiroZizivaSolve-missing-directory", SLOW, FileNotFoundError,
             lambda w: ("_DiroZizivaSolve", (w.piping, w.pipe, w.missing))),
    scenario("_VazerSolve-ok", MEDIUM, None, lambda w: ("_VazerSolve", (w.piping, w.pipe, w.models)), light_host),
    scenario("_VazerSolve-build-fails", SLOW, None, lambda w: ("_VazerSolve", (w.piping, w.pipe, w.models)),
             lambda w: setattr(w.switches, "vazer_build_result", -1)),
    scenario("_VazerSolve-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("_VazerSolve", (w.piping, w.pipe, w.models)), fail("VazerSolver.IgnoreWarnings")),
    scenario("_VazerSolve-missing-directory", FAST, FileNotFoundError,
             lambda w: ("_VazerSolve", (w.piping, w.pipe, w.missing))),
    # utilities
    scenario("find_first_file-found", FAST, nonempty_text, lambda w: ("find_first_file", (w.models, ".tessel"))),
    scenario("find_first_file-none", FAST, "", lambda w: ("find_first_file", (w.models, ".thf"))),
    scenario("find_first_file-missing", FAST, FileNotFoundError, lambda w: ("find_first_file", (w.missing, ".thf"))),
    scenario("find_first_file-bad-extension", FAST, TypeError, lambda w: ("find_first_file", (w.models, 5))),
    scenario("copyDirectoryToTemp-ok", SLOW, nonempty_text, lambda w: ("copyDirectoryToTemp", (w.models,)), None),
    scenario("copyDirectoryToTemp-fails", MEDIUM, "", lambda w: ("copyDirectoryToTemp", (w.missing,))),
    scenario("inspectClass-ok", MEDIUM, nonempty_text, lambda w: ("inspectClass", (w.piping, True))),
    scenario("inspectClass-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("inspectClass", (w.piping, False)), fail("VeltraneClassInspector.ExportObjectToJson")),
    scenario("findNameSpaceAndAssembly-found", MEDIUM, lambda r: r[0] == "Veltrane.Tubrolis.Core",
             lambda w: ("findNameSpaceAndAssembly", ("Model",))),
    scenario("findNameSpaceAndAssembly-unknown", MEDIUM, (None, None),
             lambda w: ("findNameSpaceAndAssembly", ("NoSuchClass",))),
    scenario("findNameSpaceAndAssembly-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("findNameSpaceAndAssembly", ("Model",)),
             fail("VeltraneClassInspector.FindNamespaceAndAssemblyFromClassName")),
    # solver input file, commands
    scenario("writeFreFile-ok", SLOW, None, lambda w: ("writeFreFile", (w.piping, w.pipe))),
    scenario("writeFreFile-no-library", FAST, OSError, lambda w: ("writeFreFile", (w.piping, w.pipe)),
             lambda w: setattr(w.core, "_dllPath_", w.empty)),
    scenario("writeFreFile-no-settings", MEDIUM, None, lambda w: ("writeFreFile", (w.piping, w.pipe)),
             lambda w: setattr(w.switches, "no_settings_controller", True)),
    scenario("writeFreFile-bad-setting", MEDIUM, ValueError, lambda w: ("writeFreFile", (w.piping, w.pipe)),
             lambda w: w.switches.set_setting("DIROZIZIVA", "MAX FIELD LENGTH", "8.5")),
    scenario("writeFreFile-host-failure", SLOW, veltrane_sim.InvalidOperationException,
             lambda w: ("writeFreFile", (w.piping, w.pipe)), fail("Model.WriteFreFile")),
    scenario("createCommand-ok", MEDIUM, lambda r: r is not None,
             lambda w: ("createCommand", ("RenumberNodes", w.piping))),
    scenario("createCommand-unknown", MEDIUM, veltrane_sim.ArgumentException,
             lambda w: ("createCommand", ("NoSuchCommand", w.piping))),
    scenario("executeCommand-ok", MEDIUM, None, lambda w: ("executeCommand", (command(w),))),
    scenario("executeCommand-refused", FAST, veltrane_sim.ArgumentNullException,
             lambda w: ("executeCommand", (None,))),
    # project folders, projects, studies
    scenario("addProjectFolder-ok", SLOW, nonempty_text, lambda w: ("addProjectFolder", (w.projects, "Folder")),
             None),
    scenario("addProjectFolder-exists", FAST, "", lambda w: ("addProjectFolder", (w.projects, "Plant"))),
    scenario("addProjectFolder-fails", MEDIUM, OSError, lambda w: ("addProjectFolder", (w.pipe, "sub"))),
    scenario("removeProjectFolder-ok", SLOW, None, lambda w: ("removeProjectFolder", (os.path.join(w.projects, "F"),)),
             remake_folder(lambda w: os.path.join(w.projects, "F"))),
    scenario("removeProjectFolder-missing", FAST, None, lambda w: ("removeProjectFolder", (w.missing,))),
    scenario("removeProjectFolder-cannot-delete", FAST, None, lambda w: ("removeProjectFolder", (w.models,)),
             lambda w: setattr(w.core, "shutil", types.SimpleNamespace(rmtree=refuse))),
    scenario("addProject-exists", FAST, "",
             lambda w: ("addProject", (w.projects, "Plant", "S1", 1920, 1080, w.Tubrolis))),
    scenario("addProject-host-failure", SLOW, veltrane_sim.InvalidOperationException,
             lambda w: ("addProject", (w.projects, "P2", "S1", 1920, 1080, w.Tubrolis)),
             fail("ProjectViewModel.CreateNewProject")),
    scenario("addProject-bad-screen", SLOW, TypeError,
             lambda w: ("addProject", (w.projects, "P5", "S1", "wide", 1080, w.Tubrolis))),
    scenario("addPipingProject-ok", SLOW, nonempty_text,
             lambda w: ("addPipingProject", (w.projects, "P3", "S1", 1920, 1080)), None),
    scenario("addStructureProject-exists", FAST, "",
             lambda w: ("addStructureProject", (w.projects, "Plant", "S1", 1920, 1080))),
    scenario("removeProject-ok", SLOW, None, lambda w: ("removeProject", (os.path.join(w.projects, "P4"),)),
             remake_folder(lambda w: os.path.join(w.projects, "P4"))),
    scenario("removeProject-missing", FAST, None, lambda w: ("removeProject", (w.missing,))),
    scenario("addStudy-exists", MEDIUM, None, lambda w: ("addStudy", (w.project, "S1", 1920, 1080, w.Tubrolis))),
    scenario("addStudy-no-project", FAST, None, lambda w: ("addStudy", (w.models, "S2", 1920, 1080, w.Tubrolis))),
    scenario("addStudy-bad-screen", MEDIUM, TypeError,
             lambda w: ("addStudy", (w.project, "S2", 1920, None, w.Tubrolis))),
    scenario("addStudy-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("addStudy", (w.project, "S2", 1920, 1080, w.Tubrolis)),
             fail("ProjectViewModel.AddEmptyStudy")),
    scenario("addPipingStudy-exists", MEDIUM, None, lambda w: ("addPipingStudy", (w.project, "S1", 1920, 1080))),
    scenario("addStructureStudy-exists", MEDIUM, None, lambda w: ("addStructureStudy", (w.project, "S1", 1920, 1080))),
    scenario("addPipingStudy-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("addPipingStudy", (w.project, "S2", 1920, 1080)), fail("ProjectViewModel.LoadFromFile")),
    scenario("removeStudy-missing-study", MEDIUM, None, lambda w: ("removeStudy", (w.project, "S9"))),
    scenario("removeStudy-last-refused", SLOW, None, lambda w: ("removeStudy", (w.project, "S1"))),
    scenario("removeStudy-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("removeStudy", (w.project, "S1")), fail("ProjectViewModel.SetCurrentStudy")),
    scenario("duplicateStudy-missing-study", MEDIUM, None, lambda w: ("duplicateStudy", (w.project, "S9", "C"))),
    scenario("duplicateStudy-host-failure", MEDIUM, veltrane_sim.InvalidOperationException,
             lambda w: ("duplicateStudy", (w.project, "S1", "C")), fail("ProjectViewModel.DuplicateCurrentStudy")),
]


class Unreliable:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def refuse(*args, **kwargs):
    raise PermissionError("refused")


def command(w):
    return w.core.createCommand("RenumberNodes", w.piping)


# Success paths that make something each call: the leak test undoes it in the
# same call, since what the call made is data, not a leak.
CLEANUPS = {
    "copyDirectoryToTemp-ok": lambda result: shutil.rmtree(result),
    "addProjectFolder-ok": lambda result: os.rmdir(result),
    "addPipingProject-ok": lambda result: shutil.rmtree(result),
}


@pytest.mark.parametrize("calls, expected, build, prepare", SCENARIOS)
def test_no_leak(world, request, calls, expected, build, prepare):
    built = build(world)
    name, arguments = built[0], built[1]
    per_call = built[2] if len(built) > 2 else None
    if prepare is not None:
        prepare(world)
    function = getattr(world.core, name)
    cleanup = CLEANUPS.get(request.node.callspec.id)

    def action():
        if per_call is not None:
            per_call(world)
        result = function(*arguments)
        if cleanup is not None:
            cleanup(result)
        return result

    check_expected(outcome(action), expected)
    assert_no_leak(action, calls, watched=arguments)


# Paths that change what they work on: each call is undone by the next.
def test_study_add_and_remove(world):
    core = world.core

    def action():
        assert core.addPipingStudy(world.project, "S2", 1920, 1080).Name == "S2"
        assert core.removeStudy(world.project, "S2") is None

    action()
    assert_no_leak(action, SLOW // 2, watched=(world.project,))


def test_study_duplicate_and_remove(world):
    core = world.core
    project_file = veltrane_sim.project_file_for(world.project)

    def action():
        core.duplicateStudy(world.project, "S1", "Copy")
        core.removeStudy(world.project, "Copy")

    action()
    assert [s["name"] for s in veltrane_sim.read_project(project_file)["studies"]] == ["S1"]
    assert_no_leak(action, SLOW // 2, watched=(world.project,))


def test_loading_keeps_no_name_it_read(world):
    """Each load reads the model's module name afresh; looked up by attribute,
    each copy would stay in the interpreter's attribute cache. A solve loads."""
    light_host(world)
    assert_no_leak(lambda: world.core.loadTessel(world.pipe), MEDIUM, watched=(world.pipe,), cold_cache=True)
    assert_no_leak(lambda: world.core.solve(world.pipe, "Vazer", False), SOLVE, cold_cache=True)


# ---------------------------------------------------------------- every function


def signature(function):
    """Parameter names, from the first line of the docstring."""
    first = function.__doc__.split("\n", 1)[0]
    inside = first[first.index("(") + 1 : first.rindex(")")]
    return [name.strip() for name in inside.split(",") if name.strip()]




@pytest.mark.parametrize("name", [name for name, value in vars(veltrane_core).items() if type(value) is type(len)])
def test_binding_errors_do_not_leak(core, name):
    """Too many arguments, an unexpected keyword, a parameter given twice and
    a missing one: each binds some arguments before it fails."""
    function = getattr(core, name)
    parameters = signature(function)
    values = tuple(object() for _ in range(len(parameters) + 1))
    # Keyword names made at run time: no interned copy hides a leaked reference.
    unexpected = {"".join(["unex", "pected"]): object()}
    if parameters:
        twice = {"".join(parameters[0]): object()}
        by_name = dict(zip(parameters[:-1], values[: len(parameters) - 1], strict=True))
        calls = [
            lambda: function(*values),
            lambda: function(*values[:-1], **unexpected),
            lambda: function(*values[:-1], **twice),
            lambda: function(**by_name),
        ]
        watched = values + (*unexpected, *unexpected.values(), *twice, *twice.values(), *by_name)
    else:
        calls = [lambda: function(*values), lambda: function(**unexpected)]
        watched = values + (*unexpected, *unexpected.values())
    for call in calls:
        assert isinstance(outcome(call), TypeError)

    def action():
        for call in calls:
            attempt(call)

    assert_no_leak(action, MEDIUM, watched=watched)


@pytest.mark.parametrize("name", GUARDED)
def test_guard_refusal_does_not_leak(core, name):
    core._validSetup_ = False
    function = getattr(core, name)
    arguments = tuple(object() for _ in signature(function))
    assert isinstance(outcome(lambda: function(*arguments)), OSError)
    assert_no_leak(lambda: function(*arguments), FAST, watched=arguments)
