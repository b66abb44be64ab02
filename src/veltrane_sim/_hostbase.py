"""How host (.NET) classes look from Python, the way the bridge presents them.

Host members are declared with typed signatures; the bridge-like binder checks
each argument against the declared .NET type before the member runs and
raises ``TypeError`` when nothing fits, as the real bridge does when no
overload matches.  The conversions are the bridge's strict ones: a ``bool``
is never an ``int`` and an ``int`` is never a ``bool``; an enum parameter takes
only members of that enum; ``None`` is accepted only by reference types.

Every successful call, constructor and property assignment is written to the
journal, and then the failure switches get their chance to raise.
"""

import functools

from . import _journal
from ._exceptions import ArgumentOutOfRangeException

# Full .NET name -> Python class, filled by HostMeta for every host class.
REGISTRY = {}


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


class HostType:
    """A .NET type as a parameter or property type."""

    def __init__(self, name, check, nullable=False, convert=None):
        self.name = name
        self._check = check
        self.nullable = nullable
        self._convert = convert

    def accepts(self, value):
        if value is None:
            return self.nullable
        return self._check(value)

    def convert(self, value):
        if value is None or self._convert is None:
            return value
        return self._convert(value)

    def __repr__(self):
        return f"<host type {self.name}>"


STRING = HostType("System.String", lambda v: isinstance(v, str), nullable=True)
BOOLEAN = HostType("System.Boolean", lambda v: isinstance(v, bool))
INT32 = HostType("System.Int32", lambda v: _is_int(v) and -(2**31) <= v < 2**31)
DOUBLE = HostType("System.Double", lambda v: _is_int(v) or isinstance(v, float), convert=float)
OBJECT = HostType("System.Object", lambda v: True, nullable=True)
VOID = HostType("System.Void", lambda v: False)


def ref(full_name, nullable=True):
    """A host class type, looked up by full name when a value is checked, so
    declarations may name classes defined later.  Names that are not
    registered (interfaces nobody implements here) accept only None."""

    def check(value):
        cls = REGISTRY.get(full_name)
        return cls is not None and isinstance(value, cls)

    return HostType(full_name, check, nullable=nullable)


def describe_args(args):
    return "(" + ", ".join(str(type(a)) for a in args) + ")"


class Signature:
    def __init__(self, params=(), returns=VOID):
        self.params = tuple(params)
        self.returns = returns

    def bind(self, args, kwargs):
        """Converted positional arguments, or None when this signature does not fit."""
        if len(args) > len(self.params):
            return None
        values = list(args)
        rest = dict(kwargs)
        for name, _ in self.params[len(args):]:
            if name not in rest:
                return None
            values.append(rest.pop(name))
        if rest:
            return None
        bound = []
        for (_, htype), value in zip(self.params, values, strict=True):
            if not htype.accepts(value):
                return None
            bound.append(htype.convert(value))
        return tuple(bound)


def _record(op, args):
    _journal.journal.record(op, args)
    _journal.raise_if_failing(op)


class HostMethod:
    """A host method (instance or static) with one or more overloads."""

    def __init__(self, fn, signatures, static=False):
        self.fn = fn
        self.signatures = signatures
        self.static = static
        self.name = fn.__name__
        self.owner = None
        functools.update_wrapper(self, fn)

    def __set_name__(self, owner, name):
        self.owner = owner.__name__
        self.name = name

    @property
    def op(self):
        return f"{self.owner}.{self.name}"

    def invoke(self, target, args, kwargs):
        for sig in self.signatures:
            bound = sig.bind(args, kwargs)
            if bound is not None:
                break
        else:
            raise TypeError(f"No method matches given arguments for {self.op}: {describe_args(args)}")
        # Journaled under the class of the object, so inherited members read
        # as the host shows them ("VazerSolver.Dispose").
        owner = self.owner if target is None else type(target).__name__
        _record(f"{owner}.{self.name}", bound)
        if self.static:
            return through_bridge(self.fn(*bound))
        return through_bridge(self.fn(target, *bound))

    def __get__(self, obj, owner=None):
        if obj is None and not self.static:
            return self
        method = self

        def call(*args, **kwargs):
            return method.invoke(obj, args, kwargs)

        call.__name__ = self.name
        call.__qualname__ = self.op
        call.__doc__ = self.fn.__doc__
        return call

    def __call__(self, obj, *args, **kwargs):  # Class.Method(instance, ...)
        return self.invoke(obj, args, kwargs)


