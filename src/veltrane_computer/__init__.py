"""Python scripting of the Tubrolis (piping) and Trabexon (structure)
applications through their .NET SDK.

The functions live in :mod:`veltrane_computer.veltrane_core` together with the
module's state globals (``veltrane_core._Solution_`` and the like); the
package re-exports the functions and :class:`VeltraneModule`.

On a machine without the application, activate the simulated host first::

    import veltrane_sim
    veltrane_sim.activate()
    import veltrane_computer as cc
"""

from . import veltrane_core
from .veltrane_core import (
    VeltraneModule,
    setup_veltrane_computer,
    load_dll,
    load_dll_c,
    FindSolverPaths,
    FindDataProjectPaths,
    loadTessel,
    saveTessel,
    getTessel,
    createTessel,
    createPipingTessel,
    createStructureTessel,
    solve,
    disposeSolution,
    solvePipingModel,
    solveStructureModel,
    _DiroZizivaSolve as _DiroZizivaSolve,  # the workers, for scripts that run them on their own thread
    _VazerSolve as _VazerSolve,
    find_first_file,
    copyDirectoryToTemp,
    inspectClass,
    findNameSpaceAndAssembly,
    writeFreFile,
    createCommand,
    executeCommand,
    addProjectFolder,
    removeProjectFolder,
    addProject,
    addPipingProject,
    addStructureProject,
    removeProject,
    addStudy,
    addPipingStudy,
    addStructureStudy,
    removeStudy,
    duplicateStudy,
)

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
]
