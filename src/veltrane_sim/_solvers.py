"""The two solver front ends.  Both do real work on files: they check the
solver executable, read their input, and write a JSON result file into the
input's directory.  A run needs COM initialised on the running thread, as a
COM-based solver does."""

import enum
import fnmatch
import json
import os
import threading
import time

from . import _exceptions as exc
from . import _journal, _tessel
from ._analysis import Topology
from ._assemblies import CORE_NS, DIROZIZIVA_NS, VAZER_NS, read_solver_file
from ._com import apartment
from ._fre import parse as parse_fre
from ._hostbase import BOOLEAN, INT32, STRING, HostObject, Signature, method, prop, ref
from ._sdk import ISolver
from ._system import Thread

RESULTS_FORMAT = "veltrane-sim-results"
# Exit status of a process whose solve the `solve_crash` switch ends.
CRASH_STATUS = 86


class BuildCode(enum.IntEnum):
    """Negative BuildAnalysisModel results (a non-negative one is the number of
    analysis elements)."""

    EMPTY = -1          # the model has no element
    UNSUPPORTED = -2    # a part of the analysis model has no support
    WARNINGS = -3       # warnings found and IgnoreWarnings is False


class RunCode(enum.IntEnum):
    OK = 0
    NOT_BUILT = 1        # Vazer: Run before a successful BuildAnalysisModel
    SOLVER_MISSING = 2   # the solver path does not exist
    NOT_A_SOLVER = 3     # the solver path is not this solver's executable
    MODEL_MISSING = 4    # Vazer: the model file does not exist
    WRITE_FAILED = 5     # the result file could not be written
    INPUT_MISSING = 6    # DiroZiziva: the .fre file does not exist
    INPUT_INVALID = 7    # unreadable model / .fre file, or a .fre that is not piping
    THF_MISSING = 8      # a .thf file was named but does not exist
    NO_COM = 9           # COM is not initialised on the running thread
    WARNINGS = 10        # DiroZiziva: warnings found and IgnoreWarnings is False
    UNSUPPORTED = 11     # DiroZiziva: a part of the model has no support
    FORCED_FAILURE = 12  # the solve_fail switch matched the input


def _require(value, name):
    if value is None:
        raise exc.ArgumentNullException(f"Value cannot be null. (Parameter '{name}')")


class _Solver(ISolver):
    _kind = ""

    def _construct(self, solverPath, model, thfFileName):
        super()._construct()
        _require(solverPath, "solverPath")
        _require(model, "model")
        self._solver_path = solverPath
        self._model = model
        self._thf = thfFileName or ""
        self._ignore = False
        self._results = None
        self._result_file = None
        self._warnings = []

    @prop(BOOLEAN)
    def IgnoreWarnings(self):
        return self._ignore

    @IgnoreWarnings.setter
    def IgnoreWarnings(self, value):
        self._ignore = value

    @prop(STRING)
    def SolverPath(self):
        return self._solver_path

    @prop(STRING)
    def ThfFileName(self):
        return self._thf

    @prop(STRING)
    def ResultFile(self):
        return self._result_file

    @prop(INT32)
    def WarningCount(self):
        return len(self._warnings)

    @method()
    def Dispose(self):
        self._dispose()

    def _preflight(self):
        """Checks shared by both solvers: executable, COM, .thf file."""
        if not os.path.isfile(self._solver_path):
            return RunCode.SOLVER_MISSING
        info = read_solver_file(self._solver_path)
        if info is None or info.get("solver") != self._kind:
            return RunCode.NOT_A_SOLVER
        if apartment() is None:
            return RunCode.NO_COM
        return RunCode.OK

    def _thf_ok(self):
        return not self._thf or os.path.isfile(self._thf)

    def _write_results(self, path, topo, extra):
        deflections = topo.deflections()
        culture = Thread.CurrentThread
        results = {
            "format": RESULTS_FORMAT, "version": 1, "solver": self._kind,
            "solverPath": self._solver_path, "thf": self._thf,
            "culture": culture.CurrentCulture.Name, "uiCulture": culture.CurrentUICulture.Name,
            "apartment": apartment(), "ignoreWarnings": self._ignore, "warnings": list(self._warnings),
            **extra,
            "nodeCount": len(topo.nodes), "elementCount": len(topo.elements),
            "displacements": {str(n): d for n, d in deflections.items()},
            "maxDisplacement": max(deflections.values(), default=0.0),
        }
        try:
            with open(path, "w", encoding="utf-8") as f:
                json.dump(results, f, indent=2)
        except OSError:
            return RunCode.WRITE_FAILED
        self._results = results
        self._result_file = path
        return RunCode.OK

    @staticmethod
    def _before_run(input_file):
        """The run switches: the delay, then a hang or a crash of the process
        when the input's file stem matches their pattern.  True when the run
        must fail (the solve_fail pattern matches)."""
        switches = _journal.switches
        seconds = switches.effective("solve_seconds")
        if seconds and seconds > 0:
            time.sleep(seconds)
        stem = os.path.splitext(os.path.basename(input_file))[0]
        if _matches(switches.effective("solve_crash"), stem):
            os._exit(CRASH_STATUS)
        if _matches(switches.effective("solve_hang"), stem):
            threading.Event().wait()
        return _matches(switches.effective("solve_fail"), stem)


