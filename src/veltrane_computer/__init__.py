"""Python scripting of the Tubrolis (piping) and Trabexon (structure)
applications through their .NET SDK.

The 35 functions live in :mod:`veltrane_computer.veltrane_core` together with
the module's state globals (``veltrane_core._Solution_`` and the like); the
package re-exports them and :class:`VeltraneModule`. Above them,
:mod:`veltrane_computer.session` offers sessions, plain results and errors
that name their cause, :mod:`veltrane_computer.model` and
:mod:`veltrane_computer.project` models, projects and studies as objects,
:mod:`veltrane_computer.testing` pytest fixtures for scripts, and ``python -m veltrane_computer`` (the ``veltrane``
command) a command line.

Importing the package does not import the core: the core, and with it the
bridge (``clr``, ``pythoncom``), is imported when one of its names is first
used. On a machine without the application, activate the simulated host
first::

    import veltrane_sim
    veltrane_sim.activate()
    import veltrane_computer as cc
"""

from __future__ import annotations

import importlib
import importlib.metadata
import tomllib
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from . import veltrane_core
    from .model import CommandError, Model, ModelError
    from .project import Project, ProjectError
    from .session import SetupError, Session, SolveError, SolveResult
    from .veltrane_core import (
        FindDataProjectPaths,
        FindSolverPaths,
        VeltraneModule,
        _DiroZizivaSolve as _DiroZizivaSolve,
        _VazerSolve as _VazerSolve,
        addPipingProject,
        addPipingStudy,
        addProject,
        addProjectFolder,
        addStructureProject,
        addStructureStudy,
        addStudy,
        copyDirectoryToTemp,
        createCommand,
        createPipingTessel,
        createStructureTessel,
        createTessel,
        disposeSolution,
        duplicateStudy,
        executeCommand,
        find_first_file,
        findNameSpaceAndAssembly,
        getTessel,
        inspectClass,
        load_dll,
        load_dll_c,
        loadTessel,
        removeProject,
        removeProjectFolder,
        removeStudy,
        saveTessel,
        setup_veltrane_computer,
        solve,
        solvePipingModel,
        solveStructureModel,
        writeFreFile,
    )


def _version() -> str:
    try:
        return importlib.metadata.version("veltrane_computer")
    except importlib.metadata.PackageNotFoundError:  # run from the source tree
        pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
        try:
            return str(tomllib.loads(pyproject.read_text(encoding="utf-8"))["project"]["version"])
        except (OSError, KeyError, tomllib.TOMLDecodeError):
            return "0+unknown"


__version__ = _version()

__all__ = [
    "veltrane_core",
    "VeltraneModule",
    "setup_veltrane_computer",
    "load_dll",
    "load_dll_c",
    "FindSolverPaths",
    "FindDataProjectPaths",
    "loadTessel",
    "saveTessel",
    "getTessel",
    "createTessel",
    "createPipingTessel",
    "createStructureTessel",
    "solve",
    "disposeSolution",
    "solvePipingModel",
    "solveStructureModel",
    "find_first_file",
    "copyDirectoryToTemp",
    "inspectClass",
    "findNameSpaceAndAssembly",
    "writeFreFile",
    "createCommand",
    "executeCommand",
    "addProjectFolder",
    "removeProjectFolder",
    "addProject",
    "addPipingProject",
    "addStructureProject",
    "removeProject",
    "addStudy",
    "addPipingStudy",
    "addStructureStudy",
    "removeStudy",
    "duplicateStudy",
    "Session",
    "SolveResult",
    "SolveError",
    "SetupError",
    "Model",
    "ModelError",
    "CommandError",
    "Project",
    "ProjectError",
]

# The scripting layer's names, by the module that defines them.
_LAYER_NAMES = {
    "Session": "session",
    "SolveResult": "session",
    "SolveError": "session",
    "SetupError": "session",
    "Model": "model",
    "ModelError": "model",
    "CommandError": "model",
    "Project": "project",
    "ProjectError": "project",
}
# The workers are there for scripts that run them on their own thread; re-exported, not star-exported.
_CORE_NAMES = (frozenset(__all__) - _LAYER_NAMES.keys() - {"veltrane_core"}) | {"_DiroZizivaSolve", "_VazerSolve"}

BRIDGE_NOTE = (
    "veltrane_computer reaches the application through the clr bridge (pythonnet) and pythoncom (pywin32). "
    "On Windows, `pip install veltrane_computer` installs both. Elsewhere, call veltrane_sim.activate() "
    "before the core is first used (the command line: --simulated DIR)."
)


def _import_core() -> Any:
    try:
        return importlib.import_module(".veltrane_core", __name__)
    except ModuleNotFoundError as error:
        if error.name in ("clr", "pythoncom"):
            error.add_note(BRIDGE_NOTE)
        raise


def __getattr__(name: str) -> Any:
    if name == "veltrane_core":
        return _import_core()
    if name in _CORE_NAMES:
        return getattr(_import_core(), name)
    if name in _LAYER_NAMES:
        return getattr(importlib.import_module(f".{_LAYER_NAMES[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | _CORE_NAMES | _LAYER_NAMES.keys() | {"veltrane_core"})
