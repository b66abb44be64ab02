"""Batch solving: many models solved at once by worker processes, each with a setup of its own.

The core keeps one setup and one solution per process and takes no lock, so
solving in parallel needs one process per solve in progress.  run_batch()
starts those processes -- a local pool by default, or the workers of a Dask
cluster -- sets each of them up once, and hands them the jobs one at a time::

    from veltrane_computer.batch import Job, run_batch

    report = run_batch(["loads/a.tessel", Job("loads/b.tessel", solver="DiroZiziva")],
                       r"C:\\Program Files\\Veltrane\\Tubrolis 20XX.Y", output_dir="results")
    for record in report.records:
        print(record.name, record.status, record.error)

The result files of a job go to ``output_dir/<job name>/``.  The manifest,
``output_dir/manifest.json``, records every job and is rewritten as each one
finishes; running the same batch again skips the jobs it records as solved.
"""

from __future__ import annotations

import contextlib
import json
import math
import multiprocessing
import os
import pickle
import shutil
import signal
import sys
import tempfile
import threading
import time
from collections import Counter, deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import asdict, dataclass, replace
from multiprocessing.connection import wait as wait_for_any
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, Protocol, TextIO, cast

from ._tables import format_table
from .session import SOLVERS, Solver
from .simulated import SimulatedInstallation

if TYPE_CHECKING:
    from multiprocessing.connection import Connection

    from .session import Session

__all__ = ["Job", "JobRecord", "BatchReport", "BatchError", "run_batch", "summary", "MANIFEST"]

MANIFEST = "manifest.json"
_MANIFEST_FORMAT = "veltrane-batch-manifest"

Status = Literal["ok", "failed", "timed-out", "worker-lost", "cancelled", "pending"]
# Outcomes that say nothing about the job itself: retried on a fresh worker while `retries` allow.
_RETRIED = ("timed-out", "worker-lost")


class BatchError(Exception):
    """A batch that cannot start: a missing model, an unknown solver, an output
    folder that cannot be written, an unreachable cluster, a failed setup."""


@dataclass(frozen=True)
class Job:
    """One solve of a batch.

    `solver` None means the batch's solver.  `prepare`, when given, is called
    with the path of a private copy of the model (the model's .thf files beside
    it) and edits that copy before it is solved; its solver input file is then
    written afresh from the edited model.  It travels to the worker processes,
    so it must be picklable: a module-level function or a functools.partial of
    one.  `name` names the job's result folder (default: the model's file stem;
    equal names get "-2", "-3", ... in job order).
    """

    model: str | os.PathLike[str]
    solver: Solver | None = None
    prepare: Callable[[Path], object] | None = None
    name: str | None = None


@dataclass(frozen=True)
class JobRecord:
    """What became of a job, as the manifest records it.  `result_files` are
    relative to the batch's output folder; `attempts` counts the starts."""

    name: str
    model: str
    solver: str
    status: Status
    seconds: float = 0.0
    result_files: tuple[str, ...] = ()
    error: str = ""
    attempts: int = 0


@dataclass(frozen=True)
class BatchReport:
    """The records of a batch in job order; `skipped` names the jobs that an
    earlier run had already solved."""

    records: tuple[JobRecord, ...]
    skipped: tuple[str, ...]
    output_dir: Path
    seconds: float

    @property
    def manifest(self) -> Path:
        return self.output_dir / MANIFEST

    @property
    def ok(self) -> bool:
        """Whether every job is solved."""
        return all(record.status == "ok" for record in self.records)

    def with_status(self, status: Status) -> tuple[JobRecord, ...]:
        return tuple(record for record in self.records if record.status == status)


