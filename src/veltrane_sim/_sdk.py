"""Veltrane.SDK: the application object, its settings controller, the host
module enumeration and the class inspector."""

import json
import os

from . import _exceptions as exc
from . import _journal
from ._assemblies import SDK_NS, read_assembly_file
from ._hostbase import (
    BOOLEAN, OBJECT, STRING, HostEnum, HostMeta, HostMethod, HostObject, HostProperty,
    HostTuple, Signature, method, prop, ref,
)
from ._install import current_installation, lookup_setting


class VeltraneModule(HostEnum):
    """The host's application modules.  There is no 'All' member here."""

    _namespace_ = SDK_NS
    _members_ = {"Tubrolis": 0, "Trabexon": 1}


MODULE_T = ref(f"{SDK_NS}.VeltraneModule", nullable=False)


def module_by_name(name):
    # Not getattr: the interpreter's attribute cache would keep each name read
    # from a model file alive, one string per load.
    return VeltraneModule._by_value_[VeltraneModule._members_[name]]


class ISolver(HostObject):
    """What every solver of the installation is, as far as a Solution cares."""

    _namespace_ = SDK_NS

    def _construct(self):
        self._disposed = False

    @prop(BOOLEAN)
    def IsDisposed(self):
        return self._disposed

    def _check_alive(self):
        if self._disposed:
            raise exc.ObjectDisposedException(
                f"Cannot access a disposed object.\nObject name: '{type(self).__name__}'.")

    def _dispose(self):
        self._disposed = True


class VeltraneApplication(HostObject):
    _namespace_ = SDK_NS
    _ctors_ = [Signature()]

    @prop(STRING)
    def Name(self):
        return "Tubrolis"

    @prop(STRING)
    def Version(self):
        return "25.1"

    @method(returns=ref(f"{SDK_NS}.SettingsController"))
    def GetSettingsController(self):
        if _journal.switches.no_settings_controller:
            return None
        return SettingsController._new(self)


class SettingsController(HostObject):
    """Answers from the current installation's Tubrolis.settings, read afresh
    at every call, unless a switch overrides the value."""

    _namespace_ = SDK_NS

    def _construct(self, application):
        self._application = application

    @method(("family", STRING), ("name", STRING), returns=OBJECT)
    def GetSettingValue(self, family, name):
        if family is None or name is None:
            raise exc.ArgumentNullException("Value cannot be null.")
        overrides = _journal.switches.settings
        if (family, name) in overrides:
            return overrides[(family, name)]
        return lookup_setting(_settings_document(), family, name)


def _settings_document():
    inst = current_installation()
    if inst is None:
        raise exc.InvalidOperationException("The application settings are not available: no installation.")
    try:
        with open(inst.settings_path, "r", encoding="utf-8-sig") as f:
            return json.load(f)
    except FileNotFoundError:
        raise exc.FileNotFoundException(
            f"Could not find file '{inst.settings_path}'.", inst.settings_path) from None
    except ValueError as e:
        raise exc.InvalidDataException(f"The settings file is not valid JSON: {e}") from None


# ------------------------------------------------------------ class inspector

# How Python values arrive in an `object` parameter: an int is not converted
# to a .NET integer but wrapped as Python.Runtime.PyInt.
_PRIMITIVES = ((bool, "System.Boolean"), (int, "Python.Runtime.PyInt"), (float, "System.Double"),
               (str, "System.String"))


def _members(cls):
    props, methods, seen = [], [], set()
    for klass in cls.__mro__:
        for name, attr in vars(klass).items():
            if name in seen or name.startswith("_"):
                continue
            if isinstance(attr, HostProperty):
                seen.add(name)
                props.append((name, attr))
            elif isinstance(attr, HostMethod):
                seen.add(name)
                methods.append((name, attr))
    return props, methods


def _json_value(value):
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return str(value)


def describe(obj):
    """The inspector's description of a host object or class, as a dict."""
    if isinstance(obj, HostMeta):
        cls, instance = obj, None
    elif isinstance(obj, HostObject):
        cls, instance = type(obj), obj
    else:
        for ptype, name in _PRIMITIVES:
            if isinstance(obj, ptype):
                namespace, short = name.rsplit(".", 1)
                return {"Name": short, "FullName": name, "Namespace": namespace, "IsClass": False,
                        "Value": obj, "Constructors": [], "Properties": [], "Methods": []}
        return {"Name": "PyObject", "FullName": "Python.Runtime.PyObject", "Namespace": "Python.Runtime",
                "IsClass": False, "Value": repr(obj), "Constructors": [], "Properties": [], "Methods": []}
    props, methods = _members(cls)
    out = {"Name": cls.__name__, "FullName": cls.FullName, "Namespace": cls.__module__,
           "IsClass": instance is None,
           "Constructors": [[{"Name": n, "Type": t.name} for n, t in sig.params] for sig in cls._ctors_ or []],
           "Properties": [], "Methods": []}
    if issubclass(cls, HostEnum):
        out["Values"] = dict(cls._members_)
    for name, p in props:
        entry = {"Name": name, "Type": p.type.name, "CanWrite": p.fset is not None, "IsStatic": p.static}
        if instance is not None and not p.static:
            try:
                entry["Value"] = _json_value(getattr(instance, name))
            except exc.HostException as e:
                entry["Error"] = e.Message
        out["Properties"].append(entry)
    for name, m in methods:
        for sig in m.signatures:
            out["Methods"].append({"Name": name, "ReturnType": sig.returns.name, "IsStatic": m.static,
                                   "Parameters": [{"Name": n, "Type": t.name} for n, t in sig.params]})
    return out


class VeltraneClassInspector(HostObject):
    _namespace_ = SDK_NS

    @method(("obj", OBJECT), ("indent", BOOLEAN), returns=STRING, static=True)
    def ExportObjectToJson(obj, indent):
        if obj is None:
            raise exc.ArgumentNullException("Value cannot be null. (Parameter 'obj')")
        return json.dumps(describe(obj), indent=2 if indent else None)

    @method(("directory", STRING), ("className", STRING), returns=ref("System.Tuple"), static=True)
    def FindNamespaceAndAssemblyFromClassName(directory, className):
        if directory is None or className is None:
            raise exc.ArgumentNullException("Value cannot be null.")
        if not os.path.isdir(directory):
            raise exc.DirectoryNotFoundException(f"Could not find a part of the path '{directory}'.")
        for file_name in sorted(os.listdir(directory)):
            path = os.path.join(directory, file_name)
            if not file_name.lower().endswith(".dll") or not os.path.isfile(path):
                continue
            payload = read_assembly_file(path)
            if payload is None:
                continue
            for namespace, classes in payload["namespaces"].items():
                if className in classes or className in (f"{namespace}.{c}" for c in classes):
                    return HostTuple._new(namespace, file_name)
        return None


NAMESPACE_CLASSES = {SDK_NS: {c.__name__: c for c in (
    VeltraneApplication, SettingsController, VeltraneModule, VeltraneClassInspector, ISolver)}}
