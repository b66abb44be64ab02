"""Models as Python objects: open or create them, run the application's commands on them, save and solve.

    from veltrane_computer.session import Session

    with Session.open(r"C:\\Program Files\\Veltrane\\Tubrolis 2025.1") as session:
        model = session.open_model(r"D:\\Work\\Line1\\Line1.tessel")
        model.run("ScaleLoads", Factor=1.5)
        model.save(r"D:\\Work\\Line1-heavy\\Line1-heavy.tessel")
        result = model.solve(solver="DiroZiziva")

A :class:`Model` belongs to the session that opened it and refuses to work once
that session is closed or the core was set up again. Failures raise
:class:`ModelError` or :class:`CommandError`, whose ``reason`` says why.
"""

from __future__ import annotations

import json
import os
import shutil
import stat
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, get_args

from ._core_calls import StrPath, core_output, file_kind
from ._core_calls import path_argument as _path

if TYPE_CHECKING:
    from .session import Session, SolveResult, Solver

__all__ = ["Model", "ModelError", "CommandError", "Kind", "KINDS", "ModelFailure", "CommandFailure"]

Kind = Literal["piping", "structure"]
KINDS: tuple[str, ...] = get_args(Kind)

ModelFailure = Literal[
    "missing-model", "not-a-tessel", "unreadable-model", "not-saved", "write-failed", "read-only-model",
    "no-input-file",
]
CommandFailure = Literal["unknown-command", "unknown-parameter", "bad-value", "command-failed"]


class ModelError(Exception):
    """A model that cannot be opened, saved or written; ``reason`` is one of the :data:`ModelFailure`
    values, ``path`` the model file concerned (None for a model never saved)."""

    def __init__(self, message: str, *, path: StrPath | None, reason: ModelFailure) -> None:
        super().__init__(message)
        self.path = None if path is None else Path(path)
        self.reason: ModelFailure = reason

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (type(self), self.args[0], {"path": self.path, "reason": self.reason}))


class CommandError(Exception):
    """A command that did not run; ``command`` is its name, ``parameter`` the parameter at fault
    (None when the command itself is), ``reason`` one of the :data:`CommandFailure` values."""

    def __init__(self, message: str, *, command: str, reason: CommandFailure, parameter: str | None = None) -> None:
        super().__init__(message)
        self.command = command
        self.parameter = parameter
        self.reason: CommandFailure = reason

    def __reduce__(self) -> tuple[Any, ...]:
        fields = {"command": self.command, "reason": self.reason, "parameter": self.parameter}
        return (_rebuild, (type(self), self.args[0], fields))


def _rebuild(kind: type[Exception], message: str, fields: dict[str, Any]) -> Exception:
    return kind(message, **fields)


def host_message(error: BaseException) -> str:
    """A host exception's own message, without the stack trace the bridge adds to ``str()``."""
    message = getattr(error, "Message", None)
    return message if isinstance(message, str) else str(error)


def checked_kind(kind: object) -> Kind:
    """``kind`` when it is "piping" or "structure"; ValueError naming the parameter otherwise."""
    if kind == "piping" or kind == "structure":
        return kind
    raise ValueError(f"kind: {kind!r} is not one of {', '.join(map(repr, KINDS))}")


def input_file_for(model: Path) -> Path:
    """The input file the application writes for ``model``: its own .fre when one exists, else the
    folder's conception.fre."""
    own = model.with_suffix(".fre")
    return own if own.exists() else model.parent / "conception.fre"


def _stamp(path: Path) -> tuple[int, int, int] | None:
    try:
        status = path.stat()
    except FileNotFoundError:
        return None
    return (status.st_ino, status.st_mtime_ns, status.st_size)


def _read_only(path: Path) -> bool:
    """Whether ``path`` is a file nobody may write (a read-only file on Windows), or this user may not."""
    try:
        mode = path.stat().st_mode
    except (OSError, ValueError):  # missing, or a name no file can have
        return False
    return not mode & 0o222 or not os.access(path, os.W_OK)


