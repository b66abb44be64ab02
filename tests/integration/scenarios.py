"""Scenarios that drive the module as a script would, written once for both
hosts. Each records what a caller can see -- return values, exception types,
e.Message, printed lines, files -- as JSON-ready observations; host objects
are seen by their class name, paths relative to the scenario's root."""

from __future__ import annotations

import atexit
import contextlib
import io
import json
import os
import re
import tempfile
import threading
from typing import Any, Callable

UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")


class Context:
    """The module, its host and installation, and the observations made so far."""

    def __init__(self, core, host: str, root: str, installation, lay_out: Callable[..., Any]) -> None:
        self.core = core
        self.host = host
        self.root = root
        self.installation = installation
        self.lay_out = lay_out
        self._observations: list[list[Any]] = []

    def path(self, *parts: str) -> str:
        return os.path.join(self.root, *parts)

    def shown(self, value: Any) -> Any:
        """A value as JSON, the same for both hosts whenever a caller could not tell them apart."""
        if value is None or isinstance(value, (bool, int, float)):
            return value
        if isinstance(value, str):
            text = value.replace(os.path.realpath(self.root), "<root>").replace(self.root, "<root>")
            return UUID.sub("<uuid>", text.replace(tempfile.gettempdir(), "<tmp>"))
        if isinstance(value, (tuple, list)):
            return [self.shown(item) for item in value]
        if isinstance(value, type):
            return {"host class": value.__name__}
        return {"host object": type(value).__name__}

    def note(self, label: str, value: Any) -> None:
        self._observations.append([label, self.shown(value)])

    def call(self, label: str, action: Callable[[], Any]) -> Any:
        """Run `action`, noting its result or exception and the lines it printed."""
        printed = io.StringIO()
        result = None
        try:
            with contextlib.redirect_stdout(printed):
                result = action()
            seen: dict[str, Any] = {"value": self.shown(result)}
        except Exception as e:  # what a caller would catch is what is noted
            seen = {"raised": type(e).__name__, **self.exception(e)}
        seen["printed"] = self.shown(printed.getvalue().splitlines())
        self._observations.append([label, seen])
        return result

    def exception(self, e: Exception) -> dict[str, Any]:
        """Module exceptions by their text; host exceptions by how their message is reached."""
        if not hasattr(e, "Message"):
            return {"message": self.shown(str(e))}
        return {"host": True, "args0 is Message": e.args[0] == e.Message,
                "str adds a trace": str(e) != e.Message and str(e).startswith(e.Message + os.linesep)}

    def take(self) -> list[list[Any]]:
        taken, self._observations = self._observations, []
        return taken

    def make_solvable(self, tessel: str, kind: str) -> None:
        """Leave a model file the host's solvers accept, without input files beside it.
        A model the module created solves on the stand-ins; the simulated
        solvers want geometry, which only its sample models have."""
        folder = os.path.dirname(tessel)
        for name in os.listdir(folder):
            if name.lower().endswith(".fre"):
                os.remove(os.path.join(folder, name))
        if self.host == "sim":
            import veltrane_sim

            veltrane_sim.write_tessel(tessel, kind)

    def listing(self, *parts: str) -> list[str]:
        return sorted(os.listdir(self.path(*parts)))

    def layers(self, tessel) -> list[str]:
        return [tessel.Layers[i].Name for i in range(tessel.Layers.Count)]


def setup(ctx: Context) -> None:
    core, tubrolis = ctx.core, ctx.core.VeltraneModule.Tubrolis
    os.chdir(ctx.root)  # the first loads go through an installation named relatively
    ctx.call("setup, relative", lambda: core.setup_veltrane_computer(os.path.join("inst", "Tubrolis 2025.1"), tubrolis))
    ctx.note("exe path", core._exePath_)
    ctx.call("load_dll, relative", lambda: core.load_dll("Veltrane.Helper.dll"))
    ctx.note("dlls", core._dlls_)
    ctx.call("setup, absolute", lambda: core.setup_veltrane_computer(ctx.installation.directory, tubrolis))
    ctx.call("setup, missing", lambda: core.setup_veltrane_computer(ctx.path("missing"), tubrolis))
    bare = ctx.lay_out("bare", extensions=False, current=False)
    ctx.call("setup, no Extensions", lambda: core.setup_veltrane_computer(bare.directory, tubrolis))
    ctx.call("setup again", lambda: core.setup_veltrane_computer(ctx.installation.directory, core.VeltraneModule.All))
    ctx.note("application", core._Application_)
    ctx.note("command controller", core._commandController_)


