"""Simulated installations laid out on disk.

    <root>/<name>/                        install directory
        Extensions/                       assemblies + Veltrane.DiroZiziva.lib
        Solvers/Vazer/VazerSolver.exe     simulated solver executables
        Solvers/DiroZiziva/DiroZiziva.exe
    <root>/Settings/Tubrolis.settings     application settings (JSON)
    <root>/Settings/DataSources.settings  data sources (JSON)
    <root>/Data/  <root>/Projects/        the data and projects directories

The installation made last (or chosen with use_installation) is the current
one: the host's settings controller answers from its Tubrolis.settings.
"""

import json
import os
import threading

from ._assemblies import (
    LIBRARY_FILE, STANDARD_ASSEMBLIES, write_library_file, write_solver_file, write_standard_assembly,
)

DEFAULT_NAME = "Tubrolis 2025.1"

# (family, sub-family, setting) -> default value; solver paths are filled in.
DEFAULT_SETTINGS = [
    ("VAZER", "PATH", "WINDOWS SOLVER PATH", None),
    ("VAZER", "PATH", "LINUX SOLVER PATH", ""),
    ("VAZER", "OPTIONS", "THREADS", "2"),
    ("DIROZIZIVA", "PATH", "SOLVER PATH", None),
    ("DIROZIZIVA", "OUTPUT", "MAX FIELD LENGTH", "80"),
    ("DIROZIZIVA", "OUTPUT", "ROTATION UNITS", "Degrees"),
    ("DIROZIZIVA", "OUTPUT", "GENERATE RESTRAINTS INLINE", "1"),
    ("DIROZIZIVA", "OUTPUT", "GENERATE DLCS INLINE", "0"),
    ("DIROZIZIVA", "OUTPUT", "GENERATE INDI INLINE", "1"),
    ("TUBROLIS", "DISPLAY", "USE IMPERIAL NOTATION", "0"),
    ("TUBROLIS", "DISPLAY", "LANGUAGE", "en-US"),
]

_lock = threading.Lock()
_current = None


def current_installation():
    with _lock:
        return _current


def use_installation(installation):
    """Make `installation` (or None) the one the settings controller reads."""
    global _current
    with _lock:
        _current = installation
    return installation


def build_settings(overrides=None, vazer_path="", diroziziva_path=""):
    """The Tubrolis.settings document.  overrides: {(family, name): value};
    a name not in the defaults is added to that family's "OTHER" sub-family."""
    overrides = dict(overrides or {})
    families = {}
    for family, sub, name, value in DEFAULT_SETTINGS:
        if value is None:
            value = vazer_path if family == "VAZER" else diroziziva_path
        value = overrides.pop((family, name), value)
        families.setdefault(family, {}).setdefault(sub, []).append({"Name": name, "Value": value})
    for (family, name), value in overrides.items():
        families.setdefault(family, {}).setdefault("OTHER", []).append({"Name": name, "Value": value})
    return {"Version": 3, "Families": [
        {"Name": family, "SubFamilies": [{"Name": sub, "Settings": settings} for sub, settings in subs.items()]}
        for family, subs in families.items()]}


def lookup_setting(document, family, name):
    """Last value of setting `name` in any sub-family of family `family`; None when absent."""
    value = None
    for fam in document.get("Families", []):
        if fam.get("Name") != family:
            continue
        for sub in fam.get("SubFamilies", []):
            for setting in sub.get("Settings", []):
                if setting.get("Name") == name:
                    value = setting.get("Value")
    return value


def _write_json(path, doc, bom):
    with open(path, "w", encoding="utf-8-sig" if bom else "utf-8") as f:
        json.dump(doc, f, indent=2)
        f.write("\n")


