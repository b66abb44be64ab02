"""The public data of a batch: jobs, their records, the report and the errors."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Literal

# The batch's own files in its output folder; never job names.
MANIFEST = "manifest.json"
JOURNAL = "manifest.journal"
LOCK = "manifest.lock"

Status = Literal["ok", "failed", "timed-out", "worker-lost", "cancelled", "pending"]


class BatchError(Exception):
    """A batch that cannot start, or whose cluster went away: a missing model, an unknown solver, an output
    folder that cannot be written or holds the user's files, another batch holding the folder, an unreachable
    cluster, a failed setup."""


@dataclass(frozen=True)
class Job:
    """One solve of a batch.

    `solver` None means the batch's solver.  `prepare`, when given, is called
    with the path of a private copy of the model (the model's .fre and .thf files
    beside it) and edits that copy before it is solved.  It travels to the worker
    processes, so it must be picklable: a module-level function or a
    functools.partial of one, or a method of a picklable object.  A rerun solves
    the job again when the prepare's code or the values it holds changed (one
    whose values cannot be keyed is solved again on every run, and the report's
    notes say why).  `name` names the job's result folder (default: the model's
    file stem), made valid by Windows' rules on every system; equal names,
    whatever their case, get "-2", "-3", ... in job order, and so does a name
    that an earlier batch into the same folder gave to another model.
    """

    model: str | os.PathLike[str]
    solver: str | None = None
    prepare: Callable[[Path], object] | None = None
    name: str | None = None


@dataclass(frozen=True)
class JobRecord:
    """What became of a job, as the manifest records it.

    `solver` is the solver that ran (a structure model is solved by Vazer whatever
    was asked), `requested_solver` the one asked for.  `result_files` are relative
    to the batch's output folder; `attempts` counts the starts.  `key` is the
    digest of what was solved: the model and its input files, the prepare callable
    and the solver; a rerun solves again when it changed."""

    name: str
    model: str
    solver: str
    status: Status
    seconds: float = 0.0
    result_files: tuple[str, ...] = ()
    error: str = ""
    attempts: int = 0
    key: str = ""
    requested_solver: str = ""


@dataclass(frozen=True)
class BatchReport:
    """The records of this batch's jobs in job order.  `skipped` names the jobs that
    an earlier run had already solved; `notes` says what the batch found amiss and
    set right in its output folder (an unreadable manifest set aside, say)."""

    records: tuple[JobRecord, ...]
    skipped: tuple[str, ...]
    output_dir: Path
    seconds: float
    notes: tuple[str, ...] = field(default=())

    @property
    def manifest(self) -> Path:
        return self.output_dir / MANIFEST

    @property
    def ok(self) -> bool:
        """Whether every job is solved."""
        return all(record.status == "ok" for record in self.records)

    def with_status(self, status: Status) -> tuple[JobRecord, ...]:
        return tuple(record for record in self.records if record.status == status)


class BatchInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped the batch: the jobs running were cancelled and the manifest is true.
    `report` holds the records so far ("ok", "failed", ..., "cancelled", "pending")."""

    def __init__(self, report: BatchReport):
        super().__init__("the batch was interrupted")
        self.report = report

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (self.report,))
