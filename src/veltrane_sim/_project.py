"""Veltrane.Tubrolis.Project: projects and their studies.

A project lives in a folder; its file is <folder>/<folder name without
extension>.project (JSON, see README.md).  Every change a view model makes is
written to that file at once.  Refusals are silent: deleting the last study
and renaming to an empty or already used name return False and change
nothing."""

import copy
import json
import os
import threading

from . import _exceptions as exc
from . import _files, _tessel
from ._assemblies import CORE_NS, PROJECT_NS, SDK_NS
from ._hostbase import BOOLEAN, INT32, STRING, HostCollection, HostObject, Signature, method, prop, ref
from ._sdk import MODULE_T, module_by_name
from ._system import Point

FORMAT = "veltrane-project"
VERSION = 1
POINT_T = ref("System.Windows.Point", nullable=False)
DUPLICATE_OFFSET = 20.0

_store_lock = threading.Lock()


def project_file_for(directory):
    """Where a project folder keeps its project file."""
    stem = os.path.splitext(os.path.basename(directory))[0]
    return os.path.join(directory, stem + ".project")


def _check(doc):
    if not isinstance(doc, dict) or doc.get("format") != FORMAT or doc.get("version") != VERSION:
        raise ValueError("not a project document")
    studies = doc.get("studies")
    if not isinstance(studies, list) or not studies:
        raise ValueError("a project holds at least one study")
    names = set()
    for study in studies:
        name = study.get("name") if isinstance(study, dict) else None
        if not isinstance(name, str) or not name or name in names:
            raise ValueError(f"bad or duplicate study name {name!r}")
        names.add(name)
        if study.get("kind") not in _tessel.MODULES:
            raise ValueError(f"study {name!r} has an unknown kind")
        pos = study.get("position")
        if not isinstance(pos, dict) or not all(
                isinstance(pos.get(k), (int, float)) and not isinstance(pos.get(k), bool) for k in "xy"):
            raise ValueError(f"study {name!r} has a bad position")
        study["content"] = _tessel.normalize(study.get("content"))
    if doc.get("current") not in names:
        doc["current"] = studies[0]["name"]
    return doc


def read_project(path):
    """Parse and check a project file (ValueError when invalid)."""
    with open(path, "r", encoding="utf-8-sig") as f:
        return _check(json.load(f))


def _blank_name(name):
    return name is None or not name.strip()


class StudyModel(HostObject):
    """A study as the view model reported it (a snapshot)."""

    _namespace_ = PROJECT_NS

    def _construct(self, data, current, project_file):
        self._data = copy.deepcopy(data)
        self._current = current
        self._project_file = project_file

    Name = prop(STRING)(lambda self: self._data["name"])
    Module = prop(ref(f"{SDK_NS}.VeltraneModule"))(lambda self: module_by_name(self._data["kind"]))
    Position = prop(POINT_T)(lambda self: Point._new(*(float(self._data["position"][k]) for k in "xy")))
    IsCurrent = prop(BOOLEAN)(lambda self: self._current)
    ProjectFileName = prop(STRING)(lambda self: self._project_file)

    @method(returns=ref(f"{CORE_NS}.Model"))
    def GetModel(self):
        from ._core import Model

        return Model.from_dict(self._data["content"])

    def to_dict(self):
        return copy.deepcopy(self._data)

    def __str__(self):
        return self._data["name"]


