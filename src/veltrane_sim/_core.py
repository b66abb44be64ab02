"""Veltrane.Tubrolis.Core: the model document and what hangs off it."""

import copy
import os
import threading
import weakref

from . import _commands, _fre, _tessel
from . import _exceptions as exc
from ._assemblies import CORE_NS, SDK_NS, read_library_file
from ._hostbase import (
    BOOLEAN, DOUBLE, INT32, OBJECT, STRING, HostCollection, HostObject, Signature, _record, method, prop, ref,
)
from ._sdk import MODULE_T, module_by_name

MODEL_T = ref(f"{CORE_NS}.Model")


def _require(value, name):
    if value is None:
        raise exc.ArgumentNullException(f"Value cannot be null. (Parameter '{name}')")


def _require_path(path, name):
    _require(path, name)
    if path == "":
        raise exc.ArgumentException(f"Empty path name is not legal. (Parameter '{name}')")


def _require_parent(path):
    parent = os.path.dirname(path)
    if parent and not os.path.isdir(parent):
        raise exc.DirectoryNotFoundException(
            f"Could not find a part of the path '{os.path.abspath(path)}'.")


# ------------------------------------------------------------------- layers


class Layer(HostObject):
    _namespace_ = CORE_NS
    _ctors_ = [Signature([("name", STRING)])]

    def _construct(self, name):
        _require(name, "name")
        if name == "":
            raise exc.ArgumentException("A layer name cannot be empty. (Parameter 'name')")
        self._name = name
        self._visible = True

    @prop(STRING)
    def Name(self):
        return self._name

    @Name.setter
    def Name(self, value):
        _require(value, "value")
        self._name = value

    @prop(BOOLEAN)
    def Visible(self):
        return self._visible

    @Visible.setter
    def Visible(self, value):
        self._visible = value

    def __str__(self):
        return self._name


class LayerCollection(HostCollection):
    _namespace_ = CORE_NS

    def _new_layer(self, name):
        """A layer not yet in the collection (the commands add layers through it)."""
        return Layer._new(name)

    @method(("layer", ref(f"{CORE_NS}.Layer")))
    def Add(self, layer):
        _require(layer, "layer")
        if any(x._name == layer._name for x in self._items):
            raise exc.ArgumentException(f"A layer named '{layer._name}' already exists.")
        self._items.append(layer)

    @method(("layer", ref(f"{CORE_NS}.Layer")), returns=BOOLEAN)
    def Remove(self, layer):
        for i, x in enumerate(self._items):
            if x is layer:
                del self._items[i]
                return True
        return False


class Node(HostObject):
    _namespace_ = CORE_NS

    def _construct(self, data):
        self._data = dict(data)

    Number = prop(INT32)(lambda self: self._data["id"])
    X = prop(DOUBLE)(lambda self: self._data["x"])
    Y = prop(DOUBLE)(lambda self: self._data["y"])
    Z = prop(DOUBLE)(lambda self: self._data["z"])


class Element(HostObject):
    _namespace_ = CORE_NS

    def _construct(self, data):
        self._data = dict(data)

    Number = prop(INT32)(lambda self: self._data["id"])
    StartNode = prop(INT32)(lambda self: self._data["from"])
    EndNode = prop(INT32)(lambda self: self._data["to"])
    Kind = prop(STRING)(lambda self: self._data["kind"])
    Section = prop(STRING)(lambda self: self._data["section"])
    Layer = prop(STRING)(lambda self: self._data["layer"])


class PipingCode(HostObject):
    """Calculation code of piping (Tubrolis) models."""

    _namespace_ = CORE_NS
    _ctors_ = [Signature()]

    @prop(STRING)
    def Name(self):
        return "Piping"


class StructureCode(HostObject):
    """Calculation code of structure (Trabexon) models."""

    _namespace_ = CORE_NS
    _ctors_ = [Signature()]

    @prop(STRING)
    def Name(self):
        return "Structure"


# -------------------------------------------------------------------- model


