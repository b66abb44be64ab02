"""Jobs made ready for the workers: their checks, names, content keys and result folders."""

from __future__ import annotations

import hashlib
import logging
import os
import pickle
import re
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .._core_calls import file_kind
from .._results import intact, own_name
from ..model import input_file_for
from ..session import SOLVERS
from ..simulated import SimulatedInstallation
from ._keys import PrepareKeys, Unkeyable
from ._records import JOURNAL, LOCK, MANIFEST, BatchError, Job, JobRecord, Status

_RESERVED = {MANIFEST.casefold(), JOURNAL.casefold(), LOCK.casefold()}
# What Windows refuses in a file name, and its device names (with the superscript digits it also takes).
_INVALID = re.compile(r'[<>:"/\\|?*\x00-\x1f]')
_SEPARATORS = re.compile(r"[/\\]")
_DEVICES = {"CON", "PRN", "AUX", "NUL"} | {f"{port}{digit}" for port in ("COM", "LPT") for digit in "0123456789¹²³"}


@dataclass(frozen=True)
class _Task:
    """A job made ready for a worker: absolute paths, the solver asked for, its result folder.
    `content` digests the model, its input files and the prepare callable; `folder` is the
    model's folder when the job solves in place there (no two such jobs run at once)."""

    name: str
    model: str
    solver: str
    prepare: Callable[[Path], object] | None
    sandbox: bool
    output_dir: str
    content: str = ""
    unkeyed: str = ""  # why the prepare callable has no key: the job is solved again on every run

    @property
    def folder(self) -> str | None:
        return None if self.sandbox or self.prepare is not None else os.path.dirname(self.model)

    def key(self, solver: str) -> str:
        return hashlib.sha256(f"{self.content}\n{solver}".encode()).hexdigest()[:32]

    def record(self, status: Status, solver: str | None = None, **details: Any) -> JobRecord:
        ran = solver or self.solver
        return JobRecord(self.name, self.model, ran, status, key=self.key(ran), requested_solver=self.solver,
                         **details)


@dataclass(frozen=True)
class _Setup:
    """What a worker needs to set itself up; `simulated` is the folder of a simulated
    installation the worker activates first; `log_level` the least level of the log
    records the worker sends back."""

    installation: str
    module: str
    settings: str | None
    data_sources: str | None
    simulated: str | None
    log_level: int = logging.WARNING


def check_options(workers: int | None, timeout: float | None, retries: int) -> None:
    if workers is not None and workers < 1:
        raise BatchError(f"workers must be at least 1, not {workers}")
    if timeout is not None and not timeout > 0:
        raise BatchError(f"timeout must be a positive number of seconds, not {timeout}")
    if retries < 0:
        raise BatchError(f"retries must not be negative, not {retries}")


def reserved(name: str) -> bool:
    """Whether name is one of the batch's own file names (or of those it sets aside)."""
    folded = name.casefold()
    return folded in _RESERVED or folded.startswith((".manifest-", f"{MANIFEST}.", f"{JOURNAL}."))


def folder_name(name: str) -> str:
    """`name` made a folder name that is valid on Windows too, and means there what it shows: the
    characters Windows refuses become "_", trailing dots and spaces (which Windows drops) go, and a
    device name (CON, NUL, COM1, ..., also with an extension) gets "_" after its base."""
    valid = _INVALID.sub("_", name).rstrip(". ")
    base, dot, extension = valid.partition(".")
    if base.rstrip(" ").upper() in _DEVICES:
        valid = f"{base}_{dot}{extension}"
    return valid or "_"


def check_jobs(jobs: Iterable[str | os.PathLike[str] | Job], solver: str) -> list[tuple[Job, Path, str]]:
    """Each job with its model's absolute path and its solver; BatchError for a missing model,
    an unknown solver, a prepare callable that cannot travel or a bad name."""
    checked = []
    missing = []
    for job in jobs:
        if not isinstance(job, Job):
            job = Job(job)
        try:
            model = Path(job.model).absolute()
        except TypeError:
            raise BatchError(f"a job's model is a path, not {job.model!r}") from None
        kind = file_kind(model)
        if kind == "missing" or kind == "folder":
            missing.append(str(model))
        elif kind != "file":
            raise BatchError(f"the model {model} cannot be read: {kind}")
        job_solver = job.solver or solver
        if job_solver not in SOLVERS:
            raise BatchError(f"unknown solver {job_solver!r} for {model}: use {' or '.join(map(repr, SOLVERS))}")
        if job.prepare is not None and not callable(job.prepare):
            raise BatchError(f"the prepare of {model} is {job.prepare!r}, not a callable")
        try:
            if job.prepare is not None:
                pickle.dumps(job.prepare)
        except Exception as error:
            raise BatchError(f"the prepare callable {job.prepare!r} cannot be sent to a worker: {error}") from None
        if job.name is not None:
            if not isinstance(job.name, str) or job.name in ("", ".", "..") or _SEPARATORS.search(job.name):
                raise BatchError(f"the job name {job.name!r} is not a plain folder name")
            if reserved(folder_name(job.name)):
                raise BatchError(f"the job name {job.name!r} is one of the batch's own file names")
        checked.append((job, model, job_solver))
    if missing:
        raise BatchError("no such model: " + ", ".join(missing))
    return checked


