"""The pythoncom stand-in: COM apartments per thread, counted.

As with pywin32, CoInitialize() returns None whether it initialised the thread
or found it already initialised, and CoUninitialize() returns None and never
raises -- not even when the thread was not initialised.  Every call is
journaled with its thread; the depth of each thread inside COM is kept so
tests can check that each run left COM balanced.
"""

import threading
import types
from dataclasses import dataclass
from importlib.machinery import ModuleSpec

from . import _journal

COINIT_MULTITHREADED = 0x0
COINIT_APARTMENTTHREADED = 0x2
RPC_E_CHANGED_MODE = -2147417850

_lock = threading.Lock()
_depth = {}        # thread ident -> nesting depth, while > 0
_apartment = {}    # thread ident -> "STA" / "MTA", while depth > 0
_unmatched = {}    # thread ident -> CoUninitialize calls with nothing to undo


class com_error(Exception):
    """pywintypes.com_error: args are (hresult, text, excepinfo, argerror)."""


def _enter(kind):
    ident = threading.get_ident()
    with _lock:
        current = _apartment.get(ident)
        if current is not None and current != kind:
            raise com_error(RPC_E_CHANGED_MODE, "Cannot change thread mode after it is set.", None, None)
        _apartment[ident] = kind
        _depth[ident] = _depth.get(ident, 0) + 1


def CoInitialize():
    _journal.journal.record("pythoncom.CoInitialize", ())
    _journal.raise_if_failing("pythoncom.CoInitialize")
    _enter("STA")


def CoInitializeEx(flags):
    _journal.journal.record("pythoncom.CoInitializeEx", (flags,))
    _journal.raise_if_failing("pythoncom.CoInitializeEx")
    _enter("MTA" if not flags & COINIT_APARTMENTTHREADED else "STA")


def CoUninitialize():
    _journal.journal.record("pythoncom.CoUninitialize", ())
    ident = threading.get_ident()
    with _lock:
        depth = _depth.get(ident, 0)
        if depth == 0:
            _unmatched[ident] = _unmatched.get(ident, 0) + 1
            return
        if depth == 1:
            # A thread out of COM is forgotten: every solve runs on a new
            # thread, and idents need not be reused.
            del _depth[ident]
            del _apartment[ident]
        else:
            _depth[ident] = depth - 1


def apartment(ident=None):
    """"STA", "MTA" or None for the thread (default: the calling one)."""
    with _lock:
        return _apartment.get(threading.get_ident() if ident is None else ident)


@dataclass(frozen=True)
class ComState:
    depths: dict      # thread ident -> current depth, for every thread inside COM
    unmatched: dict   # thread ident -> CoUninitialize calls made at depth 0

    @property
    def balanced(self):
        return not any(self.depths.values()) and not any(self.unmatched.values())

    def depth(self, ident=None):
        return self.depths.get(threading.get_ident() if ident is None else ident, 0)


def com_state():
    with _lock:
        return ComState(dict(_depth), dict(_unmatched))


def reset():
    with _lock:
        _depth.clear()
        _apartment.clear()
        _unmatched.clear()


def make_module():
    mod = types.ModuleType("pythoncom", "Simulated COM apartment control (veltrane_sim).")
    mod.__spec__ = ModuleSpec("pythoncom", None, origin="veltrane_sim")
    mod.__veltrane_sim__ = True
    for name in ("CoInitialize", "CoInitializeEx", "CoUninitialize", "com_error",
                 "COINIT_MULTITHREADED", "COINIT_APARTMENTTHREADED"):
        setattr(mod, name, globals()[name])
    return mod