class Model(HostObject):
    """A tessel.  A new model holds no layer and no geometry."""

    _namespace_ = CORE_NS
    _ctors_ = [Signature(), Signature([("module", MODULE_T)])]

    def _construct(self, module=None):
        self._layers = LayerCollection._new()
        self._file = None
        self._apply(_tessel.empty(str(module) if module is not None else "Tubrolis"))

    # ---- content, for tests and tools (not host members)
    def _apply(self, doc):
        self._module = module_by_name(doc["module"])
        self._code = (PipingCode if doc["module"] == "Tubrolis" else StructureCode)._new()
        self._title = doc["title"]
        layers = []
        for data in doc["layers"]:
            layer = Layer._new(data["name"])
            layer._visible = data["visible"]
            layers.append(layer)
        self._layers._items[:] = layers
        for key in ("nodes", "elements", "supports", "loads"):
            setattr(self, f"_{key}", copy.deepcopy(doc[key]))

    def to_dict(self):
        """The model's content in tessel document form."""
        return {
            "format": _tessel.FORMAT, "version": _tessel.VERSION, "module": str(self._module),
            "title": self._title,
            "layers": [{"name": x._name, "visible": x._visible} for x in self._layers._items],
            **{key: copy.deepcopy(getattr(self, f"_{key}")) for key in ("nodes", "elements", "supports", "loads")},
        }

    def same_content(self, other):
        return isinstance(other, Model) and self.to_dict() == other.to_dict()

    @classmethod
    def from_dict(cls, doc):
        model = cls._new()
        model._apply(_tessel.normalize(doc))
        return model

    # ---- host members
    @prop(ref(f"{SDK_NS}.VeltraneModule"))
    def Module(self):
        return self._module

    @prop(OBJECT)
    def CalculationCode(self):
        return self._code

    @prop(ref(f"{CORE_NS}.LayerCollection"))
    def Layers(self):
        return self._layers

    @prop(ref("System.Collections.Generic.IReadOnlyList"))
    def Nodes(self):
        return HostCollection._new([Node._new(n) for n in self._nodes])

    @prop(ref("System.Collections.Generic.IReadOnlyList"))
    def Elements(self):
        return HostCollection._new([Element._new(e) for e in self._elements])

    @prop(STRING)
    def Title(self):
        return self._title

    @Title.setter
    def Title(self, value):
        self._title = value or ""

    @prop(STRING)
    def FileName(self):
        return self._file

    @method(("fileName", STRING))
    def LoadFromFile(self, fileName):
        _require_path(fileName, "fileName")
        if not os.path.isfile(fileName):
            raise exc.FileNotFoundException(
                f"Could not find file '{os.path.abspath(fileName)}'.", fileName)
        try:
            doc = _tessel.load(fileName)
        except ValueError as e:
            raise exc.InvalidDataException(f"'{fileName}' is not a valid tessel file: {e}.") from None
        self._apply(doc)
        self._file = fileName

    @method(("fileName", STRING))
    def SaveToFile(self, fileName):
        _require_path(fileName, "fileName")
        _require_parent(fileName)
        _tessel.dump(self.to_dict(), fileName)
        self._file = fileName

    @method(("fileName", STRING), ("progress", ref(f"{SDK_NS}.IProgressReporter")),
            ("maxFieldLength", INT32), ("rotationUnits", INT32), ("includeComments", BOOLEAN),
            ("imperialNotation", BOOLEAN), ("inlineRestraints", BOOLEAN), ("inlineDlcs", BOOLEAN),
            ("inlineIndi", BOOLEAN), ("appendToFile", BOOLEAN),
            ("loadCaseFilter", ref(f"{CORE_NS}.ILoadCaseFilter")), ("logger", ref(f"{SDK_NS}.ILogger")))
    def WriteFreFile(self, fileName, progress, maxFieldLength, rotationUnits, includeComments,
                     imperialNotation, inlineRestraints, inlineDlcs, inlineIndi, appendToFile,
                     loadCaseFilter, logger):
        _require_path(fileName, "fileName")
        if not PSLibrary._library_path():
            raise exc.InvalidOperationException("The DiroZiziva library has not been initialised.")
        if rotationUnits not in _fre.ROTATION_NAMES:
            raise exc.ArgumentOutOfRangeException(
                f"Rotation units must be 0, 1 or 2. (Parameter 'rotationUnits')\nActual value was {rotationUnits}.")
        if maxFieldLength < _fre.MIN_LINE:
            raise exc.ArgumentOutOfRangeException(
                f"The maximum field length must be at least {_fre.MIN_LINE}. (Parameter 'maxFieldLength')"
                f"\nActual value was {maxFieldLength}.")
        _require_parent(fileName)
        options = _fre.FreOptions(maxFieldLength, rotationUnits, includeComments, imperialNotation,
                                  inlineRestraints, inlineDlcs, inlineIndi)
        title = self._title or os.path.splitext(os.path.basename(fileName))[0]
        text = _fre.render(self.to_dict(), options, title)
        with open(fileName, "a" if appendToFile else "w", encoding="utf-8") as f:
            f.write(text)