class ProjectViewModel(HostObject):
    _namespace_ = PROJECT_NS
    _ctors_ = [Signature([("owner", ref(f"{SDK_NS}.VeltraneApplication"))])]

    def _construct(self, owner):
        self._owner = owner
        self._file = None
        self._doc = None

    # ---- internals
    def _loaded(self):
        if self._doc is None:
            raise exc.InvalidOperationException("No project is loaded.")
        return self._doc

    def _find(self, name):
        return next((s for s in self._loaded()["studies"] if s["name"] == name), None)

    def _current(self):
        return self._find(self._loaded()["current"])

    def _store(self):
        with _store_lock:
            _files.replace_text(self._file, json.dumps(self._doc, indent=2) + "\n")

    @staticmethod
    def _new_study(name, module, position, content=None):
        kind = str(module)
        return {"name": name, "kind": kind, "position": {"x": position.X, "y": position.Y},
                "content": content or _tessel.sample_model(kind, empty_model=True)}

    # ---- host members
    @prop(STRING)
    def ProjectFileName(self):
        return self._file

    @prop(STRING)
    def ProjectName(self):
        return self._doc["name"] if self._doc else None

    @prop(INT32)
    def StudyCount(self):
        return len(self._doc["studies"]) if self._doc else 0

    @prop(ref("System.Collections.Generic.IReadOnlyList"))
    def StudyNames(self):
        return HostCollection._new([s["name"] for s in self._doc["studies"]] if self._doc else [])

    @method(("projectDirectory", STRING), ("position", POINT_T), ("templateFileName", STRING),
            ("studyName", STRING), ("module", MODULE_T))
    def CreateNewProject(self, projectDirectory, position, templateFileName, studyName, module):
        if projectDirectory is None:
            raise exc.ArgumentNullException("Value cannot be null. (Parameter 'projectDirectory')")
        if not os.path.isdir(projectDirectory):
            raise exc.DirectoryNotFoundException(f"Could not find a part of the path '{projectDirectory}'.")
        if _blank_name(studyName):
            raise exc.ArgumentException("A study name cannot be empty. (Parameter 'studyName')")
        content = None
        if templateFileName:
            if not os.path.isfile(templateFileName):
                raise exc.FileNotFoundException(f"Could not find file '{templateFileName}'.", templateFileName)
            try:
                content = _tessel.load(templateFileName)
            except ValueError as e:
                raise exc.InvalidDataException(f"'{templateFileName}' is not a valid tessel file: {e}.") from None
            if content["module"] != str(module):
                raise exc.ArgumentException("The template is not a model of the study's kind.")
        path = project_file_for(projectDirectory)
        if os.path.exists(path):
            raise exc.IOException(f"The project file '{path}' already exists.")
        self._file = path
        self._doc = {"format": FORMAT, "version": VERSION,
                     "name": os.path.splitext(os.path.basename(projectDirectory))[0],
                     "current": studyName, "studies": [self._new_study(studyName, module, position, content)]}
        self._store()

    @method(("fileName", STRING))
    def LoadFromFile(self, fileName):
        if fileName is None:
            raise exc.ArgumentNullException("Value cannot be null. (Parameter 'fileName')")
        if not os.path.isfile(fileName):
            raise exc.FileNotFoundException(f"Could not find file '{os.path.abspath(fileName)}'.", fileName)
        try:
            doc = read_project(fileName)
        except (ValueError, UnicodeDecodeError) as e:
            raise exc.InvalidDataException(f"'{fileName}' is not a valid project file: {e}.") from None
        self._file = fileName
        self._doc = doc

    @method(("studyName", STRING), returns=ref(f"{PROJECT_NS}.StudyModel"))
    def GetStudy(self, studyName):
        study = self._find(studyName)
        if study is None:
            return None
        return StudyModel._new(study, study["name"] == self._doc["current"], self._file)

    @method(("position", POINT_T), ("module", MODULE_T), ("studyName", STRING))
    def AddEmptyStudy(self, position, module, studyName):
        doc = self._loaded()
        if _blank_name(studyName):
            raise exc.ArgumentException("A study name cannot be empty. (Parameter 'studyName')")
        if self._find(studyName) is not None:
            raise exc.ArgumentException(f"A study named '{studyName}' already exists.")
        doc["studies"].append(self._new_study(studyName, module, position))
        doc["current"] = studyName
        self._store()

    @method(("studyName", STRING))
    def SetCurrentStudy(self, studyName):
        if self._find(studyName) is None:
            raise exc.ArgumentException(f"The project has no study named '{studyName}'.")
        self._doc["current"] = studyName
        self._store()

    @method(returns=STRING)
    def GetCurrentStudyName(self):
        return self._loaded()["current"]

    @method(returns=BOOLEAN)
    def DeleteCurrentStudy(self):
        doc = self._loaded()
        studies = doc["studies"]
        if len(studies) <= 1:
            return False
        index = studies.index(self._current())
        del studies[index]
        doc["current"] = studies[max(index - 1, 0)]["name"]
        self._store()
        return True

    @method()
    def DuplicateCurrentStudy(self):
        doc = self._loaded()
        source = self._current()
        base = f"{source['name']} - Copy"
        name, n = base, 1
        while self._find(name) is not None:
            n += 1
            name = f"{base} ({n})"
        copy_ = copy.deepcopy(source)
        copy_["name"] = name
        copy_["position"] = {k: v + DUPLICATE_OFFSET for k, v in source["position"].items()}
        doc["studies"].insert(doc["studies"].index(source) + 1, copy_)
        doc["current"] = name
        self._store()

    @method(("newName", STRING), returns=BOOLEAN)
    def RenameCurrentStudy(self, newName):
        doc = self._loaded()
        current = self._current()
        if _blank_name(newName):
            return False
        if newName == current["name"]:
            return True
        if self._find(newName) is not None:
            return False
        current["name"] = newName
        doc["current"] = newName
        self._store()
        return True


NAMESPACE_CLASSES = {PROJECT_NS: {"ProjectViewModel": ProjectViewModel, "StudyModel": StudyModel}}