def assemblies(ctx: Context) -> None:
    core = ctx.core
    ctx.call("load_dll, loaded before", lambda: core.load_dll("Veltrane.Helper.dll"))
    ctx.call("load_dll_c, loaded before", lambda: core.load_dll_c("Veltrane.SDK.dll"))
    ctx.call("load_dll, missing", lambda: core.load_dll("Missing.dll"))
    with open(os.path.join(ctx.installation.extensions, "Broken.dll"), "w", encoding="utf-8") as f:
        f.write("not an assembly\n")
    ctx.call("load_dll, not an assembly", lambda: core.load_dll("Broken.dll"))
    ctx.note("refused name not recorded", "Broken.dll" in core._dlls_)
    ctx.call("load_dll, another", lambda: core.load_dll("Veltrane.Vazer.Core.dll"))
    ctx.call("import after load", lambda: __import__("Veltrane.Vazer.Core", fromlist=["VazerSolver"]).VazerSolver)


def models(ctx: Context) -> None:
    core = ctx.core
    os.makedirs(ctx.path("models", "pipe"))
    os.makedirs(ctx.path("models", "frame"))
    piping = ctx.call("createPipingTessel", core.createPipingTessel)
    ctx.note("piping layers", ctx.layers(piping))
    ctx.note("piping code", piping.CalculationCode)
    structure = ctx.call("createStructureTessel", core.createStructureTessel)
    ctx.note("structure code", structure.CalculationCode)
    from Veltrane.SDK import VeltraneModule

    ctx.call("createTessel", lambda: ctx.layers(core.createTessel(VeltraneModule.Trabexon)))
    pipe = ctx.path("models", "pipe", "Pipe1.tessel")
    ctx.call("saveTessel", lambda: core.saveTessel(piping, pipe))
    ctx.call("saveTessel, structure", lambda: core.saveTessel(structure, ctx.path("models", "frame", "Frame.tessel")))
    ctx.note("files after saving", ctx.listing("models", "pipe"))
    ctx.call("saveTessel, None", lambda: core.saveTessel(None, ctx.path("models", "none.tessel")))
    ctx.call("loadTessel", lambda: ctx.layers(core.loadTessel(pipe)))
    ctx.call("loadTessel, missing", lambda: core.loadTessel(ctx.path("models", "missing.tessel")))
    with open(ctx.path("models", "bad.tessel"), "w", encoding="utf-8") as f:
        f.write("not a model\n")
    ctx.call("loadTessel, not a model", lambda: core.loadTessel(ctx.path("models", "bad.tessel")))
    ctx.call("getTessel", lambda: core.getTessel(ctx.path("models", "pipe")))
    ctx.call("getTessel, none", lambda: core.getTessel(ctx.path("models", "frame", "..", "..")))


def fre_writer(ctx: Context) -> None:
    core = ctx.core
    pipe = ctx.path("models", "pipe", "Pipe1.tessel")
    tessel = core.loadTessel(pipe)
    os.remove(ctx.path("models", "pipe", "conception.fre"))
    ctx.call("writeFreFile", lambda: core.writeFreFile(tessel, pipe))
    ctx.note("files", ctx.listing("models", "pipe"))
    open(ctx.path("models", "pipe", "Pipe1.fre"), "w").close()
    ctx.call("writeFreFile, own file", lambda: core.writeFreFile(tessel, pipe))
    ctx.note("own file written", os.path.getsize(ctx.path("models", "pipe", "Pipe1.fre")) > 0)
    os.remove(ctx.path("models", "pipe", "Pipe1.fre"))
    core._dllPath_, dll_path = ctx.path("models"), core._dllPath_
    ctx.call("writeFreFile, no library", lambda: core.writeFreFile(tessel, pipe))
    core._dllPath_ = dll_path


def commands(ctx: Context) -> None:
    core = ctx.core
    pipe = ctx.path("models", "pipe", "Pipe1.tessel")
    first, second = core.loadTessel(pipe), core.loadTessel(pipe)
    command = ctx.call("createCommand", lambda: core.createCommand("AddLayer", first))
    ctx.note("flags", [command.NeedToReloadModelAfterCommand, command.NeedToSaveModelAfterCommand])
    ctx.note("controller model is the tessel", core._commandController_.model is first)
    ctx.note("controller model equals the tessel", core._commandController_.model == first)
    ctx.call("executeCommand", lambda: core.executeCommand(command))
    ctx.note("layers after", ctx.layers(first))
    ctx.note("file unchanged", ctx.layers(core.loadTessel(pipe)))
    core.createCommand("MergeLayers", second)
    ctx.call("executeCommand, controller moved on", lambda: core.executeCommand(command))
    ctx.note("layers of each", [ctx.layers(first), ctx.layers(second)])
    ctx.call("createCommand, unknown", lambda: core.createCommand("NoSuchCommand", first))