def make_tasks(checked: list[tuple[Job, Path, str]], sandbox: bool, output: Path,
               claimed: Mapping[str, str]) -> list[_Task]:
    """The tasks in job order, each with a name of its own by Windows' rules on every system (a valid folder
    name, distinct whatever its case): not one of the batch's files, and not one that an earlier batch into
    this folder gave to another model."""
    tasks: list[_Task] = []
    names: set[str] = set()
    holders = {name.casefold(): (name, model) for name, model in claimed.items()}
    inputs = _Inputs()
    for job, model, solver in checked:
        wanted = None if job.name is None else folder_name(job.name)
        base = wanted or folder_name(model.stem)
        name, number = base, 1
        while True:
            spelled, holder = holders.get(name.casefold(), (name, str(model)))
            if name.casefold() not in names and not reserved(name) and holder == str(model):
                break
            if name == wanted and name.casefold() not in names:
                raise BatchError(f"the job name {name!r} holds the results of {holder} in {output}: "
                                 "choose another name or output folder")
            number += 1
            name = f"{base}-{number}"
        name = spelled  # as an earlier batch spelled the folder it gave this model
        names.add(name.casefold())
        content, unkeyed = inputs.digest(model, job.prepare)
        tasks.append(_Task(name, str(model), solver, job.prepare, sandbox, str(output / name), content, unkeyed))
    return tasks


def check_result_folders(tasks: list[_Task], output: Path, claimed: Mapping[str, str]) -> None:
    """BatchError, before any work, for a result folder that holds a job's model, or files while no batch
    into this output folder claimed it (its journal says which it did).  The batch removes only files it
    wrote, in folders it claimed."""
    holding_models: set[str] = set()
    top = str(output)
    for task in tasks:
        folder = os.path.dirname(task.model)
        while folder != top and folder not in holding_models:
            holding_models.add(folder)
            parent = os.path.dirname(folder)
            if parent == folder:
                break
            folder = parent
    for task in tasks:
        folder = task.output_dir
        if folder in holding_models:
            raise BatchError(f"the result folder {folder} of job {task.name!r} holds a model of the batch: "
                             "choose an output folder apart from the models")
        try:
            entries = [name for name in os.listdir(folder) if not own_name(name)]  # the layer's record is no file
        except FileNotFoundError:
            continue
        except NotADirectoryError:
            raise BatchError(f"the result folder {folder} of job {task.name!r} is a file") from None
        except OSError as error:
            raise BatchError(f"the result folder {folder} cannot be read: {error.strerror or error}") from None
        if entries and task.name not in claimed:
            raise BatchError(f"the result folder {folder} of job {task.name!r} holds files that no batch wrote: "
                             "choose another output folder, or move them")


def resumed(task: _Task, earlier: JobRecord | None, output: Path) -> bool:
    """Whether an earlier record solved this very job (same content, the solver that will run) and its
    result files are all still there as that solve left them; never for a job whose prepare callable has
    no key."""
    if earlier is None or earlier.status != "ok" or earlier.model != task.model or task.unkeyed:
        return False
    substituted = bool(earlier.requested_solver) and earlier.solver != earlier.requested_solver
    will_run = earlier.solver if earlier.requested_solver == task.solver or substituted else task.solver
    names = [path.partition("/")[2] for path in earlier.result_files]
    return earlier.key == task.key(will_run) and intact(output / task.name, names)


class _Inputs:
    """Digests of models with the input files the core reads with them, and of their prepare callables;
    each folder is listed once."""

    def __init__(self) -> None:
        self._listings: dict[Path, list[str]] = {}
        self._prepares = PrepareKeys()

    def digest(self, model: Path, prepare: Callable[[Path], object] | None) -> tuple[str, str]:
        """The content digest, and why the prepare callable has no key ("" when it has one)."""
        folder = model.parent
        if folder not in self._listings:
            try:
                self._listings[folder] = sorted(os.listdir(folder))
            except OSError:
                self._listings[folder] = []
        files = [model, input_file_for(model)]  # the input file as the core finds it, whatever the disk's case rule
        files += [folder / name for name in self._listings[folder] if name.lower().endswith(".thf")]
        try:
            digest, unkeyed = hashlib.sha256(self._prepares.key(prepare).encode()), ""
        except Unkeyable as error:
            digest, unkeyed = hashlib.sha256(b"?"), str(error)
        for path in files:
            digest.update(f"\0{path.name}\0".encode())
            try:
                with open(path, "rb") as stream:
                    digest.update(hashlib.file_digest(stream, "sha256").digest())
            except OSError:
                digest.update(b"-")
        return digest.hexdigest(), unkeyed


def make_setup(
    installation: str | os.PathLike[str] | SimulatedInstallation,
    module: str,
    settings: str | os.PathLike[str] | None,
    data_sources: str | os.PathLike[str] | None,
) -> _Setup:
    simulated = None
    if isinstance(installation, SimulatedInstallation):  # its settings files are the defaults
        simulated = os.fspath(installation.installation.absolute().parent)  # the folder it was laid out in
        settings = settings or installation.settings
        data_sources = data_sources or installation.data_sources
        installation = installation.installation
    folder = Path(installation).absolute()
    if not folder.is_dir():
        raise BatchError(f"no installation folder {folder}")
    optional = [os.fspath(Path(path).absolute()) if path is not None else None for path in (settings, data_sources)]
    level = logging.getLogger("veltrane_computer").getEffectiveLevel()
    return _Setup(os.fspath(folder), module, optional[0], optional[1], simulated, level)


def describe(error: BaseException) -> str:
    """An exception as text: its type's name, its message and its notes."""
    lines = [f"{type(error).__name__}: {error}" if str(error) else type(error).__name__]
    return "\n".join(lines + list(getattr(error, "__notes__", ())))
