"""Simulated binary files: assemblies, the native library and solver executables.

Each is a small text file: a magic first line, then one JSON object.

    VSIM-ASSEMBLY/1
    {"name": "Veltrane.SDK", "version": "25.1.0.0",
     "namespaces": {"Veltrane.SDK": ["VeltraneApplication", ...]}}

    VSIM-LIBRARY/1
    {"name": "Veltrane.DiroZiziva", "version": "25.1.0.0"}

    VSIM-SOLVER/1
    {"solver": "Vazer", "version": "25.1.0.0"}

Any other file given to the bridge as an assembly is a bad image; any other
file given as a solver executable makes the run fail.
"""

import json
import os

ASSEMBLY_MAGIC = "VSIM-ASSEMBLY/1"
LIBRARY_MAGIC = "VSIM-LIBRARY/1"
SOLVER_MAGIC = "VSIM-SOLVER/1"
VERSION = "25.1.0.0"

SDK_NS = "Veltrane.SDK"
CORE_NS = "Veltrane.Tubrolis.Core"
VAZER_NS = "Veltrane.Vazer.Core"
DIROZIZIVA_NS = "Veltrane.DiroZiziva.Core"
PROJECT_NS = "Veltrane.Tubrolis.Project"

# File name -> (assembly name, {namespace: [class names]}).
STANDARD_ASSEMBLIES = {
    "Veltrane.SDK.dll": ("Veltrane.SDK", {SDK_NS: [
        "VeltraneApplication", "SettingsController", "VeltraneModule", "VeltraneClassInspector", "ISolver"]}),
    "Veltrane.Helper.dll": ("Veltrane.Helper", {}),
    "Veltrane.Tubrolis.Core.dll": ("Veltrane.Tubrolis.Core", {CORE_NS: [
        "Model", "Layer", "LayerCollection", "Node", "Element", "PipingCode", "StructureCode",
        "PSLibrary", "CommandController", "CustomCommand", "Solution"]}),
    "Veltrane.Vazer.Core.dll": ("Veltrane.Vazer.Core", {VAZER_NS: ["VazerSolver"]}),
    "Veltrane.DiroZiziva.Core.dll": ("Veltrane.DiroZiziva.Core", {DIROZIZIVA_NS: [
        "DiroZizivaSolver", "AnalysisModel"]}),
    "Veltrane.Tubrolis.Project.dll": ("Veltrane.Tubrolis.Project", {PROJECT_NS: [
        "ProjectViewModel", "StudyModel"]}),
}
LIBRARY_FILE = "Veltrane.DiroZiziva.lib"


def _write(path, magic, payload):
    with open(path, "w", encoding="utf-8") as f:
        f.write(magic + "\n")
        json.dump(payload, f, indent=1)
        f.write("\n")
    return path


def _read(path, magic):
    """The JSON payload of a simulated file, or None when the file is not one."""
    try:
        with open(path, "r", encoding="utf-8") as f:
            first = f.readline().rstrip("\r\n")
            if first != magic:
                return None
            payload = json.load(f)
    except (UnicodeDecodeError, ValueError):
        return None
    return payload if isinstance(payload, dict) else None


def write_assembly_file(path, name, namespaces, version=VERSION):
    """Write a simulated assembly naming the host classes it provides."""
    return _write(path, ASSEMBLY_MAGIC, {
        "name": name, "version": version,
        "namespaces": {ns: list(classes) for ns, classes in namespaces.items()}})


def write_standard_assembly(directory, file_name):
    name, namespaces = STANDARD_ASSEMBLIES[file_name]
    return write_assembly_file(os.path.join(directory, file_name), name, namespaces)


def read_assembly_file(path):
    payload = _read(path, ASSEMBLY_MAGIC)
    if payload is None:
        return None
    name, namespaces = payload.get("name"), payload.get("namespaces", {})
    if not isinstance(name, str) or not isinstance(namespaces, dict):
        return None
    if not all(isinstance(v, list) and all(isinstance(c, str) for c in v) for v in namespaces.values()):
        return None
    payload.setdefault("version", VERSION)
    return payload


def write_library_file(path, name="Veltrane.DiroZiziva"):
    return _write(path, LIBRARY_MAGIC, {"name": name, "version": VERSION})


def read_library_file(path):
    return _read(path, LIBRARY_MAGIC)


def write_solver_file(path, solver):
    return _write(path, SOLVER_MAGIC, {"solver": solver, "version": VERSION})


def read_solver_file(path):
    return _read(path, SOLVER_MAGIC)