def _replace(staged: Path, target: Path) -> None:
    """Moves ``staged`` over ``target``, with the mode ``target`` had."""
    try:
        os.chmod(staged, stat.S_IMODE(target.stat().st_mode))
    except FileNotFoundError:
        pass
    os.replace(staged, target)


def _kind_of(host: Any) -> Kind:
    return "structure" if type(host.CalculationCode).__name__ == "StructureCode" else "piping"


class Model:
    """A model document of the application, held by the host. Make one with
    :meth:`Session.open_model` or :meth:`Session.new_model`."""

    def __init__(self, session: Session, host: Any, path: Path | None) -> None:
        self._session = session
        self._host = host
        self._path = path
        self._kind = _kind_of(host)

    @property
    def path(self) -> Path | None:
        """The model file, None until the model is saved."""
        return self._path

    @property
    def kind(self) -> Kind:
        return self._kind

    @property
    def session(self) -> Session:
        return self._session

    @property
    def host(self) -> Any:
        """The host's model object, for what this class does not cover."""
        self._session._ensure_current()
        return self._host

    def __repr__(self) -> str:
        where = "not saved" if self._path is None else repr(str(self._path))
        return f"<Model {self._kind} {where}>"

    def save(self, path: StrPath | None = None) -> Path:
        """Write the model and its input file to ``path`` (default: where it was opened or last saved);
        missing folders are made. Both are written beside the target first and then moved over the old
        files, so a failing write leaves the old ones; a symbolic link is saved through, to the file it
        names, and a file keeps its mode. A read-only model (or input file) is not written: ModelError
        says so. Returns the model file."""
        self._session._ensure_current()
        named = self._saved_path() if path is None else _path(path, "path")
        if named.suffix.lower() != ".tessel":
            raise ModelError(f"path: '{named}' is not a .tessel file", path=named, reason="not-a-tessel")
        try:
            target = Path(os.path.realpath(named))
            files = (target, input_file_for(target))
        except (OSError, ValueError) as error:  # a name no file can have
            raise ModelError(f"'{named}' was not written: {error}", path=named, reason="write-failed") from None
        for file in files:
            if _read_only(file):
                message = f"'{named}' was not written: '{file}' is read-only"
                raise ModelError(message, path=named, reason="read-only-model")
        try:
            self._write(target)
        except Exception as error:  # the host's, or the file system's
            message = f"'{named}' was not written: {host_message(error)}"
            raise ModelError(message, path=named, reason="write-failed") from error
        self._path = named
        return named

    def _write(self, target: Path) -> None:
        """Has the core save the model in a staging folder beside ``target``, then moves the model and
        the input file written with it into place, each with the mode of the file it replaces."""
        target.parent.mkdir(parents=True, exist_ok=True)
        staging = Path(tempfile.mkdtemp(prefix=f".{target.name}.", dir=target.parent))
        try:
            input_file = input_file_for(target)
            if input_file == target.with_suffix(".fre"):  # so the writer picks the same name in the staging folder
                shutil.copy2(input_file, staging / input_file.name)
            from . import veltrane_core as core

            with core_output():
                core.saveTessel(self._host, os.fspath(staging / target.name))
            _replace(staging / target.name, target)
            if (staging / input_file.name).exists():
                _replace(staging / input_file.name, input_file)
        finally:
            shutil.rmtree(staging, ignore_errors=True)

    def write_input_file(self) -> Path:
        """Write the solver input file beside the saved model and return it: the model's own .fre
        when one exists, else the folder's conception.fre. When the application writes none, the
        old file stays and ModelError says so."""
        self._session._ensure_current()
        model = self._saved_path()
        input_file = input_file_for(model)
        before = _stamp(input_file)
        from . import veltrane_core as core

        with core_output():
            try:
                core.writeFreFile(self._host, os.fspath(model))
            except Exception as error:
                message = f"the input file of '{model}' was not written: {host_message(error)}"
                raise ModelError(message, path=model, reason="no-input-file") from error
        after = _stamp(input_file)
        if after is None or after == before:
            message = f"the application wrote no input file for '{model}' (it has no settings controller)"
            raise ModelError(message, path=model, reason="no-input-file")
        return input_file

    def run(self, command_name: str, /, **parameters: object) -> None:
        """Run the application's command ``command_name`` on the model, with its parameters set by name.
        The model is changed in memory only: :meth:`save` it afterwards."""
        self._session._ensure_current()
        from . import veltrane_core as core

        with core_output():
            try:
                command = core.createCommand(command_name, self._host)
            except Exception as error:
                message = f"command {command_name!r}: the application cannot create it: {host_message(error)}"
                raise CommandError(message, command=command_name, reason="unknown-command") from error
            for name, value in parameters.items():
                _set_parameter(command, command_name, name, value)
            try:
                core.executeCommand(command)
            except Exception as error:
                message = f"command {command_name!r} failed: {host_message(error)}"
                raise CommandError(message, command=command_name, reason="command-failed") from error

    def describe(self) -> dict[str, Any]:
        """The host's description of the model: its class, properties and methods."""
        self._session._ensure_current()
        from . import veltrane_core as core

        with core_output():
            description = json.loads(core.inspectClass(self._host, False))
        if not isinstance(description, dict):
            raise TypeError(f"the host described the model as {type(description).__name__}, not an object")
        return description

    def solve(self, solver: Solver = "Vazer", sandbox: bool = True, output_dir: StrPath | None = None) -> SolveResult:
        """:meth:`Session.solve` on the saved model file (changes not saved are not solved)."""
        return self._session.solve(self._saved_path(), solver, sandbox, output_dir)

    def _saved_path(self) -> Path:
        if self._path is None:
            raise ModelError("the model has not been saved: pass a path to save()", path=None, reason="not-saved")
        return self._path


