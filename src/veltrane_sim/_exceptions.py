"""Host exception classes, as the bridge surfaces .NET exceptions.

Every class derives from the host root ``System.Exception``, which itself
derives from Python's ``Exception`` -- and from nothing else.  As through the
bridge, ``e.Message`` and ``e.args[0]`` are the bare message while ``str(e)``
adds a stack trace, after the platform's line separator (``"\r\n"`` on
Windows, as .NET writes it there).  In particular a
host ``FileNotFoundException`` is *not* a Python ``FileNotFoundError``: code
that wants to catch host failures has to catch ``Exception`` (or the host
class), exactly as with the real bridge.
"""

import builtins
import os


class HostException(builtins.Exception):
    """Root of all host exceptions (``System.Exception``)."""

    _default_message = "Exception of type '{}' was thrown."

    def __init__(self, message=None, *extra):
        if message is None:
            message = self._default_message.format(_full_name(type(self)))
        super().__init__(message, *extra)

    @property
    def Message(self):
        return self.args[0] if self.args else ""

    @property
    def InnerException(self):
        return None

    def __str__(self):
        # The bridge appends the .NET stack trace, on a line of its own as the
        # platform ends lines; callers read Message (or args[0]).
        trace = f"  at {_full_name(type(self))} (simulated host) [0x00000] in <veltrane_sim>:0 "
        return f"{self.Message}{os.linesep}{trace}"


HostException.__name__ = HostException.__qualname__ = "Exception"
HostException.__module__ = "System"


def _full_name(cls):
    return f"{cls.__module__}.{cls.__name__}"


def _define(name, namespace, base, default=None):
    attrs = {"__module__": namespace, "__qualname__": name}
    if default is not None:
        attrs["_default_message"] = default
    return type(name, (base,), attrs)


SystemException = _define("SystemException", "System", HostException)
ArgumentException = _define(
    "ArgumentException", "System", SystemException, "Value does not fall within the expected range.")
ArgumentNullException = _define(
    "ArgumentNullException", "System", ArgumentException, "Value cannot be null.")
ArgumentOutOfRangeException = _define(
    "ArgumentOutOfRangeException", "System", ArgumentException,
    "Specified argument was out of the range of valid values.")
InvalidOperationException = _define(
    "InvalidOperationException", "System", SystemException,
    "Operation is not valid due to the current state of the object.")
ObjectDisposedException = _define(
    "ObjectDisposedException", "System", InvalidOperationException,
    "Cannot access a disposed object.")
BadImageFormatException = _define(
    "BadImageFormatException", "System", SystemException,
    "Format of the executable (.exe) or library (.dll) is invalid.")
IOException = _define("IOException", "System.IO", SystemException, "I/O error occurred.")
FileNotFoundException = _define(
    "FileNotFoundException", "System.IO", IOException, "Unable to find the specified file.")
DirectoryNotFoundException = _define(
    "DirectoryNotFoundException", "System.IO", IOException, "Attempted to access a path that is not on the disk.")
InvalidDataException = _define(
    "InvalidDataException", "System.IO", SystemException, "Found invalid data while decoding.")
CultureNotFoundException = _define(
    "CultureNotFoundException", "System.Globalization", ArgumentException, "Culture is not supported.")

ALL = {
    cls.__name__: cls
    for cls in (
        HostException, SystemException, ArgumentException, ArgumentNullException,
        ArgumentOutOfRangeException, InvalidOperationException, ObjectDisposedException,
        BadImageFormatException, IOException, FileNotFoundException,
        DirectoryNotFoundException, InvalidDataException, CultureNotFoundException,
    )
}


def by_namespace():
    """{namespace: {class name: class}} for the exception classes."""
    spaces = {}
    for name, cls in ALL.items():
        spaces.setdefault(cls.__module__, {})[name] = cls
    return spaces