class Installation:
    """Paths of a simulated installation (attributes are plain strings)."""

    def __init__(self, root, name):
        self.root = root
        self.directory = os.path.join(root, name)
        self.extensions = os.path.join(self.directory, "Extensions")
        self.assembly_directory = self.extensions
        self.solvers_directory = os.path.join(self.directory, "Solvers")
        self.vazer_path = os.path.join(self.solvers_directory, "Vazer", "VazerSolver.exe")
        self.diroziziva_path = os.path.join(self.solvers_directory, "DiroZiziva", "DiroZiziva.exe")
        self.settings_directory = os.path.join(root, "Settings")
        self.settings_path = os.path.join(self.settings_directory, "Tubrolis.settings")
        self.data_sources_path = os.path.join(self.settings_directory, "DataSources.settings")
        self.data_directory = os.path.join(root, "Data")
        self.projects_directory = os.path.join(root, "Projects")
        self.lib_path = None
        self.assemblies = {}
        self.bom = False

    def __repr__(self):
        return f"<Installation {self.directory!r}>"

    def bind(self, module):
        """Point a module's settings paths at this installation."""
        module._settingsPath_ = self.settings_path
        module._dataSourcesPath_ = self.data_sources_path
        return module

    def settings(self):
        with open(self.settings_path, "r", encoding="utf-8-sig") as f:
            return json.load(f)

    def data_sources(self):
        with open(self.data_sources_path, "r", encoding="utf-8-sig") as f:
            return json.load(f)

    def setting(self, family, name):
        return lookup_setting(self.settings(), family, name)

    def write_settings(self, overrides=None, bom=None):
        """Rewrite Tubrolis.settings from the defaults plus overrides."""
        self.bom = self.bom if bom is None else bom
        _write_json(self.settings_path, build_settings(overrides, self.vazer_path, self.diroziziva_path), self.bom)

    def write_data_sources(self, overrides=None, bom=None):
        self.bom = self.bom if bom is None else bom
        doc = {"CurrentDatasDirectory": self.data_directory,
               "CurrentProjectsDirectory": self.projects_directory,
               "DataSources": [{"Name": "Default", "Directory": self.data_directory}]}
        doc.update(overrides or {})
        _write_json(self.data_sources_path, doc, self.bom)


def make_installation(root, *, name=DEFAULT_NAME, extensions=True, assemblies_in_install_dir=False,
                      assemblies=None, lib=True, vazer=True, diroziziva=True, bom=False,
                      settings=None, data_sources=None, current=True):
    """Lay out a simulated installation under `root` and return it.

    extensions=False leaves out the Extensions folder (assemblies then go to
    the install directory); assemblies_in_install_dir=True puts them there
    even when Extensions exists; assemblies: the file names to write (default
    all); lib=False leaves out Veltrane.DiroZiziva.lib; vazer / diroziziva =
    False leave out that solver executable (the settings still name it);
    bom=True writes both settings files with a UTF-8 BOM; settings:
    {(family, name): value} overrides for Tubrolis.settings; data_sources:
    {key: value} overrides for DataSources.settings; current=True makes it
    the current installation."""
    inst = Installation(os.fspath(root), name)
    os.makedirs(inst.directory, exist_ok=True)
    if extensions:
        os.makedirs(inst.extensions, exist_ok=True)
    if assemblies_in_install_dir or not extensions:
        inst.assembly_directory = inst.directory
    for file_name in (STANDARD_ASSEMBLIES if assemblies is None else assemblies):
        inst.assemblies[file_name] = write_standard_assembly(inst.assembly_directory, file_name)
    if lib:
        inst.lib_path = write_library_file(
            os.path.join(inst.extensions if extensions else inst.directory, LIBRARY_FILE))
    for present, path, kind in ((vazer, inst.vazer_path, "Vazer"), (diroziziva, inst.diroziziva_path, "DiroZiziva")):
        if present:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            write_solver_file(path, kind)
    for folder in (inst.settings_directory, inst.data_directory, inst.projects_directory):
        os.makedirs(folder, exist_ok=True)
    inst.write_settings(settings, bom)
    inst.write_data_sources(data_sources, bom)
    if current:
        use_installation(inst)
    return inst