def _result_file(ctx: Context, solution) -> str:
    return os.path.basename(solution.ResultFile)


def solving(ctx: Context) -> None:
    core = ctx.core
    pipe = ctx.path("models", "pipe", "Pipe1.tessel")
    frame = ctx.path("models", "frame", "Frame.tessel")
    ctx.make_solvable(pipe, "piping")
    ctx.make_solvable(frame, "structure")
    solution = ctx.call("solve, Vazer", lambda: core.solve(pipe, "Vazer", False))
    ctx.note("Vazer result", _result_file(ctx, solution))
    ctx.note("returned is current", solution is core._Solution_)
    solution = ctx.call("solve, DiroZiziva", lambda: core.solve(pipe, "DiroZiziva", False))
    ctx.note("DiroZiziva result", _result_file(ctx, solution))
    ctx.call("solve, structure with DiroZiziva", lambda: _result_file(ctx, core.solve(frame, "DiroZiziva", False)))
    ctx.call("solve, missing", lambda: core.solve(ctx.path("models", "missing.tessel"), "Vazer", False))
    ctx.call("solve, not a model", lambda: core.solve(ctx.path("models", "bad.tessel"), "Vazer", False))
    piping, structure = core.loadTessel(pipe), core.loadTessel(frame)
    folder = os.path.dirname(pipe)
    ctx.call("solvePipingModel, bad name", lambda: core.solvePipingModel(piping, pipe, "vazer", folder))
    ctx.call("solvePipingModel, structure", lambda: core.solvePipingModel(structure, frame, "Vazer", folder))
    ctx.call("solveStructureModel, piping", lambda: core.solveStructureModel(piping, pipe, folder))
    ctx.call("solvePipingModel, None", lambda: core.solvePipingModel(None, pipe, "Vazer", folder))
    os.makedirs(ctx.path("models", "empty"))
    from Veltrane.Tubrolis.Core import Model

    empty = ctx.path("models", "empty", "Empty.tessel")
    core.saveTessel(Model(), empty)
    ctx.call("solve, nothing to build", lambda: core.solve(empty, "Vazer", False))
    ctx.call("solve, from a thread", lambda: _solve_on_thread(ctx, pipe))


def _solve_on_thread(ctx: Context, pipe: str) -> list[Any]:
    found = []
    worker = threading.Thread(target=lambda: found.append(ctx.core.solve(pipe, "Vazer", False)))
    worker.start()
    worker.join()
    return [found[0], found[0] is ctx.core._Solution_, _result_file(ctx, found[0])]


def sandbox(ctx: Context) -> None:
    core = ctx.core
    pipe = ctx.path("models", "pipe", "Pipe1.tessel")
    before = ctx.listing("models", "pipe")
    ctx.call("solve in a sandbox", lambda: _result_file(ctx, core.solve(pipe, "Vazer", True)))
    first = core._tempDirectory_
    ctx.note("sandbox", [first, sorted(os.listdir(first))])
    ctx.note("caller's folder untouched", ctx.listing("models", "pipe") == before)
    ctx.call("solve in another sandbox", lambda: _result_file(ctx, core.solve(pipe, "DiroZiziva", True)))
    ctx.note("first sandbox gone", [os.path.isdir(first), core._tempDirectory_ != first])
    ctx.note("second sandbox", sorted(os.listdir(core._tempDirectory_)))
    ctx.call("disposeSolution", core.disposeSolution)
    ctx.note("second sandbox gone", os.path.isdir(core._tempDirectory_))


def lifetime(ctx: Context) -> None:
    core = ctx.core
    solution = core.solve(ctx.path("models", "pipe", "Pipe1.tessel"), "Vazer", False)
    ctx.note("alive", solution.IsDisposed)
    ctx.call("disposeSolution", core.disposeSolution)
    ctx.note("disposed", [solution.IsDisposed, core._Solution_ is None])
    ctx.call("result of a disposed solution", lambda: solution.ResultFile)
    ctx.call("disposeSolution again", core.disposeSolution)