def run_batch(
    jobs: Iterable[str | os.PathLike[str] | Job],
    installation: str | os.PathLike[str] | SimulatedInstallation,
    *,
    workers: int | None = None,
    scheduler: Any = None,
    output_dir: str | os.PathLike[str],
    solver: Solver = "Vazer",
    sandbox: bool = True,
    timeout: float | None = None,
    retries: int = 0,
    progress: bool = True,
    module: str = "Tubrolis",
    settings: str | os.PathLike[str] | None = None,
    data_sources: str | os.PathLike[str] | None = None,
) -> BatchReport:
    """Solve every job and return their records.

    `installation` is the application's installation folder, or what
    ``veltrane_computer.simulated.simulated_installation()`` returned (the
    workers then set up the simulated host themselves).  `scheduler` None
    solves on a local pool of `workers` processes (default: one per core);
    an address "tcp://host:port" or a ``dask.distributed.Client`` solves on
    that Dask cluster, whose workers must see the models and `output_dir`
    under the same paths.  A solve that takes longer than `timeout` seconds
    is stopped; a job whose solve was stopped or whose worker died is
    started again on a fresh worker up to `retries` times.  A failing job
    never stops the others.  `module`, `settings` and `data_sources` are
    handed to ``Session.open`` in each worker.

    Raises BatchError before any work starts when the input is bad.  On
    KeyboardInterrupt no further job is started, the jobs running are
    cancelled, the manifest is left true and the interrupt is re-raised.
    The local workers are spawned and import the main module, so a script
    calls run_batch under ``if __name__ == "__main__":``.
    """
    started = time.perf_counter()
    _check_options(workers, timeout, retries)
    output = Path(output_dir).absolute()
    tasks = _tasks(jobs, solver, sandbox, output)
    setup = _setup(installation, module, settings, data_sources)
    _check_writable(output)
    earlier = _earlier_records(output)
    manifest = _Manifest(output, [_resumed(task, earlier.get(task.name)) for task in tasks])
    todo = [task for task in tasks if manifest.records[task.name].status != "ok"]
    engine = _engine(scheduler, setup, workers, timeout, len(todo)) if todo else None
    manifest.write()
    if engine is not None:
        with _Progress(len(todo), enabled=progress) as bar:
            _drive(engine, todo, manifest, retries, bar)
    solved_now = {task.name for task in todo}
    skipped = tuple(task.name for task in tasks if task.name not in solved_now)
    return BatchReport(tuple(manifest.records.values()), skipped, output, time.perf_counter() - started)


# --- jobs and their checks ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Task:
    """A job made ready for a worker: absolute paths, its solver, its result folder."""

    name: str
    model: str
    solver: Solver
    prepare: Callable[[Path], object] | None
    sandbox: bool
    output_dir: str

    def record(self, status: Status, **details: Any) -> JobRecord:
        return JobRecord(self.name, self.model, self.solver, status, **details)


@dataclass(frozen=True)
class _Setup:
    """What a worker needs to set itself up; `simulated` is the folder of a
    simulated installation the worker activates first."""

    installation: str
    module: str
    settings: str | None
    data_sources: str | None
    simulated: str | None


def _check_options(workers: int | None, timeout: float | None, retries: int) -> None:
    if workers is not None and workers < 1:
        raise BatchError(f"workers must be at least 1, not {workers}")
    if timeout is not None and not timeout > 0:
        raise BatchError(f"timeout must be a positive number of seconds, not {timeout}")
    if retries < 0:
        raise BatchError(f"retries must not be negative, not {retries}")


def _check_writable(folder: Path) -> None:
    try:
        folder.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        raise BatchError(f"the output folder {folder} cannot be written: {error.strerror or error}") from None


def _tasks(jobs: Iterable[str | os.PathLike[str] | Job], solver: str, sandbox: bool, output: Path) -> list[_Task]:
    tasks: list[_Task] = []
    names: set[str] = set()
    missing = []
    for job in jobs:
        if not isinstance(job, Job):
            job = Job(job)
        model = Path(job.model).absolute()
        if not model.is_file():
            missing.append(str(model))
        job_solver = job.solver or solver
        if job_solver not in SOLVERS:
            raise BatchError(f"unknown solver {job_solver!r} for {model}: use {' or '.join(map(repr, SOLVERS))}")
        _check_picklable(job.prepare)
        base = job.name or model.stem
        if base in ("", ".", "..") or Path(base).name != base:
            raise BatchError(f"the job name {base!r} is not a plain folder name")
        name, number = base, 1
        while name in names:
            number += 1
            name = f"{base}-{number}"
        names.add(name)
        tasks.append(_Task(name, str(model), cast("Solver", job_solver), job.prepare, sandbox, str(output / name)))
    if missing:
        raise BatchError("no such model: " + ", ".join(missing))
    return tasks


def _check_picklable(prepare: Callable[[Path], object] | None) -> None:
    try:
        pickle.dumps(prepare)
    except Exception as error:
        raise BatchError(f"the prepare callable {prepare!r} cannot be sent to a worker: {error}") from None


