"""Whether a process of this host is still there, on every system."""

from __future__ import annotations

import os
import sys


def alive(pid: int) -> bool:
    """Whether the process `pid` of this host runs (one that cannot be signalled runs too)."""
    if sys.platform == "win32":
        import ctypes

        kernel = ctypes.windll.kernel32  # type: ignore[attr-defined,unused-ignore]
        handle = kernel.OpenProcess(0x1000, False, pid)  # PROCESS_QUERY_LIMITED_INFORMATION
        if not handle:
            return False
        code = ctypes.c_ulong()
        kernel.GetExitCodeProcess(handle, ctypes.byref(code))
        kernel.CloseHandle(handle)
        return code.value == 259  # STILL_ACTIVE
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def process_start(pid: int) -> int | None:
    """When the process started, in clock ticks since boot (Linux), to tell a reused pid; None elsewhere."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stream:
            return int(stream.read().rpartition(")")[2].split()[19])
    except (OSError, ValueError, IndexError):
        return None
