"""The bridge: a stand-in `clr` module, the import hook for host namespaces,
and activation.

Host namespaces (System.*, Veltrane.*) import like Python packages once an
assembly providing them has been referenced with clr.AddReference; before
that they raise ModuleNotFoundError.  References last for the process (they
survive reset()); forget_references() exists for this package's own tests.
"""

import contextlib
import importlib.abc
import importlib.util
import os
import sys
import threading
import types
from importlib.machinery import ModuleSpec

from . import _com, _core, _exceptions as exc, _journal, _project, _sdk, _solvers, _system
from ._assemblies import PROJECT_NS, read_assembly_file

PLATFORM_ASSEMBLIES = {"mscorlib", "system", "system.runtime", "system.private.corelib", "windowsbase"}
ROOTS = ("System", "Veltrane")

# Every class an assembly file may name: namespace -> {class name -> class}.
CATALOG = {}
for _part in (_sdk.NAMESPACE_CLASSES, _core.NAMESPACE_CLASSES, _solvers.NAMESPACE_CLASSES,
              _project.NAMESPACE_CLASSES):
    for _ns, _classes in _part.items():
        CATALOG.setdefault(_ns, {}).update(_classes)

_lock = threading.RLock()
_assemblies = {}    # assembly name -> Assembly object
_namespaces = {}    # namespace -> {class name -> class}, for referenced assemblies only


def _is_host_name(fullname):
    return fullname.split(".", 1)[0] in ROOTS


def _publish(namespace, classes):
    """Make classes importable from namespace; update a module already imported."""
    _namespaces.setdefault(namespace, {}).update(classes)
    module = sys.modules.get(namespace)
    if isinstance(module, NamespaceModule):
        for name, cls in classes.items():
            setattr(module, name, cls)


def _load_platform(name):
    with _lock:
        assembly = _assemblies.get("mscorlib")
        if assembly is None:
            assembly = _system.Assembly._new("mscorlib", "4.0.0.0", "")
            _assemblies["mscorlib"] = assembly
            for namespace, classes in _system.PLATFORM_NAMESPACES.items():
                _publish(namespace, classes)
        if name.lower() == "windowsbase":
            _load_windows_base()
        return assembly


def _load_windows_base():
    with _lock:
        for namespace, classes in _system.WINDOWS_BASE_NAMESPACES.items():
            _publish(namespace, classes)


def _refuse_relative_path(name):
    """The bridge takes an assembly file by its absolute path only."""
    if name.lower().endswith(".dll") and not os.path.isabs(name):
        if os.path.dirname(name):
            raise exc.FileNotFoundException(f"Unable to find assembly '{name}'.", name)
        raise exc.FileNotFoundException(f"Could not load the file '{name}'.", name)


def _search(name):
    """A bare assembly name is looked up in the current directory and on sys.path."""
    if os.sep in name or (os.altsep and os.altsep in name):
        return None
    candidates = [name] if name.lower().endswith(".dll") else [name, name + ".dll"]
    for folder in ["", *[p for p in sys.path if isinstance(p, str)]]:
        for candidate in candidates:
            path = os.path.join(folder, candidate)
            if os.path.isfile(path):
                return path
    return None


def add_reference(name):
    _journal.journal.record("clr.AddReference", (name,))
    _journal.raise_if_failing("clr.AddReference")
    if not isinstance(name, str):
        raise TypeError(f"No method matches given arguments for AddReference: ({type(name)})")
    if name.lower() in PLATFORM_ASSEMBLIES:
        return _load_platform(name)
    _refuse_relative_path(name)
    path = name if os.path.isfile(name) else _search(name)
    if path is None:
        raise exc.FileNotFoundException(f"Unable to find assembly '{name}'.", name)
    payload = read_assembly_file(path)
    bad = exc.BadImageFormatException(
        f"Could not load file or assembly '{path}'. The module was expected to contain an assembly manifest.",
        path)
    if payload is None:
        raise bad
    resolved = {}
    for namespace, class_names in payload["namespaces"].items():
        known = CATALOG.get(namespace, {})
        if any(c not in known for c in class_names):
            raise bad
        resolved[namespace] = {c: known[c] for c in class_names}
    with _lock:
        assembly = _assemblies.get(payload["name"])
        if assembly is None:
            assembly = _system.Assembly._new(payload["name"], payload["version"], os.path.abspath(path))
            _assemblies[payload["name"]] = assembly
            for namespace, classes in resolved.items():
                _publish(namespace, classes)
        return assembly


