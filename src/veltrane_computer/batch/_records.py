"""The public data of a batch: jobs, their records, the report and the errors."""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field, fields
from pathlib import Path
from typing import Any, Literal

# The batch's own files in its output folder; never job names.
MANIFEST = "manifest.json"
JOURNAL = "manifest.journal"
LOCK = "manifest.lock"

Status = Literal["ok", "failed", "timed-out", "worker-lost", "cancelled", "pending"]
STATUSES: tuple[Status, ...] = ("ok", "failed", "timed-out", "worker-lost", "cancelled", "pending")

# What a spawned worker says, and the status it ends with, when the main module it imports calls run_batch.
NO_MAIN_GUARD = ("the script runs run_batch again in each worker process, which imports it: call run_batch under "
                 "`if __name__ == \"__main__\":`")
NO_MAIN_GUARD_STATUS = 87


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
    """What became of a job: one record of ``report.records``, of ``manifest.json``, and of the
    documents ``veltrane solve`` and ``veltrane batch`` write (``--json``, ``--csv``).

    `solver` is the solver that ran (a structure model is solved by Vazer whatever
    was asked), `requested_solver` the one asked for.  `seconds` is the solve's time,
    unrounded.  `result_files` are relative to the output folder (the batch's
    `output_dir`, the manifest's folder), or absolute where they lie outside it: the
    file is ``Path(output_dir, result_file)`` either way.  `reason` is None for a job
    solved, the solve's ``SolveError.reason`` ("solver-failed", "unreadable-model",
    ...) for a solve that failed, otherwise the status ("timed-out", "worker-lost",
    "cancelled", "pending", or "failed" when the job's own code raised); `error`
    says what went wrong, in words.  `attempts` counts the starts.  `key` is the
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
    reason: str | None = None

    def __post_init__(self) -> None:
        if self.reason is None and self.status != "ok":
            object.__setattr__(self, "reason", self.status)


# The fields of a record, in the order of the manifest's objects and of the columns of --csv.
RECORD_FIELDS = tuple(field.name for field in fields(JobRecord))


def record_data(record: JobRecord) -> dict[str, Any]:
    """The record as JSON data: ``dataclasses.asdict``, with `result_files` a list."""
    data = {name: getattr(record, name) for name in RECORD_FIELDS}
    data["result_files"] = list(record.result_files)
    return data


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


def tally(records: tuple[JobRecord, ...]) -> str:
    """How many records have each status: "4 ok, 2 cancelled, 14 pending" (ok, cancelled and pending always,
    the others when there are any)."""
    counts = Counter(record.status for record in records)
    shown = [status for status in STATUSES if counts[status] or status in ("ok", "cancelled", "pending")]
    return ", ".join(f"{counts[status]} {status}" for status in shown)


class BatchInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped the batch: the jobs running were cancelled and the manifest is true.
    `report` holds the records so far ("ok", "failed", ..., "cancelled", "pending"); the message
    says how many of each, and that running the batch again resumes it."""

    def __init__(self, report: BatchReport):
        super().__init__(f"the batch was interrupted: {tally(report.records)}; run it again to resume "
                         "(the jobs solved are skipped)")
        self.report = report

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (self.report,))