class PSLibrary(HostObject):
    """The DiroZiziva native library; initialised once per process (and again
    on every Initialize call)."""

    _namespace_ = CORE_NS
    _lock = threading.Lock()
    _path = None

    @classmethod
    def _library_path(cls):
        with cls._lock:
            return cls._path

    @classmethod
    def _forget(cls):
        with cls._lock:
            cls._path = None

    @method(("fileName", STRING), static=True)
    def Initialize(fileName):
        _require_path(fileName, "fileName")
        if not os.path.isfile(fileName):
            raise exc.FileNotFoundException(f"Could not find file '{os.path.abspath(fileName)}'.", fileName)
        if read_library_file(fileName) is None:
            raise exc.BadImageFormatException(f"'{fileName}' is not a valid DiroZiziva library.")
        with PSLibrary._lock:
            PSLibrary._path = fileName

    @prop(BOOLEAN, static=True)
    def IsInitialized(cls):
        return cls._library_path() is not None

    @prop(STRING, static=True)
    def LibraryPath(cls):
        return cls._library_path()


# ------------------------------------------------------------------ commands


class CustomCommand(HostObject):
    _namespace_ = CORE_NS
    _ctors_ = [Signature([("model", MODEL_T), ("commandName", STRING)])]

    def _construct(self, model, commandName):
        _require(model, "model")
        _require(commandName, "commandName")
        if commandName not in _commands.COMMANDS:
            raise exc.ArgumentException(f"Unknown command '{commandName}'. (Parameter 'commandName')")
        self._model = model
        self._name = commandName
        self._reload = True
        self._save = True
        self._parameters = {name: default for name, (_, default) in _commands.PARAMETERS.get(commandName, {}).items()}

    # A command's parameters are properties of its own: declared per command name.
    def __getattr__(self, name):
        parameters = self.__dict__.get("_parameters", {})
        if name in parameters:
            return parameters[name]
        raise AttributeError(f"'CustomCommand' object has no attribute '{name}'")

    def __setattr__(self, name, value):
        declared = _commands.PARAMETERS.get(self.__dict__.get("_name"), {})
        if name not in declared:
            super().__setattr__(name, value)
            return
        htype = declared[name][0]
        if not htype.accepts(value):
            raise TypeError(f"'{type(value).__name__}' value cannot be converted to {htype.name}")
        value = htype.convert(value)
        _record(f"CustomCommand.{name}", (value,))
        self._parameters[name] = value

    @prop(STRING)
    def CommandName(self):
        return self._name

    @prop(STRING)
    def Description(self):
        return _commands.COMMANDS[self._name][0]

    @prop(MODEL_T)
    def Model(self):
        return self._model

    @prop(BOOLEAN)
    def NeedToReloadModelAfterCommand(self):
        return self._reload

    @NeedToReloadModelAfterCommand.setter
    def NeedToReloadModelAfterCommand(self, value):
        self._reload = value

    @prop(BOOLEAN)
    def NeedToSaveModelAfterCommand(self):
        return self._save

    @NeedToSaveModelAfterCommand.setter
    def NeedToSaveModelAfterCommand(self, value):
        self._save = value


