"""The Dask engine of veltrane_computer.batch: the jobs of a batch on the workers of a Dask cluster.

Imported only for a batch that names a scheduler: Dask is an optional extra.
Each worker is set up once by a worker plugin (also a worker that joins
later or comes back after a restart) and solves one model at a time, so the
cluster's workers are best started with one thread each.  The batch keeps no
more jobs on the cluster than its workers have threads, so that a worker
whose process dies takes only its own job with it.  The scheduler starts that
job again elsewhere as often as its `allowed-failures` setting says before
the batch sees the job as lost.
"""

from __future__ import annotations

import contextlib
import threading
import time
import uuid
from collections.abc import Callable
from typing import Any

from distributed import Client, Future, KilledWorker, WorkerPlugin, get_worker, wait

from .batch import BatchError, JobRecord, _close_session, _session_for, _Setup, _solve, _solve_lock, _Task, _describe

# Seconds to wait for a scheduler before the batch gives up on it.
CONNECT_SECONDS = 5
# Seconds between looks at a cluster that has no worker free.
_IDLE_SECONDS = 0.2

# Set when a solve of this worker process overran its time-out: the core is still busy
# with it, so the process takes no further job until it is restarted.
_stuck = False


class _SetupPlugin(WorkerPlugin):
    """Sets a worker up when it starts and closes its session when it leaves."""

    def __init__(self, batch_setup: _Setup):
        self.batch_setup = batch_setup

    def setup(self, worker: Any) -> None:
        _unless_solving(lambda: _session_for(self.batch_setup))

    def teardown(self, worker: Any) -> None:
        _unless_solving(_close_session)


def _unless_solving(action: Callable[[], object]) -> None:
    """Run action unless a solve is under way: a worker busy with another batch's job sets up with its
    own first job, and a stuck solve keeps its session until the process ends."""
    if _solve_lock.acquire(blocking=False):
        try:
            action()
        finally:
            _solve_lock.release()


def _solve_on_worker(setup: _Setup, task: _Task, timeout: float | None) -> tuple[JobRecord | None, str | None]:
    """Solve a job on this worker.  Returns its record, and after a time-out this worker's
    address, to be restarted; no record when the worker is stuck and the job must go elsewhere."""
    global _stuck
    if _stuck:
        return None, None
    if timeout is None:
        return _solve(setup, task), None
    records: list[JobRecord] = []
    solver = threading.Thread(target=lambda: records.append(_solve(setup, task)), daemon=True)
    solver.start()
    solver.join(timeout)
    if records:
        return records[0], None
    _stuck = True
    error = f"not solved within {timeout:g} s; its worker was restarted"
    return task.record("timed-out", seconds=timeout, error=error), get_worker().address


class DaskEngine:
    """Runs the tasks of a batch on a Dask cluster, given by its scheduler's address or a Client."""

    def __init__(self, scheduler: str | Client, setup: _Setup, timeout: float | None):
        self._owned = not isinstance(scheduler, Client)
        if isinstance(scheduler, Client):
            self._client = scheduler
        else:
            try:
                self._client = Client(scheduler, timeout=CONNECT_SECONDS, set_as_default=False)
            except Exception as error:
                raise BatchError(f"cannot reach the Dask scheduler {scheduler!r}: {_describe(error)}") from None
        self._setup = setup
        self._timeout = timeout
        self._plugin = f"veltrane-batch-{uuid.uuid4().hex}"
        self._futures: dict[Future, _Task] = {}

    def __enter__(self) -> DaskEngine:
        try:
            self._client.register_plugin(_SetupPlugin(self._setup), name=self._plugin)
        except Exception as error:
            self.__exit__()
            raise BatchError(f"a worker could not be set up: {_describe(error)}") from None
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.cancel()
        try:
            with contextlib.suppress(ValueError):  # a plugin whose setup failed may be unknown
                self._client.unregister_worker_plugin(self._plugin)
        finally:
            if self._owned:
                self._client.close()

    def has_room(self) -> bool:
        return len(self._futures) < sum(self._client.nthreads().values())

    def running(self) -> bool:
        return bool(self._futures)

    def submit(self, task: _Task) -> None:
        future = self._client.submit(_solve_on_worker, self._setup, task, self._timeout, pure=False,
                                     key=f"veltrane-{task.name}-{uuid.uuid4().hex}")
        self._futures[future] = task

    def wait(self) -> list[JobRecord]:
        if not self._futures:  # no worker free: the cluster may grow or come back
            time.sleep(_IDLE_SECONDS)
            return []
        done, _ = wait(list(self._futures), return_when="FIRST_COMPLETED")
        records, stuck = [], []
        for future in done:
            task = self._futures.pop(future)
            try:
                record, address = future.result()
            except KilledWorker:
                record, address = task.record("worker-lost", error="its worker died while solving it"), None
            except Exception as error:
                record, address = task.record("failed", error=_describe(error)), None
            future.release()
            if address is not None:
                stuck.append(address)
            if record is None:
                self.submit(task)
            else:
                records.append(record)
        if stuck:  # after the results are in: a restart loses what its worker holds
            self._client.restart_workers(stuck, raise_for_error=False)
        return records

    def cancel(self) -> list[_Task]:
        tasks = list(self._futures.values())
        if self._futures:
            self._client.cancel(list(self._futures))
            self._futures.clear()
        return tasks