def find_assembly(name):
    """clr.FindAssembly: the path a bare name would load from, or None."""
    return _search(name)


def referenced_assemblies():
    """Names of the assemblies referenced in this process, in no particular order."""
    with _lock:
        return sorted(_assemblies)


def namespace_available(fullname):
    with _lock:
        return any(ns == fullname or ns.startswith(fullname + ".") for ns in _namespaces)


def _purge_namespace_modules():
    for name in [n for n, m in list(sys.modules.items()) if isinstance(m, NamespaceModule)]:
        sys.modules.pop(name, None)


def forget_references():
    """Drop every reference and imported host namespace (and the DiroZiziva
    library initialisation): the process starts over as if freshly launched."""
    with _lock:
        _assemblies.clear()
        _namespaces.clear()
        _purge_namespace_modules()
    _core.PSLibrary._forget()


@contextlib.contextmanager
def isolated_references():
    """Run a block as in a fresh process: no references, no imported host
    namespaces, no library initialised; everything is put back afterwards,
    so other code that relies on process-wide references is not disturbed."""
    with _lock:
        saved = (dict(_assemblies), {ns: dict(c) for ns, c in _namespaces.items()},
                 _core.PSLibrary._library_path())
        forget_references()
    try:
        yield
    finally:
        with _lock:
            forget_references()
            _assemblies.update(saved[0])
            _namespaces.update(saved[1])
            with _core.PSLibrary._lock:
                _core.PSLibrary._path = saved[2]


# -------------------------------------------------------------- import hook


class NamespaceModule(types.ModuleType):
    """A host namespace seen as a Python package."""

    def __repr__(self):
        return f"<module '{self.__name__}' (host namespace)>"


class _Loader(importlib.abc.Loader):
    def create_module(self, spec):
        if spec.name in ("clr", "pythoncom"):
            return _STANDINS[spec.name]
        if spec.name == PROJECT_NS:
            _load_windows_base()  # the project types use Point
        module = NamespaceModule(spec.name)
        with _lock:
            for name, cls in _namespaces.get(spec.name, {}).items():
                setattr(module, name, cls)
        return module

    def exec_module(self, module):
        pass


class _Finder(importlib.abc.MetaPathFinder):
    def find_spec(self, fullname, path=None, target=None):
        if fullname in _STANDINS:
            return ModuleSpec(fullname, _LOADER, origin="veltrane_sim")
        if _is_host_name(fullname) and namespace_available(fullname):
            return ModuleSpec(fullname, _LOADER, origin="veltrane_sim", is_package=True)
        return None


_LOADER = _Loader()
_FINDER = _Finder()


def _make_clr():
    mod = types.ModuleType("clr", "Simulated Python-to-.NET bridge (veltrane_sim).")
    mod.__spec__ = ModuleSpec("clr", _LOADER, origin="veltrane_sim")
    mod.__veltrane_sim__ = True
    mod.__version__ = "3.0.0+veltrane_sim"
    mod.AddReference = add_reference
    mod.FindAssembly = find_assembly
    return mod


_STANDINS = {"clr": _make_clr(), "pythoncom": _com.make_module()}

# ------------------------------------------------------------------ activation

_active = False
_saved = {}


def _real_module_available(name):
    existing = sys.modules.get(name)
    if existing is not None:
        return not getattr(existing, "__veltrane_sim__", False)
    try:
        return importlib.util.find_spec(name) is not None
    except (ImportError, ValueError):
        return True


def activate(force=False):
    """Install the stand-ins for `clr` and `pythoncom` and the host namespace
    hook.  Without force this happens only when neither real module can be
    imported.  Returns whether the simulation is active; safe to call again."""
    global _active
    with _lock:
        if _active:
            return True
        if not force and any(_real_module_available(n) for n in _STANDINS):
            return False
        for name, module in _STANDINS.items():
            previous = sys.modules.get(name)
            if previous is not None and previous is not module:
                _saved[name] = previous
            sys.modules[name] = module
        if _FINDER not in sys.meta_path:
            sys.meta_path.insert(0, _FINDER)
        _active = True
        return True


def deactivate():
    """Remove the stand-ins and the hook, restoring modules a forced activation hid."""
    global _active
    with _lock:
        if _FINDER in sys.meta_path:
            sys.meta_path.remove(_FINDER)
        for name, module in _STANDINS.items():
            if sys.modules.get(name) is module:
                del sys.modules[name]
            if name in _saved:
                sys.modules[name] = _saved.pop(name)
        _purge_namespace_modules()
        _active = False


def is_active():
    return _active

