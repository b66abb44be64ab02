"""Keys of prepare callables: a digest of what decides what a prepare does, the same in every process.

A function is keyed by its code (nested code objects too), its defaults, the values it closes
over and the globals it reads (functions and classes of its own module by their code, other
modules, functions and classes by their qualified names); a bound method by its function and the
object it is bound to; a ``functools.partial`` by its function and arguments.  Values are keyed
by their canonical form (sets and dicts sorted, so hash randomisation does not matter), objects
by what pickling them would store.  A value without a stable form raises Unkeyable.
"""

from __future__ import annotations

import functools
import hashlib
import types
from collections.abc import Callable, Iterator
from pathlib import PurePath
from typing import Any

_SCALARS = (type(None), bool, int, float, complex)
_NAMED = (type, types.ModuleType, types.BuiltinFunctionType, types.FunctionType)
_MAX_DEPTH = 64


class Unkeyable(Exception):
    """A prepare callable with a value that has no stable form; the message says which."""


class PrepareKeys:
    """Keys prepare callables; a function or class met again in the same batch is keyed once."""

    def __init__(self) -> None:
        self._feed: Callable[[bytes], object] = hashlib.sha256().update
        self._open: set[int] = set()  # the values being keyed: met again inside themselves, a cycle
        self._known: dict[int, tuple[object, str]] = {}  # functions and classes: (the object, its digest)

    def key(self, prepare: object) -> str:
        """The digest of `prepare` ("" for None); Unkeyable says why there is none."""
        return "" if prepare is None else self._alone(self._value, prepare)

    def _emit(self, tag: str, data: str | bytes = b"") -> None:
        raw = data.encode("utf-8", "surrogatepass") if isinstance(data, str) else data
        self._feed(f"{tag}{len(raw)}:".encode() + raw)

    def _alone(self, key: Callable[[Any], None], value: object) -> str:
        """The digest of one value, keyed apart from the rest (set members, dict keys, functions)."""
        digest = hashlib.sha256()
        feed, self._feed = self._feed, digest.update
        try:
            key(value)
        finally:
            self._feed = feed
        return digest.hexdigest()

    def _value(self, value: object) -> None:
        kind = type(value)
        if kind in _SCALARS:
            self._emit(kind.__name__, repr(value))
        elif isinstance(value, (str, bytes)) and kind in (str, bytes):
            self._emit(kind.__name__, value)
        elif isinstance(value, (types.FunctionType, type)):
            self._once(value)
        else:
            if id(value) in self._open:
                raise Unkeyable(f"a {kind.__qualname__} value contains itself")
            if len(self._open) >= _MAX_DEPTH:
                raise Unkeyable(f"a {kind.__qualname__} value is nested too deeply")
            self._open.add(id(value))
            try:
                self._compound(value)
            finally:
                self._open.discard(id(value))

    def _compound(self, value: object) -> None:
        if isinstance(value, (tuple, list)):
            self._emit(_qualified(type(value)), str(len(value)))
            for item in value:
                self._value(item)
        elif isinstance(value, (set, frozenset)):
            self._emit(_qualified(type(value)), str(len(value)))
            for digest in sorted(self._alone(self._value, item) for item in value):
                self._emit("member", digest)
        elif isinstance(value, dict):
            self._emit(_qualified(type(value)), str(len(value)))
            pairs = sorted(((self._alone(self._value, key), item) for key, item in value.items()), key=_first)
            for digest, item in pairs:
                self._emit("key", digest)
                self._value(item)
        elif isinstance(value, functools.partial):
            self._emit("partial")
            for part in (value.func, value.args, value.keywords):
                self._value(part)
        elif isinstance(value, types.MethodType):
            self._emit("method")
            self._value(value.__func__)
            self._value(value.__self__)
            self._once(type(value.__self__))
        elif isinstance(value, types.CodeType):
            self._code(value)
        elif isinstance(value, (types.ModuleType, types.BuiltinFunctionType)):
            self._emit("named", _qualified(value))
            bound = getattr(value, "__self__", None)
            if bound is not None and not isinstance(bound, types.ModuleType):
                self._value(bound)
        elif isinstance(value, PurePath):
            self._emit(_qualified(type(value)), str(value))
        else:
            self._reduced(value)

    def _once(self, value: types.FunctionType | type) -> None:
        """A function or class by its digest, made once; one met again while it is being keyed (a
        recursive function, a method naming its class) stands for itself by name."""
        known = self._known.get(id(value))
        if known is None:
            self._known[id(value)] = (value, "within " + _qualified(value))
            try:
                digest = self._alone(self._function if isinstance(value, types.FunctionType) else self._class, value)
            except BaseException:
                del self._known[id(value)]
                raise
            known = self._known[id(value)] = (value, digest)
        self._emit("once", known[1])

    def _function(self, function: types.FunctionType) -> None:
        self._emit("function", _qualified(function))
        self._code(function.__code__)
        self._value(function.__defaults__)
        self._value(function.__kwdefaults__)
        for cell in function.__closure__ or ():
            try:
                self._value(cell.cell_contents)
            except ValueError:  # a cell not filled yet
                self._emit("empty")
        namespace = function.__globals__
        for name in sorted(set(_global_names(function.__code__)) & namespace.keys()):
            self._emit("global", name)
            self._global(namespace[name], function.__module__)

    def _global(self, value: object, module: str) -> None:
        """A global a function reads: its own module's functions and classes by their code."""
        if isinstance(value, (types.FunctionType, type)) and value.__module__ == module:
            self._once(value)
        elif isinstance(value, _NAMED):
            self._emit("named", _qualified(value))
        else:
            self._value(value)

    def _class(self, cls: type) -> None:
        self._emit("class", _qualified(cls))
        if cls.__module__ == "builtins":
            return
        for name, member in sorted(vars(cls).items(), key=_first):
            function = getattr(member, "__func__", member)  # staticmethod, classmethod
            if isinstance(function, types.FunctionType):
                self._emit("member", name)
                self._global(function, cls.__module__)

    def _code(self, code: types.CodeType) -> None:
        self._emit("code", code.co_name)
        self._emit("bytes", code.co_code)
        for part in (code.co_names, code.co_varnames, code.co_freevars, code.co_cellvars):
            self._value(part)
        self._emit("consts", str(len(code.co_consts)))
        for const in code.co_consts:  # nested code objects are keyed the same way
            self._value(const)

    def _reduced(self, value: object) -> None:
        """An object keyed by what pickling it would store."""
        try:
            reduced = value.__reduce_ex__(4)
        except Exception as error:
            raise Unkeyable(f"a {type(value).__qualname__} value has no stable form ({error})") from None
        if isinstance(reduced, str):  # a module-level object, stored by name
            self._emit("named", f"{type(value).__module__}.{reduced}")
            return
        rebuild, arguments, *rest = reduced
        self._emit("reduced", _qualified(rebuild))
        self._value(arguments)
        parts = rest + [None] * (3 - len(rest))
        self._value(parts[0])  # the state
        for items in parts[1:]:  # list items, dict items
            self._value(None if items is None else list(items))


def _first(pair: tuple[str, object]) -> str:
    return pair[0]


def _qualified(value: object) -> str:
    name = getattr(value, "__qualname__", None) or getattr(value, "__name__", None) or type(value).__qualname__
    module = getattr(value, "__module__", None)
    return f"{module}.{name}" if module else str(name)


def _global_names(code: types.CodeType) -> Iterator[str]:
    yield from code.co_names
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            yield from _global_names(const)