class CommandController(HostObject):
    """Runs commands on its current `model` -- not on the model a command was
    created with.  After a command it saves the model to its file and/or
    reloads it from there, as the command's flags ask (only for a model that
    has a file)."""

    _namespace_ = CORE_NS
    _ctors_ = [Signature()]

    def _construct(self):
        self._application = None
        self._model = None
        self._executed = []

    @method(("application", ref(f"{SDK_NS}.VeltraneApplication")))
    def SetApplication(self, application):
        _require(application, "application")
        self._application = application

    @prop(ref(f"{SDK_NS}.VeltraneApplication"))
    def Application(self):
        return self._application

    @prop(MODEL_T)
    def model(self):
        return self._model

    @model.setter
    def model(self, value):
        self._model = value

    @prop(INT32)
    def ExecutedCount(self):
        return len(self._executed)

    @method(("command", ref(f"{CORE_NS}.CustomCommand")))
    def AddCommand(self, command):
        _require(command, "command")
        if self._application is None:
            raise exc.InvalidOperationException("The command controller is not attached to an application.")
        target = self._model
        if target is None:
            raise exc.InvalidOperationException("The command controller has no model.")
        _commands.run(command._name, target, command._parameters)
        self._executed.append(command._name)
        if target._file:
            if command._save:
                _tessel.dump(target.to_dict(), target._file)
            if command._reload and os.path.isfile(target._file):
                target._apply(_tessel.load(target._file))


# ------------------------------------------------------------------ solution

_open_lock = threading.Lock()
_open_solutions = weakref.WeakSet()


def open_solutions():
    """Solutions created and not yet disposed (that are still referenced)."""
    with _open_lock:
        return [s for s in list(_open_solutions) if not s._disposed]


class Solution(HostObject):
    """The result of a finished solver run.  Holds the solver (and its result
    file) until disposed."""

    _namespace_ = CORE_NS
    _ctors_ = [Signature([("model", MODEL_T), ("solver", ref(f"{SDK_NS}.ISolver"))])]

    def _construct(self, model, solver):
        _require(solver, "solver")
        solver._check_alive()
        self._model = model
        self._solver = solver
        self._results = copy.deepcopy(solver._results)
        self._result_file = solver._result_file
        self._disposed = False
        with _open_lock:
            _open_solutions.add(self)

    def _alive(self):
        if self._disposed:
            raise exc.ObjectDisposedException("Cannot access a disposed object.\nObject name: 'Solution'.")
        return self._results or {}

    @prop(BOOLEAN)
    def IsDisposed(self):
        return self._disposed

    @prop(ref(f"{SDK_NS}.ISolver"))
    def Solver(self):
        self._alive()
        return self._solver

    @prop(STRING)
    def SolverName(self):
        self._alive()
        return self._results.get("solver") if self._results else type(self._solver).__name__[:-6]

    @prop(STRING)
    def ResultFile(self):
        self._alive()
        return self._result_file

    @prop(STRING)
    def WorkingDirectory(self):
        self._alive()
        return os.path.dirname(self._result_file) if self._result_file else None

    @prop(INT32)
    def NodeCount(self):
        return self._alive().get("nodeCount", 0)

    @prop(INT32)
    def ElementCount(self):
        return self._alive().get("elementCount", 0)

    @prop(DOUBLE)
    def MaxDisplacement(self):
        return self._alive().get("maxDisplacement", 0.0)

    @method()
    def Dispose(self):
        if not self._disposed:
            self._solver._dispose()
            self._disposed = True

    def to_dict(self):
        """The run's results (what the solver wrote to ResultFile)."""
        return copy.deepcopy(self._alive())


NAMESPACE_CLASSES = {CORE_NS: {c.__name__: c for c in (
    Model, Layer, LayerCollection, Node, Element, PipingCode, StructureCode, PSLibrary,
    CommandController, CustomCommand, Solution)}}
