"""Sessions over the core: plain results, errors that name their cause, logging.

A :class:`Session` binds the process to one installation and solves models::

    from veltrane_computer.session import Session

    with Session.open(r"C:\\Program Files\\Veltrane\\Tubrolis 2025.1") as session:
        result = session.solve(r"D:\\Work\\Line1\\Line1.tessel", solver="DiroZiziva")
        print(result.result_files)

:meth:`Session.solve` checks the model and the solver before the previous
solution is touched, copies the result files out of the working folder so they
outlive the next solve, disposes of the solution and returns a
:class:`SolveResult`. A failure raises :class:`SolveError`, whose ``reason``
says why. The lines the core prints go to ``logging.getLogger("veltrane_computer")``.

The core holds one setup, one solution and one sandbox per process, so a
session is process-wide state too: setting the core up again (another
:meth:`Session.open`, or the core's own setup) makes the older session refuse
further calls, and a session is not for concurrent use from several threads.
Its calls take a process-wide lock, so calls made from several threads run one
after another.
"""

from __future__ import annotations

import contextlib
import importlib
import json
import os
import tempfile
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, get_args

from ._core_calls import CallThreads, StrPath, core_output, file_kind, logger
from ._core_calls import path_argument as _path
from ._results import ResultsError, commit
from .simulated import SimulatedInstallation

if TYPE_CHECKING:
    from .model import Kind, Model
    from .project import Project
    from .veltrane_core import VeltraneModule

__all__ = ["Session", "SolveResult", "SolveError", "SetupError", "Solver", "SolveFailure", "SOLVERS", "logger"]

Solver = Literal["Vazer", "DiroZiziva"]
SOLVERS: tuple[str, ...] = get_args(Solver)

SolveFailure = Literal[
    "unknown-solver",
    "missing-model",
    "unreadable-model",
    "solver-not-configured",
    "unwritable-output",
    "solver-failed",
    "host-error",
]

# Where each solver's path lives in Tubrolis.settings (family, sub-family, setting).
_SOLVER_SETTINGS = {"Vazer": "VAZER / PATH / WINDOWS SOLVER PATH", "DiroZiziva": "DIROZIZIVA / PATH / SOLVER PATH"}


class SetupError(Exception):
    """Setup cannot bind to the installation; the message says what is missing and how to fix it."""

    def __init__(self, message: str, path: StrPath | None = None) -> None:
        super().__init__(message)
        self.path = None if path is None else Path(path)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.args[0], self.path))


class SolveError(Exception):
    """A solve that produced no solution. ``reason`` is one of the :data:`SolveFailure` values;
    ``return_value`` is what the core's solve returned; ``messages`` the lines it printed."""

    def __init__(
        self,
        message: str,
        *,
        model: StrPath,
        solver: str,
        reason: SolveFailure,
        return_value: object = None,
        messages: tuple[str, ...] = (),
    ) -> None:
        super().__init__(message)
        self.model = Path(model)
        self.solver = solver
        self.reason: SolveFailure = reason
        self.return_value = return_value
        self.messages = messages

    def __reduce__(self) -> tuple[Any, ...]:
        fields = {"model": self.model, "solver": self.solver, "reason": self.reason, "messages": self.messages}
        return (_rebuild_solve_error, (self.args[0], fields))

    def __repr__(self) -> str:
        return f"SolveError({self.model.name!r}, solver={self.solver!r}, reason={self.reason!r})"


def _rebuild_solve_error(message: str, fields: dict[str, Any]) -> SolveError:
    return SolveError(message, **fields)  # the host's return value does not cross processes


@dataclass(frozen=True)
class SolveResult:
    """What a solve left behind, as plain data."""

    model: Path
    solver: str
    ok: bool
    output_dir: Path
    result_files: tuple[Path, ...]
    seconds: float
    messages: tuple[str, ...]

    def __repr__(self) -> str:
        count = len(self.result_files)
        files = f"{count} result file{'' if count == 1 else 's'}"
        return f"SolveResult({self.model.name!r}, solver={self.solver!r}, {files}, {self.seconds:.2f} s)"