def _set_parameter(command: Any, command_name: str, name: str, value: object) -> None:
    if name.startswith("_"):
        raise CommandError(
            f"command {command_name!r} has no parameter {name!r}",
            command=command_name,
            parameter=name,
            reason="unknown-parameter",
        )
    try:
        setattr(command, name, value)
    except AttributeError as error:
        raise CommandError(
            f"command {command_name!r} has no parameter {name!r} that can be set",
            command=command_name,
            parameter=name,
            reason="unknown-parameter",
        ) from error
    except (TypeError, ValueError) as error:
        raise CommandError(
            f"command {command_name!r}: parameter {name!r} does not take {value!r}: {host_message(error)}",
            command=command_name,
            parameter=name,
            reason="bad-value",
        ) from error


def open_model(session: Session, path: StrPath) -> Model:
    """The model in the file ``path``; ModelError when it is missing, not a .tessel file or one the
    application cannot read."""
    session._ensure_current()
    file = _path(path, "path")
    kind = file_kind(file)
    if kind == "missing":
        raise ModelError(f"model: '{file}' does not exist", path=file, reason="missing-model")
    if kind == "folder" or file.suffix.lower() != ".tessel":
        raise ModelError(f"model: '{file}' is not a .tessel file", path=file, reason="not-a-tessel")
    if kind != "file":
        raise ModelError(f"model: '{file}' cannot be read: {kind}", path=file, reason="unreadable-model")
    from . import veltrane_core as core

    with core_output():
        host = core.loadTessel(os.fspath(file))
        if host is None:
            message = f"model: '{file}' cannot be read by the application"
            raise ModelError(message, path=file, reason="unreadable-model")
        return Model(session, host, file)


def new_model(session: Session, kind: Kind) -> Model:
    """A new, empty model of ``kind`` with the layer "0", not saved yet."""
    session._ensure_current()
    checked = checked_kind(kind)
    from . import veltrane_core as core

    with core_output():
        host = core.createPipingTessel() if checked == "piping" else core.createStructureTessel()
        return Model(session, host, None)