def _matches(pattern, stem):
    return pattern is not None and fnmatch.fnmatchcase(stem, pattern)


class VazerSolver(_Solver):
    """Solves the model object; needs BuildAnalysisModel before Run.  Its
    result file is <model file stem>.vres beside the model file."""

    _namespace_ = VAZER_NS
    _kind = "Vazer"
    _ctors_ = [Signature([("solverPath", STRING), ("model", ref(f"{CORE_NS}.Model")),
                          ("modelFileName", STRING), ("thfFileName", STRING), ("verbose", BOOLEAN)])]

    def _construct(self, solverPath, model, modelFileName, thfFileName, verbose):
        super()._construct(solverPath, model, thfFileName)
        _require(modelFileName, "modelFileName")
        self._model_file = modelFileName
        self._verbose = verbose
        self._built = False
        self._keep = False
        self._analysis = None

    @prop(STRING)
    def ModelFileName(self):
        return self._model_file

    @method(("keepDistantModels", BOOLEAN), returns=INT32)
    def BuildAnalysisModel(self, keepDistantModels):
        self._check_alive()
        forced = _journal.switches.vazer_build_result
        if forced is not None and forced < 0:
            self._built = False
            return forced
        code = self._build(keepDistantModels)
        if forced is not None:
            self._built = True
            return forced
        return code

    def _build(self, keep):
        self._keep = keep
        topo = Topology.from_tessel(self._model.to_dict())
        if not topo.elements:
            return BuildCode.EMPTY.value
        groups = topo.components()
        sub = topo.restricted([e for g in (groups if keep else groups[:1]) for e in g])
        if sub.unsupported_groups():
            return BuildCode.UNSUPPORTED.value
        self._warnings = [f"Node {n} is a free end." for n in sub.free_ends()]
        if self._warnings and not self._ignore:
            return BuildCode.WARNINGS.value
        self._analysis = sub
        self._built = True
        return len(sub.elements)

    @method(returns=INT32)
    def Run(self):
        self._check_alive()
        if self._before_run(self._model_file):
            return int(RunCode.FORCED_FAILURE)
        forced = _journal.switches.vazer_run_result
        if forced:
            return forced
        code = self._run()
        return 0 if forced == 0 else int(code)

    def _run(self):
        if not self._built:
            return RunCode.NOT_BUILT
        code = self._preflight()
        if code:
            return code
        if not os.path.isfile(self._model_file):
            return RunCode.MODEL_MISSING
        try:
            doc = _tessel.load(self._model_file)
        except ValueError:
            return RunCode.INPUT_INVALID
        if not self._thf_ok():
            return RunCode.THF_MISSING
        stem = os.path.splitext(self._model_file)[0]
        topo = self._analysis or Topology({}, [], {}, [])
        code = self._write_results(stem + ".vres", topo, {
            "input": self._model_file, "title": doc["title"], "module": doc["module"],
            "keepDistantModels": self._keep, "units": "SI"})
        if code == RunCode.OK and self._verbose:
            with open(stem + ".vlog", "w", encoding="utf-8") as f:
                f.write("\n".join(["Vazer run", *self._warnings, "done"]) + "\n")
        return code