def _setup(
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
    return _Setup(os.fspath(folder), module, optional[0], optional[1], simulated)


# --- the manifest -----------------------------------------------------------------------------------------------


class _Manifest:
    """The records of a batch by job name, written whole to output_dir/manifest.json
    through a temporary file, so that the file is always complete."""

    def __init__(self, folder: Path, records: Sequence[JobRecord]):
        self.folder = folder
        self.records = {record.name: record for record in records}

    def update(self, record: JobRecord) -> None:
        self.records[record.name] = record
        self.write()

    def write(self) -> None:
        document = {"format": _MANIFEST_FORMAT, "version": 1,
                    "jobs": [asdict(record) for record in self.records.values()]}
        handle, temporary = tempfile.mkstemp(dir=self.folder, prefix=".manifest-", suffix=".json")
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as stream:
                json.dump(document, stream, indent=1)
            os.replace(temporary, self.folder / MANIFEST)
        except BaseException:
            os.unlink(temporary)
            raise


def _earlier_records(folder: Path) -> dict[str, JobRecord]:
    """The records of an earlier run into this folder; none when its manifest is missing or unreadable."""
    try:
        with open(folder / MANIFEST, encoding="utf-8") as stream:
            document = json.load(stream)
        records = [JobRecord(**{**entry, "result_files": tuple(entry["result_files"])}) for entry in document["jobs"]]
    except (OSError, ValueError, KeyError, TypeError):
        return {}
    return {record.name: record for record in records}


def _resumed(task: _Task, earlier: JobRecord | None) -> JobRecord:
    """The earlier record when it solved this very job and its files are still there, else a pending one."""
    output = Path(task.output_dir).parent
    if (
        earlier is not None
        and earlier.status == "ok"
        and (earlier.model, earlier.solver) == (task.model, task.solver)
        and all((output / path).is_file() for path in earlier.result_files)
    ):
        return earlier
    return task.record("pending")


# --- the worker side ------------------------------------------------------------------------------------------------

# This process's setup and its session, opened by the worker's first job.
_session: tuple[_Setup, Session] | None = None
# The core solves one model at a time in a process; Dask workers may run tasks on several threads.
_solve_lock = threading.Lock()


def _session_for(setup: _Setup) -> Session:
    global _session
    if _session is None or _session[0] != setup:
        _close_session()
        if setup.simulated is not None:
            from .simulated import simulated_installation

            simulated_installation(setup.simulated)
        from .session import Session

        opened = Session.open(setup.installation, setup.module, settings=setup.settings,
                              data_sources=setup.data_sources)
        _session = (setup, opened)
    return _session[1]


def _close_session() -> None:
    global _session
    if _session is not None:
        session, _session = _session[1], None
        session.close()


def _solve(setup: _Setup, task: _Task) -> JobRecord:
    """Solve one job in this process, its results in its own folder; any failure becomes the record's error."""
    with _solve_lock:
        started = time.perf_counter()
        try:
            session = _session_for(setup)
            shutil.rmtree(task.output_dir, ignore_errors=True)  # what an earlier attempt left
            with tempfile.TemporaryDirectory(prefix="veltrane-job-") as scratch:
                model = _prepared_copy(task, Path(scratch)) if task.prepare else task.model
                result = session.solve(model, task.solver, sandbox=task.sandbox, output_dir=task.output_dir)
        except Exception as error:
            return task.record("failed", seconds=time.perf_counter() - started, error=_describe(error))
        output = Path(task.output_dir).parent
        files = tuple(Path(path).relative_to(output).as_posix() for path in result.result_files)
        return task.record("ok" if result.ok else "failed", seconds=time.perf_counter() - started,
                           result_files=files, error="" if result.ok else "\n".join(result.messages))


def _prepared_copy(task: _Task, folder: Path) -> Path:
    """A copy of the model and its .thf files, edited by the job's prepare callable."""
    model = Path(task.model)
    for source in [model, *(path for path in model.parent.iterdir() if path.suffix.lower() == ".thf")]:
        shutil.copy(source, folder / source.name)
    assert task.prepare is not None
    task.prepare(folder / model.name)
    return folder / model.name


def _describe(error: BaseException) -> str:
    """An exception as text: its type's name, its message and its notes."""
    lines = [f"{type(error).__name__}: {error}" if str(error) else type(error).__name__]
    return "\n".join(lines + list(getattr(error, "__notes__", ())))


# --- engines ------------------------------------------------------------------------------------------------------


class _Engine(Protocol):
    """Runs tasks on workers that are set up once.  `wait` blocks until at least one
    task is settled and returns their records; `cancel` stops the tasks running
    and returns them."""

    def __enter__(self) -> _Engine: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def has_room(self) -> bool: ...
    def running(self) -> bool: ...
    def submit(self, task: _Task) -> None: ...
    def wait(self) -> list[JobRecord]: ...
    def cancel(self) -> list[_Task]: ...


def _engine(scheduler: Any, setup: _Setup, workers: int | None, timeout: float | None, jobs: int) -> _Engine:
    if scheduler is None:
        return _LocalPool(setup, min(workers or os.cpu_count() or 1, jobs), timeout)
    try:
        from ._batch_dask import DaskEngine
    except ImportError as error:
        raise BatchError(
            f"solving on a Dask cluster needs Dask ({error}): pip install 'veltrane_computer[cluster]'") from None
    if workers is not None:
        raise BatchError("workers applies to the local pool only; the cluster's workers are its own")
    return DaskEngine(scheduler, setup, timeout)


def _drive(engine: _Engine, todo: list[_Task], manifest: _Manifest, retries: int, bar: _Progress) -> None:
    """Feed the engine and record each settled job; a job stopped by a lost worker or a time-out goes
    back in the queue while it has retries left."""
    pending = deque(todo)
    by_name = {task.name: task for task in todo}
    attempts: Counter[str] = Counter()
    with engine:
        try:
            while pending or engine.running():
                while pending and engine.has_room():
                    task = pending.popleft()
                    attempts[task.name] += 1
                    engine.submit(task)
                for record in engine.wait():
                    record = replace(record, attempts=attempts[record.name])
                    if record.status in _RETRIED and record.attempts <= retries:
                        pending.append(by_name[record.name])
                        bar.note(f"{record.name}: {record.error}; started again")
                    else:
                        manifest.update(record)
                        bar.advance(record)
        except KeyboardInterrupt:
            for task in engine.cancel():
                manifest.records[task.name] = task.record("cancelled", error="interrupted",
                                                          attempts=attempts[task.name])
            manifest.write()
            raise


# Replies of a local worker to the pool, besides the records of its jobs.
_READY = "ready"


class _Slot:
    """One process of the local pool, the job it is solving and when that job is due.
    The process keeps its temporary files in a folder of the slot's own, removed
    when the process has ended, however it ended."""

    def __init__(self, context: Any, setup: _Setup):
        self.scratch = tempfile.mkdtemp(prefix="veltrane-worker-")
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child, setup, self.scratch), daemon=True)
        with _interrupts_held():
            self.process.start()
        child.close()
        self.ready = False
        self.task: _Task | None = None
        self.started = 0.0
        self.deadline = math.inf

    def stop(self, kill: bool) -> None:
        if not kill:
            try:
                self.conn.send(None)
            except OSError:
                kill = True
        if kill:
            self.process.kill()
        self.process.join()
        self.conn.close()
        shutil.rmtree(self.scratch, ignore_errors=True)


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Hold back SIGINT from this thread meanwhile: a process started now inherits the blocked signal, so
    that the terminal's Ctrl-C, which reaches the whole process group, never interrupts a worker, even
    while it starts; the pool decides what Ctrl-C stops."""
    block = getattr(signal, "pthread_sigmask", None)
    if block is None:  # Windows: the worker ignores Ctrl-C once it runs
        yield
        return
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()  # its first start would unblock SIGINT
    previous = block(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        block(signal.SIG_SETMASK, previous)


def _serve(conn: Connection, setup: _Setup, scratch: str) -> None:
    """A worker of the local pool: set up once, then solve the jobs sent until None comes."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # as the pool decides what Ctrl-C stops
    tempfile.tempdir = scratch  # sandboxes go where the pool can remove them, also after a kill
    try:
        _session_for(setup)
        conn.send(_READY)
        while (task := conn.recv()) is not None:
            conn.send(_solve(setup, task))
    except EOFError:  # the pool is gone
        pass
    except Exception as error:
        conn.send(_describe(error))
    finally:
        _close_session()


