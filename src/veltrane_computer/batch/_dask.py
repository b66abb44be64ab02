"""The Dask engine of a batch: its jobs on the workers of a Dask cluster, reached by the scheduler's address
("tcp://host:port") or through a ``distributed.Client``.

Imported only for a batch that names a scheduler: Dask is an optional extra.
Each worker is set up once by a worker plugin (also a worker that joins later
or comes back after a restart), which also gives it a scratch folder of its
own for the core's sandboxes; starting, it removes the scratch folders of
workers that are gone.  The batch places each job on a worker of its choice and
never lets more jobs run or wait on a worker than it has threads, so that a
time-out counts a job's solve only and a worker that dies takes only its own
jobs with it.  A short job may be sent to follow another short one on the same
worker: it waits at the scheduler, not on the worker, and starts there as soon
as that one ends, without a round trip through the batch (a job that has run
for a second gets no follower).  The batch enforces the time-out itself: a job
that overruns it is cancelled and its worker restarted through its nanny, or
retired when it has none (also a frozen one); the job may then be retried on
another worker, and the job that was to follow it goes elsewhere.  The log
records of each solve come back with its record.
"""

from __future__ import annotations

import contextlib
import math
import queue
import threading
import time
import uuid
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from distributed import Client, Future, KilledWorker, WorkerPlugin

from . import _worker
from ._jobs import _Setup, _Task, describe
from ._records import BatchError, JobRecord

if TYPE_CHECKING:
    from ._worker import LogLine

    _Outcome = tuple[JobRecord, list[LogLine]]
    _Future = Future[_Outcome]

# Seconds to wait for a scheduler, and for a first worker, before the batch gives up on the cluster.
CONNECT_SECONDS = 10.0
# Seconds between looks at the cluster's workers.
POLL_SECONDS = 0.5
# Seconds the batch waits for a worker to join when none is left to it (all retired or gone).
WORKERLESS_SECONDS = 60.0
# A job is sent to follow another on a worker only while that one has run less than this many seconds and
# the worker's last job took less: short jobs then never wait for the batch between them, and a long job
# never holds back the next one while another worker is free.
AHEAD_SECONDS = 1.0
# Seconds the batch waits, at its end, for the restarts and retirements it asked for.
_HELPER_SECONDS = 10.0
_SCRATCH_PREFIX = "veltrane-dask-"

# This worker process's scratch folder, made by the plugin's setup.
_scratch: str | None = None


class _SetupPlugin(WorkerPlugin):
    """Sets a worker up when it starts (or joins, or comes back) and closes its session when it leaves."""

    def __init__(self, batch_setup: _Setup):
        self.batch_setup = batch_setup

    def setup(self, worker: Any) -> None:
        global _scratch
        if _scratch is None:
            _scratch = _worker.make_scratch(_SCRATCH_PREFIX)
        if _worker.solve_lock.acquire(blocking=False):  # a worker busy with a solve sets up with its next job
            try:
                _worker.session_for(self.batch_setup)
            finally:
                _worker.solve_lock.release()

    def teardown(self, worker: Any) -> None:
        global _scratch
        if _worker.solve_lock.acquire(blocking=False):  # a stuck solve keeps its session until the process ends
            try:
                _worker.close_session()
                if _scratch is not None:
                    import shutil

                    shutil.rmtree(_scratch, ignore_errors=True)
                    _scratch = None
            finally:
                _worker.solve_lock.release()


def _run(setup: _Setup, task: _Task) -> tuple[JobRecord, list[LogLine]]:
    """A job on a worker."""
    global _scratch
    if _scratch is None:
        _scratch = _worker.make_scratch(_SCRATCH_PREFIX)
    return _worker.solve(setup, task, _scratch)


def _run_after(previous: object, setup: _Setup, task: _Task) -> tuple[JobRecord, list[LogLine]]:
    """A job that follows another on the same worker: the scheduler starts it when that one has ended."""
    return _run(setup, task)


@dataclass
class _Running:
    """A job on the cluster: running since `started`, or, `started` None, waiting at the scheduler for the job
    whose future has the key `after` to end on the same worker.  `follower` is the key of the job that waits
    so for this one."""

    future: _Future
    task: _Task
    address: str
    started: float | None
    deadline: float
    after: Any = None
    follower: Any = None


