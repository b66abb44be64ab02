"""Jobs for workers that do not see the client's disk: the model and the input files that travel with it go to
the worker with the job, and the result files come back to the client, which commits them into the job's
result folder.  Both sides hold a job's files in memory, so this serves jobs of up to some hundreds of MB."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable, Mapping
from dataclasses import replace
from pathlib import Path
from typing import TYPE_CHECKING

from .. import _results
from . import _worker
from ._jobs import _Setup, _Task

if TYPE_CHECKING:
    from ._records import JobRecord
    from ._worker import LogLine

# A job's files by name.
Files = dict[str, bytes]


def pack(task: _Task) -> Files:
    """The job's model and the input files that travel with it, read on the client."""
    return {path.name: path.read_bytes() for path in _worker.travelling_files(Path(task.model))}


def solve(setup: _Setup, task: _Task, files: Files, scratch: str,
          on_start: Callable[[], object] | None = None) -> tuple[JobRecord, list[LogLine], Files | None]:
    """Solve a job whose files came with it, in a folder of the worker's scratch folder removed afterwards;
    the record (with the client's paths) and the result files to send back (None when it was not solved:
    the results already in its folder on the client stay)."""
    with tempfile.TemporaryDirectory(prefix="veltrane-staged-", dir=scratch) as folder:
        model = Path(folder, "model")
        model.mkdir()
        for name, data in files.items():
            (model / _plain(name)).write_bytes(data)
        results = Path(folder, "results")
        staged = replace(task, model=os.fspath(model / Path(task.model).name), output_dir=os.fspath(results))
        record, logs = _worker.solve(setup, staged, scratch, on_start)
        back = {name: (results / name).read_bytes() for name in _names(record)} if record.status == "ok" else None
    return replace(record, model=task.model), logs, back


def deliver(task: _Task, files: Mapping[str, bytes]) -> None:
    """Commit the result files that came back into the job's result folder on the client; ResultsError when
    they cannot be written there (the folder is left as it was)."""
    with tempfile.TemporaryDirectory(prefix="veltrane-delivered-") as folder:
        sources = {}
        for name, data in files.items():
            sources[name] = Path(folder, _plain(name))
            sources[name].write_bytes(data)
        _results.commit(task.output_dir, sources)


def _names(record: JobRecord) -> list[str]:
    return [path.partition("/")[2] for path in record.result_files]


def _plain(name: str) -> str:
    if name in ("", ".", "..") or os.path.basename(name) != name or Path(name).name != name:
        raise ValueError(f"{name!r} is not a plain file name")
    return name