class _LocalPool:
    """Worker processes started with the spawn method (a forked child would share the
    parent's solution and sandbox).  A process that dies or overruns the time-out is
    replaced by a fresh one."""

    def __init__(self, setup: _Setup, workers: int, timeout: float | None):
        self._context = multiprocessing.get_context("spawn")
        self._setup = setup
        self._workers = workers
        self._timeout = timeout
        self._slots: list[_Slot] = []

    def __enter__(self) -> _LocalPool:
        self._slots = [_Slot(self._context, self._setup) for _ in range(self._workers)]
        return self

    def __exit__(self, *exc_info: object) -> None:
        for slot in self._slots:
            slot.stop(kill=slot.task is not None or not slot.ready)

    def has_room(self) -> bool:
        return any(slot.ready and slot.task is None for slot in self._slots)

    def running(self) -> bool:
        return any(slot.task is not None for slot in self._slots)

    def submit(self, task: _Task) -> None:
        slot = next(slot for slot in self._slots if slot.ready and slot.task is None)
        slot.task = task
        slot.started = time.monotonic()
        slot.deadline = slot.started + self._timeout if self._timeout else math.inf
        try:
            slot.conn.send(task)
        except OSError:  # its process has ended: wait() reports the job as lost
            pass

    def wait(self) -> list[JobRecord]:
        waiting = [slot for slot in self._slots if slot.task is not None or not slot.ready]
        due = min(slot.deadline for slot in waiting) - time.monotonic()
        ready = set(wait_for_any([slot.conn for slot in waiting] + [slot.process.sentinel for slot in waiting],
                                 timeout=None if math.isinf(due) else max(due, 0)))
        records = []
        for slot in waiting:
            if slot.conn in ready or slot.process.sentinel in ready:
                record = self._hear(slot)
            elif time.monotonic() >= slot.deadline:
                assert slot.task is not None
                record = slot.task.record("timed-out", seconds=time.monotonic() - slot.started,
                                          error=f"not solved within {self._timeout:g} s; its worker was stopped")
                self._replace(slot)
            else:
                continue
            if record is not None:
                records.append(record)
        return records

    def cancel(self) -> list[_Task]:
        running = [slot for slot in self._slots if slot.task is not None]
        for slot in running:
            self._replace(slot, start=False)
        return [slot.task for slot in running if slot.task is not None]

    def _hear(self, slot: _Slot) -> JobRecord | None:
        """Take the slot's message: a job's record, the end of its setup, or the news that its process ended."""
        try:
            message = slot.conn.recv()
        except (EOFError, OSError):
            slot.process.join()
            message = None
        if isinstance(message, JobRecord):
            slot.task = None
            slot.deadline = math.inf
            return message
        if message == _READY:
            slot.ready = True
            return None
        cause = message if isinstance(message, str) else f"its process ended with status {slot.process.exitcode}"
        if not slot.ready:
            raise BatchError(f"a worker could not be set up: {cause}")
        assert slot.task is not None
        record = slot.task.record("worker-lost", seconds=time.monotonic() - slot.started,
                                  error=f"its worker was lost: {cause}")
        self._replace(slot)
        return record

    def _replace(self, slot: _Slot, start: bool = True) -> None:
        slot.stop(kill=True)
        index = self._slots.index(slot)
        if start:
            self._slots[index] = _Slot(self._context, self._setup)
        else:
            del self._slots[index]