class DaskEngine:
    """Runs the tasks of a batch on a Dask cluster; see the module's documentation."""

    def __init__(self, scheduler: str | Client, setup: _Setup, timeout: float | None):
        self._owned = not isinstance(scheduler, Client)
        if isinstance(scheduler, Client):
            self._client = scheduler
        else:
            try:
                self._client = Client(scheduler, timeout=CONNECT_SECONDS, set_as_default=False)
            except Exception as error:
                raise BatchError(f"cannot reach the Dask scheduler {scheduler!r}: {describe(error)}") from None
        self._setup = setup
        self._timeout = timeout
        self._plugin = f"veltrane-batch-{uuid.uuid4().hex}"
        self._done: queue.SimpleQueue[_Future] = queue.SimpleQueue()
        self._running: dict[Any, _Running] = {}  # by the key of its future
        self._workers: dict[str, tuple[int, str | None]] = {}  # address -> (threads, nanny address)
        self._retired: set[str] = set()
        self._looked = -math.inf
        self._workerless_since: float | None = None
        self._helpers: list[threading.Thread] = []
        self._notes: list[str] = []
        self._returned: list[_Task] = []
        self._last: dict[str, float] = {}  # address -> seconds of the last job that ended there

    def __enter__(self) -> DaskEngine:
        try:
            self._client.wait_for_workers(1, timeout=CONNECT_SECONDS)
            answers = self._client.register_plugin(_SetupPlugin(self._setup), name=self._plugin)
            failures = [answer for answer in (answers or {}).values()
                        if isinstance(answer, dict) and answer.get("status") == "error"]
            if failures:
                raise BatchError(f"a worker could not be set up: {failures[0].get('exception')}")
            self._look(force=True)
            services = self._client.scheduler_info().get("services", {})
            if "dashboard" in services:
                self._notes.append(f"Dask dashboard: {self._client.dashboard_link}")
        except BatchError:
            self.__exit__()
            raise
        except Exception as error:
            self.__exit__()
            if "wait_for_workers" in "".join(map(str, getattr(error, "args", ()))) or isinstance(error, TimeoutError):
                raise BatchError(f"the Dask cluster has no worker: {describe(error)}") from None
            raise BatchError(f"a worker could not be set up: {describe(error)}") from None
        return self

    def __exit__(self, *exc_info: object) -> None:
        try:
            self.cancel()
            with contextlib.suppress(Exception):  # a plugin whose setup failed may be unknown; a lost scheduler
                self._client.unregister_worker_plugin(self._plugin)
            deadline = time.monotonic() + _HELPER_SECONDS
            for helper in self._helpers:
                helper.join(max(deadline - time.monotonic(), 0))
        finally:
            if self._owned:
                with contextlib.suppress(Exception):
                    self._client.close()

    def notes(self) -> list[str]:
        notes, self._notes = self._notes, []
        return notes

    def has_room(self) -> bool:
        self._check_connected()
        self._look()
        return self._free_worker() is not None or self._unfollowed() is not None

    def running(self) -> bool:
        return bool(self._running)

    def returned(self) -> list[_Task]:
        """The jobs that were to follow others but never started (their worker was stopped or lost)."""
        returned, self._returned = self._returned, []
        return returned

    def submit(self, task: _Task) -> None:
        """Send the job to a worker with a thread free, or else to follow a job running on a worker, so that it
        starts there as soon as that one ends, without waiting for the batch."""
        key = f"veltrane-{task.name}-{uuid.uuid4().hex}"
        address = self._free_worker()
        if address is not None:
            future = self._client.submit(_run, self._setup, task, key=key, workers=[address],
                                         allow_other_workers=False, pure=False, retries=0)
            self._running[key] = _Running(future, task, address, None, math.inf)
            self._start(self._running[key], time.monotonic())
        else:
            head = self._unfollowed()
            assert head is not None
            future = self._client.submit(_run_after, head.future, self._setup, task, key=key,
                                         workers=[head.address], allow_other_workers=False, pure=False, retries=0)
            self._running[key] = _Running(future, task, head.address, None, math.inf, after=head.future.key)
            head.follower = key
        future.add_done_callback(self._done.put)

    def wait(self, feed: Callable[[], None]) -> list[tuple[JobRecord, list[LogLine]]]:
        self._check_connected()
        if not self._running:  # no worker free: the cluster may grow or come back
            self._check_workerless()
            time.sleep(POLL_SECONDS)
            return []
        now = time.monotonic()
        due = min(entry.deadline for entry in self._running.values()) - now
        finished = []
        with contextlib.suppress(queue.Empty):
            finished.append(self._done.get(timeout=max(min(due, POLL_SECONDS), 0)))
            while True:
                finished.append(self._done.get_nowait())
        settled = self._settle(finished, feed)
        self._check_connected()  # the futures of a client that lost its scheduler end cancelled
        settled += self._overdue()
        settled += self._lost()
        return [outcome for outcome in settled if outcome is not None]

    def cancel(self) -> list[_Task]:
        """Cancel every job on the cluster; the jobs that had started (those waiting to follow never did)."""
        entries = list(self._running.values())
        self._running.clear()
        if entries:
            with contextlib.suppress(Exception):
                self._client.cancel([entry.future for entry in entries], force=True)
        return [entry.task for entry in entries if entry.started is not None]

    def _settle(self, finished: list[_Future], feed: Callable[[], None]) -> list[_Outcome | None]:
        """The outcomes of finished futures; the results of those that succeeded come in one call, once the
        workers they leave free have their next jobs.  A job that followed one that failed never started."""
        now = time.monotonic()
        entries = []
        for future in finished:
            entry = self._running.pop(future.key, None)
            if entry is None:  # cancelled by the batch, or given back
                continue
            if entry.started is None and future.status != "finished":  # it followed a job that was lost
                self._returned.append(entry.task)
                continue
            entries.append((future, entry))
            self._last[entry.address] = now - (entry.started or now)
            follower = self._running.get(entry.follower)
            if follower is not None and future.status == "finished":
                self._start(follower, now)
            elif follower is not None:
                self._give_back(follower)
        succeeded = [(future, entry) for future, entry in entries if future.status == "finished"]
        if entries:
            feed()
        settled: list[_Outcome | None] = []
        if succeeded:
            try:
                settled += self._client.gather([future for future, _ in succeeded])
            except Exception:  # one of them went away meanwhile: one by one
                settled += [self._outcome(future, entry) for future, entry in succeeded]
        settled += [self._outcome(future, entry) for future, entry in entries if future.status != "finished"]
        return settled

    def _start(self, entry: _Running, now: float) -> None:
        entry.after = None
        entry.started = now
        entry.deadline = now + self._timeout if self._timeout else math.inf

    def _give_back(self, entry: _Running) -> None:
        """Cancel a job that waits to follow another, and hand it back to the batch."""
        del self._running[entry.future.key]
        with contextlib.suppress(Exception):
            self._client.cancel([entry.future], force=True)
        self._returned.append(entry.task)

    def _outcome(self, future: _Future, entry: _Running) -> tuple[JobRecord, list[LogLine]]:
        seconds = time.monotonic() - (entry.started or time.monotonic())
        try:
            outcome: tuple[JobRecord, list[LogLine]] = future.result()
        except KilledWorker:
            outcome = entry.task.record("worker-lost", seconds=seconds, error="its worker died while solving it"), []
        except Exception as error:
            cancelled = type(error).__name__ in ("CancelledError", "FutureCancelledError")
            if cancelled and self._client.status != "running":
                self._running[future.key] = entry  # still to be recorded as cancelled
                raise ConnectionError(f"the connection to the Dask scheduler was lost: {describe(error)}") from None
            status = "worker-lost" if cancelled else "failed"
            outcome = entry.task.record(status, seconds=seconds, error=describe(error)), []  # type: ignore[arg-type]
        return outcome

    def _overdue(self) -> list[tuple[JobRecord, list[LogLine]]]:
        """The jobs past their time-out, cancelled; their workers are restarted or retired."""
        now = time.monotonic()
        settled: list[tuple[JobRecord, list[LogLine]]] = []
        for key, entry in list(self._running.items()):
            if now >= entry.deadline and key in self._running:
                del self._running[key]
                with contextlib.suppress(Exception):
                    self._client.cancel([entry.future], force=True)
                if entry.follower in self._running:
                    self._give_back(self._running[entry.follower])
                how = self._stop_worker(entry.address)
                error = f"not solved within {self._timeout:g} s; its worker {entry.address} was {how}"
                seconds = now - (entry.started or now)
                settled.append((entry.task.record("timed-out", seconds=seconds, error=error), []))
        return settled

    def _lost(self) -> list[tuple[JobRecord, list[LogLine]]]:
        """The jobs whose worker left the cluster."""
        if not self._look():
            return []
        settled: list[tuple[JobRecord, list[LogLine]]] = []
        for key, entry in list(self._running.items()):
            if entry.address not in self._workers and entry.started is None:
                self._give_back(entry)
            elif entry.address not in self._workers:
                del self._running[key]
                with contextlib.suppress(Exception):
                    self._client.cancel([entry.future], force=True)
                error = f"its worker {entry.address} left the cluster while solving it"
                seconds = time.monotonic() - (entry.started or time.monotonic())
                settled.append((entry.task.record("worker-lost", seconds=seconds, error=error), []))
        return settled

    def _stop_worker(self, address: str) -> str:
        """Take the worker out of the batch; restart it through its nanny, else retire it."""
        self._retired.add(address)
        nanny = self._workers.get(address, (0, None))[1]

        def stop() -> None:
            with contextlib.suppress(Exception):
                if nanny:
                    self._client.restart_workers([address], raise_for_error=False)
                    self._client.run(_worker.sweep, _SCRATCH_PREFIX)  # the restarted process's scratch folder
                else:
                    self._client.retire_workers([address], close_workers=True)

        helper = threading.Thread(target=stop, name="veltrane-batch-stop-worker", daemon=True)
        helper.start()
        self._helpers.append(helper)
        return "restarted" if nanny else "retired (it has no nanny to restart it)"

    def _look(self, force: bool = False) -> bool:
        """Refresh the cluster's workers, at most every POLL_SECONDS; whether it did."""
        now = time.monotonic()
        if not force and now - self._looked < POLL_SECONDS:
            return False
        self._looked = now
        try:
            info = self._client.scheduler_info(n_workers=-1)
        except TypeError:  # before n_workers, every worker was listed
            info = self._client.scheduler_info()
        self._workers = {
            address: (int(worker.get("nthreads", 1)), worker.get("nanny"))
            for address, worker in info.get("workers", {}).items()
            if worker.get("status", "running") in ("running", "init")
        }
        self._retired &= set(self._workers)
        return True

    def _free_worker(self) -> str | None:
        """The usable worker with the most threads free, if any."""
        busy: dict[str, int] = {}
        for entry in self._running.values():
            if entry.after is None:
                busy[entry.address] = busy.get(entry.address, 0) + 1
        best, most = None, 0
        for address, (threads, _) in self._workers.items():
            free = threads - busy.get(address, 0)
            if address not in self._retired and free > most:
                best, most = address, free
        return best

    def _unfollowed(self) -> _Running | None:
        """A short job running on a usable worker whose last job was short too, that no job follows yet."""
        since = time.monotonic() - AHEAD_SECONDS
        for entry in self._running.values():
            if (entry.started is not None and entry.started > since and entry.follower is None
                    and self._last.get(entry.address, math.inf) < AHEAD_SECONDS
                    and entry.address not in self._retired and entry.address in self._workers):
                return entry
        return None

    def _check_connected(self) -> None:
        if self._client.status != "running":
            raise ConnectionError(f"the Dask scheduler was lost (the batch's client is {self._client.status})")

    def _check_workerless(self) -> None:
        self._look()
        if any(address not in self._retired for address in self._workers):
            self._workerless_since = None
            return
        now = time.monotonic()
        if self._workerless_since is None:
            self._workerless_since = now
        elif now - self._workerless_since >= WORKERLESS_SECONDS:
            raise BatchError(f"no worker of the Dask cluster was left to the batch for {WORKERLESS_SECONDS:g} s")
