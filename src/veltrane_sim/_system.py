"""Platform classes reached through the bridge after AddReference("mscorlib"):
cultures, the current thread's culture settings, and the Point structure."""

import re
import threading

from . import _exceptions as exc
from ._hostbase import DOUBLE, INT32, STRING, HostObject, HostTuple, Signature, prop, ref

_CULTURE_NAME = re.compile(r"^([A-Za-z]{2,3})(?:-([A-Za-z]{4}))?(?:-([A-Za-z]{2}|\d{3}))?$")


def _canonical_culture(name):
    if name == "":
        return ""
    match = _CULTURE_NAME.match(name)
    if not match:
        return None
    lang, script, region = match.groups()
    parts = [lang.lower()]
    if script:
        parts.append(script.title())
    if region:
        parts.append(region.upper())
    return "-".join(parts)


class CultureInfo(HostObject):
    _namespace_ = "System.Globalization"
    _ctors_ = [Signature([("name", STRING)])]

    def _construct(self, name):
        if name is None:
            raise exc.ArgumentNullException("Value cannot be null. (Parameter 'name')")
        canonical = _canonical_culture(name)
        if canonical is None:
            raise exc.CultureNotFoundException(
                f"Culture is not supported. (Parameter 'name')\n{name} is an invalid culture identifier.")
        self._name = canonical

    @prop(STRING)
    def Name(self):
        return self._name

    @prop(STRING)
    def TwoLetterISOLanguageName(self):
        return self._name.split("-")[0][:2] if self._name else "iv"

    @prop(ref("System.Globalization.CultureInfo"), static=True)
    def InvariantCulture(cls):
        return _INVARIANT

    @prop(ref("System.Globalization.CultureInfo"), static=True)
    def CurrentCulture(cls):
        return Thread.CurrentThread.CurrentCulture

    def __eq__(self, other):
        if isinstance(other, CultureInfo):
            return self._name == other._name
        return NotImplemented

    def __hash__(self):
        return hash(("CultureInfo", self._name))

    def __str__(self):
        return self._name

    def __repr__(self):
        return f"<CultureInfo {self._name!r}>"


_INVARIANT = CultureInfo._new("")


class Thread(HostObject):
    """One object per Python thread; its culture settings live as long as the thread."""

    _namespace_ = "System.Threading"
    _local = threading.local()
    _ids = iter(range(1, 1 << 62))
    _ids_lock = threading.Lock()

    def _construct(self):
        with Thread._ids_lock:
            self._managed_id = next(Thread._ids)
        self._ident = threading.get_ident()
        self._culture = _INVARIANT
        self._ui_culture = _INVARIANT

    @prop(ref("System.Threading.Thread"), static=True)
    def CurrentThread(cls):
        current = getattr(Thread._local, "thread", None)
        if current is None:
            current = Thread._new()
            Thread._local.thread = current
        return current

    @prop(INT32)
    def ManagedThreadId(self):
        return self._managed_id

    @prop(STRING)
    def Name(self):
        for t in threading.enumerate():
            if t.ident == self._ident:
                return t.name
        return None

    @prop(ref("System.Globalization.CultureInfo"))
    def CurrentCulture(self):
        return self._culture

    @CurrentCulture.setter
    def CurrentCulture(self, value):
        if value is None:
            raise exc.ArgumentNullException("Value cannot be null. (Parameter 'value')")
        self._culture = value

    @prop(ref("System.Globalization.CultureInfo"))
    def CurrentUICulture(self):
        return self._ui_culture

    @CurrentUICulture.setter
    def CurrentUICulture(self, value):
        if value is None:
            raise exc.ArgumentNullException("Value cannot be null. (Parameter 'value')")
        self._ui_culture = value


def current_culture_name():
    """Culture name of the calling Python thread (what a host component formats with)."""
    return Thread.CurrentThread.CurrentCulture.Name


class Point(HostObject):
    """A value type: two doubles, compared by value, never null."""

    _namespace_ = "System.Windows"
    _ctors_ = [Signature([("x", DOUBLE), ("y", DOUBLE)])]

    def _construct(self, x, y):
        self._x = x
        self._y = y

    @prop(DOUBLE)
    def X(self):
        return self._x

    @X.setter
    def X(self, value):
        self._x = value

    @prop(DOUBLE)
    def Y(self):
        return self._y

    @Y.setter
    def Y(self, value):
        self._y = value

    def __eq__(self, other):
        if isinstance(other, Point):
            return (self._x, self._y) == (other._x, other._y)
        return NotImplemented

    def __hash__(self):
        return hash((self._x, self._y))

    def __str__(self):
        return f"{self._x:g},{self._y:g}"

    def __repr__(self):
        return f"<Point {self._x!r},{self._y!r}>"


class Assembly(HostObject):
    """What AddReference returns."""

    _namespace_ = "System.Reflection"

    def _construct(self, name, version, location):
        self._name = name
        self._version = version
        self._location = location

    @prop(STRING)
    def FullName(self):
        return f"{self._name}, Version={self._version}, Culture=neutral, PublicKeyToken=null"

    @prop(STRING)
    def Location(self):
        return self._location

    def __str__(self):
        return self.FullName


# Namespaces the platform assembly provides.
PLATFORM_NAMESPACES = {
    "System": {"Tuple": HostTuple},
    "System.Globalization": {"CultureInfo": CultureInfo},
    "System.Threading": {"Thread": Thread},
    "System.Windows": {},
    "System.IO": {},
    "System.Reflection": {"Assembly": Assembly},
}
# What WindowsBase adds: the bridge loads it once an assembly that uses it
# (the project assembly) has its types in use, or when it is referenced.
WINDOWS_BASE_NAMESPACES = {"System.Windows": {"Point": Point}}

for _ns, _classes in exc.by_namespace().items():
    PLATFORM_NAMESPACES.setdefault(_ns, {}).update(_classes)