# --- progress and the command line --------------------------------------------------------------------------------


class _Progress:
    """One bar for the batch on standard error when it is a terminal, a line per finished job otherwise."""

    def __init__(self, total: int, enabled: bool = True, stream: TextIO | None = None):
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.total = total
        self.counts: Counter[str] = Counter()
        self.started = time.perf_counter()
        self.bar = enabled and self.stream.isatty()

    def __enter__(self) -> _Progress:
        self._draw()
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self.bar:
            self.stream.write("\n")
            self.stream.flush()

    def advance(self, record: JobRecord) -> None:
        self.counts[record.status] += 1
        if self.enabled and not self.bar:
            done = sum(self.counts.values())
            self._write(f"[{done}/{self.total}] {record.name}: {record.status} ({record.seconds:.2f} s)\n")
        self._draw()

    def note(self, text: str) -> None:
        if self.enabled:
            self._write(("\r\x1b[K" if self.bar else "") + text + "\n")
            self._draw()

    def _draw(self) -> None:
        if self.bar:
            done = sum(self.counts.values())
            filled = 30 * done // max(self.total, 1)
            tally = "".join(f" {status} {count}" for status, count in sorted(self.counts.items()))
            elapsed = time.perf_counter() - self.started
            self._write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total}{tally} {elapsed:.0f} s\x1b[K")

    def _write(self, text: str) -> None:
        self.stream.write(text)
        self.stream.flush()


def summary(report: BatchReport) -> str:
    """The report as a table, one row per job, then the totals."""
    rows = []
    for record in report.records:
        status = "ok (earlier run)" if record.name in report.skipped else record.status
        detail = record.error.splitlines()[-1] if record.error else ", ".join(record.result_files)
        rows.append((record.name, record.solver, status, f"{record.seconds:.2f}", record.attempts, detail))
    tally = Counter(record.status for record in report.records)
    totals = ", ".join(f"{count} {status}" for status, count in sorted(tally.items()))
    return "\n".join([
        format_table(("job", "solver", "status", "seconds", "starts", "results or error"), rows),
        f"{len(report.records)} jobs: {totals}, in {report.seconds:.1f} s; manifest {report.manifest}",
    ])