@contextlib.contextmanager
def _worker_failures() -> Iterator[list[BaseException]]:
    """Collects what escapes the solver worker this thread starts, instead of printing its traceback."""
    failures: list[BaseException] = []
    previous = threading.excepthook
    threads = CallThreads()

    def hook(args: threading.ExceptHookArgs) -> None:
        if args.exc_value is not None and args.thread in threads:
            logger.debug("the solver's worker thread raised", exc_info=args.exc_value)
            failures.append(args.exc_value)
        else:
            previous(args)

    threading.excepthook = hook
    try:
        yield failures
    finally:
        threading.excepthook = previous


def _configured_solvers(core: Any) -> dict[str, str | None]:
    """The solver paths setup read from the settings (None: not set)."""
    return {"Vazer": core._Vazer_, "DiroZiziva": core._DiroZiziva_}


def _refused(reason: SolveFailure, message: str, model: Path, solver: str) -> SolveError:
    return SolveError(message, model=model, solver=solver, reason=reason)


class _Run(NamedTuple):
    model: Path
    solver: str
    solution: Any
    printed: list[str]
    files_before: dict[str, tuple[int, int]]
    output_dir: Path | None  # made and checked before the solve; None: the results are not copied


def _module_member(module: object) -> VeltraneModule:
    """The core's VeltraneModule for its member, its name or the host's member."""
    from .veltrane_core import VeltraneModule

    if isinstance(module, VeltraneModule):
        return module
    names = ", ".join(member.name for member in VeltraneModule)
    if isinstance(module, str):
        if module in VeltraneModule.__members__:
            return VeltraneModule[module]
        raise ValueError(f"module: {module!r} is not one of {names}")
    try:
        return VeltraneModule(int(module))  # type: ignore[call-overload]  # the host's enum member
    except (TypeError, ValueError):
        raise ValueError(f"module: {module!r} is not a VeltraneModule, nor one of {names}") from None


def _faulty_settings(core: Any, settings_file: Path, sources_file: Path) -> Path:
    """Which of the two files setup could not read: it reads the settings file first, then the other."""
    try:
        with open(settings_file, encoding="utf-8") as f:
            core.FindSolverPaths(json.load(f))
    except (ValueError, KeyError):
        return settings_file
    return sources_file


def _existing(path: Path, what: str, hint: str) -> None:
    if not path.exists():
        raise SetupError(f"{what} '{path}' does not exist; {hint}", path)


def _files(folder: Path) -> dict[str, tuple[int, int]]:
    """Name -> (size, modification time) of the regular files in folder."""
    found = {}
    with os.scandir(folder) as entries:
        for entry in entries:
            if entry.is_file():
                status = entry.stat()
                found[entry.name] = (status.st_size, status.st_mtime_ns)
    return found


def _make_output(target: Path) -> list[Path]:
    """Make target and its missing parents and check that a file can be written there; answers the folders made.
    OSError when it cannot be done, with nothing made left behind."""
    made = [folder for folder in (target, *target.parents) if not os.path.lexists(folder)]
    try:
        target.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=target):
            pass
    except OSError:
        _remove_made(made)
        raise
    return made


def _remove_made(made: list[Path]) -> None:
    """Remove the folders _make_output made, deepest first, while they are empty."""
    for folder in made:
        with contextlib.suppress(OSError):
            folder.rmdir()