class AnalysisModel(HostObject):
    _namespace_ = DIROZIZIVA_NS

    def _construct(self, topo, units):
        self._topo = topo
        self._units = units

    NodeCount = prop(INT32)(lambda self: len(self._topo.nodes))
    ElementCount = prop(INT32)(lambda self: len(self._topo.elements))
    Units = prop(STRING)(lambda self: self._units)


class DiroZizivaSolver(_Solver):
    """Solves the .fre input file.  An input without elements runs fine but
    yields no analysis model.  Its result file is <fre stem>.dres beside the
    .fre file."""

    _namespace_ = DIROZIZIVA_NS
    _kind = "DiroZiziva"
    _ctors_ = [Signature([("solverPath", STRING), ("model", ref(f"{CORE_NS}.Model")),
                          ("freFileName", STRING), ("thfFileName", STRING)])]

    def _construct(self, solverPath, model, freFileName, thfFileName):
        super()._construct(solverPath, model, thfFileName)
        _require(freFileName, "freFileName")
        self._fre = freFileName
        self._analysis = None

    @prop(STRING)
    def FreFileName(self):
        return self._fre

    @method(returns=INT32)
    def Run(self):
        self._check_alive()
        if self._before_run(self._fre):
            return int(RunCode.FORCED_FAILURE)
        forced = _journal.switches.diroziziva_run_result
        if forced:
            return forced
        code = self._run()
        return 0 if forced == 0 else int(code)

    def _run(self):
        self._analysis = None
        code = self._preflight()
        if code:
            return code
        if not os.path.isfile(self._fre):
            return RunCode.INPUT_MISSING
        try:
            with open(self._fre, "r", encoding="utf-8") as f:
                data = parse_fre(f.read())
        except (ValueError, UnicodeDecodeError):
            return RunCode.INPUT_INVALID
        if data["head"].get("MODULE") != "Tubrolis":
            return RunCode.INPUT_INVALID
        if not self._thf_ok():
            return RunCode.THF_MISSING
        topo = Topology(nodes=dict(data["nodes"]),
                        elements=[(e["id"], e["from"], e["to"]) for e in data["elements"]],
                        supports=dict(data["restraints"]), loads=list(data["loads"]))
        if topo.elements:
            if topo.unsupported_groups():
                return RunCode.UNSUPPORTED
            self._warnings = [f"Node {n} is a free end." for n in topo.free_ends()]
            if self._warnings and not self._ignore:
                return RunCode.WARNINGS
        units = data["head"].get("UNITS", "SI")
        code = self._write_results(os.path.splitext(self._fre)[0] + ".dres", topo, {
            "input": self._fre, "units": units, "rotation": data["head"].get("ROTATION"),
            "options": data["opts"]})
        if code == RunCode.OK and topo.elements:
            self._analysis = AnalysisModel._new(topo, units)
        return code

    @method(returns=ref(f"{DIROZIZIVA_NS}.AnalysisModel"))
    def GetAnalysisModel(self):
        self._check_alive()
        if _journal.switches.no_analysis_model:
            return None
        return self._analysis


NAMESPACE_CLASSES = {
    VAZER_NS: {"VazerSolver": VazerSolver},
    DIROZIZIVA_NS: {"DiroZizivaSolver": DiroZizivaSolver, "AnalysisModel": AnalysisModel},
}
