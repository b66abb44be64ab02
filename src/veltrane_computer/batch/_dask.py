"""The Dask engine of a batch: its jobs on the workers of a Dask cluster, reached by the scheduler's address
("tcp://host:port", "tls://host:port"), a scheduler file or a ``distributed.Client``.

Imported only for a batch that names a scheduler: Dask is an optional extra.
Each worker is set up once by a worker plugin (also a worker that joins later
or comes back after a restart), which also gives it a scratch folder of its
own for the core's sandboxes; starting, it removes the scratch folders of
workers that are gone.  The cluster may be shared: the batch places each job on
a worker of its choice that runs none of its jobs (a process solves one at a
time) and has a thread free of the other work the scheduler lists there, and counts a job's time-out from the moment the
job starts (the worker says so in an event of the batch's topic), so that a job
waiting behind another client's task is never timed out.  Short jobs are
handed to a worker before it asks: a few of them (see AHEAD_SECONDS) follow a short one
on the same worker, waiting in the worker's own queue, and each starts there as
soon as the one before ends, without a round trip through the scheduler or the
batch (a job that has run for a second gets no follower; their time-outs count
from their starts).  The batch enforces
the time-out itself: a job that overruns it is cancelled and its worker
restarted through its nanny, or retired when it has none (also a frozen one),
but only when the worker runs nothing but the batch's own jobs; a worker that
also runs other work is left as it is, with a note, and the batch uses it no
more.  The job may then be retried on another worker, and the jobs that were to
follow it go elsewhere.  The log records of each solve come back with its
record.

A worker that cannot see a job's model or result folder under the client's
paths says so, once; from then on (or from the start, with ``stage_files``) each
job's model and input files travel with it (straight to the worker that solves
it when they are large, not through the scheduler) and its result files come
back to the client, which commits them into the job's result folder.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import functools
import json
import logging
import math
import os
import queue
import threading
import time
import uuid
from collections.abc import Callable, Iterator
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

from distributed import Client, Future, KilledWorker, WorkerPlugin, get_worker
from distributed.security import Security

from .. import _results
from . import _staging, _worker
from ._jobs import _Setup, _Task, describe
from ._records import BatchError, JobRecord

if TYPE_CHECKING:
    from ._worker import LogLine

    # What a job's task answers: its record, the log records of its solve and, staged, its result files; or,
    # when its worker cannot see the job's files, why.
    _Answer = tuple[JobRecord, list[LogLine], _staging.Files | None] | str
    _Outcome = tuple[JobRecord, list[LogLine]]
    _Future = Future[_Answer]

# Seconds to wait for a scheduler, and for a first worker, before the batch gives up on the cluster.
CONNECT_SECONDS = 10.0
# Seconds between looks at the cluster's workers.
POLL_SECONDS = 0.5
# Seconds the batch waits for a worker to join when none is left to it (all retired or gone).
WORKERLESS_SECONDS = 60.0
# Jobs are sent to follow another on a worker only while the one running there has run less than this many
# seconds and the worker's last job took less: short jobs then never wait for the batch between them, and a
# long job never holds back the next ones while another worker is free.
SHORT_SECONDS = 1.0
# The jobs waiting so on a worker may take this many seconds (as long as its last job each), or one job; at
# the end of a batch no worker then idles long while another works off its queue.
AHEAD_SECONDS = 0.1
# At most this many jobs wait so on a worker.
AHEAD_JOBS = 4
# Staged files of more bytes than this go to the worker that solves the job, not with the task.
SCATTER_BYTES = 1 << 20
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
        _scratch_folder()
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


def _scratch_folder() -> str:
    global _scratch
    if _scratch is None:
        _scratch = _worker.make_scratch(_SCRATCH_PREFIX)
    return _scratch


def _sees(*paths: str) -> bool:
    return all(os.path.exists(path) for path in paths)


def _run(setup: _Setup, task: _Task, topic: str, key: str, timed: bool, staged: _staging.Files | None) -> _Answer:
    """A job on a worker: its start told to the batch when it times its jobs out, then its solve, from its
    files when they came along.  The answer goes to the batch in an event too (the scheduler tells it at
    once), unless it carries files: the batch then fetches it from the worker."""
    worker = get_worker()
    on_start = functools.partial(worker.log_event, topic, ["start", key]) if timed else None
    scratch = _scratch_folder()
    if staged is not None:
        return _staging.solve(setup, task, staged, scratch, on_start)
    if not _sees(task.model, os.path.dirname(task.output_dir)):
        return f"the worker cannot see {task.model} or {os.path.dirname(task.output_dir)}"
    record, logs = _worker.solve(setup, task, scratch, on_start)
    with contextlib.suppress(TypeError):  # a log message that cannot travel so: the batch fetches the answer
        worker.log_event(topic, ["end", key, [dataclasses.astuple(record), logs]])
    return record, logs, None


def _from_wire(answer: list[Any]) -> _Answer:
    """An answer as it came in an end event (its tuples made lists)."""
    fields, logs = answer
    record = JobRecord(*fields)
    return replace(record, result_files=tuple(record.result_files)), [tuple(line) for line in logs], None


def connect(scheduler: str | Client | None, scheduler_file: str | os.PathLike[str] | None,
            security: Security | None) -> tuple[Client, bool]:
    """The client of the batch's cluster, and whether the batch made it (and so closes it).  BatchError at once
    for a scheduler file that cannot be read or a TLS scheduler without TLS settings."""
    if isinstance(scheduler, Client):
        return scheduler, False
    if scheduler_file is not None:
        try:
            scheduler = str(json.loads(Path(scheduler_file).read_text(encoding="utf-8"))["address"])
        except (OSError, ValueError, KeyError, TypeError) as error:
            raise BatchError(f"the scheduler file {scheduler_file} cannot be read: {describe(error)}") from None
    if not isinstance(scheduler, str):
        raise BatchError(f"scheduler must be an address such as 'tcp://host:port' or a distributed.Client, "
                         f"not {scheduler!r}")
    try:
        security = security or Security()  # Dask's configuration: distributed.comm.tls.*
        secured = security.get_connection_args("client").get("ssl_context") is not None
    except Exception as error:  # a certificate that cannot be read
        raise BatchError(f"the TLS settings for {scheduler} cannot be used: {describe(error)}") from None
    if scheduler.startswith("tls://") and not secured:
        raise BatchError(f"the Dask scheduler {scheduler} takes TLS connections only: give its certificates "
                         "(--tls-ca-file, --tls-cert, --tls-key; security= from Python) or set them in Dask's "
                         "configuration (distributed.comm.tls.*)")
    try:
        return Client(scheduler, timeout=CONNECT_SECONDS, set_as_default=False, security=security), True
    except Exception as error:
        raise BatchError(f"cannot reach the Dask scheduler {scheduler!r}: {describe(error)}") from None


@contextlib.contextmanager
def _quiet_reconnect() -> Iterator[None]:
    """Leave out of the log the cancelled reconnection of a client that lost its scheduler and is closed:
    the batch reports the loss itself."""

    def keep(record: logging.LogRecord) -> bool:
        return not (record.exc_info and isinstance(record.exc_info[1], asyncio.CancelledError))

    client_logger = logging.getLogger("distributed.client")
    client_logger.addFilter(keep)
    try:
        yield
    finally:
        client_logger.removeFilter(keep)


@dataclass
class _Running:
    """A job on the cluster: running since `started`, or, `started` None, sent at `sent` and not started yet
    (waiting, when `after` is set, on its worker for the job whose future has that key to end).  `follower` is
    the key of the job that waits so for this one."""

    future: _Future
    task: _Task
    address: str
    sent: float
    started: float | None = None
    after: Any = None
    follower: Any = None
    staged: Any = None  # the future of files scattered to the worker, held until the job ends

    @property
    def waiting(self) -> bool:
        """Whether it waits on its worker behind another job of the batch (so it has not started)."""
        return self.started is None and self.after is not None

    def deadline(self, timeout: float | None) -> float:
        return self.started + timeout if timeout and self.started is not None else math.inf


class DaskEngine:
    """Runs the tasks of a batch on a Dask cluster; see the module's documentation."""

    def __init__(self, scheduler: str | Client | None, setup: _Setup, timeout: float | None, *,
                 scheduler_file: str | os.PathLike[str] | None = None, security: Security | None = None,
                 stage_files: bool = False):
        self._client, self._owned = connect(scheduler, scheduler_file, security)
        self._address = str(getattr(self._client.scheduler, "address", None) or scheduler or scheduler_file)
        self._setup = setup
        self._timeout = timeout
        self._stage = stage_files
        self._plugin = f"veltrane-batch-{uuid.uuid4().hex}"
        # ("done", future), or ("event", ["start", key]) and ("event", ["end", key, answer on the wire]) with the
        # key of the job's future
        self._events: queue.SimpleQueue[tuple[str, Any]] = queue.SimpleQueue()
        self._running: dict[Any, _Running] = {}  # by the key of its future
        self._workers: dict[str, tuple[int, str | None]] = {}  # address -> (threads, nanny address)
        self._others: dict[str, int] = {}  # address -> tasks of other work the scheduler lists there
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
            self._client.subscribe_topic(self._plugin, lambda event: self._events.put(("event", event[1])))
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
            if self._client.status == "running":  # a lost scheduler hears nothing more
                with contextlib.suppress(Exception):  # a plugin whose setup failed may be unknown
                    self._client.unregister_worker_plugin(self._plugin)
                with contextlib.suppress(Exception):
                    self._client.unsubscribe_topic(self._plugin)
            deadline = time.monotonic() + _HELPER_SECONDS
            for helper in self._helpers:
                helper.join(max(deadline - time.monotonic(), 0))
        finally:
            if self._owned:
                with contextlib.suppress(Exception), _quiet_reconnect():
                    self._client.close(timeout=_HELPER_SECONDS)

    def notes(self) -> list[str]:
        notes, self._notes = self._notes, []
        return notes

    def has_room(self) -> bool:
        self._check_connected()
        self._look()
        return self._free_worker() is not None or self._tail() is not None

    def running(self) -> bool:
        return bool(self._running)

    def returned(self) -> list[_Task]:
        """The jobs that were sent but never started (their worker was stopped or lost, or could not see them)."""
        returned, self._returned = self._returned, []
        return returned

    def submit(self, task: _Task) -> None:
        """Send the job to a worker with a thread free, or else to follow the last job sent to a worker that
        runs short jobs, so that it starts there as soon as that one ends, without waiting for the batch."""
        key = f"{self._plugin}-{task.name}-{uuid.uuid4().hex[:8]}"
        address = self._free_worker()
        tail = self._tail() if address is None else None
        if tail is not None:
            address = tail.address
        assert address is not None
        staged, scattered = None, None
        if self._stage:
            staged = _staging.pack(task)
            if sum(map(len, staged.values())) > SCATTER_BYTES:
                scattered = staged = self._client.scatter(staged, workers=[address], direct=True, hash=False)
        future = self._client.submit(_run, self._setup, task, self._plugin, key, bool(self._timeout), staged,
                                     key=key, workers=[address], allow_other_workers=False, pure=False, retries=0)
        if tail is not None:
            tail.follower = key
        self._running[key] = _Running(future, task, address, time.monotonic(), after=tail and tail.future.key,
                                      staged=scattered)
        future.add_done_callback(lambda done: self._events.put(("done", done)))

    def wait(self, feed: Callable[[], None]) -> list[tuple[JobRecord, list[LogLine]]]:
        self._check_connected()
        if not self._running:  # no worker free: the cluster may grow, come back or end other work
            self._check_workerless()
            time.sleep(POLL_SECONDS)
            return []
        due = self._due() - time.monotonic()
        finished: list[_Future] = []
        ended: list[tuple[str, _Answer]] = []
        with contextlib.suppress(queue.Empty):
            event = self._events.get(timeout=max(min(due, POLL_SECONDS), 0))
            while True:
                kind, what = event
                if kind == "done":
                    finished.append(what)
                elif what[0] == "start":
                    self._started(what[1])
                else:
                    ended.append((what[1], _from_wire(what[2])))
                event = self._events.get_nowait()
        self._check_connected()  # the futures of a client that lost its scheduler end cancelled
        settled = self._settle(finished, ended, feed)
        settled += self._overdue()
        settled += self._lost()
        return settled

    def cancel(self) -> list[_Task]:
        """Cancel every job on the cluster; the jobs that had started, or may have (sent to run at once, their
        start not heard yet), not those waiting to follow others."""
        entries = list(self._running.values())
        self._running.clear()
        if entries and self._client.status == "running":
            with contextlib.suppress(Exception):
                self._client.cancel([entry.future for entry in entries], force=True)
        return [entry.task for entry in entries if not entry.waiting]

    def _started(self, key: str) -> None:
        entry = self._running.get(key)
        if entry is not None and entry.started is None:
            entry.started = time.monotonic()
            entry.after = None

    def _due(self) -> float:
        """When the next job runs out of time, or an unstarted one should have started were the worker free."""
        if not self._timeout:
            return math.inf
        return min(entry.deadline(self._timeout) if entry.started is not None or entry.after is not None
                   else entry.sent + self._timeout for entry in self._running.values())

    def _settle(self, finished: list[_Future], ended: list[tuple[str, _Answer]],
                feed: Callable[[], None]) -> list[_Outcome]:
        """The outcomes of the jobs whose answers came in their end events, and of finished futures; the answers
        that did not come so are fetched in one call, once the workers left free have their next jobs."""
        now = time.monotonic()
        done: list[tuple[_Running, _Answer | None]] = []
        for key, answer in ended:
            entry = self._running.get(key)
            if entry is not None:
                self._finish(entry, True, now)
                done.append((entry, answer))
        for future in finished:
            entry = self._running.get(future.key)
            if entry is None:  # settled by its end event, cancelled by the batch, or given back
                continue
            if entry.waiting and future.status != "finished":  # it never started: its worker was lost
                self._give_back(entry)
                continue
            self._finish(entry, future.status == "finished", now)
            done.append((entry, None))
        if done:
            feed()
        fetch = [entry.future for entry, answer in done if answer is None and entry.future.status == "finished"]
        fetched: dict[Any, _Answer] = {}
        if fetch:
            with contextlib.suppress(Exception):  # one of them went away meanwhile: one by one
                answers = self._client.gather(fetch, direct=self._stage or None)
                fetched = {future.key: answer for future, answer in zip(fetch, answers, strict=True)}
        settled = []
        for entry, came in done:
            reply = came if came is not None else fetched.get(entry.future.key)
            outcome = self._outcome(entry) if reply is None else self._received(reply, entry)
            if outcome is not None:
                settled.append(outcome)
        return settled

    def _finish(self, entry: _Running, succeeded: bool, now: float) -> None:
        """A job has ended: the next one on its worker runs, or, when it failed there, goes back."""
        del self._running[entry.future.key]
        self._last[entry.address] = now - (entry.started or entry.sent)
        follower = self._running.get(entry.follower)
        if follower is not None and succeeded:
            follower.after, follower.sent = None, now  # it runs next there
        elif follower is not None:
            self._give_back(follower)

    def _received(self, answer: _Answer, entry: _Running) -> _Outcome | None:
        """A job's answer as its record: its staged results committed, or, when its worker could not see its
        files, nothing (the job goes back, to travel with its files from now on)."""
        if isinstance(answer, str):
            if not self._stage:
                self._stage = True
                self._notes.append(f"{answer} (worker {entry.address}): the batch sends each job's files "
                                   "to the workers and brings the results back")
            self._returned.append(entry.task)
            return None
        record, logs, files = answer
        if files is not None:
            try:
                _staging.deliver(entry.task, files)
            except (_results.ResultsError, OSError, ValueError) as error:
                record = replace(record, status="failed", result_files=(), error=describe(error))
        return record, logs

    def _give_back(self, entry: _Running) -> None:
        """Cancel a job that waits to follow another, and those that follow it, and hand them back to the batch."""
        while entry is not None and entry.future.key in self._running:
            del self._running[entry.future.key]
            with contextlib.suppress(Exception):
                self._client.cancel([entry.future], force=True)
            self._returned.append(entry.task)
            entry = self._running.get(entry.follower)  # type: ignore[assignment]

    def _outcome(self, entry: _Running) -> _Outcome | None:
        seconds = time.monotonic() - (entry.started or time.monotonic())
        try:
            answer = entry.future.result()
        except KilledWorker:
            return entry.task.record("worker-lost", seconds=seconds, error="its worker died while solving it"), []
        except Exception as error:
            cancelled = type(error).__name__ in ("CancelledError", "FutureCancelledError")
            if cancelled:
                self._check_connected()
            status = "worker-lost" if cancelled else "failed"
            return entry.task.record(status, seconds=seconds, error=describe(error)), []  # type: ignore[arg-type]
        return self._received(answer, entry)

    def _overdue(self) -> list[_Outcome]:
        """The jobs past their time-out, cancelled; their workers are restarted or retired when they run nothing
        but the batch's jobs, else left as they are."""
        now = time.monotonic()
        settled: list[_Outcome] = []
        for key, entry in list(self._running.items()):
            if key not in self._running or not self._timeout:
                continue
            if entry.started is None and entry.after is None and now >= entry.sent + self._timeout \
                    and not self._other_work(entry.address):
                entry.started = entry.sent  # nothing else is ahead of it there: it started, and is stuck
            if now >= entry.deadline(self._timeout):
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

    def _lost(self) -> list[_Outcome]:
        """The jobs whose worker left the cluster."""
        if not self._look():
            return []
        settled: list[_Outcome] = []
        for key, entry in list(self._running.items()):
            if entry.address not in self._workers and entry.waiting:
                self._give_back(entry)
            elif entry.address not in self._workers:
                del self._running[key]
                with contextlib.suppress(Exception):
                    self._client.cancel([entry.future], force=True)
                error = f"its worker {entry.address} left the cluster while solving it"
                seconds = time.monotonic() - (entry.started or time.monotonic())
                settled.append((entry.task.record("worker-lost", seconds=seconds, error=error), []))
        return settled

    def _other_work(self, address: str) -> bool:
        """Whether the scheduler lists tasks on the worker that are not the batch's."""
        try:
            keys = self._client.processing(workers=[address]).get(address, ())
        except Exception:
            return True  # unknown: as if it had
        return any(not str(key).startswith(self._plugin) for key in keys)

    def _stop_worker(self, address: str) -> str:
        """Take the worker out of the batch; restart it through its nanny, else retire it, when it runs
        nothing else; otherwise leave it as it is."""
        self._retired.add(address)
        if self._other_work(address):
            self._notes.append(f"the worker {address} runs other work besides a stuck job of the batch: "
                               "left as it is, and no longer used by the batch")
            return "left running (it runs other work too)"
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
        """Refresh the cluster's workers and the other work on them, at most every POLL_SECONDS; whether it
        did."""
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
        self._others = {address: sum(not str(key).startswith(self._plugin) for key in keys)
                        for address, keys in self._client.processing().items()}
        self._retired &= set(self._workers)
        return True

    def _free_worker(self) -> str | None:
        """The usable worker with the most threads free of other work, that runs no job of the batch (its
        process solves one at a time), if any."""
        ours = {entry.address for entry in self._running.values()}
        best, most = None, 0
        for address, (threads, _) in self._workers.items():
            free = threads - self._others.get(address, 0)
            if address not in self._retired and address not in ours and free > most:
                best, most = address, free
        return best

    def _tail(self) -> _Running | None:
        """The last job sent to a usable worker that runs short jobs and nothing else, while what waits there
        would take less than AHEAD_SECONDS (one job at least, AHEAD_JOBS at most)."""
        since = time.monotonic() - SHORT_SECONDS
        chains: dict[str, list[_Running]] = {}
        for entry in self._running.values():
            chains.setdefault(entry.address, []).append(entry)
        for address, entries in chains.items():
            last = self._last.get(address, math.inf)
            if (address in self._retired or address not in self._workers or self._others.get(address)
                    or last >= SHORT_SECONDS or len(entries) > AHEAD_JOBS
                    or (len(entries) > 1 and len(entries) * last > AHEAD_SECONDS)
                    or any(entry.after is None and (entry.started or entry.sent) <= since for entry in entries)):
                continue
            tails = [entry for entry in entries if entry.follower is None]
            if tails:
                return tails[-1]
        return None

    def _check_connected(self) -> None:
        if self._client.status != "running":
            raise BatchError(f"the connection to the Dask scheduler {self._address} was lost "
                             f"(the batch's client is {self._client.status})")

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