class Session:
    """The process bound to one installation by :meth:`open`. Use it as a context manager, or call
    :meth:`close`. Not for concurrent use from several threads (see the module's documentation)."""

    def __init__(self, installation: Path, module: VeltraneModule) -> None:
        from . import veltrane_core

        self.installation = installation
        self.module = module
        self.closed = False
        # Each setup makes the application object afresh: while it is this one, the core is as this session set it up.
        self._application = veltrane_core._Application_

    @classmethod
    def open(
        cls,
        installation: StrPath | SimulatedInstallation,
        module: object = "Tubrolis",
        settings: StrPath | None = None,
        data_sources: StrPath | None = None,
    ) -> Session:
        """Run setup against ``installation``; raise :class:`SetupError` naming what is wrong.

        ``installation`` is the installation directory, or a :class:`SimulatedInstallation` (whose settings files
        are then the defaults). ``module`` is a ``VeltraneModule`` member, its name or the host's member.
        ``settings`` and ``data_sources`` point the core at other Tubrolis.settings and DataSources.settings files
        than the ones at their fixed places (they are bound into the core for the rest of the process).
        """
        from . import veltrane_core as core

        if isinstance(installation, SimulatedInstallation):
            settings = installation.settings if settings is None else settings
            data_sources = installation.data_sources if data_sources is None else data_sources
            installation = installation.installation
        directory = _path(installation, "installation")
        member = _module_member(module)
        settings_file = Path(core._settingsPath_) if settings is None else _path(settings, "settings")
        sources_file = Path(core._dataSourcesPath_) if data_sources is None else _path(data_sources, "data_sources")
        _existing(directory, "the installation directory", "pass the application's installation directory")
        for path, given, option, what in (
            (settings_file, settings, "settings", "the settings file"),
            (sources_file, data_sources, "data_sources", "the data-sources file"),
        ):
            flag = f"--{option.replace('_', '-')}"
            if given is None:
                hint = f"pass {option}=PATH (command line: {flag} PATH) to read it elsewhere"
            else:
                hint = f"check the path given as {option} (command line: {flag})"
            _existing(path, what, hint)
        with core_output():
            if settings is not None:
                core._settingsPath_ = os.fspath(settings_file)
            if data_sources is not None:
                core._dataSourcesPath_ = os.fspath(sources_file)
            try:
                valid = core.setup_veltrane_computer(os.fspath(directory), member)
            except (ValueError, KeyError) as error:  # not JSON, or not the layout the readers expect
                faulty = _faulty_settings(core, settings_file, sources_file)
                problem = f"lacks the key {error}" if isinstance(error, KeyError) else f"is not valid JSON: {error}"
                raise SetupError(f"'{faulty}' {problem}", faulty) from error
            except Exception as error:
                raise SetupError(f"setup failed: {error}") from error
            if not valid:
                extensions = directory / "Extensions"
                message = f"'{extensions}' does not exist: {directory} is not a complete installation"
                raise SetupError(message, extensions)
        logger.info("set up against %s for %s", directory, member.name)
        return cls(directory, member)

    def __enter__(self) -> Session:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<Session {state} {str(self.installation)!r} {self.module.name}>"

    def close(self) -> None:
        """Dispose of any solution left and refuse further calls. A session whose core was set up again since
        leaves the solution alone: it belongs to the newer setup."""
        if not self.closed:
            current = self._is_current()
            self.closed = True
            if current:
                from . import veltrane_core

                with core_output():
                    veltrane_core.disposeSolution()

    def _is_current(self) -> bool:
        from . import veltrane_core as core

        return core._Application_ is self._application and bool(core._validSetup_)

    def _ensure_current(self) -> None:
        """Raise RuntimeError when the session is closed, or when the core was set up again (by another
        :meth:`open` or by the core's own setup, whatever its installation or settings) since it opened."""
        if self.closed:
            raise RuntimeError("the session is closed")
        if not self._is_current():
            raise RuntimeError(
                f"the core is no longer set up for {self.installation} as this session set it up: "
                "it was set up again since; open a new session"
            )

    @property
    def solver_paths(self) -> dict[str, Path | None]:
        """The solver paths the settings name (None: not set)."""
        from . import veltrane_core as core

        self._ensure_current()
        return {name: None if path is None else Path(path) for name, path in _configured_solvers(core).items()}

    @property
    def data_directory(self) -> Path:
        from . import veltrane_core

        self._ensure_current()
        return Path(veltrane_core._dataPath_)

    @property
    def projects_directory(self) -> Path:
        from . import veltrane_core

        self._ensure_current()
        return Path(veltrane_core._projectPath_)

    def inspect_class(self, class_name: str) -> str:
        """The host's JSON description of the class ``class_name`` (short or full name);
        LookupError when no assembly of the installation holds it."""
        from . import veltrane_core as core

        self._ensure_current()
        with core_output():
            namespace, assembly = core.findNameSpaceAndAssembly(class_name)
            if namespace is None or assembly is None:
                raise LookupError(f"no assembly of {self.installation} holds a class {class_name!r}")
            core.load_dll(assembly)
            host_class = getattr(importlib.import_module(namespace), class_name.rpartition(".")[2])
            return str(core.inspectClass(host_class, True))

    def solve(
        self, model: StrPath, solver: Solver = "Vazer", sandbox: bool = True, output_dir: StrPath | None = None
    ) -> SolveResult:
        """Solve ``model`` and copy its result files to ``output_dir`` (default: the folder
        ``<model name>.results`` beside the model); the solution is disposed of before returning.

        The folder is made and checked before the solve. The new files replace the earlier result only once
        they are all copied: the layer's files of the earlier result go, every other file stays, and a file
        of a result's name that the layer did not write (or that changed since) fails the solve instead of
        being written over; a failed solve or copy leaves the folder as it was. Structure models are always
        solved with Vazer, whatever ``solver`` says; the result names the solver that ran.
        Raises :class:`SolveError`.
        """
        started = time.perf_counter()
        chosen = None if output_dir is None else _path(output_dir, "output_dir")
        with self._solve(model, solver, sandbox, chosen, copy=True) as run:
            assert run.output_dir is not None
            copied = self._copy_results(run, sandbox, run.output_dir)
        seconds = time.perf_counter() - started
        return SolveResult(run.model, run.solver, True, run.output_dir, copied, seconds, tuple(run.printed))

    @contextlib.contextmanager
    def solving(self, model: StrPath, solver: Solver = "Vazer", sandbox: bool = True) -> Iterator[Any]:
        """The live host solution of ``model``, disposed of when the block ends, however it ends.

        The block holds the session's lock, and what the core prints in it goes to the log."""
        with self._solve(model, solver, sandbox, None, copy=False) as run:
            yield run.solution

    @contextlib.contextmanager
    def _solve(self, model: StrPath, solver: str, sandbox: bool, output_dir: Path | None, copy: bool) -> Iterator[_Run]:
        from . import veltrane_core as core

        self._ensure_current()
        path = _path(model, "model")
        with core_output() as lines:
            used, tessel = self._check(core, path, solver)
            target = (output_dir or path.with_suffix(".results")) if copy else None
            made = self._output_folder(target, path, used) if target is not None else []
            logger.info("solving %s with %s%s", path, used, " in a sandbox" if sandbox else " in place")
            before = _files(path.parent)
            done = False
            # Until the solution is disposed of: a run abandoned by an interrupt ends in disposeSolution.
            with _worker_failures() as worker_errors:
                try:
                    try:
                        solution = core.solve(os.fspath(path), used, bool(sandbox))
                    except Exception as error:
                        message = f"the host raised during the {used} solve of '{path}': {error}"
                        failure = SolveError(
                            message, model=path, solver=used, reason="host-error", messages=tuple(lines)
                        )
                        raise failure from error
                    if solution is None:
                        cause = worker_errors[0] if worker_errors else None
                        said = _why_no_solution(tessel, lines)
                        detail = f"raised: {cause}" if cause else "produced no solution" + said
                        failure = SolveError(
                            f"the {used} run on '{path}' {detail}",
                            model=path,
                            solver=used,
                            reason="host-error" if cause else "solver-failed",
                            return_value=solution,
                            messages=tuple(lines),
                        )
                        raise failure from cause
                    yield _Run(path, used, solution, lines, before, target)
                    done = True
                finally:
                    core.disposeSolution()
                    if not done:  # a failed solve or copy leaves no folder it made
                        _remove_made(made)

    @staticmethod
    def _output_folder(target: Path, model: Path, solver: str) -> list[Path]:
        try:
            return _make_output(target)
        except OSError as error:
            message = f"output_dir: the results of '{model}' cannot be written to '{target}': {error.strerror or error}"
            raise _refused("unwritable-output", message, model, solver) from error

    def _check(self, core: Any, path: Path, solver: str) -> tuple[str, Any]:
        """The solver that will run and the model; raises SolveError before anything is disposed of or copied."""
        if solver not in SOLVERS:
            choices = ", ".join(map(repr, SOLVERS))
            raise _refused("unknown-solver", f"solver: {solver!r} is not one of {choices}", path, solver)
        kind = file_kind(path)
        if kind == "folder":
            raise _refused("missing-model", f"model: '{path}' is a folder, not a model file", path, solver)
        if kind == "missing":
            raise _refused("missing-model", f"model: '{path}' does not exist", path, solver)
        if kind != "file":
            raise _refused("unreadable-model", f"model: '{path}' cannot be read: {kind}", path, solver)
        if path.suffix.lower() != ".tessel":
            raise _refused("unreadable-model", f"model: '{path}' is not a .tessel file", path, solver)
        tessel = core.loadTessel(os.fspath(path))
        if tessel is None:
            raise _refused("unreadable-model", f"model: '{path}' cannot be read by the application", path, solver)
        if type(tessel.CalculationCode).__name__ == "StructureCode" and solver != "Vazer":
            logger.info("%s is a structure model: Vazer solves it", path.name)
            solver = "Vazer"
        configured = _configured_solvers(core)[solver]
        if configured is None:
            message = f"the {solver} solver path is not set in the settings ({_SOLVER_SETTINGS[solver]})"
            raise _refused("solver-not-configured", message, path, solver)
        if not os.path.exists(configured):
            message = f"the {solver} solver path '{configured}' set in the settings does not exist"
            raise _refused("solver-not-configured", message, path, solver)
        return solver, tessel

    def _copy_results(self, run: _Run, sandbox: bool, target: Path) -> tuple[Path, ...]:
        """Commits what the run wrote in its working folder (the sandbox or the model's folder) to target: the
        layer's files of an earlier result go, the user's stay (veltrane_computer._results)."""
        from . import veltrane_core as core

        if sandbox:
            assert core._tempDirectory_ is not None  # a sandbox solve records its folder there
            folder = Path(core._tempDirectory_)
            written = set(_files(folder)) - self._copied_inputs(core, run.model)
        else:
            folder = run.model.parent
            written = {name for name, stamp in _files(folder).items() if run.files_before.get(name) != stamp}
        try:
            return commit(target, {name: folder / name for name in written})
        except ResultsError as error:
            failed = f" ({error.name})" if error.name else ""
            message = f"the results of '{run.model}' could not be copied to '{target}'{failed}: {error.problem}"
            failure = SolveError(
                message, model=run.model, solver=run.solver, reason="unwritable-output", messages=tuple(run.printed)
            )
            raise failure from error

    @staticmethod
    def _copied_inputs(core: Any, model: Path) -> set[str]:
        """The names the core's sandbox solve copies from the model's folder."""
        input_file = model.with_suffix(".fre")
        if not input_file.exists():
            input_file = model.parent / "conception.fre"
        names = {model.name, input_file.name} if input_file.exists() else {model.name}
        thermal = core.find_first_file(os.fspath(model.parent), ".thf")
        return names | {os.path.basename(thermal)} if thermal else names

    # --- models and projects (veltrane_computer.model, veltrane_computer.project) ------------------------------

    def open_model(self, path: StrPath) -> Model:
        """The model in ``path``; :class:`~veltrane_computer.model.ModelError` says why it cannot be opened."""
        from .model import open_model

        return open_model(self, path)

    def new_model(self, kind: Kind) -> Model:
        """A new, empty "piping" or "structure" model, not saved yet."""
        from .model import new_model

        return new_model(self, kind)

    def project(self, directory: StrPath) -> Project:
        """The existing project in ``directory``; :class:`~veltrane_computer.project.ProjectError` if none."""
        from .project import open_project

        return open_project(self, directory)

    def new_project(
        self,
        directory: StrPath,
        name: str,
        kind: Kind,
        *,
        study: str | None = None,
        screen: tuple[float, float] = (1920, 1080),
    ) -> Project:
        """A new project ``directory/name`` with a first study of ``kind`` named ``study`` (default: ``name``)."""
        from .project import new_project

        return new_project(self, directory, name, kind, study, screen)

def _why_no_solution(tessel: Any, printed: list[str]) -> str:
    """What the host told of a run that produced no solution: the lines it printed, or an empty model."""
    said = [line for line in printed if not line.endswith(" loaded")]
    if said:
        return ": " + "; ".join(said)
    try:
        empty = tessel.Elements.Count == 0
    except Exception:  # a model the host describes otherwise says nothing more
        empty = False
    return ": the model has no elements" if empty else ""