def method(*params, returns=VOID, static=False):
    """Declare a host method: @method(("path", STRING), returns=INT32)."""

    def deco(fn):
        return HostMethod(fn, [Signature(params, returns)], static=static)

    return deco


class HostProperty:
    """A host property; a data descriptor, so assignments always go through it."""

    def __init__(self, htype, fget, fset=None, static=False):
        self.type = htype
        self.fget = fget
        self.fset = fset
        self.static = static
        self.name = fget.__name__
        self.owner = None
        self.__doc__ = fget.__doc__

    def __set_name__(self, owner, name):
        self.owner = owner.__name__
        self.name = name

    def setter(self, fset):
        self.fset = fset
        return self

    def __get__(self, obj, owner=None):
        if self.static:
            return through_bridge(self.fget(owner if owner is not None else type(obj)))
        if obj is None:
            return self
        return through_bridge(self.fget(obj))

    def __set__(self, obj, value):
        if self.fset is None:
            raise AttributeError(f"property '{self.name}' of '{self.owner}' object is read-only")
        if not self.type.accepts(value):
            raise TypeError(f"'{type(value).__name__}' value cannot be converted to {self.type.name}")
        value = self.type.convert(value)
        _record(f"{type(obj).__name__}.{self.name}", (value,))
        self.fset(obj, value)


def prop(htype, static=False):
    """Declare a host property from its getter: @prop(BOOLEAN)."""

    def deco(fget):
        return HostProperty(htype, fget, static=static)

    return deco


class HostMeta(type):
    """Metaclass of host classes: registers them under their .NET name and
    binds constructor arguments like the bridge."""

    def __new__(mcls, name, bases, ns):
        namespace = ns.get("_namespace_")
        if namespace:
            ns["__module__"] = namespace
        cls = super().__new__(mcls, name, bases, ns)
        if namespace:
            REGISTRY[f"{namespace}.{name}"] = cls
        return cls

    @property
    def FullName(cls):
        return f"{cls.__module__}.{cls.__name__}"

    def __call__(cls, *args, **kwargs):
        ctors = cls._ctors_
        if not ctors:
            raise TypeError(f"cannot instantiate {cls.__name__}: no public constructor")
        for sig in ctors:
            bound = sig.bind(args, kwargs)
            if bound is not None:
                break
        else:
            raise TypeError(f"No constructor matches given arguments: {describe_args(args)}")
        _record(f"{cls.__name__}.ctor", bound)
        obj = cls.__new__(cls)
        obj._construct(*bound)
        return obj

    def _new(cls, *args):
        """Create an instance the way the host does internally: no binding, no journal."""
        obj = cls.__new__(cls)
        obj._construct(*args)
        return obj


class HostObject(metaclass=HostMeta):
    """Base of host objects.  Public attributes are the declared members only:
    assigning an undeclared name fails, as it does on a real host object."""

    _ctors_ = None

    def _construct(self):
        pass

    def __setattr__(self, name, value):
        if name.startswith("_"):
            object.__setattr__(self, name, value)
            return
        for klass in type(self).__mro__:
            attr = klass.__dict__.get(name)
            if isinstance(attr, HostProperty):
                attr.__set__(self, value)
                return
            if attr is not None:
                break
        raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")

    def ToString(self):
        return str(self)

    # Equal when both wrap the same host object (they share its state), as
    # .NET's reference equality decides through the bridge.
    def __eq__(self, other):
        if isinstance(other, HostObject):
            return self.__dict__ is other.__dict__
        return NotImplemented

    def __hash__(self):
        return id(self.__dict__)

    def __str__(self):
        return type(self).FullName

    def __repr__(self):
        return f"<{type(self).FullName} object at {id(self):#x}>"


