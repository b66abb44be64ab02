"""Calls into the core from the layers: one process-wide lock, and the lines the core prints
during a call kept and logged, those of other threads left alone."""

from __future__ import annotations

import builtins
import contextlib
import logging
import os
import stat
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

__all__ = ["CallThreads", "StrPath", "core_output", "file_kind", "logger", "path_argument"]

logger = logging.getLogger("veltrane_computer")

StrPath = str | os.PathLike[str]

# The core's state is process-wide: one lock for every call the layer makes into it.
_core_lock = threading.RLock()

# The core names its solver worker thread after the worker function it runs.
_WORKER_SUFFIXES = ("(_VazerSolve)", "(_DiroZizivaSolve)")


class CallThreads:
    """The threads of one call into the core: the calling thread, and the solver workers started during the call."""

    def __init__(self) -> None:
        self.caller = threading.current_thread()
        self.earlier = set(threading.enumerate())

    def __contains__(self, thread: object) -> bool:
        if thread is self.caller:
            return True
        name = getattr(thread, "name", "")
        return name.endswith(_WORKER_SUFFIXES) and thread not in self.earlier


class _PrintedLines:
    """Stands in for ``print`` in the core's namespace during a call: the lines of the call's own threads go
    to the log and are kept; any other thread's go to the ``print`` that was there before."""

    def __init__(self, previous: Any) -> None:
        self.lines: list[str] = []
        self.previous = previous
        self.threads = CallThreads()

    def __call__(self, *values: object, **options: Any) -> None:
        if options.get("file") is not None or threading.current_thread() not in self.threads:
            self.previous(*values, **options)
            return
        sep, end = options.get("sep"), options.get("end")
        text = (" " if sep is None else sep).join(map(str, values)) + ("\n" if end is None else end)
        for line in text.splitlines():
            self.lines.append(line)
            logger.log(logging.INFO if line.endswith(" loaded") else logging.WARNING, "%s", line)


@contextlib.contextmanager
def core_output() -> Iterator[list[str]]:
    """Under the process lock, route what the core prints in this thread (and in the solver worker it starts)
    to the log; yields the list of those lines. Other threads' lines go where they went before."""
    from . import veltrane_core

    with _core_lock:
        namespace = vars(veltrane_core)
        had_print = "print" in namespace
        printed = _PrintedLines(namespace.get("print", builtins.print))
        namespace["print"] = printed
        try:
            yield printed.lines
        finally:
            if namespace.get("print") is printed:  # unless a script rebound it meanwhile
                if had_print:
                    namespace["print"] = printed.previous
                else:
                    del namespace["print"]


def path_argument(value: object, parameter: str) -> Path:
    """An absolute Path for a path parameter; TypeError naming the parameter for anything else."""
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{parameter}: expected a str or os.PathLike path, not {value!r}")
    return Path(os.fsdecode(value)).absolute()


def file_kind(path: Path) -> str:
    """What ``path`` names: "file", "folder", "missing" (also for a name no file can have), or why it is
    neither: "not a regular file" (a device, say), or the system's reason (a name too long, say)."""
    try:
        mode = os.stat(path).st_mode
    except (FileNotFoundError, NotADirectoryError, ValueError):
        return "missing"
    except OSError as error:
        return error.strerror or str(error)
    return "folder" if stat.S_ISDIR(mode) else "file" if stat.S_ISREG(mode) else "not a regular file"
