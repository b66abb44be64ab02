"""The call journal and the outcome switches.

The journal is the test-side view of the host: every call that reaches the
host (bridge functions, constructors, methods and property assignments) is
appended with its arguments and the calling thread.  Property reads are not
recorded; neither are calls the host makes to itself.

The switches force the outcomes the calling code branches on.  They are plain
attributes plus a table of operations that must fail; ``reset()`` restores
the defaults.
"""

import os
import threading
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Call:
    """One host call: operation name ("Class.Member", "Class.ctor",
    "clr.AddReference", "pythoncom.CoInitialize"), arguments as received,
    and the identity and name of the Python thread that made it."""

    seq: int
    op: str
    args: tuple
    thread: int
    thread_name: str = field(compare=False)


class Journal:
    def __init__(self):
        self._lock = threading.Lock()
        self._calls = []
        self._seq = 0

    def record(self, op, args=()):
        current = threading.current_thread()
        with self._lock:
            self._seq += 1
            self._calls.append(Call(self._seq, op, tuple(args), threading.get_ident(), current.name))

    def clear(self):
        with self._lock:
            self._calls.clear()

    def entries(self):
        """Snapshot of all calls, oldest first."""
        with self._lock:
            return list(self._calls)

    def __iter__(self):
        return iter(self.entries())

    def __len__(self):
        with self._lock:
            return len(self._calls)

    def ops(self, prefix=None):
        """Operation names in call order, optionally only those starting with prefix."""
        return [c.op for c in self.entries() if prefix is None or c.op.startswith(prefix)]

    def calls(self, op):
        return [c for c in self.entries() if c.op == op]

    def args(self, op):
        return [c.args for c in self.calls(op)]

    def count(self, op):
        return len(self.calls(op))

    def last(self, op=None):
        found = self.entries() if op is None else self.calls(op)
        return found[-1] if found else None

    def threads(self, op):
        return [c.thread for c in self.calls(op)]


class Switches:
    """Forced outcomes.  Unknown attribute names are refused so that a typo in
    a test cannot silently leave a switch unset."""

    _DEFAULTS = {
        # BuildAnalysisModel result: None = computed from the model.  A negative
        # value is returned without building; a non-negative one after building.
        "vazer_build_result": None,
        # Run results: None = real run.  A non-zero value is returned without
        # running; 0 runs and reports success whatever the real outcome.
        "vazer_run_result": None,
        "diroziziva_run_result": None,
        # DiroZizivaSolver.GetAnalysisModel() answers None even after a good run.
        "no_analysis_model": False,
        # VeltraneApplication.GetSettingsController() answers None.
        "no_settings_controller": False,
        # Seconds each solver Run() sleeps before working.
        "solve_seconds": 0.0,
        # fnmatch patterns of solver input file stems: a Run() of a matching
        # input never ends, or ends its whole process (after the delay).
        "solve_hang": None,
        "solve_crash": None,
        # fnmatch pattern of solver input file stems: a Run() of a matching
        # input fails (after the delay) without writing results.
        "solve_fail": None,
    }
    # Switches that other processes (spawned workers) see through their
    # environment: a variable applies while its switch is left at the default.
    ENVIRONMENT = {
        "solve_seconds": ("VELTRANE_SIM_SOLVE_SECONDS", float),
        "solve_hang": ("VELTRANE_SIM_SOLVE_HANG", str),
        "solve_crash": ("VELTRANE_SIM_SOLVE_CRASH", str),
        "solve_fail": ("VELTRANE_SIM_SOLVE_FAIL", str),
    }

    def __init__(self):
        object.__setattr__(self, "_lock", threading.Lock())
        self.reset()

    def reset(self):
        with self._lock:
            for name, value in self._DEFAULTS.items():
                object.__setattr__(self, name, value)
            object.__setattr__(self, "settings", {})
            object.__setattr__(self, "_failures", {})

    def __setattr__(self, name, value):
        if name not in self._DEFAULTS and name != "settings" and name != "solver_delay":
            raise AttributeError(f"unknown switch {name!r}")
        object.__setattr__(self, name, value)

    @property
    def solver_delay(self):
        """The earlier name of solve_seconds."""
        return self.solve_seconds

    @solver_delay.setter
    def solver_delay(self, seconds):
        self.solve_seconds = seconds

    def effective(self, name):
        """The switch's value, or its environment variable's when the switch
        is at its default and the variable is set (and not empty)."""
        value = getattr(self, name)
        variable, convert = self.ENVIRONMENT[name]
        text = os.environ.get(variable)
        if value == self._DEFAULTS[name] and text:
            return convert(text)
        return value

    def set_setting(self, family, name, value):
        """Answer value for GetSettingValue(family, name), whatever the settings file says."""
        self.settings[(family, name)] = value

    def fail(self, op, exc=None, times=None):
        """Make the host operation `op` raise.  exc: an exception instance or
        class (default: host InvalidOperationException); times: how many calls
        fail before the operation works again (None = every call)."""
        with self._lock:
            self._failures[op] = [exc, times]

    def clear_failure(self, op):
        with self._lock:
            self._failures.pop(op, None)

    def failing(self):
        with self._lock:
            return sorted(self._failures)

    def take_failure(self, op):
        """The exception to raise for this call of `op`, or None."""
        with self._lock:
            entry = self._failures.get(op)
            if entry is None:
                return None
            exc, times = entry
            if times is not None:
                entry[1] = times - 1
                if entry[1] <= 0:
                    del self._failures[op]
        from ._exceptions import InvalidOperationException

        if exc is None:
            return InvalidOperationException(f"Simulated failure of {op}.")
        if isinstance(exc, type):
            return exc(f"Simulated failure of {op}.")
        return exc


journal = Journal()
switches = Switches()


def raise_if_failing(op):
    exc = switches.take_failure(op)
    if exc is not None:
        raise exc