def through_bridge(value):
    """A host object as the bridge hands it back from .NET: a fresh wrapper of
    the same object, equal to the others but not identical to any.  Enum
    members are plain values and stay as they are."""
    if not isinstance(value, HostObject) or isinstance(value, HostEnum):
        return value
    wrapper = object.__new__(type(value))
    object.__setattr__(wrapper, "__dict__", value.__dict__)
    return wrapper


# ---------------------------------------------------------------- enumerations


class HostEnumMeta(HostMeta):
    def __new__(mcls, name, bases, ns):
        cls = super().__new__(mcls, name, bases, ns)
        cls._by_value_ = {}
        for member, value in ns.get("_members_", {}).items():
            obj = object.__new__(cls)
            object.__setattr__(obj, "_name", member)
            object.__setattr__(obj, "_value", value)
            type.__setattr__(cls, member, obj)
            cls._by_value_[value] = obj
        return cls

    def __call__(cls, value):
        # Explicit conversion from a number, as the bridge allows for enums.
        if not _is_int(value):
            raise TypeError(f"No constructor matches given arguments: {describe_args((value,))}")
        try:
            return cls._by_value_[value]
        except KeyError:
            raise ValueError(f"{value} is not a defined value of {cls.FullName}") from None


class HostEnum(HostObject, metaclass=HostEnumMeta):
    """A .NET enumeration member: int() works, but it equals only members of
    its own enumeration, never a plain int."""

    _members_ = {}

    def __int__(self):
        return self._value

    def __eq__(self, other):
        if type(other) is type(self):
            return self._value == other._value
        return NotImplemented

    def __ne__(self, other):
        if type(other) is type(self):
            return self._value != other._value
        return NotImplemented

    def __hash__(self):
        return hash((type(self).FullName, self._value))

    def __str__(self):
        return self._name

    def __repr__(self):
        return f"<{type(self).__name__}.{self._name}: {self._value}>"

    def __reduce__(self):
        return (type(self), (self._value,))


# -------------------------------------------------------------------- tuples


class HostTuple(HostObject):
    """A host pair: read it through Item1/Item2.  It is not a Python sequence,
    so unpacking or iterating raises TypeError."""

    _namespace_ = "System"

    def _construct(self, item1, item2):
        self._items = (item1, item2)

    @prop(OBJECT)
    def Item1(self):
        return self._items[0]

    @prop(OBJECT)
    def Item2(self):
        return self._items[1]

    __iter__ = None

    def __eq__(self, other):
        if isinstance(other, HostTuple):
            return self._items == other._items
        return NotImplemented

    def __hash__(self):
        return hash(self._items)

    def __str__(self):
        return f"({self._items[0]}, {self._items[1]})"


HostTuple.__name__ = HostTuple.__qualname__ = "Tuple"
del REGISTRY["System.HostTuple"]
REGISTRY["System.Tuple"] = HostTuple


# --------------------------------------------------------------- collections


class HostCollection(HostObject):
    """A read-only host list: Count, indexing, iteration, len()."""

    def _construct(self, items=()):
        self._items = list(items)

    @prop(INT32)
    def Count(self):
        return len(self._items)

    def __len__(self):
        return len(self._items)

    def __iter__(self):
        return iter([through_bridge(item) for item in self._items])

    def __contains__(self, item):
        return any(item is x or item == x for x in self._items)

    def __getitem__(self, index):
        if not _is_int(index):
            raise TypeError(f"No method matches given arguments for get_Item: {describe_args((index,))}")
        if not 0 <= index < len(self._items):
            raise ArgumentOutOfRangeException(
                "Index was out of range. Must be non-negative and less than the size of the collection."
                " (Parameter 'index')")
        return through_bridge(self._items[index])
