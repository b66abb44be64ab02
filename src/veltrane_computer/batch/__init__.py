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

The result files of a job go to ``output_dir/<job name>/``, a folder the batch
makes and claims in its journal; the results are committed there as a session
commits them (veltrane_computer._results: the earlier ones stay until the new
ones are all there, a file the user changed is never touched), and the batch
refuses, before any work, a result folder that holds a model or files that no
batch claimed.  ``output_dir/manifest.journal`` keeps every record of every
batch into the folder, one line per settled job; ``output_dir/manifest.json``
holds the latest record of each job, rewritten from the journal every few
seconds and at the end.  One batch at a time writes into a folder
(``manifest.lock``).  Running a batch again skips the jobs solved with the same
content (model, input files, prepare callable, solver) whose files are still
there; ``rerun=True`` solves everything again.
"""

from __future__ import annotations

import logging
import multiprocessing
import os
import sys
import tempfile
import time
from collections import Counter, deque
from collections.abc import Callable, Iterable
from dataclasses import replace
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

from ..simulated import SimulatedInstallation
from ._jobs import _Setup, _Task, check_jobs, check_options, check_result_folders, describe, make_setup, make_tasks
from ._jobs import resumed as _resumed
from ._journal import FolderLock, Journal
from ._progress import Progress, summary
from ._progress import skipped as report_skipped
from ._records import (
    JOURNAL,
    LOCK,
    MANIFEST,
    NO_MAIN_GUARD,
    NO_MAIN_GUARD_STATUS,
    BatchError,
    BatchInterrupted,
    BatchReport,
    Job,
    JobRecord,
    Status,
)

if TYPE_CHECKING:
    from ._worker import LogLine

__all__ = [
    "Job",
    "JobRecord",
    "BatchReport",
    "BatchError",
    "BatchInterrupted",
    "Status",
    "run_batch",
    "summary",
    "MANIFEST",
    "JOURNAL",
    "LOCK",
]

# Tracebacks and reprs name the public module, where users import them from.
for _public in (Job, JobRecord, BatchReport, BatchError, BatchInterrupted):
    _public.__module__ = __name__

# Outcomes that say nothing about the job itself: retried on a fresh worker while `retries` allow.
_RETRIED = ("timed-out", "worker-lost")


def run_batch(
    jobs: Iterable[str | os.PathLike[str] | Job],
    installation: str | os.PathLike[str] | SimulatedInstallation,
    *,
    workers: int | None = None,
    scheduler: Any = None,
    output_dir: str | os.PathLike[str],
    solver: str = "Vazer",
    sandbox: bool = True,
    timeout: float | None = None,
    retries: int = 0,
    rerun: bool = False,
    progress: bool = True,
    module: str = "Tubrolis",
    settings: str | os.PathLike[str] | None = None,
    data_sources: str | os.PathLike[str] | None = None,
    scheduler_file: str | os.PathLike[str] | None = None,
    security: Any = None,
    stage_files: bool = False,
) -> BatchReport:
    """Solve every job and return their records.

    `installation` is the application's installation folder, or what
    ``veltrane_computer.simulated.simulated_installation()`` returned (the
    workers then set up the simulated host themselves).  `scheduler` None
    solves on a local pool of `workers` processes (default: one per core); an
    address "tcp://host:port" or "tls://host:port", a ``distributed.Client``, or
    `scheduler_file` (the file ``dask scheduler --scheduler-file`` writes) solves
    on that Dask cluster; `security`, a ``distributed.security.Security``, holds
    its TLS settings (default: Dask's configuration).  Where a worker cannot see
    a job's model or `output_dir` under the client's paths, and from the start
    with `stage_files`, each job's model and input files travel with it and its
    result files come back into `output_dir`.  A solve that takes longer than `timeout` seconds is stopped and its
    worker replaced (restarted or retired on a cluster); a job whose solve was
    stopped or whose worker died is started again on another worker up to
    `retries` times.  A failing job never stops the others.  In-place jobs
    (`sandbox=False`) of models in one folder run one after the other.
    `rerun` solves again the jobs an earlier run solved.  `progress` shows on
    standard error the jobs settled, the rate and the time left (a bar on a
    terminal, a line every tenth of the jobs otherwise).  `module`, `settings`
    and `data_sources` are handed to ``Session.open`` in each worker.

    `jobs` is a list (any iterable) of models and Jobs: a single model, even as
    a string or a Path, is refused with a TypeError.  Raises BatchError before
    any work starts when the input is bad, the output
    folder holds files the batch did not write where a job's results go, or
    another batch is writing into it.  On Ctrl-C no further job starts, the jobs
    running are cancelled, the manifest is left true and BatchInterrupted (a
    KeyboardInterrupt) is raised with the report so far, its message the
    summary ("4 ok, 2 cancelled, 14 pending; ...").  The local workers are
    spawned and import the main module, so a script calls run_batch under
    ``if __name__ == "__main__":``; without it, the BatchError says so.
    """
    started = time.perf_counter()
    _check_not_in_worker()
    if isinstance(jobs, (str, bytes, os.PathLike, Job)):
        raise TypeError(f"jobs must be a list of models or Jobs, not one {type(jobs).__name__} ({jobs!r}): "
                        "pass [model] for a single model")
    check_options(workers, timeout, retries)
    output = Path(output_dir).absolute()
    checked = check_jobs(jobs, solver)
    setup = make_setup(installation, module, settings, data_sources)
    _check_writable(output)
    lock = FolderLock(output)
    lock.acquire()
    journal = Journal(output)
    states: dict[str, JobRecord] = {}
    skipped: list[str] = []

    def report() -> BatchReport:
        return BatchReport(tuple(states.values()), tuple(skipped), output, time.perf_counter() - started,
                           tuple(journal.notes))

    try:
        journal.open()
        tasks = make_tasks(checked, sandbox, output, journal.claimed)
        check_result_folders(tasks, output, journal.claimed)
        for task in tasks:
            if task.unkeyed and not rerun:
                journal.notes.append(f"{task.name}: solved again, since its prepare callable cannot be keyed: "
                                     f"{task.unkeyed}")
            earlier = journal.earlier.get(task.name)
            if not rerun and earlier is not None and _resumed(task, earlier, output):
                states[task.name] = earlier
                skipped.append(task.name)
            else:
                states[task.name] = task.record("pending")
        todo = [task for task in tasks if states[task.name].status == "pending"]
        report_skipped(len(skipped), len(tasks), progress)
        journal.write_manifest(states.values())
        if todo:
            try:
                cluster = {"scheduler_file": scheduler_file, "security": security, "stage_files": stage_files}
                engine = _engine(scheduler, setup, workers, timeout, len(todo), cluster)
                with Progress(len(todo), enabled=progress) as bar:
                    _drive(engine, todo, states, journal, retries, bar)
            except BatchError:
                journal.write_manifest(states.values())
                raise
            except Exception as error:  # a cluster that went away, say
                journal.write_manifest(states.values())
                raise BatchError(f"the batch stopped: {describe(error)}") from error
            journal.write_manifest(states.values())
        return report()
    except KeyboardInterrupt:
        if states:
            journal.write_manifest(states.values())
        raise BatchInterrupted(report()) from None
    finally:
        journal.close()
        lock.release()


def _check_not_in_worker() -> None:
    """A spawned worker imports the batch's main module again: one that calls run_batch outside
    ``if __name__ == "__main__":`` calls it there too.  Say so and end that worker, before it touches the
    output folder; the pool names the missing guard in its BatchError."""
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        sys.stderr.write(f"{NO_MAIN_GUARD}\n")
        raise SystemExit(NO_MAIN_GUARD_STATUS)


def _check_writable(folder: Path) -> None:
    try:
        folder.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        raise BatchError(f"the output folder {folder} cannot be written: {error.strerror or error}") from None


class _Engine(Protocol):
    """Runs tasks on workers that are set up once.  `wait` blocks until at least one task is settled, or a
    little while, and returns their records with the log records of their solves; it may call `feed` to submit
    further tasks as soon as workers are free, before it fetches the records.  `cancel` stops the tasks running
    and returns them; `returned` hands back the tasks that never started although submitted (sent to follow
    another on a worker that was then stopped or lost); `notes` says what the user should know about the
    engine."""

    def __enter__(self) -> _Engine: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def notes(self) -> list[str]: ...
    def has_room(self) -> bool: ...
    def running(self) -> bool: ...
    def submit(self, task: _Task) -> None: ...
    def wait(self, feed: Callable[[], None]) -> list[tuple[JobRecord, list[LogLine]]]: ...
    def cancel(self) -> list[_Task]: ...
    def returned(self) -> list[_Task]: ...


def _engine(scheduler: Any, setup: _Setup, workers: int | None, timeout: float | None, jobs: int,
            cluster: dict[str, Any]) -> _Engine:
    """The local pool, or the Dask engine when a scheduler (or its file) is named; `cluster` holds the Dask
    engine's further options."""
    if scheduler is None and cluster["scheduler_file"] is None:
        if cluster["security"] is not None or cluster["stage_files"]:
            raise BatchError("security and stage_files apply to a Dask cluster: name its scheduler")
        from ._local import LocalPool

        return LocalPool(setup, min(workers or os.cpu_count() or 1, jobs), timeout)
    if workers is not None:
        raise BatchError("workers applies to the local pool only; the cluster's workers are its own")
    try:
        from ._dask import DaskEngine
    except ImportError as error:
        raise BatchError(
            f"solving on a Dask cluster needs Dask ({error}): pip install 'veltrane_computer[cluster]'") from None
    if scheduler is not None and cluster["scheduler_file"] is not None:
        raise BatchError("name the Dask scheduler by its address or by its file, not both")
    return DaskEngine(scheduler, setup, timeout, **cluster)


def _drive(engine: _Engine, todo: list[_Task], states: dict[str, JobRecord], journal: Journal, retries: int,
           bar: Progress) -> None:
    """Feed the engine and record each settled job; a job stopped by a lost worker or a time-out goes back in
    the queue while it has retries left.  In-place jobs of one folder wait for each other."""
    pending = deque(todo)
    by_name = {task.name: task for task in todo}
    attempts: Counter[str] = Counter()
    busy: set[str] = set()
    blocked: dict[str, deque[_Task]] = {}

    def settle(record: JobRecord) -> None:
        states[record.name] = record
        journal.append(record)
        if journal.due():
            journal.write_manifest(states.values())

    def feed() -> None:
        while pending and engine.has_room():
            task = pending.popleft()
            if task.folder is not None:
                if task.folder in busy:
                    blocked.setdefault(task.folder, deque()).append(task)
                    continue
                busy.add(task.folder)
            attempts[task.name] += 1
            journal.claim(task.name, task.model)
            engine.submit(task)

    with engine:
        try:
            for note in engine.notes():
                bar.note(note)
            while pending or engine.running():
                feed()
                for record, logs in engine.wait(feed):
                    task = by_name[record.name]
                    if task.folder is not None:
                        busy.discard(task.folder)
                        if blocked.get(task.folder):
                            pending.appendleft(blocked[task.folder].popleft())
                    _forward(record.name, logs)
                    record = replace(record, attempts=attempts[record.name])
                    settle(record)
                    if record.status in _RETRIED and record.attempts <= retries:
                        pending.append(task)
                        bar.note(f"{record.name}: {record.error}; started again")
                    else:
                        bar.advance(record)
                for task in engine.returned():  # never started: not an attempt
                    attempts[task.name] -= 1
                    if task.folder is not None:
                        busy.discard(task.folder)
                    pending.appendleft(task)
                for note in engine.notes():
                    bar.note(note)
        except BaseException as error:
            reason = "interrupted" if isinstance(error, KeyboardInterrupt) else f"the batch stopped: {describe(error)}"
            for task in engine.cancel():
                settle(task.record("cancelled", error=reason, attempts=attempts[task.name]))
            raise


def _forward(job: str, logs: list[LogLine]) -> None:
    """The log records of a worker's solve, in this process's logging, with the job's name."""
    for level, name, message in logs:
        logger = logging.getLogger(name)
        if logger.isEnabledFor(level):
            logger.log(level, "%s: %s", job, message)