def bridge(ctx: Context) -> None:
    """What the bridge does with exceptions, ints and the Point structure."""
    from Veltrane.Tubrolis.Core import Model

    ctx.call("host exception", lambda: Model().LoadFromFile(ctx.path("nowhere.tessel")))
    ctx.call("int as object", lambda: json.loads(ctx.core.inspectClass(42, False))["Name"])
    import clr

    clr.AddReference("mscorlib")
    ctx.call("Point before the project types", _point)
    relative = os.path.relpath(os.path.join(ctx.installation.extensions, "Veltrane.SDK.dll"))
    ctx.note("relative path names a file", os.path.isfile(relative))
    ctx.call("AddReference, relative path", lambda: clr.AddReference(relative))


def _point() -> Any:
    from System.Windows import Point

    return Point


def projects(ctx: Context) -> None:
    core = ctx.core
    folder = ctx.path("projects")
    plant = ctx.call("addPipingProject", lambda: core.addPipingProject(folder, "Plant", "Study1", 1920, 1080))
    ctx.note("project files", ctx.listing("projects", "Plant"))
    ctx.call("Point after the project types", lambda: _point()(1, 2).X)
    ctx.call("addPipingProject, existing", lambda: core.addPipingProject(folder, "Plant", "Study1", 1920, 1080))
    ctx.call("addStructureProject", lambda: core.addStructureProject(folder, "Frame", "S1", 1920, 1080))
    ctx.call("addProject, bad screen", lambda: core.addPipingProject(folder, "Bad", "S1", "wide", 1080))
    ctx.note("folder left by the failure", os.path.isdir(ctx.path("projects", "Bad")))
    study = ctx.call("addPipingStudy", lambda: core.addPipingStudy(plant, "Study2", 1920, 1080))
    ctx.note("study name", study.Name)
    ctx.call("addPipingStudy, existing", lambda: core.addPipingStudy(plant, "Study2", "wide", 1080))
    ctx.call("addStructureStudy, bad screen", lambda: core.addStructureStudy(plant, "Study3", "wide", 1080))
    ctx.call("duplicateStudy", lambda: core.duplicateStudy(plant, "Study1", "Study1 copy"))
    ctx.call("removeStudy", lambda: core.removeStudy(plant, "Study2"))
    ctx.call("removeStudy, missing", lambda: core.removeStudy(plant, "Nope"))
    ctx.note("studies", _studies(plant, ["Study1", "Study2", "Study1 copy", "Study1 - Copy"]))
    ctx.call("removeProject", lambda: core.removeProject(plant))
    ctx.note("removed", os.path.isdir(plant))


def _studies(project: str, names: list[str]) -> list[bool]:
    from Veltrane.Tubrolis.Project import ProjectViewModel

    model = ProjectViewModel(None)
    model.LoadFromFile(os.path.join(project, os.path.basename(project) + ".project"))
    return [model.GetStudy(name) is not None for name in names]


def introspection(ctx: Context) -> None:
    core = ctx.core
    from Veltrane.Tubrolis.Core import Model

    def described(instance: Any, indent: bool) -> list[Any]:
        text = core.inspectClass(instance, indent)
        found = json.loads(text)
        return [found["Name"], found["IsClass"], "\n" in text]

    ctx.call("inspectClass, object", lambda: described(core._Application_, False))
    ctx.call("inspectClass, class", lambda: described(Model, True))
    ctx.call("findNameSpaceAndAssembly", lambda: core.findNameSpaceAndAssembly("ProjectViewModel"))
    ctx.call("findNameSpaceAndAssembly, unknown", lambda: core.findNameSpaceAndAssembly("NoSuchClass"))


def interrupt(ctx: Context) -> None:
    """Ctrl-C while a solve waits for its worker: the caller gets the
    KeyboardInterrupt and the process exits while the run still goes on; the
    abandoned run never becomes the current solution, not even at exit."""
    core = ctx.core
    core.setup_veltrane_computer(ctx.installation.directory, core.VeltraneModule.Tubrolis)
    pipe = ctx.path("Pipe1.tessel")
    core.saveTessel(core.createPipingTessel(), pipe)
    for name in ("Veltrane.Helper.dll", "Veltrane.Vazer.Core.dll"):  # so the run starts at once
        core.load_dll(name)
    atexit.register(lambda: print("no current solution at exit:", core._Solution_ is None, flush=True))
    print("solving", flush=True)
    try:
        core.solve(pipe, "Vazer", False)
        ctx.note("interrupted", False)
    except KeyboardInterrupt:
        ctx.note("interrupted", True)
    ctx.note("no current solution", core._Solution_ is None)


ALL = ["setup", "assemblies", "models", "fre_writer", "commands", "solving", "sandbox", "lifetime", "bridge",
       "projects", "introspection"]
