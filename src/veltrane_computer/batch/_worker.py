"""The worker side of a batch, in a local pool's process or a Dask worker: one setup per process, one
solve at a time, each job's results in a folder of its own, sandboxes in the worker's scratch folder."""

from __future__ import annotations

import contextlib
import logging
import os
import shutil
import tempfile
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING

from .._processes import alive
from ._jobs import _Setup, _Task, describe
from ._records import JobRecord

if TYPE_CHECKING:
    from ..session import Session

# A log record sent back with a job's record: (level, logger name, message).
LogLine = tuple[int, str, str]

# This process's setup and its session, opened by the worker's setup or its first job.
_session: tuple[_Setup, Session] | None = None
# The core solves one model at a time in a process; Dask workers may run tasks on several threads.
solve_lock = threading.Lock()
_package_logger = logging.getLogger("veltrane_computer")


def session_for(setup: _Setup) -> Session:
    global _session
    if _session is None or _session[0] != setup:
        close_session()
        if setup.simulated is not None:
            from ..simulated import simulated_installation

            simulated_installation(setup.simulated)
        from ..session import Session

        _package_logger.setLevel(setup.log_level)
        opened = Session.open(setup.installation, setup.module, settings=setup.settings,
                              data_sources=setup.data_sources)
        _session = (setup, opened)
    return _session[1]


def close_session() -> None:
    global _session
    if _session is not None:
        session, _session = _session[1], None
        session.close()


def solve(setup: _Setup, task: _Task, scratch: str | None = None) -> tuple[JobRecord, list[LogLine]]:
    """Solve one job in this process, its results committed to its own folder (the earlier ones stay until
    then, and after a failure); any failure becomes the record's error.
    Returns the record and the log records of the solve.  Sandboxes go to `scratch` when given."""
    from ..session import SolveError

    with solve_lock, _captured() as logs, _temporary_folder(scratch):
        started = time.perf_counter()
        ran = task.solver
        try:
            session = session_for(setup)
            folder = Path(task.output_dir)
            with contextlib.ExitStack() as stack:
                model: str | Path = task.model
                if task.prepare is not None:
                    model = _prepared_copy(task, Path(stack.enter_context(tempfile.TemporaryDirectory(
                        prefix="veltrane-job-"))))
                result = session.solve(model, task.solver, sandbox=task.sandbox, output_dir=folder)  # type: ignore[arg-type]
            ran = result.solver
            names = [path.name for path in result.result_files]
        except SolveError as error:
            return task.record("failed", error.solver, seconds=time.perf_counter() - started,
                               error=describe(error), reason=error.reason), logs
        except Exception as error:
            return task.record("failed", ran, seconds=time.perf_counter() - started, error=describe(error)), logs
        files = tuple(f"{task.name}/{name}" for name in names)
        return task.record("ok", ran, seconds=time.perf_counter() - started, result_files=files), logs


def _prepared_copy(task: _Task, folder: Path) -> Path:
    """A copy of the model with its input files (.fre, .thf), edited by the job's prepare callable."""
    model = Path(task.model)
    fre = model.with_suffix(".fre")
    inputs = [fre if fre.is_file() else model.parent / "conception.fre"]
    inputs += [path for path in model.parent.iterdir() if path.suffix.lower() == ".thf"]
    for source in [model, *inputs]:
        if source.is_file():
            shutil.copy(source, folder / source.name)
    assert task.prepare is not None
    task.prepare(folder / model.name)
    return folder / model.name


class _Collector(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.lines: list[LogLine] = []

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.lines.append((record.levelno, record.name, record.getMessage()))
        except Exception:  # a record whose message cannot be formatted
            self.handleError(record)


@contextlib.contextmanager
def _captured() -> Iterator[list[LogLine]]:
    """The package's log records meanwhile, to be sent back with the job's record."""
    collector = _Collector()
    _package_logger.addHandler(collector)
    try:
        yield collector.lines
    finally:
        _package_logger.removeHandler(collector)


@contextlib.contextmanager
def _temporary_folder(scratch: str | None) -> Iterator[None]:
    """Temporary files (the core's sandboxes) in scratch meanwhile."""
    if scratch is None:
        yield
        return
    previous, tempfile.tempdir = tempfile.tempdir, scratch
    try:
        yield
    finally:
        tempfile.tempdir = previous


def make_scratch(prefix: str) -> str:
    """A scratch folder named after this process, once the folders of the same kind whose processes are
    gone (killed, or restarted by a nanny) are removed."""
    sweep(prefix)
    return tempfile.mkdtemp(prefix=f"{prefix}{os.getpid()}-")


def sweep(prefix: str, folder: str | None = None) -> None:
    """Remove the scratch folders named prefix<pid>-... of processes that are gone."""
    folder = folder or tempfile.gettempdir()
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        if name.startswith(prefix):
            pid = name[len(prefix):].partition("-")[0]
            if pid.isdigit() and int(pid) != os.getpid() and not alive(int(pid)):
                shutil.rmtree(os.path.join(folder, name), ignore_errors=True)


def watch_parent(scratch: str) -> None:
    """End this process, its scratch folder removed, as soon as the process that started it is gone
    (even killed): a thread waits on the parent's sentinel (a pipe on POSIX, the process's handle on Windows)."""
    import multiprocessing
    from multiprocessing.connection import wait

    parent = multiprocessing.parent_process()
    if parent is None:
        return

    def watch() -> None:
        wait([parent.sentinel])
        shutil.rmtree(scratch, ignore_errors=True)
        os._exit(1)

    threading.Thread(target=watch, name="veltrane-parent-watch", daemon=True).start()
